#include "dovecotfixture.h"

#include <QFile>
#include <QProcess>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#ifdef _WIN32
#include <QDir>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryFile>
#include <process.h>
#include <windows.h>

#include <functional>
#include <string>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace TestDovecot {

namespace {

#ifndef _WIN32
[[noreturn]] void failWith(const QByteArray &what, const QByteArray &path, int error)
{
    throw std::runtime_error((what + " " + path + ": " + std::strerror(error)).toStdString());
}
#endif

// Reads a small file; false when it is missing.
bool readText(const QByteArray &path, QByteArray *text)
{
    QFile file(QString::fromUtf8(path));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *text = file.readAll().trimmed();
    return true;
}

#ifndef _WIN32
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
#endif

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
    server.m_dir = dir;
#ifdef _WIN32
    // Linux paths, on Wine's drive for the Linux root whatever the current
    // drive is.
    const QByteArray drive = "Z:";
#else
    const QByteArray drive;
#endif
    QByteArray port, tlsPort;
    if (!readText(drive + dir + "/root", &server.m_root) || !readText(drive + dir + "/port", &port)) {
        *why = QStringLiteral("No test Dovecot is running in %1: run the test through ctest (fixture "
                              "\"dovecot\") or start one with tests/pop3/dovecot-fixture.sh start %1 tls")
                   .arg(QString::fromUtf8(dir));
        return std::nullopt;
    }
    server.m_root.prepend(drive);
    server.m_port = port.toUShort();
    if (readText(drive + dir + "/tls_port", &tlsPort))
        server.m_tlsPort = tlsPort.toUShort();
    if (server.m_port == 0) {
        *why = QStringLiteral("Unreadable port in %1/port").arg(QString::fromUtf8(dir));
        return std::nullopt;
    }
    return server;
}

#ifdef _WIN32
// A Windows test process cannot give the server's files the owners and
// modes Dovecot wants; the fixture's script does that, run as the Linux
// program it is (Wine starts a Linux executable natively). Wine signals no
// end of such a process and reports no exit status for it, so the script's
// result is waited for instead.
namespace {

void startScript(const QStringList &arguments)
{
    // CreateProcess itself: asked for a program by its command line alone
    // (as QProcess asks), Wine looks for "bash.exe".
    QString commandLine;
    for (const QString &argument :
         QStringList{QStringLiteral("bash"), QStringLiteral(KORVELIN_DOVECOT_SCRIPT)} + arguments) {
        QString quoted = argument;
        quoted.replace(QLatin1Char('"'), QStringLiteral("\\\""));
        commandLine += QLatin1Char('"') + quoted + QStringLiteral("\" ");
    }
    std::wstring command = commandLine.toStdWString();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\bash", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        throw std::runtime_error("the Dovecot fixture script did not start");
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// Waits up to 30 s for done() to hold.
bool waitFor(const std::function<bool()> &done)
{
    for (int i = 0; i < 300; ++i) {
        if (done())
            return true;
        Sleep(100);
    }
    return false;
}

int messageCount(const QByteArray &box)
{
    return int(QDir(QString::fromUtf8(box + "/new")).entryList(QDir::Files).size()
               + QDir(QString::fromUtf8(box + "/cur")).entryList(QDir::Files).size());
}

} // namespace

void Server::setUser(const QByteArray &name, const QByteArray &password, Storage storage) const
{
    checkName(name);
    if (password.contains(':') || password.contains('\n') || password.contains('\r') || password.contains('\0'))
        throw std::runtime_error("a passwd-file password cannot hold ':', CR, LF or NUL");
    const QByteArray path = m_root + "/users/" + name;
    QByteArray old;
    const bool existed = readText(path, &old);
    // The server notices a changed file by its time stamp in whole seconds.
    if (existed)
        Sleep(1100);
    if (storage == Storage::Plain) {
        // Written here, byte for byte (a password in the ANSI code page is
        // no text the script's arguments could carry); readable by all, as
        // Wine makes a new file, so the server's auth process reads it too.
        QSaveFile file(QString::fromUtf8(path));
        const QByteArray entry = name + ":{PLAIN}" + password + '\n';
        if (!file.open(QIODevice::WriteOnly) || file.write(entry) != entry.size() || !file.commit())
            throw std::runtime_error("cannot write the Dovecot user " + name.toStdString());
    } else {
        startScript({QStringLiteral("user"), QString::fromUtf8(m_dir), QString::fromUtf8(name),
                     QString::fromUtf8(password), QStringLiteral("hashed")});
        const QByteArray entry = name + ":{SHA512-CRYPT}$6$";
        const bool stored = waitFor([&] {
            QByteArray now;
            return readText(path, &now) && now.startsWith(entry) && now != old;
        });
        if (!stored)
            throw std::runtime_error("the Dovecot fixture script did not store the user " + name.toStdString());
    }
    // The server looks for changes at most once a second.
    if (existed)
        Sleep(1100);
}

void Server::addMessage(const QByteArray &user, const QByteArray &message) const
{
    checkName(user);
    const QByteArray box = m_root + "/mail/" + user;
    const int before = messageCount(box);
    // Beside the server, so that the script finds it by the same Linux path;
    // it stays until the message has been delivered.
    QTemporaryFile file(QString::fromUtf8(m_root + "/message.XXXXXX"));
    if (!file.open() || file.write(message) != message.size() || !file.flush())
        throw std::runtime_error("cannot write a message for the Dovecot fixture");
    startScript({QStringLiteral("message"), QString::fromUtf8(m_dir), QString::fromUtf8(user),
                 QDir::fromNativeSeparators(file.fileName()).remove(QRegularExpression(QStringLiteral("^[A-Za-z]:")))});
    if (!waitFor([&] { return messageCount(box) == before + 1; }))
        throw std::runtime_error("the Dovecot fixture script did not deliver the message for " + user.toStdString());
}

#else
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
    const QByteArray unique = QByteArray::number(qint64(::time(nullptr))) + '.' + QByteArray::number(qint64(::getpid()))
                            + '_' + QByteArray::number(counter++) + ".korvelin";
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

#endif

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
    return prefix + '-' + QByteArray::number(qint64(::getpid())) + '-' + QByteArray::number(counter++);
}

} // namespace TestDovecot
