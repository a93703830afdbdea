// The ping window as the user sees it: the real settings window and the
// real ping window on an X server of their own (with-xvfb.sh), with no window
// manager. What is on screen is read back from the X server: during the
// ping by the stand-in ping program itself, while the window waits for it;
// afterwards by the test. Keys are typed through the X server, so they reach
// whichever window has the keyboard. Runs in a network namespace of its own
// (testnet.h): the stand-in hands its arguments to the real ping program,
// whose test address answers or not as the test says.

#include "windowfixture.h"

#include "ipsjekk.h"
#include "setup.h"
#include "sjekk.h"
#include "testnet.h"

#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTest>

namespace {

// Pixels that differ between two pictures of the same size.
int differingPixels(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return a.width() * a.height() + 1;
    int count = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            if (qAbs(qRed(p) - qRed(q)) > 8 || qAbs(qGreen(p) - qGreen(q)) > 8 || qAbs(qBlue(p) - qBlue(q)) > 8)
                ++count;
        }
    }
    return count;
}

// What the X server shows in one area of the screen.
QImage screenArea(const QRect &area)
{
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

// The dark pixels of a text on a light background, cut to where they are.
QImage ink(const QImage &picture)
{
    QImage mask(picture.size(), QImage::Format_Mono);
    mask.fill(0);
    QRect box;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            if (qGray(picture.pixel(x, y)) < 128) {
                mask.setPixel(x, y, 1);
                box |= QRect(x, y, 1, 1);
            }
        }
    }
    return mask.copy(box);
}

bool xdotool(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

} // namespace

class TestPingScreen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void pingSequence_data();
    void pingSequence();
    void oneFontInEveryWindow();

private:
    TfmSetup *openSettings();
    void pressPing(TfmSetup *settings);
    int pings() const;
    // The ping window as it looks with this text, drawn by a twin of it.
    QImage pingWindowLook(const QString &text, bool withButton) const;
    QString whyNotShowing(const QImage &shown, const QImage &wanted, const QString &what, const QString &file) const;

    std::optional<WindowFixture> fx;
    mutable QTemporaryDir m_dir;
    QString m_standIn;
    // The part of the ping window left of its button: the panel and the text.
    const QRect m_textArea{0, 0, 180, 37};
};

void TestPingScreen::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    KORVELIN_SKIP_WITHOUT_PRIVATE_NETWORK();
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs an X server: run through with-xvfb.sh");
    QString why;
    QVERIFY2(TestNet::AddTestAddresses(&why), qPrintable(why));

    // Takes a picture of the whole screen while the window waits for it,
    // counting its runs, then lets the real ping program answer.
    QVERIFY(m_dir.isValid());
    m_standIn = m_dir.filePath(QStringLiteral("ping"));
    QFile script(m_standIn);
    QVERIFY(script.open(QIODevice::WriteOnly));
    // clang-format off
    script.write("#!/bin/sh\n"
                 "cd '" + QFile::encodeName(m_dir.path()) + "' || exit 2\n"
                 "n=$(( $(cat count 2>/dev/null || echo 0) + 1 ))\n"
                 "echo $n > count\n"
                 "ping \"$@\" > out.$n 2>&1 & pid=$!\n"
                 "import -silent -window root during-$n.png\n"
                 "wait $pid; status=$?\n"
                 "cat out.$n\n"
                 "exit $status\n");
    // clang-format on
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
}

void TestPingScreen::init()
{
    fx.emplace();
    QVERIFY(fx->isValid());
    QVERIFY(TestNet::ResetSysctls());
    QFile::remove(m_dir.filePath(QStringLiteral("count")));
    Gui::CreateForm<TIPTestForm>(IPTestForm);
    IPTestForm->Client.setMethods(IcmpClient::Program);
    IPTestForm->Client.setPingProgram(m_standIn);
    IPTestForm->Client.setTimeoutMs(1500);
}

void TestPingScreen::cleanup()
{
    fx.reset(); // deletes every window, the ping window too
    IPTestForm = nullptr;
}

TfmSetup *TestPingScreen::openSettings()
{
    // As the checker opens it, less the modal loop of its own.
    TfmSetup *settings = Gui::CreateForm<TfmSetup>(fmSetup);
    settings->setWindowModality(Qt::ApplicationModal);
    settings->show();
    if (!QTest::qWaitForWindowExposed(settings))
        return nullptr;
    settings->findChild<QTabWidget *>(QStringLiteral("pcSetup"))->setCurrentIndex(1);
    settings->findChild<QLineEdit *>(QStringLiteral("POPServer"))->setText(TestNet::QuietV4);
    return settings;
}

void TestPingScreen::pressPing(TfmSetup *settings)
{
    auto *button = settings->findChild<QPushButton *>(QStringLiteral("BitBtn2"));
    const QPoint at = button->mapToGlobal(button->rect().center());
    QVERIFY(xdotool({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
                     QStringLiteral("click"), QStringLiteral("1")}));
}

int TestPingScreen::pings() const
{
    QFile count(m_dir.filePath(QStringLiteral("count")));
    return count.open(QIODevice::ReadOnly) ? count.readAll().trimmed().toInt() : 0;
}

QImage TestPingScreen::pingWindowLook(const QString &text, bool withButton) const
{
    TIPTestForm twin;
    twin.findChild<QLabel *>(QStringLiteral("Label1"))->setText(text);
    twin.findChild<QPushButton *>(QStringLiteral("OkKnapp"))->setVisible(withButton);
    return twin.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

QString TestPingScreen::whyNotShowing(const QImage &shown, const QImage &wanted, const QString &what,
                                      const QString &file) const
{
    m_dir.setAutoRemove(false); // keep the pictures for a look
    const QString base = m_dir.filePath(file);
    shown.save(base + QStringLiteral("-shown.png"));
    wanted.save(base + QStringLiteral("-wanted.png"));
    return QStringLiteral("%1 is not on screen (%2 pixels differ; see %3-*.png)")
        .arg(what)
        .arg(differingPixels(shown, wanted))
        .arg(base);
}

void TestPingScreen::pingSequence_data()
{
    // Each step: "answer" or "silent" pings the test address as it answers
    // or not; "dismiss" presses the row's key on "Finner ikke"; "reopen"
    // closes the settings window and opens a new one.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("dismissKey");

    QTest::newRow("answer, then no answer") << QStringList{"answer", "silent", "dismiss"} << "Return";
    QTest::newRow("no answer twice") << QStringList{"silent", "dismiss", "silent", "dismiss"} << "space";
    QTest::newRow("no answer, settings reopened, no answer")
        << QStringList{"silent", "reopen", "silent", "dismiss"} << "alt+k";
}

void TestPingScreen::pingSequence()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, dismissKey);

    const QString host = TestNet::QuietV4;
    const QImage waiting = pingWindowLook(QStringLiteral("Sjekker ") + host + QStringLiteral(", vent litt ...."), false)
                               .copy(m_textArea);
    const QImage notFound = pingWindowLook(QStringLiteral("Finner ikke:  ") + host, true).copy(m_textArea);

    QPointer<TfmSetup> settings = openSettings();
    QVERIFY(settings);
    int step = 0;
    for (const QString &what : steps) {
        ++step;
        if (what == QLatin1String("reopen")) {
            settings->close();
            QTRY_VERIFY(!settings);
            settings = openSettings();
            QVERIFY(settings);
            continue;
        }
        if (what == QLatin1String("dismiss")) {
            const int before = pings();
            QVERIFY(xdotool({QStringLiteral("key"), dismissKey}));
            QTRY_VERIFY(!IPTestForm->isVisible());
            // The key closed the window and went no further: no second ping.
            QTest::qWait(300);
            QCOMPARE(pings(), before);
            QVERIFY(settings && settings->isVisible());
            continue;
        }
        const bool answers = what == QLatin1String("answer");
        QVERIFY(TestNet::SetEchoReplies(answers));
        const int before = pings();
        pressPing(settings);
        QTRY_COMPARE_WITH_TIMEOUT(pings(), before + 1, 10000);
        QTRY_VERIFY(!Gui::IsBusyCursor());

        // During the ping: the waiting text, in front of the settings window.
        const QRect window = IPTestForm->geometry();
        QImage during(m_dir.filePath(QStringLiteral("during-%1.png").arg(pings())));
        QVERIFY(!during.isNull());
        during = during.convertToFormat(QImage::Format_RGB32).copy(m_textArea.translated(window.topLeft()));
        QVERIFY2(differingPixels(during, waiting) == 0,
                 qPrintable(whyNotShowing(during, waiting, QStringLiteral("The waiting text during ping %1").arg(step),
                                          QStringLiteral("step%1-during").arg(step))));

        const QRect textOnScreen = m_textArea.translated(window.topLeft());
        if (answers) {
            // The window closed by itself: the settings window shows there.
            QTRY_VERIFY(!IPTestForm->isVisible());
            QTRY_VERIFY(differingPixels(screenArea(textOnScreen), waiting) > textOnScreen.width() * 20);
            continue;
        }

        // After it: "Finner ikke:  " in front, and the window has the keyboard.
        (void)QTest::qWaitFor([&] { return differingPixels(screenArea(textOnScreen), notFound) == 0; }, 3000);
        QVERIFY2(differingPixels(screenArea(textOnScreen), notFound) == 0,
                 qPrintable(whyNotShowing(screenArea(textOnScreen), notFound,
                                          QStringLiteral("\"Finner ikke\" after ping %1").arg(step),
                                          QStringLiteral("step%1-after").arg(step))));
    }
}

void TestPingScreen::oneFontInEveryWindow()
{
    // One text in a label of each window, read back from the screen: the
    // letters come out alike only in the same face at the same size.
    const QString text = QStringLiteral("Ingenting har hendt.");
    QList<QPair<QString, QImage>> seen;
    const auto look = [&](const QString &window, QLabel *label) {
        label->setText(text);
        label->adjustSize();
        QWidget *top = label->window();
        top->show();
        QVERIFY(QTest::qWaitForWindowExposed(top));
        const QRect onScreen(label->mapToGlobal(QPoint()), label->size());
        // Read until two readings agree: the window has been drawn.
        QImage letters, before;
        (void)QTest::qWaitFor(
            [&] {
                before = letters;
                letters = ink(screenArea(onScreen));
                return !letters.isNull() && letters == before;
            },
            3000);
        QVERIFY2(!letters.isNull(), qPrintable(window));
        seen.append({window, letters});
        top->hide();
    };

    Gui::CreateForm<TSjekkForm>(SjekkForm);
    look(QStringLiteral("checker"), SjekkForm->findChild<QLabel *>(QStringLiteral("Statuslabel")));
    TfmSetup *settings = Gui::CreateForm<TfmSetup>(fmSetup);
    settings->findChild<QTabWidget *>(QStringLiteral("pcSetup"))->setCurrentIndex(0);
    look(QStringLiteral("settings"), settings->findChild<QLabel *>(QStringLiteral("Label2")));
    IPTestForm->findChild<QPushButton *>(QStringLiteral("OkKnapp"))->hide();
    look(QStringLiteral("ping"), IPTestForm->findChild<QLabel *>(QStringLiteral("Label1")));
    SjekkForm = nullptr; // deleted with the other windows

    for (const auto &other : seen.mid(1)) {
        const QString sizes = QStringLiteral("%1 %2x%3, %4 %5x%6")
                                  .arg(seen[0].first)
                                  .arg(seen[0].second.width())
                                  .arg(seen[0].second.height())
                                  .arg(other.first)
                                  .arg(other.second.width())
                                  .arg(other.second.height());
        QVERIFY2(other.second.size() == seen[0].second.size(), qPrintable(sizes));
        // The edges of the letters may fall a little differently on another background.
        const int differ = differingPixels(seen[0].second.convertToFormat(QImage::Format_RGB32),
                                           other.second.convertToFormat(QImage::Format_RGB32));
        QVERIFY2(differ * 20 <= other.second.width() * other.second.height(),
                 qPrintable(other.first + QStringLiteral(": %1 pixels differ").arg(differ)));
    }
}

KORVELIN_PRIVATE_NETWORK_TEST_MAIN(Gui::Application, TestPingScreen)
#include "tst_ping_screen.moc"
