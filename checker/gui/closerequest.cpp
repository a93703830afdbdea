#include "closerequest.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMetaObject>

#ifdef _WIN32
#include <windows.h>
#elif QT_CONFIG(xcb)
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#endif

namespace Gui::Detail {

namespace {

#if !defined(_WIN32) && QT_CONFIG(xcb)
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
#endif

} // namespace

CloseRequestFilter::CloseRequestFilter(QWidget *mainWindow)
    : m_window(mainWindow)
{
#if !defined(_WIN32) && QT_CONFIG(xcb)
    // Qt answers for the X11 interface on every platform of an xcb-enabled
    // build; only the X11 platform has a connection behind it.
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (xcb_connection_t *connection = x11 ? x11->connection() : nullptr) {
        m_protocols = internAtom(connection, "WM_PROTOCOLS");
        m_deleteWindow = internAtom(connection, "WM_DELETE_WINDOW");
    }
#endif
}

bool CloseRequestFilter::isCloseRequest(const QByteArray &eventType, void *message) const
{
#ifdef _WIN32
    if (eventType != "windows_generic_MSG")
        return false;
    const auto *msg = static_cast<const MSG *>(message);
    return msg->message == WM_CLOSE && reinterpret_cast<WId>(msg->hwnd) == m_window->winId();
#elif QT_CONFIG(xcb)
    if (eventType != "xcb_generic_event_t" || !m_protocols || !m_deleteWindow)
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
        return false;
    const auto *client = static_cast<const xcb_client_message_event_t *>(message);
    return client->format == 32 && client->window == m_window->winId() && client->type == m_protocols
        && client->data.data32[0] == m_deleteWindow;
#else
    Q_UNUSED(eventType);
    Q_UNUSED(message);
    return false;
#endif
}

bool CloseRequestFilter::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    // Without a modal window Qt delivers the request itself.
    if (!m_window || !m_window->testAttribute(Qt::WA_WState_Created) || !QApplication::activeModalWidget()
        || !isCloseRequest(eventType, message))
        return false;
    // Closed from the event loop, as Qt delivers a close request, not from
    // inside the window system's dispatch.
    QMetaObject::invokeMethod(m_window, &QWidget::close, Qt::QueuedConnection);
    return true;
}

} // namespace Gui::Detail
