#pragma once

#include <QFont>

namespace Gui {

// The one font of every window. The layouts are in pixels and were drawn
// for an 8-point bitmap font that is not found here; this face at this
// pixel size keeps every caption inside the box laid out for it, and a
// pixel size keeps text and layout in step on any screen resolution.
QFont WindowFont();

} // namespace Gui
