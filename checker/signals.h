#pragma once

class QObject;

// Ends the event loop normally (QCoreApplication::exit(0)) when the system
// asks the program to stop: SIGTERM, SIGINT or SIGHUP here, a console close
// or logoff on Windows. Shutdown then flushes the settings as usual.
void InstallQuitOnTerminationSignals(QObject *parent);
