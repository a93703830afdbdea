#pragma once

// The two ways the POP3 client words what it did not write itself: text
// from outside (a server's line, a certificate's names, a settings value)
// and a span of time. Every message of the client that shows such text
// goes through these; outside text by the rule all of the program's
// messages show it with (OutsideText::Shown).

#include <QByteArray>
#include <QString>

#include <chrono>

namespace Pop3Text {

// How much of an outside text a message quotes.
constexpr int QuoteLimit = 200;

// Outside text as the user may see it (OutsideText::Shown), bounded to
// QuoteLimit. A server's line (UTF-8) is quoted without the line end it
// ends with; a settings value is read in the local encoding.
QString Quote(const QByteArray &line);
QString QuoteSetting(const QByteArray &local);
QString Quote(const QString &text);

// A span of time as the user reads it: whole seconds, tenths below one
// ("0,3 sekunder", "1 sekund", "15 sekunder").
QString Seconds(std::chrono::steady_clock::duration span);

} // namespace Pop3Text
