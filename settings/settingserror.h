#pragma once

#include <stdexcept>
#include <string>

#include <QString>

namespace Felles {

// Every failure of the settings store (a file that cannot be written, a user
// name that cannot name a file, a value a line-based file cannot hold) is
// raised as this, with a text meant for the user's eyes.
class SettingsError : public std::runtime_error
{
public:
    explicit SettingsError(const QString &message)
        : std::runtime_error(message.toStdString()) {}
    QString text() const { return QString::fromStdString(what()); }
};

} // namespace Felles
