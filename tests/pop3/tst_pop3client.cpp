// The POP3 client on its own: what it does with faulty servers, with input
// that must never reach the network, and with POP3 over TLS.

#include "dovecotfixture.h"
#include "fakepop3server.h"
#include "pop3client.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "posixsockets.h"

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(FakePop3Server::Script)
Q_DECLARE_METATYPE(TestDovecot::Server::Storage)

namespace {

// Short bounds so a silent server costs a second, not a quarter minute.
void useShortTimeouts(Pop3Client &client)
{
    client.setTimeouts(1000ms, 1s, 3000ms);
}

// Points the client at host:port with this account; connect() does the rest.
void aimAt(Pop3Client &client, const QByteArray &host, int port, const QByteArray &user, const QByteArray &password)
{
    client.setHost(host);
    client.setPort(port);
    client.setUserName(user);
    client.setPassword(password);
}

// A port on 127.0.0.1 that refuses connections: bound, so nobody else takes
// it while the test runs, but not listening.
class RefusingPort
{
public:
    RefusingPort()
    {
        m_fd = int(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
            && ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~RefusingPort()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    RefusingPort(const RefusingPort &) = delete;
    RefusingPort &operator=(const RefusingPort &) = delete;
    quint16 port() const { return m_port; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

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

// The test Dovecot's TLS listener with a new user whose password is
// "hemmelig", and a client that logs in there as that user with the TLS
// port standing in for 995; no server, with the reason in *why, where there
// is no such listener.
std::optional<TestDovecot::Server> tlsLogin(Pop3Client &client, QByteArray *user, QString *why)
{
    std::optional<TestDovecot::Server> server = TestDovecot::Server::find(why);
    if (server && !server->tlsPort()) {
        *why = QStringLiteral("the test Dovecot has no TLS listener");
        server.reset();
    }
    if (!server)
        return server;
    *user = TestDovecot::uniqueUser("tls");
    server->setUser(*user, "hemmelig");
    aimAt(client, "127.0.0.1", server->tlsPort(), *user, "hemmelig");
    client.setTlsPort(server->tlsPort());
    return server;
}

} // namespace

class TestPop3Client : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_certificates; // made by make-test-certificates.sh
    bool m_certificatesMade = false;

private slots:
    void scriptedServer_data();
    void scriptedServer();
    void dialogueLineByLine();
    void refusedLoginSaysQuit();
    void boundsAndReasons_data();
    void boundsAndReasons();
    void refusedInputNeverConnects_data();
    void refusedInputNeverConnects();
    void ipv6LiteralGoesInBrackets_data();
    void ipv6LiteralGoesInBrackets();
    void lookupHostForm_data();
    void lookupHostForm();
    void malformedPortSendsNothing_data();
    void malformedPortSendsNothing();
    void wellFormedPorts_data();
    void wellFormedPorts();
    void portZeroMeansStandardPort();
    void unresolvableName();
    void silentNameServer();
    void notConnected();
    void dovecotLogins_data();
    void dovecotLogins();
    void wrongPasswordCarriesServerText();
    void tlsWithUntrustedCertificateFails();
    void tlsWithTrustedCertificateLogsIn();
    void certificateFaults_data();
    void certificateFaults();
    void tlsAgainstPlainServerSendsNoCredentials_data();
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
    // clang-format off
    QTest::newRow("empty mailbox") << hello << false << QByteArray("+OK 0 0\r\n") << "" << 0LL << 0LL;
    QTest::newRow("text after the size") << hello << false << QByteArray("+OK 3 228 octets\r\n") << "" << 3LL << 228LL;
    QTest::newRow("bare LF") << hello << false << QByteArray("+OK 2 40\n") << "" << 2LL << 40LL;
    QTest::newRow("size beyond 32 bits") << hello << false << QByteArray("+OK 3 4294967296\r\n") << "" << 3LL
                                         << 4294967296LL;
    QTest::newRow("largest 64-bit size") << hello << false << QByteArray("+OK 1 9223372036854775807\r\n") << ""
                                         << 1LL << 9223372036854775807LL;

    // No APOP: text in angle brackets, a timestamp or not, changes nothing.
    QTest::newRow("APOP timestamp in greeting") << QByteArray("+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>\r\n")
                                                << false << QByteArray("+OK 2 320\r\n") << "" << 2LL << 320LL;
    QTest::newRow("address in greeting") << QByteArray("+OK POP3 klar. Feil? Skriv til <postmaster@example.org>\r\n")
                                         << false << QByteArray("+OK 0 0\r\n") << "" << 0LL << 0LL;
    QTest::newRow("greets with -ERR") << QByteArray("-ERR go away\r\n") << false << QByteArray()
                                      << "hilste ikke som forventet: «-ERR go away»" << 0LL << 0LL;
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
    QTest::newRow("empty STAT reply") << hello << false << QByteArray("\r\n") << "«» (tomt svar)" << 0LL << 0LL;
    // Longer than RFC 1939 allows.
    QTest::newRow("long line") << hello << false << "+OK 1 5 " + QByteArray(3000, 'x') + "\r\n"
                               << "lengre enn 1024 byte" << 0LL << 0LL;
    // So long that a client that clips lines would hand on a plausible prefix.
    QTest::newRow("endless line") << hello << false << "+OK 1 5 " + QByteArray(100000, ' ') + "7\r\n"
                                  << "lengre enn 1024 byte" << 0LL << 0LL;
    // clang-format on
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
    aimAt(client, "127.0.0.1", server.port(), "kari", "hemmelig");

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
        // USER, PASS, STAT, QUIT and nothing else: no CAPA, no AUTH, no APOP.
        QTRY_COMPARE(server.received(), QByteArray("USER kari\r\nPASS hemmelig\r\nSTAT\r\nQUIT\r\n"));
    } else {
        QVERIFY2(text.contains(error), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("127.0.0.1:%1").arg(server.port())), qPrintable(text));
        // A failed check leaves nothing open and no old numbers behind.
        QVERIFY(!client.connected());
        QVERIFY_THROWS_EXCEPTION(Pop3Error, client.messageCount());
    }
}

// The whole check, each line the client sends checked as it comes: the
// login by USER and PASS with the bytes as given, STAT, and QUIT after the
// numbers are in hand.
void TestPop3Client::dialogueLineByLine()
{
    FakePop3Server server(FakePop3Server::Dialogue({"S: +OK Dovecot ready.", "C: USER kåre", "S: +OK",
                                                    "C: PASS blå bær", "S: +OK Logged in.", "C: STAT", "S: +OK 2 320",
                                                    "C: QUIT", "S: +OK Logging out.", "X"}));
    Pop3Client client;
    useShortTimeouts(client);
    aimAt(client, "127.0.0.1", server.port(), "kåre", "blå bær");
    const QString text = check(client);
    QVERIFY2(text.isEmpty(), qPrintable(text + u' ' + QString::fromUtf8(server.mismatch())));
    QCOMPARE(client.messageCount(), 2);
    QCOMPARE(client.mailboxSize(), 320);
    client.disconnect();
    QTRY_COMPARE(server.connections(), 1);
    QCOMPARE(server.mismatch(), QByteArray());
}

// A refused password ends the session politely: QUIT, and no STAT.
void TestPop3Client::refusedLoginSaysQuit()
{
    FakePop3Server server(
        FakePop3Server::Dialogue({"S: +OK ready", "C: USER kari", "S: +OK", "C: PASS feil",
                                  "S: -ERR [AUTH] Authentication failed.", "C: QUIT", "S: +OK bye", "X"}));
    Pop3Client client;
    useShortTimeouts(client);
    aimAt(client, "127.0.0.1", server.port(), "kari", "feil");
    const QString text = check(client);
    QVERIFY2(text.contains(QStringLiteral("-ERR [AUTH] Authentication failed.")),
             qPrintable(text + u' ' + QString::fromUtf8(server.mismatch())));
    QVERIFY(!client.connected());
    QTRY_VERIFY2(server.received().endsWith("QUIT\r\n") || !server.mismatch().isEmpty(), "no QUIT yet");
    QCOMPARE(server.mismatch(), QByteArray());
}

void TestPop3Client::boundsAndReasons_data()
{
    using Script = FakePop3Server::Script;
    QTest::addColumn<Script>("script");
    QTest::addColumn<bool>("refused"); // no server: the port refuses
    // Connect (ms), response (s), whole check (ms), QUIT (ms).
    QTest::addColumn<QList<int>>("bounds");
    // Fragments of the error text; none: the check succeeds.
    QTest::addColumn<QStringList>("expected");

    const QList<int> usual{2000, 2, 3000, 300};
    const auto with = [](auto change) {
        Script s;
        change(s);
        return s;
    };

    // The answer is in before QUIT; QUIT's silence costs its own short wait,
    // not the response time-out, and never more than the whole bound leaves.
    // clang-format off
    QTest::newRow("silent QUIT") << with([](Script &s) { s.quitReply.clear(); }) << false
                                 << QList<int>{2000, 2, 1000, 300} << QStringList();
    QTest::newRow("silent QUIT late in the check") << with([](Script &s) {
        s.quitReply.clear();
        s.slowOnly = "STAT";
        s.delay = 1000ms;
    }) << false << QList<int>{2000, 2, 1500, 1500} << QStringList();

    // The silence counts from STAT and is what the message says.
    QTest::newRow("silent after STAT") << with([](Script &s) { s.statReply.clear(); }) << false << usual
                                       << QStringList{"svarte ikke innen 2 sekunder (på STAT)."};
    // Bytes that trickle in are no answer until the line is whole.
    QTest::newRow("drip-fed STAT reply") << with([](Script &s) {
        s.slowOnly = "STAT";
        s.drip = 300ms;
    }) << false << usual << QStringList{"svarte ikke innen 2 sekunder (på STAT)."};
    QTest::newRow("drip-fed PASS reply") << with([](Script &s) {
        s.slowOnly = "PASS";
        s.drip = 300ms;
    }) << false << QList<int>{1000, 2, 3000, 300}
        << QStringList{"ble ikke ferdig med innloggingen innen 1 sekund: den svarte ikke innen", "(på PASS)."};
    QTest::newRow("slow everything") << with([](Script &s) { s.delay = 600ms; }) << false
                                     << QList<int>{3000, 2, 2000, 300}
                                     << QStringList{"POP3-sjekken mot", "ble ikke ferdig innen 2 sekunder"};
    QTest::newRow("never greets") << with([](Script &s) { s.greeting.clear(); }) << false << usual
                                  << QStringList{"svarte ikke innen 2 sekunder (ingen hilsen)."};

    // The reason in plain Norwegian, at once.
    QTest::newRow("not a POP3 server") << with([](Script &s) { s.greeting = "220 mail.example.org ESMTP\r\n"; })
                                       << false << usual
                                       << QStringList{"er ikke en POP3-server: den hilste med «220 mail.example.org "
                                                      "ESMTP»."};
    QTest::newRow("refused") << Script{} << true << usual
                             << QStringList{"Kunne ikke koble til POP3-serveren",
                                            ": maskinen avviste tilkoblingen (ingen tjeneste lytter på porten)."};
    QTest::newRow("closed before greeting") << with([](Script &s) {
        s.greeting.clear();
        s.closeAfterGreeting = true;
    }) << false << usual << QStringList{"lukket forbindelsen før hilsenen."};
    // The client says USER after the greeting; the server is gone by then.
    QTest::newRow("closed after greeting") << with([](Script &s) { s.closeAfterGreeting = true; }) << false << usual
                                           << QStringList{"lukket forbindelsen uten å svare på USER."};
    QTest::newRow("closed at PASS") << with([](Script &s) { s.closeOn = "PASS"; }) << false << usual
                                    << QStringList{"lukket forbindelsen uten å svare på PASS."};
    QTest::newRow("closed at STAT") << with([](Script &s) { s.closeOn = "STAT"; }) << false << usual
                                    << QStringList{"lukket forbindelsen uten å svare på STAT."};
    // An endless greeting is garbage, not a wait for its end.
    QTest::newRow("endless greeting") << with([](Script &s) { s.greeting = "+OK " + QByteArray(100000, 'x') + "\r\n"; })
                                      << false << usual << QStringList{"en svarlinje er lengre enn 1024 byte."};
    // clang-format on

    // Server text reaches the message whole, as the characters it was sent
    // as, markup and all; only its length and its invisible characters are
    // limited.
    const QByteArray markup = "-ERR <a href=\"http://example.invalid/\"><font size=7 color=red>Passordet er "
                              "utl\xc3\xb8pt - klikk her</font></a>";
    // clang-format off
    // A refused USER is the server's word too: the reason a server gives
    // for refusing a plain login on an open line reaches the user.
    QTest::newRow("-ERR on USER") << with([](Script &s) {
        s.userReply = "-ERR [AUTH] Plaintext authentication disallowed on non-secure (SSL/TLS) connections.\r\n";
    }) << false << usual << QStringList{"Innlogging avvist av POP3-serveren", ": -ERR [AUTH] Plaintext authentication "
                                                                              "disallowed on non-secure (SSL/TLS) "
                                                                              "connections."};
    QTest::newRow("markup -ERR on PASS") << with([&](Script &s) { s.passReply = markup + "\r\n"; }) << false << usual
                                         << QStringList{"Innlogging avvist av POP3-serveren",
                                                        ": " + QString::fromUtf8(markup)};
    QTest::newRow("markup -ERR on STAT") << with([&](Script &s) { s.statReply = markup + "\r\n"; }) << false << usual
                                         << QStringList{"avviste STAT: " + QString::fromUtf8(markup)};
    QTest::newRow("reordering marks in -ERR on STAT") << with([](Script &s) {
        s.statReply = "-ERR \xe2\x80\xae" "abc\xe2\x80\xa8" "def\x7f\r\n";
    }) << false << usual << QStringList{"avviste STAT: -ERR \\xE2\\x80\\xAEabc\\xE2\\x80\\xA8def\\x7F"};
    QTest::newRow("long -ERR on PASS") << with([](Script &s) { s.passReply = "-ERR " + QByteArray(400, 'x') + "\r\n"; })
                                       << false << usual
                                       << QStringList{": -ERR " + QString(195, QLatin1Char('x')) + QChar(0x2026)};
    // clang-format on
}

void TestPop3Client::boundsAndReasons()
{
    QFETCH(FakePop3Server::Script, script);
    QFETCH(bool, refused);
    QFETCH(QList<int>, bounds);
    QFETCH(QStringList, expected);

    std::unique_ptr<FakePop3Server> server;
    RefusingPort refusing;
    if (!refused)
        server = std::make_unique<FakePop3Server>(script);
    Pop3Client client;
    const std::chrono::milliseconds whole(bounds[2]);
    client.setTimeouts(std::chrono::milliseconds(bounds[0]), std::chrono::seconds(bounds[1]), whole,
                       std::chrono::milliseconds(bounds[3]));
    aimAt(client, "127.0.0.1", server ? server->port() : refusing.port(), "kari", "hemmelig");

    QElapsedTimer timer;
    timer.start();
    const QString text = check(client);
    if (expected.isEmpty()) {
        // The numbers are there before the session ends.
        QVERIFY2(text.isEmpty(), qPrintable(text));
        QCOMPARE(client.messageCount(), 0);
        client.disconnect();
    }
    // Connect, login, STAT and QUIT together stay within the whole bound.
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed < whole.count() + 500, qPrintable(QStringLiteral("%1 ms: %2").arg(elapsed).arg(text)));
    QVERIFY(!client.connected());
    for (const QString &fragment : expected)
        QVERIFY2(text.contains(fragment), qPrintable(text));
    if (expected.isEmpty())
        QTRY_VERIFY(server->received().endsWith("QUIT\r\n"));
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
    // clang-format off
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
    // Blanks and controls beyond ASCII, which the ping refuses too.
    QTest::newRow("no-break space") << QByteArray("127.0.0.1\xc2\xa0") << 0 << u << p << "mellomrom eller kontrolltegn";
    QTest::newRow("C1 control") << QByteArray("127.0.0.1\xc2\x9bx") << 0 << u << p << "mellomrom eller kontrolltegn";
    QTest::newRow("zero-width space") << QByteArray("127.0.0.1\xe2\x80\x8b") << 0 << u << p
                                      << "mellomrom eller kontrolltegn";
    QTest::newRow("bytes that are not text") << QByteArray("127.0.0.\xe6") << 0 << u << p
                                             << QStringLiteral("tegnet «\ufffd»");
    // Its interface is the user's to name.
    QTest::newRow("link-local IPv6 without zone") << QByteArray("fe80::1") << 0 << u << p
                                                  << "gjelder bare på ett nettverkskort";
    QTest::newRow("empty user") << QByteArray("127.0.0.1") << 0 << QByteArray() << p << "brukernavnet er tomt";
    // Sent as "PASS ..." by a USER/PASS login: a line break would start a
    // command of the password's choosing; a NUL would send a shorter one.
    QTest::newRow("CR in user") << QByteArray("127.0.0.1") << 0 << QByteArray("kari\rSTAT") << p
                                << "Brukernavnet inneholder et linjeskift";
    QTest::newRow("CRLF in password") << QByteArray("127.0.0.1") << 0 << u << QByteArray("x\r\nDELE 1")
                                      << "Passordet inneholder et linjeskift";
    QTest::newRow("NUL in password") << QByteArray("127.0.0.1") << 0 << u << QByteArray("ab\0cd", 5)
                                     << "Passordet inneholder et linjeskift eller et NUL-tegn";
    QTest::newRow("LF in user") << QByteArray("127.0.0.1") << 0 << QByteArray("kari\nx") << p
                                << "Brukernavnet inneholder et linjeskift";
    // clang-format on
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
    aimAt(client, host, port == 0 ? server.port() : port, user, password);
    const QString text = check(client);
    QVERIFY2(text.contains(error), qPrintable(text));
    QVERIFY(!client.connected());
    QTest::qWait(50);
    QCOMPARE(server.connections(), 0);
}

void TestPop3Client::malformedPortSendsNothing_data()
{
    QTest::addColumn<QByteArray>("port");
    // A number with text behind it is no number: "995 ; TLS" must not mean
    // 110 in the clear.
    QTest::newRow("comment after 995") << QByteArray("995 ; TLS");
    QTest::newRow("letters after digits") << QByteArray("110abc");
    QTest::newRow("hexadecimal") << QByteArray("0x6f");
    QTest::newRow("beyond 32 bits") << QByteArray("99999999999");
    QTest::newRow("one past the last port") << QByteArray("65536");
    QTest::newRow("negative") << QByteArray("-1");
    QTest::newRow("decimal point") << QByteArray("110.0");
    QTest::newRow("letters only") << QByteArray("pop3");
}

void TestPop3Client::malformedPortSendsNothing()
{
    QFETCH(QByteArray, port);
    FakePop3Server server(FakePop3Server::Script{});
    Pop3Client client;
    aimAt(client, "127.0.0.1", 0, "kari", "hemmelig");
    client.setPortText(port);
    const QString text = check(client);
    // The message names the value as written.
    QCOMPARE(text, QStringLiteral("Ugyldig portnummer «%1» for POP3-serveren: porten må være et helt tall fra 1 til "
                                  "65535.")
                       .arg(QString::fromLatin1(port)));
    QVERIFY(!client.connected());
    QTest::qWait(50);
    QCOMPARE(server.connections(), 0);
}

void TestPop3Client::wellFormedPorts_data()
{
    QTest::addColumn<QByteArray>("port");
    QTest::addColumn<QString>("where");
    // Absent and 0 are the standard port; a number is that port.
    QTest::newRow("absent") << QByteArray() << QStringLiteral("127.0.0.1:110");
    QTest::newRow("zero") << QByteArray("0") << QStringLiteral("127.0.0.1:110");
    QTest::newRow("one") << QByteArray("1") << QStringLiteral("127.0.0.1:1");
    QTest::newRow("leading zero") << QByteArray("0110") << QStringLiteral("127.0.0.1:110");
    QTest::newRow("last port") << QByteArray("65535") << QStringLiteral("127.0.0.1:65535");
    QTest::newRow("blanks around") << QByteArray(" 1\t") << QStringLiteral("127.0.0.1:1");
}

void TestPop3Client::wellFormedPorts()
{
    // Whatever listens on this machine, the message names where the attempt went.
    QFETCH(QByteArray, port);
    QFETCH(QString, where);
    Pop3Client client;
    useShortTimeouts(client);
    aimAt(client, "127.0.0.1", 0, TestDovecot::uniqueUser("nobody-here"), "x");
    client.setPortText(port);
    const QString text = check(client);
    QVERIFY2(text.contains(where + QLatin1Char(':')) || text.contains(where + QLatin1Char(' '))
                 || text.contains(where + QLatin1Char('.')),
             qPrintable(text));
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
    aimAt(client, host, 1, "kari", "hemmelig");
    const QString text = check(client);
    QVERIFY2(text.contains(QLatin1String("POP3-serveren [::1]:1")), qPrintable(text));
    QVERIFY(!client.connected());
}

void TestPop3Client::lookupHostForm_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QString>("form");
    // clang-format off
    QTest::newRow("IPv6 with zone") << QByteArray("fe80::1%eth0") << QStringLiteral("fe80::1%eth0");
    QTest::newRow("bracketed with zone") << QByteArray("[fe80::1%eth0]") << QStringLiteral("fe80::1%eth0");
    QTest::newRow("IPv4") << QByteArray("127.0.0.1") << QStringLiteral("127.0.0.1");
    // The IDNA form (as Python's "idna" codec writes it).
    QTest::newRow("internationalised name") << QByteArray("bl\xc3\xa5" "b\xc3\xa6r.example.no")
                                            << QStringLiteral("xn--blbr-roah.example.no");
    QTest::newRow("capitals") << QByteArray("Mail.Example.NO") << QStringLiteral("mail.example.no");
    // clang-format on
}

void TestPop3Client::lookupHostForm()
{
    QFETCH(QByteArray, host);
    QFETCH(QString, form);
    QString why;
    QCOMPARE(Pop3Client::lookupHost(host, &why), form);
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

void TestPop3Client::portZeroMeansStandardPort()
{
    // The answer depends on whether this machine listens on 110; either way
    // the attempt went to 110, never to port 0.
    Pop3Client client;
    useShortTimeouts(client);
    aimAt(client, "127.0.0.1", 0, TestDovecot::uniqueUser("nobody-here"), "x");
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

void TestPop3Client::silentNameServer()
{
    // Only inside the namespace that CTest makes for it
    // (pop3_client_silent_name_server): there the resolver asks 127.0.0.1:53.
    if (qgetenv("KORVELIN_SILENT_NAME_SERVER") != "1")
        QSKIP("runs only in a namespace of its own (test pop3_client_silent_name_server)");
    QFile resolver(QStringLiteral("/etc/resolv.conf"));
    QVERIFY(resolver.open(QIODevice::ReadOnly));
    QCOMPARE(resolver.readAll().trimmed(), QByteArray("nameserver 127.0.0.1"));

    // Queries reach this socket and stay unread.
    const int fd = int(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(53);
    QVERIFY(fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);

    Pop3Client client;
    client.setTimeouts(1000ms, 1s, 2000ms, 300ms);
    client.setHost("mail.korvelin.invalid");
    client.setUserName("kari");
    client.setPassword("hemmelig");
    QElapsedTimer timer;
    timer.start();
    const QString text = check(client);
    const qint64 elapsed = timer.elapsed();
    ::close(fd);
    // The resolver alone would wait 10 s (5 s, twice).
    QVERIFY2(elapsed < 2500, qPrintable(QStringLiteral("%1 ms: %2").arg(elapsed).arg(text)));
    QCOMPARE(text, QStringLiteral(
                       "Navneoppslaget for POP3-serveren mail.korvelin.invalid:110 ble ikke ferdig innen 1 sekund."));
}

void TestPop3Client::notConnected()
{
    Pop3Client client;
    QVERIFY(!client.connected());
    QVERIFY_THROWS_EXCEPTION(Pop3Error, client.messageCount());
    QVERIFY_THROWS_EXCEPTION(Pop3Error, client.mailboxSize());
    client.disconnect(); // harmless when nothing is open
}

void TestPop3Client::dovecotLogins_data()
{
    using Storage = TestDovecot::Server::Storage;
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<Storage>("storage");
    // The server's refusal, after "POP3-serveren HOST:PORT: "; empty: the check succeeds.
    QTest::addColumn<QString>("refusal");
    // The server offers CRAM-MD5, which it cannot check against a hashed
    // password: USER/PASS must be what is used.
    QTest::newRow("password as typed") << QByteArray("127.0.0.1") << Storage::Plain << QString();
    QTest::newRow("hashed password") << QByteArray("127.0.0.1") << Storage::Hashed << QString();
    QTest::newRow("plain text refused on an insecure link")
        << TestDovecot::Server::insecureAddress() << Storage::Hashed
        << QStringLiteral("-ERR [AUTH] Plaintext authentication disallowed on non-secure (SSL/TLS) connections.");
}

void TestPop3Client::dovecotLogins()
{
    QFETCH(QByteArray, host);
    QFETCH(TestDovecot::Server::Storage, storage);
    QFETCH(QString, refusal);
    QString why;
    const auto server = TestDovecot::Server::find(&why);
    if (!server)
        QSKIP(qPrintable(why));
    const QByteArray user = TestDovecot::uniqueUser("login");
    server->setUser(user, "hemmelig", storage);
    const QByteArray message = "Subject: hei\n\nTekst\n";
    server->addMessage(user, message);

    Pop3Client client;
    aimAt(client, host, server->port(), user, "hemmelig");
    const QString text = check(client);
    if (refusal.isEmpty()) {
        QCOMPARE(text, QString());
        QCOMPARE(client.messageCount(), 1);
        QCOMPARE(client.mailboxSize(), TestDovecot::statSize(message));
        client.disconnect();
    } else {
        QCOMPARE(text, QStringLiteral("Innlogging avvist av POP3-serveren %1:%2: %3")
                           .arg(QString::fromLatin1(host))
                           .arg(server->port())
                           .arg(refusal));
        QVERIFY(!client.connected());
    }
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
    aimAt(client, "127.0.0.1", server->port(), user, "galt");
    const QString text = check(client);
    // The text is the server's.
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
    Pop3Client client;
    QByteArray user;
    QString why;
    const auto server = tlsLogin(client, &user, &why);
    if (!server)
        QSKIP(qPrintable(why));
    const QString text = check(client);
    QVERIFY2(text.startsWith(QLatin1String("Sertifikatet til POP3-serveren 127.0.0.1:")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("ble ikke godtatt: det er ikke klarert (det er selvsignert).")),
             qPrintable(text));
    QVERIFY(!client.connected());

    // The server never saw a login attempt for this user.
    QFile log(QString::fromUtf8(server->logFile()));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(!log.readAll().contains("user=<" + user + ">"));
}

void TestPop3Client::tlsWithTrustedCertificateLogsIn()
{
    Pop3Client client;
    QByteArray user;
    QString why;
    const auto server = tlsLogin(client, &user, &why);
    if (!server)
        QSKIP(qPrintable(why));
    const QByteArray message = "Subject: over TLS\n\nHei\n";
    server->addMessage(user, message);
    client.setCaFile(server->certificateFile());
    QCOMPARE(check(client), QString());
    QCOMPARE(client.messageCount(), 1);
    QCOMPARE(client.mailboxSize(), TestDovecot::statSize(message));
    client.disconnect();

    // The same server's plain port is a plain dialogue on any other port.
    client.setPort(server->port());
    QCOMPARE(check(client), QString());
    QCOMPARE(client.messageCount(), 1);
}

void TestPop3Client::certificateFaults_data()
{
    QTest::addColumn<QString>("certificate");     // made by make-test-certificates.sh
    QTest::addColumn<bool>("demandsCertificate"); // the server asks the client for one
    QTest::addColumn<QStringList>("expected");

    // clang-format off
    QTest::newRow("unknown CA") << "other-ca" << false
        << QStringList{"Sertifikatet til POP3-serveren 127.0.0.1:", " ble ikke godtatt: det er ikke klarert "
                       "(utstederen er ukjent for denne maskinen). Det er utstedt til «127.0.0.1»."};
    QTest::newRow("wrong name") << "wrong-name" << false
        << QStringList{" ble ikke godtatt: det gjelder ikke for navnet «127.0.0.1». Det er utstedt til "
                       "«mail.other.test»."};
    QTest::newRow("expired") << "expired" << false
        << QStringList{" ble ikke godtatt: det er utløpt (gyldig til 2020-01-02)."};
    QTest::newRow("not yet valid") << "not-yet" << false
        << QStringList{" ble ikke godtatt: det er ikke gyldig ennå (gyldig fra 2090-01-01)."};
    // The common name is the certificate maker's text: its line break and
    // its mark that turns the text around must not reach the message.
    QTest::newRow("controls in the common name") << "controls" << false
        << QStringList{" ble ikke godtatt: det er ikke klarert (det er selvsignert). Det er utstedt til "
                       "«Posten\\x0AFalskt avsnitt \\xE2\\x80\\xAEabc»."};
    QTest::newRow("client certificate demanded") << "good" << true
        << QStringList{"krever et klientsertifikat for TLS-forbindelsen"};
    // clang-format on
}

void TestPop3Client::certificateFaults()
{
    QFETCH(QString, certificate);
    QFETCH(bool, demandsCertificate);
    QFETCH(QStringList, expected);
    // Made once, when first needed: RSA keys take a while.
    if (!m_certificatesMade) {
        QVERIFY(m_certificates.isValid());
        QProcess make;
        make.start(QStringLiteral(KORVELIN_MAKE_CERTIFICATES), {m_certificates.path()});
        QVERIFY(make.waitForFinished(60'000));
        QVERIFY2(make.exitCode() == 0, make.readAllStandardError().constData());
        m_certificatesMade = true;
    }
    const QString dir = m_certificates.path() + QLatin1Char('/');

    // openssl's test server, on a port it picks and names.
    QProcess server;
    QStringList arguments{QStringLiteral("s_server"),
                          QStringLiteral("-accept"),
                          QStringLiteral("127.0.0.1:0"),
                          QStringLiteral("-cert"),
                          dir + certificate + QStringLiteral(".pem"),
                          QStringLiteral("-key"),
                          dir + certificate + QStringLiteral(".key")};
    if (demandsCertificate)
        arguments << QStringLiteral("-Verify") << QStringLiteral("1") << QStringLiteral("-CAfile")
                  << dir + QStringLiteral("ca.pem");
    server.start(QStringLiteral("openssl"), arguments);
    QVERIFY(server.waitForStarted());
    const QRegularExpression accepting(QStringLiteral("ACCEPT 127\\.0\\.0\\.1:(\\d+)"));
    QByteArray output;
    QRegularExpressionMatch match;
    while (!(match = accepting.match(QString::fromLatin1(output))).hasMatch()) {
        QVERIFY2(server.waitForReadyRead(10'000), output.constData());
        output += server.readAllStandardOutput();
    }
    const int port = match.captured(1).toInt();

    Pop3Client client;
    useShortTimeouts(client);
    aimAt(client, "127.0.0.1", port, "kari", "hemmelig");
    client.setTlsPort(port);
    client.setCaFile(QFile::encodeName(dir + QStringLiteral("ca.pem")));
    const QString text = check(client);
    for (const QString &fragment : expected)
        QVERIFY2(text.contains(fragment), qPrintable(text));
    QVERIFY(!client.connected());
    server.kill();
    server.waitForFinished();
}

void TestPop3Client::tlsAgainstPlainServerSendsNoCredentials_data()
{
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QString>("expected");
    QTest::newRow("greets in plain") << QByteArray("+OK fake POP3 ready\r\n")
                                     << QStringLiteral("TLS-forbindelse til POP3-serveren");
    // The connection stands; only the handshake never ends.
    QTest::newRow("silent") << QByteArray() << QStringLiteral("fullførte ikke TLS-oppkoblingen innen 1 sekund.");
}

void TestPop3Client::tlsAgainstPlainServerSendsNoCredentials()
{
    QFETCH(QByteArray, greeting);
    QFETCH(QString, expected);
    FakePop3Server::Script script{greeting};
    script.greetAfterClientSpeaks = true;
    FakePop3Server server(script);
    Pop3Client client;
    useShortTimeouts(client);
    aimAt(client, "127.0.0.1", server.port(), "kari", "hemmelig");
    client.setTlsPort(server.port());
    const QString text = check(client);
    QVERIFY2(text.contains(expected), qPrintable(text));
    QVERIFY(!client.connected());
    QTRY_COMPARE(server.connections(), 1);
    const QByteArray seen = server.received();
    QVERIFY(!seen.isEmpty()); // the TLS handshake
    for (const char *secret : {"USER", "PASS", "AUTH", "kari", "hemmelig"})
        QVERIFY2(!seen.contains(secret), secret);
}

QTEST_GUILESS_MAIN(TestPop3Client)
#include "tst_pop3client.moc"
