#pragma once

#include <QAbstractNativeEventFilter>
#include <QPointer>
#include <QWidget>

namespace Gui::Detail {

// How the window system says "close this window": one implementation per
// system (closerequest_posix.cpp: X11's WM_DELETE_WINDOW; closerequest_win.cpp:
// WM_CLOSE).
namespace CloseRequests {
// What the system's requests are known by; none where there is no display
// of that kind (Wayland, offscreen).
struct Names
{
    quint32 protocols = 0;
    quint32 deleteWindow = 0;
};
Names LookUpNames();
// True for a request to close window in one of Qt's native events.
bool IsCloseRequest(const Names &names, const QByteArray &eventType, void *message, WId window);
} // namespace CloseRequests

// Qt drops a desktop's close request for a window that a modal window blocks
// (the settings window, a message box), so the main window could not be
// closed while one is up, and the request would be forgotten. This filter
// sees the request before Qt drops it and closes the main window as the
// request would have: its close handler ends the program. Requests that Qt
// delivers itself are left to it.
class CloseRequestFilter : public QAbstractNativeEventFilter
{
public:
    explicit CloseRequestFilter(QWidget *mainWindow);
    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    QPointer<QWidget> m_window;
    CloseRequests::Names m_names;
};

} // namespace Gui::Detail
