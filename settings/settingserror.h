#pragma once

#include "usererror.h"

namespace Felles {

// Every failure of the settings store (a file that cannot be written, a user
// name that cannot name a file, a value a line-based file cannot hold) is
// raised as this, with a text meant for the user's eyes.
class SettingsError : public UserError
{
public:
    using UserError::UserError;
};

} // namespace Felles
