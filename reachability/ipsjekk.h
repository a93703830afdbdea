#pragma once

#include <QWidget>

// The reachability window (placeholder until the real window lands).
class TIPTestForm : public QWidget
{
    Q_OBJECT
public:
    explicit TIPTestForm(QWidget *parent = nullptr);
    void FormCreate() {}
};

extern TIPTestForm *IPTestForm;

// The outcome of one ping.
enum CheckResult : int {
    HostAnswered = 0, // an echo reply came back
    NoAnswer = 1,     // the ping finished without a reply
    PingFailed = -1,  // the ping could not be made
};

// Pings Host once while IPTestForm shows which host is tried. With ShowError
// and no answer the window stays up with "Finner ikke:  " and its OK button.
CheckResult CheckHost(const QString &Host, bool ShowError);
