#include "closerequest.h"

#include <QApplication>
#include <QMetaObject>

namespace Gui::Detail {

CloseRequestFilter::CloseRequestFilter(QWidget *mainWindow)
    : m_window(mainWindow)
    , m_names(CloseRequests::LookUpNames())
{
}

bool CloseRequestFilter::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    // Without a modal window Qt delivers the request itself.
    if (!m_window || !m_window->testAttribute(Qt::WA_WState_Created) || !QApplication::activeModalWidget()
        || !CloseRequests::IsCloseRequest(m_names, eventType, message, m_window->winId()))
        return false;
    // Closed from the event loop, as Qt delivers a close request, not from
    // inside the window system's dispatch.
    QMetaObject::invokeMethod(m_window, &QWidget::close, Qt::QueuedConnection);
    return true;
}

} // namespace Gui::Detail
