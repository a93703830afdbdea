// The network part as the program has it: loaded from its module at the
// first check. This test binary lies in a folder of its own, so the module
// is beside it only once the test puts it there.

#include "dovecotfixture.h"

#include "pop3client.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QtTest>

class TestPop3Loader : public QObject
{
    Q_OBJECT

    QString besideTest() const
    {
        return QDir(QCoreApplication::applicationDirPath()).filePath(QFileInfo(KORVELIN_BUILT_MODULE).fileName());
    }

    // Once loaded, the module stays for the life of the process (and
    // Windows keeps a loaded DLL from being deleted).
    void putModuleBeside() const
    {
        if (!QFile::exists(besideTest()))
            QVERIFY(QFile::copy(QStringLiteral(KORVELIN_BUILT_MODULE), besideTest()));
    }

private slots:
    void initTestCase() { QVERIFY(!QFile::exists(besideTest()) || QFile::remove(besideTest())); }
    void cleanupTestCase() { QFile::remove(besideTest()); }

    // Without its module the program says what is missing and how to mend
    // it, and a later check, after the module is back, works.
    void missingModuleIsSaidThenLoadedLater()
    {
        Pop3Client client;
        client.setHost("127.0.0.1");
        client.setPort(1);
        client.setUserName("kari");
        client.setPassword("hemmelig");
        try {
            client.connect();
            QFAIL("connect() went on without the network part");
        } catch (const Pop3Error &e) {
            const QString prefix = QStringLiteral("Korvelin kan ikke sjekke posten: programdelen for nettverk (")
                                 + QFileInfo(KORVELIN_BUILT_MODULE).fileName() + QStringLiteral(") kan ikke lastes (");
            QVERIFY2(e.text().startsWith(prefix), qPrintable(e.text()));
            QVERIFY2(e.text().endsWith(QStringLiteral("). Installer Korvelin på nytt.")), qPrintable(e.text()));
        }

        putModuleBeside();
        QString why;
        QCOMPARE(Pop3Client::lookupHost("127.0.0.1", &why), QStringLiteral("127.0.0.1"));
    }

    // The loaded module carries the whole dialogue, and its errors reach
    // the caller as the client's own.
    void loadedModuleChecksAndFails()
    {
        putModuleBeside();
        QString why;
        const auto server = TestDovecot::Server::find(&why);
        if (!server)
            QSKIP(qPrintable(why));
        const QByteArray user = TestDovecot::uniqueUser("lastet");
        server->setUser(user, "hemmelig");
        const QByteArray message = "Subject: hei\n\nTekst\n";
        server->addMessage(user, message);

        Pop3Client client;
        client.setHost("127.0.0.1");
        client.setPort(server->port());
        client.setUserName(user);
        client.setPassword("hemmelig");
        client.connect();
        QCOMPARE(client.messageCount(), 1);
        QCOMPARE(client.mailboxSize(), TestDovecot::statSize(message));
        client.disconnect();

        // A port where nothing listens: taken and let go again.
        quint16 closedPort = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            closedPort = probe.serverPort();
        }
        client.setPort(closedPort);
        try {
            client.connect();
            QFAIL("connect() to a closed port succeeded");
        } catch (const Pop3Error &e) {
            QVERIFY2(e.text().contains(QStringLiteral("127.0.0.1:%1").arg(closedPort)), qPrintable(e.text()));
        }
        QVERIFY(!client.connected());
    }
};

QTEST_GUILESS_MAIN(TestPop3Loader)
#include "tst_pop3loader.moc"
