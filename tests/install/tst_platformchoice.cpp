#include "platformchoice.h"

#include <QProcessEnvironment>
#include <QTest>

// The platform asked for at start-up, from the session's environment. No
// compositor or X server is involved: the decision is made on a given
// environment.
class TestPlatformChoice : public QObject
{
    Q_OBJECT

private slots:
    void choice_data();
    void choice();
    void applyLeavesTheUsersChoice();
};

void TestPlatformChoice::choice_data()
{
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("platform");

    // A Wayland session that also offers X11: X11, where the window can be placed.
    // clang-format off
    QTest::newRow("wayland and x11") << QStringList{"WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0"}
                                     << QByteArray("xcb");
    // Qt reads a set but empty WAYLAND_DISPLAY as a Wayland session too.
    QTest::newRow("empty wayland name and x11") << QStringList{"WAYLAND_DISPLAY=", "DISPLAY=:1"}
                                                << QByteArray("xcb");
    // The user's choice always wins, whatever the session offers.
    QTest::newRow("user chose wayland") << QStringList{"WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0",
                                                       "QT_QPA_PLATFORM=wayland"}
                                        << QByteArray();
    QTest::newRow("user chose offscreen") << QStringList{"DISPLAY=:0", "QT_QPA_PLATFORM=offscreen"}
                                          << QByteArray();
    // An empty QT_QPA_PLATFORM is no choice: Qt ignores it as well.
    QTest::newRow("empty user choice") << QStringList{"WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0",
                                                      "QT_QPA_PLATFORM="}
                                       << QByteArray("xcb");
    // Wayland only: there is no X11 to ask for, Qt decides.
    QTest::newRow("wayland only") << QStringList{"WAYLAND_DISPLAY=wayland-0"} << QByteArray();
    QTest::newRow("wayland and empty DISPLAY") << QStringList{"WAYLAND_DISPLAY=wayland-0", "DISPLAY="}
                                               << QByteArray();
    // X11 only: Qt picks X11 by itself.
    QTest::newRow("x11 only") << QStringList{"DISPLAY=:0"} << QByteArray();
    QTest::newRow("nothing") << QStringList{} << QByteArray();
    // clang-format on
}

void TestPlatformChoice::choice()
{
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, platform);

    QProcessEnvironment env;
    for (const QString &entry : environment) {
        const qsizetype eq = entry.indexOf(QLatin1Char('='));
        env.insert(entry.left(eq), entry.mid(eq + 1));
    }
    QCOMPARE(ChoosePlatform(env), platform);
}

// What start-up calls: the process environment in, QT_QPA_PLATFORM out.
void TestPlatformChoice::applyLeavesTheUsersChoice()
{
    qputenv("WAYLAND_DISPLAY", "wayland-0");
    qputenv("DISPLAY", ":0");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ApplyPlatformChoice();
    QCOMPARE(qgetenv("QT_QPA_PLATFORM"), QByteArray("offscreen"));

    qunsetenv("QT_QPA_PLATFORM");
    ApplyPlatformChoice();
    QCOMPARE(qgetenv("QT_QPA_PLATFORM"), QByteArray("xcb"));
}

QTEST_GUILESS_MAIN(TestPlatformChoice)
#include "tst_platformchoice.moc"
