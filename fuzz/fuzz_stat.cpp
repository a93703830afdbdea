// The POP3 STAT reply parser.
//
// What must hold, for any line a server may send: nothing crashes; a refusal
// says why; a reply that is taken starts with "+OK ", gives a count and a
// size of 0 or more, and written back as a reply parses to the same numbers.

#include "fuzzcheck.h"

#include "pop3client.h"

#include <QByteArray>
#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray line(reinterpret_cast<const char *>(data), qsizetype(size));
    qint64 count = -1, mailboxSize = -1;
    QString why;
    if (!Pop3Client::parseStatReply(line, &count, &mailboxSize, &why)) {
        FUZZ_CHECK(!why.isEmpty());
        return 0;
    }
    FUZZ_CHECK(line.startsWith("+OK "));
    FUZZ_CHECK(count >= 0 && mailboxSize >= 0);

    const QByteArray again = "+OK " + QByteArray::number(count) + ' ' + QByteArray::number(mailboxSize) + "\r\n";
    qint64 count2 = -1, size2 = -1;
    FUZZ_CHECK(Pop3Client::parseStatReply(again, &count2, &size2, &why));
    FUZZ_CHECK(count2 == count && size2 == mailboxSize);
    return 0;
}
