// Runs the settings store in a process of its own, so that tests can run it
// as another user (setpriv) or have it killed in the middle of a save.
//
//   settings_probe start         the store's start-up, a reader's bracket on
//                                the per-user file and shutdown, in the
//                                current folder
//   settings_probe where         the same, and prints the folder chosen
//   settings_probe set FILE TEXT writes TEXT as [Pop3] ServerName of FILE
//                                and flushes it
//   settings_probe save TEXT     the store's start-up, TEXT written as
//                                [Pop3] ServerName of the per-user file
//                                through its bracket, and shutdown
// prints "ok" (exit 0) or "error=TEXT" (exit 1).

#include "felles.h"
#include "inifile.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    try {
        if (args.size() == 2 && (args[1] == QLatin1String("start") || args[1] == QLatin1String("where"))) {
            Felles::Initialize();
            Felles::UserSettingsBracket().close();
            if (args[1] == QLatin1String("where"))
                std::printf("folder=%s\n", Felles::ConfigDir.constData());
            Felles::Finalize();
        } else if (args.size() == 3 && args[1] == QLatin1String("save")) {
            Felles::Initialize();
            Felles::UserSettingsBracket bracket;
            Felles::SettingsFile->writeString("Pop3", "ServerName", args[2].toLocal8Bit());
            bracket.close();
            Felles::Finalize();
        } else if (args.size() == 4 && args[1] == QLatin1String("set")) {
            Felles::IniFile file(args[2]);
            file.writeString("Pop3", "ServerName", args[3].toLocal8Bit());
            file.flush();
        } else {
            std::fprintf(stderr, "usage: settings_probe start | where | set FILE TEXT | save TEXT\n");
            return 2;
        }
    } catch (const Felles::SettingsError &e) {
        std::printf("error=%s\n", e.what());
        return 1;
    }
    std::printf("ok\n");
    return 0;
}
