#pragma once

// The operating system's side of the ICMP echo client: name resolution, the
// two kinds of ICMP socket and the syntax of the system's ping program. One
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

// What a try through one kind of socket came to.
struct Outcome
{
    bool usable = false; // false: the system refused this kind of socket to this process
    int bytes = 0;       // size of the ICMP echo reply (header and data); 0 = no reply in time
    QString reason;      // why the socket could not be used
};

// Errors after the socket is open (sending fails, the network is down) are
// thrown as IcmpError: trying another kind of socket would not help.
Outcome EchoDatagram(const Target &target, const Echo &echo);
Outcome EchoRaw(const Target &target, const Echo &echo);

// The argument list for the system's ping program: one request to the
// already resolved address, never read as an option.
QStringList PingArguments(const Target &target, const Echo &echo);

// Reads the outcome of the ping program from its exit code and output:
// the reply size, or 0 for no reply. Throws IcmpError when it failed.
int PingProgramResult(int exitCode, const QByteArray &output, const QByteArray &errors, const Echo &echo);

} // namespace IcmpPlatform
