// The program's network part, loaded from its module at the first check and
// kept for the life of the program: beside the program (the build tree, and
// Windows, where a program's DLLs lie beside it), else in the program's
// library folder (an installed program on Linux). Only these two files are
// tried, never a search path, so nothing else can stand in for the module.

#include "pop3network.h"
#include "pop3text.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibrary>
#include <QStringList>

const Pop3::Network &Pop3::NetworkPart()
{
    static const Network *loaded = nullptr;
    if (loaded)
        return *loaded;
    const QDir programFolder(QCoreApplication::applicationDirPath());
    const QString name = QStringLiteral(KORVELIN_NETWORK_MODULE);
    QStringList failures;
    for (const QString &file :
         {programFolder.filePath(name), programFolder.filePath(QStringLiteral(KORVELIN_MODULE_FOLDER "/") + name)}) {
        QLibrary module(QDir::cleanPath(file));
        using Entry = const Network *(*)();
        const auto entry = reinterpret_cast<Entry>(module.resolve("korvelin_pop3_network"));
        if (entry && (loaded = entry()) != nullptr)
            return *loaded;
        failures << module.errorString();
    }
    // A failure is not kept: a later check tries again.
    throw Pop3Error(QStringLiteral("Korvelin kan ikke sjekke posten: programdelen for nettverk (%1) kan ikke lastes "
                                   "(%2). Installer Korvelin på nytt.")
                        .arg(name, Pop3Text::Quote(failures.join(QStringLiteral("; ")))));
}
