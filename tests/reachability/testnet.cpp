#include "testnet.h"

#include <QFile>
#include <QProcess>

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace TestNet {

namespace {

bool privateNetwork = false;
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
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
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
    if (::unshare(CLONE_NEWNET) != 0) {
        whyNot = QByteArray("cannot make a network namespace: ") + std::strerror(errno);
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

} // namespace TestNet
