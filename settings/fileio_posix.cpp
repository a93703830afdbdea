#include "fileio.h"

#include "outsidetext.h"

#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// Written against the system calls rather than QFile and QSaveFile: the
// checks must be made on the very file that is opened (fstat on the
// descriptor), a FIFO must be opened without waiting, QSaveFile follows links
// without asking whose they are, replaces a file even where root ignores its
// read-only mark, and names its temporary file so that a leftover one cannot
// be told from a file of the user's own.

namespace Felles::FileIo {

namespace {

// The temporary file of a save is named after the file it replaces, this
// marker and SuffixLength letters or digits.
constexpr char TemporaryMarker[] = ".korvelin-save-";
constexpr int SuffixLength = 6;

QString systemReason(int error)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        return reasonText(Failure::NoSpace);
    case EACCES:
    case EPERM:
        return reasonText(Failure::PermissionDenied);
    case EROFS:
        return reasonText(Failure::ReadOnlyFileSystem);
    case EFBIG:
        return reasonText(Failure::FileTooLarge);
    case ENOENT:
        return reasonText(Failure::NotFound);
    case EISDIR:
        return reasonText(Failure::NotRegularFile);
    default:
        return QStringLiteral("%1 (feilkode %2)")
            .arg(OutsideText::Shown(QByteArray(std::strerror(error)), OutsideText::Encoding::Local))
            .arg(error);
    }
}

// A descriptor closed on every way out.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1)
        : m_fd(fd)
    {
    }
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct Location
{
    QByteArray dir; // without a trailing separator
    QByteArray base;
};

Location split(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return {".", path};
    return {slash == 0 ? QByteArray("/") : path.left(slash), path.mid(slash + 1)};
}

// What is wrong with the file st describes for this owner rule, if anything.
bool refuse(const struct stat &st, Owner owner, Failure *why)
{
    if (!S_ISREG(st.st_mode))
        *why = Failure::NotRegularFile;
    else if (owner == Owner::CurrentUser && st.st_uid != ::getuid())
        *why = Failure::OtherUsersFile;
    else if (st.st_size > MaxFileSize)
        *why = Failure::OverSizeLimit;
    else
        return false;
    return true;
}

// A link at path (st from lstat) is followed to target, where it leads: st
// then describes that file. The per-user file's link must be the user's, and
// so must a regular file it leads to. The shared file's link must be the
// user's, root's or the folder owner's: in a folder others may write to,
// anyone else's link may lead to one of the user's own files. The reason it
// may not be followed, or an empty text.
QString followLink(const QByteArray &path, const QByteArray &target, Owner owner, struct stat *st)
{
    if (owner == Owner::CurrentUser && st->st_uid != ::getuid())
        return reasonText(Failure::OtherUsersLink);
    if (owner == Owner::Anyone && st->st_uid != ::getuid() && st->st_uid != 0) {
        struct stat folder;
        if (::stat(split(path).dir.constData(), &folder) != 0 || folder.st_uid != st->st_uid)
            return reasonText(Failure::UntrustedLink);
    }
    if (::stat(target.constData(), st) != 0)
        return systemReason(errno);
    if (owner == Owner::CurrentUser && S_ISREG(st->st_mode) && st->st_uid != ::getuid())
        return reasonText(Failure::OtherUsersLink);
    return QString();
}

bool writeAll(int fd, const QByteArray &data, off_t offset, int *error)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(fd, data.constData() + done, size_t(data.size() - done), offset + done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            return false;
        }
        done += n;
    }
    return true;
}

QByteArray randomSuffix()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray s(SuffixLength, 'x');
    for (char &c : s)
        c = letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))];
    return s;
}

bool isTemporaryName(const QByteArray &name, const QByteArray &prefix)
{
    if (name.size() != prefix.size() + SuffixLength || !name.startsWith(prefix))
        return false;
    for (qsizetype i = prefix.size(); i < name.size(); ++i) {
        const char c = name.at(i);
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

// Where a write of path goes: the path itself, or the file a link at path
// leads to, resolved here once so that the link stays a link.
QByteArray resolved(const QByteArray &path)
{
    char *real = ::realpath(path.constData(), nullptr);
    if (!real)
        return path;
    const QByteArray result(real);
    std::free(real);
    return result;
}

[[noreturn]] void failWrite(const QByteArray &path, int error)
{
    throwWriteError(path, systemReason(error));
}

// Writes data over the file's own bytes: owner, group, mode and links stay.
// Room is claimed first, so that a full disk or the file-size limit fails the
// write before a byte of the old content is overwritten.
void writeInPlace(const QByteArray &path, const QByteArray &target, const QByteArray &data, Owner owner)
{
    Descriptor fd(::open(target.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        failWrite(path, errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        failWrite(path, errno);
    Failure why;
    if (refuse(st, owner, &why) && why != Failure::OverSizeLimit)
        throwWriteError(path, reasonText(why));
    // Its other names may be anywhere, a planted one in a shared folder among
    // them: the POP3 password, or the folder record, would reach that file.
    if (st.st_nlink > 1)
        throwWriteError(path, reasonText(Failure::SeveralNames));
    // The file-size limit stops a write even inside the old length, halfway.
    struct rlimit limit;
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
        && rlim_t(data.size()) > limit.rlim_cur)
        failWrite(path, EFBIG);
    if (data.size() > st.st_size) {
        const int r = ::posix_fallocate(fd.get(), 0, off_t(data.size()));
        // Not every file system can claim room ahead; those just go on.
        if (r != 0 && r != EOPNOTSUPP && r != EINVAL && r != ENOSYS && r != EBADF) {
            // Give back what was claimed; the old content was not touched.
            const int restored = ::ftruncate(fd.get(), st.st_size);
            static_cast<void>(restored);
            failWrite(path, r);
        }
    }
    int error = 0;
    if (!writeAll(fd.get(), data, 0, &error))
        failWrite(path, error);
    if (::ftruncate(fd.get(), off_t(data.size())) != 0 || ::fsync(fd.get()) != 0)
        failWrite(path, errno);
}

// The start of the names of the temporary files for a file named base in
// the folder dirFd: base and the marker, a random suffix to follow. Where
// that name would be longer than the folder allows, base is cut short, so
// that a save works whenever the file's own name is legal. A cut name may
// be another file's too; a leftover of either is a leftover all the same.
QByteArray temporaryPrefix(int dirFd, const QByteArray &base)
{
    long nameMax = ::fpathconf(dirFd, _PC_NAME_MAX);
    if (nameMax <= 0)
        nameMax = NAME_MAX;
    const qsizetype room = qsizetype(nameMax) - qsizetype(sizeof TemporaryMarker - 1) - SuffixLength;
    return base.left(qMax<qsizetype>(room, 0)) + TemporaryMarker;
}

// A file's folder, opened for the calls that take a folder and a name: the
// folder's own path is shorter than the file's, so a temporary name beside a
// file whose path just fits the system's limit is not too long to use.
// Opened to read where it can (fsync wants that), else only to name it.
int openFolder(const QByteArray &dir)
{
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || errno != EACCES)
        return fd;
    return ::open(dir.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Makes a new file with this mode in the folder dirFd, named prefix and a
// random suffix, and locks it: its descriptor goes to fd, its name to *name.
// 0, or the reason (an errno) why no such file could be made.
int createTemporary(int dirFd, const QByteArray &prefix, mode_t mode, Descriptor &fd, QByteArray *name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = prefix + randomSuffix();
        fd.reset(::openat(dirFd, name->constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!fd.valid()) {
            if (errno == EEXIST)
                continue;
            return errno;
        }
        // A cleanup in another run may have taken it between open and lock.
        // Where the file system has no locks the save goes on without one
        // (and no cleanup removes anything there).
        struct stat mine, named;
        if ((::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) || ::fstat(fd.get(), &mine) != 0
            || ::fstatat(dirFd, name->constData(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(mine, named)) {
            fd.reset();
            continue;
        }
        return 0;
    }
    return EEXIST;
}

// What replace() found when it could not make its temporary file.
enum class Replaced { Done, NoNewFileAllowed };

// Writes data to a new file beside target and renames it over target. The
// new file is locked until it has its final name, so that a later run
// (removeStrayTemporaries) can tell a leftover of a killed save from a save
// in progress. existing is null for a file that is not there yet; newMode
// is the mode of a new file (0600 for one that holds the POP3 password).
Replaced replace(const QByteArray &path, const QByteArray &target, const QByteArray &data, const struct stat *existing,
                 mode_t newMode)
{
    const Location where = split(target);
    Descriptor dir(openFolder(where.dir));
    if (!dir.valid()) {
        if (existing && (errno == EACCES || errno == EPERM))
            return Replaced::NoNewFileAllowed;
        failWrite(path, errno);
    }
    QByteArray name;
    Descriptor fd;
    // An existing file's copy stays private until it has the old mode.
    const int made = createTemporary(dir.get(), temporaryPrefix(dir.get(), where.base),
                                     existing ? mode_t(0600) : newMode, fd, &name);
    if (existing && (made == EACCES || made == EPERM))
        return Replaced::NoNewFileAllowed;
    if (made != 0)
        failWrite(path, made);

    auto fail = [&](int error) {
        ::unlinkat(dir.get(), name.constData(), 0);
        failWrite(path, error);
    };
    if (existing) {
        struct stat mine;
        if (::fstat(fd.get(), &mine) != 0)
            fail(errno);
        // A group the new file cannot have: the old file is written in place
        // rather than given another group.
        if (mine.st_gid != existing->st_gid && ::fchown(fd.get(), uid_t(-1), existing->st_gid) != 0) {
            ::unlinkat(dir.get(), name.constData(), 0);
            return Replaced::NoNewFileAllowed;
        }
        // A private file that had other names gets a private replacement:
        // its mode may have been chosen for one of the others.
        const mode_t mode = existing->st_nlink > 1 && newMode == 0600 ? mode_t(0600) : existing->st_mode & 0777;
        if (::fchmod(fd.get(), mode) != 0)
            fail(errno);
    }
    int error = 0;
    if (!writeAll(fd.get(), data, 0, &error))
        fail(error);
    // A full disk may show only here, when the data leaves the cache.
    if (::fsync(fd.get()) != 0)
        fail(errno);
    if (::renameat(dir.get(), name.constData(), dir.get(), where.base.constData()) != 0)
        fail(errno);
    ::fsync(dir.get()); // durability only; the rename has been made either way
    return Replaced::Done;
}

} // namespace

bool exists(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

bool readFile(const QByteArray &path, Owner owner, QByteArray *data)
{
    data->clear();
    struct stat st;
    if (::lstat(path.constData(), &st) != 0) {
        if (errno == ENOENT)
            return false;
        throwReadError(path, systemReason(errno));
    }
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    Failure why;
    if (S_ISLNK(st.st_mode)) {
        // What the link leads to is looked at before it is opened: a device
        // is never opened at all.
        const QString linkRefused = followLink(path, path, owner, &st);
        if (!linkRefused.isEmpty())
            throwReadError(path, linkRefused);
    } else {
        flags |= O_NOFOLLOW;
    }
    if (refuse(st, owner, &why))
        throwReadError(path, reasonText(why));

    // The checks are made again on what was opened: the name may have been
    // given to another file meanwhile. O_NONBLOCK keeps a FIFO put there in
    // the meantime from holding the open.
    Descriptor fd(::open(path.constData(), flags));
    if (!fd.valid())
        throwReadError(path, systemReason(errno));
    if (::fstat(fd.get(), &st) != 0)
        throwReadError(path, systemReason(errno));
    if (refuse(st, owner, &why))
        throwReadError(path, reasonText(why));

    // Read to the end, but never more than the limit, however the file grows.
    QByteArray buffer(qsizetype(st.st_size) + 1, Qt::Uninitialized);
    qsizetype got = 0;
    for (;;) {
        if (got == buffer.size()) {
            if (got > MaxFileSize)
                break;
            buffer.resize(qsizetype(MaxFileSize) + 1);
        }
        const ssize_t n = ::read(fd.get(), buffer.data() + got, size_t(buffer.size() - got));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwReadError(path, systemReason(errno));
        }
        if (n == 0)
            break;
        got += n;
    }
    if (got > MaxFileSize)
        throwReadError(path, reasonText(Failure::OverSizeLimit));
    buffer.truncate(got);
    *data = buffer;
    return true;
}

void writeFile(const QByteArray &path, const QByteArray &data, Owner owner, bool newFileOwnerOnly)
{
    // A file the program could not read back is not written.
    if (data.size() > MaxFileSize)
        throwWriteError(path, reasonText(Failure::OverSizeLimit));
    struct stat st;
    if (::lstat(path.constData(), &st) != 0) {
        if (errno != ENOENT)
            failWrite(path, errno);
        replace(path, path, data, nullptr, newFileOwnerOnly ? 0600 : 0666);
        return;
    }

    QByteArray target = path;
    if (S_ISLNK(st.st_mode)) {
        target = resolved(path);
        const QString linkRefused = followLink(path, target, owner, &st);
        if (!linkRefused.isEmpty())
            throwWriteError(path, linkRefused);
    }
    Failure why;
    if (refuse(st, owner, &why) && why != Failure::OverSizeLimit)
        throwWriteError(path, reasonText(why));
    // No write permission for anyone is the file's read-only mark; root
    // would be let through by the permission check, so it is looked at first.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        throwWriteError(path, reasonText(Failure::ReadOnlyMark));
    if (::faccessat(AT_FDCWD, target.constData(), W_OK, AT_EACCESS) != 0)
        failWrite(path, errno);

    // A new file would belong to whoever saved last, so another user's file
    // is written in place; so is a file in a folder that allows no new files.
    if (st.st_uid != ::geteuid()
        || replace(path, target, data, &st, newFileOwnerOnly ? 0600 : 0666) == Replaced::NoNewFileAllowed)
        writeInPlace(path, target, data, owner);
}

void removeStrayTemporaries(const QByteArray &path)
{
    struct stat st;
    const Location where = split(::lstat(path.constData(), &st) == 0 ? resolved(path) : path);

    DIR *dir = ::opendir(where.dir.constData());
    if (!dir)
        return; // the read or write that follows says what is wrong
    const int dfd = ::dirfd(dir);
    const QByteArray prefix = temporaryPrefix(dfd, where.base);
    while (const struct dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (!isTemporaryName(name, prefix))
            continue;
        struct stat named, opened;
        if (::fstatat(dfd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode)
            || named.st_uid != ::geteuid())
            continue;
        Descriptor fd(::openat(dfd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd.valid())
            fd.reset(::openat(dfd, entry->d_name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || !sameFile(named, opened))
            continue;
        // A save in progress holds its lock; a killed one holds none.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(dfd, entry->d_name, 0);
    }
    ::closedir(dir);
}

} // namespace Felles::FileIo
