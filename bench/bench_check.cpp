// How long a mailbox check takes, against what the same POP3 dialogue costs
// at the least. Three ways, interleaved round by round, each against the
// same loopback Dovecot and mailbox (3 messages):
//
//   check  a press on the green dot, from the press to the new status text,
//          in this process (the checker window as the program has it)
//   raw    connect, USER, PASS, STAT, QUIT over a plain socket, in process
//   curl   the curl command doing STAT, as a whole process
//
// Prints the median of each and the ratios; the check should stay within
// 1.3 times the raw dialogue. See README.md.

#include "dovecotfixture.h"

#include "gui.h"
#include "shape.h"
#include "sjekk.h"
#include "windowfixture.h"

#include <QLabel>
#include <QMouseEvent>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr char User[] = "bench";
constexpr char Password[] = "bench-passord";

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// This process's CPU time: the wall time above is mostly the server's.
double cpuMillisecondsSince(std::clock_t start)
{
    return 1000.0 * double(std::clock() - start) / CLOCKS_PER_SEC;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One line from the server, or "" on failure.
QByteArray readLine(int fd)
{
    QByteArray line;
    char c;
    while (::recv(fd, &c, 1, 0) == 1) {
        line += c;
        if (c == '\n')
            return line;
    }
    return {};
}

// The least a STAT check can do: one dialogue over a plain socket.
bool rawDialogue(quint16 port, QByteArray *stat)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
           && readLine(fd).startsWith("+OK");
    for (const QByteArray &command :
         {QByteArray("USER ") + User, QByteArray("PASS ") + Password, QByteArray("STAT"), QByteArray("QUIT")}) {
        if (!ok)
            break;
        const QByteArray line = command + "\r\n";
        ok = ::send(fd, line.constData(), size_t(line.size()), MSG_NOSIGNAL) == line.size();
        const QByteArray reply = ok ? readLine(fd) : QByteArray();
        ok = reply.startsWith("+OK");
        if (command == "STAT")
            *stat = reply.trimmed();
    }
    ::close(fd);
    return ok;
}

// The curl command as a whole process, its output thrown away.
bool curlProcess(const QByteArray &curl, quint16 port)
{
    const QByteArray url = "pop3://127.0.0.1:" + QByteArray::number(port) + "/";
    const QByteArray login = QByteArray(User) + ':' + Password;
    const char *argv[] = {curl.constData(), "-s",   "-I", "-X", "STAT", "--user", login.constData(),
                          url.constData(),  nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return false;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int run(int iterations)
{
    // A Dovecot of our own, unless one is named in KORVELIN_DOVECOT_DIR.
    QTemporaryDir serverDir;
    bool ownServer = false;
    if (qEnvironmentVariableIsEmpty("KORVELIN_DOVECOT_DIR")) {
        qputenv("KORVELIN_DOVECOT_DIR", QFile::encodeName(serverDir.path()));
        if (QProcess::execute(QStringLiteral(KORVELIN_DOVECOT_SCRIPT), {QStringLiteral("start"), serverDir.path()})
            != 0) {
            std::fprintf(stderr, "bench: could not start Dovecot\n");
            return 1;
        }
        ownServer = true;
    }
    struct Stop
    {
        bool on;
        QString dir;
        ~Stop()
        {
            if (on)
                QProcess::execute(QStringLiteral(KORVELIN_DOVECOT_SCRIPT), {QStringLiteral("stop"), dir});
        }
    } stop{ownServer, serverDir.path()};

    QString why;
    const auto server = TestDovecot::Server::find(&why);
    if (!server) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(why));
        return 1;
    }
    server->setUser(User, Password);
    qint64 size = 0;
    for (const QByteArray &m : {QByteArray("From: a@example.org\nSubject: en\n\nForste melding.\n"),
                                QByteArray("From: b@example.org\nSubject: to\n\nAndre melding,\nmed to linjer.\n"),
                                QByteArray("From: c@example.org\nSubject: tre\n\nTredje.\n")}) {
        server->addMessage(User, m);
        size += TestDovecot::statSize(m);
    }
    const QString expected = QStringLiteral("%1 bytes i 3 meldinger").arg(size);

    // The program's settings, as its start-up finds them; error reports
    // are collected in settings.reports.
    TestSupport::StoreOptions options;
    options.user = User;
    WindowFixture settings(options);
    if (!settings.isValid())
        return 1;
    TestSupport::savePop3Settings("127.0.0.1", server->port(), User, Password);
    const QStringList &errors = settings.reports;

    TSjekkForm window;
    window.show(); // loads the POP3 settings
    auto *dot = window.findChild<Gui::Shape *>(QStringLiteral("Shape1"));
    auto *label = window.findChild<QLabel *>(QStringLiteral("Statuslabel"));
    const QPointF at = QRectF(dot->rect()).center();

    const QByteArray curl = QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("curl")));
    if (curl.isEmpty())
        std::fprintf(stderr, "bench: no curl command (apt-get install curl); its column stays empty\n");

    std::vector<double> check, raw, command, checkCpu, rawCpu;
    bool ok = true;
    for (int i = -3; i < iterations && ok; ++i) { // three rounds of warm-up
        label->setText(QString());
        Clock::time_point start = Clock::now();
        std::clock_t cpuStart = std::clock();
        QMouseEvent press(QEvent::MouseButtonPress, at, dot->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(dot, &press);
        const double checkMs = millisecondsSince(start);
        const double checkCpuMs = cpuMillisecondsSince(cpuStart);
        if (label->text() != expected || !errors.isEmpty()) {
            std::fprintf(stderr, "bench: check showed \"%s\" %s\n", qPrintable(label->text()),
                         qPrintable(errors.join(QLatin1Char(' '))));
            ok = false;
        }

        QByteArray stat;
        start = Clock::now();
        cpuStart = std::clock();
        ok = ok && rawDialogue(server->port(), &stat);
        const double rawMs = millisecondsSince(start);
        const double rawCpuMs = cpuMillisecondsSince(cpuStart);
        if (stat != "+OK 3 " + QByteArray::number(size)) {
            std::fprintf(stderr, "bench: raw dialogue got \"%s\"\n", stat.constData());
            ok = false;
        }

        double curlMs = 0;
        if (!curl.isEmpty()) {
            start = Clock::now();
            ok = ok && curlProcess(curl, server->port());
            curlMs = millisecondsSince(start);
        }
        if (i >= 0) {
            check.push_back(checkMs);
            raw.push_back(rawMs);
            checkCpu.push_back(checkCpuMs);
            rawCpu.push_back(rawCpuMs);
            if (!curl.isEmpty())
                command.push_back(curlMs);
        }
    }

    if (!ok)
        return 1;

    const double c = median(check), r = median(raw);
    std::printf("median over %d rounds, loopback Dovecot, 3 messages:\n", iterations);
    const double cc = median(checkCpu), rc = median(rawCpu);
    std::printf("                                               wall         CPU (this process)\n");
    std::printf("  check (press to status text, in process)   %7.2f ms  %7.2f ms\n", c, cc);
    std::printf("  raw dialogue (USER PASS STAT QUIT, socket)  %7.2f ms  %7.2f ms\n", r, rc);
    if (!command.empty())
        std::printf("  curl command doing STAT (whole process)     %7.2f ms\n", median(command));
    std::printf("ratios:\n  check / raw   %.2f  (target at most 1.30: %s)\n", c / r, c / r <= 1.3 ? "met" : "MISSED");
    if (rc > 0)
        std::printf("  check / raw, CPU  %.2f\n", cc / rc);
    if (!command.empty()) {
        std::printf("  curl / raw    %.2f\n", median(command) / r);
        std::printf("  check / curl  %.2f\n", c / median(command));
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int iterations = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc)
            iterations = std::max(1, std::atoi(argv[++i]));
    }
    Gui::Application app(argc, argv);
    return run(iterations);
}
