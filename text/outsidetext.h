#pragma once

// Text the program did not write itself (a server's line, a certificate's
// names, a file name, a user name, a system message) as a message may show
// it. Every such text goes through Shown, with one rule:
//
// Each character is shown as itself, except those that could change how the
// message reads: control characters (a NUL ends a message early, a line
// break starts a line of the sender's choosing), format characters (among
// them U+202A..U+202E and U+2066..U+2069, which turn the text after them
// around, and invisible ones such as U+200B), line and paragraph separators,
// and bytes that are no character in their encoding. Each byte of those is
// written as \xNN (upper-case hex; for text that is already decoded, the
// bytes of its UTF-8 form).
//
// \xNN rather than '?' or U+FFFD: it keeps which bytes were there, so a
// stray CR can be told from a NUL and a file can still be found by its name;
// it is plain ASCII, so it can neither reorder, hide nor break the text; and
// it is not mistaken for a question mark the text really had. A backslash
// stays itself (Windows paths are full of them), and so does markup: the
// messages are plain text, so "<b>" is shown as those three characters.

#include <QByteArray>
#include <QString>

namespace OutsideText {

// How the bytes given to Shown are to be read.
enum class Encoding {
    Utf8,  // what a network protocol or a certificate sends
    Local, // the system's own bytes: file names, user names, settings values
};

// No bound on the length of what Shown gives.
constexpr qsizetype Unbounded = -1;

// The text as a message shows it. With a limit, at most that many UTF-16
// units of it, never cutting a character or a \xNN sequence, followed by
// U+2026 when something was left out.
QString Shown(const QByteArray &bytes, Encoding encoding, qsizetype limit = Unbounded);
QString Shown(const QString &text, qsizetype limit = Unbounded);

// How many bytes at bytes[at] the locale's encoding reads as one character
// and writes back as the same bytes; 0 when it cannot read one there.
qsizetype LocalCharLength(const QByteArray &bytes, qsizetype at);

} // namespace OutsideText
