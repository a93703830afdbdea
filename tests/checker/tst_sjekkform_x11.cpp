// The checker window on a real X server (run under with-xvfb.sh): what the
// user does while a check freezes the window, and what the screen shows
// while the server takes its time.

#include "gui.h"
#include "schema.h"
#include "scramble.h"
#include "shape.h"
#include "signals.h"
#include "sjekk.h"
#include "windowfixture.h"

#include <QImage>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
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

// A desktop's close request: WM_DELETE_WINDOW through WM_PROTOCOLS.
void requestClose(WId window)
{
    static const char script[] = R"(
import sys
from Xlib import X, display, protocol
d = display.Display()
w = d.create_resource_object('window', int(sys.argv[1]))
protocols = d.intern_atom('WM_PROTOCOLS')
delete = d.intern_atom('WM_DELETE_WINDOW')
ev = protocol.event.ClientMessage(window=w, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0]))
w.send_event(ev, event_mask=X.NoEventMask)
d.flush()
)";
    if (runProgram({"/usr/bin/python3", "-c", script, QString::number(window)}) != 0)
        qWarning("the close request could not be sent");
}

// A POP3 server on its own thread that runs a hook when STAT or QUIT
// arrives, while the client waits for the answer and the window is frozen,
// and that may leave QUIT unanswered. It counts logins.
class HookedPop3Server
{
public:
    std::function<void()> onStat;
    std::function<void()> onQuit;
    bool answerQuit = true;

    HookedPop3Server()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0
            || ::listen(m_listener, 8) != 0 || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&a), &length) != 0)
            qFatal("cannot listen on 127.0.0.1");
        m_port = ntohs(a.sin_port);
    }
    ~HookedPop3Server()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listener);
    }
    void start()
    {
        m_thread = std::thread([this] { run(); });
    }
    quint16 port() const { return m_port; }
    int logins() const { return m_logins; }
    int quits() const { return m_quits; }

private:
    static void send(int fd, const char *text) { [[maybe_unused]] auto n = ::send(fd, text, strlen(text), MSG_NOSIGNAL); }

    void run()
    {
        while (!m_stop) {
            pollfd p{m_listener, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            serve(client);
            ::close(client);
        }
    }

    void serve(int client)
    {
        send(client, "+OK ready\r\n");
        QByteArray pending;
        while (!m_stop) {
            pollfd p{client, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            char buffer[1024];
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            pending.append(buffer, n);
            qsizetype end;
            while ((end = pending.indexOf("\r\n")) >= 0) {
                const QByteArray verb = pending.left(end).split(' ').value(0).toUpper();
                pending.remove(0, end + 2);
                if (verb == "CAPA") {
                    send(client, "+OK\r\nUSER\r\n.\r\n");
                } else if (verb == "USER") {
                    send(client, "+OK\r\n");
                } else if (verb == "PASS") {
                    ++m_logins;
                    send(client, "+OK\r\n");
                } else if (verb == "STAT") {
                    if (onStat)
                        onStat();
                    send(client, "+OK 3 228\r\n");
                } else if (verb == "QUIT") {
                    ++m_quits;
                    if (onQuit)
                        onQuit();
                    if (!answerQuit)
                        continue; // silent until the client gives up
                    send(client, "+OK bye\r\n");
                    return;
                } else {
                    send(client, "-ERR unknown command\r\n");
                }
            }
        }
    }

    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_logins{0};
    std::atomic<int> m_quits{0};
    std::thread m_thread;
};

// Counts presses on the blue bar instead of opening the settings.
class WatchedForm : public TSjekkForm
{
public:
    int setups = 0;
    void Setup1Click() override { ++setups; }
};

void savePop3Settings(quint16 port)
{
    namespace P = Felles::Schema::Pop3;
    Felles::UserSettingsBracket bracket;
    Felles::SettingsFile->writeString(P::ServerName.section, P::ServerName.key, "127.0.0.1");
    Felles::SettingsFile->writeInteger(P::ServerPort.section, P::ServerPort.key, port);
    Felles::SettingsFile->writeString(P::ServerUser.section, P::ServerUser.key, "kari");
    Felles::SettingsFile->writeString(P::ServerPassword.section, P::ServerPassword.key,
                                      Felles::ScramblePassword("hemmelig"));
    bracket.close();
}

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
    HookedPop3Server server;
    savePop3Settings(server.port());
    WatchedForm form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto *status = form.findChild<QLabel *>(QStringLiteral("Statuslabel"));
    const QPoint dot = centreOnScreen(form.findChild<Gui::Shape *>(QStringLiteral("Shape1")));
    const QPoint bar = centreOnScreen(form.findChild<Gui::Shape *>(QStringLiteral("Shape2")));
    const WId window = form.winId();

    server.onStat = [&] {
        pressAt(dot, 3);
        pressAt(bar, 1);
        if (meanwhile == QLatin1String("close"))
            requestClose(window);
        else if (meanwhile == QLatin1String("SIGTERM"))
            ::kill(::getpid(), SIGTERM);
        // Give X the time to hand the input to the program.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    };
    server.start();

    QTimer::singleShot(0, &form, [dot] { pressAt(dot, 1); });
    // Without an end request, the loop is ended here once the check is done
    // and any replayed press would have had its time. Input that Qt holds
    // back waits for the next event from X: move the pointer away to make one.
    QTimer poll;
    connect(&poll, &QTimer::timeout, &form, [&] {
        if (server.quits() > 0) {
            poll.stop();
            runProgram({"xdotool", "mousemove", "5", "5"});
            QTimer::singleShot(1500, &form, [] { QCoreApplication::exit(2); });
        }
    });
    poll.start(50);
    QTimer::singleShot(30'000, &form, [] { QCoreApplication::exit(3); });

    auto *app = static_cast<Gui::Application *>(QCoreApplication::instance());
    const int exitStatus = app->run(&form);

    QCOMPARE(server.logins(), 1);
    QCOMPARE(form.setups, 0);
    QCOMPARE(status->text(), QStringLiteral("228 bytes i 3 meldinger"));
    QCOMPARE(exitStatus, programEnds ? 0 : 2);
}

// A server that never answers QUIT keeps the window frozen for a while: the
// answer must be on screen during that wait, not after it.
void TestSjekkFormX11::answerOnScreenBeforeQuit()
{
    HookedPop3Server server;
    savePop3Settings(server.port());
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
    server.answerQuit = false;
    server.onQuit = [&] { grabbed = grabScreen(line, atQuit); };
    server.start();

    form.SjekkKnappClick();
    QCOMPARE(server.quits(), 1);
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
    // The error report and the program's end live in the application
    // object, which QTEST_MAIN would replace with a plain QApplication.
    Gui::Application app(argc, argv);
    QuitOnTerminationSignals(&app);
    TestSjekkFormX11 test;
    // The test sends itself SIGTERM: the program's own handler must get it.
    QStringList args = QCoreApplication::arguments();
    args << QStringLiteral("-nocrashhandler");
    return QTest::qExec(&test, args);
}

#include "tst_sjekkform_x11.moc"
