#include "closerequest.h"

#include <QGuiApplication>

#if QT_CONFIG(xcb)
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#endif

namespace Gui::Detail::CloseRequests {

#if QT_CONFIG(xcb)
namespace {

quint32 internAtom(xcb_connection_t *connection, const char *name)
{
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(connection, 0, quint16(std::strlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    if (!reply)
        return 0;
    const quint32 atom = reply->atom;
    std::free(reply);
    return atom;
}

} // namespace

Names LookUpNames()
{
    // Qt answers for the X11 interface on every platform of an xcb-enabled
    // build; only the X11 platform has a connection behind it.
    Names names;
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (xcb_connection_t *connection = x11 ? x11->connection() : nullptr) {
        names.protocols = internAtom(connection, "WM_PROTOCOLS");
        names.deleteWindow = internAtom(connection, "WM_DELETE_WINDOW");
    }
    return names;
}

bool IsCloseRequest(const Names &names, const QByteArray &eventType, void *message, WId window)
{
    if (eventType != "xcb_generic_event_t" || !names.protocols || !names.deleteWindow)
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
        return false;
    const auto *client = static_cast<const xcb_client_message_event_t *>(message);
    return client->format == 32 && client->window == window && client->type == names.protocols
        && client->data.data32[0] == names.deleteWindow;
}
#else
// A Qt without X11: no request of X11's to watch for.
Names LookUpNames()
{
    return {};
}

bool IsCloseRequest(const Names &, const QByteArray &, void *, WId)
{
    return false;
}
#endif

} // namespace Gui::Detail::CloseRequests
