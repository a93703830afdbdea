// The end of a Windows session as a windowed program meets it: Windows asks
// (WM_QUERYENDSESSION), then says it ends (WM_ENDSESSION) and ends the
// process as soon as the program has answered, before its event loop could
// return. The settings must be flushed by then, once, and not on the
// question alone, which the user may still cancel.

#include "signals.h"

#include <QWidget>
#include <QtTest>

#include <windows.h>

namespace {

int flushes = 0;

int countFlush()
{
    ++flushes;
    return 1; // as a failed flush does: the program's exit status
}

} // namespace

class TestWindowsEndSession : public QObject
{
    Q_OBJECT

private slots:
    void flushedBeforeTheAnswer()
    {
        SetShutdownFlush(countFlush);
        QuitOnTerminationSignals(qApp);

        QWidget window;
        window.setWindowTitle(QStringLiteral("Korvelin INBOX sjekker"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const HWND hwnd = reinterpret_cast<HWND>(window.winId());

        SendMessageW(hwnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
        QCOMPARE(flushes, 0);
        SendMessageW(hwnd, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
        QCOMPARE(flushes, 1);

        // Had the process lived on, the end of the loop flushes no second
        // time and still gives the flush's status.
        QCOMPARE(RunShutdownFlush(0), 1);
        QCOMPARE(flushes, 1);
    }
};

QTEST_MAIN(TestWindowsEndSession)
#include "tst_windows_endsession.moc"
