// POP3 over TLS on Windows, through Schannel as Wine offers it, against the
// test Dovecot's TLS listener on the Linux loopback: a server the check has
// been told to trust is logged in to; the same server, judged by the
// system's store, is refused before any password is sent. The exact verdict
// on a self-signed certificate is Schannel's own, so only its frame is
// compared here; Linux's suite checks every verdict with OpenSSL.

#include "dovecotfixture.h"

#include "pop3client.h"

#include <QFile>
#include <QtTest>

namespace {

// Runs a check; returns the error text, or "" when it succeeded.
QString check(Pop3Client &client)
{
    try {
        client.connect();
        return QString();
    } catch (const Pop3Error &e) {
        return e.text();
    }
}

} // namespace

class TestWindowsTls : public QObject
{
    Q_OBJECT

    std::optional<TestDovecot::Server> server;
    QByteArray user;

    void aim(Pop3Client &client) const
    {
        client.setHost("127.0.0.1");
        client.setPort(server->tlsPort());
        client.setTlsPort(server->tlsPort());
        client.setUserName(user);
        client.setPassword("hemmelig");
        // Wine's Schannel loads and starts GnuTLS at the first handshake,
        // which on a busy machine takes longer than the program's bound:
        // this test is about trust, not time.
        client.setTimeouts(std::chrono::seconds(40), std::chrono::seconds(40), std::chrono::seconds(60));
    }

private slots:
    void init()
    {
        QString why;
        server = TestDovecot::Server::find(&why);
        if (!server)
            QSKIP(qPrintable(why));
        if (!server->tlsPort())
            QSKIP("the test Dovecot has no TLS listener");
        user = TestDovecot::uniqueUser("wintls");
        server->setUser(user, "hemmelig");
    }

    void trustedCertificateLogsIn()
    {
        const QByteArray message = "Subject: over TLS\n\nHei\n";
        server->addMessage(user, message);
        Pop3Client client;
        aim(client);
        client.setCaFile(server->certificateFile());
        QCOMPARE(check(client), QString());
        QCOMPARE(client.messageCount(), 1);
        QCOMPARE(client.mailboxSize(), TestDovecot::statSize(message));
        client.disconnect();
    }

    void untrustedCertificateIsRefusedBeforeTheLogin()
    {
        Pop3Client client;
        aim(client);
        const QString text = check(client);
        QVERIFY2(text.startsWith(QStringLiteral("Sertifikatet til POP3-serveren 127.0.0.1:%1 ble ikke godtatt: ")
                                     .arg(server->tlsPort())),
                 qPrintable(text));
        QVERIFY(!client.connected());
        QFile log(QString::fromUtf8(server->logFile()));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(!log.readAll().contains("user=<" + user + ">"));
    }
};

QTEST_GUILESS_MAIN(TestWindowsTls)
#include "tst_windows_tls.moc"
