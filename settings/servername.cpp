#include "servername.h"

#include <QList>

namespace {

bool isAsciiLetterOrDigit(char32_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isHexDigit(char32_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether a character is invisible or splits the name: every blank and
// control, whatever its script.
bool isBlankOrControl(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Space:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

// Letters, digits, '-', '.', '_'; characters beyond ASCII belong to an
// internationalised name, except U+FFFD, which means the name's bytes were
// not text.
bool mayStandInName(char32_t c)
{
    if (c < 0x80)
        return isAsciiLetterOrDigit(c) || c == '-' || c == '.' || c == '_';
    return c != QChar::ReplacementCharacter;
}

// An IPv6 address, in brackets or not, with an optional "%zone". The
// resolver or the socket checks the address itself; this only makes sure that
// nothing else hides in it.
ServerNameCheck checkAddress(const QString &name)
{
    QString inner = name;
    if (inner.startsWith(QLatin1Char('[')) && inner.endsWith(QLatin1Char(']')))
        inner = inner.mid(1, inner.size() - 2);
    QString zone;
    const qsizetype percent = inner.indexOf(QLatin1Char('%'));
    if (percent >= 0) {
        zone = inner.mid(percent + 1);
        inner.truncate(percent);
    }
    // An IPv6 address has at least two colons; "host:port" has one.
    bool ok = inner.count(QLatin1Char(':')) >= 2 && (percent < 0 || !zone.isEmpty());
    for (const QChar c : inner)
        ok = ok && (isHexDigit(c.unicode()) || c == QLatin1Char(':') || c == QLatin1Char('.'));
    for (const QChar c : zone) {
        const char16_t u = c.unicode();
        ok = ok && (isAsciiLetterOrDigit(u) || u == '-' || u == '_' || u == '.');
    }

    ServerNameCheck checked;
    checked.fault = ok ? ServerNameCheck::Accepted : ServerNameCheck::NotAnAddress;
    if (ok) {
        checked.ipv6 = true;
        checked.host = inner;
        checked.zone = zone;
    }
    return checked;
}

} // namespace

QString ServerNameCheck::lookupForm() const
{
    return zone.isEmpty() ? host : host + QLatin1Char('%') + zone;
}

ServerNameCheck CheckServerName(const QString &name)
{
    ServerNameCheck checked;
    if (name.isEmpty())
        return checked;
    // Code points, so that a character beyond the first plane is judged as
    // a whole; a lone surrogate reads as U+FFFD.
    const QList<uint> characters = name.toUcs4();
    for (const uint c : characters) {
        if (isBlankOrControl(c)) {
            checked.fault = ServerNameCheck::BlankOrControl;
            return checked;
        }
    }
    if (name.startsWith(QLatin1Char('-'))) {
        checked.fault = ServerNameCheck::LeadingDash;
        return checked;
    }
    if (name.contains(QLatin1Char(':')))
        return checkAddress(name);
    for (const uint c : characters) {
        if (!mayStandInName(c)) {
            checked.fault = ServerNameCheck::ForbiddenCharacter;
            const char32_t character = c;
            checked.character = QString::fromUcs4(&character, 1);
            return checked;
        }
    }
    checked.fault = ServerNameCheck::Accepted;
    checked.host = name;
    return checked;
}
