#pragma once

#include <QByteArray>

namespace Felles {

// The stored form of the POP3 password: not a cipher, only a shift that keeps
// the password from being read at a glance. Works on bytes.
QByteArray ScramblePassword(const QByteArray &plain);
QByteArray UnscramblePassword(const QByteArray &stored);

} // namespace Felles
