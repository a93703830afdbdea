#pragma once

#include "pop3dialogue.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>

// A POP3 client offering what the mailbox check needs: connect and log in,
// the message count and mailbox size, and disconnect. Built on Qt Network
// (pop3network.h: loaded by the program at its first check) with a
// dialogue of its own (pop3dialogue.h): the greeting, USER, PASS, STAT and
// QUIT.
//
// Port 0 (an absent ServerPort) means 110. Port 995 speaks POP3 inside TLS
// from the first byte, with the server's certificate verified against the
// system's trust store and for the server name; every other port is plain
// TCP (no STLS upgrade is attempted). Every connect() opens a new
// connection and logs in afresh; nothing is kept between checks.
//
// connect() leaves the session open with the STAT answer in hand, so the
// caller can show it before disconnect() says QUIT.
//
// Errors are thrown as Pop3Error with a Norwegian text for the user that says
// what failed and, when the server refused something, the server's own line.

namespace Pop3 {
class Dialogue;
} // namespace Pop3

class Pop3Client
{
public:
    // Every check ends within bounded time: the name lookup, the TCP
    // connection, the greeting and the login must be done within
    // ConnectTimeout; each answer must come within ResponseTimeout of the
    // request it answers; the answer to QUIT is awaited for QuitTimeout at
    // most; and the whole check, counted from the start of connect() to the
    // end of disconnect(), takes no longer than CheckTimeout (a disconnect()
    // that comes later says QUIT without waiting for the answer).
    static constexpr std::chrono::milliseconds ConnectTimeout{10'000};
    static constexpr std::chrono::seconds ResponseTimeout{15};
    static constexpr std::chrono::milliseconds CheckTimeout{30'000};
    static constexpr std::chrono::milliseconds QuitTimeout{2'000};
    static constexpr int DefaultPort = 110;
    static constexpr int DefaultTlsPort = 995;

    Pop3Client();
    ~Pop3Client();
    Pop3Client(const Pop3Client &) = delete;
    Pop3Client &operator=(const Pop3Client &) = delete;

    void setHost(const QByteArray &host) { m_host = host; }
    // The port as the settings file holds it: empty or "0" means 110; any
    // other text that is not a whole number from 1 to 65535 stops connect()
    // before any traffic.
    void setPortText(const QByteArray &port) { m_portText = port; }
    void setPort(int port) { m_portText = QByteArray::number(port); }
    void setUserName(const QByteArray &user) { m_user = user; }
    void setPassword(const QByteArray &password) { m_password = password; }
    QByteArray host() const { return m_host; }
    // The port set, as a number (0 for text that is none).
    int port() const;
    QByteArray portText() const { return m_portText; }
    QByteArray userName() const { return m_user; }
    QByteArray password() const { return m_password; }

    // True from a successful connect() until disconnect().
    bool connected() const;
    // Closes any earlier connection, then connects, logs in and asks STAT.
    // On failure nothing stays open and Pop3Error is thrown.
    void connect();
    // This connection's STAT answer; Pop3Error when not connected.
    qint64 messageCount();
    qint64 mailboxSize();
    // Says QUIT, waits briefly for the answer (what is left of CheckTimeout,
    // QuitTimeout at most) and closes; never throws.
    void disconnect();

    // For tests: shorter bounds than the ones above.
    void setTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds response,
                     std::chrono::milliseconds check, std::chrono::milliseconds quit = QuitTimeout);
    // For tests: the port that speaks TLS (995 unless set), so a test server
    // need not take a privileged port.
    void setTlsPort(int port) { m_tlsPort = port; }
    // For tests: trust the certificates in this PEM file instead of the
    // system's trust store. Empty (the default) means the system's store.
    void setCaFile(const QByteArray &path) { m_caFile = path; }

    // The form connect() looks host up in: an IPv6 or IPv4 address (an IPv6
    // zone as "%eth0"), or the name in its ASCII (IDNA) form; empty, with
    // the reason in *why, for a host that the rule for server names
    // (servername.h), which the ping follows too, refuses. Throws Pop3Error
    // only when the network part cannot be had (pop3network.h).
    static QString lookupHost(const QByteArray &host, QString *why);

    // Parses a STAT reply line ("+OK count size", CRLF allowed). Returns
    // false, with the reason in *why, for anything else.
    static bool parseStatReply(const QByteArray &line, qint64 *count, qint64 *size, QString *why)
    {
        return Pop3::ParseStatReply(line, count, size, why);
    }

private:
    struct Session;

    // The checks that come before any traffic.
    int checkedPort() const;
    void checkAccount() const;

    QByteArray m_host;
    QByteArray m_portText;
    QByteArray m_user;
    QByteArray m_password;
    int m_tlsPort = DefaultTlsPort;
    QByteArray m_caFile;
    Pop3::Bounds m_bounds{ConnectTimeout, ResponseTimeout, CheckTimeout, QuitTimeout};

    std::unique_ptr<Session> m_session; // open from connect() until disconnect()
};
