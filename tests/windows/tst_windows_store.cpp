// The settings store as Windows has it: the configuration folder's
// candidates with '\' and the current drive, WINDIR as the last resort, and
// the identity read from the registry, set per case with reg.exe.

#include "felles.h"
#include "settingserror.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <windows.h>

namespace {

const QString LogonKey = QStringLiteral("HKLM\\Network\\Logon");
const QString TcpipKey = QStringLiteral("HKLM\\System\\CurrentControlSet\\Services\\TCPIP\\Parameters");

// reg.exe with these arguments; its exit status.
int reg(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("reg"), arguments);
    if (!process.waitForFinished(30'000))
        return -1;
    return process.exitCode();
}

QByteArray native(const QString &path)
{
    return QFile::encodeName(QDir::toNativeSeparators(path));
}

bool logonKeyExists()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Network\\Logon", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

} // namespace

class TestWindowsStore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void folderRule_data();
    void folderRule();
    void userFileFromTheRegistry_data();
    void userFileFromTheRegistry();
    void namesWindowsForbidsAreRefused_data();
    void namesWindowsForbidsAreRefused();
    void domainThenDhcpDomain_data();
    void domainThenDhcpDomain();

private:
    // Works in <temporary>\run, holding a KORVELIN.INI unless told otherwise.
    bool enter(bool sharedFileHere = true);

    std::optional<QTemporaryDir> m_dir;
    QString m_previous;
    QByteArray m_windir;
};

void TestWindowsStore::init()
{
    m_previous = QDir::currentPath();
    m_windir = qgetenv("WINDIR");
    reg({QStringLiteral("delete"), LogonKey, QStringLiteral("/f")});
    for (const char *value : {"Domain", "DhcpDomain"})
        reg({QStringLiteral("delete"), TcpipKey, QStringLiteral("/v"), QLatin1String(value), QStringLiteral("/f")});
}

void TestWindowsStore::cleanup()
{
    Felles::Finalize();
    QDir::setCurrent(m_previous);
    qputenv("WINDIR", m_windir);
    m_dir.reset();
}

bool TestWindowsStore::enter(bool sharedFileHere)
{
    m_dir.emplace();
    const QString run = m_dir->filePath(QStringLiteral("run"));
    if (!m_dir->isValid() || !QDir().mkdir(run) || !QDir::setCurrent(run))
        return false;
    if (!sharedFileHere)
        return true;
    QFile file(QStringLiteral("KORVELIN.INI"));
    return file.open(QIODevice::WriteOnly);
}

// Each candidate only while the ones before it are missing; the stored
// folder is absolute, with the drive letter and '\' behind it.
void TestWindowsStore::folderRule_data()
{
    QTest::addColumn<QString>("made");     // a folder (or "KORVELIN.INI") made first, relative to the run folder
    QTest::addColumn<QString>("expected"); // "" for the last resort, WINDIR
    QTest::newRow(".\\KORVELIN.INI") << QStringLiteral("KORVELIN.INI") << QStringLiteral(".");
    QTest::newRow("..\\etc\\") << QStringLiteral("../etc") << QStringLiteral("../etc");
    QTest::newRow("etc\\") << QStringLiteral("etc") << QStringLiteral("etc");
    QTest::newRow("\\korvelin\\etc\\ on the current drive")
        << QStringLiteral("/korvelin/etc") << QStringLiteral("/korvelin/etc");
    QTest::newRow("WINDIR") << QString() << QString();
}

void TestWindowsStore::folderRule()
{
    QFETCH(QString, made);
    QFETCH(QString, expected);
    QVERIFY(enter(false));
    const QString drive = QDir::currentPath().left(2);
    QVERIFY2(!QFileInfo::exists(drive + QStringLiteral("/korvelin")), "a \\korvelin folder is in the way");
    const QString windir = m_dir->filePath(QStringLiteral("windir"));
    QVERIFY(QDir().mkdir(windir));
    qputenv("WINDIR", native(windir));

    auto removeRootFolder = qScopeGuard([&] { QDir(drive + QStringLiteral("/korvelin")).removeRecursively(); });
    if (made == QLatin1String("KORVELIN.INI")) {
        QFile file(made);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (!made.isEmpty()) {
        QVERIFY(QDir().mkpath(made.startsWith(u'/') ? drive + made : made));
    }
    // A shared file missing at exit counts as read-only and is not created
    // then: the chosen folder holds one, so that the flush shows the record.
    const QString chosen = made.isEmpty()        ? windir
                         : made.startsWith(u'/') ? drive + made
                                                 : QDir::current().absoluteFilePath(made);
    if (made != QLatin1String("KORVELIN.INI")) {
        QFile file(chosen + QStringLiteral("/KORVELIN.INI"));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    Felles::Initialize();
    const QString folder = expected.isEmpty()        ? windir
                         : expected.startsWith(u'/') ? drive + expected
                                                     : QDir::cleanPath(QDir::current().absoluteFilePath(expected));
    const QByteArray want = native(folder) + '\\';
    QCOMPARE(Felles::ConfigDir, want);
    QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z]:\\\\")).match(QString::fromLocal8Bit(want)).hasMatch(),
             want.constData());
    QCOMPARE(Felles::SharedIniPath, want + "KORVELIN.INI");

    // The folder is recorded in the shared file as the store found it.
    Felles::Finalize();
    QFile shared(QFile::decodeName(want + "KORVELIN.INI"));
    QVERIFY(shared.open(QIODevice::ReadOnly));
    const QByteArray text = shared.readAll();
    QVERIFY2(text.contains("\r\netc_folder=" + want + "\r\n") || text.contains("etc_folder=" + want + '\n'),
             text.constData());
}

// The per-user file is named after the logon name in capitals; the key is
// created when missing, and a name that is not there makes ".INI".
void TestWindowsStore::userFileFromTheRegistry_data()
{
    QTest::addColumn<QStringList>("setup"); // reg.exe's arguments, empty for none
    QTest::addColumn<QString>("fileName");
    const QStringList add{QStringLiteral("add"), LogonKey};
    QTest::newRow("Username") << add + QStringList{"/v", "Username", "/d", "kari", "/f"} << QStringLiteral("KARI.INI");
    QTest::newRow("å in the name") << add + QStringList{"/v", "Username", "/d", QStringLiteral("åse"), "/f"}
                                   << QStringLiteral("ÅSE.INI");
    QTest::newRow("key without Username") << add + QStringList{"/f"} << QStringLiteral(".INI");
    QTest::newRow("no key") << QStringList() << QStringLiteral(".INI");
}

void TestWindowsStore::userFileFromTheRegistry()
{
    QFETCH(QStringList, setup);
    QFETCH(QString, fileName);
    if (!setup.isEmpty())
        QCOMPARE(reg(setup), 0);
    QCOMPARE(logonKeyExists(), !setup.isEmpty());
    QVERIFY(enter());
    Felles::Initialize();
    QCOMPARE(QString::fromLocal8Bit(Felles::UserIniPath()), QString::fromLocal8Bit(Felles::ConfigDir) + fileName);
    QVERIFY(logonKeyExists());
}

// Characters Windows forbids in a file name would name another file, or a
// stream of one (":"), or none at all: refused like a name with a '\'.
void TestWindowsStore::namesWindowsForbidsAreRefused_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"kari:hemmelig", "a*b", "hvem?", "si \"hei\"", "<kari>", "kari|ola", "ka\\ri", "ka\tri"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestWindowsStore::namesWindowsForbidsAreRefused()
{
    QFETCH(QString, name);
    QCOMPARE(reg({QStringLiteral("add"), LogonKey, QStringLiteral("/v"), QStringLiteral("Username"),
                  QStringLiteral("/d"), name, QStringLiteral("/f")}),
             0);
    QVERIFY(enter());
    Felles::Initialize();
    QVERIFY_THROWS_EXCEPTION(Felles::SettingsError, Felles::UserIniPath());
}

void TestWindowsStore::domainThenDhcpDomain_data()
{
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("dhcpDomain");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("Domain first") << "skole.no"
                                  << "dhcp.example.no" << QByteArray("skole.no");
    QTest::newRow("then DhcpDomain") << QString() << "dhcp.example.no" << QByteArray("dhcp.example.no");
    QTest::newRow("neither") << QString() << QString() << QByteArray();
}

void TestWindowsStore::domainThenDhcpDomain()
{
    QFETCH(QString, domain);
    QFETCH(QString, dhcpDomain);
    QFETCH(QByteArray, expected);
    for (const auto &[value, data] : {std::pair{"Domain", domain}, std::pair{"DhcpDomain", dhcpDomain}}) {
        if (!data.isEmpty())
            QCOMPARE(reg({QStringLiteral("add"), TcpipKey, QStringLiteral("/v"), QLatin1String(value),
                          QStringLiteral("/d"), data, QStringLiteral("/f")}),
                     0);
    }
    QVERIFY(enter());
    Felles::Initialize();
    QCOMPARE(Felles::NetworkDomain(), expected);
}

QTEST_GUILESS_MAIN(TestWindowsStore)
#include "tst_windows_store.moc"
