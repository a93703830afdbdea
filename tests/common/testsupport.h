#pragma once

// Small helpers shared by the tests and the benchmark: the settings store
// started on a temporary configuration folder with a fake machine identity,
// file helpers, and a way to make a flush fail even for root.

#include "felles.h"
#include "identity.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>

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

// Where start-up finds the shared file.
enum class SharedFile {
    InWorkFolder, // an empty ./KORVELIN.INI
    InEtc,        // the process works in run/ and start-up takes ../etc/, which holds no KORVELIN.INI yet
    Nowhere,      // neither: the test lays out what start-up is to find, then starts the store itself
};

struct StoreOptions
{
    QByteArray user = "kari";
    QByteArray domain = "example.no";
    SharedFile shared = SharedFile::InWorkFolder;
    // The per-user file's text before start-up; without it there is no such file.
    std::optional<QByteArray> userFile;
    // Whether the fixture starts the store (Felles::Initialize) or the test does.
    bool start = true;
};

// A temporary configuration folder the process works in, a fake identity,
// and the settings store started on them. All of it is undone when the
// object goes: the open file released, the platform's identity back, the
// process back in its previous folder.
class StoreFixture
{
public:
    explicit StoreFixture(const StoreOptions &options = {});
    explicit StoreFixture(const QByteArray &user, const QByteArray &domain = "example.no");
    ~StoreFixture();
    StoreFixture(const StoreFixture &) = delete;
    StoreFixture &operator=(const StoreFixture &) = delete;

    // Whether the folder and the files asked for could be made, and the
    // process moved into it.
    bool isValid() const { return m_valid; }
    // The temporary folder, and a path inside it (with SharedFile::InEtc the
    // process works in its run/, and the configuration folder is its etc/).
    QString path() const { return m_dir.path(); }
    QString file(const QString &name) const { return m_dir.filePath(name); }
    // The per-user file's path as the store names it.
    QString userIni() const { return QFile::decodeName(Felles::UserIniPath()); }

    QByteArray readFile(const QString &name) const;
    bool writeFile(const QString &name, const QByteArray &data) const;
    // One value from a settings file in the folder, as the store reads it (uncut).
    QByteArray value(const QString &name, const QByteArray &section, const QByteArray &key) const;
    QStringList files() const;

    FakeIdentity *identity = nullptr;

private:
    QString configFolder(SharedFile shared) const;
    void undo();

    QTemporaryDir m_dir;
    QString m_previous;
    bool m_valid = false;
};

// Stores POP3 settings in the current user's own file through the per-user
// bracket, the password scrambled as the settings window stores it. The
// port, which the window never writes, goes in as a user adds it by hand.
void savePop3Settings(const QByteArray &host, int port, const QByteArray &user, const QByteArray &password);

QByteArray readAll(const QString &path);
bool writeAll(const QString &path, const QByteArray &data);

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

// The mode bits of a file, as QFileInfo::permissions reports them.
inline constexpr QFileDevice::Permissions OwnerGroupOther = QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                          | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                                                          | QFileDevice::WriteGroup | QFileDevice::ExeGroup
                                                          | QFileDevice::ReadOther | QFileDevice::WriteOther
                                                          | QFileDevice::ExeOther;
inline constexpr QFileDevice::Permissions OwnerReadWrite = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

} // namespace TestSupport
