#pragma once

// Small helpers shared by the tests: a temporary working folder for the
// settings store, a fake machine identity, and a way to make a flush fail
// even for root.

#include "felles.h"
#include "identity.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace TestSupport {

// The machine identity as a test wants it.
struct FakeIdentity : Felles::IdentitySource
{
    bool keyOpens = true;
    QByteArray userName;
    QByteArray domainValue;
    QByteArray dhcpDomainValue;
    int domainLookups = 0;
    int dhcpLookups = 0;

    bool logonUserName(QByteArray *name) override
    {
        if (!keyOpens)
            return false;
        *name = userName;
        return true;
    }
    QByteArray domain() override
    {
        ++domainLookups;
        return domainValue;
    }
    QByteArray dhcpDomain() override
    {
        ++dhcpLookups;
        return dhcpDomainValue;
    }
};

// Installs a fake identity for the given user and returns it (owned by the store).
inline FakeIdentity *useIdentity(const QByteArray &user, const QByteArray &domain = QByteArray())
{
    auto fake = std::make_unique<FakeIdentity>();
    fake->userName = user;
    fake->domainValue = domain;
    FakeIdentity *raw = fake.get();
    Felles::SetIdentitySource(std::move(fake));
    return raw;
}

// A temporary folder the process works in while the object lives.
class WorkDir
{
public:
    WorkDir()
        : m_previous(QDir::currentPath())
    {
        QDir::setCurrent(m_dir.path());
    }
    ~WorkDir() { QDir::setCurrent(m_previous); }
    QString path() const { return m_dir.path(); }
    QString file(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

// A work folder holding an empty KORVELIN.INI, with the settings store
// started on it for the given user.
class StoreFixture : public WorkDir
{
public:
    explicit StoreFixture(const QByteArray &user = "kari", const QByteArray &domain = "example.net")
    {
        QFile f(file(QStringLiteral("KORVELIN.INI")));
        f.open(QIODevice::WriteOnly);
        f.close();
        identity = useIdentity(user, domain);
        Felles::Initialize();
    }
    ~StoreFixture()
    {
        Felles::SettingsFile.reset();
        Felles::SetIdentitySource(nullptr);
    }
    QString userIni() const { return QFile::decodeName(Felles::UserIniPath()); }

    FakeIdentity *identity = nullptr;
};

inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void writeAll(const QString &path, const QByteArray &data)
{
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(data);
}

// While alive, no file may grow beyond a few bytes: every flush fails the
// way a full disk makes it fail, whoever the process runs as.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(long long bytes = 4);
    ~FileSizeLimit();
    bool ok() const { return m_ok; }

private:
    long long m_soft = 0;
    long long m_hard = 0;
    void (*m_oldHandler)(int) = nullptr;
    bool m_ok = false;
};

} // namespace TestSupport

namespace TestSupport {
// The mode bits of a file, as QFileInfo::permissions reports them.
inline constexpr QFileDevice::Permissions OwnerGroupOther = QFileDevice::ReadOwner | QFileDevice::WriteOwner
    | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
    | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
inline constexpr QFileDevice::Permissions OwnerReadWrite = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
} // namespace TestSupport
