#include "paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace Felles::Platform {

char separator()
{
    return '/';
}

QByteArray lastResortConfigDir()
{
    const QByteArray windir = qgetenv("WINDIR");
    if (!windir.isEmpty())
        return windir + '/';
    QByteArray base = qgetenv("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QFile::encodeName(QDir::homePath()) + "/.config";
    const QByteArray dir = base + "/korvelin/";
    // A folder that cannot be made is reported by the first flush into it.
    QDir().mkpath(QFile::decodeName(dir));
    return dir;
}

bool isReadOnlyFile(const QString &path)
{
    struct stat st;
    const QByteArray p = QFile::encodeName(path);
    if (::stat(p.constData(), &st) != 0)
        return true;
    // No write bit at all is the file's read-only mark; root would pass the
    // access() test on such a file, so it is checked on its own.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return true;
    return ::access(p.constData(), W_OK) != 0;
}

} // namespace Felles::Platform
