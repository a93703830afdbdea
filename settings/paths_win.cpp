#include "paths.h"

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

bool isReadOnlyFile(const QString &path)
{
    const DWORD attrs = GetFileAttributesW(reinterpret_cast<const wchar_t *>(path.utf16()));
    if (attrs == INVALID_FILE_ATTRIBUTES)
        return true;
    return (attrs & FILE_ATTRIBUTE_READONLY) != 0;
}

} // namespace Felles::Platform
