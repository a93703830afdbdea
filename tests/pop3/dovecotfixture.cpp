#include "dovecotfixture.h"

#include <QFile>
#include <QProcess>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TestDovecot {

namespace {

[[noreturn]] void failWith(const QByteArray &what, const QByteArray &path, int error)
{
    throw std::runtime_error((what + " " + path + ": " + std::strerror(error)).toStdString());
}

// Reads a small file; false when it is missing.
bool readText(const QByteArray &path, QByteArray *text)
{
    QFile file(QString::fromUtf8(path));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *text = file.readAll().trimmed();
    return true;
}

void writeAll(int fd, const QByteArray &data, const QByteArray &path)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failWith("cannot write", path, errno);
        done += n;
    }
}

void checkName(const QByteArray &name)
{
    if (name.isEmpty() || name == "." || name == ".." || name.contains('/') || name.contains(':') || name.contains('\n')
        || name.contains('\r') || name.contains('\0'))
        throw std::runtime_error("unusable Dovecot user name: " + name.toStdString());
}

} // namespace

std::optional<Server> Server::find(QString *why)
{
    QByteArray dir = qgetenv("KORVELIN_DOVECOT_DIR");
    if (dir.isEmpty())
        dir = KORVELIN_DOVECOT_DEFAULT_DIR;
    Server server;
    QByteArray port, tlsPort;
    if (!readText(dir + "/root", &server.m_root) || !readText(dir + "/port", &port)) {
        *why = QStringLiteral("No test Dovecot is running in %1: run the test through ctest (fixture "
                              "\"dovecot\") or start one with tests/pop3/dovecot-fixture.sh start %1 tls")
                   .arg(QString::fromUtf8(dir));
        return std::nullopt;
    }
    server.m_port = port.toUShort();
    if (readText(dir + "/tls_port", &tlsPort))
        server.m_tlsPort = tlsPort.toUShort();
    if (server.m_port == 0) {
        *why = QStringLiteral("Unreadable port in %1/port").arg(QString::fromUtf8(dir));
        return std::nullopt;
    }
    return server;
}

namespace {

// The password as the passwd-file holds it: "{PLAIN}..." or a SHA512-CRYPT
// hash made by openssl.
QByteArray stored(const QByteArray &password, Server::Storage storage)
{
    if (storage == Server::Storage::Plain)
        return "{PLAIN}" + password;
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("passwd"), QStringLiteral("-6"), QStringLiteral("-stdin")});
    openssl.write(password + '\n');
    openssl.closeWriteChannel();
    if (!openssl.waitForFinished(10'000) || openssl.exitCode() != 0)
        throw std::runtime_error("openssl passwd -6 failed");
    const QByteArray hash = openssl.readAllStandardOutput().trimmed();
    if (!hash.startsWith("$6$"))
        throw std::runtime_error("openssl passwd -6 gave no SHA512-CRYPT hash");
    return "{SHA512-CRYPT}" + hash;
}

} // namespace

void Server::setUser(const QByteArray &name, const QByteArray &password, Storage storage) const
{
    checkName(name);
    if (password.contains(':') || password.contains('\n') || password.contains('\r') || password.contains('\0'))
        throw std::runtime_error("a passwd-file password cannot hold ':', CR, LF or NUL");

    // One passwd-file per user (see dovecot-fixture.sh), written beside and
    // renamed over; the auth process reads it as group "dovecot" under root.
    const QByteArray users = m_root + "/users";
    struct stat folder = {};
    if (::stat(users.constData(), &folder) < 0)
        failWith("cannot stat", users, errno);
    const QByteArray path = users + '/' + name;
    struct stat before = {};
    const bool existed = ::stat(path.constData(), &before) == 0;

    QByteArray temp = users + "/.new.XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        failWith("cannot create", temp, errno);
    writeAll(fd, name + ':' + stored(password, storage) + '\n', temp);
    if (::fchmod(fd, 0640) < 0 || (geteuid() == 0 && ::fchown(fd, 0, folder.st_gid) < 0)) {
        const int e = errno;
        ::close(fd);
        failWith("cannot set owner and mode of", temp, e);
    }
    ::close(fd);
    if (::rename(temp.constData(), path.constData()) < 0)
        failWith("cannot replace", path, errno);

    if (existed) {
        // Dovecot notices a changed file by its time stamp in whole seconds,
        // and looks at most once a second.
        struct stat after = {};
        if (::stat(path.constData(), &after) == 0 && after.st_mtime <= before.st_mtime) {
            const struct timespec times[2] = {{before.st_mtime + 1, 0}, {before.st_mtime + 1, 0}};
            ::utimensat(AT_FDCWD, path.constData(), times, 0);
        }
        ::usleep(1100 * 1000);
    }
}

void Server::addMessage(const QByteArray &user, const QByteArray &message) const
{
    checkName(user);
    static std::atomic<int> counter{0};
    const QByteArray mail = m_root + "/mail";
    struct stat owner = {};
    if (::stat(mail.constData(), &owner) < 0)
        failWith("cannot stat", mail, errno);
    const QByteArray box = mail + '/' + user;
    // Dovecot reads the mailbox as the mail folder's owner (nobody as root).
    for (const QByteArray &dir : {box, box + "/cur", box + "/new", box + "/tmp"}) {
        if (::mkdir(dir.constData(), 0700) < 0 && errno != EEXIST)
            failWith("cannot create", dir, errno);
        if (geteuid() == 0 && ::chown(dir.constData(), owner.st_uid, owner.st_gid) < 0)
            failWith("cannot chown", dir, errno);
    }
    const QByteArray unique = QByteArray::number(qint64(::time(nullptr))) + '.' + QByteArray::number(::getpid()) + '_'
                            + QByteArray::number(counter++) + ".korvelin";
    const QByteArray temp = box + "/tmp/" + unique;
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        failWith("cannot create", temp, errno);
    writeAll(fd, message, temp);
    if (geteuid() == 0 && ::fchown(fd, owner.st_uid, owner.st_gid) < 0) {
        const int e = errno;
        ::close(fd);
        failWith("cannot chown", temp, e);
    }
    ::close(fd);
    // Maildir delivery: complete in tmp/, then one rename into new/.
    const QByteArray final = box + "/new/" + unique;
    if (::rename(temp.constData(), final.constData()) < 0)
        failWith("cannot deliver", final, errno);
}

qint64 statSize(const QByteArray &message)
{
    qint64 size = message.size();
    for (qsizetype i = 0; i < message.size(); ++i) {
        if (message[i] == '\n' && (i == 0 || message[i - 1] != '\r'))
            ++size;
    }
    return size;
}

QByteArray uniqueUser(const QByteArray &prefix)
{
    static std::atomic<int> counter{0};
    return prefix + '-' + QByteArray::number(::getpid()) + '-' + QByteArray::number(counter++);
}

} // namespace TestDovecot
