#include "signals.h"

#include "gui.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

// A termination signal is only noted in a pipe, which wakes whatever event
// loop runs. That is enough as long as the event loop gets to run. When it
// does not (the thread is stuck in the toolkit waiting for an X server that
// accepted the connection but never answers), an alarm set by the first
// signal ends the program from the signal handling: the shutdown flush then
// runs on the main thread, on top of whatever wait was interrupted. The
// settings store is idle then: it never waits for the display. No thread is
// involved, so the store is never touched by two threads.

namespace {

// How long a termination signal may wait for the event loop.
constexpr unsigned GraceSeconds = 5;
// How much longer it waits while a check or a ping runs: each ends within its
// own time limits (the POP3 check within half a minute) and the signal then
// takes effect as usual.
constexpr unsigned BlockingAllowanceSeconds = 90;

enum FlushState : int { NoFlush, FlushReady, FlushRunning, FlushDone };

int signalPipe[2] = {-1, -1};
pthread_t mainThread;
volatile std::sig_atomic_t firstTermination = 0;
unsigned waitedForBlocking = 0; // only touched on the main thread
std::atomic<int> flushState{NoFlush};
std::atomic<int> exitStatus{0};
ShutdownFlush shutdownFlush = nullptr;
static_assert(std::atomic<int>::is_always_lock_free);

// Only async-signal-safe work here: note the signal in the pipe, which wakes
// whatever event loop runs, or waits there until one does.
void onSignal(int signal)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
    if (!firstTermination) {
        firstTermination = signal;
        ::alarm(GraceSeconds);
    }
    errno = saved;
}

// The event loop did not get to the signal in time.
void onAlarm(int)
{
    // The store belongs to the main thread: the flush runs there.
    if (!pthread_equal(pthread_self(), mainThread)) {
        ::pthread_kill(mainThread, SIGALRM);
        return;
    }
    const int saved = errno;
    switch (flushState.load()) {
    case FlushDone:
        // Flushed, and hanging on the way out.
        ::_exit(exitStatus.load());
    case FlushRunning:
        // A flush is under way: it is not cut short.
        ::alarm(GraceSeconds);
        errno = saved;
        return;
    case FlushReady:
        if (Gui::IsBusy() && waitedForBlocking < BlockingAllowanceSeconds) {
            waitedForBlocking += GraceSeconds;
            ::alarm(GraceSeconds);
            errno = saved;
            return;
        }
        flushState = FlushRunning;
        ::_exit(shutdownFlush());
    default:
        // The settings store has not started: nothing to save. The signal
        // does what it would have done without the handling.
        ::signal(firstTermination, SIG_DFL);
        ::raise(firstTermination);
        ::_exit(128 + firstTermination);
    }
}

// Qt ends the program with exit() when the X server goes away; main never
// gets to its shutdown flush then.
void flushAtExit()
{
    if (!pthread_equal(pthread_self(), mainThread))
        return;
    int ready = FlushReady;
    if (flushState.compare_exchange_strong(ready, FlushRunning)) {
        shutdownFlush();
        flushState = FlushDone;
    }
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
    ::signal(SIGPIPE, SIG_IGN);
    if (signalPipe[0] >= 0 || ::pipe(signalPipe) != 0)
        return;
    mainThread = pthread_self();
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
    // Interrupted waits go on when the alarm only looked and returned.
    sa.sa_handler = onAlarm;
    ::sigaction(SIGALRM, &sa, nullptr);
}

void QuitOnTerminationSignals(QObject *parent)
{
    // Registered now that the toolkit has started, so that it runs before
    // the toolkit's own state is taken down at exit.
    std::atexit(flushAtExit);
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

void SetShutdownFlush(ShutdownFlush flush)
{
    if (!flush || flushState.load() != NoFlush)
        return;
    shutdownFlush = flush;
    flushState = FlushReady;
}

int RunShutdownFlush(int loopStatus)
{
    int status = loopStatus;
    int ready = FlushReady;
    if (flushState.compare_exchange_strong(ready, FlushRunning)) {
        if (const int flushed = shutdownFlush())
            status = flushed;
    }
    exitStatus = status;
    flushState = FlushDone;
    return status;
}
