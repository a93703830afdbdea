// Password scrambling.
//
// What must hold, for any bytes p: scramble(p) is "z", the shifted bytes and
// "2", cut to a short text; unscrambling it gives p back whole when p has at
// most 253 bytes, and its first 253 bytes otherwise. Any stored text, also
// one typed by hand, unscrambles to a short text two bytes shorter (never
// below empty), and scrambling that gives the stored text back with its
// first and last byte made "z" and "2".

#include "fuzzcheck.h"

#include "felles.h"
#include "scramble.h"

#include <QByteArray>

using Felles::ScramblePassword;
using Felles::ShortTextLength;
using Felles::UnscramblePassword;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray p(reinterpret_cast<const char *>(data), qsizetype(size));
    // The longest password whose closing "2" survives the cut.
    constexpr qsizetype Whole = ShortTextLength - 2;

    const QByteArray stored = ScramblePassword(p);
    FUZZ_CHECK(stored.size() == qMin<qsizetype>(p.size() + 2, ShortTextLength));
    FUZZ_CHECK(stored.startsWith('z'));
    if (p.size() <= Whole)
        FUZZ_CHECK(stored.endsWith('2'));
    FUZZ_CHECK(UnscramblePassword(stored) == p.left(Whole));

    const QByteArray plain = UnscramblePassword(p);
    FUZZ_CHECK(plain.size() == qBound(qsizetype(0), p.size() - 2, qsizetype(ShortTextLength)));
    if (p.size() >= 2 && p.size() <= ShortTextLength)
        FUZZ_CHECK(ScramblePassword(plain) == 'z' + p.mid(1, p.size() - 2) + '2');
    return 0;
}
