#include "identity.h"

#include <QFile>

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace Felles {

namespace {

// The account database stands for the logon key; the resolver's configuration
// and the host name stand for the two domain values. Nothing here asks DNS.
class PosixIdentitySource final : public IdentitySource
{
public:
    bool logonUserName(QByteArray *name) override
    {
        long size = sysconf(_SC_GETPW_R_SIZE_MAX);
        std::vector<char> buf(size > 0 ? size_t(size) : 16384);
        struct passwd pw;
        struct passwd *found = nullptr;
        if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found)
            return false;
        *name = QByteArray(found->pw_name);
        return true;
    }

    QByteArray domain() override
    {
        QFile f(QStringLiteral("/etc/resolv.conf"));
        if (!f.open(QIODevice::ReadOnly))
            return QByteArray();
        QByteArray search;
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QList<QByteArray> words = line.simplified().split(' ');
            if (words.size() < 2)
                continue;
            if (words[0] == "domain")
                return words[1];
            if (words[0] == "search" && search.isEmpty())
                search = words[1];
        }
        return search;
    }

    QByteArray dhcpDomain() override
    {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) != 0)
            return QByteArray();
        const QByteArray h(host);
        const qsizetype dot = h.indexOf('.');
        return dot < 0 ? QByteArray() : h.mid(dot + 1);
    }
};

} // namespace

std::unique_ptr<IdentitySource> makePlatformIdentitySource()
{
    return std::make_unique<PosixIdentitySource>();
}

} // namespace Felles
