#include "signals.h"

#include "gui.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>
#include <cstdlib>

#include <windows.h>

namespace {

// Set by a console event that came before the application object existed.
std::atomic<bool> caughtEarly{false};

ShutdownFlush shutdownFlush = nullptr;
bool flushed = false;

// An exit() from inside the toolkit still flushes the settings.
void flushAtExit()
{
    if (shutdownFlush && !flushed) {
        flushed = true;
        shutdownFlush();
    }
}

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
    std::atexit(flushAtExit);
    if (caughtEarly.exchange(false))
        Gui::Quit();
}

void SetShutdownFlush(ShutdownFlush flush)
{
    if (!shutdownFlush)
        shutdownFlush = flush;
}

int RunShutdownFlush(int loopStatus)
{
    if (!shutdownFlush || flushed)
        return loopStatus;
    flushed = true;
    const int status = shutdownFlush();
    return status ? status : loopStatus;
}
