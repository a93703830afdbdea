#pragma once

// The POP3 dialogue of one check, apart from the socket it runs over:
// the greeting, USER, PASS, STAT and QUIT (RFC 1939), nothing else. The
// login is USER/PASS because every POP3 server accepts it where it accepts
// a password at all; no capability is asked and no mechanism chosen, so
// what a server refuses is said in its own words.
//
// Each step throws Pop3Error with the user's text when the server refuses,
// garbles, closes or stays silent past a bound.

#include "usererror.h"

#include <QByteArray>
#include <QString>

#include <chrono>

class Pop3Error : public UserError
{
public:
    using UserError::UserError;
};

namespace Pop3 {

using Clock = std::chrono::steady_clock;

// RFC 1939 limits a reply line to 512 octets; allow some slack before
// calling a line garbage, but never let a server feed us an endless one.
constexpr qsizetype LineLimit = 1024;

// The bounds of one check (see Pop3Client for their contract).
struct Bounds
{
    std::chrono::milliseconds connect;
    std::chrono::milliseconds response;
    std::chrono::milliseconds check;
    std::chrono::milliseconds quit;
};

// A connection that carries lines: the socket's, or a test's or fuzzer's.
class LineChannel
{
public:
    enum class Io { Ok, TimedOut, Closed, Overlong, Failed };

    virtual ~LineChannel() = default;
    // Sends one command line (without its CR LF). The bytes go out even when
    // the deadline has passed; only the wait for them to leave is bounded.
    virtual Io send(const QByteArray &command, Clock::time_point deadline) = 0;
    // Reads one line (LF or CR LF at its end, kept) by the deadline; bytes
    // that trickle in do not move it.
    virtual Io readLine(Clock::time_point deadline, QByteArray *line) = 0;
    // After Failed: why, in Norwegian, as the end of a sentence ("forbindelsen
    // ble brutt"), or, when wholeFailure(), a message of its own.
    virtual QString failure() const = 0;
    virtual bool wholeFailure() const { return false; }
};

class Dialogue
{
public:
    // where: "host:port" for messages. started: when the check began (the
    // login and whole-check bounds count from it); connected: when the
    // connection stood (the greeting's silence counts from it).
    Dialogue(LineChannel &channel, const QString &where, const Bounds &bounds, Clock::time_point started,
             Clock::time_point connected);

    // Reads the greeting, then USER and PASS. A refused login is told QUIT.
    void logIn(const QByteArray &user, const QByteArray &password);
    // STAT, parsed; a refused or garbled answer is told QUIT.
    void stat(qint64 *count, qint64 *size);
    // QUIT, with a brief wait for its answer inside the whole check's bound.
    // It goes out even when no time is left to wait. Never throws.
    void quit() noexcept;

private:
    // One command line and its one-line answer, or Pop3Error for anything
    // but a line. An empty verb reads the greeting.
    QByteArray exchange(const QByteArray &verb, const QByteArray &command, bool inLogin);
    [[noreturn]] void fail(LineChannel::Io io, const QByteArray &verb, Clock::time_point asked);
    QString timeoutText(const QByteArray &verb, Clock::time_point asked) const;
    [[noreturn]] void refuse(const QString &text);

    LineChannel &m_channel;
    QString m_where;
    Bounds m_bounds;
    Clock::time_point m_started;
    Clock::time_point m_connected;
    bool m_loggedIn = false;
};

// Parses a STAT reply line ("+OK count size", CRLF allowed). Returns false,
// with the reason in *why, for anything else.
bool ParseStatReply(const QByteArray &line, qint64 *count, qint64 *size, QString *why);

} // namespace Pop3
