// Korvelin INBOX sjekker: start-up, event loop and shutdown.

#include "felles.h"
#include "gui.h"
#include "ipsjekk.h"
#include "platformchoice.h"
#include "setup.h"
#include "signals.h"
#include "sjekk.h"

#include <QByteArray>

#include <cstdio>
#include <cstdlib>

namespace {

bool applicationRunning = false;
// The status when no display can be had: 2, or 1 once the settings store
// has failed to start (its error is said already).
int noDisplayStatus = 2;

// Until the application object exists, a missing display is the likely
// failure: say so in one line instead of Qt's abort.
void startupMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!applicationRunning) {
        if (type == QtFatalMsg) {
            if (noDisplayStatus != 2)
                std::_Exit(noDisplayStatus);
            const QByteArray display = qgetenv("DISPLAY");
            std::fprintf(stderr, "korvelin: finner ingen skjerm å vise vinduet på (DISPLAY=%s).\n",
                         display.isEmpty() ? "ikke satt" : display.constData());
            std::_Exit(2);
        }
        if (QByteArray(context.category ? context.category : "").startsWith("qt.qpa"))
            return;
    }
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char **argv)
{
    ApplyPlatformChoice();
    qInstallMessageHandler(startupMessages);

    // From here on a termination signal waits until it can end the program
    // cleanly, and a file-size limit gives write errors instead of death.
    CatchSignals();

    // The settings store starts before any window exists.
    bool settingsFailed = false;
    QString settingsError;
    try {
        Felles::Initialize();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "korvelin: %s\n", e.what());
        settingsFailed = true;
        settingsError = Gui::ErrorText(std::current_exception());
        noDisplayStatus = 1;
    }

    Gui::Application app(argc, argv);
    applicationRunning = true;
    qInstallMessageHandler(nullptr);
    QCoreApplication::setApplicationName(QStringLiteral("Korvelin"));
    // The checker window alone decides when the program ends.
    app.setQuitOnLastWindowClosed(false);
    QuitOnTerminationSignals(&app);

    if (settingsFailed) {
        // Started from a menu, nobody reads stderr: say it on screen too.
        Gui::ReportError(settingsError);
        return 1;
    }

    Gui::CreateForm<TSjekkForm>(SjekkForm);   // the main window
    Gui::CreateForm<TfmSetup>(fmSetup);       // hidden, never shown; loads the per-user file
    Gui::CreateForm<TIPTestForm>(IPTestForm); // hidden until a ping

    int status = app.run(SjekkForm);

    try {
        Felles::Finalize();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "korvelin: %s\n", e.what());
        status = 1;
    }
    return status;
}
