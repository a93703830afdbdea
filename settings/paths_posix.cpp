#include "paths.h"

#include "settingserror.h"

#include <QDir>

#include <cerrno>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Felles::Platform {

char separator()
{
    return '/';
}

namespace {

// Makes the folder and the folders it lies in, by their bytes (QDir would
// read them with the locale and make a folder of another name).
void makePath(const QByteArray &dir)
{
    for (qsizetype at = dir.indexOf('/', 1); at >= 0; at = dir.indexOf('/', at + 1))
        ::mkdir(dir.left(at).constData(), 0777);
    ::mkdir(dir.constData(), 0777);
}

} // namespace

namespace {

bool isFolder(const QByteArray &path)
{
    struct stat st;
    return path.startsWith('/') && ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The home folder of the process's real user in the account database.
QByteArray accountHome()
{
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? size_t(size) : 16384);
    struct passwd pw;
    struct passwd *found = nullptr;
    while (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    return found && found->pw_dir ? QByteArray(found->pw_dir) : QByteArray();
}

// HOME when it names a folder; else the account's own home (a menu or a
// service may start the program without HOME); empty when neither is one.
QByteArray homeFolder()
{
    const QByteArray home = qgetenv("HOME");
    if (isFolder(home))
        return home;
    const QByteArray account = accountHome();
    return isFolder(account) ? account : QByteArray();
}

} // namespace

QByteArray lastResortConfigDir()
{
    const QByteArray windir = qgetenv("WINDIR");
    if (!windir.isEmpty() && !isSystemConfigDir(windir))
        return windir + '/';
    // A relative XDG_CONFIG_HOME is to be ignored, as the XDG rules say.
    QByteArray base = qgetenv("XDG_CONFIG_HOME");
    if (!base.startsWith('/')) {
        const QByteArray home = homeFolder();
        if (home.isEmpty())
            throw SettingsError(QStringLiteral("Finner ingen innstillingsmappe: HOME viser ikke til en mappe, og "
                                               "brukerkontoen har ingen hjemmemappe som finnes."));
        base = home + "/.config";
    }
    const QByteArray dir = base + "/korvelin/";
    // A folder that cannot be made is reported by the first flush into it.
    makePath(dir);
    return dir;
}

bool isSystemConfigDir(const QByteArray &dir)
{
    struct stat st, etc;
    return ::stat(dir.constData(), &st) == 0 && ::stat("/etc", &etc) == 0 && st.st_dev == etc.st_dev
        && st.st_ino == etc.st_ino;
}

QByteArray absolutePath(const QByteArray &path)
{
    QByteArray full = path;
    if (!full.startsWith('/')) {
        QByteArray cwd(4096, '\0');
        const char *got = nullptr;
        while (!(got = ::getcwd(cwd.data(), size_t(cwd.size()))) && errno == ERANGE)
            cwd.resize(cwd.size() * 2);
        // A current folder without a name (gone, say) leaves the path
        // relative, for the first read to report, rather than rooted at "/".
        if (got)
            full = QByteArray(got) + '/' + full;
    }
    // cleanPath looks at '/' and '.' only; read as Latin-1, every other
    // byte passes through it unchanged.
    return QDir::cleanPath(QString::fromLatin1(full)).toLatin1();
}

bool isAllowedInFileName(const QByteArray &)
{
    return true;
}

bool isReadOnlyFile(const QByteArray &path)
{
    struct stat st;
    if (::stat(path.constData(), &st) != 0)
        return true;
    // No write bit at all is the file's read-only mark; root would pass the
    // access() test on such a file, so it is checked on its own.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return true;
    return ::access(path.constData(), W_OK) != 0;
}

} // namespace Felles::Platform
