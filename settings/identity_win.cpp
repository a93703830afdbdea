#include "identity.h"

#include "settingserror.h"

#include <windows.h>

namespace Felles {

namespace {

// The machine-wide registry hive holds the logon name and the TCP/IP domain.
// Keys are opened with creation allowed, as the program has always done.
class RegistryKey
{
public:
    explicit RegistryKey(const char *path)
    {
        m_ok = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_READ, nullptr, &m_key, nullptr)
                == ERROR_SUCCESS
            || RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &m_key) == ERROR_SUCCESS;
    }
    ~RegistryKey()
    {
        if (m_ok)
            RegCloseKey(m_key);
    }
    bool isOpen() const { return m_ok; }

    // "" when the value is missing; a value of another type is an error.
    QByteArray readString(const char *value) const
    {
        if (!m_ok)
            return QByteArray();
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExA(m_key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return QByteArray();
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            throw SettingsError(QStringLiteral("Ugyldig datatype for registerverdien %1").arg(QLatin1String(value)));
        QByteArray buf(int(size), '\0');
        if (RegQueryValueExA(m_key, value, nullptr, nullptr, reinterpret_cast<BYTE *>(buf.data()), &size)
            != ERROR_SUCCESS)
            return QByteArray();
        return QByteArray(buf.constData()); // up to the terminating NUL
    }

private:
    HKEY m_key = nullptr;
    bool m_ok = false;
};

class RegistryIdentitySource final : public IdentitySource
{
public:
    bool logonUserName(QByteArray *name) override
    {
        RegistryKey key("Network\\Logon");
        if (!key.isOpen())
            return false;
        *name = key.readString("Username");
        return true;
    }
    QByteArray domain() override
    {
        return RegistryKey("System\\CurrentControlSet\\Services\\TCPIP\\Parameters").readString("Domain");
    }
    QByteArray dhcpDomain() override
    {
        return RegistryKey("System\\CurrentControlSet\\Services\\TCPIP\\Parameters").readString("DhcpDomain");
    }
};

} // namespace

std::unique_ptr<IdentitySource> makePlatformIdentitySource()
{
    return std::make_unique<RegistryIdentitySource>();
}

} // namespace Felles
