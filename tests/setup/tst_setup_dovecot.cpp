// End to end against a real POP3 server: what is typed into the settings
// window, saved with OK, is what the green dot logs in with.

#include "windowfixture.h"

#include "dovecotfixture.h"
#include "setup.h"
#include "shape.h"
#include "sjekk.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

class TestSetupDovecot : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        fx.emplace();
        QVERIFY(fx->isValid());
    }
    void cleanup()
    {
        fx.reset(); // deletes every window
        SjekkForm = nullptr;
    }

    void typedSettingsReachTheMailbox();

private:
    std::optional<WindowFixture> fx;
};

void TestSetupDovecot::typedSettingsReachTheMailbox()
{
    QString why;
    const auto server = TestDovecot::Server::find(&why);
    if (!server)
        QSKIP(qPrintable(why));
    const QByteArray user = TestDovecot::uniqueUser("åse");
    const QString password = QStringLiteral("blåbær-Ø 7");
    server->setUser(user, password.toUtf8());
    const QByteArray message = "Subject: hei\n\nTekst med æøå\n";
    server->addMessage(user, message);
    server->addMessage(user, message);

    // The window never writes the port: the user puts it in the file.
    {
        Felles::IniFile file(fx->file("KARI.INI"));
        file.writeInteger("Pop3", "ServerPort", server->port());
        file.flush();
    }

    Gui::CreateForm<TSjekkForm>(SjekkForm);
    SjekkForm->show();

    bool saved = false;
    whenModal([&](QWidget *window) {
        auto edit = [window](const char *name) { return window->findChild<QLineEdit *>(QLatin1String(name)); };
        for (auto [name, text] : {std::pair{"POPServer", QStringLiteral("127.0.0.1")},
                                  std::pair{"Account", QString::fromUtf8(user)}, std::pair{"Password", password}}) {
            edit(name)->selectAll();
            QTest::keyClick(edit(name), Qt::Key_Delete);
            QTest::keyClicks(edit(name), text);
        }
        QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("BitBtn1")), Qt::LeftButton);
        saved = !window->isVisible();
    });
    pressShape(SjekkForm, "Shape2");
    QVERIFY2(fx->reports.isEmpty(), qPrintable(fx->reports.join(u'\n')));
    QVERIFY(saved);

    pressShape(SjekkForm, "Shape1");
    QVERIFY2(fx->reports.isEmpty(), qPrintable(fx->reports.join(u'\n')));
    QCOMPARE(SjekkForm->findChild<QLabel *>(QStringLiteral("Statuslabel"))->text(),
             QStringLiteral("%1 bytes i 2 meldinger").arg(2 * TestDovecot::statSize(message)));
}

KORVELIN_GUI_TEST_MAIN(TestSetupDovecot)
#include "tst_setup_dovecot.moc"
