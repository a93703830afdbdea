#include "setup.h"

QPointer<TfmSetup> fmSetup;

TfmSetup::TfmSetup(QWidget *parent)
    : QDialog(parent)
{
    setAttribute(Qt::WA_DeleteOnClose);
}
