#pragma once

class QObject;

// Called first thing in main. From then on the signals by which the system
// asks the program to stop (SIGTERM, SIGINT and SIGHUP here, a console close
// or logoff on Windows) are caught and kept until the program can act on
// them, and a write beyond the process's file-size limit fails with an error
// the program reports instead of killing it (SIGXFSZ is ignored).
void CatchSignals();

// Once the application object exists: a termination signal, whether caught
// before this call or at any later moment, ends the program through
// Gui::Quit(), from the event loop or from any modal window's or message
// box's loop. Shutdown then flushes the settings as usual.
void QuitOnTerminationSignals(QObject *parent);
