// IcmpPlatform::Resolve, the same on every system: a numeric address is
// read at once, a name is looked up with a deadline by the system's file.

#include "icmp_lookup.h"

#include "icmpclient.h"

#include <QUrl>

// The same calls everywhere, declared in different headers.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <cstring>

namespace IcmpPlatform {

namespace {

// Any family, one entry per address (a socket type must be named, or each
// address comes once per type).
addrinfo lookupHints(int flags)
{
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = flags;
    return hints;
}

// The target of a lookup's answer, or the reason why there is none.
Target targetOf(const LookupAnswer &answer, const QString &host, int timeoutMs)
{
    switch (answer.status) {
    case LookupAnswer::Found:
        break;
    case LookupAnswer::NoAddress:
        throw IcmpError(QStringLiteral("Finner ingen IP-adresse for %1.").arg(host));
    case LookupAnswer::TimedOut:
        throw IcmpError(QStringLiteral("Finner ikke adressen til %1: navnetjenesten svarte ikke innen %2 sekunder.")
                            .arg(host, QString::number(timeoutMs / 1000.0, 'g', 2)));
    case LookupAnswer::Failed:
        throw IcmpError(QStringLiteral("Finner ikke adressen til %1: %2").arg(host, answer.reason));
    }
    return answer.target;
}

} // namespace

AddressList::~AddressList()
{
    if (list)
        freeaddrinfo(list);
}

bool TakeAddress(int family, const sockaddr *address, std::size_t length, Target *target)
{
    if (family != AF_INET && family != AF_INET6)
        return false;
    char numeric[NI_MAXHOST];
    if (getnameinfo(address, socklen_t(length), numeric, sizeof numeric, nullptr, 0, NI_NUMERICHOST) != 0)
        return false;
    target->family = family == AF_INET ? Family::V4 : Family::V6;
    target->sockaddr = QByteArray(reinterpret_cast<const char *>(address), int(length));
    target->numeric = QString::fromLatin1(numeric);
    return true;
}

Target Resolve(const QString &host, int timeoutMs)
{
    StartSockets();
    // A numeric address is read without asking any name service.
    const addrinfo numericHints = lookupHints(AI_NUMERICHOST);
    AddressList numeric;
    if (getaddrinfo(host.toUtf8().constData(), nullptr, &numericHints, &numeric.list) == 0)
        return targetOf(FirstAddress(numeric.list), host, timeoutMs);

    // A name: the resolver wants it in ASCII form.
    const QByteArray ace = QUrl::toAce(host);
    if (ace.isEmpty() || ace.startsWith('-'))
        throw IcmpError(QStringLiteral("«%1» er ikke et gyldig vertsnavn.").arg(host));
    return targetOf(LookupName(ace, lookupHints(0), timeoutMs), host, timeoutMs);
}

} // namespace IcmpPlatform
