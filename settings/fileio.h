#pragma once

#include <QByteArray>
#include <QString>

// Reading and writing a settings file as a whole, with the checks that keep a
// planted or damaged file from being read or written. One implementation per
// platform (fileio_posix.cpp, fileio_win.cpp); the messages are shared
// (fileio.cpp).
//
// A path is the system's own bytes for the name, as it was built: on POSIX
// exactly the bytes the system calls take, so that a name the locale cannot
// read (a user name in Latin-1 under UTF-8) still names its own file; on
// Windows text in the ANSI code page. Messages show it through OutsideText::Shown.
namespace Felles::FileIo {

// Far above any real settings file; a larger one is refused unread.
constexpr qint64 MaxFileSize = 1024 * 1024;

// Whose file it may be. The per-user file holds the POP3 password: it must be
// the user's own, and a link to it is followed only when the link and the
// file it leads to are both the user's. The shared file may be anyone's (it
// lies in a folder several users share), but a link to it is followed only
// when the user, the administrator or the folder's owner made it: in a folder
// everyone may write to, another user's link could lead to any of the user's
// files.
enum class Owner { Anyone, CurrentUser };

// Loads the whole file into *data. Returns false, with *data empty, when
// there is no file. A file that is there but cannot or may not be read
// (not a regular file, larger than MaxFileSize, another user's when owner is
// CurrentUser, no read access) throws SettingsError naming the file and the
// reason; nothing is written to it. Never waits on a FIFO or a device.
bool readFile(const QByteArray &path, Owner owner, QByteArray *data);

// True when anything is at path, a link to nothing included.
bool exists(const QByteArray &path);

// Makes data the file's whole content. Normally a new file replaces the old
// one in a single step, so that a failure or a kill leaves the old file as it
// was. The file is written in place, keeping its owner, group and mode, when
// it belongs to someone else or when its folder does not allow new files;
// a file with more than one name (hard links) is never written in place,
// since that would change it under its other names too. A file with no
// write permission at all is not written, even by root. A new file gets
// mode 0600 when newFileOwnerOnly is set, and so does the replacement of
// such a file that had other names. Throws SettingsError
// naming the file and the reason; the file is then as it was, except after
// an in-place write that failed once its room was claimed (a disk error).
void writeFile(const QByteArray &path, const QByteArray &data, Owner owner, bool newFileOwnerOnly);

// Removes what an interrupted write of path left behind: temporary files
// made by writeFile for this path that belong to this process's user and
// that no running save holds. Anything else is left alone.
void removeStrayTemporaries(const QByteArray &path);

// Why a settings file could not be read or written.
enum class Failure {
    NoSpace,
    PermissionDenied,
    ReadOnlyFileSystem,
    FileTooLarge, // the process's file-size limit
    NotFound,
    NotRegularFile,
    ReadOnlyMark, // no write permission for anyone
    OtherUsersFile,
    OtherUsersLink, // a link the user did not make, or to a file not the user's
    UntrustedLink,  // a link in a shared folder that neither the user nor its keepers made
    OverSizeLimit,  // larger than MaxFileSize
    SeveralNames,   // more hard links than one, where the file would be written in place
};
QString reasonText(Failure failure);

// The messages, the same on every platform; reason as from reasonText or the
// system's own text. The path is shown as plain text.
[[noreturn]] void throwReadError(const QByteArray &path, const QString &reason);
[[noreturn]] void throwWriteError(const QByteArray &path, const QString &reason);

} // namespace Felles::FileIo
