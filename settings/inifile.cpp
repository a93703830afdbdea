#include "inifile.h"

#include "outsidetext.h"
#include "settingserror.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <optional>

namespace Felles {

using OutsideText::Encoding;
using OutsideText::Shown;

namespace {

constexpr char ByteOrderMark[] = "\xEF\xBB\xBF";

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArray trimBlanks(const QByteArray &s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && isBlank(s.at(b)))
        ++b;
    while (e > b && isBlank(s.at(e - 1)))
        --e;
    return s.mid(b, e - b);
}

bool sameName(const QByteArray &a, const QByteArray &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool isQuoted(const QByteArray &v)
{
    return v.size() >= 2 && v.startsWith('"') && v.endsWith('"');
}

// Readers trim blanks around '=' and strip one pair of surrounding quotes, so
// a value that would lose something to either is written inside quotes.
QByteArray encodeValue(const QByteArray &v)
{
    if (v.isEmpty())
        return v;
    if (isBlank(v.front()) || isBlank(v.back()) || isQuoted(v))
        return '"' + v + '"';
    return v;
}

QByteArray decodeValue(const QByteArray &raw)
{
    QByteArray v = trimBlanks(raw);
    if (isQuoted(v))
        v = v.mid(1, v.size() - 2);
    return v;
}

} // namespace

IniFile::IniFile(const QByteArray &path, FileIo::Owner owner)
    : m_path(path)
    , m_owner(owner)
    , m_ownerOnly(owner == FileIo::Owner::CurrentUser)
{
    FileIo::removeStrayTemporaries(path);
    QByteArray data;
    FileIo::readFile(path, owner, &data);
    parse(data);
}

IniFile::IniFile(const QString &path, FileIo::Owner owner)
    : IniFile(QFile::encodeName(path), owner)
{
}

IniFile IniFile::fromText(const QByteArray &text)
{
    IniFile file;
    file.parse(text);
    return file;
}

QString IniFile::displayPath() const
{
    return Shown(m_path, Encoding::Local);
}

void IniFile::parse(const QByteArray &data)
{
    m_sections.clear();
    Section preamble;
    preamble.hasHeader = false;
    m_sections.push_back(preamble);
    m_byteOrderMark = data.startsWith(ByteOrderMark);

    // Every line ending (LineEndLength) ends a line, so no line, and no
    // value, ever holds a line break. Each line keeps its own
    // ending for the rewrite; the file's ending, for lines made here, is the
    // kind most lines use. A CR just before a CR LF (an editor that turned
    // every LF into CR LF once too often) says nothing about the file's kind.
    struct Kind
    {
        QByteArray end;
        int count = 0;
    };
    std::vector<Kind> kinds; // in the order first seen
    bool doubledCrLf = false;
    qsizetype at = m_byteOrderMark ? qsizetype(sizeof ByteOrderMark - 1) : 0;
    bool skipNextVote = false;
    while (at < data.size()) {
        qsizetype end = at;
        while (end < data.size() && !IsLineBreak(data.at(end)))
            ++end;
        if (end == data.size()) {
            parseLine(data.mid(at, end - at), QByteArray());
            break;
        }
        const qsizetype endLength = LineEndLength(data, end);
        const QByteArray lineEnd = data.mid(end, endLength);
        parseLine(data.mid(at, end - at), lineEnd);
        const bool strayCr = lineEnd == "\r" && LineEndLength(data, end + 1) == 2;
        if (strayCr) {
            doubledCrLf = true;
            skipNextVote = true;
        } else if (skipNextVote) {
            skipNextVote = false;
        } else {
            auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const Kind &k) { return k.end == lineEnd; });
            if (kind == kinds.end())
                kinds.push_back({lineEnd, 1});
            else
                ++kind->count;
        }
        at = end + endLength;
    }
    const Kind *most = nullptr;
    for (const Kind &k : kinds)
        if (!most || k.count > most->count)
            most = &k;
    m_lineEnd = most ? most->end : doubledCrLf ? QByteArray("\r\n") : QByteArray("\n");
}

void IniFile::parseLine(const QByteArray &line, const QByteArray &end)
{
    const QByteArray t = trimBlanks(line);
    if (t.startsWith('[') && t.contains(']')) {
        Section s;
        s.name = trimBlanks(t.mid(1, t.indexOf(']') - 1));
        s.header = line;
        s.headerEnd = end;
        m_sections.push_back(s);
        return;
    }
    Line l;
    l.end = end;
    const qsizetype eq = line.indexOf('=');
    if (!t.isEmpty() && t.front() != ';' && t.front() != '#' && eq >= 0) {
        l.isEntry = true;
        l.key = trimBlanks(line.left(eq));
        l.value = decodeValue(line.mid(eq + 1));
        l.text = line;
    } else {
        l.value = line;
    }
    m_sections.back().lines.push_back(l);
}

const IniFile::Line *IniFile::find(const QByteArray &section, const QByteArray &key) const
{
    for (const Section &s : m_sections) {
        if (!s.hasHeader || !sameName(s.name, section))
            continue;
        for (const Line &l : s.lines)
            if (l.isEntry && sameName(l.key, key))
                return &l;
    }
    return nullptr;
}

IniFile::Section &IniFile::sectionFor(const QByteArray &section)
{
    for (Section &s : m_sections)
        if (s.hasHeader && sameName(s.name, section))
            return s;
    // Keep a blank line between the previous section and the new one.
    Section &prev = m_sections.back();
    if (!prev.lines.empty() && !(prev.lines.back().value.isEmpty() && !prev.lines.back().isEntry)) {
        prev.lines.push_back(Line());
    }
    Section s;
    s.name = section;
    m_sections.push_back(s);
    return m_sections.back();
}

bool IniFile::hasKey(const QByteArray &section, const QByteArray &key) const
{
    return find(section, key) != nullptr;
}

QByteArray IniFile::readString(const QByteArray &section, const QByteArray &key, const QByteArray &defaultValue) const
{
    const Line *l = find(section, key);
    return l ? l->value : defaultValue;
}

namespace {

// The one reading of a stored number, behind every reader of numbers and
// marks: decimal, 64 bits; nothing for an absent value (nullptr) or one
// that is not a number.
std::optional<qint64> storedNumber(const QByteArray *value)
{
    bool ok = false;
    const qint64 v = value ? value->toLongLong(&ok, 10) : 0;
    return ok ? std::optional<qint64>(v) : std::nullopt;
}

} // namespace

qint64 IniFile::readInteger(const QByteArray &section, const QByteArray &key, qint64 defaultValue) const
{
    const Line *l = find(section, key);
    return storedNumber(l ? &l->value : nullptr).value_or(defaultValue);
}

bool IniFile::readBool(const QByteArray &section, const QByteArray &key, bool defaultValue) const
{
    const Line *l = find(section, key);
    const std::optional<qint64> v = storedNumber(l ? &l->value : nullptr);
    return v ? *v != 0 : defaultValue;
}

bool IniFile::canHold(const QByteArray &value)
{
    return std::none_of(value.begin(), value.end(), IsLineBreak);
}

bool IniFile::canName(const QByteArray &name)
{
    for (const char c : name)
        if (c == '=' || c == ']' || IsLineBreak(c))
            return false;
    if (name.isEmpty())
        return true;
    const char first = name.front();
    return first != ';' && first != '#' && first != '[' && !isBlank(first) && !isBlank(name.back());
}

void IniFile::writeString(const QByteArray &section, const QByteArray &key, const QByteArray &value)
{
    const QString nameRule = QStringLiteral("et navn kan ikke inneholde «=», «]» eller linjeskift, ikke begynne "
                                            "med «;», «#» eller «[», og ikke begynne eller slutte med mellomrom.");
    if (!canName(section))
        throw SettingsError(QStringLiteral("Seksjonsnavnet «%1» kan ikke lagres i %2: %3")
                                .arg(Shown(section, Encoding::Local), displayPath(), nameRule));
    if (!canName(key))
        throw SettingsError(
            QStringLiteral("Nøkkelnavnet «%1» i [%2] kan ikke lagres i %3: %4")
                .arg(Shown(key, Encoding::Local), Shown(section, Encoding::Local), displayPath(), nameRule));
    if (!canHold(value))
        throw SettingsError(QStringLiteral("Verdien for «%1» i [%2] inneholder et linjeskift og kan ikke lagres i %3.")
                                .arg(Shown(key, Encoding::Local), Shown(section, Encoding::Local), displayPath()));
    if (Line *l = find(section, key)) {
        if (l->value != value) {
            l->value = value;
            l->text.clear();
            m_changed = true;
        }
        return;
    }
    Section &s = sectionFor(section);
    // New keys go after the section's last entry, before trailing blank lines.
    auto pos = s.lines.end();
    while (pos != s.lines.begin() && !(pos - 1)->isEntry && (pos - 1)->value.trimmed().isEmpty())
        --pos;
    Line l;
    l.isEntry = true;
    l.key = key;
    l.value = value;
    s.lines.insert(pos, l);
    m_changed = true;
}

void IniFile::writeInteger(const QByteArray &section, const QByteArray &key, qint64 value)
{
    writeString(section, key, QByteArray::number(value));
}

void IniFile::writeBool(const QByteArray &section, const QByteArray &key, bool value)
{
    writeString(section, key, value ? QByteArrayLiteral("1") : QByteArrayLiteral("0"));
}

QByteArray IniFile::serialize() const
{
    // Every line but a new one keeps its own ending; only the last line of
    // a file can have none, and it gets one here.
    const auto ending = [this](const QByteArray &end) { return end.isEmpty() ? m_lineEnd : end; };
    QByteArray out;
    if (m_byteOrderMark)
        out += ByteOrderMark;
    for (const Section &s : m_sections) {
        if (s.hasHeader)
            out += (s.header.isEmpty() ? '[' + s.name + ']' : s.header) + ending(s.headerEnd);
        for (const Line &l : s.lines) {
            if (!l.isEntry)
                out += l.value;
            else if (!l.text.isEmpty())
                out += l.text;
            else
                out += l.key + '=' + encodeValue(l.value);
            out += ending(l.end);
        }
    }
    return out;
}

std::vector<IniFile::Entry> IniFile::entries() const
{
    std::vector<Entry> all;
    for (const Section &s : m_sections) {
        if (!s.hasHeader)
            continue;
        for (const Line &l : s.lines)
            if (l.isEntry)
                all.push_back({s.name, l.key, l.value});
    }
    return all;
}

void IniFile::flush()
{
    if (m_path.isEmpty())
        throw SettingsError(QStringLiteral("Innstillingene hører ikke til noen fil og kan ikke lagres."));
    if (!m_changed && FileIo::exists(m_path))
        return;
    FileIo::writeFile(m_path, serialize(), m_owner, m_ownerOnly);
    m_changed = false;
}

qsizetype LineEndLength(const QByteArray &bytes, qsizetype at)
{
    if (at >= bytes.size() || !IsLineBreak(bytes.at(at)))
        return 0;
    return bytes.at(at) == '\r' && at + 1 < bytes.size() && bytes.at(at + 1) == '\n' ? 2 : 1;
}

} // namespace Felles
