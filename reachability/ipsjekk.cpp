#include "ipsjekk.h"

#include "ui_ipsjekk.h"

#include "gui.h"
#include "windowfont.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHideEvent>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <QWindow>

TIPTestForm *IPTestForm = nullptr;

namespace {

// Notes when the window system last asked a window to be drawn, or told it
// that it has the keyboard, and whether the window was painted since.
class ExposeWatch : public QObject
{
public:
    ExposeWatch() { m_since.start(); }
    qint64 quietFor() const { return m_since.elapsed(); }
    bool paintedSince() const { return m_painted; }
    void notePainted() { m_painted = true; }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::Expose:
        case QEvent::FocusIn:
        case QEvent::Move:
        case QEvent::Resize:
            m_since.restart();
            m_painted = false;
            break;
        case QEvent::Paint:
            m_painted = true;
            break;
        default:
            break;
        }
        return false;
    }

private:
    QElapsedTimer m_since;
    bool m_painted = false;
};

} // namespace

TIPTestForm::TIPTestForm(QWidget *parent)
    // A dialog, so that it can be owned by the window it is opened from.
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
    , ui(new Ui::IPTestForm)
{
    ui->setupUi(this);
    setFont(Gui::WindowFont());
    // The label reaches under the button; the button must take the clicks.
    ui->OkKnapp->raise();
    connect(ui->OkKnapp, &QPushButton::clicked, this, Gui::ReportingSlot(this, &TIPTestForm::OkKnappClick));
}

TIPTestForm::~TIPTestForm() = default;

void TIPTestForm::OkKnappClick()
{
    close();
}

void TIPTestForm::showInFront()
{
    // The test is started from the modal settings window, which would block
    // input to every other window, this one's OK button included. Owned by
    // that window (its transient child, WM_TRANSIENT_FOR), this one takes
    // input beside it, and a window manager keeps it in front of it.
    QWidget *modal = QApplication::activeModalWidget();
    QWidget *owner = modal && modal != this ? modal->window() : nullptr;
    // A window left up from a test started elsewhere is taken down first:
    // the window system learns of its new owner only when it is shown.
    if (isVisible() && owner != m_owner) {
        m_ownerChanging = true;
        hide();
        m_ownerChanging = false;
    }
    m_owner = owner;
    Gui::SetOwner(this, m_owner);

    // The window belongs to no window it could be centred on: it is centred
    // on the screen of the window it was started from.
    const QScreen *screen = m_owner ? m_owner->screen() : QGuiApplication::primaryScreen();
    if (screen)
        move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()).topLeft());

    show();
    // In front of the window it was started from, with the keyboard: keys
    // typed from now on are this window's, not that window's ping button's.
    raise();
    activateWindow();
    waitUntilDrawn();
}

void TIPTestForm::waitUntilDrawn()
{
    // The ping that follows blocks the event loop, and what the window
    // system asks to have drawn meanwhile stays blank until it ends. So
    // first let it settle: the window mapped (or raised, when it was up
    // already) and given the keyboard by the window manager, and no request
    // to draw a part of it for a moment. Each such request is answered as it
    // comes, taking no user input meanwhile. Bounded: a window system that
    // never reports it only costs the text on screen, not the ping.
    QWindow *window = windowHandle();
    if (!window)
        return;
    ExposeWatch watch;
    window->installEventFilter(&watch);
    installEventFilter(&watch);
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        // Qt answers a request to draw from what was painted before, and a
        // window given the keyboard is not painted again: no paint event
        // need follow either. Paint the whole window now, so that it is on
        // screen as it is now, and "painted since" means just that.
        if (window->isExposed() && !watch.paintedSince()) {
            repaint();
            watch.notePainted();
        }
        const bool settled = window->isExposed() && QGuiApplication::focusWindow() == window && watch.paintedSince()
                          && watch.quietFor() >= DrawQuietMs;
        if (settled || waited.elapsed() >= ExposeWaitMs)
            break;
        QThread::msleep(2);
    }
    window->removeEventFilter(&watch);
    removeEventFilter(&watch);
}

void TIPTestForm::hideEvent(QHideEvent *event)
{
    QDialog::hideEvent(event);
    // The keyboard goes back to the window the test was started from.
    if (!event->spontaneous() && !m_ownerChanging)
        Gui::GiveKeyboardBack(m_owner);
}

void TIPTestForm::showResult(const QString &text)
{
    ui->Label1->setText(text);
    ui->OkKnapp->show();
    // The keyboard goes to the OK button: Return, Space and Alt+K close
    // the window.
    raise();
    activateWindow();
    ui->OkKnapp->setFocus();
}

CheckResult CheckHost(const QString &Host, bool ShowError)
{
    try {
        if (!IPTestForm)
            Gui::CreateForm<TIPTestForm>(IPTestForm);
        TIPTestForm *form = IPTestForm;

        // The text first: the window may be drawn while it is being shown.
        form->ui->OkKnapp->hide();
        form->ui->Label1->setText(QStringLiteral("Sjekker ") + Host + QStringLiteral(", vent litt ...."));
        form->showInFront();
        form->Client.setHost(Host);

        CheckResult result;
        try {
            // The ping blocks the event loop: paint the text first.
            Gui::RepaintNow(form);
            Gui::SetBusyCursor();
            const int bytes = form->Client.Ping();
            Gui::SetDefaultCursor();
            result = bytes > 0 ? HostAnswered : NoAnswer;
        } catch (...) {
            Gui::SetDefaultCursor();
            result = PingFailed;
        }

        if (result != HostAnswered && ShowError) {
            form->showResult(QStringLiteral("Finner ikke:  ") + Host);
        } else {
            form->close();
        }
        return result;
    } catch (...) {
        // The test reports in its own window only; nothing reaches the
        // default error report.
        Gui::SetDefaultCursor();
        return PingFailed;
    }
}
