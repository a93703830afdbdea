#include "scramble.h"

#include "felles.h"

namespace Felles {

QByteArray ScramblePassword(const QByteArray &plain)
{
    QByteArray shifted = plain;
    for (qsizetype i = 0; i < shifted.size(); ++i)
        shifted[i] = char((uchar(shifted[i]) + i + 1) & 0xff);
    return ShortText('z' + shifted + '2');
}

QByteArray UnscramblePassword(const QByteArray &stored)
{
    QByteArray s = stored;
    if (!s.isEmpty())
        s.remove(0, 1);
    if (!s.isEmpty())
        s.chop(1);
    for (qsizetype i = 0; i < s.size(); ++i)
        s[i] = char((uchar(s[i]) - (i + 1)) & 0xff);
    return ShortText(s);
}

} // namespace Felles
