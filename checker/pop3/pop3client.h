#pragma once

#include "usererror.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>

// A POP3 client offering what the mailbox check needs: connect and log in,
// the message count and mailbox size, and disconnect. Built on libcurl.
//
// Port 0 means 110. Port 995 speaks POP3 inside TLS from the first byte, with
// the server's certificate verified against the system's trust store; every
// other port is plain TCP (no STLS upgrade is attempted). Every connect()
// opens a new connection and logs in afresh; nothing is kept between checks.
//
// connect() leaves the session open with the STAT answer in hand, so the
// caller can show it before disconnect() says QUIT.
//
// Errors are thrown as Pop3Error with a Norwegian text for the user that says
// what failed and, when the server refused something, the server's own line.

class Pop3Error : public UserError
{
public:
    using UserError::UserError;
};

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
    void setPort(int port) { m_port = port; }
    void setUserName(const QByteArray &user) { m_user = user; }
    void setPassword(const QByteArray &password) { m_password = password; }
    QByteArray host() const { return m_host; }
    int port() const { return m_port; }
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

    // For tests: shorter bounds than the ones above (the response time-out
    // counts in whole seconds, as libcurl takes it).
    void setTimeouts(std::chrono::milliseconds connect, std::chrono::seconds response, std::chrono::milliseconds check,
                     std::chrono::milliseconds quit = QuitTimeout);
    // For tests: the port that speaks TLS (995 unless set), so a test server
    // need not take a privileged port.
    void setTlsPort(int port) { m_tlsPort = port; }
    // For tests: trust the certificates in this PEM file instead of the
    // system's trust store. Empty (the default) means the system's store.
    void setCaFile(const QByteArray &path) { m_caFile = path; }

    // The host part of the URL that connect() uses for host, or an empty
    // result with the reason in *why for a host that the rule for server
    // names (servername.h), which the ping follows too, refuses.
    static QByteArray urlHost(const QByteArray &host, QString *why);

    // Parses a STAT reply line ("+OK count size", CRLF allowed). Returns
    // false, with the reason in *why, for anything else.
    static bool parseStatReply(const QByteArray &line, qint64 *count, qint64 *size, QString *why);

private:
    struct Session;

    // The steps of connect(), in order.
    static void startLibcurl();
    int checkedPort() const;
    QByteArray checkedUrlHost() const;
    void checkAccount() const;
    std::unique_ptr<Session> openSession(const QByteArray &host, int port) const;
    void setLoginOptions(Session &session, const QByteArray &host, int port) const;
    void setBoundOptions(Session &session) const;
    void logIn(Session &session);
    void askStat(Session &session);

    QString failureText(const Session &session, int code) const;
    static QString connectionLostText(const Session &session);
    void quit(Session &session) noexcept;
    QString timeoutText(const Session &session) const;

    QByteArray m_host;
    int m_port = 0;
    QByteArray m_user;
    QByteArray m_password;
    int m_tlsPort = DefaultTlsPort;
    QByteArray m_caFile;
    std::chrono::milliseconds m_connectTimeout = ConnectTimeout;
    std::chrono::seconds m_responseTimeout = ResponseTimeout;
    std::chrono::milliseconds m_checkTimeout = CheckTimeout;
    std::chrono::milliseconds m_quitTimeout = QuitTimeout;

    std::unique_ptr<Session> m_session; // open from connect() until disconnect()
};
