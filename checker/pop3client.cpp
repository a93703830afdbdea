#include "pop3client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>

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

// A server's line as the user may see it: no line end, no control bytes,
// bounded length.
QString quote(QByteArray line)
{
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    for (char &c : line) {
        if (uchar(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    QString text = QString::fromUtf8(line);
    if (text.size() > QuoteLimit)
        text = text.left(QuoteLimit) + QChar(0x2026);
    return text;
}

QString seconds(qint64 n)
{
    return n == 1 ? QStringLiteral("1 sekund") : QStringLiteral("%1 sekunder").arg(n);
}

qint64 roundedSeconds(Clock::duration d)
{
    const double s = std::chrono::duration<double>(d).count();
    return std::max<qint64>(1, qint64(std::llround(s)));
}

bool isHostByte(uchar c)
{
    // Letters, digits, '-', '.', '_'; bytes above ASCII belong to an
    // internationalised name. Anything else could change how the URL is read.
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
        || c == '.' || c == '_' || c >= 0x80;
}

// The host part of the URL, or an error text. IPv6 literals go in brackets
// (a zone "%eth0" becomes "%25eth0"); libcurl checks the address itself.
QByteArray urlHost(const QByteArray &host, QString *why)
{
    if (host.isEmpty()) {
        *why = QStringLiteral("Ingen POP3-server er satt opp: servernavnet er tomt.");
        return {};
    }
    for (const char c : host) {
        if (uchar(c) <= 0x20 || c == 0x7f) {
            *why = QStringLiteral("Servernavnet «%1» inneholder mellomrom eller kontrolltegn og kan ikke brukes.")
                       .arg(quote(host));
            return {};
        }
    }
    if (host.contains(':')) {
        QByteArray inner = host;
        if (inner.startsWith('[') && inner.endsWith(']'))
            inner = inner.mid(1, inner.size() - 2);
        QByteArray zone;
        const qsizetype percent = inner.indexOf('%');
        if (percent >= 0) {
            zone = inner.mid(percent + 1);
            inner.truncate(percent);
        }
        // An IPv6 address has at least two colons; "host:port" has one.
        bool ok = inner.count(':') >= 2 && (percent < 0 || !zone.isEmpty());
        for (const char c : inner)
            ok = ok && (std::isxdigit(uchar(c)) || c == ':' || c == '.');
        for (const char c : zone)
            ok = ok && (std::isalnum(uchar(c)) || c == '-' || c == '_' || c == '.');
        if (!ok) {
            *why = QStringLiteral("Servernavnet «%1» er verken et vertsnavn eller en IPv6-adresse "
                                  "(porten settes ikke i servernavnet).")
                       .arg(quote(host));
            return {};
        }
        return '[' + inner + (zone.isEmpty() ? QByteArray() : "%25" + zone) + ']';
    }
    for (const char c : host) {
        if (!isHostByte(uchar(c))) {
            *why = QStringLiteral("Servernavnet «%1» inneholder tegnet «%2», som ikke kan stå i et vertsnavn.")
                       .arg(quote(host), QString(QLatin1Char(c)));
            return {};
        }
    }
    return host;
}

// libcurl takes user name and password as C strings and sends them inside a
// command line: a NUL would cut them short, a line break would end the command.
void checkCredential(const QByteArray &value, const QString &what)
{
    if (value.contains('\0') || value.contains('\r') || value.contains('\n'))
        throw Pop3Error(QStringLiteral("%1 inneholder et linjeskift eller et NUL-tegn og kan ikke sendes "
                                       "til POP3-serveren.")
                            .arg(what));
}

// The POP3 commands libcurl may send, so that SASL continuation lines (which
// carry credentials) are never taken for one.
bool isCommand(const QByteArray &verb)
{
    static const char *const commands[] = {"CAPA", "USER", "PASS", "AUTH", "APOP", "STLS", "STAT"};
    for (const char *c : commands) {
        if (verb == c)
            return true;
    }
    return false;
}

} // namespace

// One connection: the libcurl handle and what its callbacks saw. It outlives
// curl_easy_perform because curl_easy_cleanup still says QUIT through it.
struct Pop3Client::Session
{
    CURL *curl = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    QString where;           // "host:port" for messages
    QByteArray lastLine;     // the latest whole line from the server
    QByteArray lastErrLine;  // the latest "-ERR" line
    QByteArray lastCommand;  // the latest command verb sent, QUIT aside
    bool quitting = false;   // QUIT sent: what follows is no answer to the check
    bool overlong = false;
    Clock::time_point started = Clock::now();
    Clock::time_point lastActivity = started;
    qint64 count = 0;
    qint64 size = 0;

    ~Session()
    {
        if (curl)
            curl_easy_cleanup(curl);
    }

    static size_t onHeader(char *data, size_t size, size_t n, void *user)
    {
        auto *s = static_cast<Session *>(user);
        const size_t length = size * n;
        if (s->quitting)
            return length;
        s->lastActivity = Clock::now();
        if (qsizetype(length) > LineLimit) {
            s->overlong = true;
            return 0; // abandons the transfer
        }
        s->lastLine = QByteArray(data, qsizetype(length));
        if (s->lastLine.startsWith("-ERR"))
            s->lastErrLine = s->lastLine;
        return length;
    }

    static size_t onBody(char *, size_t size, size_t n, void *)
    {
        return size * n; // STAT has no body; discard anything that comes
    }

    static int onDebug(CURL *, curl_infotype type, char *data, size_t size, void *user)
    {
        auto *s = static_cast<Session *>(user);
        if (type == CURLINFO_HEADER_OUT) {
            s->lastActivity = Clock::now();
            QByteArray verb(data, qsizetype(std::min<size_t>(size, 8)));
            const qsizetype end = verb.indexOf(' ') >= 0 ? verb.indexOf(' ') : verb.indexOf('\r');
            if (end >= 0)
                verb.truncate(end);
            verb = verb.toUpper();
            // libcurl says QUIT on its own when it gives up on a connection,
            // before curl_easy_perform returns: keep the failed step's answer.
            if (verb == "QUIT")
                s->quitting = true;
            else if (isCommand(verb) && !s->quitting)
                s->lastCommand = verb;
        } else if (type == CURLINFO_TEXT) {
            // libcurl clips a line longer than half its buffer and goes on.
            static const char clipped[] = "Excessive server response line length";
            if (size >= sizeof clipped - 1 && std::memcmp(data, clipped, sizeof clipped - 1) == 0)
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
                             std::chrono::milliseconds check)
{
    m_connectTimeout = connect;
    m_responseTimeout = response;
    m_checkTimeout = check;
}

void Pop3Client::connect()
{
    disconnect();

    if (globalInit() != CURLE_OK)
        throw Pop3Error(QStringLiteral("POP3-klienten kunne ikke startes: %1")
                            .arg(QString::fromUtf8(curl_easy_strerror(globalInit()))));

    // A port of 0 is what an absent ServerPort reads as.
    const int port = m_port == 0 ? DefaultPort : m_port;
    if (port < 0 || port > 65535)
        throw Pop3Error(QStringLiteral("Ugyldig portnummer %1 for POP3-serveren.").arg(m_port));
    QString why;
    const QByteArray host = urlHost(m_host, &why);
    if (host.isEmpty())
        throw Pop3Error(why);
    if (m_user.isEmpty())
        throw Pop3Error(QStringLiteral("Ingen POP3-konto er satt opp: brukernavnet er tomt."));
    checkCredential(m_user, QStringLiteral("Brukernavnet"));
    checkCredential(m_password, QStringLiteral("Passordet"));

    const bool tls = port == m_tlsPort;
    auto session = std::make_unique<Session>();
    Session &s = *session;
    s.where = (host.startsWith('[') ? local(host) : local(m_host)) + QLatin1Char(':') + QString::number(port);
    s.curl = curl_easy_init();
    if (!s.curl)
        throw Pop3Error(QStringLiteral("POP3-klienten kunne ikke startes (libcurl)."));

    const QByteArray url = QByteArray(tls ? "pop3s://" : "pop3://") + host + ':' + QByteArray::number(port) + '/';
    CURL *c = s.curl;
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "pop3,pop3s");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "pop3,pop3s");
    // Credentials travel outside the URL, so no character in them is special.
    curl_easy_setopt(c, CURLOPT_USERNAME, m_user.constData());
    curl_easy_setopt(c, CURLOPT_PASSWORD, m_password.constData());
    // STAT is a one-line answer: without NOBODY libcurl waits for a body.
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "STAT");
    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Session::onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &s);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Session::onBody);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, s.error);
    // The debug channel tells which command an answer belongs to; nothing of
    // it is printed or kept beyond the command's name.
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, &Session::onDebug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &s);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // The mail server is reached directly, whatever proxy the environment names.
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(m_connectTimeout.count()));
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(m_responseTimeout.count()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, long(m_checkTimeout.count()));
    if (tls) {
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!m_caFile.isEmpty()) {
            curl_easy_setopt(c, CURLOPT_CAINFO, m_caFile.constData());
            curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
        }
    } else {
        curl_easy_setopt(c, CURLOPT_USE_SSL, long(CURLUSESSL_NONE));
    }

    s.started = s.lastActivity = Clock::now();
    const CURLcode result = curl_easy_perform(c);
    if (result != CURLE_OK || s.overlong)
        fail(s, result);

    QString reason;
    if (!parseStatReply(s.lastLine, &s.count, &s.size, &reason))
        throw Pop3Error(QStringLiteral("Ugyldig svar på STAT fra POP3-serveren %1: «%2» (%3).")
                            .arg(s.where, quote(s.lastLine), reason));
    m_session = std::move(session);
}

void Pop3Client::fail(Session &s, int code)
{
    const auto result = CURLcode(code);
    const QString detail = s.error[0] ? QString::fromUtf8(s.error) : QString::fromUtf8(curl_easy_strerror(result));
    const QString line = quote(s.lastLine);
    const QByteArray &cmd = s.lastCommand;

    if (s.overlong) {
        throw Pop3Error(QStringLiteral("Ugyldig svar%1 fra POP3-serveren %2: en svarlinje er lengre enn %3 byte.")
                            .arg(cmd == "STAT" ? QStringLiteral(" på STAT") : QString(), s.where)
                            .arg(LineLimit));
    }

    switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
        throw Pop3Error(QStringLiteral("Fant ikke POP3-serveren %1: navnet kunne ikke slås opp.").arg(s.where));
    case CURLE_COULDNT_CONNECT: {
        long osErrno = 0;
        curl_easy_getinfo(s.curl, CURLINFO_OS_ERRNO, &osErrno);
        const QString reason = osErrno ? local(std::strerror(int(osErrno))) : detail;
        throw Pop3Error(QStringLiteral("Kunne ikke koble til POP3-serveren %1: %2").arg(s.where, reason));
    }
    case CURLE_OPERATION_TIMEDOUT: {
        const Clock::time_point now = Clock::now();
        curl_off_t connectTime = 0;
        curl_easy_getinfo(s.curl, CURLINFO_CONNECT_TIME_T, &connectTime);
        if (connectTime == 0)
            throw Pop3Error(QStringLiteral("Fikk ikke kontakt med POP3-serveren %1 innen %2.")
                                .arg(s.where, seconds(roundedSeconds(now - s.started))));
        if (now - s.started >= m_checkTimeout - std::chrono::milliseconds(100))
            throw Pop3Error(QStringLiteral("POP3-sjekken mot %1 ble ikke ferdig innen %2.")
                                .arg(s.where, seconds(roundedSeconds(m_checkTimeout))));
        throw Pop3Error(QStringLiteral("POP3-serveren %1 svarte ikke innen %2%3.")
                            .arg(s.where, seconds(roundedSeconds(now - s.lastActivity)),
                                 cmd.isEmpty() ? QStringLiteral(" (ingen hilsen)")
                                               : QStringLiteral(" (på %1)").arg(QString::fromLatin1(cmd))));
    }
    case CURLE_LOGIN_DENIED:
        if (s.lastErrLine.isEmpty())
            throw Pop3Error(QStringLiteral("Innlogging avvist av POP3-serveren %1.").arg(s.where));
        throw Pop3Error(QStringLiteral("Innlogging avvist av POP3-serveren %1: %2").arg(s.where, quote(s.lastErrLine)));
    case CURLE_PEER_FAILED_VERIFICATION:
        throw Pop3Error(QStringLiteral("Sertifikatet til POP3-serveren %1 ble ikke godtatt: %2").arg(s.where, detail));
    case CURLE_SSL_CACERT_BADFILE:
        throw Pop3Error(QStringLiteral("Sertifikatene som POP3-serveren %1 skal kontrolleres mot, kunne ikke leses: %2")
                            .arg(s.where, detail));
    case CURLE_SSL_CONNECT_ERROR:
        throw Pop3Error(QStringLiteral("Kunne ikke opprette en TLS-forbindelse til POP3-serveren %1: %2")
                            .arg(s.where, detail));
    case CURLE_WEIRD_SERVER_REPLY:
        if (cmd.isEmpty())
            throw Pop3Error(QStringLiteral("POP3-serveren %1 hilste ikke som forventet: «%2»").arg(s.where, line));
        if (cmd == "STAT" && s.lastLine.startsWith("-ERR"))
            throw Pop3Error(QStringLiteral("POP3-serveren %1 avviste STAT: %2").arg(s.where, line));
        if (cmd == "STAT")
            throw Pop3Error(QStringLiteral("Ugyldig svar på STAT fra POP3-serveren %1: «%2»").arg(s.where, line));
        throw Pop3Error(QStringLiteral("Uventet svar fra POP3-serveren %1 på %2: «%3»")
                            .arg(s.where, QString::fromLatin1(cmd), line));
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
        throw Pop3Error(QStringLiteral("POP3-serveren %1 brøt forbindelsen %2: %3")
                            .arg(s.where,
                                 cmd.isEmpty() ? QStringLiteral("før hilsenen")
                                               : QStringLiteral("etter %1").arg(QString::fromLatin1(cmd)),
                                 detail));
    case CURLE_URL_MALFORMAT:
        throw Pop3Error(QStringLiteral("Servernavnet i %1 er ikke gyldig: %2").arg(s.where, detail));
    default:
        throw Pop3Error(QStringLiteral("POP3-sjekken mot %1 mislyktes: %2").arg(s.where, detail));
    }
}

bool Pop3Client::parseStatReply(const QByteArray &reply, qint64 *count, qint64 *size, QString *why)
{
    QByteArray line = reply;
    if (line.size() > LineLimit) {
        *why = QStringLiteral("svarlinjen er lengre enn %1 byte").arg(LineLimit);
        return false;
    }
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
    qint64 fields[2] = {0, 0};
    const char *const names[] = {"antallet meldinger", "størrelsen"};
    for (int i = 0; i < 2; ++i) {
        if (i == 1) {
            if (pos >= line.size() || line[pos] != ' ') {
                *why = QStringLiteral("%1 mangler").arg(QString::fromUtf8(names[i]));
                return false;
            }
            ++pos;
        }
        const qsizetype start = pos;
        qint64 value = 0;
        while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
            const int digit = line[pos] - '0';
            if (value > (std::numeric_limits<qint64>::max() - digit) / 10) {
                *why = QStringLiteral("%1 er for stor").arg(QString::fromUtf8(names[i]));
                return false;
            }
            value = value * 10 + digit;
            ++pos;
        }
        const bool ended = pos == line.size() || line[pos] == ' ';
        if (pos == start || !ended) {
            *why = pos == start && ended ? QStringLiteral("%1 mangler").arg(QString::fromUtf8(names[i]))
                                         : QStringLiteral("%1 er ikke et helt tall").arg(QString::fromUtf8(names[i]));
            return false;
        }
        fields[i] = value;
    }
    *count = fields[0];
    *size = fields[1];
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
    // curl_easy_cleanup says QUIT, bounded by the time-outs set on the handle.
    m_session.reset();
}
