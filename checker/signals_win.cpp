#include "signals.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <windows.h>

namespace {

BOOL WINAPI onConsoleEvent(DWORD)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::exit(0); },
                              Qt::QueuedConnection);
    return TRUE;
}

} // namespace

void InstallQuitOnTerminationSignals(QObject *)
{
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}
