#include "gui.h"

#include <QCursor>
#include <QMessageBox>
#include <QWidget>

#include <algorithm>
#include <stdexcept>

namespace Gui {

namespace {

ErrorHandler &errorHandler()
{
    static ErrorHandler handler;
    return handler;
}

bool quitRequested = false;

QString applicationTitle()
{
    const QString name = QGuiApplication::applicationDisplayName();
    return name.isEmpty() ? QStringLiteral("Korvelin") : name;
}

} // namespace

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv)
{
    quitRequested = false;
}

Application::~Application()
{
    for (auto it = m_windows.rbegin(); it != m_windows.rend(); ++it)
        delete it->data();
}

void Application::adopt(QWidget *window)
{
    m_windows.erase(std::remove_if(m_windows.begin(), m_windows.end(),
                                   [](const QPointer<QWidget> &w) { return w.isNull(); }),
                    m_windows.end());
    m_windows.emplace_back(window);
}

bool Application::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ReportError(ErrorText(std::current_exception()));
        return true;
    }
}

int Application::run(QWidget *mainWindow)
{
    if (!quitRequested)
        mainWindow->show();
    // Showing raises the window's on-show handler, whose error box may be
    // where the quit came.
    const int status = quitRequested ? 0 : exec();
    quitRequested = false;
    return status;
}

void Quit()
{
    quitRequested = true;
    // Ends every event loop running now, a modal window's or a message
    // box's included, and makes later ones return at once.
    QCoreApplication::exit(0);
}

bool QuitRequested()
{
    return quitRequested;
}

void SetErrorHandler(ErrorHandler handler)
{
    errorHandler() = std::move(handler);
}

void ReportError(const QString &text)
{
    // A busy cursor left by the failed handler must not outlive it.
    SetDefaultCursor();
    if (errorHandler()) {
        errorHandler()(text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, applicationTitle(), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

QString ErrorText(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Ukjent feil.");
    }
}

void SetBusyCursor()
{
    if (!IsBusyCursor())
        QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}

void SetDefaultCursor()
{
    while (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
}

bool IsBusyCursor()
{
    const QCursor *c = QApplication::overrideCursor();
    return c && c->shape() == Qt::WaitCursor;
}

void RepaintNow(QWidget *window)
{
    // A window shown a moment ago may not be mapped yet; let the platform
    // catch up, but take no user input meanwhile.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    window->repaint();
}

} // namespace Gui
