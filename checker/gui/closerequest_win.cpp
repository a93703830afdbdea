#include "closerequest.h"

#include <windows.h>

namespace Gui::Detail::CloseRequests {

Names LookUpNames()
{
    return {}; // WM_CLOSE needs no name looked up
}

bool IsCloseRequest(const Names &, const QByteArray &eventType, void *message, WId window)
{
    if (eventType != "windows_generic_MSG")
        return false;
    const auto *msg = static_cast<const MSG *>(message);
    return msg->message == WM_CLOSE && reinterpret_cast<WId>(msg->hwnd) == window;
}

} // namespace Gui::Detail::CloseRequests
