// ICMP echo on POSIX systems (Linux in particular): the wait for a name
// lookup with getaddrinfo_a (glibc), datagram and raw ICMP sockets, and the
// iputils ping program.

#include "icmp_platform.h"
#include "outsidetext.h"

#include "icmp_lookup.h"
#include "icmpclient.h"

#include <QRegularExpression>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <signal.h>

namespace IcmpPlatform {

namespace {

QString systemReason(int error)
{
    return OutsideText::Shown(QByteArray(std::strerror(error)), OutsideText::Encoding::Local);
}

class Descriptor
{
public:
    explicit Descriptor(int descriptor)
        : fd(descriptor)
    {
    }
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    const int fd;
};

// A name lookup with a deadline. getaddrinfo itself has none (a silent name
// server costs it ten seconds and more); glibc's getaddrinfo_a runs the very
// same lookup (hosts file, DNS, whatever nsswitch.conf names) on a thread
// of the C library's own and lets us stop waiting for it. c-ares would
// bound it too, but it reads the hosts file and DNS only, so a name could
// resolve differently here than everywhere else on the system.
struct NameLookup
{
    QByteArray name;
    addrinfo hints;
    gaicb request;
};

// Lookups the resolver has not finished with: it may still write into
// them, so they are kept until it is done and freed by a later lookup. The
// list itself is never destroyed, as the resolver may outlive the program's
// static objects.
std::list<NameLookup *> &unfinishedLookups()
{
    static auto *lookups = new std::list<NameLookup *>;
    return *lookups;
}

void freeFinishedLookups()
{
    std::list<NameLookup *> &lookups = unfinishedLookups();
    for (auto it = lookups.begin(); it != lookups.end();) {
        NameLookup *lookup = *it;
        if (gai_error(&lookup->request) == EAI_INPROGRESS) {
            ++it;
            continue;
        }
        if (lookup->request.ar_result)
            freeaddrinfo(lookup->request.ar_result);
        delete lookup;
        it = lookups.erase(it);
    }
}

constexpr int LookupTimedOut = 1 << 30; // no EAI_* code has this value

// Hands a lookup to the resolver's own thread: the lookup, or nullptr with
// the resolver's reason in *status when it would not take it.
NameLookup *startLookup(const QByteArray &name, const addrinfo &hints, int *status)
{
    auto *lookup = new NameLookup;
    lookup->name = name;
    lookup->hints = hints;
    std::memset(&lookup->request, 0, sizeof lookup->request);
    lookup->request.ar_name = lookup->name.constData();
    lookup->request.ar_request = &lookup->hints;
    gaicb *requests[] = {&lookup->request};
    sigevent quiet;
    std::memset(&quiet, 0, sizeof quiet);
    quiet.sigev_notify = SIGEV_NONE;
    *status = getaddrinfo_a(GAI_NOWAIT, requests, 1, &quiet);
    if (*status != 0) {
        delete lookup;
        return nullptr;
    }
    return lookup;
}

// Waits until the lookup is done or timeoutMs have passed: its status then,
// EAI_INPROGRESS when it is not done.
int awaitLookup(NameLookup *lookup, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    gaicb *requests[] = {&lookup->request};
    int status = gai_error(&lookup->request);
    while (status == EAI_INPROGRESS) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        timespec wait;
        wait.tv_sec = time_t(left / 1000000000);
        wait.tv_nsec = long(left % 1000000000);
        gai_suspend(requests, 1, &wait); // back on completion, time-out or signal
        status = gai_error(&lookup->request);
    }
    return status;
}

int lookupName(const QByteArray &name, const addrinfo &hints, int timeoutMs, AddressList *out)
{
    freeFinishedLookups();
    int status = 0;
    NameLookup *lookup = startLookup(name, hints, &status);
    if (!lookup)
        return status;
    status = awaitLookup(lookup, timeoutMs);
    if (status == EAI_INPROGRESS && gai_cancel(&lookup->request) == EAI_CANCELED) {
        // Taken off the queue before it started: nothing will touch it.
        delete lookup;
        return LookupTimedOut;
    }
    status = gai_error(&lookup->request);
    if (status == 0) {
        out->list = lookup->request.ar_result;
        lookup->request.ar_result = nullptr;
    }
    // Even a finished request may still be in the resolver's hands for a
    // moment: the next lookup frees it.
    unfinishedLookups().push_back(lookup);
    return status == EAI_INPROGRESS ? LookupTimedOut : status;
}

bool sameAddress(const sockaddr_storage &from, const Target &target)
{
    const auto *to = reinterpret_cast<const sockaddr *>(target.sockaddr.constData());
    if (from.ss_family != to->sa_family)
        return false;
    if (to->sa_family == AF_INET) {
        return reinterpret_cast<const sockaddr_in &>(from).sin_addr.s_addr
            == reinterpret_cast<const sockaddr_in *>(to)->sin_addr.s_addr;
    }
    return std::memcmp(&reinterpret_cast<const sockaddr_in6 &>(from).sin6_addr,
                       &reinterpret_cast<const sockaddr_in6 *>(to)->sin6_addr, sizeof(in6_addr))
        == 0;
}

quint16 readBig16(const unsigned char *p)
{
    return quint16((p[0] << 8) | p[1]);
}

void writeBig16(unsigned char *p, quint16 v)
{
    p[0] = uchar(v >> 8);
    p[1] = uchar(v & 0xff);
}

// The Internet checksum (RFC 1071).
quint16 checksum(const unsigned char *p, int length)
{
    quint32 sum = 0;
    for (int i = 0; i + 1 < length; i += 2)
        sum += readBig16(p + i);
    if (length % 2)
        sum += quint32(p[length - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return quint16(~sum);
}

QByteArray echoRequest(Family family, const Echo &echo)
{
    QByteArray packet(8 + echo.dataSize, '\0');
    auto *p = reinterpret_cast<unsigned char *>(packet.data());
    p[0] = family == Family::V4 ? uchar(ICMP_ECHO) : uchar(ICMP6_ECHO_REQUEST);
    writeBig16(p + 4, echo.identifier);
    writeBig16(p + 6, echo.sequence);
    for (int i = 0; i < echo.dataSize; ++i)
        p[8 + i] = uchar(i);
    // The kernel fills in the ICMPv6 checksum, and that of datagram sockets.
    if (family == Family::V4)
        writeBig16(p + 2, checksum(p, packet.size()));
    return packet;
}

void sendRequest(int fd, const Target &target, const Echo &echo)
{
    const QByteArray request = echoRequest(target.family, echo);
    if (::sendto(fd, request.constData(), size_t(request.size()), 0,
                 reinterpret_cast<const sockaddr *>(target.sockaddr.constData()), socklen_t(target.sockaddr.size()))
        < 0) {
        throw IcmpError(QStringLiteral("Kan ikke sende ping til %1: %2").arg(target.numeric, systemReason(errno)));
    }
}

// Waits up to ms for something to read; false when nothing came in time or
// a signal ended the wait.
bool readable(int fd, int ms, const Target &target)
{
    pollfd ready = {fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, ms);
    if (polled < 0 && errno != EINTR)
        throw IcmpError(QStringLiteral("Venter på svar fra %1: %2").arg(target.numeric, systemReason(errno)));
    return polled > 0;
}

// After a failed receive: true to read again, false when the network
// answered that the host cannot be reached (no reply). Throws otherwise.
bool receiveAgain(int error, const Target &target)
{
    if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK)
        return true;
    if (error == EHOSTUNREACH || error == ENETUNREACH || error == EHOSTDOWN || error == ECONNREFUSED)
        return false;
    throw IcmpError(QStringLiteral("Venter på svar fra %1: %2").arg(target.numeric, systemReason(error)));
}

// The size of the echo reply to this request in what the socket received,
// or 0 when it is anything else.
int replySize(const unsigned char *buffer, size_t length, bool raw, const sockaddr_storage &from, const Target &target,
              const Echo &echo)
{
    const bool v4 = target.family == Family::V4;
    const unsigned char *icmp = buffer;
    // Raw IPv4 sockets hand over the IP header too.
    if (raw && v4) {
        if (length < 20)
            return 0;
        const size_t headerLength = size_t(buffer[0] & 0x0f) * 4;
        if (headerLength < 20 || length < headerLength)
            return 0;
        icmp += headerLength;
        length -= headerLength;
    }
    if (length < 8)
        return 0;
    // A raw socket sees every ICMP message of the host: our own request on
    // loopback, errors, other programs' pings. Only the echo reply to this
    // request counts. Datagram sockets get replies to their own identifier
    // only, which the kernel chose.
    const unsigned char replyType = v4 ? uchar(ICMP_ECHOREPLY) : uchar(ICMP6_ECHO_REPLY);
    if (icmp[0] != replyType || icmp[1] != 0)
        return 0;
    if (raw && readBig16(icmp + 4) != echo.identifier)
        return 0;
    if (readBig16(icmp + 6) != echo.sequence || !sameAddress(from, target))
        return 0;
    return int(length);
}

// Reads what comes until the reply to this request or the deadline: the
// reply's size, or 0 when none came.
int awaitReply(int fd, bool raw, const Target &target, const Echo &echo)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(echo.timeoutMs);
    unsigned char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return 0;
        if (!readable(fd, int(left), target))
            continue;
        sockaddr_storage from;
        socklen_t fromLength = sizeof from;
        const ssize_t received = ::recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (received < 0 && receiveAgain(errno, target))
            continue;
        if (received < 0)
            return 0;
        const int bytes = replySize(buffer, size_t(received), raw, from, target, echo);
        if (bytes > 0)
            return bytes;
    }
}

Outcome echoThrough(int type, const Target &target, const Echo &echo)
{
    const bool v4 = target.family == Family::V4;
    const int protocol = v4 ? int(IPPROTO_ICMP) : int(IPPROTO_ICMPV6);
    const Descriptor socket(::socket(v4 ? AF_INET : AF_INET6, type | SOCK_CLOEXEC, protocol));
    Outcome outcome;
    if (socket.fd < 0) {
        outcome.reason = systemReason(errno);
        return outcome;
    }
    sendRequest(socket.fd, target, echo);
    outcome.usable = true;
    outcome.bytes = awaitReply(socket.fd, type == SOCK_RAW, target, echo);
    return outcome;
}

} // namespace

void StartSockets()
{
    // Nothing to start: the socket calls are the C library's.
}

LookupAnswer LookupName(const QByteArray &ace, const addrinfo &hints, int timeoutMs)
{
    AddressList addresses;
    const int status = lookupName(ace, hints, timeoutMs, &addresses);
    if (status == 0)
        return FirstAddress(addresses.list);
    if (status == LookupTimedOut)
        return LookupAnswer::timedOut();
    return LookupAnswer::failed(
        status == EAI_SYSTEM ? systemReason(errno)
                             : OutsideText::Shown(QByteArray(gai_strerror(status)), OutsideText::Encoding::Local));
}

Outcome EchoUnprivileged(const Target &target, const Echo &echo)
{
    return echoThrough(SOCK_DGRAM, target, echo);
}

Outcome EchoPrivileged(const Target &target, const Echo &echo)
{
    return echoThrough(SOCK_RAW, target, echo);
}

QStringList PingArguments(const Target &target, const Echo &echo)
{
    // iputils: -W is the wait for the reply in seconds (fractions allowed),
    // -n keeps the output numeric, and "--" ends the options.
    return {QStringLiteral("-n"),
            QStringLiteral("-c"),
            QStringLiteral("1"),
            QStringLiteral("-W"),
            QString::number(echo.timeoutMs / 1000.0, 'f', 3),
            QStringLiteral("-s"),
            QString::number(echo.dataSize),
            target.family == Family::V4 ? QStringLiteral("-4") : QStringLiteral("-6"),
            QStringLiteral("--"),
            target.numeric};
}

int PingProgramResult(int exitCode, const QByteArray &output, const QByteArray &errors, const Echo &echo)
{
    // iputils: 0 = a reply came, 1 = none came, anything else = it failed.
    if (exitCode == 1)
        return 0;
    if (exitCode == 0) {
        static const QRegularExpression replyLine(QStringLiteral("^(\\d+) bytes from "),
                                                  QRegularExpression::MultilineOption);
        const QRegularExpressionMatch match = replyLine.match(QString::fromLocal8Bit(output));
        const int bytes = match.hasMatch() ? match.captured(1).toInt() : 0;
        // It says a reply came even when the line reads differently.
        return bytes > 0 ? bytes : 8 + echo.dataSize;
    }
    // The program's own words, by the rule for every outside text.
    QString why = OutsideText::Shown(errors.trimmed(), OutsideText::Encoding::Local);
    if (why.isEmpty())
        why = OutsideText::Shown(output.trimmed(), OutsideText::Encoding::Local);
    if (why.isEmpty())
        why = QStringLiteral("avsluttet med kode %1").arg(exitCode);
    throw IcmpError(QStringLiteral("Ping-programmet feilet: %1").arg(why));
}

} // namespace IcmpPlatform
