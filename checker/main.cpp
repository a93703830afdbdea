// Korvelin INBOX sjekker: start-up, event loop and shutdown.

#include "felles.h"
#include "gui.h"
#include "ipsjekk.h"
#include "platformchoice.h"
#include "setup.h"
#include "signals.h"
#include "sjekk.h"

#include <QByteArray>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef _WIN32
#include <libintl.h>
#endif

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

#ifndef _WIN32
// Whether a language list ("nb:en") or a locale name ("nn_NO.UTF-8") starts
// with Norwegian.
bool startsNorwegian(const char *languages)
{
    return languages
        && (!std::strncmp(languages, "nb", 2) || !std::strncmp(languages, "nn", 2)
            || !std::strncmp(languages, "no", 2));
}
#endif

// The windows speak Norwegian whatever the session's language, and so do the
// system's own texts quoted in their messages (why a file could not be
// read), wherever the system has them in Norwegian. Done before the settings
// store starts, whose start-up errors quote them, and again once Qt has set
// the locale its own way.
void useNorwegianSystemTexts()
{
    std::setlocale(LC_ALL, "");
#ifndef _WIN32
    // Texts are never translated in the plain C locale; its UTF-8 form is
    // the same in every other respect.
    const char *messages = std::setlocale(LC_MESSAGES, nullptr);
    if (!messages || !std::strcmp(messages, "C") || !std::strcmp(messages, "POSIX"))
        std::setlocale(LC_MESSAGES, "C.UTF-8");
    // Qt reads the system's texts as UTF-8, whatever the locale's encoding.
    bind_textdomain_codeset("libc", "UTF-8");
    const QByteArray languages = qgetenv("LANGUAGE");
    const char *first = languages.isEmpty() ? std::setlocale(LC_MESSAGES, nullptr) : languages.constData();
    if (!startsNorwegian(first))
        qputenv("LANGUAGE", "nb:no:nn");
#endif
}

// The shutdown flush of a settings store that started.
int finalizeSettings()
{
    try {
        Felles::Finalize();
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "korvelin: %s\n", e.what());
    } catch (...) {
    }
    return 1;
}

// One that failed to start has nothing to flush; the program ends with 1.
int settingsNotStarted()
{
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    useNorwegianSystemTexts();
    ApplyPlatformChoice();
    qInstallMessageHandler(startupMessages);

    // From here on a termination signal waits until it can end the program
    // cleanly, and a file-size limit or a closed standard error gives write
    // errors instead of death.
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
    SetShutdownFlush(settingsFailed ? settingsNotStarted : finalizeSettings);

    Gui::Application app(argc, argv);
    useNorwegianSystemTexts();
    applicationRunning = true;
    qInstallMessageHandler(nullptr);
    QCoreApplication::setApplicationName(QStringLiteral("Korvelin"));
    // The checker window alone decides when the program ends.
    app.setQuitOnLastWindowClosed(false);
    QuitOnTerminationSignals(&app);

    if (settingsFailed) {
        // Started from a menu, nobody reads stderr: say it on screen too.
        Gui::ReportError(settingsError);
        return RunShutdownFlush(1);
    }

    Gui::CreateForm<TSjekkForm>(SjekkForm);   // the main window
    Gui::CreateForm<TfmSetupHidden>(fmSetup); // hidden, never shown; loads the per-user file
    Gui::CreateForm<TIPTestForm>(IPTestForm); // hidden until a ping

    return RunShutdownFlush(app.run(SjekkForm));
}
