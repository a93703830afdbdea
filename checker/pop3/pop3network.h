#pragma once

// What a check needs of Qt Network: the facts about an address and a
// connection that carries the dialogue. The program loads it at its first
// check from a module of its own (pop3network_loader.cpp), so that start-up
// does not load Qt Network and the libraries under it (Kerberos, libproxy);
// tests, fuzzers and benchmarks link the same code in
// (pop3network_linked.cpp). pop3connection.cpp implements it. QtCore only.

#include "pop3dialogue.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace Pop3 {

// Where one check connects to.
struct Endpoint
{
    QString where; // "host:port" for messages
    QString host;  // an address ("127.0.0.1", "fe80::1%eth0") or a name in ASCII form
    QString name;  // the host as the user wrote it, for messages
    bool numeric = false;
    quint16 port = 0;
    bool tls = false;
    QByteArray caFile; // TLS: trust these certificates (PEM); empty: the system's store
};

// What a text is as an IP address.
struct AddressFacts
{
    bool address = false;   // an IPv4 or IPv6 address, not a name
    bool linkLocal = false; // an IPv6 address valid on one interface only
    bool scoped = false;    // with the interface it is valid on ("%eth0")
};

// An open connection: the dialogue's lines, and when it stood.
class Connection : public LineChannel
{
public:
    virtual Clock::time_point connectedAt() const = 0;
};

class Network
{
public:
    virtual AddressFacts address(const QString &text) const = 0;
    // Looks the name up, connects and, for TLS, completes the handshake by
    // the deadline. Throws Pop3Error; nothing stays open then.
    virtual std::unique_ptr<Connection> open(const Endpoint &endpoint, Clock::time_point started,
                                             Clock::time_point deadline) const = 0;

protected:
    ~Network() = default; // one for the life of the program, never deleted
};

// The network part; Pop3Error when it cannot be had. Linked in, or loaded
// once and kept for the life of the program.
const Network &NetworkPart();

} // namespace Pop3
