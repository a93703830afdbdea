#include "platformchoice.h"

#include <QProcessEnvironment>

QByteArray ChoosePlatform(const QProcessEnvironment &environment)
{
    const bool chosenByUser = !environment.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty();
    const bool wayland = environment.contains(QStringLiteral("WAYLAND_DISPLAY"));
    const bool x11 = !environment.value(QStringLiteral("DISPLAY")).isEmpty();
    if (!chosenByUser && wayland && x11)
        return QByteArrayLiteral("xcb");
    return {};
}

void ApplyPlatformChoice()
{
    const QByteArray platform = ChoosePlatform(QProcessEnvironment::systemEnvironment());
    if (!platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);
}
