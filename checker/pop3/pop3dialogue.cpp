#include "pop3dialogue.h"

#include "pop3text.h"

#include <algorithm>
#include <limits>

namespace Pop3 {

using Pop3Text::Quote;
using Pop3Text::Seconds;

Dialogue::Dialogue(LineChannel &channel, const QString &where, const Bounds &bounds, Clock::time_point started,
                   Clock::time_point connected)
    : m_channel(channel)
    , m_where(where)
    , m_bounds(bounds)
    , m_started(started)
    , m_connected(connected)
{
}

void Dialogue::logIn(const QByteArray &user, const QByteArray &password)
{
    const QByteArray greeting = exchange(QByteArray(), QByteArray(), true);
    if (greeting.startsWith("-ERR"))
        throw Pop3Error(
            QStringLiteral("POP3-serveren %1 hilste ikke som forventet: «%2»").arg(m_where, Quote(greeting)));
    if (!greeting.startsWith("+OK"))
        throw Pop3Error(QStringLiteral("Tjenesten på %1 er ikke en POP3-server: den hilste med «%2».")
                            .arg(m_where, Quote(greeting)));

    for (const auto &[verb, argument] :
         {std::pair{QByteArray("USER"), user}, std::pair{QByteArray("PASS"), password}}) {
        const QByteArray answer = exchange(verb, verb + ' ' + argument, true);
        if (answer.startsWith("-ERR"))
            refuse(QStringLiteral("Innlogging avvist av POP3-serveren %1: %2").arg(m_where, Quote(answer)));
        if (!answer.startsWith("+OK"))
            refuse(QStringLiteral("Uventet svar fra POP3-serveren %1 på %2: «%3»")
                       .arg(m_where, QString::fromLatin1(verb), Quote(answer)));
    }
    m_loggedIn = true;
}

void Dialogue::stat(qint64 *count, qint64 *size)
{
    const QByteArray answer = exchange("STAT", "STAT", false);
    if (answer.startsWith("-ERR"))
        refuse(QStringLiteral("POP3-serveren %1 avviste STAT: %2").arg(m_where, Quote(answer)));
    QString why;
    if (!ParseStatReply(answer, count, size, &why))
        refuse(
            QStringLiteral("Ugyldig svar på STAT fra POP3-serveren %1: «%2» (%3).").arg(m_where, Quote(answer), why));
}

void Dialogue::quit() noexcept
{
    try {
        const Clock::time_point end = std::min(Clock::now() + m_bounds.quit, m_started + m_bounds.check);
        QByteArray line;
        if (m_channel.send("QUIT", end) == LineChannel::Io::Ok)
            m_channel.readLine(end, &line);
    } catch (...) {
        // Out of memory while closing: the connection closes all the same.
    }
}

void Dialogue::refuse(const QString &text)
{
    quit();
    throw Pop3Error(text);
}

QByteArray Dialogue::exchange(const QByteArray &verb, const QByteArray &command, bool inLogin)
{
    using Io = LineChannel::Io;
    Clock::time_point asked = m_connected;
    const Clock::time_point whole = m_started + m_bounds.check;
    const Clock::time_point login = inLogin ? m_started + m_bounds.connect : Clock::time_point::max();
    if (!verb.isEmpty()) {
        const Io sent = m_channel.send(command, std::min(login, whole));
        asked = Clock::now();
        if (sent != Io::Ok)
            fail(sent, verb, asked);
    }
    QByteArray line;
    const Io io = m_channel.readLine(std::min({asked + m_bounds.response, login, whole}), &line);
    if (io != Io::Ok)
        fail(io, verb, asked);
    return line;
}

void Dialogue::fail(LineChannel::Io io, const QByteArray &verb, Clock::time_point asked)
{
    using Io = LineChannel::Io;
    const QString command = QString::fromLatin1(verb);
    switch (io) {
    case Io::Ok:
        break;
    case Io::TimedOut:
        throw Pop3Error(timeoutText(verb, asked));
    case Io::Overlong:
        if (verb == "STAT")
            throw Pop3Error(
                QStringLiteral("Ugyldig svar på STAT fra POP3-serveren %1: en svarlinje er lengre enn %2 byte.")
                    .arg(m_where)
                    .arg(LineLimit));
        throw Pop3Error(QStringLiteral("Ugyldig svar fra POP3-serveren %1: en svarlinje er lengre enn %2 byte.")
                            .arg(m_where)
                            .arg(LineLimit));
    case Io::Closed:
        throw Pop3Error(QStringLiteral("POP3-serveren %1 lukket forbindelsen %2.")
                            .arg(m_where, verb.isEmpty() ? QStringLiteral("før hilsenen")
                                                         : QStringLiteral("uten å svare på %1").arg(command)));
    case Io::Failed:
        if (m_channel.wholeFailure())
            throw Pop3Error(m_channel.failure());
        throw Pop3Error(
            QStringLiteral("Forbindelsen til POP3-serveren %1 ble brutt %2: %3.")
                .arg(m_where, verb.isEmpty() ? QStringLiteral("før hilsenen") : QStringLiteral("ved %1").arg(command),
                     m_channel.failure()));
    }
    throw Pop3Error(QStringLiteral("POP3-sjekken mot %1 mislyktes.").arg(m_where));
}

// Which bound ran out, what the server had been asked and for how long it
// had been silent.
QString Dialogue::timeoutText(const QByteArray &verb, Clock::time_point asked) const
{
    const Clock::time_point now = Clock::now();
    const bool greeting = verb.isEmpty();
    const QString silence = Seconds(now - asked);
    const QString what = greeting ? QStringLiteral("(ingen hilsen)")
                                  : QStringLiteral("(på %1)").arg(QString::fromLatin1(verb));

    // The bound that ran out is the one that ends first.
    const Clock::time_point response = asked + m_bounds.response;
    const Clock::time_point login = m_loggedIn ? Clock::time_point::max() : m_started + m_bounds.connect;
    const Clock::time_point whole = m_started + m_bounds.check;
    if (whole < response && whole <= login)
        return QStringLiteral("POP3-sjekken mot %1 ble ikke ferdig innen %2: serveren svarte ikke innen %3 %4.")
            .arg(m_where, Seconds(m_bounds.check), silence, what);
    if (login < response && !greeting)
        return QStringLiteral(
                   "POP3-serveren %1 ble ikke ferdig med innloggingen innen %2: den svarte ikke innen %3 %4.")
            .arg(m_where, Seconds(m_bounds.connect), silence, what);
    return QStringLiteral("POP3-serveren %1 svarte ikke innen %2 %3.").arg(m_where, silence, what);
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

bool ParseStatReply(const QByteArray &reply, qint64 *count, qint64 *size, QString *why)
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

} // namespace Pop3
