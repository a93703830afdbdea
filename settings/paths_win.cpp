#include "paths.h"

#include <QDir>
#include <QFile>

#include <windows.h>

namespace Felles::Platform {

char separator()
{
    return '\\';
}

QByteArray lastResortConfigDir()
{
    return qgetenv("WINDIR") + '\\';
}

bool isSystemConfigDir(const QByteArray &)
{
    return false;
}

QByteArray absolutePath(const QByteArray &path)
{
    // Paths are text in the ANSI code page here, which the locale reads.
    const QString full = QDir::cleanPath(QDir::current().absoluteFilePath(QFile::decodeName(path)));
    return QFile::encodeName(QDir::toNativeSeparators(full));
}

bool isAllowedInFileName(const QByteArray &name)
{
    for (const char c : name) {
        if (static_cast<uchar>(c) < 0x20 || QByteArrayView(":*?\"<>|").contains(c))
            return false;
    }
    return true;
}

bool isReadOnlyFile(const QByteArray &path)
{
    const DWORD attrs = GetFileAttributesA(path.constData());
    if (attrs == INVALID_FILE_ATTRIBUTES)
        return true;
    return (attrs & FILE_ATTRIBUTE_READONLY) != 0;
}

} // namespace Felles::Platform
