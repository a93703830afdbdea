#pragma once

// A network of the test's own: the test process moves into a network
// namespace of its own at start, with loopback up and nothing else, so its
// pings and name lookups cannot leave the machine and its sysctls touch
// nobody else. It gets a mount namespace of its own too, so that it can put
// a resolver configuration of its own in place. Everything vanishes with
// the process, even after a crash.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtTest>

namespace TestNet {

// Call first in main, before any thread exists. Needs root.
void EnterPrivateNetwork();
bool InPrivateNetwork();
// Why the process stays in the machine's network, for QSKIP.
const char *WhyNotPrivate();

// Addresses the tests add to loopback; they answer unless echo replies are
// switched off (SetEchoReplies).
inline const QString QuietV4 = QStringLiteral("203.0.113.7");
inline const QString QuietV6 = QStringLiteral("2001:db8::7");
bool AddTestAddresses(QString *why);

// Sysctls of the private namespace.
bool SetPingGroupRange(bool everyone);
bool SetEchoReplies(bool on);
// The namespace's defaults: datagram ICMP for nobody, echo replies on.
bool ResetSysctls();

// A name server that never answers: SilentNameServer is added to loopback
// and taken by a socket that reads nothing, and the resolver is told to ask
// it (a private /etc/resolv.conf) until UseSystemResolver.
inline const QString SilentNameServer = QStringLiteral("198.51.100.53");
bool UseSilentNameServer(QString *why);
void UseSystemResolver();

} // namespace TestNet

#define KORVELIN_SKIP_WITHOUT_PRIVATE_NETWORK()                                                                        \
    do {                                                                                                               \
        if (!TestNet::InPrivateNetwork())                                                                              \
            QSKIP(TestNet::WhyNotPrivate());                                                                           \
    } while (false)

// main() for a test that runs in the private network.
#define KORVELIN_PRIVATE_NETWORK_TEST_MAIN(AppClass, TestClass)                                                        \
    int main(int argc, char **argv)                                                                                    \
    {                                                                                                                  \
        TestNet::EnterPrivateNetwork();                                                                                \
        AppClass app(argc, argv);                                                                                      \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                                       \
        TestClass tc;                                                                                                  \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }
