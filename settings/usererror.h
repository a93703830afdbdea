#pragma once

#include <QString>

#include <stdexcept>

// The base of every error whose text is meant for the user's eyes: the
// settings store's, the POP3 client's and the ping's. The error report shows
// text() as it stands. Header-only and QtCore only, so that any library can
// throw it without depending on the settings store.
class UserError : public std::runtime_error
{
public:
    explicit UserError(const QString &text)
        : std::runtime_error(text.toStdString())
    {
    }
    // what() holds the same text in UTF-8.
    QString text() const { return QString::fromUtf8(what()); }
};
