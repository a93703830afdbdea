#include "signals.h"

#include "gui.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>

#include <windows.h>

namespace {

// Set by a console event that came before the application object existed.
std::atomic<bool> caughtEarly{false};

BOOL WINAPI onConsoleEvent(DWORD)
{
    // Called on a thread of its own: hand the request to the event loop.
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] { Gui::Quit(); }, Qt::QueuedConnection);
    else
        caughtEarly = true;
    return TRUE;
}

} // namespace

void CatchSignals()
{
    // Windows has no file-size limit signal; failed writes report an error.
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void QuitOnTerminationSignals(QObject *)
{
    if (caughtEarly.exchange(false))
        Gui::Quit();
}
