// The host-name check: the rule for server names that the POP3 client and
// the ping share, and the POP3 client's URL form built on it.
//
// What must hold, for any input: nothing crashes; a name the rule accepts
// holds no blank or control character of any kind (which could end or split
// it on its way to the resolver or a program) and does not start with '-'
// (which a program could take for an option); the POP3 client accepts
// what the rule accepts (less the names that have no IDNA form), and the
// form it looks up is plain ASCII.
//
// The checks sit in one table: to point the target at another check, change
// its line there.

#include "fuzzcheck.h"

#include "pop3client.h"
#include "servername.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace {

bool ruleAccepts(const QByteArray &host)
{
    // The settings store's encoding, which the settings window shows and
    // the ping gets its host in.
    const QString text = QString::fromLocal8Bit(host);
    const ServerNameCheck checked = CheckServerName(text);
    if (!checked.accepted())
        return false;
    for (const uint c : text.toUcs4()) {
        const QChar::Category category = QChar::category(char32_t(c));
        FUZZ_CHECK(category != QChar::Other_Control && category != QChar::Other_Format
                   && category != QChar::Separator_Space && category != QChar::Separator_Line
                   && category != QChar::Separator_Paragraph);
    }
    FUZZ_CHECK(!checked.lookupForm().isEmpty());
    return true;
}

bool pop3ServerAccepts(const QByteArray &host)
{
    QString why;
    const QString form = Pop3Client::lookupHost(host, &why);
    // Either a form to look up or a reason, never both or neither.
    FUZZ_CHECK(form.isEmpty() != why.isEmpty());
    // What reaches the resolver is ASCII without blanks or controls.
    for (const QChar c : form)
        FUZZ_CHECK(c.unicode() > 0x20 && c.unicode() < 0x7f);
    // One rule: the client refuses nothing the rule accepts, but a name
    // that has no IDNA form or a link-local address without its zone.
    if (form.isEmpty() && CheckServerName(QString::fromLocal8Bit(host)).accepted())
        FUZZ_CHECK(why.contains(QStringLiteral("gyldig")) || why.contains(QStringLiteral("nettverkskort")));
    return !form.isEmpty();
}

struct HostCheck
{
    const char *name;
    bool (*accepts)(const QByteArray &host);
};

const HostCheck checks[] = {
    {"server name rule", ruleAccepts},
    {"POP3 server name", pop3ServerAccepts},
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
