#pragma once

#include <QByteArray>

#include <memory>

namespace Felles {

// Where the logon user name and the machine's DNS domain come from. One
// implementation per platform (identity_posix.cpp, identity_win.cpp); tests
// supply their own.
class IdentitySource
{
public:
    virtual ~IdentitySource() = default;
    // False when the place that holds the logon name cannot be opened; the
    // caller then falls back to the USERNAME environment variable. True with
    // an empty name when it opens but holds no name.
    virtual bool logonUserName(QByteArray *name) = 0;
    // The two domain values, looked up afresh on every call; "" when missing.
    virtual QByteArray domain() = 0;
    virtual QByteArray dhcpDomain() = 0;
};

std::unique_ptr<IdentitySource> makePlatformIdentitySource();

} // namespace Felles
