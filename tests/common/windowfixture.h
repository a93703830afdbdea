#pragma once

// What tests that open windows need beside the settings store: error reports
// collected instead of shown, every window gone at the end, a way to act on
// a modal window from inside its event loop, and a main() with the
// program's own application object.

#include "gui.h"
#include "shape.h"
#include "testsupport.h"

#include <QApplication>
#include <QList>
#include <QPointer>
#include <QStandardPaths>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QWidget>

// The store of StoreFixture, with error reports collected in reports while
// the object lives. At its end every top-level window is deleted, then the
// store shuts down as the program's does.
class WindowFixture : public TestSupport::StoreFixture
{
public:
    explicit WindowFixture(const TestSupport::StoreOptions &options = {})
        : StoreFixture(options)
    {
        // Whatever Qt keeps on disk stays out of the user's own folders.
        QStandardPaths::setTestModeEnabled(true);
        collectReports();
    }

    ~WindowFixture()
    {
        const QString timerName = QLatin1String(ModalTimerName);
        qDeleteAll(QCoreApplication::instance()->findChildren<QTimer *>(timerName, Qt::FindDirectChildrenOnly));
        // Deleting one window can delete others (a list's pop-up).
        QList<QPointer<QWidget>> windows;
        for (QWidget *w : QApplication::topLevelWidgets())
            windows << w;
        for (const QPointer<QWidget> &w : windows)
            delete w.data();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        try {
            Felles::Finalize();
        } catch (...) {
        }
        Gui::SetErrorHandler(nullptr);
    }

    // Error reports go to reports again after a test let them be shown
    // (Gui::SetErrorHandler({})).
    void collectReports()
    {
        Gui::SetErrorHandler([this](const QString &text) { reports << text; });
    }

    QStringList reports;

    // The name of whenModal's timers: none outlives the fixture.
    static constexpr char ModalTimerName[] = "whenModal";
};

// Runs action on the modal window of type T from inside its event loop, as
// soon as one is up; gives up after 30 s, or when the test's WindowFixture ends.
template <typename T = QWidget, typename Action>
void whenModal(Action action)
{
    auto *timer = new QTimer(QCoreApplication::instance());
    timer->setObjectName(QLatin1String(WindowFixture::ModalTimerName));
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, action, triesLeft = 1500]() mutable {
        T *window = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!window && --triesLeft > 0)
            return;
        timer->stop();
        timer->deleteLater();
        if (window)
            action(window);
    });
    timer->start();
}

// Presses a mouse button on one of a window's shapes, as the user does.
inline void pressShape(QWidget *window, const char *shape, Qt::MouseButton button = Qt::LeftButton)
{
    auto *target = window->findChild<Gui::Shape *>(QString::fromLatin1(shape));
    QVERIFY2(target, shape);
    QTest::mousePress(target, button, {}, target->rect().center());
}

// Qt Test's main() with the program's application object, set up as the
// program sets it: its last net for errors and the windows CreateForm gives
// it, which a plain QApplication (QTEST_MAIN) does not have.
#define KORVELIN_GUI_TEST_MAIN(TestClass)                                                                              \
    int main(int argc, char **argv)                                                                                    \
    {                                                                                                                  \
        Gui::Application app(argc, argv);                                                                              \
        app.setQuitOnLastWindowClosed(false);                                                                          \
        TestClass test;                                                                                                \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
