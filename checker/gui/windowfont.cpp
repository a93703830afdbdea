#include "windowfont.h"

namespace Gui {

QFont WindowFont()
{
    // Condensed, since the widest captions ("minutt(er)", "Se etter nye
    // meldinger hvert") fill their boxes; at 10 pixels they would not.
    QFont font(QStringLiteral("DejaVu Sans Condensed"));
    font.setPixelSize(9);
    return font;
}

} // namespace Gui
