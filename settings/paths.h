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

// The absolute form of path, resolved against the process's current folder,
// with "." and ".." taken out. Paths here are the system's own bytes (see
// fileio.h): on POSIX a folder named in bytes the locale cannot read keeps
// them, or every read and write would go to a folder that is not there.
QByteArray absolutePath(const QByteArray &path);

// True for a file that may not be written: the file's own read-only mark, or
// no write access for this process. A missing file counts as read-only.
bool isReadOnlyFile(const QByteArray &path);

} // namespace Felles::Platform
