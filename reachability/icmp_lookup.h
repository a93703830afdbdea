#pragma once

// The address lookup behind IcmpPlatform::Resolve. getaddrinfo is the same
// call on every system, so the hints, the numeric form, the choice of the
// first IPv4 or IPv6 address and the messages are written once
// (icmp_lookup.cpp). Only the wait for a name has no common form: each
// system's file (icmp_posix.cpp, icmp_win.cpp) supplies the two functions
// marked below.

#include "icmp_platform.h"

#include <QByteArray>
#include <QString>

#include <cstddef>

struct addrinfo;
struct sockaddr;

namespace IcmpPlatform {

// What a name lookup came to.
struct LookupAnswer
{
    enum Status { Found, NoAddress, TimedOut, Failed };
    Status status = Failed;
    Target target;  // Found: the first IPv4 or IPv6 address
    QString reason; // Failed: the system's reason

    static LookupAnswer timedOut()
    {
        LookupAnswer answer;
        answer.status = TimedOut;
        return answer;
    }
    static LookupAnswer failed(const QString &reason)
    {
        LookupAnswer answer;
        answer.reason = reason;
        return answer;
    }
};

// Per system: makes the socket calls usable in this process. Throws
// IcmpError when they cannot be.
void StartSockets();

// Per system: looks an ASCII name up with these hints, giving up after
// timeoutMs. A lookup that is given up on is left to the system to finish.
LookupAnswer LookupName(const QByteArray &ace, const addrinfo &hints, int timeoutMs);

// Fills target from one entry of a lookup's answer; false for an address
// that is neither IPv4 nor IPv6 or cannot be written out.
bool TakeAddress(int family, const sockaddr *address, std::size_t length, Target *target);

// The first usable entry of a lookup's answer, for getaddrinfo's list and
// for the system's own variants of it, which share its field names.
template <typename AddressInfo>
LookupAnswer FirstAddress(const AddressInfo *list)
{
    LookupAnswer answer;
    answer.status = LookupAnswer::NoAddress;
    // The cast is no conversion: it only spares a header whose ai_next
    // names the entry's type in another spelling (MinGW-w64's ADDRINFOEXW).
    for (const AddressInfo *a = list; a; a = reinterpret_cast<const AddressInfo *>(a->ai_next)) {
        if (TakeAddress(a->ai_family, a->ai_addr, std::size_t(a->ai_addrlen), &answer.target)) {
            answer.status = LookupAnswer::Found;
            break;
        }
    }
    return answer;
}

// An answer of getaddrinfo, freed with it.
class AddressList
{
public:
    AddressList() = default;
    ~AddressList();
    AddressList(const AddressList &) = delete;
    AddressList &operator=(const AddressList &) = delete;
    addrinfo *list = nullptr;
};

} // namespace IcmpPlatform
