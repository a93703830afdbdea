#include "fileio.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <windows.h>

// Windows has no FIFOs or devices among ordinary names and keeps owners in
// access lists: the checks here are the type, the size, links and the
// read-only attribute, and the save is Qt's own.
//
// A path comes as text in the ANSI code page, where every byte of a user
// name is a character of its own; it is read as such (QFile::decodeName) and
// handed to the wide system calls.

namespace Felles::FileIo {

namespace {

QString systemReason(DWORD error, const QString &qtText)
{
    switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return reasonText(Failure::NoSpace);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return reasonText(Failure::PermissionDenied);
    case ERROR_WRITE_PROTECT:
        return reasonText(Failure::ReadOnlyFileSystem);
    case ERROR_FILE_TOO_LARGE:
        return reasonText(Failure::FileTooLarge);
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return reasonText(Failure::NotFound);
    default:
        return qtText;
    }
}

QString wide(const QByteArray &path)
{
    return QFile::decodeName(path);
}

bool readOnlyAttribute(const QString &path)
{
    const DWORD attrs = GetFileAttributesW(reinterpret_cast<const wchar_t *>(path.utf16()));
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY) != 0;
}

void check(const QByteArray &path, Owner owner, void (*fail)(const QByteArray &, const QString &))
{
    const QFileInfo info(wide(path));
    // Who made a link is not told by the file system here: the per-user
    // file is taken only as a file of its own.
    if (owner == Owner::CurrentUser && (info.isSymLink() || info.isJunction()))
        fail(path, reasonText(Failure::OtherUsersLink));
    if (!info.isFile())
        fail(path, reasonText(Failure::NotRegularFile));
}

} // namespace

bool exists(const QByteArray &path)
{
    const QFileInfo info(wide(path));
    return info.exists() || info.isSymLink();
}

bool readFile(const QByteArray &path, Owner owner, QByteArray *data)
{
    data->clear();
    if (!exists(path))
        return false;
    check(path, owner, throwReadError);
    if (QFileInfo(wide(path)).size() > MaxFileSize)
        throwReadError(path, reasonText(Failure::OverSizeLimit));
    QFile f(wide(path));
    if (!f.open(QIODevice::ReadOnly))
        throwReadError(path, systemReason(GetLastError(), f.errorString()));
    const QByteArray content = f.read(MaxFileSize + 1);
    if (f.error() != QFileDevice::NoError)
        throwReadError(path, systemReason(GetLastError(), f.errorString()));
    if (content.size() > MaxFileSize)
        throwReadError(path, reasonText(Failure::OverSizeLimit));
    *data = content;
    return true;
}

void writeFile(const QByteArray &path, const QByteArray &data, Owner owner, bool newFileOwnerOnly)
{
    if (data.size() > MaxFileSize)
        throwWriteError(path, reasonText(Failure::OverSizeLimit));
    const bool isNew = !exists(path);
    if (!isNew) {
        check(path, owner, throwWriteError);
        if (readOnlyAttribute(wide(path)))
            throwWriteError(path, reasonText(Failure::ReadOnlyMark));
    }
    QSaveFile f(wide(path));
    // A folder that allows no new files still lets a writable file be saved.
    f.setDirectWriteFallback(true);
    if (!f.open(QIODevice::WriteOnly))
        throwWriteError(path, systemReason(GetLastError(), f.errorString()));
    if (isNew && newFileOwnerOnly)
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    // commit() alone reports success for a file cut short by a full disk.
    if (f.write(data) != data.size() || !f.flush()) {
        const QString reason = systemReason(GetLastError(), f.errorString());
        f.cancelWriting();
        throwWriteError(path, reason);
    }
    if (!f.commit())
        throwWriteError(path, systemReason(GetLastError(), f.errorString()));
}

void removeStrayTemporaries(const QByteArray &)
{
    // Qt's save names its temporary file so that a leftover one cannot be
    // told from a file of the user's own; nothing is removed here.
}

} // namespace Felles::FileIo
