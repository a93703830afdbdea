// ICMP echo on Windows. Names are looked up with GetAddrInfoExW, which can
// be given a deadline (the rest of the lookup is icmp_lookup.cpp's). The IP
// Helper API sends echo requests without special rights: it is the
// unprivileged echo; raw sockets are not used here. The system's ping.exe
// remains the last resort.

#include "icmp_platform.h"
#include "outsidetext.h"

#include "icmp_lookup.h"
#include "icmpclient.h"

#include <QRegularExpression>

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

// Windows 8's cancellable lookup. MinGW-w64's ws2tcpip.h (10.0) does not
// declare these two, though its import library has them; the declarations
// are the Windows SDK's own, so a header that has them agrees.
extern "C" {
WINSOCK_API_LINKAGE INT WSAAPI GetAddrInfoExCancel(LPHANDLE lpHandle);
WINSOCK_API_LINKAGE INT WSAAPI GetAddrInfoExOverlappedResult(LPOVERLAPPED lpOverlapped);
}

namespace IcmpPlatform {

namespace {

QString systemReason(DWORD error)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    const QString reason = text ? OutsideText::Shown(QString::fromWCharArray(text).trimmed())
                                : QStringLiteral("feil %1").arg(error);
    LocalFree(text);
    return reason;
}

// The ICMPv6 echo reply as Icmp6SendEcho2 writes it (ICMPV6_ECHO_REPLY):
// the replying address as a packed IPV6_ADDRESS_EX, then the status.
// MinGW-w64's headers lack the type, and lay the address out unpacked, so
// the reply is spelt out here; only its status is read.
struct Icmp6EchoReply
{
    unsigned char address[26];
    ULONG Status;
    unsigned int RoundTripTime;
};
static_assert(offsetof(Icmp6EchoReply, Status) == 28 && sizeof(Icmp6EchoReply) == 36,
              "the layout of Windows' ICMPV6_ECHO_REPLY");

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

int lookupName(const QByteArray &ace, const addrinfo &common, int timeoutMs, ADDRINFOEXW **out)
{
    const std::wstring name = QString::fromLatin1(ace).toStdWString();
    ADDRINFOEXW hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_flags = common.ai_flags;
    hints.ai_family = common.ai_family;
    hints.ai_socktype = common.ai_socktype;

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

// Sends one echo request and waits for the reply, which the API writes into
// reply: the number of replies, 0 (with the reason in GetLastError) for none.
DWORD sendEcho(HANDLE icmp, const Target &target, const Echo &echo, std::vector<unsigned char> &reply)
{
    std::vector<unsigned char> data(size_t(echo.dataSize));
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uchar(i);
    // Room for the reply, its data, an ICMP error and the status block the
    // API keeps at the end (IO_STATUS_BLOCK, two pointers wide).
    reply.assign(sizeof(ICMP_ECHO_REPLY) + sizeof(Icmp6EchoReply) + data.size() + 8 + 2 * sizeof(void *) + 64, 0);
    const DWORD timeout = DWORD(echo.timeoutMs);

    if (target.family == Family::V4) {
        const auto *to = reinterpret_cast<const sockaddr_in *>(target.sockaddr.constData());
        return IcmpSendEcho2(icmp, nullptr, nullptr, nullptr, to->sin_addr.S_un.S_addr, data.data(), WORD(data.size()),
                             nullptr, reply.data(), DWORD(reply.size()), timeout);
    }
    sockaddr_in6 source;
    std::memset(&source, 0, sizeof source);
    source.sin6_family = AF_INET6;
    sockaddr_in6 to;
    std::memcpy(&to, target.sockaddr.constData(), sizeof to);
    const DWORD count = Icmp6SendEcho2(icmp, nullptr, nullptr, nullptr, &source, &to, data.data(), WORD(data.size()),
                                       nullptr, reply.data(), DWORD(reply.size()), timeout);
    return count != 0 ? Icmp6ParseReplies(reply.data(), DWORD(reply.size())) : 0;
}

// The size of the echo reply (ICMP header and data) that sendEcho received,
// or 0 when what came back is no echo reply.
int replySize(const std::vector<unsigned char> &reply, const Target &target, const Echo &echo)
{
    if (target.family == Family::V4) {
        const auto *answer = reinterpret_cast<const ICMP_ECHO_REPLY *>(reply.data());
        return answer->Status == IP_SUCCESS ? 8 + int(answer->DataSize) : 0;
    }
    const auto *answer = reinterpret_cast<const Icmp6EchoReply *>(reply.data());
    return answer->Status == IP_SUCCESS ? 8 + echo.dataSize : 0;
}

} // namespace

// getaddrinfo needs Winsock started once per process.
void StartSockets()
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

LookupAnswer LookupName(const QByteArray &ace, const addrinfo &hints, int timeoutMs)
{
    AddressListEx addresses;
    const int status = lookupName(ace, hints, timeoutMs, &addresses.list);
    if (status == 0)
        return FirstAddress(addresses.list);
    if (status == LookupTimedOut)
        return LookupAnswer::timedOut();
    return LookupAnswer::failed(systemReason(DWORD(status)));
}

Outcome EchoUnprivileged(const Target &target, const Echo &echo)
{
    const IcmpHandle icmp(target.family == Family::V4 ? IcmpCreateFile() : Icmp6CreateFile());
    if (icmp.handle == INVALID_HANDLE_VALUE) {
        Outcome refused;
        refused.reason = systemReason(GetLastError());
        return refused;
    }
    std::vector<unsigned char> reply;
    Outcome outcome;
    outcome.usable = true;
    if (sendEcho(icmp.handle, target, echo, reply) != 0) {
        outcome.bytes = replySize(reply, target, echo);
        return outcome;
    }
    const DWORD error = GetLastError();
    if (noReply(error))
        return outcome;
    throw IcmpError(QStringLiteral("Kan ikke sende ping til %1: %2").arg(target.numeric, systemReason(error)));
}

Outcome EchoPrivileged(const Target &, const Echo &)
{
    Outcome refused;
    refused.reason = QStringLiteral("brukes ikke på dette systemet");
    return refused;
}

QStringList PingArguments(const Target &target, const Echo &echo)
{
    // ping.exe: -n count, -w wait in milliseconds, -l data size. The address
    // is numeric and cannot pass for an option, and its form alone picks
    // IPv4 or IPv6, so no -4 or -6: not every ping.exe knows them (Wine's
    // prints its usage and exits 1, which reads as no reply).
    return {QStringLiteral("-n"), QStringLiteral("1"),
            QStringLiteral("-w"), QString::number(echo.timeoutMs),
            QStringLiteral("-l"), QString::number(echo.dataSize),
            target.numeric};
}

int PingProgramResult(int exitCode, const QByteArray &output, const QByteArray &errors, const Echo &)
{
    // ping.exe exits with 0 also when a router answered "unreachable": only
    // a reply line with its data size counts.
    static const QRegularExpression replyLine(QStringLiteral("bytes=(\\d+)"));
    const QRegularExpressionMatch match = replyLine.match(QString::fromLocal8Bit(output));
    if (match.hasMatch())
        return 8 + match.captured(1).toInt();
    if (exitCode == 0 || exitCode == 1)
        return 0;
    // The program's own words, by the rule for every outside text.
    QString why = OutsideText::Shown(errors.trimmed(), OutsideText::Encoding::Local);
    if (why.isEmpty())
        why = QStringLiteral("avsluttet med kode %1").arg(exitCode);
    throw IcmpError(QStringLiteral("Ping-programmet feilet: %1").arg(why));
}

} // namespace IcmpPlatform
