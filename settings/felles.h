#pragma once

// The settings store shared by every window: the configuration folder, the one
// open settings file, the switch between the shared file and the current
// user's own file, and the machine identity.
//
// Module state is process-global on purpose: every window reads and writes
// through the same open file, and outside an event handler that file is
// always the shared one.

#include "inifile.h"
#include "settingserror.h"

#include <QByteArray>

#include <memory>

namespace Felles {

class IdentitySource;

// At most this many bytes are kept of a short text.
constexpr int ShortTextLength = 255;
QByteArray ShortText(const QByteArray &s);

// Module state, set by Initialize().
extern QByteArray ConfigDir;      // absolute, ends in a separator
extern QByteArray SharedIniPath;  // absolute path of KORVELIN.INI
extern QByteArray CurrentSection; // "STANDARD" outside a bracket
extern std::unique_ptr<IniFile> SettingsFile;
extern QByteArray UserNameCache; // the logon name as looked up, case kept

// Module start-up: choose the configuration folder, open the shared file and
// record the folder in it. Looks in the process's current folder first.
void Initialize();
// Module shutdown: flush the shared file unless it is read-only, release it.
void Finalize();

// Switch the open file. Each switch flushes the file being left (which
// writes it only when the program changed it; a read-only shared file is
// left unwritten), then reads the other file and makes it the open file.
// When the flush or the read fails, the file being left stays open (flushed,
// when the read failed) and SettingsError is thrown.
void UseUserSettings();
void UseSharedSettings();

// Reads the open file from disk again, dropping what was written to it since
// it was read or flushed: after a failed save, nothing abandoned reaches the
// disk later. A file that can no longer be read is replaced by the shared one.
void DiscardUnsavedChanges();

QByteArray ReadSetting(const QByteArray &key); // "" when absent, cut to 255
int ReadSettingInt(const QByteArray &key);     // 0 when absent or not a number
bool ReadSettingBool(const QByteArray &key);   // false when absent
void WriteSetting(const QByteArray &key, const QByteArray &value);
void RecordFolder(const QByteArray &name, QByteArray folder);

// Machine identity.
QByteArray LogonUserName();
QByteArray CurrentUserName(); // upper-cased, fills UserNameCache first
QByteArray NetworkDomain();

// The identity source in use; tests replace it. Passing nullptr restores the
// platform's own source.
void SetIdentitySource(std::unique_ptr<IdentitySource> source);

// The per-user file's path for the current user (checked: a name that would
// leave the configuration folder throws SettingsError).
QByteArray UserIniPath();

// The per-user bracket, for work on the current user's own file: switch to
// it, keep the current section, work, put the section back, switch back to
// the shared file.
//
// Opening switches to the per-user file (UseUserSettings; when that fails,
// SettingsError is thrown and the shared file stays open, flushed when only
// the per-user file failed) and notes CurrentSection.
// close() puts the section back, then switches back to the shared file,
// which flushes the per-user file; when the switch fails, SettingsError is
// thrown and the per-user file stays the open one, as after any failed
// switch. Left without close() (the work failed), the bracket only puts the
// section back: switching back could fail, and a destructor must not throw.
// The per-user file then stays open until the next switch.
class UserSettingsBracket
{
public:
    UserSettingsBracket();
    ~UserSettingsBracket();
    void close();

    UserSettingsBracket(const UserSettingsBracket &) = delete;
    UserSettingsBracket &operator=(const UserSettingsBracket &) = delete;

private:
    QByteArray m_savedSection;
    bool m_open = true;
};

} // namespace Felles
