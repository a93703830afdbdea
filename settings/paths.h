#pragma once

#include <QByteArray>
#include <QString>

// The few path facts that differ between platforms; one implementation per
// platform (paths_posix.cpp, paths_win.cpp).
namespace Felles::Platform {

// The directory separator used in the configuration-folder literals.
char separator();

// The folder used when no configuration folder was found, ending in a
// separator: WINDIR when that is set; on POSIX otherwise the user's own
// configuration folder, created when missing.
QByteArray lastResortConfigDir();

// True for a file that may not be written: the file's own read-only mark, or
// no write access for this process. A missing file counts as read-only.
bool isReadOnlyFile(const QString &path);

} // namespace Felles::Platform
