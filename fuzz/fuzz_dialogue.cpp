// The whole POP3 dialogue of a check, with the server's side as the input:
// its bytes arrive as they would over the socket, and the connection closes
// where the input ends.
//
// What must hold, for anything a server may send: nothing crashes; the
// client says USER, PASS, STAT and QUIT, in that order, each at most once,
// and nothing else; a check that succeeds said USER, PASS and STAT and has
// a count and a size of 0 or more; a failure says why in one line of
// plain text, bounded in length, with no control character, line or
// paragraph separator or mark that reorders text, and the password in it
// only where the server sent it.

#include "fuzzcheck.h"

#include "pop3dialogue.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace {

// The server's bytes, handed out as the socket channel hands them out.
class ScriptedChannel : public Pop3::LineChannel
{
public:
    explicit ScriptedChannel(const QByteArray &input)
        : m_input(input)
    {
    }

    Io send(const QByteArray &command, Pop3::Clock::time_point) override
    {
        sent.append(command);
        return Io::Ok;
    }

    Io readLine(Pop3::Clock::time_point, QByteArray *line) override
    {
        const qsizetype end = m_input.indexOf('\n', m_at);
        if (end < 0) {
            if (m_input.size() - m_at > Pop3::LineLimit)
                return Io::Overlong;
            return Io::Closed;
        }
        *line = m_input.mid(m_at, end + 1 - m_at);
        m_at = end + 1;
        return line->size() > Pop3::LineLimit ? Io::Overlong : Io::Ok;
    }

    QString failure() const override { return QStringLiteral("forbindelsen ble brutt"); }

    QList<QByteArray> sent;

private:
    QByteArray m_input;
    qsizetype m_at = 0;
};

const QByteArray User = "kari";
const QByteArray Password = "S3cr3t-pw";

bool safeText(const QString &text)
{
    if (text.isEmpty() || text.size() > 1200)
        return false;
    // Every mark that reorders text (U+202A..U+202E, U+2066..U+2069) is a
    // format character.
    for (const QChar c : text) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    ScriptedChannel channel(input);
    const auto now = Pop3::Clock::now();
    const Pop3::Bounds bounds{std::chrono::seconds(10), std::chrono::seconds(15), std::chrono::seconds(30),
                              std::chrono::seconds(2)};
    Pop3::Dialogue dialogue(channel, QStringLiteral("mail.example.no:110"), bounds, now, now);

    bool succeeded = false;
    qint64 count = -1, mailboxSize = -1;
    try {
        dialogue.logIn(User, Password);
        dialogue.stat(&count, &mailboxSize);
        succeeded = true;
        dialogue.quit();
    } catch (const Pop3Error &e) {
        const QString text = e.text();
        FUZZ_CHECK(safeText(text));
        FUZZ_CHECK(!text.contains(QString::fromLatin1(Password)) || input.contains(Password));
    }

    const QList<QByteArray> expected{"USER " + User, "PASS " + Password, "STAT", "QUIT"};
    FUZZ_CHECK(channel.sent.size() <= expected.size());
    for (qsizetype i = 0; i < channel.sent.size(); ++i) {
        // QUIT may come early: a refused login or STAT is told it.
        FUZZ_CHECK(channel.sent[i] == expected[i] || (channel.sent[i] == "QUIT" && i == channel.sent.size() - 1));
    }
    if (succeeded) {
        FUZZ_CHECK(channel.sent == expected);
        FUZZ_CHECK(count >= 0 && mailboxSize >= 0);
        FUZZ_CHECK(input.startsWith("+OK"));
    }
    return 0;
}
