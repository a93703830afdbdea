#include "signals.h"

#include "gui.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: note the signal in the pipe, which wakes
// whatever event loop runs, or waits there until one does.
void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

// True when a termination signal came since the last call.
bool takeCaughtSignals()
{
    bool caught = false;
    char buf[16];
    while (::read(signalPipe[0], buf, sizeof buf) > 0)
        caught = true;
    return caught;
}

} // namespace

void CatchSignals()
{
    ::signal(SIGXFSZ, SIG_IGN);
    if (signalPipe[0] >= 0 || ::pipe(signalPipe) != 0)
        return;
    for (int fd : signalPipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}

void QuitOnTerminationSignals(QObject *parent)
{
    if (signalPipe[0] < 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [] {
        if (takeCaughtSignals())
            Gui::Quit();
    });
    // One that came while the settings store started ends the program
    // before the event loop runs.
    if (takeCaughtSignals())
        Gui::Quit();
}
