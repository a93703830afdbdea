// The host-name checks: the POP3 client's check of its server name and the
// ping's check of its host.
//
// What must hold, for each check and any input: nothing crashes, and a name
// it accepts holds no control byte or blank (which could end or split it on
// its way to the resolver or a program) and does not start with '-' (which a
// program could take for an option).
//
// The checks sit in one table: to point the target at another check, change
// its line there.

#include "fuzzcheck.h"

#include "icmp_platform.h"
#include "icmpclient.h"
#include "pop3client.h"

#include <QByteArray>
#include <QString>

namespace {

bool pop3ServerAccepts(const QByteArray &host)
{
    QString why;
    const QByteArray url = Pop3Client::urlHost(host, &why);
    // Either a host for the URL or a reason, never both or neither.
    FUZZ_CHECK(url.isEmpty() != why.isEmpty());
    return !url.isEmpty();
}

bool pingHostAccepts(const QByteArray &host)
{
    // The ping takes the server name as the settings window shows it.
    try {
        IcmpPlatform::CheckHostName(QString::fromUtf8(host));
        return true;
    } catch (const IcmpError &) {
        return false;
    }
}

struct HostCheck
{
    const char *name;
    bool (*accepts)(const QByteArray &host);
};

const HostCheck checks[] = {
    {"POP3 server name", pop3ServerAccepts},
    {"ping host", pingHostAccepts},
};

bool wellFormed(const QByteArray &host)
{
    if (host.isEmpty() || host.startsWith('-'))
        return false;
    for (const char c : host) {
        if (uchar(c) <= 0x20 || c == 0x7f)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray host(reinterpret_cast<const char *>(data), qsizetype(size));
    const bool wanted = wellFormed(host);
    for (const HostCheck &check : checks) {
        if (check.accepts(host) && !wanted) {
            std::fprintf(stderr, "property broken: the %s check accepts a malformed name\n", check.name);
            std::abort();
        }
    }
    return 0;
}
