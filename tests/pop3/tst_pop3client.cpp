// The POP3 client on its own: what it does with faulty servers, with input
// that must never reach the network, and with POP3 over TLS.

#include "dovecotfixture.h"
#include "fakepop3server.h"
#include "pop3client.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

// Short bounds so a silent server costs a second, not a quarter minute.
void useShortTimeouts(Pop3Client &client)
{
    client.setTimeouts(1000ms, 1s, 3000ms);
}

// Runs a check; returns the error text, or "" when it succeeded.
QString check(Pop3Client &client)
{
    try {
        client.connect();
        return QString();
    } catch (const Pop3Error &e) {
        return QString::fromUtf8(e.what());
    }
}

} // namespace

class TestPop3Client : public QObject
{
    Q_OBJECT

private slots:
    void scriptedServer_data();
    void scriptedServer();
    void refusedInputNeverConnects_data();
    void refusedInputNeverConnects();
    void ipv6LiteralGoesInBrackets_data();
    void ipv6LiteralGoesInBrackets();
    void portZeroMeansStandardPort();
    void unresolvableName();
    void notConnected();
    void wrongPasswordCarriesServerText();
    void tlsWithUntrustedCertificateFails();
    void tlsWithTrustedCertificateLogsIn();
    void tlsAgainstPlainServerSendsNoCredentials();
};

void TestPop3Client::scriptedServer_data()
{
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<bool>("closeAfterGreeting");
    QTest::addColumn<QByteArray>("statReply");
    // Either a fragment of the expected error, or "" and the expected numbers.
    QTest::addColumn<QString>("error");
    QTest::addColumn<qint64>("count");
    QTest::addColumn<qint64>("size");

    const QByteArray hello = "+OK fake POP3 ready\r\n";
    QTest::newRow("empty mailbox") << hello << false << QByteArray("+OK 0 0\r\n") << "" << 0LL << 0LL;
    QTest::newRow("text after the size") << hello << false << QByteArray("+OK 3 228 octets\r\n") << "" << 3LL << 228LL;
    QTest::newRow("bare LF") << hello << false << QByteArray("+OK 2 40\n") << "" << 2LL << 40LL;
    QTest::newRow("size beyond 32 bits") << hello << false << QByteArray("+OK 3 4294967296\r\n") << "" << 3LL
                                         << 4294967296LL;
    QTest::newRow("largest 64-bit size") << hello << false << QByteArray("+OK 1 9223372036854775807\r\n") << ""
                                         << 1LL << 9223372036854775807LL;

    QTest::newRow("never greets") << QByteArray() << false << QByteArray() << "svarte ikke innen 1 sekund" << 0LL << 0LL;
    QTest::newRow("greets with -ERR") << QByteArray("-ERR go away\r\n") << false << QByteArray()
                                      << "hilste ikke som forventet: «-ERR go away»" << 0LL << 0LL;
    QTest::newRow("closes after greeting") << hello << true << QByteArray() << "brøt forbindelsen" << 0LL << 0LL;
    QTest::newRow("STAT refused") << hello << false << QByteArray("-ERR mailbox locked\r\n")
                                  << "avviste STAT: -ERR mailbox locked" << 0LL << 0LL;
    QTest::newRow("count not a number") << hello << false << QByteArray("+OK three 228\r\n")
                                        << "Ugyldig svar på STAT" << 0LL << 0LL;
    QTest::newRow("negative count") << hello << false << QByteArray("+OK -1 228\r\n") << "Ugyldig svar på STAT"
                                    << 0LL << 0LL;
    QTest::newRow("size missing") << hello << false << QByteArray("+OK 3\r\n") << "størrelsen mangler" << 0LL << 0LL;
    QTest::newRow("size with sign") << hello << false << QByteArray("+OK 3 +228\r\n") << "Ugyldig svar på STAT"
                                    << 0LL << 0LL;
    QTest::newRow("size 1e3") << hello << false << QByteArray("+OK 3 1e3\r\n") << "Ugyldig svar på STAT" << 0LL << 0LL;
    QTest::newRow("size beyond 64 bits") << hello << false << QByteArray("+OK 1 9223372036854775808\r\n")
                                         << "størrelsen er for stor" << 0LL << 0LL;
    // Not a reply at all, so the check waits for one, within its bound.
    QTest::newRow("empty STAT reply") << hello << false << QByteArray("\r\n") << "svarte ikke innen 1 sekund (på STAT)"
                                      << 0LL << 0LL;
    // Longer than RFC 1939 allows, but short enough that libcurl passes it on.
    QTest::newRow("long line") << hello << false << "+OK 1 5 " + QByteArray(3000, 'x') + "\r\n"
                               << "lengre enn 1024 byte" << 0LL << 0LL;
    // So long that libcurl clips it and would hand on a plausible prefix.
    QTest::newRow("endless line") << hello << false << "+OK 1 5 " + QByteArray(100000, ' ') + "7\r\n"
                                  << "lengre enn 1024 byte" << 0LL << 0LL;
}

void TestPop3Client::scriptedServer()
{
    QFETCH(QByteArray, greeting);
    QFETCH(bool, closeAfterGreeting);
    QFETCH(QByteArray, statReply);
    QFETCH(QString, error);
    QFETCH(qint64, count);
    QFETCH(qint64, size);

    FakePop3Server server(FakePop3Server::Script{greeting, closeAfterGreeting, statReply});
    Pop3Client client;
    useShortTimeouts(client);
    client.setHost("127.0.0.1");
    client.setPort(server.port());
    client.setUserName("kari");
    client.setPassword("hemmelig");

    QElapsedTimer timer;
    timer.start();
    const QString text = check(client);
    // Every fault ends within the bounds set above (whole check: 3 s).
    QVERIFY2(timer.elapsed() < 3500, qPrintable(QString::number(timer.elapsed())));
    if (error.isEmpty()) {
        QVERIFY2(text.isEmpty(), qPrintable(text));
        QVERIFY(client.connected());
        QCOMPARE(client.messageCount(), count);
        QCOMPARE(client.mailboxSize(), size);
        client.disconnect();
        QVERIFY(!client.connected());
        QTRY_VERIFY(server.received().endsWith("QUIT\r\n"));
    } else {
        QVERIFY2(text.contains(error), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("127.0.0.1:%1").arg(server.port())), qPrintable(text));
        // A failed check leaves nothing open and no old numbers behind.
        QVERIFY(!client.connected());
        QVERIFY_THROWS_EXCEPTION(Pop3Error, client.messageCount());
    }
}

void TestPop3Client::refusedInputNeverConnects_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("error");

    // Each host would change what the URL means: a path, user info, a query,
    // a fragment, a second port, a second line.
    const QByteArray u = "kari", p = "hemmelig";
    QTest::newRow("empty host") << QByteArray() << 0 << u << p << "servernavnet er tomt";
    QTest::newRow("slash") << QByteArray("127.0.0.1/x") << 0 << u << p << "tegnet «/»";
    QTest::newRow("at sign") << QByteArray("evil@127.0.0.1") << 0 << u << p << "tegnet «@»";
    QTest::newRow("question mark") << QByteArray("127.0.0.1?x") << 0 << u << p << "tegnet «?»";
    QTest::newRow("hash") << QByteArray("127.0.0.1#x") << 0 << u << p << "tegnet «#»";
    QTest::newRow("percent") << QByteArray("127.0.0.1%2f") << 0 << u << p << "tegnet «%»";
    QTest::newRow("host with port") << QByteArray("127.0.0.1:110") << 0 << u << p << "verken et vertsnavn";
    QTest::newRow("space") << QByteArray("127.0.0.1 ") << 0 << u << p << "mellomrom eller kontrolltegn";
    QTest::newRow("line feed") << QByteArray("127.0.0.1\nx") << 0 << u << p << "mellomrom eller kontrolltegn";
    QTest::newRow("NUL") << QByteArray("127.0.0.1\0x", 11) << 0 << u << p << "mellomrom eller kontrolltegn";
    QTest::newRow("negative port") << QByteArray("127.0.0.1") << -1 << u << p << "Ugyldig portnummer -1";
    QTest::newRow("port too large") << QByteArray("127.0.0.1") << 65536 << u << p << "Ugyldig portnummer 65536";
    QTest::newRow("empty user") << QByteArray("127.0.0.1") << 0 << QByteArray() << p << "brukernavnet er tomt";
    // Sent as "PASS ..." by a USER/PASS login: a line break would start a
    // command of the password's choosing; a NUL would send a shorter one.
    QTest::newRow("CRLF in password") << QByteArray("127.0.0.1") << 0 << u << QByteArray("x\r\nDELE 1")
                                      << "Passordet inneholder et linjeskift";
    QTest::newRow("NUL in password") << QByteArray("127.0.0.1") << 0 << u << QByteArray("ab\0cd", 5)
                                     << "Passordet inneholder et linjeskift eller et NUL-tegn";
    QTest::newRow("LF in user") << QByteArray("127.0.0.1") << 0 << QByteArray("kari\nx") << p
                                << "Brukernavnet inneholder et linjeskift";
}

void TestPop3Client::refusedInputNeverConnects()
{
    QFETCH(QByteArray, host);
    QFETCH(int, port);
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, password);
    QFETCH(QString, error);

    // A listener on the port a valid host would reach; it must see nothing.
    FakePop3Server server(FakePop3Server::Script{});
    Pop3Client client;
    client.setHost(host);
    client.setPort(port == 0 ? server.port() : port);
    client.setUserName(user);
    client.setPassword(password);
    const QString text = check(client);
    QVERIFY2(text.contains(error), qPrintable(text));
    QVERIFY(!client.connected());
    QTest::qWait(50);
    QCOMPARE(server.connections(), 0);
}

void TestPop3Client::ipv6LiteralGoesInBrackets_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::newRow("bare") << QByteArray("::1");
    QTest::newRow("bracketed") << QByteArray("[::1]");
}

void TestPop3Client::ipv6LiteralGoesInBrackets()
{
    // Nothing listens on port 1 of the IPv6 loopback (or it does not exist):
    // the attempt fails, but it went to the address, not to a misread URL.
    QFETCH(QByteArray, host);
    Pop3Client client;
    useShortTimeouts(client);
    client.setHost(host);
    client.setPort(1);
    client.setUserName("kari");
    client.setPassword("hemmelig");
    const QString text = check(client);
    QVERIFY2(text.contains(QLatin1String("POP3-serveren [::1]:1")), qPrintable(text));
    QVERIFY(!client.connected());
}

void TestPop3Client::portZeroMeansStandardPort()
{
    // The answer depends on whether this machine listens on 110; either way
    // the attempt went to 110, never to port 0.
    Pop3Client client;
    useShortTimeouts(client);
    client.setHost("127.0.0.1");
    client.setPort(0);
    client.setUserName(TestDovecot::uniqueUser("nobody-here"));
    client.setPassword("x");
    const QString text = check(client);
    QVERIFY2(text.contains(QLatin1String("127.0.0.1:110")), qPrintable(text));
}

void TestPop3Client::unresolvableName()
{
    // Only where a name lookup cannot leave the machine: CTest runs this
    // one in a network namespace of its own (pop3_client_no_network), whose
    // interfaces /proc/net/dev lists: nothing but a loopback that is down.
    if (qgetenv("KORVELIN_ISOLATED_NETWORK") != "1")
        QSKIP("runs only in a network namespace of its own (test pop3_client_no_network)");
    QFile devices(QStringLiteral("/proc/net/dev"));
    QVERIFY(devices.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = devices.readAll().trimmed().split('\n');
    for (const QByteArray &line : lines.mid(2)) {
        if (!line.trimmed().startsWith("lo:"))
            QSKIP("this network namespace has interfaces beside lo");
    }

    Pop3Client client;
    useShortTimeouts(client);
    client.setHost("mail.korvelin.invalid");
    client.setUserName("kari");
    client.setPassword("hemmelig");
    const QString text = check(client);
    QCOMPARE(text, QStringLiteral("Fant ikke POP3-serveren mail.korvelin.invalid:110: navnet kunne ikke slås opp."));
}

void TestPop3Client::notConnected()
{
    Pop3Client client;
    QVERIFY(!client.connected());
    QVERIFY_THROWS_EXCEPTION(Pop3Error, client.messageCount());
    QVERIFY_THROWS_EXCEPTION(Pop3Error, client.mailboxSize());
    client.disconnect(); // harmless when nothing is open
}

void TestPop3Client::wrongPasswordCarriesServerText()
{
    QString why;
    const auto server = TestDovecot::Server::find(&why);
    if (!server)
        QSKIP(qPrintable(why));
    const QByteArray user = TestDovecot::uniqueUser("feil");
    server->setUser(user, "riktig");

    Pop3Client client;
    client.setHost("127.0.0.1");
    client.setPort(server->port());
    client.setUserName(user);
    client.setPassword("galt");
    const QString text = check(client);
    // libcurl's own error buffer is empty here: the text is the server's.
    QVERIFY2(text.startsWith(QStringLiteral("Innlogging avvist av POP3-serveren 127.0.0.1:%1: ").arg(server->port())),
             qPrintable(text));
    QVERIFY2(text.endsWith(QLatin1String("-ERR [AUTH] Authentication failed.")), qPrintable(text));
    QVERIFY(!client.connected());

    client.setPassword("riktig");
    QCOMPARE(check(client), QString());
    QCOMPARE(client.messageCount(), 0);
}

void TestPop3Client::tlsWithUntrustedCertificateFails()
{
    QString why;
    const auto server = TestDovecot::Server::find(&why);
    if (!server)
        QSKIP(qPrintable(why));
    if (!server->tlsPort())
        QSKIP("the test Dovecot has no TLS listener");
    const QByteArray user = TestDovecot::uniqueUser("tls");
    server->setUser(user, "hemmelig");

    Pop3Client client;
    client.setHost("127.0.0.1");
    client.setPort(server->tlsPort());
    client.setTlsPort(server->tlsPort()); // stands in for 995
    client.setUserName(user);
    client.setPassword("hemmelig");
    const QString text = check(client);
    QVERIFY2(text.startsWith(QLatin1String("Sertifikatet til POP3-serveren 127.0.0.1:")), qPrintable(text));
    QVERIFY2(text.contains(QLatin1String("self-signed")), qPrintable(text));
    QVERIFY(!client.connected());

    // The server never saw a login attempt for this user.
    QFile log(QString::fromUtf8(server->logFile()));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(!log.readAll().contains("user=<" + user + ">"));
}

void TestPop3Client::tlsWithTrustedCertificateLogsIn()
{
    QString why;
    const auto server = TestDovecot::Server::find(&why);
    if (!server)
        QSKIP(qPrintable(why));
    if (!server->tlsPort())
        QSKIP("the test Dovecot has no TLS listener");
    const QByteArray user = TestDovecot::uniqueUser("tls");
    server->setUser(user, "hemmelig");
    const QByteArray message = "Subject: over TLS\n\nHei\n";
    server->addMessage(user, message);

    Pop3Client client;
    client.setHost("127.0.0.1");
    client.setPort(server->tlsPort());
    client.setTlsPort(server->tlsPort());
    client.setCaFile(server->certificateFile());
    client.setUserName(user);
    client.setPassword("hemmelig");
    QCOMPARE(check(client), QString());
    QCOMPARE(client.messageCount(), 1);
    QCOMPARE(client.mailboxSize(), TestDovecot::statSize(message));
    client.disconnect();

    // The same server's plain port is a plain dialogue on any other port.
    client.setPort(server->port());
    QCOMPARE(check(client), QString());
    QCOMPARE(client.messageCount(), 1);
}

void TestPop3Client::tlsAgainstPlainServerSendsNoCredentials()
{
    FakePop3Server server(FakePop3Server::Script{});
    Pop3Client client;
    useShortTimeouts(client);
    client.setHost("127.0.0.1");
    client.setPort(server.port());
    client.setTlsPort(server.port());
    client.setUserName("kari");
    client.setPassword("hemmelig");
    const QString text = check(client);
    QVERIFY2(text.contains(QLatin1String("TLS-forbindelse til POP3-serveren")), qPrintable(text));
    QVERIFY(!client.connected());
    QTRY_COMPARE(server.connections(), 1);
    const QByteArray seen = server.received();
    QVERIFY(!seen.isEmpty()); // the TLS handshake
    for (const char *secret : {"USER", "PASS", "AUTH", "kari", "hemmelig"})
        QVERIFY2(!seen.contains(secret), secret);
}

QTEST_GUILESS_MAIN(TestPop3Client)
#include "tst_pop3client.moc"
