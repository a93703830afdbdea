// ICMP echo on Windows. Names are looked up with GetAddrInfoExW, which can
// be given a deadline. The IP Helper API sends echo requests without
// special rights, so it stands in for the datagram socket; raw sockets are
// not used here. The system's ping.exe remains the last resort.

#include "icmp_platform.h"

#include "icmpclient.h"

#include <QRegularExpression>
#include <QUrl>

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on

#include <cstring>
#include <string>
#include <vector>

namespace IcmpPlatform {

namespace {

QString systemReason(DWORD error)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                       | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    const QString reason = text ? QString::fromWCharArray(text).trimmed()
                                : QStringLiteral("feil %1").arg(error);
    LocalFree(text);
    return reason;
}

// getaddrinfo needs Winsock started once per process.
void needWinsock()
{
    struct Winsock
    {
        Winsock() { started = WSAStartup(MAKEWORD(2, 2), &data) == 0; }
        ~Winsock()
        {
            if (started)
                WSACleanup();
        }
        WSADATA data;
        bool started = false;
    };
    static Winsock winsock;
    if (!winsock.started)
        throw IcmpError(QStringLiteral("Winsock kan ikke startes."));
}

class AddressList
{
public:
    ~AddressList()
    {
        if (list)
            freeaddrinfo(list);
    }
    addrinfo *list = nullptr;
};

class IcmpHandle
{
public:
    explicit IcmpHandle(HANDLE h)
        : handle(h)
    {
    }
    ~IcmpHandle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            IcmpCloseHandle(handle);
    }
    IcmpHandle(const IcmpHandle &) = delete;
    IcmpHandle &operator=(const IcmpHandle &) = delete;
    const HANDLE handle;
};

int lookupNumeric(const QByteArray &name, AddressList *out)
{
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    return getaddrinfo(name.constData(), nullptr, &hints, &out->list);
}

// A name lookup with a deadline. getaddrinfo has none; GetAddrInfoExW
// (Windows 8 and later) runs the same lookup asynchronously when given an
// OVERLAPPED, and GetAddrInfoExCancel stops it.
struct NameLookup
{
    OVERLAPPED overlapped;
    ADDRINFOEXW *result = nullptr;
    HANDLE cancel = nullptr;
};

constexpr int LookupTimedOut = WSAETIMEDOUT;
// A cancelled lookup completes at once; should it not, it is left to
// finish on its own rather than freed while the system may write into it.
constexpr DWORD CancelWaitMs = 1000;

int lookupName(const QByteArray &ace, int timeoutMs, ADDRINFOEXW **out)
{
    const std::wstring name = QString::fromLatin1(ace).toStdWString();
    ADDRINFOEXW hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;

    auto *lookup = new NameLookup;
    std::memset(&lookup->overlapped, 0, sizeof lookup->overlapped);
    lookup->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!lookup->overlapped.hEvent) {
        const int error = int(GetLastError());
        delete lookup;
        return error;
    }
    int status = GetAddrInfoExW(name.c_str(), nullptr, NS_ALL, nullptr, &hints, &lookup->result, nullptr,
                                &lookup->overlapped, nullptr, &lookup->cancel);
    if (status == WSA_IO_PENDING) {
        if (WaitForSingleObject(lookup->overlapped.hEvent, DWORD(timeoutMs)) == WAIT_OBJECT_0) {
            status = GetAddrInfoExOverlappedResult(&lookup->overlapped);
        } else {
            GetAddrInfoExCancel(&lookup->cancel);
            if (WaitForSingleObject(lookup->overlapped.hEvent, CancelWaitMs) != WAIT_OBJECT_0)
                return LookupTimedOut; // still the system's: left alone
            if (lookup->result)
                FreeAddrInfoExW(lookup->result);
            lookup->result = nullptr;
            status = LookupTimedOut;
        }
    }
    CloseHandle(lookup->overlapped.hEvent);
    if (status == 0)
        *out = lookup->result;
    else if (lookup->result)
        FreeAddrInfoExW(lookup->result);
    delete lookup;
    return status;
}

class AddressListEx
{
public:
    ~AddressListEx()
    {
        if (list)
            FreeAddrInfoExW(list);
    }
    ADDRINFOEXW *list = nullptr;
};

// The first IPv4 or IPv6 address of a lookup's answer.
bool firstTarget(int family, const sockaddr *address, size_t length, Target *target)
{
    if (family != AF_INET && family != AF_INET6)
        return false;
    target->family = family == AF_INET ? Family::V4 : Family::V6;
    target->sockaddr = QByteArray(reinterpret_cast<const char *>(address), int(length));
    char numeric[NI_MAXHOST];
    if (getnameinfo(address, socklen_t(length), numeric, sizeof numeric, nullptr, 0, NI_NUMERICHOST) != 0)
        return false;
    target->numeric = QString::fromLatin1(numeric);
    return true;
}

// The request is over but no echo reply came: time-out or an ICMP error.
bool noReply(DWORD status)
{
    switch (status) {
    case IP_REQ_TIMED_OUT:
    case IP_DEST_NET_UNREACHABLE:
    case IP_DEST_HOST_UNREACHABLE:
    case IP_DEST_PROT_UNREACHABLE:
    case IP_DEST_PORT_UNREACHABLE:
    case IP_TTL_EXPIRED_TRANSIT:
    case IP_TTL_EXPIRED_REASSEM:
        return true;
    default:
        return false;
    }
}

} // namespace

Target Resolve(const QString &host, int timeoutMs)
{
    needWinsock();

    Target target;
    AddressList numeric;
    if (lookupNumeric(host.toUtf8(), &numeric) == 0) {
        for (const addrinfo *a = numeric.list; a; a = a->ai_next) {
            if (firstTarget(a->ai_family, a->ai_addr, a->ai_addrlen, &target))
                return target;
        }
        throw IcmpError(QStringLiteral("Finner ingen IP-adresse for %1.").arg(host));
    }

    const QByteArray ace = QUrl::toAce(host);
    if (ace.isEmpty() || ace.startsWith('-'))
        throw IcmpError(QStringLiteral("«%1» er ikke et gyldig vertsnavn.").arg(host));
    AddressListEx addresses;
    const int status = lookupName(ace, timeoutMs, &addresses.list);
    if (status == LookupTimedOut) {
        throw IcmpError(QStringLiteral("Finner ikke adressen til %1: navnetjenesten svarte ikke innen %2 sekunder.")
                            .arg(host, QString::number(timeoutMs / 1000.0, 'g', 2)));
    }
    if (status != 0) {
        throw IcmpError(QStringLiteral("Finner ikke adressen til %1: %2")
                            .arg(host, systemReason(DWORD(status))));
    }
    for (const ADDRINFOEXW *a = addresses.list; a; a = a->ai_next) {
        if (firstTarget(a->ai_family, a->ai_addr, a->ai_addrlen, &target))
            return target;
    }
    throw IcmpError(QStringLiteral("Finner ingen IP-adresse for %1.").arg(host));
}

Outcome EchoDatagram(const Target &target, const Echo &echo)
{
    const bool v4 = target.family == Family::V4;
    const IcmpHandle icmp(v4 ? IcmpCreateFile() : Icmp6CreateFile());
    if (icmp.handle == INVALID_HANDLE_VALUE) {
        Outcome refused;
        refused.reason = systemReason(GetLastError());
        return refused;
    }

    std::vector<unsigned char> data(size_t(echo.dataSize));
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (unsigned char)i;
    // Room for the reply, its data, an ICMP error and the status block the
    // API keeps at the end (IO_STATUS_BLOCK, two pointers wide).
    std::vector<unsigned char> reply(sizeof(ICMP_ECHO_REPLY) + sizeof(ICMPV6_ECHO_REPLY) + data.size()
                                     + 8 + 2 * sizeof(void *) + 64);
    const DWORD timeout = DWORD(echo.timeoutMs);

    DWORD count;
    if (v4) {
        const auto *to = reinterpret_cast<const sockaddr_in *>(target.sockaddr.constData());
        count = IcmpSendEcho2(icmp.handle, nullptr, nullptr, nullptr, to->sin_addr.S_un.S_addr,
                              data.data(), WORD(data.size()), nullptr, reply.data(),
                              DWORD(reply.size()), timeout);
    } else {
        sockaddr_in6 source;
        std::memset(&source, 0, sizeof source);
        source.sin6_family = AF_INET6;
        sockaddr_in6 to;
        std::memcpy(&to, target.sockaddr.constData(), sizeof to);
        count = Icmp6SendEcho2(icmp.handle, nullptr, nullptr, nullptr, &source, &to, data.data(),
                               WORD(data.size()), nullptr, reply.data(), DWORD(reply.size()), timeout);
        if (count != 0)
            count = Icmp6ParseReplies(reply.data(), DWORD(reply.size()));
    }

    Outcome outcome;
    outcome.usable = true;
    if (count == 0) {
        const DWORD error = GetLastError();
        if (noReply(error))
            return outcome;
        throw IcmpError(QStringLiteral("Kan ikke sende ping til %1: %2").arg(target.numeric, systemReason(error)));
    }
    if (v4) {
        const auto *answer = reinterpret_cast<const ICMP_ECHO_REPLY *>(reply.data());
        if (answer->Status == IP_SUCCESS)
            outcome.bytes = 8 + int(answer->DataSize);
    } else {
        const auto *answer = reinterpret_cast<const ICMPV6_ECHO_REPLY *>(reply.data());
        if (answer->Status == IP_SUCCESS)
            outcome.bytes = 8 + echo.dataSize;
    }
    return outcome;
}

Outcome EchoRaw(const Target &, const Echo &)
{
    Outcome refused;
    refused.reason = QStringLiteral("brukes ikke på dette systemet");
    return refused;
}

QStringList PingArguments(const Target &target, const Echo &echo)
{
    // ping.exe: -n count, -w wait in milliseconds, -l data size. The address
    // is numeric and cannot pass for an option.
    return {QStringLiteral("-n"),
            QStringLiteral("1"),
            QStringLiteral("-w"),
            QString::number(echo.timeoutMs),
            QStringLiteral("-l"),
            QString::number(echo.dataSize),
            target.family == Family::V4 ? QStringLiteral("-4") : QStringLiteral("-6"),
            target.numeric};
}

int PingProgramResult(int exitCode, const QByteArray &output, const QByteArray &errors,
                      const Echo &)
{
    // ping.exe exits with 0 also when a router answered "unreachable": only
    // a reply line with its data size counts.
    static const QRegularExpression replyLine(QStringLiteral("bytes=(\\d+)"));
    const QRegularExpressionMatch match = replyLine.match(QString::fromLocal8Bit(output));
    if (match.hasMatch())
        return 8 + match.captured(1).toInt();
    if (exitCode == 0 || exitCode == 1)
        return 0;
    QString why = QString::fromLocal8Bit(errors).trimmed();
    if (why.isEmpty())
        why = QStringLiteral("avsluttet med kode %1").arg(exitCode);
    throw IcmpError(QStringLiteral("Ping-programmet feilet: %1").arg(why));
}

} // namespace IcmpPlatform
