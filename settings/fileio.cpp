#include "fileio.h"

#include "outsidetext.h"
#include "settingserror.h"

namespace Felles::FileIo {

using OutsideText::Encoding;
using OutsideText::Shown;

QString reasonText(Failure failure)
{
    switch (failure) {
    case Failure::NoSpace:
        return QStringLiteral("det er ikke mer plass på disken");
    case Failure::PermissionDenied:
        return QStringLiteral("ingen tilgang");
    case Failure::ReadOnlyFileSystem:
        return QStringLiteral("filsystemet er skrivebeskyttet");
    case Failure::FileTooLarge:
        return QStringLiteral("filen er for stor");
    case Failure::NotFound:
        return QStringLiteral("filen eller mappen finnes ikke");
    case Failure::NotRegularFile:
        return QStringLiteral("den er ikke en vanlig fil");
    case Failure::ReadOnlyMark:
        return QStringLiteral("filen er skrivebeskyttet");
    case Failure::OtherUsersFile:
        return QStringLiteral("den tilhører en annen bruker");
    case Failure::OtherUsersLink:
        return QStringLiteral(
            "den er en lenke som en annen bruker har laget, eller som fører til en annen brukers fil");
    case Failure::UntrustedLink:
        return QStringLiteral("den er en lenke laget av en annen bruker enn deg og mappens eier");
    case Failure::OverSizeLimit:
        return QStringLiteral("den er større enn 1 MiB");
    case Failure::SeveralNames:
        return QStringLiteral("den har flere navn (harde lenker), og en endring ville også endre filen under de "
                              "andre navnene");
    }
    return QString();
}

void throwReadError(const QByteArray &path, const QString &reason)
{
    throw SettingsError(QStringLiteral("Kan ikke lese innstillingsfilen %1: %2. Filen er ikke endret.")
                            .arg(Shown(path, Encoding::Local), reason));
}

void throwWriteError(const QByteArray &path, const QString &reason)
{
    throw SettingsError(
        QStringLiteral("Kan ikke skrive innstillingsfilen %1: %2.").arg(Shown(path, Encoding::Local), reason));
}

} // namespace Felles::FileIo
