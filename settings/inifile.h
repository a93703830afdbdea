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
// is never decoded.
class IniFile
{
public:
    // Loads path when it exists; a missing file starts empty. A file that is
    // there but cannot or may not be read (see FileIo::readFile; owner says
    // whose it must be) throws SettingsError. Leftovers of a save of this
    // file that was killed are removed first.
    explicit IniFile(const QString &path, FileIo::Owner owner = FileIo::Owner::Anyone);

    QString path() const { return m_path; }
    FileIo::Owner owner() const { return m_owner; }

    QByteArray readString(const QByteArray &section, const QByteArray &key,
                          const QByteArray &defaultValue = QByteArray()) const;
    // Decimal integer; defaultValue when absent or not a number.
    qint64 readInteger(const QByteArray &section, const QByteArray &key, qint64 defaultValue = 0) const;
    // True when the stored integer is not 0; defaultValue when absent or not a number.
    bool readBool(const QByteArray &section, const QByteArray &key, bool defaultValue = false) const;

    bool hasKey(const QByteArray &section, const QByteArray &key) const;

    // Throws SettingsError, changing nothing, for a value a line-based file
    // cannot hold (see canHold).
    void writeString(const QByteArray &section, const QByteArray &key, const QByteArray &value);
    void writeInteger(const QByteArray &section, const QByteArray &key, qint64 value);
    void writeBool(const QByteArray &section, const QByteArray &key, bool value);

    // A value with CR or LF would split its line: such values are refused.
    static bool canHold(const QByteArray &value);

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
    struct Line {
        QByteArray key;   // empty for a comment, blank or unparsed line
        QByteArray value; // the decoded value, or the raw text of a non-entry line
        bool isEntry = false;
    };
    struct Section {
        QByteArray name;
        bool hasHeader = true; // false only for lines before the first header
        std::vector<Line> lines;
    };

    void parse(const QByteArray &data);
    const Line *find(const QByteArray &section, const QByteArray &key) const;
    Line *find(const QByteArray &section, const QByteArray &key)
    {
        return const_cast<Line *>(static_cast<const IniFile *>(this)->find(section, key));
    }
    Section &sectionFor(const QByteArray &section);

    QString m_path;
    std::vector<Section> m_sections;
    FileIo::Owner m_owner = FileIo::Owner::Anyone;
    bool m_ownerOnly = false;
    bool m_changed = false; // a value differs from what was read or flushed
};

} // namespace Felles
