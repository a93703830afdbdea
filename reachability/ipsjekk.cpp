#include "ipsjekk.h"

TIPTestForm *IPTestForm = nullptr;

TIPTestForm::TIPTestForm(QWidget *parent)
    : QWidget(parent)
{
}

CheckResult CheckHost(const QString &, bool)
{
    return PingFailed; // placeholder until the ICMP client lands
}
