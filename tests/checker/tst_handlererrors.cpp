// Errors of event handlers are reported from the handler's own frame and
// never cross Qt's event or signal dispatch. This test runs under a plain
// QApplication, which has no notify() net: an exception that escaped a
// handler would reach Qt Test as an unhandled exception (or end the
// process) instead of the error report.

#include "gui.h"
#include "icmpclient.h"
#include "pop3client.h"
#include "setup.h"
#include "shape.h"
#include "sjekk.h"
#include "windowfixture.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <stdexcept>

using namespace TestSupport;

namespace {

enum class Failure {
    CheckWithoutServer,  // the green dot, nothing set up
    ShowWithBadUserFile, // the checker window shown, its per-user file unusable
    ReloadAfterSettings, // the blue bar: the reload after the settings window fails
    SaveWithLineBreak,   // the settings window's OK, a value the file cannot hold
};

// The per-user file made unusable: a folder where the file should be.
void spoilUserFile(const StoreFixture &store)
{
    QFile::remove(store.userIni());
    QDir().mkdir(store.userIni());
}

} // namespace

Q_DECLARE_METATYPE(Failure)
Q_DECLARE_METATYPE(std::exception_ptr)

class TestHandlerErrors : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void reportedWhereTheyArise_data();
    void reportedWhereTheyArise();
    void reportShowsTheUsersText_data();
    void reportShowsTheUsersText();

private:
    std::optional<WindowFixture> fx;
};

void TestHandlerErrors::init()
{
    fx.emplace();
    QVERIFY(fx->isValid());
}

void TestHandlerErrors::cleanup()
{
    fx.reset(); // deletes every window, the settings window too
}

void TestHandlerErrors::reportedWhereTheyArise_data()
{
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<QString>("reported");
    QTest::newRow("green dot") << Failure::CheckWithoutServer << "servernavnet er tomt";
    QTest::newRow("checker shown") << Failure::ShowWithBadUserFile << "KARI.INI";
    QTest::newRow("blue bar") << Failure::ReloadAfterSettings << "KARI.INI";
    QTest::newRow("settings OK") << Failure::SaveWithLineBreak << "linjeskift";
}

void TestHandlerErrors::reportedWhereTheyArise()
{
    QFETCH(Failure, failure);
    QFETCH(QString, reported);

    if (failure == Failure::ShowWithBadUserFile)
        spoilUserFile(*fx);
    TSjekkForm form;
    form.show();

    switch (failure) {
    case Failure::CheckWithoutServer:
        pressShape(&form, "Shape1");
        break;
    case Failure::ShowWithBadUserFile:
        break;
    case Failure::ReloadAfterSettings: {
        bool closed = false;
        whenModal([&](QWidget *window) {
            spoilUserFile(*fx);
            closed = window->close();
        });
        pressShape(&form, "Shape2");
        QVERIFY(closed);
        break;
    }
    case Failure::SaveWithLineBreak: {
        TfmSetup *window = Gui::CreateForm<TfmSetup>(fmSetup);
        window->show();
        window->findChild<QLineEdit *>(QStringLiteral("eNavn"))->setText(QStringLiteral("Åse\nØdegård"));
        QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("BitBtn1")), Qt::LeftButton);
        QVERIFY(window->isVisible());
        break;
    }
    }

    QCOMPARE(fx->reports.size(), 1);
    QVERIFY2(fx->reports[0].contains(reported), qPrintable(fx->reports[0]));
    // The handler's bracket is closed however it failed.
    QCOMPARE(Felles::SettingsFile->nativePath(), Felles::SharedIniPath);
    QCOMPARE(Felles::CurrentSection, QByteArray("STANDARD"));
}

void TestHandlerErrors::reportShowsTheUsersText_data()
{
    const QString text = QStringLiteral("Fant ikke «pop.fjellbygd.no»: æøå");
    QTest::addColumn<std::exception_ptr>("error");
    QTest::addColumn<QString>("shown");
    QTest::newRow("settings") << std::make_exception_ptr(Felles::SettingsError(text)) << text;
    QTest::newRow("POP3") << std::make_exception_ptr(Pop3Error(text)) << text;
    QTest::newRow("ping") << std::make_exception_ptr(IcmpError(text)) << text;
    QTest::newRow("other exception") << std::make_exception_ptr(std::runtime_error(text.toStdString())) << text;
    QTest::newRow("not an exception") << std::make_exception_ptr(42) << QStringLiteral("Ukjent feil.");
}

void TestHandlerErrors::reportShowsTheUsersText()
{
    QFETCH(std::exception_ptr, error);
    QFETCH(QString, shown);
    Gui::RunReportingErrors([&] { std::rethrow_exception(error); });
    QCOMPARE(fx->reports, QStringList{shown});
}

QTEST_MAIN(TestHandlerErrors)
#include "tst_handlererrors.moc"
