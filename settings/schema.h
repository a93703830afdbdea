#pragma once

// The per-user mail settings file: every section, key and value form, and the
// settings-window control each one is saved from. Readers and the writer take
// their names from here and nowhere else.

namespace Felles::Schema {

enum class Form {
    Text,      // stored as is, read back cut to 255 bytes
    Scrambled, // text through ScramblePassword / UnscramblePassword
    Boolean,   // 1 or 0, false when absent
    Integer,   // decimal, 0 when absent
};

struct Entry
{
    const char *section;
    const char *key;
    Form form;
    const char *control; // settings-window control; nullptr when never written
};

inline constexpr char Pop3Section[] = "Pop3";
inline constexpr char SmtpSection[] = "Smtp";
inline constexpr char EmailSection[] = "Email";

namespace Pop3 {
inline constexpr Entry ServerName{Pop3Section, "ServerName", Form::Text, "POPServer"};
inline constexpr Entry ServerPort{Pop3Section, "ServerPort", Form::Integer, nullptr};
inline constexpr Entry ServerUser{Pop3Section, "ServerUser", Form::Text, "Account"};
inline constexpr Entry ServerPassword{Pop3Section, "ServerPassword", Form::Scrambled, "Password"};
inline constexpr Entry StartupCheck{Pop3Section, "StartupCheck", Form::Boolean, "cNye"};
inline constexpr Entry Scheduler{Pop3Section, "Scheduler", Form::Boolean, "cSchedule"};
inline constexpr Entry ScheduleMinutes{Pop3Section, "ScheduleMinutes", Form::Text, "eMinutt"};
inline constexpr Entry ShowList{Pop3Section, "ShowList", Form::Boolean, "cListe"};
inline constexpr Entry HideWindow{Pop3Section, "HideWindow", Form::Boolean, "cHide"};
inline constexpr Entry BeepOnMail{Pop3Section, "BeepOnMail", Form::Boolean, "cBeep"};
inline constexpr Entry ShowOnNew{Pop3Section, "ShowOnNew", Form::Boolean, "cVismelding"};
inline constexpr Entry ShowListOnNew{Pop3Section, "ShowListOnNew", Form::Boolean, "VisNyListe"};
} // namespace Pop3

namespace Smtp {
inline constexpr Entry ServerName{SmtpSection, "ServerName", Form::Text, "SMTPServer"};
inline constexpr Entry ServerUser{SmtpSection, "ServerUser", Form::Text, "edtAccount"};
inline constexpr Entry ServerPassword{SmtpSection, "ServerPassword", Form::Text, "edtPassword"};
// The selected index of the drop-down list: 0 no login, 1 simple login.
inline constexpr Entry AuthenticationType{SmtpSection, "SMTPAuthenticationType", Form::Integer, "cboAuthType"};
} // namespace Smtp

namespace Email {
inline constexpr Entry PersonalEmail{EmailSection, "PersonalEmail", Form::Text, "Email"};
inline constexpr Entry EmailName{EmailSection, "EmailName", Form::Text, "eNavn"};
} // namespace Email

// Every key the settings window saves, in the order it writes them; that is
// also the order in which the keys first appear in a new file.
// clang-format off
inline constexpr Entry Saved[] = {
    Pop3::ServerName, Pop3::ServerUser, Pop3::ServerPassword, Pop3::StartupCheck,
    Pop3::Scheduler, Pop3::ScheduleMinutes, Pop3::ShowList, Pop3::HideWindow,
    Pop3::BeepOnMail, Pop3::ShowOnNew, Pop3::ShowListOnNew,
    Smtp::ServerName, Smtp::ServerUser, Smtp::ServerPassword,
    Email::PersonalEmail, Email::EmailName,
    Smtp::AuthenticationType,
};
// clang-format on

} // namespace Felles::Schema
