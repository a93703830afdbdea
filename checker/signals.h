#pragma once

class QObject;

// Called first thing in main. From then on the signals by which the system
// asks the program to stop (SIGTERM, SIGINT and SIGHUP here, a console close
// or logoff on Windows) are caught and kept until the program can act on
// them, a write beyond the process's file-size limit fails with an error the
// program reports instead of killing it (SIGXFSZ is ignored), and so does a
// write to a closed pipe (SIGPIPE: standard error read by nobody must not end
// the program at its first warning).
void CatchSignals();

// Once the application object exists: a termination signal, whether caught
// before this call or at any later moment, ends the program through
// Gui::Quit(), from the event loop or from any modal window's or message
// box's loop. Shutdown then flushes the settings as usual.
void QuitOnTerminationSignals(QObject *parent);

// The shutdown flush: flushes the settings and gives the exit status (0, or
// 1 when it failed). It must not throw.
using ShutdownFlush = int (*)();

// Names the shutdown flush once the settings store has started (or has
// failed to, with a flush that only gives the status). It runs exactly once:
// from RunShutdownFlush when the event loop has ended; or, when the program
// ends by exit() from inside the toolkit (Qt ends it so when the X server
// goes away), on the way out; or, when a termination signal could not end
// the event loop within a few seconds (a display that accepts but never
// answers holds the program inside the toolkit), from the signal handling
// itself, which then ends the process. A check or a ping that is running is
// waited for first, as far as its own time limits go.
void SetShutdownFlush(ShutdownFlush flush);

// Runs the shutdown flush unless it has run, and gives the program's exit
// status: loopStatus, or the flush's when that is not 0. Should the program
// then hang on its way out (taking the windows down on a display that no
// longer answers), a termination signal ends it with that status.
int RunShutdownFlush(int loopStatus);
