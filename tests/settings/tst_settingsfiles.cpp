// The settings files as files: whose and what they may be, how they are
// written, what a failure says, and what a killed save leaves behind.

#include "felles.h"
#include "fileio.h"
#include "inifile.h"
#include "settingserror.h"
#include "testsupport.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using Felles::IniFile;
using Felles::SettingsError;
using Felles::FileIo::Owner;
using namespace TestSupport;

namespace {

const QByteArray Original = "[Pop3]\nServerName=old.example.net\n";

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

struct stat lstatOf(const QString &path)
{
    struct stat st = {};
    ::lstat(native(path).constData(), &st);
    return st;
}

bool unchanged(const struct stat &a, const struct stat &b)
{
    return a.st_ino == b.st_ino && a.st_mode == b.st_mode && a.st_size == b.st_size && a.st_uid == b.st_uid
        && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// A numeric user and group id with no account on this machine: a second
// owner, made without creating accounts.
uint spareId(uint from = 4242)
{
    for (uint id = from; id < 65000; ++id)
        if (!::getpwuid(id) && !::getgrgid(id))
            return id;
    return 0;
}

void giveTo(const QString &path, uint id)
{
    QVERIFY2(::lchown(native(path).constData(), id, id) == 0, std::strerror(errno));
}

struct ProbeRun
{
    bool crashed = false;
    int exitCode = -1;
    QString output;
};

// Runs settings_probe in dir: as the given user id (through setpriv) when
// asUser is not 0, and with a file-size limit whose signal ends it when
// fileSizeLimit is not negative. Each of environment is NAME=VALUE to set a
// variable or NAME alone to remove it.
ProbeRun runProbe(const QString &dir, const QStringList &args, uint asUser = 0, long long fileSizeLimit = -1,
                  const QStringList &environment = {})
{
    QString program = QStringLiteral(SETTINGS_PROBE);
    QStringList arguments = args;
    if (asUser) {
        arguments = QStringList{QStringLiteral("--reuid=%1").arg(asUser), QStringLiteral("--regid=%1").arg(asUser),
                                QStringLiteral("--clear-groups"), program}
                  + args;
        program = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    }
    QProcess process;
    process.setWorkingDirectory(dir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("USERNAME"), QStringLiteral("kari"));
    for (const QString &change : environment) {
        const qsizetype eq = change.indexOf(u'=');
        if (eq < 0)
            env.remove(change);
        else
            env.insert(change.left(eq), change.mid(eq + 1));
    }
    process.setProcessEnvironment(env);
    process.setChildProcessModifier([fileSizeLimit] {
        const struct rlimit noCore = {0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        if (fileSizeLimit >= 0) {
            const struct rlimit limit = {rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::signal(SIGXFSZ, SIG_DFL);
        }
    });
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    ProbeRun run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        run.output = QStringLiteral("settings_probe did not end");
        return run;
    }
    run.crashed = process.exitStatus() == QProcess::CrashExit;
    run.exitCode = process.exitCode();
    run.output = QString::fromLocal8Bit(process.readAll());
    return run;
}

// This process's own mount namespace, made once, so that a test can mount
// small file systems that nobody else sees.
bool ownMounts(QString *why)
{
    static bool tried = false;
    static QString failure;
    if (!tried) {
        tried = true;
        if (::geteuid() != 0)
            failure = QStringLiteral("needs root to mount a file system of its own");
        else if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            failure
                = QStringLiteral("no mount namespace of its own: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    *why = failure;
    return failure.isEmpty();
}

// A 16 KiB file system mounted on a folder while the object lives.
class SmallFileSystem
{
public:
    explicit SmallFileSystem(const QString &at)
        : m_at(native(at))
    {
        QDir().mkpath(at);
        m_ok = ::mount("tmpfs", m_at.constData(), "tmpfs", 0, "size=16k,mode=0755") == 0;
    }
    ~SmallFileSystem()
    {
        if (m_ok)
            ::umount2(m_at.constData(), MNT_DETACH);
    }
    bool ok() const { return m_ok; }
    // Takes every free byte.
    void fill() const
    {
        QFile f(QFile::decodeName(m_at + "/filler"));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return;
        const QByteArray block(1024, 'f');
        while (f.write(block) == block.size()) {
        }
    }
    bool makeReadOnly() const
    {
        return ::mount(nullptr, m_at.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    QByteArray m_at;
    bool m_ok = false;
};

// The machine's top folders as a test lays them out, in this process's own
// mount namespace: a folder of the test's own over /etc (holding copies of
// what the account lookups and the loader read, and an account for the
// second owner, whose home is /mnt/home), one over /mnt (a folder just below
// the root, like /tmp or /home) and one over /root. The real ones are never
// touched.
class OwnTopFolders
{
public:
    explicit OwnTopFolders(uint spare)
    {
        if (!ownMounts(&m_why))
            return;
        if (!QFileInfo(QStringLiteral("/mnt")).isDir() || !QFileInfo(QStringLiteral("/root")).isDir()) {
            m_why = QStringLiteral("needs /mnt and /root to lay folders over");
            return;
        }
        const QDir dir(m_dir.path());
        for (const char *name : {"etc", "mnt/home", "root"})
            dir.mkpath(QLatin1String(name));
        for (const char *name : {"passwd", "group", "nsswitch.conf", "ld.so.cache"})
            QFile::copy(QStringLiteral("/etc/") + QLatin1String(name),
                        dir.filePath(QStringLiteral("etc/%1").arg(name)));
        QFile passwd(dir.filePath(QStringLiteral("etc/passwd")));
        if (!passwd.open(QIODevice::Append)
            || passwd.write(QStringLiteral("tester:x:%1:%1::/mnt/home:/bin/sh\n").arg(spare).toLatin1()) < 0) {
            m_why = QStringLiteral("cannot add an account");
            return;
        }
        passwd.close();
        if (::chown(native(dir.filePath(QStringLiteral("mnt/home"))).constData(), spare, spare) != 0) {
            m_why = QStringLiteral("cannot give the account its home");
            return;
        }
        for (const char *name : {"etc", "mnt", "root"}) {
            const QByteArray at = QByteArray("/") + name;
            if (::mount(native(dir.filePath(QLatin1String(name))).constData(), at.constData(), nullptr, MS_BIND,
                        nullptr)
                != 0) {
                m_why = QStringLiteral("cannot lay a folder over %1: %2")
                            .arg(QLatin1String(at), QString::fromLocal8Bit(std::strerror(errno)));
                return;
            }
            m_mounted.push_back(at);
        }
    }
    ~OwnTopFolders()
    {
        for (auto at = m_mounted.rbegin(); at != m_mounted.rend(); ++at)
            ::umount2(at->constData(), MNT_DETACH);
    }
    OwnTopFolders(const OwnTopFolders &) = delete;
    OwnTopFolders &operator=(const OwnTopFolders &) = delete;
    // Empty when everything is in place.
    QString why() const { return m_why; }

private:
    QTemporaryDir m_dir;
    std::vector<QByteArray> m_mounted;
    QString m_why;
};

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

enum Hostile { LinkToOthersFile, LinkByOtherUser, OthersFile, Fifo, DeviceLink, OverLimit };
enum Cause {
    ReadOnlyMark,
    SizeLimit,
    SizeLimitInPlace,
    NoSpace,
    ReadOnlyFileSystem,
    NoAccess,
    Missing,
    NotAFile,
    OtherError
};

} // namespace

class TestSettingsFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void systemFolderIsNeverTheSettingsFolder_data();
    void systemFolderIsNeverTheSettingsFolder();

    void hostileFilesAreRefused_data();
    void hostileFilesAreRefused();
    void sharedLinksOfTheFoldersKeepersAreFollowed_data();
    void sharedLinksOfTheFoldersKeepersAreFollowed();
    void secondNamesAreNeverWrittenThrough_data();
    void secondNamesAreNeverWrittenThrough();
    void ownLinksAreFollowedAndKept();
    void unreadableFileIsAnError_data();
    void unreadableFileIsAnError();
    void inPlaceOnlyWhereANewFileWouldNotDo_data();
    void inPlaceOnlyWhereANewFileWouldNotDo();
    void failuresSayWhy_data();
    void failuresSayWhy();
    void killedSaveLeavesNothingBehind();
    void longNamesAreSavedAtomically_data();
    void longNamesAreSavedAtomically();

private:
    uint m_spare = 0;
    uint m_secondSpare = 0; // another id without an account
    bool m_canSetpriv = false;
};

void TestSettingsFiles::initTestCase()
{
    m_spare = spareId();
    m_secondSpare = m_spare ? spareId(m_spare + 1) : 0;
    m_canSetpriv = ::geteuid() == 0 && m_spare && !QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty();
}

void TestSettingsFiles::systemFolderIsNeverTheSettingsFolder_data()
{
    QTest::addColumn<QString>("dir");
    // Each NAME=VALUE or NAME alone (removed); HOME, XDG_CONFIG_HOME and
    // WINDIR are removed unless set here.
    QTest::addColumn<QStringList>("environment");
    // What is there besides: "PATH/" a folder, "PATH>TARGET" a link, else a file.
    QTest::addColumn<QStringList>("present");
    // 0: root; 1: the second owner, whose account has /mnt/home; 2: an id with no account.
    QTest::addColumn<int>("user");
    QTest::addColumn<QString>("expected"); // the folder, or what the error says

    const QStringList rootHome{QStringLiteral("HOME=/root")};
    const QString rootConfig = QStringLiteral("/root/.config/korvelin/");
    // clang-format off
    QTest::newRow("started just below the root: ../etc/ is /etc") << "/mnt" << rootHome << QStringList() << 0 << rootConfig;
    QTest::newRow("started in the root: ../etc/ and etc/ are /etc") << "/" << rootHome << QStringList() << 0 << rootConfig;
    QTest::newRow("root started in its home") << "/root" << rootHome << QStringList() << 0 << rootConfig;
    QTest::newRow("a link to /etc as etc/") << "/mnt" << rootHome << QStringList{"/mnt/etc>/etc"} << 0 << rootConfig;
    QTest::newRow("WINDIR naming /etc") << "/mnt" << (rootHome + QStringList{"WINDIR=/mnt/../etc"}) << QStringList() << 0 << rootConfig;
    QTest::newRow("KORVELIN.INI in /etc itself") << "/etc" << rootHome << QStringList{"/etc/KORVELIN.INI"} << 0 << rootConfig;
    QTest::newRow("etc/ elsewhere as before") << "/mnt" << rootHome << QStringList{"/mnt/etc/"} << 0 << "/mnt/etc/";
    QTest::newRow("../etc/ elsewhere as before") << "/mnt/run" << rootHome << QStringList{"/mnt/run/", "/mnt/etc/"} << 0 << "/mnt/etc/";
    QTest::newRow("KORVELIN.INI elsewhere as before") << "/root" << rootHome << QStringList{"/root/KORVELIN.INI"} << 0 << "/root/";
    QTest::newRow("WINDIR elsewhere as before") << "/mnt" << (rootHome + QStringList{"WINDIR=/mnt/win"}) << QStringList{"/mnt/win/"} << 0 << "/mnt/win/";
    QTest::newRow("no HOME: the account's home") << "/mnt" << QStringList() << QStringList() << 0 << rootConfig;
    QTest::newRow("HOME not a folder: the account's home") << "/mnt" << QStringList{"HOME=/mnt/nothing"} << QStringList() << 0 << rootConfig;
    QTest::newRow("a user without HOME") << "/mnt" << QStringList() << QStringList() << 1 << "/mnt/home/.config/korvelin/";
    QTest::newRow("relative XDG_CONFIG_HOME is ignored") << "/mnt" << (rootHome + QStringList{"XDG_CONFIG_HOME=xdg"}) << QStringList{"/mnt/xdg/"} << 0 << rootConfig;
    QTest::newRow("absolute XDG_CONFIG_HOME") << "/mnt" << (rootHome + QStringList{"XDG_CONFIG_HOME=/mnt/xdg"}) << QStringList() << 0 << "/mnt/xdg/korvelin/";
    QTest::newRow("no home at all") << "/mnt" << QStringList{"HOME=/mnt/nothing"} << QStringList() << 2
                                    << "error=Finner ingen innstillingsmappe: HOME viser ikke til en mappe, og brukerkontoen har ingen hjemmemappe som finnes.";
    // clang-format on
}

void TestSettingsFiles::systemFolderIsNeverTheSettingsFolder()
{
    QFETCH(QString, dir);
    QFETCH(QStringList, environment);
    QFETCH(QStringList, present);
    QFETCH(int, user);
    QFETCH(QString, expected);
    if (!m_canSetpriv || !m_secondSpare)
        QSKIP("needs root and setpriv for users with and without an account");
    if (QFileInfo::exists(QStringLiteral("/korvelin/etc")))
        QSKIP("/korvelin/etc exists on this machine and would win");
    OwnTopFolders top(m_spare);
    if (!top.why().isEmpty())
        QSKIP(qPrintable(top.why()));

    for (const QString &p : present) {
        const qsizetype arrow = p.indexOf(u'>');
        if (arrow > 0)
            QVERIFY(QFile::link(p.mid(arrow + 1), p.left(arrow)));
        else if (p.endsWith(u'/'))
            QVERIFY(QDir().mkpath(p));
        else
            QVERIFY(writeAll(p, ""));
    }
    const QStringList etcBefore = entriesOf(QStringLiteral("/etc"));
    QStringList env{QStringLiteral("HOME"), QStringLiteral("XDG_CONFIG_HOME"), QStringLiteral("WINDIR")};
    env += environment;
    const uint uid = user == 0 ? 0 : user == 1 ? m_spare : m_secondSpare;

    const ProbeRun run = runProbe(dir, {QStringLiteral("where")}, uid, -1, env);
    if (expected.startsWith(QLatin1String("error="))) {
        QCOMPARE(run.output, expected + '\n');
    } else {
        QCOMPARE(run.output, QStringLiteral("folder=%1\nok\n").arg(expected));
        // Both files went there, and nothing into /etc.
        const QString userFile = user == 0 ? QStringLiteral("ROOT.INI") : QStringLiteral("TESTER.INI");
        QVERIFY(QFileInfo::exists(expected + QStringLiteral("KORVELIN.INI")));
        QVERIFY(QFileInfo::exists(expected + userFile));
    }
    QCOMPARE(entriesOf(QStringLiteral("/etc")), etcBefore);
    QVERIFY(!QFileInfo::exists(QStringLiteral("/mnt/xdg/korvelin")) || expected.startsWith(QLatin1String("/mnt/xdg")));
}

void TestSettingsFiles::hostileFilesAreRefused_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("secondOwner");
    QTest::addColumn<QString>("reason");
    const QString user = QStringLiteral("KARI.INI");
    const QString shared = QStringLiteral("KORVELIN.INI");
    const QString notRegular = QStringLiteral("den er ikke en vanlig fil");
    const QString tooBig = QStringLiteral("den er større enn 1 MiB");
    const QString otherUsers = QStringLiteral("en annen bruker");
    QTest::newRow("link to another user's file") << user << int(LinkToOthersFile) << true << otherUsers;
    QTest::newRow("link another user made") << user << int(LinkByOtherUser) << true << otherUsers;
    QTest::newRow("another user's file") << user << int(OthersFile) << true << otherUsers;
    QTest::newRow("FIFO") << user << int(Fifo) << false << notRegular;
    QTest::newRow("device through a link") << user << int(DeviceLink) << false << notRegular;
    QTest::newRow("larger than 1 MiB") << user << int(OverLimit) << false << tooBig;
    QTest::newRow("shared FIFO") << shared << int(Fifo) << false << notRegular;
    QTest::newRow("shared device through a link") << shared << int(DeviceLink) << false << notRegular;
    QTest::newRow("shared larger than 1 MiB") << shared << int(OverLimit) << false << tooBig;
    // A shared file may be anyone's, but not a link someone else planted in
    // the folder: it may lead to any of the user's own files.
    QTest::newRow("shared link another user made")
        << shared << int(LinkByOtherUser) << true
        << QStringLiteral("den er en lenke laget av en annen bruker enn deg og mappens eier");
    // In the current folder it is not passed over for another folder either.
    const QString here = QStringLiteral("./KORVELIN.INI");
    QTest::newRow("FIFO as ./KORVELIN.INI") << here << int(Fifo) << false << notRegular;
    QTest::newRow("device link as ./KORVELIN.INI") << here << int(DeviceLink) << false << notRegular;
    QTest::newRow("another user's link as ./KORVELIN.INI")
        << here << int(LinkByOtherUser) << true
        << QStringLiteral("den er en lenke laget av en annen bruker enn deg og mappens eier");
}

void TestSettingsFiles::hostileFilesAreRefused()
{
    QFETCH(QString, file);
    QFETCH(int, kind);
    QFETCH(bool, secondOwner);
    QFETCH(QString, reason);
    if (secondOwner && (::geteuid() != 0 || !m_spare))
        QSKIP("needs root to give a file to a second owner");

    // The shared file is planted in ../etc/ (which start-up takes whatever
    // KORVELIN.INI there is), or as ./KORVELIN.INI in the current folder.
    const bool isShared = file.endsWith(QLatin1String("KORVELIN.INI"));
    StoreOptions options;
    if (isShared) {
        options.start = false;
        if (file.startsWith(u'.')) {
            options.shared = SharedFile::Nowhere;
            file = file.mid(2);
        } else {
            options.shared = SharedFile::InEtc;
            file = QStringLiteral("etc/") + file;
        }
    }
    StoreFixture store(options);
    const QString at = store.file(file);
    const QString target = store.file(QStringLiteral("notes.txt"));
    const QByteArray notes = "[Pop3]\nServerName=notes.example.net\n";
    QFile::remove(at);
    switch (kind) {
    case LinkToOthersFile:
        writeAll(target, notes);
        giveTo(target, m_spare);
        QVERIFY(QFile::link(target, at));
        break;
    case LinkByOtherUser:
        writeAll(target, notes);
        QVERIFY(QFile::link(target, at));
        giveTo(at, m_spare);
        break;
    case OthersFile:
        writeAll(at, notes);
        giveTo(at, m_spare);
        break;
    case Fifo:
        QVERIFY(::mkfifo(native(at).constData(), 0600) == 0);
        break;
    case DeviceLink:
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), at));
        break;
    case OverLimit:
        writeAll(at, QByteArray(Felles::FileIo::MaxFileSize + 1, '\n'));
        break;
    }
    const struct stat before = lstatOf(at);

    // Each ends in its message, before anything is read; a FIFO does not
    // hold the start-up.
    QString message;
    try {
        if (isShared)
            Felles::Initialize();
        else
            Felles::UseUserSettings();
        QFAIL("the file was used");
    } catch (const SettingsError &e) {
        message = e.text();
    }
    QVERIFY2(message.contains(at) && message.contains(reason), qPrintable(message));

    // The switch did not happen; nothing is ever written to the file.
    if (!isShared)
        QCOMPARE(Felles::SettingsFile->nativePath(), Felles::SharedIniPath);
    Felles::Finalize();
    QVERIFY(unchanged(lstatOf(at), before));
    if (kind == LinkToOthersFile || kind == LinkByOtherUser)
        QCOMPARE(readAll(target), notes);
}

void TestSettingsFiles::sharedLinksOfTheFoldersKeepersAreFollowed_data()
{
    QTest::addColumn<bool>("folderOwnersLink");
    QTest::newRow("the user's own link to another user's file") << false;
    QTest::newRow("the folder owner's link") << true;
}

void TestSettingsFiles::sharedLinksOfTheFoldersKeepersAreFollowed()
{
    QFETCH(bool, folderOwnersLink);
    if (::geteuid() != 0 || !m_spare)
        QSKIP("needs root to give files to a second owner");
    StoreOptions options;
    options.shared = SharedFile::InEtc;
    options.start = false;
    StoreFixture store(options);
    const QString real = store.file(QStringLiteral("shared.ini"));
    const QString at = store.file(QStringLiteral("etc/KORVELIN.INI"));
    writeAll(real, Original);
    giveTo(real, m_spare);
    QVERIFY(QFile::link(real, at));
    if (folderOwnersLink) {
        giveTo(at, m_spare);
        giveTo(store.file(QStringLiteral("etc")), m_spare);
    }

    Felles::Initialize();
    QCOMPARE(Felles::SettingsFile->readString("Pop3", "ServerName"), QByteArray("old.example.net"));
    Felles::Finalize();
    QVERIFY(readAll(real).contains("etc_folder="));
    QCOMPARE(QFileInfo(at).symLinkTarget(), real);
}

void TestSettingsFiles::secondNamesAreNeverWrittenThrough_data()
{
    QTest::addColumn<bool>("perUser");
    QTest::addColumn<bool>("inPlace");
    QTest::newRow("shared file, another user's: refused") << false << true;
    QTest::newRow("per-user file, folder allows no new files: refused") << true << true;
    QTest::newRow("shared file, own: replaced") << false << false;
    QTest::newRow("per-user file, own: replaced, private") << true << false;
}

void TestSettingsFiles::secondNamesAreNeverWrittenThrough()
{
    QFETCH(bool, perUser);
    QFETCH(bool, inPlace);
    if (inPlace && !m_canSetpriv)
        QSKIP("needs root and setpriv for a second owner");

    // The settings file has a second name: a planted hard link to a file of
    // notes elsewhere, readable by all.
    StoreOptions options;
    options.shared = SharedFile::Nowhere;
    options.start = false;
    StoreFixture store(options);
    QVERIFY(::chmod(native(store.path()).constData(), 0755) == 0);
    QDir(store.path()).mkdir(QStringLiteral("notes"));
    const QString notes = store.file(QStringLiteral("notes/notes.txt"));
    const QString at = store.file(perUser ? QStringLiteral("KARI.INI") : QStringLiteral("KORVELIN.INI"));
    const QByteArray notesText = "[Pop3]\nServerName=notes.example.net\n";
    writeAll(notes, notesText);
    QVERIFY(::chmod(native(notes).constData(), 0644) == 0);
    QVERIFY(::link(native(notes).constData(), native(at).constData()) == 0);
    if (perUser)
        writeAll(store.file(QStringLiteral("KORVELIN.INI")), "");
    if (inPlace) {
        giveTo(notes, m_spare);
        if (perUser)
            giveTo(store.file(QStringLiteral("KORVELIN.INI")), m_spare);
    }
    const struct stat before = lstatOf(notes);

    QString message;
    if (perUser && inPlace) {
        // Its own file, in a folder where it may not make new ones.
        message = runProbe(store.path(), {QStringLiteral("save"), QStringLiteral("new.example.net")}, m_spare).output;
    } else {
        try {
            Felles::Initialize();
            if (perUser) {
                Felles::UserSettingsBracket bracket;
                Felles::SettingsFile->writeString("Pop3", "ServerName", "new.example.net");
                bracket.close();
            }
            Felles::Finalize();
        } catch (const SettingsError &e) {
            message = e.text();
        }
    }

    QVERIFY(unchanged(lstatOf(notes), before));
    QCOMPARE(readAll(notes), notesText);
    if (inPlace) {
        const QString reason = QStringLiteral(
            "den har flere navn (harde lenker), og en endring ville også endre filen under de andre navnene");
        QVERIFY2(message.contains(QStringLiteral("Kan ikke skrive innstillingsfilen %1: %2").arg(at, reason)),
                 qPrintable(message));
        QCOMPARE(lstatOf(at).st_ino, before.st_ino);
        return;
    }
    QVERIFY2(message.isEmpty(), qPrintable(message));
    QVERIFY(lstatOf(at).st_ino != before.st_ino);
    QVERIFY(readAll(at).contains(perUser ? "ServerName=new.example.net" : "etc_folder="));
    // The per-user file holds the POP3 password: its new file is private,
    // whatever mode the notes had.
    QCOMPARE(lstatOf(at).st_mode & 0777, perUser ? 0600u : 0644u);
}

void TestSettingsFiles::ownLinksAreFollowedAndKept()
{
    StoreFixture store("kari");
    QDir(store.path()).mkdir(QStringLiteral("private"));
    const QString real = store.file(QStringLiteral("private/kari.ini"));
    const QString at = store.file(QStringLiteral("KARI.INI"));
    writeAll(real, Original);
    QVERIFY(QFile::link(QStringLiteral("private/kari.ini"), at));

    Felles::UserSettingsBracket bracket;
    QCOMPARE(Felles::SettingsFile->readString("Pop3", "ServerName"), QByteArray("old.example.net"));
    Felles::SettingsFile->writeString("Pop3", "ServerName", "new.example.net");
    bracket.close();

    QCOMPARE(QFileInfo(at).symLinkTarget(), real);
    QCOMPARE(readAll(real), QByteArray("[Pop3]\nServerName=new.example.net\n"));
    QCOMPARE(QDir(store.file(QStringLiteral("private"))).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("kari.ini")});
}

void TestSettingsFiles::unreadableFileIsAnError_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("per-user file") << QStringLiteral("KARI.INI");
    QTest::newRow("shared file") << QStringLiteral("KORVELIN.INI");
}

void TestSettingsFiles::unreadableFileIsAnError()
{
    QFETCH(QString, file);
    if (!m_canSetpriv)
        QSKIP("needs root and setpriv to run the store as a user without an account");

    // The store runs as a user who owns the folder and both files, but may
    // not read the one file.
    QTemporaryDir tmp;
    const QString dir = tmp.path();
    for (const QString &name : {QStringLiteral("KORVELIN.INI"), QStringLiteral("KARI.INI")}) {
        writeAll(tmp.filePath(name), Original);
        giveTo(tmp.filePath(name), m_spare);
    }
    giveTo(dir, m_spare);
    const QString at = tmp.filePath(file);
    QFile::setPermissions(at, QFileDevice::WriteOwner);
    const struct stat before = lstatOf(at);

    const ProbeRun run = runProbe(dir, {QStringLiteral("start")}, m_spare);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QStringLiteral("Kan ikke lese innstillingsfilen %1: ingen tilgang").arg(at)),
             qPrintable(run.output));
    QVERIFY(unchanged(lstatOf(at), before));
    QCOMPARE(readAll(at), Original);
}

void TestSettingsFiles::inPlaceOnlyWhereANewFileWouldNotDo_data()
{
    QTest::addColumn<bool>("spareOwnsFile");
    QTest::addColumn<bool>("runAsSpare");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("inPlace");
    QTest::newRow("own file in an open folder: replaced") << false << false << 0640 << false;
    QTest::newRow("another user's file: in place") << true << false << 0640 << true;
    QTest::newRow("administrator's file and folder: in place") << false << true << 0666 << true;
    QTest::newRow("own file, folder allows no new files: in place") << true << true << 0640 << true;
}

void TestSettingsFiles::inPlaceOnlyWhereANewFileWouldNotDo()
{
    QFETCH(bool, spareOwnsFile);
    QFETCH(bool, runAsSpare);
    QFETCH(int, mode);
    QFETCH(bool, inPlace);
    if ((spareOwnsFile || runAsSpare) && !m_canSetpriv)
        QSKIP("needs root and setpriv for a second owner");

    // The folder is this process's (root's, as a shared folder an
    // administrator set up), open to read but not to write for others.
    QTemporaryDir tmp;
    QVERIFY(::chmod(native(tmp.path()).constData(), 0755) == 0);
    const QString path = tmp.filePath(QStringLiteral("KORVELIN.INI"));
    writeAll(path, Original);
    QVERIFY(::chmod(native(path).constData(), mode_t(mode)) == 0);
    if (spareOwnsFile)
        giveTo(path, m_spare);
    const struct stat before = lstatOf(path);

    if (runAsSpare) {
        const ProbeRun run = runProbe(tmp.path(), {QStringLiteral("set"), path, QStringLiteral("new.example.net")},
                                      m_spare);
        QCOMPARE(run.output, QStringLiteral("ok\n"));
    } else {
        IniFile f(path);
        f.writeString("Pop3", "ServerName", "new.example.net");
        f.flush();
    }

    const struct stat after = lstatOf(path);
    QCOMPARE(readAll(path), QByteArray("[Pop3]\nServerName=new.example.net\n"));
    QCOMPARE(after.st_ino == before.st_ino, inPlace);
    QCOMPARE(after.st_uid, before.st_uid);
    QCOMPARE(after.st_gid, before.st_gid);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("KORVELIN.INI")});
}

void TestSettingsFiles::failuresSayWhy_data()
{
    QTest::addColumn<int>("cause");
    QTest::addColumn<QString>("reason");
    // clang-format off
    QTest::newRow("read-only mark, even for root") << int(ReadOnlyMark) << QStringLiteral("filen er skrivebeskyttet");
    QTest::newRow("file-size limit") << int(SizeLimit) << QStringLiteral("filen er for stor");
    QTest::newRow("file-size limit, another user's file") << int(SizeLimitInPlace) << QStringLiteral("filen er for stor");
    QTest::newRow("full disk") << int(NoSpace) << QStringLiteral("det er ikke mer plass på disken");
    QTest::newRow("read-only file system") << int(ReadOnlyFileSystem)
                                           << QStringLiteral("filsystemet er skrivebeskyttet");
    QTest::newRow("permission denied") << int(NoAccess) << QStringLiteral("ingen tilgang");
    QTest::newRow("folder not found") << int(Missing) << QStringLiteral("filen eller mappen finnes ikke");
    QTest::newRow("not a regular file") << int(NotAFile) << QStringLiteral("den er ikke en vanlig fil");
    QTest::newRow("anything else keeps the system's words")
        << int(OtherError) << QString::fromLocal8Bit(std::strerror(ENOTDIR));
    // clang-format on
}

void TestSettingsFiles::failuresSayWhy()
{
    QFETCH(int, cause);
    QFETCH(QString, reason);

    QTemporaryDir tmp;
    QVERIFY(::chmod(native(tmp.path()).constData(), 0755) == 0);
    QString path = tmp.filePath(QStringLiteral("KARI.INI"));
    bool existed = true;
    std::unique_ptr<SmallFileSystem> small;
    QString why;
    switch (cause) {
    case ReadOnlyMark:
        writeAll(path, Original);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
        break;
    case SizeLimit:
        writeAll(path, Original);
        break;
    case SizeLimitInPlace:
        if (::geteuid() != 0 || !m_spare)
            QSKIP("needs root to give the file to a second owner");
        writeAll(path, Original); // written in place, so the limit must not cut it short
        giveTo(path, m_spare);
        break;
    case NoSpace:
    case ReadOnlyFileSystem:
        if (!ownMounts(&why))
            QSKIP(qPrintable(why));
        small = std::make_unique<SmallFileSystem>(tmp.filePath(QStringLiteral("small")));
        QVERIFY(small->ok());
        path = tmp.filePath(QStringLiteral("small/KARI.INI"));
        writeAll(path, Original);
        if (cause == NoSpace)
            small->fill();
        else
            QVERIFY(small->makeReadOnly());
        break;
    case NoAccess:
        if (!m_canSetpriv)
            QSKIP("needs root and setpriv to write as a user without rights");
        writeAll(path, Original); // root's, 0644, in root's folder
        break;
    case Missing:
        path = tmp.filePath(QStringLiteral("missing/KARI.INI"));
        existed = false;
        break;
    case NotAFile:
        QDir().mkpath(path);
        existed = false;
        break;
    case OtherError:
        writeAll(tmp.filePath(QStringLiteral("plain")), "");
        path = tmp.filePath(QStringLiteral("plain/KARI.INI"));
        existed = false;
        break;
    }

    QString message;
    if (cause == NoAccess) {
        message
            = runProbe(tmp.path(), {QStringLiteral("set"), path, QStringLiteral("new.example.net")}, m_spare).output;
    } else {
        try {
            IniFile f(path);
            f.writeString("Pop3", "ServerName", "new.example.net");
            std::unique_ptr<FileSizeLimit> limit;
            // Cuts the new text inside its first value.
            if (cause == SizeLimit || cause == SizeLimitInPlace)
                limit = std::make_unique<FileSizeLimit>(20);
            f.flush();
            QFAIL("the flush should have failed");
        } catch (const SettingsError &e) {
            message = e.text();
        }
    }
    QVERIFY2(message.contains(path) && message.contains(reason), qPrintable(message));
    QVERIFY2(!message.contains(QLatin1String("Unknown error"), Qt::CaseInsensitive), qPrintable(message));
    if (existed)
        QCOMPARE(readAll(path), Original);
}

void TestSettingsFiles::killedSaveLeavesNothingBehind()
{
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("KARI.INI"));
    writeAll(path, Original);
    QDir dir(tmp.path());
    const auto files = [&dir] { return dir.entryList(QDir::Files | QDir::Hidden); };

    // The file-size limit ends the save in the middle of writing its new
    // file, as a kill would; what it leaves is the leftover to be cleared.
    const auto killedSave = [&]() -> QString {
        const QStringList before = files();
        const ProbeRun run = runProbe(tmp.path(), {QStringLiteral("set"), path, QString(300, u'x')}, 0, 64);
        QStringList left = files();
        for (const QString &name : before)
            left.removeOne(name);
        if (!run.crashed || left.size() != 1)
            return QString();
        return dir.filePath(left.first());
    };
    const QString stray = killedSave();
    QVERIFY(!stray.isEmpty());
    QCOMPARE(QFileInfo(stray).size(), 64);
    QCOMPARE(readAll(path), Original);

    // Left alone: a leftover in use by a save still running, one that is not
    // this user's, and the user's own files beside it.
    const QString busy = killedSave();
    QVERIFY(!busy.isEmpty());
    const int busyFd = ::open(native(busy).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(busyFd >= 0 && ::flock(busyFd, LOCK_EX) == 0);
    QString foreign;
    if (::geteuid() == 0 && m_spare) {
        foreign = killedSave();
        QVERIFY(!foreign.isEmpty());
        giveTo(foreign, m_spare);
    }
    const QString ownCopy = tmp.filePath(QStringLiteral("KARI.INI.backup"));
    writeAll(ownCopy, Original);

    // Any later start opens the file and clears what is certainly its own.
    {
        IniFile reopened(path, Owner::CurrentUser);
    }
    QVERIFY(!QFileInfo::exists(stray));
    QVERIFY(QFileInfo::exists(busy));
    QVERIFY(foreign.isEmpty() || QFileInfo::exists(foreign));
    QVERIFY(QFileInfo::exists(ownCopy));
    QCOMPARE(readAll(path), Original);

    ::close(busyFd);
    {
        IniFile reopened(path, Owner::CurrentUser);
    }
    QVERIFY(!QFileInfo::exists(busy));
}

void TestSettingsFiles::longNamesAreSavedAtomically_data()
{
    // The temporary file's name is 21 bytes longer than the file's.
    QTest::addColumn<bool>("longPath");
    QTest::newRow("name fits, its temporary's would not") << false;
    QTest::newRow("path fits, its temporary's would not") << true;
}

void TestSettingsFiles::longNamesAreSavedAtomically()
{
    QFETCH(bool, longPath);
    QTemporaryDir tmp;
    QByteArray dir = native(tmp.path());
    QByteArray base(NAME_MAX - 5, 'k');
    if (longPath) {
        base = "KARI.INI";
        const qsizetype full = PATH_MAX - 1; // the longest path the system takes
        const auto descend = [&dir](qsizetype length, char c) {
            dir += '/' + QByteArray(length, c);
            return ::mkdir(dir.constData(), 0700) == 0;
        };
        const auto left = [&] { return full - dir.size() - 2 - base.size(); }; // for the last folder's name
        while (left() > NAME_MAX)
            QVERIFY(descend(NAME_MAX - 10, 'd'));
        QVERIFY(descend(left(), 'e'));
    }
    const QByteArray path = dir + '/' + base;
    QCOMPARE(longPath, path.size() == PATH_MAX - 1);
    const QString folder = QFile::decodeName(dir);
    const auto files = [&] { return QDir(folder).entryList(QDir::Files | QDir::Hidden); };

    // A save killed halfway leaves its temporary file, and the next open of
    // the file clears it.
    writeAll(QFile::decodeName(path), Original);
    const ProbeRun run = runProbe(folder, {QStringLiteral("set"), QFile::decodeName(path), QString(300, u'x')}, 0, 64);
    QVERIFY2(run.crashed, qPrintable(run.output));
    QCOMPARE(files().size(), 2);
    {
        IniFile reopened(path);
    }
    QCOMPARE(files(), QStringList{QFile::decodeName(base)});

    // A new private file and a rewrite of it, each made whole beside it.
    QVERIFY(::unlink(path.constData()) == 0);
    for (const QByteArray &value : {QByteArray("new.example.net"), QByteArray("newer.example.net")}) {
        IniFile f(path, Owner::CurrentUser);
        f.writeString("Pop3", "ServerName", value);
        f.flush();
        QCOMPARE(IniFile(path).readString("Pop3", "ServerName"), value);
    }
    QCOMPARE(lstatOf(QFile::decodeName(path)).st_mode & 0777, 0600u);
    QCOMPARE(files(), QStringList{QFile::decodeName(base)});
}

QTEST_GUILESS_MAIN(TestSettingsFiles)
#include "tst_settingsfiles.moc"
