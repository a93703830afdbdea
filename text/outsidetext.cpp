#include "outsidetext.h"

namespace OutsideText {

namespace {

bool mustEscape(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate: // a lone half of a UTF-16 pair
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

// The code point at text[at] and how many UTF-16 units it takes; a lone
// surrogate is a code point of its own.
char32_t codePointAt(const QString &text, qsizetype at, qsizetype *length)
{
    const QChar c = text.at(at);
    if (c.isHighSurrogate() && at + 1 < text.size() && text.at(at + 1).isLowSurrogate()) {
        *length = 2;
        return QChar::surrogateToUcs4(c, text.at(at + 1));
    }
    *length = 1;
    return c.unicode();
}

bool anyMustEscape(const QString &text)
{
    qsizetype length = 0;
    for (qsizetype at = 0; at < text.size(); at += length) {
        if (mustEscape(codePointAt(text, at, &length)))
            return true;
    }
    return false;
}

// A code point's UTF-8 bytes, written out by hand so that a lone surrogate
// keeps its own three bytes instead of becoming a replacement character.
QByteArray utf8Bytes(char32_t c)
{
    QByteArray bytes;
    if (c < 0x80) {
        bytes += char(c);
    } else if (c < 0x800) {
        bytes += char(0xc0 | (c >> 6));
        bytes += char(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        bytes += char(0xe0 | (c >> 12));
        bytes += char(0x80 | ((c >> 6) & 0x3f));
        bytes += char(0x80 | (c & 0x3f));
    } else {
        bytes += char(0xf0 | (c >> 18));
        bytes += char(0x80 | ((c >> 12) & 0x3f));
        bytes += char(0x80 | ((c >> 6) & 0x3f));
        bytes += char(0x80 | (c & 0x3f));
    }
    return bytes;
}

// How many bytes at bytes[at] are one character in UTF-8 as the standard
// has it (no overlong form, no surrogate, nothing past U+10FFFF); 0 when
// none starts there.
qsizetype utf8CharLength(const QByteArray &bytes, qsizetype at)
{
    const uchar first = uchar(bytes.at(at));
    qsizetype length = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (first < 0x80)
        return 1;
    if ((first & 0xe0) == 0xc0) {
        length = 2;
        c = first & 0x1f;
        least = 0x80;
    } else if ((first & 0xf0) == 0xe0) {
        length = 3;
        c = first & 0x0f;
        least = 0x800;
    } else if ((first & 0xf8) == 0xf0) {
        length = 4;
        c = first & 0x07;
        least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > bytes.size())
        return 0;
    for (qsizetype i = 1; i < length; ++i) {
        const uchar next = uchar(bytes.at(at + i));
        if ((next & 0xc0) != 0x80)
            return 0;
        c = (c << 6) | (next & 0x3f);
    }
    if (c < least || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff))
        return 0;
    return length;
}

QString escaped(const QByteArray &bytes)
{
    QString text;
    for (const char b : bytes)
        text += QStringLiteral("\\x") + QString::number(uchar(b), 16).rightJustified(2, u'0').toUpper();
    return text;
}

// Adds piece to shown when the limit leaves room for it; false when not.
bool append(QString *shown, const QString &piece, qsizetype limit)
{
    if (limit != Unbounded && shown->size() + piece.size() > limit)
        return false;
    *shown += piece;
    return true;
}

const QChar Ellipsis(0x2026);

} // namespace

QString Shown(const QByteArray &bytes, Encoding encoding, qsizetype limit)
{
    QString shown;
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype length = encoding == Encoding::Utf8 ? utf8CharLength(bytes, at) : LocalCharLength(bytes, at);
        const QByteArray raw = bytes.mid(at, length > 0 ? length : 1);
        QString piece;
        // ASCII is itself in every encoding: taken as it is, since a decoder
        // may drop a NUL (Windows' does).
        if (length == 1 && static_cast<uchar>(raw.at(0)) < 0x80)
            piece = QString(QLatin1Char(raw.at(0)));
        else if (length > 0)
            piece = encoding == Encoding::Utf8 ? QString::fromUtf8(raw) : QString::fromLocal8Bit(raw);
        if (length == 0 || anyMustEscape(piece))
            piece = escaped(raw);
        if (!append(&shown, piece, limit))
            return shown + Ellipsis;
        at += raw.size();
    }
    return shown;
}

QString Shown(const QString &text, qsizetype limit)
{
    QString shown;
    qsizetype length = 0;
    for (qsizetype at = 0; at < text.size(); at += length) {
        const char32_t c = codePointAt(text, at, &length);
        const QString piece = mustEscape(c) ? escaped(utf8Bytes(c)) : text.mid(at, length);
        if (!append(&shown, piece, limit))
            return shown + Ellipsis;
    }
    return shown;
}

qsizetype LocalCharLength(const QByteArray &bytes, qsizetype at)
{
    // Every encoding a locale uses (UTF-8, the Windows code pages) reads a
    // byte below 0x80 as that ASCII character; a NUL among them too, which
    // some decoders would drop.
    if (static_cast<uchar>(bytes.at(at)) < 0x80)
        return 1;
    // No encoding a locale uses needs more than four bytes for a character.
    for (qsizetype n = 1; n <= 4 && at + n <= bytes.size(); ++n) {
        const QByteArray piece = bytes.mid(at, n);
        const QString text = QString::fromLocal8Bit(piece);
        if (!text.isEmpty() && text.toLocal8Bit() == piece)
            return n;
    }
    return 0;
}

} // namespace OutsideText
