// The reachability window and CheckHost: what the window shows for a host
// that answers, one that stays silent and a ping that cannot be made, and
// that nothing escapes to the default error report. Runs in a network
// namespace of its own (testnet.h).

#include "gui.h"
#include "ipsjekk.h"
#include "testnet.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

Q_DECLARE_METATYPE(CheckResult)
Q_DECLARE_METATYPE(IcmpClient::Methods)

class TestIpSjekk : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void windowLayout();
    void hostThatAnswers_data();
    void hostThatAnswers();
    void hostThatDoesNotAnswer_data();
    void hostThatDoesNotAnswer();
    void pingThatFails_data();
    void pingThatFails();
    void withoutShowErrorTheWindowCloses_data();
    void withoutShowErrorTheWindowCloses();
    void okButtonTakesInputBesideModalWindow();
    void busyCursorDuringThePing();
    void silentNameServer();

private:
    static QLabel *label() { return IPTestForm->findChild<QLabel *>(QStringLiteral("Label1")); }
    static QPushButton *okButton() { return IPTestForm->findChild<QPushButton *>(QStringLiteral("OkKnapp")); }
    // A click as the window system delivers it, through modality and all.
    static void clickOk()
    {
        QPushButton *button = okButton();
        QTest::mouseClick(IPTestForm->windowHandle(), Qt::LeftButton, Qt::NoModifier,
                          button->mapTo(IPTestForm, button->rect().center()));
    }

    QStringList m_reported;
};

void TestIpSjekk::initTestCase()
{
    Gui::SetErrorHandler([this](const QString &text) { m_reported << text; });
    Gui::CreateForm<TIPTestForm>(IPTestForm);
    QVERIFY(IPTestForm);
    QVERIFY(label() && okButton());
    if (TestNet::InPrivateNetwork()) {
        QString why;
        QVERIFY2(TestNet::AddTestAddresses(&why), qPrintable(why));
    }
}

void TestIpSjekk::init()
{
    if (TestNet::InPrivateNetwork())
        QVERIFY(TestNet::ResetSysctls());
    IPTestForm->Client.setMethods(IcmpClient::AllMethods);
    IPTestForm->Client.setPingProgram(QStringLiteral("ping"));
    IPTestForm->Client.setTimeoutMs(500);
    IPTestForm->close();
    m_reported.clear();
}

void TestIpSjekk::cleanup()
{
    QCOMPARE(m_reported, QStringList());
    QVERIFY(!Gui::IsBusyCursor());
}

void TestIpSjekk::windowLayout()
{
    // Created hidden; shown only by a test.
    QVERIFY(!IPTestForm->isVisible());
    QVERIFY(IPTestForm->isWindow());
    QVERIFY(IPTestForm->windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(IPTestForm->size(), QSize(235, 37));

    auto *panel = IPTestForm->findChild<QFrame *>(QStringLiteral("Panel1"));
    QVERIFY(panel);
    QCOMPARE(panel->geometry(), QRect(0, 0, 235, 37));
    QCOMPARE(panel->frameShape(), QFrame::Panel);
    QCOMPARE(panel->frameShadow(), QFrame::Sunken);

    QCOMPARE(okButton()->parentWidget(), panel);
    QCOMPARE(okButton()->geometry(), QRect(184, 8, 43, 21));
    QCOMPARE(okButton()->text(), QStringLiteral("O&k"));
    QVERIFY(okButton()->isDefault());

    QCOMPARE(label()->parentWidget(), panel);
    QCOMPARE(label()->geometry(), QRect(8, 12, 217, 13));
    QCOMPARE(label()->text(), QStringLiteral("Sjekker ipadresse, vent ....."));
    // The host name is shown as typed, never read as markup.
    QCOMPARE(label()->textFormat(), Qt::PlainText);

    // The panel's colour shows, also through the label's empty end.
    okButton()->hide();
    const QImage shot = IPTestForm->grab().toImage();
    const QColor panelColour(192, 192, 240);
    QCOMPARE(shot.pixelColor(100, 30), panelColour);
    QCOMPARE(shot.pixelColor(222, 13), panelColour);
}

void TestIpSjekk::hostThatAnswers_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("IPv4") << QStringLiteral("127.0.0.1");
    QTest::newRow("IPv6") << QStringLiteral("::1");
    QTest::newRow("name") << QStringLiteral("localhost");
}

void TestIpSjekk::hostThatAnswers()
{
    KORVELIN_SKIP_WITHOUT_PRIVATE_NETWORK();
    QFETCH(QString, host);

    QCOMPARE(CheckHost(host, true), HostAnswered);
    QVERIFY(!IPTestForm->isVisible());
    QCOMPARE(label()->text(), QStringLiteral("Sjekker ") + host + QStringLiteral(", vent litt ...."));
}

void TestIpSjekk::hostThatDoesNotAnswer_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("IPv4") << TestNet::QuietV4;
    QTest::newRow("IPv6") << TestNet::QuietV6;
}

void TestIpSjekk::hostThatDoesNotAnswer()
{
    KORVELIN_SKIP_WITHOUT_PRIVATE_NETWORK();
    QFETCH(QString, host);
    QVERIFY(TestNet::SetEchoReplies(false));

    QCOMPARE(CheckHost(host, true), NoAnswer);
    QVERIFY(IPTestForm->isVisible());
    QCOMPARE(label()->text(), QStringLiteral("Finner ikke:  ") + host);
    QVERIFY(okButton()->isVisible());

    // Centred on the screen: it belongs to no window.
    const QPoint centre = IPTestForm->geometry().center();
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    QVERIFY2((centre - screenCentre).manhattanLength() <= 2,
             qPrintable(QStringLiteral("%1,%2").arg(centre.x()).arg(centre.y())));

    // The OK button closes the window, which lives on for the next test.
    const QPointer<TIPTestForm> window(IPTestForm);
    clickOk();
    QVERIFY(!IPTestForm->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(window);
}

void TestIpSjekk::pingThatFails_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<IcmpClient::Methods>("methods");
    QTest::addColumn<QString>("program");

    const IcmpClient::Methods all = IcmpClient::AllMethods;
    QTest::newRow("unresolvable name") << QStringLiteral("nosuchhost.invalid") << all << QStringLiteral("ping");
    QTest::newRow("no host") << QString() << all << QStringLiteral("ping");
    QTest::newRow("not a host name") << QStringLiteral("<b>mail</b>") << all << QStringLiteral("ping");
    // No datagram socket (the namespace refuses it), no raw socket, no
    // ping program.
    QTest::newRow("every way refused") << QStringLiteral("127.0.0.1")
                                       << IcmpClient::Methods(IcmpClient::Datagram | IcmpClient::Program)
                                       << QStringLiteral("/nonexistent/ping");
}

void TestIpSjekk::pingThatFails()
{
    KORVELIN_SKIP_WITHOUT_PRIVATE_NETWORK();
    QFETCH(QString, host);
    QFETCH(IcmpClient::Methods, methods);
    QFETCH(QString, program);
    IPTestForm->Client.setMethods(methods);
    IPTestForm->Client.setPingProgram(program);

    QCOMPARE(CheckHost(host, true), PingFailed);
    QVERIFY(IPTestForm->isVisible());
    QCOMPARE(label()->text(), QStringLiteral("Finner ikke:  ") + host);
    QVERIFY(okButton()->isVisible());
    // The cursor and the error report are checked in cleanup().
}

void TestIpSjekk::withoutShowErrorTheWindowCloses_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("echoReplies");
    QTest::addColumn<CheckResult>("expected");
    QTest::newRow("answered") << QStringLiteral("127.0.0.1") << true << HostAnswered;
    QTest::newRow("no answer") << TestNet::QuietV4 << false << NoAnswer;
    QTest::newRow("failed") << QStringLiteral("nosuchhost.invalid") << true << PingFailed;
}

void TestIpSjekk::withoutShowErrorTheWindowCloses()
{
    KORVELIN_SKIP_WITHOUT_PRIVATE_NETWORK();
    QFETCH(QString, host);
    QFETCH(bool, echoReplies);
    QFETCH(CheckResult, expected);
    QVERIFY(TestNet::SetEchoReplies(echoReplies));

    QCOMPARE(CheckHost(host, false), expected);
    QVERIFY(!IPTestForm->isVisible());
}

void TestIpSjekk::okButtonTakesInputBesideModalWindow()
{
    KORVELIN_SKIP_WITHOUT_PRIVATE_NETWORK();
    QVERIFY(TestNet::SetEchoReplies(false));
    // The settings window, modal while its ping button runs the test.
    QDialog settings;
    settings.setWindowModality(Qt::ApplicationModal);
    settings.show();
    QVERIFY(QTest::qWaitForWindowExposed(&settings));
    QCOMPARE(QApplication::activeModalWidget(), &settings);

    QCOMPARE(CheckHost(TestNet::QuietV4, true), NoAnswer);
    QVERIFY(okButton()->isVisible());
    clickOk();
    QVERIFY(!IPTestForm->isVisible());
    QVERIFY(settings.isVisible());
}

void TestIpSjekk::busyCursorDuringThePing()
{
    KORVELIN_SKIP_WITHOUT_PRIVATE_NETWORK();
    // A stand-in ping program that says when it runs and then waits until
    // the test has looked at the cursor: the event loop is blocked all the
    // while, so the test looks from a thread of its own.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray started = QFile::encodeName(dir.filePath(QStringLiteral("started")));
    const QByteArray go = QFile::encodeName(dir.filePath(QStringLiteral("go")));
    QVERIFY(::mkfifo(started.constData(), 0600) == 0 && ::mkfifo(go.constData(), 0600) == 0);
    const QString program = dir.filePath(QStringLiteral("ping"));
    QFile script(program);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho > '" + started + "'\nread answer < '" + go + "'\nexit 1\n");
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::ExeOwner));

    std::atomic<int> busyWhileRunning{-1};
    std::thread observer([&] {
        const int in = ::open(started.constData(), O_RDONLY);
        char c;
        if (in >= 0 && ::read(in, &c, 1) == 1)
            busyWhileRunning = Gui::IsBusyCursor() ? 1 : 0;
        if (in >= 0)
            ::close(in);
        const int out = ::open(go.constData(), O_WRONLY);
        if (out >= 0) {
            // Should it fail, closing the pipe still ends the program's read.
            [[maybe_unused]] const ssize_t written = ::write(out, "\n", 1);
            ::close(out);
        }
    });

    IPTestForm->Client.setMethods(IcmpClient::Program);
    IPTestForm->Client.setPingProgram(program);
    const CheckResult result = CheckHost(QStringLiteral("127.0.0.1"), false);

    // Should the program never have run, let the observer go.
    const int unblockStarted = ::open(started.constData(), O_WRONLY | O_NONBLOCK);
    if (unblockStarted >= 0)
        ::close(unblockStarted);
    const int unblockGo = ::open(go.constData(), O_RDONLY | O_NONBLOCK);
    observer.join();
    if (unblockGo >= 0)
        ::close(unblockGo);

    QCOMPARE(result, NoAnswer);
    QCOMPARE(busyWhileRunning.load(), 1);
}

void TestIpSjekk::silentNameServer()
{
    KORVELIN_SKIP_WITHOUT_PRIVATE_NETWORK();
    QString why;
    QVERIFY2(TestNet::UseSilentNameServer(&why), qPrintable(why));
    IPTestForm->Client.setTimeoutMs(IcmpClient::DefaultTimeoutMs);

    // The resolver alone would wait ten seconds for its silent name server;
    // the whole ping has its time-out.
    const QString host = QStringLiteral("mail.korvelin.test");
    QElapsedTimer clock;
    clock.start();
    const CheckResult result = CheckHost(host, true);
    const qint64 took = clock.elapsed();
    const QString shown = label()->text();
    // Names in the hosts file still resolve, beside the lookup left running.
    const CheckResult local = CheckHost(QStringLiteral("localhost"), false);
    TestNet::UseSystemResolver();

    QCOMPARE(result, PingFailed);
    QCOMPARE(shown, QStringLiteral("Finner ikke:  ") + host);
    QVERIFY2(took < IcmpClient::DefaultTimeoutMs + 2000, qPrintable(QString::number(took)));
    QCOMPARE(local, HostAnswered);
}

KORVELIN_PRIVATE_NETWORK_TEST_MAIN(Gui::Application, TestIpSjekk)
#include "tst_ipsjekk.moc"
