#include "ipsjekk.h"

TIPTestForm *IPTestForm = nullptr;

TIPTestForm::TIPTestForm(QWidget *parent)
    : QWidget(parent)
{
}
