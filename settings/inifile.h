#pragma once

#include "fileio.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace Felles {

// The in-memory INI file: the whole file is held as sections of key/value
// pairs, reads and writes touch only memory, and flush() writes it back.
//
// Written by hand rather than taken from a library: the store must give back
// byte for byte what it wrote (scrambled passwords use every byte value), and
// the INI libraries on Debian drop or split values containing NUL or CR.
//
// Names match without regard to ASCII letter case. Values are bytes; the file
// is never decoded. CR LF, LF and a lone CR all end a line (IsLineBreak,
// LineEndLength). A rewrite keeps
// every line it did not change as it was read, its line ending included, and
// the UTF-8 byte-order mark when there was one; new lines (and a last line
// that had none) get the file's own line ending: the one most of its lines
// use, the first of them on a tie (LF for a new file).
class IniFile
{
public:
    // Loads path when it exists; a missing file starts empty. A file that is
    // there but cannot or may not be read (see FileIo::readFile; owner says
    // whose it must be) throws SettingsError. Leftovers of a save of this
    // file that was killed are removed first.
    //
    // The path is the system's own bytes (see FileIo), so a name the locale
    // cannot read still names its own file.
    explicit IniFile(const QByteArray &path, FileIo::Owner owner = FileIo::Owner::Anyone);
    // The same for a path held as text, written out with QFile::encodeName.
    explicit IniFile(const QString &path, FileIo::Owner owner = FileIo::Owner::Anyone);

    // An object over text that belongs to no file: nothing is read or
    // removed, and flush() refuses to write.
    static IniFile fromText(const QByteArray &text);

    // The path as given: the system's bytes, for opening the file.
    QByteArray nativePath() const { return m_path; }
    // The path as a message shows it (OutsideText::Shown); never for opening a
    // file.
    QString displayPath() const;
    FileIo::Owner owner() const { return m_owner; }

    QByteArray readString(const QByteArray &section, const QByteArray &key,
                          const QByteArray &defaultValue = QByteArray()) const;
    // Decimal integer; defaultValue when absent or not a number.
    qint64 readInteger(const QByteArray &section, const QByteArray &key, qint64 defaultValue = 0) const;
    // True when the stored integer is not 0; defaultValue when absent or not a number.
    bool readBool(const QByteArray &section, const QByteArray &key, bool defaultValue = false) const;

    bool hasKey(const QByteArray &section, const QByteArray &key) const;

    // Throws SettingsError, changing nothing, for a name or a value that
    // would not read back as itself (see canName and canHold).
    void writeString(const QByteArray &section, const QByteArray &key, const QByteArray &value);
    void writeInteger(const QByteArray &section, const QByteArray &key, qint64 value);
    void writeBool(const QByteArray &section, const QByteArray &key, bool value);

    // A value with a line break (IsLineBreak) would split its line: such
    // values are refused.
    static bool canHold(const QByteArray &value);
    // A section or key name must read back as the same name from its line:
    // no '=', ']' or line break (IsLineBreak) in it, no ';', '#' or '['
    // first, no blank first or last.
    static bool canName(const QByteArray &name);

    struct Entry
    {
        QByteArray section;
        QByteArray key;
        QByteArray value;
    };
    // Every entry under a section header, in file order.
    std::vector<Entry> entries() const;

    // Writes the memory copy to path (FileIo::writeFile: atomically where it
    // can) when a write changed a value since the file was read or last
    // flushed, or when there is no file at path; otherwise leaves the disk
    // alone, so that an unchanged copy never undoes another program's save.
    // On failure throws SettingsError naming the file and the reason; the
    // file on disk is then left as it was. A file created here gets the mode
    // given by setNewFileOwnerOnly.
    void flush();

    // New files made by flush() are readable and writable by the owner only
    // (always so for a file of Owner::CurrentUser).
    void setNewFileOwnerOnly(bool on) { m_ownerOnly = on; }

    // The file's text as flush() would write it.
    QByteArray serialize() const;

private:
    struct Line
    {
        QByteArray key;   // empty for a comment, blank or unparsed line
        QByteArray value; // the decoded value, or the raw text of a non-entry line
        QByteArray text;  // an entry's line as read; empty once its value changed
        QByteArray end;   // the line ending as read; empty for a line made here
        bool isEntry = false;
    };
    struct Section
    {
        QByteArray name;
        // The header line as read, written back unchanged so that nothing
        // after its ']' is lost; empty for a section made by writeString.
        QByteArray header;
        QByteArray headerEnd;  // the header line's ending as read
        bool hasHeader = true; // false only for lines before the first header
        std::vector<Line> lines;
    };

    IniFile() = default;
    void parse(const QByteArray &data);
    void parseLine(const QByteArray &line, const QByteArray &end);
    const Line *find(const QByteArray &section, const QByteArray &key) const;
    Line *find(const QByteArray &section, const QByteArray &key)
    {
        return const_cast<Line *>(static_cast<const IniFile *>(this)->find(section, key));
    }
    Section &sectionFor(const QByteArray &section);

    QByteArray m_path;
    std::vector<Section> m_sections;
    QByteArray m_lineEnd = "\n";
    bool m_byteOrderMark = false;
    FileIo::Owner m_owner = FileIo::Owner::Anyone;
    bool m_ownerOnly = false;
    bool m_changed = false; // a value differs from what was read or flushed
};

// The one rule for what ends a line of a settings file, behind the reader,
// the choice of the file's own line ending and what a name or a value may
// hold: CR LF, LF, and a lone CR (old editors write CR alone).
//
// True for CR and LF, the bytes a line ending is made of.
constexpr bool IsLineBreak(char c)
{
    return c == '\r' || c == '\n';
}
// The length of the line ending that starts at bytes[at]: 2 for CR LF, 1 for
// a lone CR or LF, 0 when none starts there (at the end of bytes included).
qsizetype LineEndLength(const QByteArray &bytes, qsizetype at);

} // namespace Felles
