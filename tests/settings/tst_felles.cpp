#include "felles.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTest>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

QString canonical(const QString &dir)
{
    return QFileInfo(dir).canonicalFilePath() + '/';
}

void makeReadOnly(const QString &path)
{
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadUser | QFileDevice::ReadGroup
                                    | QFileDevice::ReadOther);
}

// How a per-user bracket ends.
enum class BracketEnd { Closed, OpeningFails, FlushFails, WorkFails };

} // namespace

Q_DECLARE_METATYPE(BracketEnd)

class TestFelles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void folderChoice_data();
    void folderChoice();
    void folderFromRootCandidate();
    void folderNamedInBytesTheLocaleCannotRead_data();
    void folderNamedInBytesTheLocaleCannotRead();
    void startupRecordsTheFolderInMemoryOnly();
    void initialState();

    void readersCutAndConvert();
    void userFileIsCreatedWhenTheBracketCloses();
    void everySwitchFlushesTheFileItLeaves();
    void readOnlySharedFileIsNeverWritten();
    void missingSharedFileIsNotCreatedAtExit();
    void failedFlushKeepsTheFileOpen_data();
    void failedFlushKeepsTheFileOpen();
    void userSettingsBracket_data();
    void userSettingsBracket();
    void userNamesThatLeaveTheFolderAreRefused_data();
    void userNamesThatLeaveTheFolderAreRefused();
    void recordFolderAddsTheSeparator();
    void userFilesAreNamedByTheNamesOwnBytes();
    void refusedUserNameIsShownAsPlainText();
    void onlyWhatTheProgramChangedIsWritten();
    void aReadNeverUndoesAnotherCopysSave_data();
    void aReadNeverUndoesAnotherCopysSave();

private:
    QString m_home;
};

void TestFelles::init()
{
    qunsetenv("WINDIR");
    m_home = qEnvironmentVariable("XDG_CONFIG_HOME");
}

void TestFelles::cleanup()
{
    qunsetenv("WINDIR");
    if (m_home.isEmpty())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", m_home.toLocal8Bit());
}

void TestFelles::folderChoice_data()
{
    // The program runs in <tmp>/work/run. Each row names what exists; the
    // expected folder is relative to <tmp>.
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QString>("expected");
    QTest::newRow("./KORVELIN.INI beats ../etc")
        << QStringList{"work/run/KORVELIN.INI", "work/etc/", "work/run/etc/"} << "work/run/";
    QTest::newRow("../etc") << QStringList{"work/etc/", "work/run/etc/", "windir/"} << "work/etc/";
    QTest::newRow("etc") << QStringList{"work/run/etc/", "windir/"} << "work/run/etc/";
    QTest::newRow("a folder named KORVELIN.INI is no file")
        << QStringList{"work/run/KORVELIN.INI/", "work/etc/"} << "work/etc/";
    QTest::newRow("WINDIR last") << QStringList{"windir/"} << "windir/";
    QTest::newRow("WINDIR taken without testing") << QStringList{} << "windir/";
    QTest::newRow("user's config folder when no WINDIR") << QStringList{"xdg/"} << "xdg/korvelin/";
}

void TestFelles::folderChoice()
{
    QFETCH(QStringList, present);
    QFETCH(QString, expected);
    if (QFileInfo::exists(QStringLiteral("/korvelin/etc")))
        QSKIP("/korvelin/etc exists on this machine and would win");

    StoreOptions options;
    options.shared = SharedFile::Nowhere;
    options.start = false;
    StoreFixture store(options);
    QDir root(store.path());
    root.mkpath(QStringLiteral("work/run"));
    for (const QString &p : present) {
        if (p.endsWith('/'))
            root.mkpath(p);
        else
            writeAll(root.filePath(p), "");
    }
    if (expected == "windir/")
        qputenv("WINDIR", root.filePath(QStringLiteral("windir")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", root.filePath(QStringLiteral("xdg")).toLocal8Bit());

    QDir::setCurrent(root.filePath(QStringLiteral("work/run")));
    Felles::Initialize();

    root.mkpath(expected);
    const QString want = canonical(root.filePath(expected));
    QCOMPARE(canonical(QFile::decodeName(Felles::ConfigDir)), want);
    QVERIFY(Felles::ConfigDir.startsWith('/'));
    QVERIFY(Felles::ConfigDir.endsWith('/'));
    QCOMPARE(Felles::SharedIniPath, Felles::ConfigDir + "KORVELIN.INI");
    QCOMPARE(Felles::SettingsFile->readString("FOLDERS", "etc_folder"), Felles::ConfigDir);
    QVERIFY(!Felles::ConfigDir.contains("/./") && !Felles::ConfigDir.contains("/../"));
}

void TestFelles::folderFromRootCandidate()
{
    if (geteuid() != 0)
        QSKIP("needs root to make /korvelin/etc");
    if (QFileInfo::exists(QStringLiteral("/korvelin")))
        QSKIP("/korvelin already exists on this machine");
    QDir().mkpath(QStringLiteral("/korvelin/etc"));
    // The machine's own root: gone again however the test ends.
    const auto removeFolder = qScopeGuard([] { QDir(QStringLiteral("/korvelin")).removeRecursively(); });
    StoreOptions options;
    options.shared = SharedFile::Nowhere;
    options.start = false;
    StoreFixture store(options);
    Felles::Initialize();
    QCOMPARE(Felles::ConfigDir, QByteArray("/korvelin/etc/"));
    QCOMPARE(Felles::SettingsFile->readString("FOLDERS", "etc_folder"), QByteArray("/korvelin/etc/"));
}

void TestFelles::folderNamedInBytesTheLocaleCannotRead_data()
{
    QTest::addColumn<bool>("userConfigFolder");
    QTest::newRow("current folder") << false;
    QTest::newRow("user's config folder, not made yet") << true;
}

void TestFelles::folderNamedInBytesTheLocaleCannotRead()
{
    QFETCH(bool, userConfigFolder);
    if (QFileInfo::exists(QStringLiteral("/korvelin/etc")))
        QSKIP("/korvelin/etc exists on this machine and would win");
    StoreOptions options;
    options.shared = SharedFile::Nowhere;
    options.start = false;
    StoreFixture store(options);
    // A name in Latin-1 bytes, which the locale (UTF-8) cannot read.
    const QByteArray top = QFile::encodeName(store.path()) + "/bj\xF8rn";
    const QByteArray dir = userConfigFolder ? top + "/korvelin" : top;
    const QByteArray files[] = {dir + "/KORVELIN.INI", dir + "/KARI.INI"};
    QVERIFY(::mkdir(top.constData(), 0700) == 0);
    // Qt cannot remove names it cannot read: the test removes its own.
    const auto removeFiles = qScopeGuard([&] {
        for (const QByteArray &file : files)
            ::unlink(file.constData());
        ::rmdir(dir.constData());
        ::rmdir(top.constData());
    });
    if (userConfigFolder) {
        qputenv("XDG_CONFIG_HOME", top);
    } else {
        Felles::IniFile(files[0]).flush();
        Felles::IniFile user(files[1]);
        user.writeString("Pop3", "ServerName", "pop.example.no");
        user.flush();
    }
    QVERIFY(::chdir(userConfigFolder ? QFile::encodeName(store.path()).constData() : dir.constData()) == 0);

    Felles::Initialize();
    QCOMPARE(Felles::ConfigDir, dir + '/');
    QCOMPARE(Felles::SharedIniPath, files[0]);
    Felles::UserSettingsBracket bracket;
    Felles::CurrentSection = "Pop3";
    QCOMPARE(Felles::ReadSetting("ServerName"), userConfigFolder ? QByteArray() : QByteArray("pop.example.no"));
    bracket.close();
    Felles::Finalize();
    QCOMPARE(Felles::IniFile(files[0]).readString("FOLDERS", "etc_folder"), dir + '/');
    QVERIFY(Felles::FileIo::exists(files[1]));
}

void TestFelles::startupRecordsTheFolderInMemoryOnly()
{
    StoreFixture store;
    QCOMPARE(readAll(store.file("KORVELIN.INI")), QByteArray());
    Felles::Finalize();
    QCOMPARE(readAll(store.file("KORVELIN.INI")), "[FOLDERS]\netc_folder=" + Felles::ConfigDir + "\n");
    QVERIFY(!Felles::SettingsFile);
}

void TestFelles::initialState()
{
    StoreFixture store;
    QCOMPARE(Felles::CurrentSection, QByteArray("STANDARD"));
    QVERIFY(Felles::UserNameCache.isEmpty());
    QCOMPARE(Felles::SettingsFile->nativePath(), Felles::SharedIniPath);
}

void TestFelles::readersCutAndConvert()
{
    StoreFixture store;
    Felles::CurrentSection = "Pop3";
    Felles::WriteSetting("Long", QByteArray(300, 'x'));
    Felles::WriteSetting("Port", "995");
    Felles::WriteSetting("Big", "99999999999");
    Felles::WriteSetting("Flag", "1");
    QCOMPARE(Felles::ReadSetting("Long"), QByteArray(255, 'x'));
    QCOMPARE(Felles::SettingsFile->readString("Pop3", "Long").size(), 300);
    QCOMPARE(Felles::ReadSetting("Absent"), QByteArray());
    QCOMPARE(Felles::ReadSettingInt("Port"), 995);
    QCOMPARE(Felles::ReadSettingInt("Big"), 0);
    QCOMPARE(Felles::ReadSettingInt("Absent"), 0);
    QCOMPARE(Felles::ReadSettingBool("Flag"), true);
    QCOMPARE(Felles::ReadSettingBool("Absent"), false);
    QVERIFY(!Felles::SettingsFile->hasKey("STANDARD", "Long"));
}

void TestFelles::userFileIsCreatedWhenTheBracketCloses()
{
    StoreFixture store("kari");
    const QString user = store.file("KARI.INI");
    Felles::UseUserSettings();
    QVERIFY(!QFileInfo::exists(user));
    QCOMPARE(Felles::SettingsFile->nativePath(), QFile::encodeName(user));
    Felles::UseSharedSettings();
    QVERIFY(QFileInfo::exists(user));
    QCOMPARE(QFileInfo(user).permissions() & OwnerGroupOther, OwnerReadWrite);
    QCOMPARE(Felles::SettingsFile->nativePath(), Felles::SharedIniPath);
}

void TestFelles::everySwitchFlushesTheFileItLeaves()
{
    StoreFixture store("kari");
    Felles::UseUserSettings();
    // Entering the user's file wrote the shared one, folder record included.
    QVERIFY(readAll(store.file("KORVELIN.INI")).contains("etc_folder="));
    Felles::SettingsFile->writeString("Pop3", "ServerName", "mail.example.net");
    Felles::UseSharedSettings();
    QCOMPARE(readAll(store.file("KARI.INI")), QByteArray("[Pop3]\nServerName=mail.example.net\n"));
}

void TestFelles::readOnlySharedFileIsNeverWritten()
{
    StoreFixture store;
    const QString shared = store.file("KORVELIN.INI");
    writeAll(shared, "[Mine]\nA=1\n");
    makeReadOnly(shared);
    Felles::Initialize();
    Felles::UseUserSettings(); // leaves the shared file: no flush
    Felles::UseSharedSettings();
    Felles::Finalize(); // exit: no flush either
    QCOMPARE(readAll(shared), QByteArray("[Mine]\nA=1\n"));
    QVERIFY(QFileInfo::exists(store.file("KARI.INI")));
}

void TestFelles::missingSharedFileIsNotCreatedAtExit()
{
    StoreOptions options;
    options.shared = SharedFile::InEtc; // ../etc/, where no shared file exists yet
    StoreFixture store(options);
    QCOMPARE(QFile::decodeName(Felles::ConfigDir), QFileInfo(store.file("etc")).absoluteFilePath() + '/');
    Felles::Finalize();
    QVERIFY(!QFileInfo::exists(store.file("etc/KORVELIN.INI")));
}

void TestFelles::failedFlushKeepsTheFileOpen_data()
{
    QTest::addColumn<bool>("byPermissions");
    QTest::newRow("disk full") << false;
    QTest::newRow("read-only file and folder") << true;
}

void TestFelles::failedFlushKeepsTheFileOpen()
{
    QFETCH(bool, byPermissions);
    if (byPermissions && geteuid() == 0)
        QSKIP("root writes read-only files; the disk-full row covers root");

    const QByteArray original = "[Pop3]\nServerName=old.example.net\n";
    StoreOptions options;
    options.userFile = original;
    StoreFixture store(options);
    const QString user = store.file("KARI.INI");

    Felles::UseUserSettings();
    Felles::SettingsFile->writeString("Pop3", "ServerName", "new.example.net");
    try {
        std::unique_ptr<FileSizeLimit> limit;
        if (byPermissions) {
            makeReadOnly(user);
            QFile::setPermissions(store.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        } else {
            limit = std::make_unique<FileSizeLimit>();
        }
        Felles::UseSharedSettings();
        QFAIL("the switch should have failed");
    } catch (const Felles::SettingsError &e) {
        QVERIFY2(e.text().contains(user), qPrintable(e.text()));
    }
    QFile::setPermissions(store.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QCOMPARE(readAll(user), original);
    // The file being left stays the open one, with what was written to it.
    QCOMPARE(Felles::SettingsFile->nativePath(), QFile::encodeName(user));
    QCOMPARE(Felles::SettingsFile->readString("Pop3", "ServerName"), QByteArray("new.example.net"));
}

void TestFelles::userSettingsBracket_data()
{
    QTest::addColumn<BracketEnd>("end");
    QTest::addColumn<bool>("userFileStaysOpen");
    QTest::newRow("closed") << BracketEnd::Closed << false;
    QTest::newRow("the per-user file cannot be read") << BracketEnd::OpeningFails << false;
    QTest::newRow("the flush at close fails") << BracketEnd::FlushFails << true;
    QTest::newRow("the work fails, no close") << BracketEnd::WorkFails << true;
}

void TestFelles::userSettingsBracket()
{
    QFETCH(BracketEnd, end);
    QFETCH(bool, userFileStaysOpen);
    const QByteArray original = "[Pop3]\nServerName=old.example.net\n";
    StoreOptions options;
    if (end != BracketEnd::OpeningFails)
        options.userFile = original;
    StoreFixture store(options);
    const QString user = store.file("KARI.INI");
    if (end == BracketEnd::OpeningFails)
        QDir().mkdir(user);
    Felles::CurrentSection = "Mine";

    QString error;
    try {
        Felles::UserSettingsBracket bracket;
        // The per-user file is open, under the section the caller had.
        QCOMPARE(Felles::SettingsFile->nativePath(), QFile::encodeName(user));
        QCOMPARE(Felles::CurrentSection, QByteArray("Mine"));
        Felles::CurrentSection = "Pop3";
        Felles::WriteSetting("ServerName", "new.example.net");
        if (end == BracketEnd::WorkFails)
            throw Felles::SettingsError(QStringLiteral("arbeidet feilet"));
        std::unique_ptr<FileSizeLimit> limit;
        if (end == BracketEnd::FlushFails)
            limit = std::make_unique<FileSizeLimit>();
        bracket.close();
    } catch (const Felles::SettingsError &e) {
        error = e.text();
    }
    QCOMPARE(error.isEmpty(), end == BracketEnd::Closed);
    if (end == BracketEnd::OpeningFails || end == BracketEnd::FlushFails)
        QVERIFY2(error.contains(user), qPrintable(error));

    // However the bracket ended, the caller's section is back.
    QCOMPARE(Felles::CurrentSection, QByteArray("Mine"));
    if (!userFileStaysOpen) {
        QCOMPARE(Felles::SettingsFile->nativePath(), Felles::SharedIniPath);
        // The shared file was flushed before the per-user file was opened,
        // whether that open worked or not.
        QVERIFY(store.readFile("KORVELIN.INI").contains("etc_folder="));
        if (end == BracketEnd::Closed)
            QCOMPARE(readAll(user), QByteArray("[Pop3]\nServerName=new.example.net\n"));
        return;
    }
    // Without the switch back, the per-user file stays open with what was
    // written to it, and the disk keeps what it had.
    QCOMPARE(Felles::SettingsFile->nativePath(), QFile::encodeName(user));
    QCOMPARE(Felles::SettingsFile->readString("Pop3", "ServerName"), QByteArray("new.example.net"));
    QCOMPARE(readAll(user), original);
}

void TestFelles::userNamesThatLeaveTheFolderAreRefused_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("slash") << QByteArray("../../tmp/evil");
    QTest::newRow("backslash") << QByteArray("a\\b");
    QTest::newRow("dot") << QByteArray(".");
    QTest::newRow("dot dot") << QByteArray("..");
    // The shared file, readable by everyone, would get the POP3 password.
    QTest::newRow("korvelin") << QByteArray("korvelin");
    QTest::newRow("Korvelin") << QByteArray("Korvelin");
    QTest::newRow("KORVELIN") << QByteArray("KORVELIN");
    QTest::newRow("korvelın, dotless i") << QByteArray("korvel\xC4\xB1n");
}

void TestFelles::userNamesThatLeaveTheFolderAreRefused()
{
    QFETCH(QByteArray, name);
    StoreFixture store(name);
    QVERIFY_THROWS_EXCEPTION(Felles::SettingsError, Felles::UseUserSettings());
    // Nothing was flushed or switched.
    QCOMPARE(Felles::SettingsFile->nativePath(), Felles::SharedIniPath);
    QCOMPARE(readAll(store.file("KORVELIN.INI")), QByteArray());
}

void TestFelles::recordFolderAddsTheSeparator()
{
    StoreFixture store;
    Felles::CurrentSection = "Mine";
    Felles::RecordFolder("mail", "/var/mail");
    Felles::RecordFolder("none", "");
    QCOMPARE(Felles::CurrentSection, QByteArray("Mine"));
    QCOMPARE(Felles::SettingsFile->readString("FOLDERS", "mail_folder"), QByteArray("/var/mail/"));
    QCOMPARE(Felles::SettingsFile->readString("FOLDERS", "none_folder", "absent"), QByteArray());
}

void TestFelles::userFilesAreNamedByTheNamesOwnBytes()
{
    // Two names in Latin-1 bytes, which the locale (UTF-8) cannot read.
    const QByteArray names[] = {"s\xE5ra", "s\xF8ra"};
    StoreFixture store(names[0]);
    for (const QByteArray &name : names) {
        store.identity->userName = name;
        Felles::UserNameCache.clear();
        Felles::UserSettingsBracket bracket;
        Felles::SettingsFile->writeString("Pop3", "ServerUser", name);
        bracket.close();
    }
    const QByteArray files[] = {Felles::ConfigDir + "S\xE5RA.INI", Felles::ConfigDir + "S\xF8RA.INI"};
    // Qt cannot remove names it cannot read: the test removes its own.
    const auto removeFiles = qScopeGuard([&] {
        for (const QByteArray &file : files) {
            if (::unlink(file.constData()) != 0)
                ::rmdir(file.constData());
        }
    });
    QCOMPARE(Felles::UserIniPath(), files[1]);
    for (int i = 0; i < 2; ++i)
        QCOMPARE(Felles::IniFile(files[i]).readString("Pop3", "ServerUser"), names[i]);

    // A message names such a file with the byte it could not read shown as such.
    ::unlink(files[0].constData());
    QVERIFY(::mkdir(files[0].constData(), 0700) == 0);
    store.identity->userName = names[0];
    Felles::UserNameCache.clear();
    try {
        Felles::UseUserSettings();
        QFAIL("a folder should have been refused");
    } catch (const Felles::SettingsError &e) {
        QVERIFY2(e.text().contains(QFile::decodeName(Felles::ConfigDir) + "S\\xE5RA.INI:"), qPrintable(e.text()));
    }
}

void TestFelles::refusedUserNameIsShownAsPlainText()
{
    StoreFixture store("ola/\n<b>x\xE5");
    try {
        Felles::UseUserSettings();
        QFAIL("the name should have been refused");
    } catch (const Felles::SettingsError &e) {
        QCOMPARE(e.text(), QStringLiteral("Brukernavnet «OLA/\\x0A<B>X\\xE5» kan ikke brukes som navn på en "
                                          "innstillingsfil i %1.")
                               .arg(QFile::decodeName(Felles::ConfigDir)));
    }
}

void TestFelles::onlyWhatTheProgramChangedIsWritten()
{
    // Files written by hand, in a layout the program would not write.
    const QByteArray userText = "[Pop3]\nServerName = mail.example.net\n";
    StoreOptions options;
    options.userFile = userText;
    options.start = false;
    StoreFixture store(options);
    const QString shared = store.file("KORVELIN.INI");
    const QString user = store.file("KARI.INI");
    const QByteArray sharedText = "[FOLDERS]\netc_folder = " + QFile::encodeName(canonical(store.path()))
                                + "\n[Other]\nKey = kept\n";
    writeAll(shared, sharedText);

    // Start-up records the same folder again, a reader brackets the per-user
    // file, a value is written as it already was, the program ends: nothing
    // changed, so nothing is written.
    Felles::Initialize();
    {
        Felles::UserSettingsBracket reader;
        Felles::CurrentSection = "Pop3";
        QCOMPARE(Felles::ReadSetting("ServerName"), QByteArray("mail.example.net"));
        Felles::SettingsFile->writeString("POP3", "servername", "mail.example.net");
        reader.close();
    }
    Felles::Finalize();
    QCOMPARE(readAll(shared), sharedText);
    QCOMPARE(readAll(user), userText);

    // A file that went missing is made again at the next switch.
    QFile::remove(user);
    Felles::Initialize();
    Felles::UseUserSettings();
    Felles::UseSharedSettings();
    QCOMPARE(readAll(user), QByteArray());
    QVERIFY(QFileInfo::exists(user));
}

void TestFelles::aReadNeverUndoesAnotherCopysSave_data()
{
    QTest::addColumn<bool>("readerWrites");
    QTest::newRow("the first copy only reads") << false;
    QTest::newRow("both change the file: the first copy's own is written") << true;
}

void TestFelles::aReadNeverUndoesAnotherCopysSave()
{
    QFETCH(bool, readerWrites);
    StoreOptions options;
    options.userFile = "[Pop3]\nServerName=old.example.net\n";
    StoreFixture store(options);
    const QString user = store.file("KARI.INI");
    const QString shared = store.file("KORVELIN.INI");
    Felles::UserSettingsBracket().close();

    // A second copy of the program, started and ended while the first holds
    // its open file.
    const auto secondCopy = [](const std::function<void()> &work) {
        std::unique_ptr<Felles::IniFile> firstCopysFile = std::move(Felles::SettingsFile);
        Felles::Initialize();
        work();
        Felles::Finalize();
        Felles::SettingsFile = std::move(firstCopysFile);
    };

    // The first copy has the shared file open when the second adds a key to it...
    Felles::Initialize();
    secondCopy([] { Felles::SettingsFile->writeString("Other", "Added", "1"); });
    // ...and is in a reader's bracket when the second saves the per-user file.
    Felles::UserSettingsBracket reader;
    QCOMPARE(Felles::SettingsFile->readString("Pop3", "ServerName"), QByteArray("old.example.net"));
    secondCopy([] {
        Felles::UserSettingsBracket writer;
        Felles::SettingsFile->writeString("Pop3", "ServerName", "saved.example.net");
        writer.close();
    });
    const QByteArray savedUser = readAll(user);
    const QByteArray savedShared = readAll(shared);
    QVERIFY(savedUser.contains("saved.example.net"));
    QVERIFY(savedShared.contains("Added=1"));

    // The first copy closes its bracket and ends.
    if (readerWrites)
        Felles::SettingsFile->writeString("Pop3", "ServerUser", "kari");
    reader.close();
    Felles::Finalize();
    QCOMPARE(readAll(shared), savedShared);
    if (readerWrites)
        QCOMPARE(readAll(user), QByteArray("[Pop3]\nServerName=old.example.net\nServerUser=kari\n"));
    else
        QCOMPARE(readAll(user), savedUser);
}

QTEST_GUILESS_MAIN(TestFelles)
#include "tst_felles.moc"
