#include "gui.h"
#include "shape.h"
#include "sjekk.h"
#include "windowfixture.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <stdexcept>

#include <sys/stat.h>

namespace {

// Records which handler a press reached instead of checking or opening.
class WatchedForm : public TSjekkForm
{
public:
    int checks = 0;
    int setups = 0;
    bool throwOnCheck = false;
    void SjekkKnappClick() override
    {
        ++checks;
        if (throwOnCheck)
            throw std::runtime_error("Kunne ikke koble til POP3-serveren");
    }
    void Setup1Click() override { ++setups; }
};

} // namespace

class TestSjekkForm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void layout();
    void drawsDotAndBar();
    void pressesReachTheirHandlers_data();
    void pressesReachTheirHandlers();
    void statusLineShowsItsWholeText_data();
    void statusLineShowsItsWholeText();
    void windowKeepsItsSizeWhileTheTextFits();
    void showLoadsPopSettings();
    void checkAfterAFailedReadingReadsTheFileAgain();
    void handlerErrorsAreReportedAndTheLoopGoesOn();
    void defaultReportIsAMessageBox();
    void boxOpenedWhileBusyTakesInput();

private:
    std::optional<WindowFixture> fx;
};

void TestSjekkForm::init()
{
    fx.emplace();
    QVERIFY(fx->isValid());
}

void TestSjekkForm::cleanup()
{
    fx.reset();
}

void TestSjekkForm::layout()
{
    TSjekkForm form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Korvelin INBOX sjekker"));
    QVERIFY(form.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(form.geometry(), QRect(294, 273, 215, 62));
    QVERIFY(form.autoFillBackground());

    auto *dot = form.findChild<Gui::Shape *>(QStringLiteral("Shape1"));
    auto *bar = form.findChild<Gui::Shape *>(QStringLiteral("Shape2"));
    auto *status = form.findChild<QLabel *>(QStringLiteral("Statuslabel"));
    QVERIFY(dot && bar && status);
    QCOMPARE(dot->geometry(), QRect(16, 8, 17, 17));
    QVERIFY(dot->isCircle());
    QCOMPARE(dot->brushColor(), QColor(0, 128, 0));
    QCOMPARE(bar->geometry(), QRect(16, 0, 17, 9));
    QVERIFY(!bar->isCircle());
    QCOMPARE(bar->brushColor(), QColor(0, 0, 255));
    QCOMPARE(status->pos(), QPoint(56, 16));
    QCOMPARE(status->text(), QStringLiteral("Ingenting har hendt."));
}

void TestSjekkForm::drawsDotAndBar()
{
    TSjekkForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QImage img = form.grab().toImage();
    QCOMPARE(img.pixelColor(24, 16), QColor(0, 128, 0));                      // centre of the dot
    QCOMPARE(img.pixelColor(24, 4), QColor(0, 0, 255));                       // inside the bar
    QCOMPARE(img.pixelColor(24, 0), QColor(Qt::black));                       // the bar's outline
    QCOMPARE(img.pixelColor(24, 8), QColor(Qt::black));                       // shared row: the bar's outline
    QCOMPARE(img.pixelColor(24, 24), QColor(Qt::black));                      // the dot's outline
    QCOMPARE(img.pixelColor(17, 23), form.palette().color(QPalette::Window)); // outside the circle
}

void TestSjekkForm::pressesReachTheirHandlers_data()
{
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<int>("checks");
    QTest::addColumn<int>("setups");
    QTest::newRow("dot, left") << QPoint(24, 16) << Qt::LeftButton << 1 << 0;
    QTest::newRow("dot, right") << QPoint(24, 16) << Qt::RightButton << 1 << 0;
    QTest::newRow("dot, middle") << QPoint(24, 20) << Qt::MiddleButton << 1 << 0;
    QTest::newRow("dot, first row below the bar") << QPoint(24, 9) << Qt::LeftButton << 1 << 0;
    QTest::newRow("bar, left") << QPoint(24, 3) << Qt::LeftButton << 0 << 1;
    QTest::newRow("bar, right") << QPoint(20, 0) << Qt::RightButton << 0 << 1;
    QTest::newRow("shared row 8 is the bar's") << QPoint(24, 8) << Qt::LeftButton << 0 << 1;
    QTest::newRow("beside both") << QPoint(40, 40) << Qt::LeftButton << 0 << 0;
}

void TestSjekkForm::pressesReachTheirHandlers()
{
    QFETCH(QPoint, at);
    QFETCH(Qt::MouseButton, button);
    QFETCH(int, checks);
    QFETCH(int, setups);
    WatchedForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTest::mousePress(form.windowHandle(), button, Qt::ShiftModifier, at);
    QTest::mouseRelease(form.windowHandle(), button, Qt::ShiftModifier, at);
    QCOMPARE(form.checks, checks);
    QCOMPARE(form.setups, setups);
}

void TestSjekkForm::statusLineShowsItsWholeText_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("start") << QStringLiteral("Ingenting har hendt.");
    QTest::newRow("empty mailbox") << QStringLiteral("0 bytes i 0 meldinger");
    QTest::newRow("widest") << QStringLiteral("1234567890 bytes i 12345 meldinger");
    QTest::newRow("beyond 32 bits") << QStringLiteral("18446744073709551615 bytes i 4294967296 meldinger");
}

void TestSjekkForm::statusLineShowsItsWholeText()
{
    QFETCH(QString, text);
    TSjekkForm form;
    form.ShowStatus(text);
    auto *status = form.findChild<QLabel *>(QStringLiteral("Statuslabel"));
    QCOMPARE(status->text(), text);
    QCOMPARE(status->pos(), QPoint(56, 16));
    QVERIFY(status->width() >= status->fontMetrics().horizontalAdvance(text));
    QVERIFY(status->width() >= 95);
    QVERIFY(form.rect().contains(status->geometry()));
    QVERIFY(form.width() >= 215 && form.height() >= 62);
}

// The window grows only for a line that would pass its edge.
void TestSjekkForm::windowKeepsItsSizeWhileTheTextFits()
{
    TSjekkForm form;
    auto *status = form.findChild<QLabel *>(QStringLiteral("Statuslabel"));
    const QString text = QStringLiteral("1234567890 bytes i 12345 meldinger");
    form.ShowStatus(text);
    const int end = 56 + status->fontMetrics().horizontalAdvance(text);
    QVERIFY2(end <= 215, qPrintable(QStringLiteral("the text ends at x %1").arg(end)));
    QCOMPARE(form.size(), QSize(215, 62));
    QVERIFY(form.rect().contains(status->geometry()));
}

void TestSjekkForm::showLoadsPopSettings()
{
    QVERIFY(fx->writeFile("KARI.INI",
                          "[Pop3]\nServerName=127.0.0.1\nServerPort=1110\nServerUser=kari\nServerPassword=zbdf2\n"));
    TSjekkForm form;
    form.show();
    QCOMPARE(form.pop3.host(), QByteArray("127.0.0.1"));
    QCOMPARE(form.pop3.port(), 1110);
    QCOMPARE(form.pop3.userName(), QByteArray("kari"));
    QCOMPARE(form.pop3.password(), QByteArray("abc"));
    // The bracket is closed: the shared file is the open one again.
    QCOMPARE(Felles::SettingsFile->nativePath(), Felles::SharedIniPath);
    QCOMPARE(Felles::CurrentSection, QByteArray("STANDARD"));
}

// A check never logs in with settings that were never read: it reads the
// file again, and tells the file's fault while it lasts.
void TestSjekkForm::checkAfterAFailedReadingReadsTheFileAgain()
{
    // A FIFO is refused before anything is read from it.
    QVERIFY(::mkfifo(QFile::encodeName(fx->file("KARI.INI")).constData(), 0600) == 0);
    TSjekkForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(fx->reports.size(), 1);
    QVERIFY2(fx->reports[0].contains("KARI.INI"), qPrintable(fx->reports[0]));

    QTest::mousePress(form.windowHandle(), Qt::LeftButton, {}, QPoint(24, 16));
    QCOMPARE(fx->reports.size(), 2);
    QCOMPARE(fx->reports[1], fx->reports[0]);

    // Mended: the next check reads it and tries the server it names.
    QVERIFY(QFile::remove(fx->file("KARI.INI")));
    QVERIFY(fx->writeFile("KARI.INI", "[Pop3]\nServerName=127.0.0.1\nServerPort=1\nServerUser=kari\n"));
    QTest::mousePress(form.windowHandle(), Qt::LeftButton, {}, QPoint(24, 16));
    QCOMPARE(form.pop3.host(), QByteArray("127.0.0.1"));
    QCOMPARE(fx->reports.size(), 3);
    QVERIFY2(fx->reports[2].contains("127.0.0.1:1"), qPrintable(fx->reports[2]));
}

void TestSjekkForm::handlerErrorsAreReportedAndTheLoopGoesOn()
{
    WatchedForm form;
    form.throwOnCheck = true;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto *status = form.findChild<QLabel *>(QStringLiteral("Statuslabel"));

    QEventLoop loop;
    bool ranAfter = false;
    QTimer::singleShot(0, &form, [&] { QTest::mousePress(form.windowHandle(), Qt::LeftButton, {}, QPoint(24, 16)); });
    QTimer::singleShot(10, &loop, [&] {
        ranAfter = true;
        loop.quit();
    });
    loop.exec();
    QVERIFY(ranAfter);
    QCOMPARE(form.checks, 1);
    QCOMPARE(fx->reports, QStringList{QStringLiteral("Kunne ikke koble til POP3-serveren")});
    QCOMPARE(status->text(), QStringLiteral("Ingenting har hendt."));

    // The window still takes presses.
    QTest::mousePress(form.windowHandle(), Qt::LeftButton, {}, QPoint(24, 16));
    QCOMPARE(form.checks, 2);
    QCOMPARE(fx->reports.size(), 2);
}

void TestSjekkForm::defaultReportIsAMessageBox()
{
    Gui::SetErrorHandler({});
    QString shown;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        shown = box->text();
        box->accept();
    });
    Gui::SetBusyCursor();
    Gui::ReportError(QStringLiteral("Innlogging avvist"));
    QCOMPARE(shown, QStringLiteral("Innlogging avvist"));
    QVERIFY(!Gui::IsBusyCursor());
}

// Presses are dropped while a blocking handler runs, but not those meant for
// a box it opens: that box could never be answered.
void TestSjekkForm::boxOpenedWhileBusyTakesInput()
{
    Gui::SetErrorHandler({});
    bool closedByClick = false;
    whenModal<QMessageBox>([&](QMessageBox *box) {
        QAbstractButton *ok = box->button(QMessageBox::Ok);
        QTest::mouseClick(ok, Qt::LeftButton, {}, ok->rect().center());
        closedByClick = !box->isVisible();
        if (!closedByClick)
            box->reject();
    });
    const bool ran = Gui::RunBlocking([] { Gui::ReportError(QStringLiteral("Tidsavbrudd")); });
    QVERIFY(ran);
    QVERIFY(closedByClick);
    QVERIFY(!Gui::IsBusy());
}

KORVELIN_GUI_TEST_MAIN(TestSjekkForm)
#include "tst_sjekkform.moc"
