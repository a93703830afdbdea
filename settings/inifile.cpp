#include "inifile.h"

#include "settingserror.h"

#include <QList>

namespace Felles {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

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

IniFile::IniFile(const QString &path, FileIo::Owner owner)
    : m_path(path)
    , m_owner(owner)
    , m_ownerOnly(owner == FileIo::Owner::CurrentUser)
{
    FileIo::removeStrayTemporaries(path);
    QByteArray data;
    FileIo::readFile(path, owner, &data);
    parse(data);
}

void IniFile::parse(const QByteArray &data)
{
    m_sections.clear();
    Section preamble;
    preamble.hasHeader = false;
    m_sections.push_back(preamble);

    for (QByteArray line : data.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        const QByteArray t = trimBlanks(line);
        Line l;
        if (t.startsWith('[') && t.contains(']')) {
            Section s;
            s.name = trimBlanks(t.mid(1, t.lastIndexOf(']') - 1));
            m_sections.push_back(s);
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (!t.isEmpty() && t.front() != ';' && t.front() != '#' && eq >= 0) {
            l.isEntry = true;
            l.key = trimBlanks(line.left(eq));
            l.value = decodeValue(line.mid(eq + 1));
        } else {
            l.value = line;
        }
        m_sections.back().lines.push_back(l);
    }
    // split() yields one empty piece after a final newline; it is not a line.
    auto &last = m_sections.back().lines;
    if (!last.empty() && !last.back().isEntry && last.back().value.isEmpty() && data.endsWith('\n'))
        last.pop_back();
    if (data.isEmpty())
        m_sections.back().lines.clear();
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

QByteArray IniFile::readString(const QByteArray &section, const QByteArray &key,
                               const QByteArray &defaultValue) const
{
    const Line *l = find(section, key);
    return l ? l->value : defaultValue;
}

qint64 IniFile::readInteger(const QByteArray &section, const QByteArray &key, qint64 defaultValue) const
{
    const Line *l = find(section, key);
    if (!l)
        return defaultValue;
    bool ok = false;
    const qint64 v = l->value.toLongLong(&ok, 10);
    return ok ? v : defaultValue;
}

bool IniFile::readBool(const QByteArray &section, const QByteArray &key, bool defaultValue) const
{
    const Line *l = find(section, key);
    if (!l)
        return defaultValue;
    bool ok = false;
    const qint64 v = l->value.toLongLong(&ok, 10);
    return ok ? v != 0 : defaultValue;
}

bool IniFile::canHold(const QByteArray &value)
{
    return !value.contains('\r') && !value.contains('\n');
}

void IniFile::writeString(const QByteArray &section, const QByteArray &key, const QByteArray &value)
{
    if (!canHold(value))
        throw SettingsError(QStringLiteral("Verdien for «%1» i [%2] inneholder et linjeskift og kan ikke lagres i %3.")
                                .arg(QString::fromLocal8Bit(key), QString::fromLocal8Bit(section), m_path));
    if (Line *l = find(section, key)) {
        if (l->value != value) {
            l->value = value;
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
    QByteArray out;
    for (const Section &s : m_sections) {
        if (s.hasHeader)
            out += '[' + s.name + "]\n";
        for (const Line &l : s.lines) {
            if (l.isEntry)
                out += l.key + '=' + encodeValue(l.value) + '\n';
            else
                out += l.value + '\n';
        }
    }
    return out;
}

void IniFile::flush()
{
    if (!m_changed && FileIo::exists(m_path))
        return;
    FileIo::writeFile(m_path, serialize(), m_owner, m_ownerOnly);
    m_changed = false;
}

} // namespace Felles
