#include "felles.h"

#include "identity.h"
#include "outsidetext.h"
#include "paths.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <limits>

namespace Felles {

using OutsideText::Encoding;
using OutsideText::Shown;

QByteArray ConfigDir;
QByteArray SharedIniPath;
QByteArray CurrentSection;
std::unique_ptr<IniFile> SettingsFile;
QByteArray UserNameCache;

namespace {

constexpr char SharedIniName[] = "KORVELIN.INI";
constexpr char DefaultSection[] = "STANDARD";

std::unique_ptr<IdentitySource> &identity()
{
    static std::unique_ptr<IdentitySource> source;
    if (!source)
        source = makePlatformIdentitySource();
    return source;
}

QString decode(const QByteArray &path)
{
    return QFile::decodeName(path);
}

bool directoryExists(const QByteArray &dir)
{
    return QFileInfo(decode(dir)).isDir();
}

// A candidate folder is taken when it exists and is not the system's own
// configuration folder: started from /tmp, /home, / or root's home, "../etc/"
// or "etc/" is /etc, where a user cannot save and root would leave files
// that no package owns.
bool usableFolder(const QByteArray &dir)
{
    return directoryExists(dir) && !Platform::isSystemConfigDir(dir);
}

bool isSharedFileOpen()
{
    return SettingsFile && SettingsFile->nativePath() == SharedIniPath;
}

// Flushes the open file (which writes it only when it changed). A shared
// file marked read-only is left unwritten, as at shutdown.
void flushOpenFile()
{
    if (!SettingsFile)
        return;
    const bool readOnlyShared = isSharedFileOpen() && FileIo::exists(SharedIniPath)
                             && Platform::isReadOnlyFile(SharedIniPath);
    if (!readOnlyShared)
        SettingsFile->flush();
}

// Makes path the open file. The file being left is flushed first, so that
// what it holds is on disk before anything else can fail: when the flush
// fails it stays open, unreleased, and when the next file cannot be read the
// flushed file stays the open one. The path goes to the file layer as the
// bytes it was made of: decoding it would turn the bytes of a name the
// locale cannot read into U+FFFD, and two such names into one file.
void switchTo(const QByteArray &path, FileIo::Owner owner)
{
    flushOpenFile();
    SettingsFile = std::make_unique<IniFile>(path, owner);
}

} // namespace

QByteArray ShortText(const QByteArray &s)
{
    return s.size() > ShortTextLength ? s.left(ShortTextLength) : s;
}

void Initialize()
{
    const char sep = Platform::separator();
    const QByteArray dot = QByteArray(".") + sep;
    ConfigDir = ".." + QByteArray(1, sep) + "etc" + sep;
    SharedIniPath = SharedIniName;
    CurrentSection = DefaultSection;
    UserNameCache.clear();
    SettingsFile.reset();

    // Anything at ./KORVELIN.INI but a folder makes this the configuration
    // folder: a FIFO or a device there is refused with a message naming it,
    // not passed over silently for another folder.
    const QByteArray here = dot + SharedIniName;
    if (FileIo::exists(here) && !directoryExists(here) && !Platform::isSystemConfigDir(dot)) {
        ConfigDir = dot;
    } else {
        // Each candidate is tried only while the one before it is missing.
        if (!usableFolder(ConfigDir))
            ConfigDir = QByteArray("etc") + sep;
        if (!usableFolder(ConfigDir))
            ConfigDir = sep + QByteArray("korvelin") + sep + "etc" + sep;
        if (!usableFolder(ConfigDir))
            ConfigDir = Platform::lastResortConfigDir();
    }

    // Paths are not cut to 255 bytes: a cut path would name another file.
    SharedIniPath = Platform::absolutePath(ConfigDir + SharedIniPath);
    ConfigDir = SharedIniPath.left(SharedIniPath.lastIndexOf(sep) + 1);

    SettingsFile = std::make_unique<IniFile>(SharedIniPath);
    RecordFolder("etc", ConfigDir);
}

void Finalize()
{
    std::unique_ptr<IniFile> file = std::move(SettingsFile);
    if (file && !Platform::isReadOnlyFile(SharedIniPath))
        file->flush();
}

QByteArray UserIniPath()
{
    const QByteArray name = CurrentUserName();
    const QByteArray fileName = name + ".INI";
    auto refuse = [&](const QString &why) {
        throw SettingsError(QStringLiteral("Brukernavnet «%1» kan ikke brukes som navn på en innstillingsfil i %2%3.")
                                .arg(Shown(name, Encoding::Local), Shown(ConfigDir, Encoding::Local), why));
    };
    // The name becomes part of a file name: it must not lead out of the folder.
    if (name == "." || name == ".." || name.contains('/') || name.contains('\\') || name.contains('\0'))
        refuse(QString());
    // Nor hold what the system forbids in a file name.
    if (!Platform::isAllowedInFileName(name))
        refuse(QString());
    // Nor may it name the shared file, which everyone may read: the POP3
    // password would end up there.
    if (fileName.compare(SharedIniName, Qt::CaseInsensitive) == 0)
        refuse(QStringLiteral(", fordi %1 er den felles innstillingsfilen").arg(QLatin1String(SharedIniName)));
    return ConfigDir + fileName;
}

void UseUserSettings()
{
    // The per-user file holds the POP3 password: it must be the user's own,
    // and a new one is kept from other users.
    switchTo(UserIniPath(), FileIo::Owner::CurrentUser);
}

void UseSharedSettings()
{
    switchTo(SharedIniPath, FileIo::Owner::Anyone);
}

void DiscardUnsavedChanges()
{
    if (!SettingsFile)
        return;
    std::unique_ptr<IniFile> fresh;
    try {
        fresh = std::make_unique<IniFile>(SettingsFile->nativePath(), SettingsFile->owner());
    } catch (const SettingsError &) {
        // It can no longer be read: it is left unwritten, and the shared
        // file is opened in its place.
        fresh = std::make_unique<IniFile>(SharedIniPath);
    }
    SettingsFile = std::move(fresh);
}

QByteArray ReadSetting(const QByteArray &key)
{
    return ShortText(SettingsFile->readString(CurrentSection, key));
}

int ReadSettingInt(const QByteArray &key)
{
    const qint64 v = SettingsFile->readInteger(CurrentSection, key, 0);
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return 0;
    return int(v);
}

bool ReadSettingBool(const QByteArray &key)
{
    return SettingsFile->readBool(CurrentSection, key, false);
}

void WriteSetting(const QByteArray &key, const QByteArray &value)
{
    SettingsFile->writeString(CurrentSection, key, value);
}

void RecordFolder(const QByteArray &name, QByteArray folder)
{
    const QByteArray saved = CurrentSection;
    const auto restoreSection = qScopeGuard([&saved] { CurrentSection = saved; });
    CurrentSection = "FOLDERS";
    const char sep = Platform::separator();
    if (!folder.isEmpty() && !folder.endsWith(sep))
        folder += sep;
    WriteSetting(name + "_folder", folder);
}

QByteArray LogonUserName()
{
    QByteArray name;
    if (!identity()->logonUserName(&name))
        name = qgetenv("USERNAME");
    return ShortText(name);
}

namespace {

// The name in capitals by the locale's rules, worked out character by
// character on the name's own bytes. A byte the locale cannot read stays as
// it is, and so does a character whose capital the locale cannot write:
// decoding them would turn different names into the same file name.
QByteArray upperCased(const QByteArray &name)
{
    QByteArray upper;
    for (qsizetype at = 0; at < name.size();) {
        const qsizetype n = OutsideText::LocalCharLength(name, at);
        if (n == 0) {
            upper += name.at(at++);
            continue;
        }
        const QByteArray piece = name.mid(at, n);
        const QString capital = QString::fromLocal8Bit(piece).toUpper();
        const QByteArray written = capital.toLocal8Bit();
        upper += QString::fromLocal8Bit(written) == capital ? written : piece;
        at += n;
    }
    return upper;
}

} // namespace

QByteArray CurrentUserName()
{
    if (UserNameCache.isEmpty())
        UserNameCache = LogonUserName();
    return ShortText(upperCased(UserNameCache));
}

QByteArray NetworkDomain()
{
    QByteArray domain = identity()->domain();
    if (domain.isEmpty())
        domain = identity()->dhcpDomain();
    return ShortText(domain);
}

void SetIdentitySource(std::unique_ptr<IdentitySource> source)
{
    identity() = source ? std::move(source) : makePlatformIdentitySource();
}

UserSettingsBracket::UserSettingsBracket()
{
    UseUserSettings();
    m_savedSection = CurrentSection;
}

UserSettingsBracket::~UserSettingsBracket()
{
    if (m_open)
        CurrentSection = m_savedSection;
}

void UserSettingsBracket::close()
{
    if (!m_open)
        return;
    m_open = false;
    CurrentSection = m_savedSection;
    UseSharedSettings();
}

} // namespace Felles
