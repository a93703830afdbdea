#include "gui.h"

#include "closerequest.h"
#include "usererror.h"

#include <QAbstractEventDispatcher>
#include <QCursor>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QResource>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <memory>

namespace Gui {

namespace {

ErrorHandler &errorHandler()
{
    static ErrorHandler handler;
    return handler;
}

bool quitRequested = false;

// The default error report's box, kept between reports; it belongs to the
// window it was last shown in front of, or to the application object.
QPointer<QMessageBox> sharedBox;

// Input that would start something: a press of any mouse button, a key
// stroke, a shortcut. Releases pass, so that a button pressed before the
// wait is not left half pressed; a release alone starts nothing.
bool startsSomething(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::Shortcut:
    case QEvent::ShortcutOverride:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TabletPress:
        return true;
    default:
        return false;
    }
}

// While a blocking handler runs, and while the input queued during it is
// delivered, drops what the user pressed meanwhile. A modal window opened
// during that time (an error box) takes input as usual, or it could never
// be answered.
class InputDropper : public QObject
{
public:
    InputDropper()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w->isVisible() && w->isModal())
                m_modalBefore.emplace_back(w);
        }
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (!startsSomething(event->type()))
            return false;
        QWidget *modal = QApplication::activeModalWidget();
        if (modal && std::find(m_modalBefore.begin(), m_modalBefore.end(), modal) == m_modalBefore.end())
            return false;
        return true;
    }

private:
    std::vector<QPointer<QWidget>> m_modalBefore;
};

// Present while a blocking handler runs.
InputDropper *inputDropper = nullptr;
// The same, for a signal handler: true from the start of a blocking handler
// until the input queued during it has been delivered.
std::atomic<bool> blocking{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// The window system's queue is emptied within this time after a blocking
// handler, so a stream of events cannot keep the program busy.
constexpr int QueuedInputDeliveryMs = 200;

// Input that a processEvents() without user input set aside is handled only
// when the event dispatcher is woken again (Qt's X11 dispatcher waits for
// the next event from the X server otherwise): wake it now.
void wakeForHeldBackInput()
{
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        dispatcher->wakeUp();
}

// Moves a window that would lie partly outside its screen, the least
// distance, to lie inside it; one larger than the screen gets its top left
// corner (its title bar) on the screen. Where it fits it stays where it was
// placed.
void keepOnScreen(QWidget *window)
{
    const QRect frame = window->frameGeometry();
    const QScreen *screen = QGuiApplication::screenAt(frame.center());
    if (!screen)
        screen = window->screen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const auto shift = [](int start, int length, int areaStart, int areaLength) {
        if (length > areaLength || start < areaStart)
            return areaStart - start;
        if (start + length > areaStart + areaLength)
            return areaStart + areaLength - (start + length);
        return 0;
    };
    const QPoint by(shift(frame.x(), frame.width(), area.x(), area.width()),
                    shift(frame.y(), frame.height(), area.y(), area.height()));
    if (!by.isNull())
        window->move(window->pos() + by);
}

// Keeps every window that opens inside its screen: once when it is shown,
// and once more when the window manager has put its frame around it (the
// frame's size is known only then).
class ScreenKeeper : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::Show && type != QEvent::Move && type != QEvent::Hide)
            return false;
        auto *window = qobject_cast<QWidget *>(watched);
        if (!window || !window->isWindow() || window->windowType() == Qt::Popup || window->windowType() == Qt::ToolTip
            || window->windowType() == Qt::Desktop)
            return false;
        if (type == QEvent::Hide) {
            m_framing.removeAll(window);
        } else if (type == QEvent::Show) {
            keepOnScreen(window);
            m_framing.removeAll(window);
            m_framing.append(window);
        } else if (event->spontaneous() && m_framing.removeAll(window) > 0) {
            keepOnScreen(window);
        }
        return false;
    }

private:
    // Shown, and not yet placed by the window system.
    QList<QPointer<QWidget>> m_framing;
};

QString applicationTitle()
{
    const QString name = QGuiApplication::applicationDisplayName();
    return name.isEmpty() ? QStringLiteral("Korvelin") : name;
}

// The program's icon in the sizes the build renders, from raw RGBA pixels
// (see checker/gui/CMakeLists.txt for why not PNG).
QIcon programIcon()
{
    QIcon icon;
    for (const int size : {16, 32, 48, 64}) {
        const QByteArray pixels
            = QResource(QStringLiteral(":/korvelin/windowicon/%1.rgba").arg(size)).uncompressedData();
        if (pixels.size() != size * size * 4)
            continue; // not rendered by this build: never read past its end
        const QImage image(reinterpret_cast<const uchar *>(pixels.constData()), size, size, size * 4,
                           QImage::Format_RGBA8888);
        // fromImage copies the pixels, so the buffer may go.
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

} // namespace

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv)
{
    quitRequested = false;
    // Every window carries the program's icon, for task bars and window lists.
    setWindowIcon(programIcon());
    // Every window that opens lies inside its screen.
    installEventFilter(new ScreenKeeper(this));
}

Application::~Application()
{
    m_closeRequests.reset();
    delete sharedBox.data();
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
    m_closeRequests = std::make_unique<Detail::CloseRequestFilter>(mainWindow);
    installNativeEventFilter(m_closeRequests.get());
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
    const QPointer<QWidget> owner = QApplication::activeWindow();
    // One box serves every report in front of the same window: a box made
    // and destroyed for each report leaves the program's memory a little
    // larger every time (its icons and buttons, freed in an order the heap
    // cannot give back). A report while the box is up gets a box of its own.
    std::unique_ptr<QMessageBox> own;
    QMessageBox *box = sharedBox;
    if (box && box->isVisible()) {
        own = std::make_unique<QMessageBox>(QMessageBox::Critical, applicationTitle(), QString(), QMessageBox::Ok,
                                            owner);
        box = own.get();
    } else {
        if (box && box->parentWidget() != owner)
            delete box;
        if (!sharedBox)
            sharedBox = new QMessageBox(QMessageBox::Critical, applicationTitle(), QString(), QMessageBox::Ok, owner);
        box = sharedBox;
    }
    // The text often quotes a server, a file or the system: never markup,
    // never a link to follow.
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    box->exec();
    // Without a window manager nobody else gives the keyboard back to the
    // window the box stood in front of.
    GiveKeyboardBack(owner);
}

void SetOwner(QWidget *window, QWidget *owner)
{
    (void)window->winId(); // the window system's window, created if need be
    QWindow *handle = window->windowHandle();
    QWindow *ownerHandle = owner && owner != window ? owner->window()->windowHandle() : nullptr;
    if (handle && handle->transientParent() != ownerHandle)
        handle->setTransientParent(ownerHandle);
}

void GiveKeyboardBack(QWidget *window)
{
    if (window && window->isVisible() && !window->isActiveWindow())
        window->activateWindow();
}

QString ErrorText(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const UserError &e) {
        return e.text();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Ukjent feil.");
    }
}

bool IsBusy()
{
    return blocking.load();
}

namespace Detail {

bool BeginBlocking()
{
    if (inputDropper)
        return false;
    blocking = true;
    inputDropper = new InputDropper;
    if (QCoreApplication *app = QCoreApplication::instance())
        app->installEventFilter(inputDropper);
    return true;
}

void EndBlocking()
{
    // What the user did during the wait is in the window system's queue by
    // now: deliver it while the presses are still dropped. A close request
    // or a termination signal among it takes effect.
    if (QCoreApplication::instance()) {
        wakeForHeldBackInput();
        QCoreApplication::processEvents(QEventLoop::AllEvents, QueuedInputDeliveryMs);
    }
    delete inputDropper; // leaves the application's filters by itself
    inputDropper = nullptr;
    blocking = false;
}

} // namespace Detail

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
    wakeForHeldBackInput();
    window->repaint();
    // Painted is not yet on screen: wait until the window system has drawn
    // what was sent to it.
    QGuiApplication::sync();
}

} // namespace Gui
