#include "pop3client.h"

#include "servername.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>

namespace {

using Clock = std::chrono::steady_clock;

// RFC 1939 limits a reply line to 512 octets; allow some slack before calling
// a line garbage, but never let a server feed us an endless one.
constexpr qsizetype LineLimit = 1024;
// How much of a server's line an error message quotes.
constexpr int QuoteLimit = 200;

// libcurl's global state is set up once, before the first handle, and kept
// for the life of the process.
CURLcode globalInit()
{
    static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    return result;
}

QString local(const QByteArray &bytes)
{
    return QString::fromLocal8Bit(bytes);
}

// A server's line as the user may see it: one line of plain characters,
// bounded in length. Control characters, line and paragraph separators and
// the marks that reorder text become '?'.
QString quote(QByteArray line)
{
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    QString text = QString::fromUtf8(line);
    for (QChar &c : text) {
        const ushort u = c.unicode();
        const bool reorders = (u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069);
        const QChar::Category category = c.category();
        if (reorders || category == QChar::Other_Control || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph)
            c = QLatin1Char('?');
    }
    if (text.size() > QuoteLimit) {
        text.truncate(QuoteLimit);
        if (text.back().isHighSurrogate())
            text.chop(1);
        text += QChar(0x2026);
    }
    return text;
}

// A span of time as the user reads it: whole seconds, tenths below one.
QString seconds(Clock::duration d)
{
    const double s = std::chrono::duration<double>(d).count();
    if (s < 0.95)
        return QStringLiteral("0,%1 sekunder").arg(std::max(1L, std::lround(s * 10)));
    const long n = std::lround(s);
    return n == 1 ? QStringLiteral("1 sekund") : QStringLiteral("%1 sekunder").arg(n);
}

// The system's reason for a socket error; the common ones in Norwegian.
QString systemReason(long osErrno)
{
    const std::error_code code(int(osErrno), std::system_category());
    if (code == std::errc::connection_refused)
        return QStringLiteral("maskinen avviste tilkoblingen (ingen tjeneste lytter på porten)");
    if (code == std::errc::network_unreachable)
        return QStringLiteral("nettverket kan ikke nås");
    if (code == std::errc::host_unreachable)
        return QStringLiteral("maskinen kan ikke nås");
    if (code == std::errc::timed_out)
        return QStringLiteral("maskinen svarte ikke");
    if (code == std::errc::connection_reset || code == std::errc::connection_aborted)
        return QStringLiteral("forbindelsen ble brutt");
    return local(QByteArray::fromStdString(code.message()));
}

// Whether a socket error means that the other side ended the connection.
bool isClosedByPeer(long osErrno)
{
    const std::error_code code(int(osErrno), std::system_category());
    return code == std::errc::connection_reset || code == std::errc::connection_aborted
        || code == std::errc::broken_pipe;
}

} // namespace

// The shared rule for server names decides; the messages are the POP3
// client's. IPv6 literals go in brackets (a zone "%eth0" becomes "%25eth0");
// libcurl checks the address itself.
QByteArray Pop3Client::urlHost(const QByteArray &host, QString *why)
{
    // The settings store holds the name in the local 8-bit encoding.
    const ServerNameCheck checked = CheckServerName(QString::fromLocal8Bit(host));
    switch (checked.fault) {
    case ServerNameCheck::Accepted:
        break;
    case ServerNameCheck::Empty:
        *why = QStringLiteral("Ingen POP3-server er satt opp: servernavnet er tomt.");
        return {};
    case ServerNameCheck::BlankOrControl:
        *why = QStringLiteral("Servernavnet «%1» inneholder mellomrom eller kontrolltegn og kan ikke brukes.")
                   .arg(quote(host));
        return {};
    case ServerNameCheck::LeadingDash:
        *why = QStringLiteral("Servernavnet «%1» kan ikke begynne med «-».").arg(quote(host));
        return {};
    case ServerNameCheck::NotAnAddress:
        *why = QStringLiteral("Servernavnet «%1» er verken et vertsnavn eller en IPv6-adresse "
                              "(porten settes ikke i servernavnet).")
                   .arg(quote(host));
        return {};
    case ServerNameCheck::ForbiddenCharacter:
        *why = QStringLiteral("Servernavnet «%1» inneholder tegnet «%2», som ikke kan stå i et vertsnavn.")
                   .arg(quote(host), checked.character);
        return {};
    }
    if (!checked.ipv6)
        return host;
    const QByteArray zone = checked.zone.isEmpty() ? QByteArray() : "%25" + checked.zone.toLatin1();
    return '[' + checked.host.toLatin1() + zone + ']';
}

namespace {

// libcurl takes user name and password as C strings and sends them inside a
// command line: a NUL would cut them short, a line break would end the command.
void checkCredential(const QByteArray &value, const QString &what)
{
    if (value.contains('\0') || value.contains('\r') || value.contains('\n'))
        throw Pop3Error(QStringLiteral("%1 inneholder et linjeskift eller et NUL-tegn og kan ikke sendes "
                                       "til POP3-serveren.")
                            .arg(what));
}

// The system's error number behind libcurl's latest failure; 0 when none.
long osErrno(CURL *curl)
{
    long error = 0;
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &error);
    return error;
}

// libcurl's own words for a failure: its error buffer, or its text for the code.
QString curlDetail(const char *errorBuffer, CURLcode result)
{
    return errorBuffer[0] ? QString::fromUtf8(errorBuffer) : QString::fromUtf8(curl_easy_strerror(result));
}

// A TLS connection that could not be made: the certificate, the trust store
// or the handshake.
QString tlsFailureText(const QString &where, CURLcode result, const QString &detail)
{
    switch (result) {
    case CURLE_PEER_FAILED_VERIFICATION:
        return QStringLiteral("Sertifikatet til POP3-serveren %1 ble ikke godtatt: %2").arg(where, detail);
    case CURLE_SSL_CACERT_BADFILE:
        return QStringLiteral("Sertifikatene som POP3-serveren %1 skal kontrolleres mot, kunne ikke leses: %2")
            .arg(where, detail);
    default:
        return QStringLiteral("Kunne ikke opprette en TLS-forbindelse til POP3-serveren %1: %2").arg(where, detail);
    }
}

// The POP3 commands libcurl may send while logging in, so that SASL continuation lines (which
// carry credentials) are never taken for one.
bool isCommand(const QByteArray &verb)
{
    static const char *const commands[] = {"CAPA", "USER", "PASS", "AUTH", "APOP", "STLS"};
    for (const char *c : commands) {
        if (verb == c)
            return true;
    }
    return false;
}

} // namespace

// One connection: the libcurl handle and what its callbacks saw. libcurl
// connects and logs in (CURLOPT_CONNECT_ONLY); STAT and QUIT are said here,
// over the same connection, because libcurl 7.88 waits for the answer to
// its own QUIT as long as the response time-out allows, ignoring the
// whole-check bound, and restarts that wait's clock when it sends QUIT.
struct Pop3Client::Session
{
    enum class Io { Ok, TimedOut, Closed, Overlong, Failed };

    CURL *curl = nullptr;
    CURLM *waiter = nullptr; // waits on the socket, portably; holds no transfer
    curl_socket_t socket = CURL_SOCKET_BAD;
    char error[CURL_ERROR_SIZE] = {};
    QString where; // "host:port" for messages
    bool tls = false;
    bool numericHost = false; // an address: no name to look up
    bool greeted = false;     // a first line came from the server
    bool notPop3 = false;     // ... and it was no POP3 greeting
    bool loggedIn = false;
    QByteArray lastLine;    // the latest whole line from the server
    QByteArray lastErrLine; // the latest "-ERR" line
    QByteArray lastCommand; // the latest command verb sent
    bool overlong = false;
    Clock::time_point started = Clock::now();
    Clock::time_point lastRequest = started;
    QByteArray pending; // read from the server, not yet taken as a line
    CURLcode ioError = CURLE_OK;
    qint64 count = 0;
    qint64 size = 0;

    ~Session()
    {
        if (curl)
            curl_easy_cleanup(curl);
        if (waiter)
            curl_multi_cleanup(waiter);
    }

    // Waits until the socket is ready (CURL_WAIT_POLLIN or _POLLOUT) or the
    // deadline has passed; false on the latter.
    bool waitFor(short events, Clock::time_point deadline)
    {
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            curl_waitfd fd{socket, events, 0};
            int ready = 0;
            const int ms = int(std::min<std::chrono::milliseconds::rep>(left.count(), 60'000));
            if (curl_multi_wait(waiter, &fd, 1, ms, &ready) != CURLM_OK || ready > 0)
                return true; // the next send or receive says what happened
        }
    }

    // Sends one command line; the silence clock starts when it is out.
    Io send(const QByteArray &command, Clock::time_point deadline)
    {
        const QByteArray line = command + "\r\n";
        lastCommand = command;
        lastRequest = Clock::now();
        qsizetype done = 0;
        while (done < line.size()) {
            size_t n = 0;
            const CURLcode result = curl_easy_send(curl, line.constData() + done, size_t(line.size() - done), &n);
            if (result == CURLE_AGAIN) {
                if (!waitFor(CURL_WAIT_POLLOUT, deadline))
                    return Io::TimedOut;
                continue;
            }
            if (result != CURLE_OK) {
                ioError = result;
                return Io::Failed;
            }
            done += qsizetype(n);
        }
        lastRequest = Clock::now();
        return Io::Ok;
    }

    // Reads one line (LF or CR LF at its end) by the deadline. Bytes that
    // trickle in do not move the deadline.
    Io readLine(Clock::time_point deadline, QByteArray *line)
    {
        for (;;) {
            const qsizetype end = pending.indexOf('\n');
            if (end >= 0) {
                *line = pending.left(end + 1);
                pending.remove(0, end + 1);
                lastLine = *line;
                return qsizetype(line->size()) > LineLimit ? Io::Overlong : Io::Ok;
            }
            if (pending.size() > LineLimit)
                return Io::Overlong;
            char chunk[1024];
            size_t n = 0;
            const CURLcode result = curl_easy_recv(curl, chunk, sizeof chunk, &n);
            if (result == CURLE_OK && n == 0)
                return Io::Closed;
            if (result == CURLE_OK) {
                pending.append(chunk, qsizetype(n));
                continue;
            }
            if (result != CURLE_AGAIN) {
                ioError = result;
                return Io::Failed;
            }
            if (!waitFor(CURL_WAIT_POLLIN, deadline))
                return Io::TimedOut;
        }
    }

    static size_t onHeader(char *data, size_t size, size_t n, void *user)
    {
        auto *s = static_cast<Session *>(user);
        const size_t length = size * n;
        if (qsizetype(length) > LineLimit) {
            s->overlong = true;
            return 0; // abandons the transfer
        }
        s->lastLine = QByteArray(data, qsizetype(length));
        if (s->lastLine.startsWith("-ERR"))
            s->lastErrLine = s->lastLine;
        if (!s->greeted) {
            s->greeted = true;
            // libcurl would wait for a POP3 status line until its time-out;
            // whatever else answers on this port, say so at once.
            if (!s->lastLine.startsWith("+OK") && !s->lastLine.startsWith("-ERR")) {
                s->notPop3 = true;
                return 0;
            }
        }
        return length;
    }

    static int onDebug(CURL *, curl_infotype type, char *data, size_t size, void *user)
    {
        auto *s = static_cast<Session *>(user);
        if (type == CURLINFO_HEADER_OUT) {
            QByteArray verb(data, qsizetype(std::min<size_t>(size, 8)));
            const qsizetype end = verb.indexOf(' ') >= 0 ? verb.indexOf(' ') : verb.indexOf('\r');
            if (end >= 0)
                verb.truncate(end);
            verb = verb.toUpper();
            if (isCommand(verb)) {
                s->lastCommand = verb;
                s->lastRequest = Clock::now();
            }
        } else if (type == CURLINFO_TEXT) {
            // libcurl clips a line longer than half its buffer and goes on.
            if (QByteArrayView(data, qsizetype(size)).startsWith("Excessive server response line length"))
                s->overlong = true;
        }
        return 0;
    }
};

Pop3Client::Pop3Client() = default;

Pop3Client::~Pop3Client()
{
    disconnect();
}

bool Pop3Client::connected() const
{
    return m_session != nullptr;
}

void Pop3Client::setTimeouts(std::chrono::milliseconds connect, std::chrono::seconds response,
                             std::chrono::milliseconds check, std::chrono::milliseconds quit)
{
    m_connectTimeout = connect;
    m_responseTimeout = response;
    m_checkTimeout = check;
    m_quitTimeout = quit;
}

void Pop3Client::connect()
{
    disconnect();
    startLibcurl();
    const int port = checkedPort();
    const QByteArray host = checkedUrlHost();
    checkAccount();

    std::unique_ptr<Session> session = openSession(host, port);
    setLoginOptions(*session, host, port);
    setBoundOptions(*session);
    logIn(*session);
    askStat(*session);
    m_session = std::move(session);
}

// The checks that come before any traffic, in the order the user reads
// their answers: libcurl, the port, the server name, the account.
void Pop3Client::startLibcurl()
{
    if (globalInit() != CURLE_OK)
        throw Pop3Error(QStringLiteral("POP3-klienten kunne ikke startes: %1")
                            .arg(QString::fromUtf8(curl_easy_strerror(globalInit()))));
}

int Pop3Client::checkedPort() const
{
    // A port of 0 is what an absent ServerPort reads as.
    const int port = m_port == 0 ? DefaultPort : m_port;
    if (port < 0 || port > 65535)
        throw Pop3Error(QStringLiteral("Ugyldig portnummer %1 for POP3-serveren.").arg(m_port));
    return port;
}

QByteArray Pop3Client::checkedUrlHost() const
{
    QString why;
    const QByteArray host = urlHost(m_host, &why);
    if (host.isEmpty())
        throw Pop3Error(why);
    return host;
}

void Pop3Client::checkAccount() const
{
    if (m_user.isEmpty())
        throw Pop3Error(QStringLiteral("Ingen POP3-konto er satt opp: brukernavnet er tomt."));
    checkCredential(m_user, QStringLiteral("Brukernavnet"));
    checkCredential(m_password, QStringLiteral("Passordet"));
}

// A session with its libcurl handles, not yet connected.
std::unique_ptr<Pop3Client::Session> Pop3Client::openSession(const QByteArray &host, int port) const
{
    auto session = std::make_unique<Session>();
    Session &s = *session;
    s.tls = port == m_tlsPort;
    s.numericHost = host.startsWith('[')
                 || std::all_of(host.begin(), host.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
    s.where = (host.startsWith('[') ? local(host) : local(m_host)) + QLatin1Char(':') + QString::number(port);
    s.curl = curl_easy_init();
    s.waiter = curl_multi_init();
    if (!s.curl || !s.waiter)
        throw Pop3Error(QStringLiteral("POP3-klienten kunne ikke startes (libcurl)."));
    return session;
}

// Where to connect, who logs in, and what the callbacks are told.
void Pop3Client::setLoginOptions(Session &s, const QByteArray &host, int port) const
{
    const QByteArray url = QByteArray(s.tls ? "pop3s://" : "pop3://") + host + ':' + QByteArray::number(port) + '/';
    CURL *c = s.curl;
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "pop3,pop3s");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "pop3,pop3s");
    // Credentials travel outside the URL, so no character in them is special.
    curl_easy_setopt(c, CURLOPT_USERNAME, m_user.constData());
    curl_easy_setopt(c, CURLOPT_PASSWORD, m_password.constData());
    // libcurl stops after the login and never says QUIT on this connection.
    curl_easy_setopt(c, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Session::onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &s);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, s.error);
    // The debug channel tells which command an answer belongs to; nothing of
    // it is printed or kept beyond the command's name.
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, &Session::onDebug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &s);
}

// The time bounds, the route and the certificate check.
void Pop3Client::setBoundOptions(Session &s) const
{
    CURL *c = s.curl;
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // A name lookup that runs out of time is abandoned, not awaited: without
    // this, libcurl waits for the system's resolver however long it takes.
    curl_easy_setopt(c, CURLOPT_QUICK_EXIT, 1L);
    // The mail server is reached directly, whatever proxy the environment names.
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(m_connectTimeout.count()));
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(m_responseTimeout.count()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, long(m_checkTimeout.count()));
    if (s.tls) {
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!m_caFile.isEmpty()) {
            curl_easy_setopt(c, CURLOPT_CAINFO, m_caFile.constData());
            curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
        }
    } else {
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_NONE));
    }
}

// libcurl connects, reads the greeting and logs in; the socket it leaves
// open carries STAT and QUIT.
void Pop3Client::logIn(Session &s)
{
    s.started = s.lastRequest = Clock::now();
    const CURLcode result = curl_easy_perform(s.curl);
    if (result != CURLE_OK || s.overlong || s.notPop3)
        throw Pop3Error(failureText(s, result));
    s.loggedIn = true;
    if (curl_easy_getinfo(s.curl, CURLINFO_ACTIVESOCKET, &s.socket) != CURLE_OK || s.socket == CURL_SOCKET_BAD)
        throw Pop3Error(QStringLiteral("POP3-klienten mistet forbindelsen til %1 etter innloggingen.").arg(s.where));
}

// STAT within the response time-out and the whole check's bound. A server
// that answered but refused or garbled the answer is still told QUIT.
void Pop3Client::askStat(Session &s)
{
    using Io = Session::Io;
    const Clock::time_point end = s.started + m_checkTimeout;
    QByteArray line;
    Io io = s.send("STAT", end);
    if (io == Io::Ok)
        io = s.readLine(std::min(s.lastRequest + m_responseTimeout, end), &line);
    switch (io) {
    case Io::Ok:
        break;
    case Io::TimedOut:
        throw Pop3Error(timeoutText(s));
    case Io::Overlong:
        throw Pop3Error(QStringLiteral("Ugyldig svar på STAT fra POP3-serveren %1: en svarlinje er lengre enn %2 byte.")
                            .arg(s.where)
                            .arg(LineLimit));
    case Io::Failed: {
        const long error = osErrno(s.curl);
        if (!isClosedByPeer(error))
            throw Pop3Error(
                QStringLiteral("Forbindelsen til POP3-serveren %1 ble brutt ved STAT: %2")
                    .arg(s.where, error ? systemReason(error) : QString::fromUtf8(curl_easy_strerror(s.ioError))));
        // A reset or a broken pipe is the server closing, as an orderly close is.
        [[fallthrough]];
    }
    case Io::Closed:
        throw Pop3Error(QStringLiteral("POP3-serveren %1 lukket forbindelsen uten å svare på STAT.").arg(s.where));
    }

    QString reason;
    if (line.startsWith("-ERR")) {
        quit(s);
        throw Pop3Error(QStringLiteral("POP3-serveren %1 avviste STAT: %2").arg(s.where, quote(line)));
    }
    if (!parseStatReply(line, &s.count, &s.size, &reason)) {
        quit(s);
        throw Pop3Error(
            QStringLiteral("Ugyldig svar på STAT fra POP3-serveren %1: «%2» (%3).").arg(s.where, quote(line), reason));
    }
}

// QUIT, with a brief wait for its answer inside the whole check's bound. It
// goes out even when no time is left to wait: the server then still ends
// the session as asked.
void Pop3Client::quit(Session &s) noexcept
{
    try {
        const Clock::time_point now = Clock::now();
        const Clock::time_point end = std::min(now + m_quitTimeout, s.started + m_checkTimeout);
        QByteArray line;
        if (s.send("QUIT", end) == Session::Io::Ok)
            s.readLine(end, &line);
    } catch (...) {
        // Out of memory while closing: the connection closes all the same.
    }
}

// Which bound ran out, what the server had been asked and for how long it
// had been silent.
QString Pop3Client::timeoutText(const Session &s) const
{
    const Clock::time_point now = Clock::now();
    curl_off_t connectTime = 0;
    curl_easy_getinfo(s.curl, s.tls ? CURLINFO_APPCONNECT_TIME_T : CURLINFO_CONNECT_TIME_T, &connectTime);
    if (connectTime == 0) {
        curl_off_t tcpTime = 0;
        curl_off_t lookupTime = 0;
        long localPort = 0;
        curl_easy_getinfo(s.curl, CURLINFO_CONNECT_TIME_T, &tcpTime);
        curl_easy_getinfo(s.curl, CURLINFO_NAMELOOKUP_TIME_T, &lookupTime);
        // libcurl 7.88 notes the time of the TCP connection only once TLS
        // stands on it too; a local port tells that the connection stood.
        curl_easy_getinfo(s.curl, CURLINFO_LOCAL_PORT, &localPort);
        const bool tcpConnected = tcpTime != 0 || localPort != 0;
        if (!tcpConnected && lookupTime == 0 && !s.numericHost)
            return QStringLiteral("Navneoppslaget for POP3-serveren %1 ble ikke ferdig innen %2.")
                .arg(s.where, seconds(now - s.started));
        if (!tcpConnected || !s.tls)
            return QStringLiteral("Fikk ikke kontakt med POP3-serveren %1 innen %2.")
                .arg(s.where, seconds(now - s.started));
        return QStringLiteral("POP3-serveren %1 fullførte ikke TLS-oppkoblingen innen %2.")
            .arg(s.where, seconds(now - s.started));
    }

    // The silence began with our latest request, or for the greeting when
    // the connection stood.
    const bool greeting = s.lastCommand.isEmpty();
    const Clock::time_point asked = greeting ? s.started + std::chrono::microseconds(connectTime) : s.lastRequest;
    const QString silence = seconds(now - asked);
    const QString what = greeting ? QStringLiteral("(ingen hilsen)")
                                  : QStringLiteral("(på %1)").arg(QString::fromLatin1(s.lastCommand));

    // The bound that ran out is the one that ends first.
    const Clock::time_point response = asked + m_responseTimeout;
    const Clock::time_point login = s.loggedIn ? Clock::time_point::max() : s.started + m_connectTimeout;
    const Clock::time_point whole = s.started + m_checkTimeout;
    if (whole < response && whole <= login)
        return QStringLiteral("POP3-sjekken mot %1 ble ikke ferdig innen %2: serveren svarte ikke innen %3 %4.")
            .arg(s.where, seconds(m_checkTimeout), silence, what);
    if (login < response && !greeting)
        return QStringLiteral(
                   "POP3-serveren %1 ble ikke ferdig med innloggingen innen %2: den svarte ikke innen %3 %4.")
            .arg(s.where, seconds(m_connectTimeout), silence, what);
    return QStringLiteral("POP3-serveren %1 svarte ikke innen %2 %3.").arg(s.where, silence, what);
}

// Why the login failed, from libcurl's result and what the callbacks saw.
QString Pop3Client::failureText(const Session &s, int code) const
{
    if (s.overlong)
        return QStringLiteral("Ugyldig svar fra POP3-serveren %1: en svarlinje er lengre enn %2 byte.")
            .arg(s.where)
            .arg(LineLimit);
    if (s.notPop3)
        return QStringLiteral("Tjenesten på %1 er ikke en POP3-server: den hilste med «%2».")
            .arg(s.where, quote(s.lastLine));
    // An answer of many lines that passes libcurl's own limit (300 KiB): it
    // closes the connection itself, with no errno to tell that apart.
    if (QByteArrayView(s.error).startsWith("Too large response headers"))
        return QStringLiteral("Ugyldig svar fra POP3-serveren %1: svaret%2 er for langt.")
            .arg(s.where,
                 s.lastCommand.isEmpty() ? QString() : QStringLiteral(" på ") + QString::fromLatin1(s.lastCommand));

    const auto result = CURLcode(code);
    const QString detail = curlDetail(s.error, result);
    switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return QStringLiteral("Fant ikke POP3-serveren %1: navnet kunne ikke slås opp.").arg(s.where);
    case CURLE_COULDNT_CONNECT: {
        const long error = osErrno(s.curl);
        return QStringLiteral("Kunne ikke koble til POP3-serveren %1: %2.")
            .arg(s.where, error ? systemReason(error) : detail);
    }
    case CURLE_OPERATION_TIMEDOUT:
        return timeoutText(s);
    case CURLE_LOGIN_DENIED:
        if (s.lastErrLine.isEmpty())
            return QStringLiteral("Innlogging avvist av POP3-serveren %1.").arg(s.where);
        return QStringLiteral("Innlogging avvist av POP3-serveren %1: %2").arg(s.where, quote(s.lastErrLine));
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CONNECT_ERROR:
        return tlsFailureText(s.where, result, detail);
    case CURLE_WEIRD_SERVER_REPLY:
        if (s.lastCommand.isEmpty())
            return QStringLiteral("POP3-serveren %1 hilste ikke som forventet: «%2»").arg(s.where, quote(s.lastLine));
        return QStringLiteral("Uventet svar fra POP3-serveren %1 på %2: «%3»")
            .arg(s.where, QString::fromLatin1(s.lastCommand), quote(s.lastLine));
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
        return connectionLostText(s);
    case CURLE_URL_MALFORMAT:
        return QStringLiteral("Servernavnet i %1 er ikke gyldig: %2").arg(s.where, detail);
    default:
        return QStringLiteral("POP3-sjekken mot %1 mislyktes: %2").arg(s.where, detail);
    }
}

// The connection ended during the login. libcurl reports an orderly close
// as a failed read, with a stale errno beside it; a reset or a broken pipe
// is the server too.
QString Pop3Client::connectionLostText(const Session &s)
{
    const long error = osErrno(s.curl);
    const bool closed = isClosedByPeer(error) || error == 0
                     || QByteArrayView(s.error).startsWith("response reading failed");
    const QByteArray &cmd = s.lastCommand;
    const QString command = QString::fromLatin1(cmd);
    if (closed) {
        return QStringLiteral("POP3-serveren %1 lukket forbindelsen %2.")
            .arg(s.where, !cmd.isEmpty() ? QStringLiteral("uten å svare på %1").arg(command)
                          : s.greeted    ? QStringLiteral("rett etter hilsenen")
                                         : QStringLiteral("før hilsenen"));
    }
    return QStringLiteral("Forbindelsen til POP3-serveren %1 ble brutt %2: %3")
        .arg(s.where, cmd.isEmpty() ? QStringLiteral("før hilsenen") : QStringLiteral("etter %1").arg(command),
             systemReason(error));
}

namespace {

// Reads one number of a STAT reply from *pos up to the next space or the
// end of the line. False, with the reason in *why, for anything else.
bool readStatNumber(const QByteArray &line, qsizetype *pos, const QString &name, qint64 *value, QString *why)
{
    const qsizetype start = *pos;
    qint64 number = 0;
    for (; *pos < line.size() && line[*pos] >= '0' && line[*pos] <= '9'; ++*pos) {
        const int digit = line[*pos] - '0';
        if (number > (std::numeric_limits<qint64>::max() - digit) / 10) {
            *why = QStringLiteral("%1 er for stor").arg(name);
            return false;
        }
        number = number * 10 + digit;
    }
    const bool ended = *pos == line.size() || line[*pos] == ' ';
    if (*pos == start || !ended) {
        *why = *pos == start && ended ? QStringLiteral("%1 mangler").arg(name)
                                      : QStringLiteral("%1 er ikke et helt tall").arg(name);
        return false;
    }
    *value = number;
    return true;
}

} // namespace

bool Pop3Client::parseStatReply(const QByteArray &reply, qint64 *count, qint64 *size, QString *why)
{
    if (reply.size() > LineLimit) {
        *why = QStringLiteral("svarlinjen er lengre enn %1 byte").arg(LineLimit);
        return false;
    }
    QByteArray line = reply;
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    if (!line.startsWith("+OK ")) {
        *why = line.isEmpty() ? QStringLiteral("tomt svar") : QStringLiteral("svaret begynner ikke med «+OK »");
        return false;
    }
    // "+OK count size", then optionally a space and any text (RFC 1939).
    qsizetype pos = 4;
    qint64 messages = 0;
    qint64 octets = 0;
    if (!readStatNumber(line, &pos, QStringLiteral("antallet meldinger"), &messages, why))
        return false;
    if (pos >= line.size() || line[pos] != ' ') {
        *why = QStringLiteral("størrelsen mangler");
        return false;
    }
    ++pos;
    if (!readStatNumber(line, &pos, QStringLiteral("størrelsen"), &octets, why))
        return false;
    *count = messages;
    *size = octets;
    return true;
}

qint64 Pop3Client::messageCount()
{
    if (!m_session)
        throw Pop3Error(QStringLiteral("Ikke koblet til POP3-serveren."));
    return m_session->count;
}

qint64 Pop3Client::mailboxSize()
{
    if (!m_session)
        throw Pop3Error(QStringLiteral("Ikke koblet til POP3-serveren."));
    return m_session->size;
}

void Pop3Client::disconnect()
{
    if (!m_session)
        return;
    const std::unique_ptr<Session> session = std::move(m_session);
    quit(*session);
}
