// The ICMP echo client: each way of sending works where the system allows
// it, the first usable one is taken, silence and strangers' replies read as
// no reply, and every failure says why. Runs in a network namespace of its
// own (testnet.h).

#include "icmpclient.h"
#include "testnet.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

Q_DECLARE_METATYPE(IcmpClient::Method)
Q_DECLARE_METATYPE(IcmpClient::Methods)

namespace {

// The ICMP header and the data: the same whichever way the ping went.
constexpr int EchoReplySize = 8 + IcmpClient::DefaultDataSize;
constexpr int QuickTimeoutMs = 500;

QString writeScript(const QTemporaryDir &dir, const QString &name, const QByteArray &body)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("#!/bin/sh\n" + body + "\n");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    return path;
}

quint16 internetChecksum(const unsigned char *p, int length)
{
    quint32 sum = 0;
    for (int i = 0; i + 1 < length; i += 2)
        sum += quint32((p[i] << 8) | p[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return quint16(~sum);
}

// While alive, a thread sends echo replies with the given identifier and
// sequence to a local address, as if some other program were pinging it:
// the raw socket of the client under test sees every one of them.
class StrayReplies
{
public:
    StrayReplies(const QString &address, quint16 identifier, quint16 sequence)
    {
        const bool v6 = address.contains(QLatin1Char(':'));
        std::memset(&m_to, 0, sizeof m_to);
        if (v6) {
            auto *to = reinterpret_cast<sockaddr_in6 *>(&m_to);
            to->sin6_family = AF_INET6;
            inet_pton(AF_INET6, address.toLatin1().constData(), &to->sin6_addr);
            m_toLength = sizeof(sockaddr_in6);
        } else {
            auto *to = reinterpret_cast<sockaddr_in *>(&m_to);
            to->sin_family = AF_INET;
            inet_pton(AF_INET, address.toLatin1().constData(), &to->sin_addr);
            m_toLength = sizeof(sockaddr_in);
        }
        m_fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_RAW | SOCK_CLOEXEC, v6 ? int(IPPROTO_ICMPV6) : int(IPPROTO_ICMP));
        unsigned char *p = m_packet;
        std::memset(p, 0, sizeof m_packet);
        p[0] = v6 ? 129 : 0; // echo reply
        p[4] = uchar(identifier >> 8);
        p[5] = uchar(identifier);
        p[6] = uchar(sequence >> 8);
        p[7] = uchar(sequence);
        if (!v6) { // the kernel sums ICMPv6 itself
            const quint16 sum = internetChecksum(p, sizeof m_packet);
            p[2] = uchar(sum >> 8);
            p[3] = uchar(sum);
        }
        if (m_fd >= 0)
            m_thread = std::thread([this] { send(); });
    }
    ~StrayReplies()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }

private:
    void send()
    {
        while (!m_stop) {
            ::sendto(m_fd, m_packet, sizeof m_packet, 0, reinterpret_cast<const sockaddr *>(&m_to), m_toLength);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    int m_fd = -1;
    sockaddr_storage m_to;
    socklen_t m_toLength = 0;
    unsigned char m_packet[8 + IcmpClient::DefaultDataSize];
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

class TestIcmpClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void eachWayWorksAlone_data();
    void eachWayWorksAlone();
    void firstUsableWayIsTaken_data();
    void firstUsableWayIsTaken();
    void silentHostIsNoReply_data();
    void silentHostIsNoReply();
    void repliesToOthersAreIgnored_data();
    void repliesToOthersAreIgnored();
    void failuresSayWhy_data();
    void failuresSayWhy();
    void pingProgramFailures_data();
    void pingProgramFailures();
    void pingProgramGetsTheAddressAfterItsOptions();
    void userWithoutRights_data();
    void userWithoutRights();

private:
    QTemporaryDir m_scripts;
};

void TestIcmpClient::initTestCase()
{
    KORVELIN_SKIP_WITHOUT_PRIVATE_NETWORK();
    QString why;
    QVERIFY2(TestNet::AddTestAddresses(&why), qPrintable(why));
    QVERIFY(m_scripts.isValid());
}

void TestIcmpClient::init()
{
    QVERIFY(TestNet::ResetSysctls());
}

void TestIcmpClient::eachWayWorksAlone_data()
{
    QTest::addColumn<IcmpClient::Method>("method");
    QTest::addColumn<QString>("host");

    const struct
    {
        IcmpClient::Method method;
        const char *name;
    } methods[] = {{IcmpClient::Datagram, "datagram"}, {IcmpClient::Raw, "raw"}, {IcmpClient::Program, "program"}};
    for (const auto &m : methods) {
        for (const char *host : {"127.0.0.1", "::1", "[::1]", "localhost"})
            QTest::addRow("%s %s", m.name, host) << m.method << QString::fromLatin1(host);
    }
}

void TestIcmpClient::eachWayWorksAlone()
{
    QFETCH(IcmpClient::Method, method);
    QFETCH(QString, host);
    QVERIFY(TestNet::SetPingGroupRange(method == IcmpClient::Datagram));

    IcmpClient client;
    client.setMethods(method);
    // A socket way that ran the ping program instead would fail here.
    if (method != IcmpClient::Program)
        client.setPingProgram(QStringLiteral("/nonexistent/ping"));
    client.setHost(host);
    QCOMPARE(client.Ping(), EchoReplySize);
    QCOMPARE(client.bytesReceived(), EchoReplySize);
    QCOMPARE(client.lastMethod(), method);
}

void TestIcmpClient::firstUsableWayIsTaken_data()
{
    QTest::addColumn<bool>("datagramAllowed");
    QTest::addColumn<IcmpClient::Method>("expected");
    QTest::newRow("datagram allowed") << true << IcmpClient::Datagram;
    // As for root on a stock system: the datagram socket is refused.
    QTest::newRow("datagram refused") << false << IcmpClient::Raw;
}

void TestIcmpClient::firstUsableWayIsTaken()
{
    QFETCH(bool, datagramAllowed);
    QFETCH(IcmpClient::Method, expected);
    QVERIFY(TestNet::SetPingGroupRange(datagramAllowed));

    IcmpClient client;
    client.setHost(QStringLiteral("127.0.0.1"));
    QCOMPARE(client.Ping(), EchoReplySize);
    QCOMPARE(client.lastMethod(), expected);
}

void TestIcmpClient::silentHostIsNoReply_data()
{
    QTest::addColumn<IcmpClient::Method>("method");
    QTest::addColumn<QString>("host");
    for (const QString &host : {TestNet::QuietV4, TestNet::QuietV6}) {
        const QByteArray h = host.toLatin1();
        QTest::addRow("datagram %s", h.constData()) << IcmpClient::Datagram << host;
        // Our own request loops back to the raw socket: it is no reply.
        QTest::addRow("raw %s", h.constData()) << IcmpClient::Raw << host;
        QTest::addRow("program %s", h.constData()) << IcmpClient::Program << host;
    }
}

void TestIcmpClient::silentHostIsNoReply()
{
    QFETCH(IcmpClient::Method, method);
    QFETCH(QString, host);
    QVERIFY(TestNet::SetPingGroupRange(true));
    QVERIFY(TestNet::SetEchoReplies(false));

    IcmpClient client;
    client.setMethods(method);
    client.setTimeoutMs(QuickTimeoutMs);
    client.setHost(host);
    QCOMPARE(client.Ping(), 0);
    QCOMPARE(client.lastMethod(), method);
}

void TestIcmpClient::repliesToOthersAreIgnored_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("identifierOffset");
    QTest::addColumn<int>("sequenceOffset");
    QTest::addColumn<int>("expected");
    for (const QString &host : {TestNet::QuietV4, TestNet::QuietV6}) {
        const QByteArray h = host.toLatin1();
        QTest::addRow("other identifier %s", h.constData()) << host << 1 << 0 << 0;
        QTest::addRow("other sequence %s", h.constData()) << host << 0 << 1 << 0;
        // The same fixture with the right numbers: the stray replies do
        // reach the client's socket.
        QTest::addRow("ours %s", h.constData()) << host << 0 << 0 << EchoReplySize;
    }
}

void TestIcmpClient::repliesToOthersAreIgnored()
{
    QFETCH(QString, host);
    QFETCH(int, identifierOffset);
    QFETCH(int, sequenceOffset);
    QFETCH(int, expected);
    QVERIFY(TestNet::SetEchoReplies(false));

    IcmpClient client;
    client.setMethods(IcmpClient::Raw);
    client.setTimeoutMs(QuickTimeoutMs);
    client.setHost(host);
    client.setIdentifier(0x4b56);
    StrayReplies stray(host, quint16(client.identifier() + identifierOffset),
                       quint16(client.nextSequence() + sequenceOffset));
    QVERIFY(stray.ok());
    QCOMPARE(client.Ping(), expected);
}

void TestIcmpClient::failuresSayWhy_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<IcmpClient::Methods>("methods");
    QTest::addColumn<bool>("programMissing");
    QTest::addColumn<QStringList>("says");

    const IcmpClient::Methods all = IcmpClient::AllMethods;
    // clang-format off
    QTest::newRow("no host") << QString() << all << false << QStringList{QStringLiteral("Ingen vert")};
    QTest::newRow("blank in the name") << QStringLiteral("mail .example") << all << false
                                       << QStringList{QStringLiteral("«mail .example» er ikke et gyldig vertsnavn")};
    QTest::newRow("NUL in the address") << QStringLiteral("127.0.0.1") + QChar(0) + QStringLiteral("x") << all
                                        << false << QStringList{QStringLiteral("ikke et gyldig vertsnavn")};
    QTest::newRow("reads like an option") << QStringLiteral("-fc9") << IcmpClient::Methods(IcmpClient::Program)
                                          << false << QStringList{QStringLiteral("«-fc9» er ikke et gyldig vertsnavn")};
    // The rule the POP3 client's server name follows: a C1 control and the
    // parts of a URL never reach the resolver.
    QTest::newRow("C1 control") << QStringLiteral("127.0.0.1\u009b") << all << false
                                << QStringList{QStringLiteral("«127.0.0.1\\xC2\\x9B» er ikke et gyldig vertsnavn")};
    QTest::newRow("user part") << QStringLiteral("evil@127.0.0.1") << IcmpClient::Methods(IcmpClient::Program)
                               << false << QStringList{QStringLiteral("«evil@127.0.0.1» er ikke et gyldig vertsnavn")};
    QTest::newRow("unresolvable name") << QStringLiteral("nosuchhost.invalid") << all << false
                                       << QStringList{QStringLiteral("Finner ikke adressen til nosuchhost.invalid: ")};
    QTest::newRow("every way refused")
        << QStringLiteral("127.0.0.1") << IcmpClient::Methods(IcmpClient::Datagram | IcmpClient::Program) << true
        << QStringList{QStringLiteral("Kan ikke sende ping til 127.0.0.1: "),
                       QStringLiteral("datagram-ICMP-socket: ") + QString::fromLocal8Bit(std::strerror(EACCES)),
                       QStringLiteral("rå ICMP-socket: ikke valgt"), QStringLiteral("/nonexistent/ping")};
    // clang-format on
}

void TestIcmpClient::failuresSayWhy()
{
    QFETCH(QString, host);
    QFETCH(IcmpClient::Methods, methods);
    QFETCH(bool, programMissing);
    QFETCH(QStringList, says);

    // A stand-in ping program that leaves a mark: a host that fails
    // must never reach it.
    const QString mark = m_scripts.filePath(QStringLiteral("ran"));
    QFile::remove(mark);
    const QString recorder = writeScript(m_scripts, QStringLiteral("recorder"), "touch \"$0.ran\"; exit 1");
    QVERIFY(!recorder.isEmpty());

    IcmpClient client;
    client.setMethods(methods);
    client.setPingProgram(programMissing ? QStringLiteral("/nonexistent/ping") : recorder);
    client.setHost(host);
    try {
        client.Ping();
        QFAIL("the ping did not fail");
    } catch (const IcmpError &e) {
        const QString message = QString::fromStdString(e.what());
        for (const QString &part : says)
            QVERIFY2(message.contains(part), qPrintable(message));
    }
    QVERIFY(!QFile::exists(recorder + QStringLiteral(".ran")));
    QCOMPARE(client.bytesReceived(), 0);
}

void TestIcmpClient::pingProgramFailures_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("says");
    // clang-format off
    QTest::newRow("reports an error") << QByteArray("echo 'ping: sendmsg: Operation not permitted' >&2; exit 2")
                                      << QStringLiteral("Ping-programmet feilet: ping: sendmsg: Operation not permitted");
    QTest::newRow("dies") << QByteArray("kill -9 $$") << QStringLiteral("stoppet uventet");
    QTest::newRow("hangs") << QByteArray("echo $$ > \"$0.pid\"; exec sleep 60") << QStringLiteral("ble ikke ferdig");
    // clang-format on
}

void TestIcmpClient::pingProgramFailures()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, says);
    const QString program = writeScript(m_scripts, QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_'),
                                        script);
    QVERIFY(!program.isEmpty());

    IcmpClient client;
    client.setMethods(IcmpClient::Program);
    client.setPingProgram(program);
    client.setTimeoutMs(200);
    client.setHost(QStringLiteral("127.0.0.1"));
    try {
        client.Ping();
        QFAIL("the ping did not fail");
    } catch (const IcmpError &e) {
        QVERIFY2(QString::fromStdString(e.what()).contains(says), e.what());
    }

    // A program that hung is gone, not left behind.
    QFile pidFile(program + QStringLiteral(".pid"));
    if (pidFile.open(QIODevice::ReadOnly)) {
        const pid_t pid = pid_t(pidFile.readAll().trimmed().toInt());
        QVERIFY(pid > 0);
        QVERIFY(::kill(pid, 0) != 0 && errno == ESRCH);
    }
}

void TestIcmpClient::pingProgramGetsTheAddressAfterItsOptions()
{
    const QString program = writeScript(m_scripts, QStringLiteral("args"),
                                        "for a in \"$@\"; do echo \"$a\"; done > \"$0.args\"; exit 1");
    IcmpClient client;
    client.setMethods(IcmpClient::Program);
    client.setPingProgram(program);
    client.setHost(QStringLiteral("localhost"));
    QCOMPARE(client.Ping(), 0); // exit code 1: no reply

    QFile file(program + QStringLiteral(".args"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList args = QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // Resolved here, handed over as an address, after the end of the options.
    QVERIFY2(args.size() >= 2, qPrintable(args.join(' ')));
    QVERIFY2(args.last() == QLatin1String("127.0.0.1") || args.last() == QLatin1String("::1"),
             qPrintable(args.join(' ')));
    QCOMPARE(args.at(args.size() - 2), QStringLiteral("--"));
    const int count = args.indexOf(QStringLiteral("-c"));
    QVERIFY2(count >= 0 && args.value(count + 1) == QLatin1String("1"), qPrintable(args.join(' ')));
}

void TestIcmpClient::userWithoutRights_data()
{
    QTest::addColumn<bool>("datagramAllowed");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("says");
    // clang-format off
    QTest::newRow("the ping program") << false << QStringLiteral("ping")
                                      << QStringList{QStringLiteral("method=%1 bytes=%2").arg(IcmpClient::Program).arg(EchoReplySize)};
    QTest::newRow("datagram socket") << true << QStringLiteral("ping")
                                     << QStringList{QStringLiteral("method=%1 bytes=%2").arg(IcmpClient::Datagram).arg(EchoReplySize)};
    QTest::newRow("nothing usable")
        << false << QStringLiteral("/nonexistent/ping")
        << QStringList{QStringLiteral("error="),
                       QStringLiteral("datagram-ICMP-socket: ") + QString::fromLocal8Bit(std::strerror(EACCES)),
                       QStringLiteral("rå ICMP-socket: ") + QString::fromLocal8Bit(std::strerror(EPERM)),
                       QStringLiteral("/nonexistent/ping")};
    // clang-format on
}

void TestIcmpClient::userWithoutRights()
{
    QFETCH(bool, datagramAllowed);
    QFETCH(QString, program);
    QFETCH(QStringList, says);

    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty())
        QSKIP("setpriv (util-linux) is needed to run the client as nobody");
    // A copy of the probe that nobody can reach, wherever the build lives.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                                  | QFile::ExeOther));
    const QString probe = dir.filePath(QStringLiteral("reach_probe"));
    QVERIFY(QFile::copy(QStringLiteral(REACH_PROBE), probe));
    QVERIFY(QFile::setPermissions(probe, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    QVERIFY(TestNet::SetPingGroupRange(datagramAllowed));

    QProcess process;
    process.start(setpriv, {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                            QStringLiteral("--clear-groups"), QStringLiteral("--"), probe, QStringLiteral("127.0.0.1"),
                            program});
    QVERIFY(process.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(process.readAllStandardOutput());
    const QString errors = QString::fromLocal8Bit(process.readAllStandardError());
    for (const QString &part : says)
        QVERIFY2(output.contains(part), qPrintable(output + errors));
}

KORVELIN_PRIVATE_NETWORK_TEST_MAIN(QCoreApplication, TestIcmpClient)
#include "tst_icmpclient.moc"
