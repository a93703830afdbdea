#pragma once

// The operating system's side of the ICMP echo client: name resolution, the
// two echoes the system may send for this process itself, and the syntax of
// the system's ping program. One
// file per system implements it (icmp_posix.cpp, icmp_win.cpp); CMake picks
// the one that is built. Resolve is shared (icmp_lookup.cpp) but for the
// wait for a name, which each system's file supplies (icmp_lookup.h).

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace IcmpPlatform {

enum class Family { V4, V6 };

// One resolved address.
struct Target
{
    Family family = Family::V4;
    QByteArray sockaddr; // the system's socket address, as bytes
    QString numeric;     // the address written out, e.g. "127.0.0.1" or "fe80::1%eth0"
};

// Resolves a host name or a numeric address, checked by the rule for server
// names (servername.h) and in the form that rule gives, to the first
// address the system offers, within timeoutMs: the resolver's own
// waits (several seconds per silent name server) are not bounded by it.
// Throws IcmpError when the host cannot be resolved in that time.
Target Resolve(const QString &host, int timeoutMs);

// One echo request.
struct Echo
{
    quint16 identifier = 0; // raw sockets only; the system picks it for datagram sockets
    quint16 sequence = 0;
    int dataSize = 0;
    int timeoutMs = 0;
};

// What a try through one way came to.
struct Outcome
{
    bool usable = false; // false: the system refused this way to this process
    int bytes = 0;       // size of the ICMP echo reply (header and data); 0 = no reply in time
    QString reason;      // why the way could not be used
};

// An echo that needs no special rights where the system allows it: the
// datagram ICMP socket on Linux (net.ipv4.ping_group_range), the IP Helper
// API on Windows.
Outcome EchoUnprivileged(const Target &target, const Echo &echo);
// An echo that needs the right to send any ICMP message: a raw ICMP socket
// (root or cap_net_raw); refused where the system offers none.
Outcome EchoPrivileged(const Target &target, const Echo &echo);
// For both: errors once the way is open (sending fails, the network is
// down) are thrown as IcmpError, as trying another way would not help.

// The argument list for the system's ping program: one request to the
// already resolved address, never read as an option.
QStringList PingArguments(const Target &target, const Echo &echo);

// Reads the outcome of the ping program from its exit code and output:
// the reply size, or 0 for no reply. Throws IcmpError when it failed.
int PingProgramResult(int exitCode, const QByteArray &output, const QByteArray &errors, const Echo &echo);

} // namespace IcmpPlatform
