#include "pop3text.h"

#include <algorithm>
#include <cmath>

namespace Pop3Text {

QString Quote(const QByteArray &utf8)
{
    return Quote(QString::fromUtf8(utf8));
}

QString Quote(QString text)
{
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
        text.chop(1);
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

QString Seconds(std::chrono::steady_clock::duration span)
{
    const double s = std::chrono::duration<double>(span).count();
    if (s < 0.95)
        return QStringLiteral("0,%1 sekunder").arg(std::max(1L, std::lround(s * 10)));
    const long n = std::lround(s);
    return n == 1 ? QStringLiteral("1 sekund") : QStringLiteral("%1 sekunder").arg(n);
}

} // namespace Pop3Text
