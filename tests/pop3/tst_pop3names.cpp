// Server names as the check and the ping look them up: an internationalised
// name under a locale that is not UTF-8, and a name that only some programs
// take for loopback. Runs only in a network and mount namespace of its own
// (the CTest test tst_pop3names_in_namespace), whose hosts file knows the names below and
// whose name server answers nothing, so no lookup leaves the machine.

#include "fakepop3server.h"
#include "icmp_platform.h"
#include "icmpclient.h"
#include "pop3client.h"

#include <QFile>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

bool inOwnNamespace()
{
    if (qgetenv("KORVELIN_TEST_HOSTS") != "1")
        return false;
    QFile hosts(QStringLiteral("/etc/hosts"));
    return hosts.open(QIODevice::ReadOnly) && hosts.readAll().contains("xn--bk-lka.test");
}

// The ping's lookup: the address, or "" and its message.
QString pingLookup(const QByteArray &host, QString *why)
{
    try {
        return IcmpPlatform::Resolve(QString::fromLocal8Bit(host), 2000).numeric;
    } catch (const IcmpError &e) {
        *why = e.text();
        return {};
    }
}

} // namespace

class TestPop3Names : public QObject
{
    Q_OBJECT

private slots:
    void checkAndPingAgree_data();
    void checkAndPingAgree();
};

void TestPop3Names::checkAndPingAgree_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<bool>("found"); // the hosts file names it
    // "bøk.test" in UTF-8, as the settings window stores it; the hosts file
    // holds its IDNA form only.
    QTest::newRow("internationalised name") << QByteArray("b\xc3\xb8k.test") << true;
    // No special case: a name is what the system's resolver says it is.
    QTest::newRow("name under .localhost") << QByteArray("mail.localhost") << false;
}

void TestPop3Names::checkAndPingAgree()
{
    if (!inOwnNamespace())
        QSKIP("runs only in a namespace of its own (test tst_pop3names_in_namespace)");
    // Whatever the locale says, Qt reads the settings' bytes as UTF-8.
    QCOMPARE(qgetenv("LC_ALL"), QByteArray("C"));
    QFETCH(QByteArray, host);
    QFETCH(bool, found);

    FakePop3Server server(FakePop3Server::Script{});
    Pop3Client client;
    client.setTimeouts(2000ms, 2000ms, 3000ms, 300ms);
    client.setHost(host);
    client.setPort(server.port());
    client.setUserName("kari");
    client.setPassword("hemmelig");
    QString text;
    try {
        client.connect();
        client.disconnect();
    } catch (const Pop3Error &e) {
        text = e.text();
    }
    QString why;
    const QString pinged = pingLookup(host, &why);
    if (found) {
        QCOMPARE(text, QString());
        QCOMPARE(server.connections(), 1);
        QCOMPARE(pinged, QStringLiteral("127.0.0.1"));
    } else {
        QCOMPARE(text, QStringLiteral("Fant ikke POP3-serveren %1:%2: navnet kunne ikke slås opp.")
                           .arg(QString::fromLatin1(host))
                           .arg(server.port()));
        QCOMPARE(server.connections(), 0);
        QVERIFY2(pinged.isEmpty(), qPrintable(pinged));
        QVERIFY2(why.startsWith(QStringLiteral("Finner ")), qPrintable(why));
    }
}

QTEST_GUILESS_MAIN(TestPop3Names)
#include "tst_pop3names.moc"
