#include "testsupport.h"

#include "inifile.h"
#include "schema.h"
#include "scramble.h"

#include <QDir>

namespace TestSupport {

namespace {

// Installs a fake identity for the given user and returns it (owned by the store).
FakeIdentity *useIdentity(const QByteArray &user, const QByteArray &domain)
{
    auto fake = std::make_unique<FakeIdentity>();
    fake->userName = user;
    fake->domainValue = domain;
    FakeIdentity *raw = fake.get();
    Felles::SetIdentitySource(std::move(fake));
    return raw;
}

} // namespace

StoreFixture::StoreFixture(const QByteArray &user, const QByteArray &domain)
    : StoreFixture([&] {
        StoreOptions options;
        options.user = user;
        options.domain = domain;
        return options;
    }())
{
}

StoreFixture::StoreFixture(const StoreOptions &options)
    : m_previous(QDir::currentPath())
{
    const QDir dir(m_dir.path());
    QString work = m_dir.path();
    m_valid = m_dir.isValid();
    switch (options.shared) {
    case SharedFile::InWorkFolder:
        m_valid = m_valid && writeFile(QStringLiteral("KORVELIN.INI"), QByteArray());
        break;
    case SharedFile::InEtc:
        m_valid = m_valid && dir.mkpath(QStringLiteral("run")) && dir.mkpath(QStringLiteral("etc"));
        work = file(QStringLiteral("run"));
        break;
    case SharedFile::Nowhere:
        break;
    }
    m_valid = m_valid && QDir::setCurrent(work);
    identity = useIdentity(options.user, options.domain);
    // A name looked up from an earlier identity is not this one's.
    Felles::UserNameCache.clear();
    try {
        if (options.userFile) {
            // Named as the store names it; start-up looks the name up again.
            const QString name = QFile::decodeName(Felles::CurrentUserName() + ".INI");
            Felles::UserNameCache.clear();
            m_valid = m_valid && writeAll(QDir(configFolder(options.shared)).filePath(name), *options.userFile);
        }
        // Never started anywhere but in the fixture's own folder.
        if (options.start && m_valid)
            Felles::Initialize();
    } catch (...) {
        undo();
        throw;
    }
}

StoreFixture::~StoreFixture()
{
    undo();
}

void StoreFixture::undo()
{
    Felles::SettingsFile.reset();
    Felles::SetIdentitySource(nullptr);
    QDir::setCurrent(m_previous);
}

QString StoreFixture::configFolder(SharedFile shared) const
{
    return shared == SharedFile::InEtc ? file(QStringLiteral("etc")) : path();
}

QByteArray StoreFixture::readFile(const QString &name) const
{
    return readAll(file(name));
}

bool StoreFixture::writeFile(const QString &name, const QByteArray &data) const
{
    return writeAll(file(name), data);
}

QByteArray StoreFixture::value(const QString &name, const QByteArray &section, const QByteArray &key) const
{
    return Felles::IniFile(file(name)).readString(section, key);
}

QStringList StoreFixture::files() const
{
    return QDir(path()).entryList(QDir::Files | QDir::Hidden);
}

void savePop3Settings(const QByteArray &host, int port, const QByteArray &user, const QByteArray &password)
{
    namespace P = Felles::Schema::Pop3;
    Felles::UserSettingsBracket bracket;
    Felles::SettingsFile->writeString(P::ServerName.section, P::ServerName.key, host);
    Felles::SettingsFile->writeInteger(P::ServerPort.section, P::ServerPort.key, port);
    Felles::SettingsFile->writeString(P::ServerUser.section, P::ServerUser.key, user);
    Felles::SettingsFile->writeString(P::ServerPassword.section, P::ServerPassword.key,
                                      Felles::ScramblePassword(password));
    bracket.close();
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

} // namespace TestSupport
