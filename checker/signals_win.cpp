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
int flushStatus = 0;
// Set once the flush has run, for a console handler that waits for it.
HANDLE flushDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);

// Windows ends the process soon after a console handler returns from a
// close event (5 s at most), so the handler waits for the flush this long.
constexpr DWORD ConsoleCloseWaitMs = 4000;

void flushOnce()
{
    if (shutdownFlush && !flushed) {
        flushed = true;
        flushStatus = shutdownFlush();
    }
    if (flushDone)
        SetEvent(flushDone);
}

BOOL WINAPI onConsoleEvent(DWORD event)
{
    // Called on a thread of its own: hand the request to the event loop.
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] { Gui::Quit(); }, Qt::QueuedConnection);
    else
        caughtEarly = true;
    // After these Windows ends the process once the handler returns: the
    // settings must be on disk by then.
    if ((event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) && flushDone)
        WaitForSingleObject(flushDone, ConsoleCloseWaitMs);
    return TRUE;
}

} // namespace

void CatchSignals()
{
    // Windows has no file-size limit signal; failed writes report an error.
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void QuitOnTerminationSignals(QObject *parent)
{
    // An exit() from inside the toolkit still flushes the settings.
    std::atexit(flushOnce);
    // At logoff or shutdown Windows ends a windowed program as soon as it
    // has answered WM_ENDSESSION, long before its event loop could end; Qt
    // says aboutToQuit while answering, so the flush runs there.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, parent, [] { flushOnce(); });
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
    flushOnce();
    return flushStatus ? flushStatus : loopStatus;
}
