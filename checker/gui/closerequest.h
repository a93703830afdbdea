#pragma once

#include <QAbstractNativeEventFilter>
#include <QPointer>
#include <QWidget>

namespace Gui::Detail {

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
    bool isCloseRequest(const QByteArray &eventType, void *message) const;

    QPointer<QWidget> m_window;
    // The X11 names of the close request; 0 where there is no X11 display.
    quint32 m_protocols = 0;
    quint32 m_deleteWindow = 0;
};

} // namespace Gui::Detail
