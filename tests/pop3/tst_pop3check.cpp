// The mailbox check as the user meets it: settings in the per-user file, a
// press on the green dot, the status line or the error report.

#include "dovecotfixture.h"
#include "fakepop3server.h"

#include "felles.h"
#include "gui.h"
#include "shape.h"
#include "sjekk.h"
#include "windowfixture.h"

#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QTcpSocket>
#include <QtTest>

namespace {

using TestSupport::savePop3Settings;

constexpr char LogonName[] = "tester";

// STAT asked by hand over a socket: "+OK count size".
QByteArray rawStat(quint16 port, const QByteArray &user, const QByteArray &password)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    auto line = [&socket]() -> QByteArray {
        while (!socket.canReadLine()) {
            if (!socket.waitForReadyRead(5000))
                return "(no answer)";
        }
        return socket.readLine().trimmed();
    };
    if (!socket.waitForConnected(5000))
        return "(no connection)";
    QByteArray reply = line();
    for (const QByteArray &command : {"USER " + user, "PASS " + password, QByteArray("STAT")}) {
        if (!reply.startsWith("+OK"))
            return reply;
        socket.write(command + "\r\n");
        reply = line();
    }
    socket.write("QUIT\r\n");
    socket.waitForBytesWritten(1000);
    return reply;
}

// Counts the links the desktop would have been asked to open.
class LinkCatcher : public QObject
{
    Q_OBJECT
public:
    int opened = 0;
public slots:
    void open(const QUrl &) { ++opened; }
};

QString status(qint64 size, qint64 count)
{
    return QStringLiteral("%1 bytes i %2 meldinger").arg(size).arg(count);
}

} // namespace

class TestPop3Check : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void emptyMailboxShowsZeros();
    void threeMessages();
    void messageAddedBetweenChecksShowsUp();
    void wrongPasswordKeepsStatusAndReportsServerText();
    void credentialsFromScrambledFile_data();
    void credentialsFromScrambledFile();
    void sizeBeyond32BitsShownExactly();
    void serverMarkupShownAsText();

private:
    // Presses the green dot as the user does; an error goes to the error
    // report, which fx->reports captures.
    void pressGreenDot();
    QString statusText() const;

    std::optional<WindowFixture> fx;
    std::optional<TestDovecot::Server> m_server;
    QString m_why;
    std::unique_ptr<TSjekkForm> m_window;
};

void TestPop3Check::initTestCase()
{
    // The program's own start-up: KORVELIN.INI in the current folder wins.
    TestSupport::StoreOptions options;
    options.user = LogonName;
    options.domain.clear();
    fx.emplace(options);
    QVERIFY(fx->isValid());
    QCOMPARE(Felles::UserIniPath(),
             QFile::encodeName(QDir::toNativeSeparators(fx->file(QStringLiteral("TESTER.INI")))));

    m_server = TestDovecot::Server::find(&m_why);
}

void TestPop3Check::init()
{
    fx->reports.clear();
    m_window = std::make_unique<TSjekkForm>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TestPop3Check::cleanupTestCase()
{
    m_window.reset();
    fx.reset();
}

void TestPop3Check::pressGreenDot()
{
    pressShape(m_window.get(), "Shape1");
}

QString TestPop3Check::statusText() const
{
    auto *label = m_window->findChild<QLabel *>(QStringLiteral("Statuslabel"));
    return label ? label->text() : QStringLiteral("(no Statuslabel)");
}

void TestPop3Check::emptyMailboxShowsZeros()
{
    if (!m_server)
        QSKIP(qPrintable(m_why));
    const QByteArray user = TestDovecot::uniqueUser("tom");
    m_server->setUser(user, "hemmelig");
    savePop3Settings("127.0.0.1", m_server->port(), user, "hemmelig");
    m_window->LoadPopSettings();

    pressGreenDot();
    QCOMPARE(fx->reports, QStringList());
    QCOMPARE(statusText(), QStringLiteral("0 bytes i 0 meldinger"));
    QVERIFY(!m_window->pop3.connected());
}

void TestPop3Check::threeMessages()
{
    if (!m_server)
        QSKIP(qPrintable(m_why));
    const QByteArray user = TestDovecot::uniqueUser("tre");
    m_server->setUser(user, "hemmelig");
    // LF line ends on disk; the server counts every line as ending in CRLF,
    // so each message is its length plus one octet per line.
    const QByteArray messages[] = {
        "From: a@example.org\nSubject: en\n\nForste melding.\n",
        "From: b@example.org\nSubject: to\n\nAndre melding,\nmed to linjer.\n",
        "From: c@example.org\r\nSubject: tre\r\n\r\nAllerede CRLF.\r\n",
    };
    qint64 expected = 0;
    for (const QByteArray &m : messages) {
        m_server->addMessage(user, m);
        expected += TestDovecot::statSize(m);
    }
    QCOMPARE(expected, qint64((49 + 4) + (63 + 5) + 53));

    savePop3Settings("127.0.0.1", m_server->port(), user, "hemmelig");
    m_window->LoadPopSettings();
    // Called directly, not through a press: a failure is an exception here.
    try {
        m_window->SjekkKnappClick();
    } catch (const Pop3Error &e) {
        QFAIL(e.what());
    }
    QCOMPARE(statusText(), status(expected, 3));
    // The server asked by hand agrees.
    QCOMPARE(rawStat(m_server->port(), user, "hemmelig"), "+OK 3 " + QByteArray::number(expected));
}

void TestPop3Check::messageAddedBetweenChecksShowsUp()
{
    if (!m_server)
        QSKIP(qPrintable(m_why));
    const QByteArray user = TestDovecot::uniqueUser("ny");
    const QByteArray first = "Subject: 1\n\nEn\n", second = "Subject: 2\n\nTo, litt lengre\n";
    m_server->setUser(user, "hemmelig");
    m_server->addMessage(user, first);
    savePop3Settings("127.0.0.1", m_server->port(), user, "hemmelig");
    m_window->LoadPopSettings();

    pressGreenDot();
    QCOMPARE(statusText(), status(TestDovecot::statSize(first), 1));
    m_server->addMessage(user, second);
    pressGreenDot();
    QCOMPARE(fx->reports, QStringList());
    QCOMPARE(statusText(), status(TestDovecot::statSize(first) + TestDovecot::statSize(second), 2));
}

void TestPop3Check::wrongPasswordKeepsStatusAndReportsServerText()
{
    if (!m_server)
        QSKIP(qPrintable(m_why));
    const QByteArray user = TestDovecot::uniqueUser("feil");
    const QByteArray message = "Subject: venter\n\nHei\n";
    m_server->setUser(user, "riktig");
    savePop3Settings("127.0.0.1", m_server->port(), user, "riktig");
    m_window->LoadPopSettings();
    pressGreenDot();
    QCOMPARE(statusText(), status(0, 0));

    // A message arrives and the password goes wrong: the status line must
    // not change, and the report carries the server's refusal.
    m_server->addMessage(user, message);
    savePop3Settings("127.0.0.1", m_server->port(), user, "galt");
    m_window->LoadPopSettings();
    pressGreenDot();
    QCOMPARE(fx->reports.size(), 1);
    QVERIFY2(fx->reports.first().contains(QLatin1String("Innlogging avvist")), qPrintable(fx->reports.first()));
    QVERIFY2(fx->reports.first().contains(QLatin1String("-ERR [AUTH] Authentication failed.")),
             qPrintable(fx->reports.first()));
    QCOMPARE(statusText(), status(0, 0));
    QVERIFY(!m_window->pop3.connected());

    // Called directly, the same failure is an exception from the handler.
    QVERIFY_THROWS_EXCEPTION(Pop3Error, m_window->SjekkKnappClick());
    QCOMPARE(statusText(), status(0, 0));

    savePop3Settings("127.0.0.1", m_server->port(), user, "riktig");
    m_window->LoadPopSettings();
    pressGreenDot();
    QCOMPARE(fx->reports.size(), 1);
    QCOMPARE(statusText(), status(TestDovecot::statSize(message), 1));
}

void TestPop3Check::credentialsFromScrambledFile_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("password");

    // Bytes as typed on a UTF-8 desktop.
    QTest::newRow("spaces") << QByteArray("kari nordmann") << QByteArray("hemmelig ord med mellomrom");
    QTest::newRow("tilde and percent") << QByteArray("~kari%41") << QByteArray("100%~sikkert%20");
    QTest::newRow("Norwegian letters") << QByteArray("Ærlige Øystein Åsen") << QByteArray("blåbærsyltetøy ÆØÅ");
    // Stored as "z=;[|2": INI syntax inside the value must survive.
    QTest::newRow("scrambles to = ; [") << QByteArray("ola") << QByteArray("<9Xx");
    QTest::newRow("leading space") << QByteArray("per") << QByteArray(" mellomrom først");
}

void TestPop3Check::credentialsFromScrambledFile()
{
    if (!m_server)
        QSKIP(qPrintable(m_why));
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, password);
    user = TestDovecot::uniqueUser(user);
    m_server->setUser(user, password);
    const QByteArray message = "Subject: tegn\n\nHei\n";
    m_server->addMessage(user, message);

    savePop3Settings("127.0.0.1", m_server->port(), user, password);
    m_window->LoadPopSettings();
    QCOMPARE(m_window->pop3.password(), password);
    pressGreenDot();
    QCOMPARE(fx->reports, QStringList());
    QCOMPARE(statusText(), status(TestDovecot::statSize(message), 1));
}

void TestPop3Check::sizeBeyond32BitsShownExactly()
{
    FakePop3Server server(FakePop3Server::Script{"+OK fake\r\n", false, "+OK 12345 1234567890123\r\n"});
    savePop3Settings("127.0.0.1", server.port(), "kari", "hemmelig");
    m_window->LoadPopSettings();
    pressGreenDot();
    QCOMPARE(fx->reports, QStringList());
    QCOMPARE(statusText(), QStringLiteral("1234567890123 bytes i 12345 meldinger"));
    // The whole text is on screen, not cut at the label's first width.
    auto *label = m_window->findChild<QLabel *>(QStringLiteral("Statuslabel"));
    QVERIFY(label->width() >= label->sizeHint().width());
}

// A server's -ERR line full of markup reaches the error box as the text it
// is: no big red letters, no link to click.
void TestPop3Check::serverMarkupShownAsText()
{
    const QByteArray markup = "<a href=\"http://127.0.0.1:9/\"><font size=7 color=red>"
                              "Passordet er utl\xC3\xB8pt - klikk her</font></a>";
    FakePop3Server server(FakePop3Server::Script{"+OK fake\r\n", false, "-ERR " + markup + "\r\n"});
    savePop3Settings("127.0.0.1", server.port(), "kari", "hemmelig");
    m_window->LoadPopSettings();

    LinkCatcher links;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &links, "open");
    Gui::SetErrorHandler({});
    QString shown;
    QImage text;
    whenModal<QMessageBox>([&](QMessageBox *box) {
        auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
        if (label) {
            shown = label->text();
            text = label->grab().toImage();
            // Click all over the text, where a link would be.
            for (int y = 2; y < label->height(); y += 4) {
                for (int x = 2; x < label->width(); x += 6)
                    QTest::mouseClick(label, Qt::LeftButton, {}, QPoint(x, y));
            }
        }
        box->accept();
    });
    pressGreenDot();
    fx->collectReports();
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));

    QVERIFY2(shown.contains(QString::fromUtf8(markup)), qPrintable(shown));
    QCOMPARE(links.opened, 0);
    QVERIFY(!text.isNull());
    for (int y = 0; y < text.height(); ++y) {
        for (int x = 0; x < text.width(); ++x) {
            const QColor c = text.pixelColor(x, y);
            QVERIFY2(!(c.red() > 150 && c.green() < 100 && c.blue() < 100), "red text in the error box");
        }
    }
}

// Under the program's own application object, as the program runs.
KORVELIN_GUI_TEST_MAIN(TestPop3Check)

#include "tst_pop3check.moc"
