#pragma once

// The thin layer over Qt that every window uses: the application object with
// its default error report and the program's end, window creation, blocking
// handlers, the screen cursor and repaint-now.

#include <QApplication>
#include <QPointer>
#include <QString>

#include <exception>
#include <functional>
#include <memory>
#include <vector>

class QAbstractNativeEventFilter;

namespace Gui {

// The application object.
class Application : public QApplication
{
    Q_OBJECT
public:
    Application(int &argc, char **argv);
    ~Application() override;

    // The last net only: every event handler that can fail reports its own
    // errors through RunReportingErrors. An exception that still escapes one is shown
    // by the default error report here, and the event loop goes on.
    bool notify(QObject *receiver, QEvent *event) override;

    // Shows the main window and runs the event loop until Quit(). When Quit()
    // came before (a termination signal while a start-up error box was
    // open), nothing is shown and the loop never starts. A desktop's close
    // request for the main window closes it whatever window or box is up.
    int run(QWidget *mainWindow);

    // Windows created through CreateForm belong here and are destroyed with
    // the application object, newest first.
    void adopt(QWidget *window);

private:
    std::vector<QPointer<QWidget>> m_windows;
    std::unique_ptr<QAbstractNativeEventFilter> m_closeRequests;
};

// Ends the program: the event loop ends, and with it any modal window or
// message box that is open; shutdown follows. Asked for before the loop runs,
// the loop never starts and no later message box waits for an answer.
void Quit();

// The default error report: a message box with the error's text. Tests (and
// anything that must not block) install a handler that receives the text
// instead; passing an empty handler restores the message box.
using ErrorHandler = std::function<void(const QString &text)>;
void SetErrorHandler(ErrorHandler handler);
void ReportError(const QString &text);
// The text shown for an exception caught by the report: a UserError's own
// text, another exception's what().
QString ErrorText(const std::exception_ptr &error);

// Runs an event handler that can fail, handing any exception to the default
// error report in the handler's own frame, so that no exception crosses Qt's
// event or signal dispatch (Qt leaves that undefined). Event overrides call
// their handlers through it, signal connections through ReportingSlot, and
// start-up through CreateForm. A handler called directly, outside these,
// throws as it always does.
template <typename F>
void RunReportingErrors(F &&handler)
{
    try {
        handler();
    } catch (...) {
        ReportError(ErrorText(std::current_exception()));
    }
}

// The slot for a signal connection that runs a handler through
// RunReportingErrors:
//   connect(button, &QPushButton::clicked, this, Gui::ReportingSlot(this, &Form::Click));
// The signal's arguments are not passed on.
template <typename T, typename Owner>
auto ReportingSlot(T *receiver, void (Owner::*handler)())
{
    return [receiver, handler] { RunReportingErrors([receiver, handler] { (receiver->*handler)(); }); };
}

// Creates a window of class T owned by the application object, stores it in
// variable (a T* or QPointer<T>), then runs its on-create handler
// (FormCreate). An error in that handler is reported; the window exists all
// the same.
template <typename T, typename Variable>
T *CreateForm(Variable &variable)
{
    T *window = new T;
    variable = window;
    if (auto *app = qobject_cast<Application *>(QCoreApplication::instance()))
        app->adopt(window);
    RunReportingErrors([window] { window->FormCreate(); });
    return window;
}

// True while a blocking handler runs. Safe to ask from a signal handler
// that interrupted the thread of the event loop.
bool IsBusy();
namespace Detail {
bool BeginBlocking();
void EndBlocking();
} // namespace Detail

// Runs a handler that blocks the event loop (a network wait), so the window
// is frozen while it runs. Presses and key strokes the user made meanwhile
// are dropped once it ends instead of being replayed one after another; a
// close request or a termination signal that came meanwhile is delivered as
// soon as it ends. A blocking handler asked for while another one runs is
// not run (the result is false). An error from the handler reaches the
// caller after the dropped input is gone.
template <typename F>
bool RunBlocking(F &&handler)
{
    if (!Detail::BeginBlocking())
        return false;
    std::exception_ptr error;
    try {
        handler();
    } catch (...) {
        error = std::current_exception();
    }
    Detail::EndBlocking();
    if (error)
        std::rethrow_exception(error);
    return true;
}

// Makes window a transient child of owner (none: of nobody) for the window
// system, so that a window manager keeps it in front of owner and a modal
// owner does not block its input. Takes effect when window is next shown.
void SetOwner(QWidget *window, QWidget *owner);

// Gives the keyboard to window again once a window that stood in front of
// it has closed, if it is still up. A window manager does that by itself;
// without one the keyboard would go nowhere.
void GiveKeyboardBack(QWidget *window);

// The screen cursor for the whole application.
void SetBusyCursor();
void SetDefaultCursor();
bool IsBusyCursor();

// Paints every pending change of the window before returning, so that a text
// set just before a blocking call is on screen during it.
void RepaintNow(QWidget *window);

} // namespace Gui
