#include "paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

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

QByteArray lastResortConfigDir()
{
    const QByteArray windir = qgetenv("WINDIR");
    if (!windir.isEmpty())
        return windir + '/';
    QByteArray base = qgetenv("XDG_CONFIG_HOME");
    if (base.isEmpty()) {
        const QByteArray home = qgetenv("HOME");
        base = (home.isEmpty() ? QFile::encodeName(QDir::homePath()) : home) + "/.config";
    }
    const QByteArray dir = base + "/korvelin/";
    // A folder that cannot be made is reported by the first flush into it.
    makePath(dir);
    return dir;
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
