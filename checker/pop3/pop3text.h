#pragma once

// The two ways the POP3 client words what it did not write itself: text
// from outside (a server's line, a certificate's names, a settings value)
// and a span of time. Every message of the client that shows such text
// goes through these.

#include <QByteArray>
#include <QString>

#include <chrono>

namespace Pop3Text {

// How much of an outside text a message quotes.
constexpr int QuoteLimit = 200;

// Outside text as the user may see it: one line of plain characters,
// bounded in length. Line ends at its end are dropped; control characters,
// line and paragraph separators and the marks that reorder text become '?'.
QString Quote(const QByteArray &utf8);
QString Quote(QString text);

// A span of time as the user reads it: whole seconds, tenths below one
// ("0,3 sekunder", "1 sekund", "15 sekunder").
QString Seconds(std::chrono::steady_clock::duration span);

} // namespace Pop3Text
