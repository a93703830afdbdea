#pragma once

#include "icmpclient.h"

#include <QDialog>
#include <QPointer>

#include <memory>

namespace Ui {
class IPTestForm;
}

// The outcome of one ping.
enum CheckResult : int {
    HostAnswered = 0, // an echo reply came back
    NoAnswer = 1,     // the ping finished without a reply
    PingFailed = -1,  // the ping could not be made
};

// Pings Host once while IPTestForm shows which host is tried. With ShowError
// and no answer the window stays up with "Finner ikke:  " and its OK button.
// Never throws.
CheckResult CheckHost(const QString &Host, bool ShowError);

// The small borderless window that shows which host is being pinged and,
// when asked, that it did not answer. Created hidden at start-up and reused:
// only shown and closed, never destroyed.
class TIPTestForm : public QDialog
{
    Q_OBJECT
public:
    explicit TIPTestForm(QWidget *parent = nullptr);
    ~TIPTestForm() override;

    void FormCreate() {}
    void OkKnappClick();

    IcmpClient Client;

protected:
    void hideEvent(QHideEvent *event) override;

private:
    // Longest wait for the window system to put a shown window on screen,
    // and how long it must have asked for nothing more to count as done. A
    // window manager on a busy machine (xfwm4 giving a re-owned window its
    // frame and the keyboard) can take more than a second, and then asks
    // for the window again more than 40 ms after its first request.
    static constexpr int ExposeWaitMs = 2000;
    static constexpr int DrawQuietMs = 100;

    void showInFront();
    void waitUntilDrawn();
    void showResult(const QString &text);

    std::unique_ptr<Ui::IPTestForm> ui;
    // The window the test was started from, if any.
    QPointer<QWidget> m_owner;
    bool m_ownerChanging = false;

    friend CheckResult CheckHost(const QString &Host, bool ShowError);
};

extern TIPTestForm *IPTestForm;
