#include "ipsjekk.h"

// uic names setupUi's parameter after the form, as the window's global
// variable (IPTestForm) is named too: the shadowing is the generated code's.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#include "ui_ipsjekk.h"
#pragma GCC diagnostic pop

#include "gui.h"
#include "windowfont.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <QWindow>

TIPTestForm *IPTestForm = nullptr;

TIPTestForm::TIPTestForm(QWidget *parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint)
    , ui(new Ui::IPTestForm)
{
    ui->setupUi(this);
    setFont(Gui::WindowFont());
    // The label reaches under the button; the button must take the clicks.
    ui->OkKnapp->raise();
    connect(ui->OkKnapp, &QPushButton::clicked, this, Gui::Guard(this, &TIPTestForm::OkKnappClick));
}

TIPTestForm::~TIPTestForm() = default;

void TIPTestForm::OkKnappClick()
{
    close();
}

void TIPTestForm::showInFront()
{
    // The window belongs to no other window, so there is nothing to centre
    // on but the screen.
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (screen)
        move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()).topLeft());

    // The test is started from the modal settings window, which would block
    // input to every other window, this one's OK button included. Tied to
    // that window as a transient child, this one takes input beside it.
    create();
    QWindow *window = windowHandle();
    if (window) {
        QWidget *modal = QApplication::activeModalWidget();
        QWindow *owner = modal && modal != this ? modal->window()->windowHandle() : nullptr;
        if (window->transientParent() != owner)
            window->setTransientParent(owner);
    }
    show();
    // In front of the window it was started from, with the keyboard: keys
    // typed from now on are this window's, not that window's ping button's.
    raise();
    activateWindow();

    // A window just shown is drawn only once the window system has mapped
    // it; the ping that follows blocks the event loop, so wait here for
    // that, taking no user input meanwhile. Bounded: a window system that
    // never reports it only costs the text on screen, not the ping.
    if (window && !window->isExposed()) {
        QElapsedTimer waited;
        waited.start();
        for (;;) {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            if (window->isExposed() || waited.elapsed() >= ExposeWaitMs)
                break;
            QThread::msleep(2);
        }
    }
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
