// The ping on Windows, as far as Wine carries it: an echo to this machine's
// own loopback address through each way the Windows build has. Nothing here
// leaves the machine; the cases for hosts that do not answer, or answer
// wrongly, need a network of their own and run on Linux only. IPv6 is left
// out: Wine 8 has no ICMPv6 echo (its IP Helper refuses ::1, and so does its
// ping.exe).

#include "icmpclient.h"

#include <QtTest>

Q_DECLARE_METATYPE(IcmpClient::Method)

class TestWindowsIcmp : public QObject
{
    Q_OBJECT

private slots:
    void loopbackAnswers_data()
    {
        QTest::addColumn<IcmpClient::Method>("method");
        QTest::addColumn<QString>("host");
        // The IP Helper API, which needs no rights.
        QTest::newRow("IP Helper, IPv4") << IcmpClient::Datagram << QStringLiteral("127.0.0.1");
        // ping.exe, which a Windows machine always has.
        QTest::newRow("ping program, IPv4") << IcmpClient::Program << QStringLiteral("127.0.0.1");
    }

    void loopbackAnswers()
    {
        QFETCH(IcmpClient::Method, method);
        QFETCH(QString, host);
        IcmpClient client;
        client.setHost(host);
        client.setMethods(method);
        client.setTimeoutMs(2000);
        // 56 bytes of data behind the 8-byte ICMP header, as sent.
        QCOMPARE(client.Ping(), 64);
        QCOMPARE(client.lastMethod(), method);
    }

    // A raw socket is not a way the Windows build takes: it says so, and
    // the ping goes the next way.
    void rawSocketIsPassedOver()
    {
        IcmpClient client;
        client.setHost(QStringLiteral("127.0.0.1"));
        client.setMethods(IcmpClient::Methods{IcmpClient::Raw, IcmpClient::Program});
        client.setTimeoutMs(2000);
        QCOMPARE(client.Ping(), 64);
        QCOMPARE(client.lastMethod(), IcmpClient::Program);
    }
};

QTEST_GUILESS_MAIN(TestWindowsIcmp)
#include "tst_windows_icmp.moc"
