// The default error report over and over, on a real X server (run under
// with-xvfb.sh): each message box is shown in front of the checker window,
// drawn, answered and gone, and the program's memory stays where it was.

#include "gui.h"
#include "sjekk.h"
#include "windowfixture.h"

#include <QAbstractButton>
#include <QFile>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <unistd.h>

namespace {

// The resident memory of this process, in KiB.
qint64 residentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * ::sysconf(_SC_PAGESIZE) / 1024 : -1;
}

} // namespace

class TestMessageBoxes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void memoryStaysFlat_data();
    void memoryStaysFlat();

private:
    // Reports text count times in front of a checker window, each box
    // answered once it is up and drawn, as a user would; returns how many
    // were answered.
    int showBoxes(const QString &text, int count);
};

int TestMessageBoxes::showBoxes(const QString &text, int count)
{
    int answered = 0;
    QTimer answer;
    answer.setInterval(1);
    connect(&answer, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box && box->windowHandle() && box->windowHandle()->isExposed()) {
            box->button(QMessageBox::Ok)->click();
            ++answered;
        }
    });
    answer.start();
    for (int i = 0; i < count; ++i)
        Gui::ReportError(text);
    return answered;
}

void TestMessageBoxes::initTestCase()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer holds freed memory back: the bound holds for the program as built");
#endif
    // The first boxes fill Qt's caches (fonts, icons, styles) and take the
    // heap to its working size.
    WindowFixture fx;
    QVERIFY(fx.isValid());
    Gui::SetErrorHandler(nullptr);
    Gui::CreateForm<TSjekkForm>(SjekkForm);
    SjekkForm->show();
    QVERIFY(QTest::qWaitForWindowActive(SjekkForm));
    QCOMPARE(showBoxes(QStringLiteral("Ingen server er satt opp."), 600), 600);
    SjekkForm = nullptr; // deleted with the other windows
}

void TestMessageBoxes::memoryStaysFlat_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("short") << QStringLiteral("Ingen server er satt opp.");
    QTest::newRow("server's line") << QStringLiteral("Serveren svarte: -ERR [AUTH] Authentication failed.");
}

void TestMessageBoxes::memoryStaysFlat()
{
    QFETCH(QString, text);
    WindowFixture fx;
    QVERIFY(fx.isValid());
    Gui::SetErrorHandler(nullptr); // the real message box
    Gui::CreateForm<TSjekkForm>(SjekkForm);
    SjekkForm->show();
    QVERIFY(QTest::qWaitForWindowActive(SjekkForm));

    QCOMPARE(showBoxes(text, 20), 20);
    const qint64 before = residentKiB();
    QVERIFY(before > 0);
    QCOMPARE(showBoxes(text, 600), 600);
    const qint64 after = residentKiB();
    QVERIFY2(after - before <= 100,
             qPrintable(QStringLiteral("600 boxes: %1 KiB before, %2 KiB after").arg(before).arg(after)));
    SjekkForm = nullptr; // deleted with the other windows
}

KORVELIN_GUI_TEST_MAIN(TestMessageBoxes)
#include "tst_message_boxes.moc"
