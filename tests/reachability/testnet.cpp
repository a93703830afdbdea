#include "testnet.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace TestNet {

namespace {

bool privateNetwork = false;
int silentServer = -1;
QByteArray whyNot = "not started";

bool bringLoopbackUp()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags |= IFF_UP;
        up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    ::close(fd);
    return up;
}

bool writeSysctl(const char *path, const QByteArray &value)
{
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::WriteOnly) && file.write(value) == value.size() && file.flush();
}

bool run(const QStringList &command, QString *why)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *why = command.join(QLatin1Char(' ')) + QStringLiteral(": ") + process.errorString() + QLatin1Char(' ')
             + QString::fromLocal8Bit(process.readAll());
        return false;
    }
    return true;
}

} // namespace

void EnterPrivateNetwork()
{
    if (::geteuid() != 0) {
        whyNot = "needs root: the test makes a network namespace of its own";
        return;
    }
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        whyNot = QByteArray("cannot make a network namespace: ") + std::strerror(errno);
        return;
    }
    // Mounts made from here on stay in this process.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        whyNot = QByteArray("cannot make the mounts private: ") + std::strerror(errno);
        return;
    }
    if (!bringLoopbackUp()) {
        whyNot = QByteArray("cannot bring loopback up in the test's namespace: ") + std::strerror(errno);
        return;
    }
    privateNetwork = true;
}

bool InPrivateNetwork()
{
    return privateNetwork;
}

const char *WhyNotPrivate()
{
    return whyNot.constData();
}

bool AddTestAddresses(QString *why)
{
    return run({QStringLiteral("ip"), QStringLiteral("addr"), QStringLiteral("add"), QuietV4 + QStringLiteral("/32"),
                QStringLiteral("dev"), QStringLiteral("lo")},
               why)
        && run({QStringLiteral("ip"), QStringLiteral("-6"), QStringLiteral("addr"), QStringLiteral("add"),
                QuietV6 + QStringLiteral("/128"), QStringLiteral("dev"), QStringLiteral("lo"), QStringLiteral("nodad")},
               why);
}

bool SetPingGroupRange(bool everyone)
{
    return writeSysctl("/proc/sys/net/ipv4/ping_group_range", everyone ? "0 2147483647" : "1 0");
}

bool SetEchoReplies(bool on)
{
    const QByteArray ignore = on ? "0" : "1";
    return writeSysctl("/proc/sys/net/ipv4/icmp_echo_ignore_all", ignore)
        && writeSysctl("/proc/sys/net/ipv6/icmp/echo_ignore_all", ignore);
}

bool ResetSysctls()
{
    return SetPingGroupRange(false) && SetEchoReplies(true);
}

bool UseSilentNameServer(QString *why)
{
    if (silentServer < 0) {
        if (!run({QStringLiteral("ip"), QStringLiteral("addr"), QStringLiteral("add"),
                  SilentNameServer + QStringLiteral("/32"), QStringLiteral("dev"), QStringLiteral("lo")},
                 why))
            return false;
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address;
        std::memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        ::inet_pton(AF_INET, SilentNameServer.toLatin1().constData(), &address.sin_addr);
        if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            *why = QStringLiteral("cannot take port 53: ") + QString::fromLocal8Bit(std::strerror(errno));
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        silentServer = fd; // queries pile up unread, and none is answered
    }
    static QTemporaryDir resolverDir;
    const QString conf = resolverDir.filePath(QStringLiteral("resolv.conf"));
    QFile file(conf);
    if (!file.open(QIODevice::WriteOnly) || file.write("nameserver " + SilentNameServer.toLatin1() + "\n") < 0
        || !file.flush()) {
        *why = QStringLiteral("cannot write ") + conf;
        return false;
    }
    file.close();
    if (::mount(QFile::encodeName(conf).constData(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
        *why = QStringLiteral("cannot put a resolv.conf in place: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

void UseSystemResolver()
{
    ::umount2("/etc/resolv.conf", MNT_DETACH);
}

} // namespace TestNet
