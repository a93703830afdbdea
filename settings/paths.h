#pragma once

#include <QByteArray>
#include <QString>

// The few path facts that differ between platforms; one implementation per
// platform (paths_posix.cpp, paths_win.cpp).
namespace Felles::Platform {

// The directory separator used in the configuration-folder literals.
char separator();

// The folder used when no configuration folder was found, ending in a
// separator: WINDIR when that is set; on POSIX otherwise (and when WINDIR is
// the system's configuration folder) the user's own configuration folder,
// created when missing: $XDG_CONFIG_HOME when that is an absolute path,
// else .config in the home folder (HOME when it names a folder, else the
// account's own). Throws SettingsError when there is no home folder at all.
QByteArray lastResortConfigDir();

// True for the system's own configuration folder, which is never the
// settings folder: on POSIX the folder /etc is, however dir names it (a link
// or ".." leading there counts); on Windows none.
bool isSystemConfigDir(const QByteArray &dir);

// The absolute form of path, resolved against the process's current folder,
// with "." and ".." taken out. Paths here are the system's own bytes (see
// fileio.h): on POSIX a folder named in bytes the locale cannot read keeps
// them, or every read and write would go to a folder that is not there.
QByteArray absolutePath(const QByteArray &path);

// False for a name the system forbids in a file name (bytes as the file
// layer takes them; '/', '\\', NUL, "." and ".." are refused before this).
// On Windows ':' (it would name a stream of another file), '*', '?', '"',
// '<', '>', '|' and control characters; on POSIX nothing more.
bool isAllowedInFileName(const QByteArray &name);

// True for a file that may not be written: the file's own read-only mark, or
// no write access for this process. A missing file counts as read-only.
bool isReadOnlyFile(const QByteArray &path);

} // namespace Felles::Platform
