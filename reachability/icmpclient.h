#pragma once

// A small ICMP echo client: one echo request to a host, blocking until the
// reply or the time-out. Sending ICMP needs rights on most systems, so it
// takes the first of three ways the system allows: an echo that needs no
// rights (a datagram ICMP socket on Linux, the IP Helper API on Windows), a
// raw ICMP socket, the system's ping program.
//
// Written here rather than taken from liboping: that library opens raw
// sockets only, which an ordinary account may not do, while the datagram
// socket and the ping program work without root.

#include "usererror.h"

#include <QFlags>
#include <QString>

// Why a ping could not be made.
class IcmpError : public UserError
{
public:
    using UserError::UserError;
};

class IcmpClient
{
public:
    enum Method {
        NoMethod = 0,
        Datagram = 0x1, // needs no rights where the system allows it (IcmpPlatform::EchoUnprivileged)
        Raw = 0x2,      // needs the right to send any ICMP message (IcmpPlatform::EchoPrivileged)
        Program = 0x4,  // the system's ping program, which carries its own rights
    };
    Q_DECLARE_FLAGS(Methods, Method)
    static constexpr Methods AllMethods = Methods{Datagram, Raw, Program};

    // The event loop is blocked while a ping runs: keep the wait short. It
    // bounds the whole ping, the name lookup included.
    static constexpr int DefaultTimeoutMs = 3000;
    static constexpr int DefaultDataSize = 56;

    IcmpClient();

    QString host() const { return m_host; }
    void setHost(const QString &host) { m_host = host; }

    int timeoutMs() const { return m_timeoutMs; }
    void setTimeoutMs(int ms) { m_timeoutMs = ms; }

    // The ways the client may try, in the order above.
    Methods methods() const { return m_methods; }
    void setMethods(Methods methods) { m_methods = methods; }

    // The ping program, a path or a name looked up on PATH.
    QString pingProgram() const { return m_pingProgram; }
    void setPingProgram(const QString &program) { m_pingProgram = program; }

    // The echo identifier used on raw sockets (the system picks it for
    // datagram sockets). Random unless set.
    quint16 identifier() const { return m_identifier; }
    void setIdentifier(quint16 id) { m_identifier = id; }
    quint16 nextSequence() const { return m_sequence; }

    // Looks host() up, sends one echo request and waits for the reply, all
    // within timeoutMs() (plus half a second at most when the system's ping
    // program has to be used). Returns the size of the ICMP echo reply in
    // bytes, 0 when none came in time. Throws IcmpError when the ping cannot
    // be made, a name lookup that ran out of time included.
    int Ping();

    // Of the last ping: the reply size (0 = no reply) and the way it went.
    int bytesReceived() const { return m_bytesReceived; }
    Method lastMethod() const { return m_lastMethod; }

private:
    QString m_host;
    int m_timeoutMs = DefaultTimeoutMs;
    Methods m_methods = AllMethods;
    QString m_pingProgram = QStringLiteral("ping");
    quint16 m_identifier = 0;
    quint16 m_sequence = 1;
    int m_bytesReceived = 0;
    Method m_lastMethod = NoMethod;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(IcmpClient::Methods)
