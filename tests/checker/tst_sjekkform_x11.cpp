// The checker window on a real X server (run under with-xvfb.sh): what the
// user does while a check freezes the window, and what the screen shows
// while the server takes its time.

#include "fakepop3server.h"

#include "gui.h"
#include "shape.h"
#include "signals.h"
#include "sjekk.h"
#include "windowfixture.h"

#include <QImage>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

extern char **environ;

using namespace TestSupport;

namespace {

// Runs a program (no shell) and returns its exit status, or -1.
int runProgram(const QStringList &args)
{
    std::vector<QByteArray> bytes;
    for (const QString &a : args)
        bytes.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Takes a rectangle of the screen from the X server into a PNG file.
bool grabScreen(const QRect &r, const QString &path)
{
    const QString crop = QStringLiteral("%1x%2+%3+%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
    return runProgram({"import", "-silent", "-window", "root", "-crop", crop, "+repage", path}) == 0;
}

// Presses a mouse button at a screen position, through the X server.
void pressAt(const QPoint &p, int times)
{
    runProgram({"xdotool", "mousemove", QString::number(p.x()), QString::number(p.y()), "click", "--repeat",
                QString::number(times), "--delay", "120", "1"});
}

// A desktop's close request.
void requestClose(WId window)
{
    if (runProgram({"/usr/bin/python3", REQUEST_CLOSE, QString::number(window)}) != 0)
        qWarning("the close request could not be sent");
}

// How often a command reached the server.
int count(const FakePop3Server &server, const QByteArray &verb)
{
    int n = 0;
    for (const QByteArray &line : server.received().split('\n'))
        n += line.split(' ').value(0).trimmed().toUpper() == verb;
    return n;
}

// The server's answers; onCommand runs while the window is frozen waiting
// for them.
FakePop3Server::Script threeMessages(std::function<void(const QByteArray &verb)> onCommand)
{
    FakePop3Server::Script script;
    script.statReply = "+OK 3 228\r\n";
    script.onCommand = std::move(onCommand);
    return script;
}

// Points the form at the server, as the user would have set it up.
void useServer(TSjekkForm &form, const FakePop3Server &server)
{
    savePop3Settings("127.0.0.1", server.port(), "kari", "hemmelig");
    form.LoadPopSettings();
}

// Counts presses on the blue bar instead of opening the settings.
class WatchedForm : public TSjekkForm
{
public:
    int setups = 0;
    void Setup1Click() override { ++setups; }
};

QPoint centreOnScreen(QWidget *w)
{
    return w->mapToGlobal(w->rect().center());
}

} // namespace

class TestSjekkFormX11 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void inputDuringACheck_data();
    void inputDuringACheck();
    void answerOnScreenBeforeQuit();

private:
    std::optional<WindowFixture> fx;
};

void TestSjekkFormX11::initTestCase()
{
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
}

void TestSjekkFormX11::init()
{
    fx.emplace();
    QVERIFY(fx->isValid());
}

void TestSjekkFormX11::cleanup()
{
    const QStringList reports = fx->reports;
    fx.reset();
    QCOMPARE(reports, QStringList());
}

void TestSjekkFormX11::inputDuringACheck_data()
{
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<bool>("programEnds");
    QTest::newRow("presses") << QString() << false;
    QTest::newRow("presses and a close request") << QStringLiteral("close") << true;
    QTest::newRow("presses and SIGTERM") << QStringLiteral("SIGTERM") << true;
}

// While the server thinks about STAT, the user presses the green dot three
// times and the blue bar once, and maybe asks the program to end. None of
// the presses starts anything; an end request ends the event loop as soon
// as the check is done.
void TestSjekkFormX11::inputDuringACheck()
{
    QFETCH(QString, meanwhile);
    QFETCH(bool, programEnds);
    WatchedForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto *status = form.findChild<QLabel *>(QStringLiteral("Statuslabel"));
    const QPoint dot = centreOnScreen(form.findChild<Gui::Shape *>(QStringLiteral("Shape1")));
    const QPoint bar = centreOnScreen(form.findChild<Gui::Shape *>(QStringLiteral("Shape2")));
    const WId window = form.winId();

    FakePop3Server server(threeMessages([=](const QByteArray &verb) {
        if (verb != "STAT")
            return;
        pressAt(dot, 3);
        pressAt(bar, 1);
        if (meanwhile == QLatin1String("close"))
            requestClose(window);
        else if (meanwhile == QLatin1String("SIGTERM"))
            ::kill(::getpid(), SIGTERM);
        // Give X the time to hand the input to the program.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }));
    useServer(form, server);

    QTimer::singleShot(0, &form, [dot] { pressAt(dot, 1); });
    // Without an end request, the loop is ended here once the check is done
    // and any replayed press would have had its time. Input that Qt holds
    // back waits for the next event from X: move the pointer away to make one.
    QTimer poll;
    connect(&poll, &QTimer::timeout, &form, [&] {
        if (count(server, "QUIT") > 0) {
            poll.stop();
            runProgram({"xdotool", "mousemove", "5", "5"});
            QTimer::singleShot(1500, &form, [] { QCoreApplication::exit(2); });
        }
    });
    poll.start(50);
    QTimer::singleShot(30'000, &form, [] { QCoreApplication::exit(3); });

    auto *app = static_cast<Gui::Application *>(QCoreApplication::instance());
    const int exitStatus = app->run(&form);

    QCOMPARE(count(server, "PASS"), 1);
    QCOMPARE(form.setups, 0);
    QCOMPARE(status->text(), QStringLiteral("228 bytes i 3 meldinger"));
    QCOMPARE(exitStatus, programEnds ? 0 : 2);
}

// A server that never answers QUIT keeps the window frozen for a while: the
// answer must be on screen during that wait, not after it.
void TestSjekkFormX11::answerOnScreenBeforeQuit()
{
    TSjekkForm form;
    form.pop3.setTimeouts(std::chrono::seconds(5), std::chrono::seconds(2), std::chrono::seconds(20));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto *status = form.findChild<QLabel *>(QStringLiteral("Statuslabel"));
    // Room for the longer text the status line grows to.
    const QRect line(status->mapToGlobal(QPoint(0, 0)), QSize(200, status->height()));

    QTemporaryDir dir;
    const QString before = dir.filePath("before.png"), atQuit = dir.filePath("quit.png"),
                  after = dir.filePath("after.png");
    QTest::qWait(200);
    QVERIFY(grabScreen(line, before));
    std::atomic<bool> grabbed{false};
    FakePop3Server::Script script = threeMessages([line, atQuit, &grabbed](const QByteArray &verb) {
        if (verb == "QUIT")
            grabbed = grabScreen(line, atQuit);
    });
    script.quitReply.clear(); // silent until the client gives up
    FakePop3Server server(script);
    useServer(form, server);

    form.SjekkKnappClick();
    QCOMPARE(count(server, "QUIT"), 1);
    QVERIFY(grabbed);
    QCOMPARE(status->text(), QStringLiteral("228 bytes i 3 meldinger"));
    QTest::qWait(200);
    QVERIFY(grabScreen(line, after));
    QVERIFY2(QImage(after) != QImage(before), "the new status never reached the screen");
    QVERIFY2(QImage(atQuit) == QImage(after), "the new status was not on screen while QUIT waited");
}

int main(int argc, char **argv)
{
    CatchSignals();
    // Set up as the program sets itself up: its own application object,
    // where QTEST_MAIN would make a plain QApplication, and its end on a
    // termination signal.
    Gui::Application app(argc, argv);
    QuitOnTerminationSignals(&app);
    TestSjekkFormX11 test;
    // The test sends itself SIGTERM: the program's own handler must get it.
    QStringList args = QCoreApplication::arguments();
    args << QStringLiteral("-nocrashhandler");
    return QTest::qExec(&test, args);
}

#include "tst_sjekkform_x11.moc"
