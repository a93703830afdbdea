#include "felles.h"
#include "testsupport.h"

#include <QTest>

#include <pwd.h>
#include <unistd.h>

using namespace TestSupport;

class TestIdentity : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void userName_data();
    void userName();
    void userNameIsLookedUpOnce();
    void domain_data();
    void domain();
    void platformSourceNamesTheRealUser();
};

void TestIdentity::cleanup()
{
    qunsetenv("USERNAME");
}

void TestIdentity::userName_data()
{
    QTest::addColumn<bool>("keyOpens");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QByteArray>("environment"); // "<unset>" leaves it unset
    QTest::addColumn<QByteArray>("logonName");
    QTest::addColumn<QByteArray>("upperName");
    QTest::addColumn<QByteArray>("fileName");

    // clang-format off
    QTest::newRow("key with name") << true << QByteArray("Kari") << QByteArray("other") << QByteArray("Kari")
                                   << QByteArray("KARI") << QByteArray("KARI.INI");
    QTest::newRow("small letters") << true << QByteArray("ola") << QByteArray("<unset>") << QByteArray("ola")
                                   << QByteArray("OLA") << QByteArray("OLA.INI");
    QTest::newRow("Norwegian letters") << true << QByteArray("bjørn.åsen") << QByteArray("<unset>")
                                       << QByteArray("bjørn.åsen") << QByteArray("BJØRN.ÅSEN")
                                       << QByteArray("BJØRN.ÅSEN.INI");
    // Bytes the locale (UTF-8 here) cannot read are kept as they are, so two
    // such names never end up as the same file name.
    QTest::newRow("Latin-1 å") << true << QByteArray("s\xE5ra") << QByteArray("<unset>") << QByteArray("s\xE5ra")
                               << QByteArray("S\xE5RA") << QByteArray("S\xE5RA.INI");
    QTest::newRow("Latin-1 ø") << true << QByteArray("s\xF8ra") << QByteArray("<unset>") << QByteArray("s\xF8ra")
                               << QByteArray("S\xF8RA") << QByteArray("S\xF8RA.INI");
    QTest::newRow("UTF-8 beside a stray byte") << true << QByteArray("\xC3\xA5s\xC3") << QByteArray("<unset>")
                                               << QByteArray("\xC3\xA5s\xC3") << QByteArray("\xC3\x85S\xC3")
                                               << QByteArray("\xC3\x85S\xC3.INI");
    QTest::newRow("key without name") << true << QByteArray() << QByteArray("fromenv") << QByteArray()
                                      << QByteArray() << QByteArray(".INI");
    QTest::newRow("no key, USERNAME set") << false << QByteArray() << QByteArray("Per") << QByteArray("Per")
                                          << QByteArray("PER") << QByteArray("PER.INI");
    QTest::newRow("no key, USERNAME unset") << false << QByteArray() << QByteArray("<unset>") << QByteArray()
                                            << QByteArray() << QByteArray(".INI");
    QTest::newRow("300-byte name") << true << QByteArray(300, 'a') << QByteArray("<unset>")
                                   << QByteArray(255, 'a') << QByteArray(255, 'A')
                                   << QByteArray(255, 'A') + ".INI";
    // clang-format on
}

void TestIdentity::userName()
{
    QFETCH(bool, keyOpens);
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, environment);
    QFETCH(QByteArray, logonName);
    QFETCH(QByteArray, upperName);
    QFETCH(QByteArray, fileName);

    StoreFixture store;
    store.identity->keyOpens = keyOpens;
    store.identity->userName = stored;
    if (environment == "<unset>")
        qunsetenv("USERNAME");
    else
        qputenv("USERNAME", environment);

    QCOMPARE(Felles::LogonUserName(), logonName);
    QCOMPARE(Felles::CurrentUserName(), upperName);
    QCOMPARE(Felles::UserNameCache, logonName);
    QCOMPARE(Felles::UserIniPath(), Felles::ConfigDir + fileName);
}

void TestIdentity::userNameIsLookedUpOnce()
{
    StoreFixture store("first");
    QCOMPARE(Felles::CurrentUserName(), QByteArray("FIRST"));
    store.identity->userName = "second";
    QCOMPARE(Felles::CurrentUserName(), QByteArray("FIRST"));
    QCOMPARE(Felles::UserNameCache, QByteArray("first"));
}

void TestIdentity::domain_data()
{
    QTest::addColumn<QByteArray>("domain");
    QTest::addColumn<QByteArray>("dhcp");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("dhcpLookups");
    // clang-format off
    QTest::newRow("domain only") << QByteArray("firma.no") << QByteArray() << QByteArray("firma.no") << 0;
    QTest::newRow("domain wins, dhcp not read") << QByteArray("firma.no") << QByteArray("dhcp.no")
                                                << QByteArray("firma.no") << 0;
    QTest::newRow("dhcp when domain empty") << QByteArray() << QByteArray("dhcp.no") << QByteArray("dhcp.no") << 1;
    QTest::newRow("neither") << QByteArray() << QByteArray() << QByteArray() << 1;
    // clang-format on
}

void TestIdentity::domain()
{
    QFETCH(QByteArray, domain);
    QFETCH(QByteArray, dhcp);
    QFETCH(QByteArray, expected);
    QFETCH(int, dhcpLookups);
    StoreFixture store("u");
    FakeIdentity *fake = store.identity;
    fake->domainValue = domain;
    fake->dhcpDomainValue = dhcp;
    QCOMPARE(Felles::NetworkDomain(), expected);
    QCOMPARE(fake->dhcpLookups, dhcpLookups);
    // Never cached: a changed value shows at the next call.
    fake->domainValue = "changed.no";
    QCOMPARE(Felles::NetworkDomain(), QByteArray("changed.no"));
    QCOMPARE(fake->domainLookups, 2);
}

void TestIdentity::platformSourceNamesTheRealUser()
{
    Felles::SetIdentitySource(nullptr);
    qputenv("USERNAME", "not-this-one");
    const struct passwd *pw = getpwuid(getuid());
    QVERIFY(pw);
    QCOMPARE(Felles::LogonUserName(), QByteArray(pw->pw_name));
}

QTEST_GUILESS_MAIN(TestIdentity)
#include "tst_identity.moc"
