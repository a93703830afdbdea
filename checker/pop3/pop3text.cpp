#include "pop3text.h"

#include "outsidetext.h"

#include <algorithm>
#include <cmath>

namespace Pop3Text {

QString Quote(const QByteArray &line)
{
    QByteArray text = line;
    while (text.endsWith('\n') || text.endsWith('\r'))
        text.chop(1);
    return OutsideText::Shown(text, OutsideText::Encoding::Utf8, QuoteLimit);
}

QString QuoteSetting(const QByteArray &local)
{
    return OutsideText::Shown(local, OutsideText::Encoding::Local, QuoteLimit);
}

QString Quote(const QString &text)
{
    return OutsideText::Shown(text, QuoteLimit);
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
