#include "windowfont.h"

#include <QDir>
#include <QFontDatabase>
#include <QStringList>

namespace Gui {

namespace {

// The font files the build put among the program's resources, made known
// to Qt once, before the first window asks for the face. The Windows build
// carries the face, which no Windows machine has; on Linux the system's
// fonts hold it (fonts-dejavu-extra) and there are none.
void addBundledFonts()
{
    static const bool added = [] {
        const QDir folder(QStringLiteral(":/korvelin/fonts"));
        for (const QString &file : folder.entryList({QStringLiteral("*.ttf")}, QDir::Files))
            QFontDatabase::addApplicationFont(folder.filePath(file));
        return true;
    }();
    Q_UNUSED(added);
}

} // namespace

QFont WindowFont()
{
    addBundledFonts();
    // Condensed, since the widest captions ("minutt(er)", "Se etter nye
    // meldinger hvert") fill their boxes; at 10 pixels they would not.
    QFont font(QStringLiteral("DejaVu Sans Condensed"));
    font.setPixelSize(9);
    return font;
}

} // namespace Gui
