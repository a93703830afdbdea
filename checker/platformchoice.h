#pragma once

#include <QByteArray>

class QProcessEnvironment;

// The checker window must sit at its place on the desktop, and only the X11
// platform lets a program place its own window: a Wayland compositor decides
// that itself. In a Wayland session that also offers X11 (WAYLAND_DISPLAY
// and DISPLAY both set) the program therefore asks Qt for X11, unless the
// user chose a platform with QT_QPA_PLATFORM, which always wins.
//
// Returns the platform to ask for, or an empty value to leave the choice to
// Qt. An empty DISPLAY or QT_QPA_PLATFORM counts as unset, as Qt reads them.
QByteArray ChoosePlatform(const QProcessEnvironment &environment);

// Applies ChoosePlatform to this process's environment. Must run before the
// application object exists, which reads QT_QPA_PLATFORM once, when created.
void ApplyPlatformChoice();
