#pragma once

// What every settings-window test needs: a configuration folder of its own,
// a machine identity the test chooses, and error reports collected instead
// of shown.

#include "felles.h"
#include "gui.h"
#include "inifile.h"
#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <utility>

using TestSupport::useIdentity;

// The process's current folder becomes a fresh temporary folder holding an
// empty KORVELIN.INI, so start-up picks it as the configuration folder.
class ConfigFixture
{
public:
    bool setUp()
    {
        reports.clear();
        m_previousDir = QDir::currentPath();
        m_dir = std::make_unique<QTemporaryDir>();
        if (!m_dir->isValid() || !QDir::setCurrent(m_dir->path()))
            return false;
        if (!writeFile("KORVELIN.INI", QByteArray()))
            return false;
        useIdentity("kari", "example.no");
        Gui::SetErrorHandler([this](const QString &text) { reports << text; });
        Felles::Initialize();
        return true;
    }

    void tearDown()
    {
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
        Felles::SettingsFile.reset();
        Felles::SetIdentitySource(nullptr);
        Gui::SetErrorHandler(nullptr);
        QDir::setCurrent(m_previousDir);
        m_dir.reset();
    }

    QString path(const QString &name) const { return m_dir->filePath(name); }

    QByteArray readFile(const QString &name) const
    {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    bool writeFile(const QString &name, const QByteArray &data) const
    {
        QFile f(path(name));
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
    }

    // One value from a settings file, as the store reads it (uncut).
    QByteArray value(const QString &name, const QByteArray &section, const QByteArray &key) const
    {
        return Felles::IniFile(path(name)).readString(section, key);
    }

    QStringList files() const { return QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden); }

    QStringList reports;

private:
    QString m_previousDir;
    std::unique_ptr<QTemporaryDir> m_dir;
};

// Runs action on the modal window from inside its event loop, once it is up.
inline void WhenModal(std::function<void(QWidget *)> action, int triesLeft = 1000)
{
    QTimer::singleShot(0, [action, triesLeft] {
        if (QWidget *window = QApplication::activeModalWidget())
            action(window);
        else if (triesLeft > 0)
            WhenModal(action, triesLeft - 1);
    });
}

// The tests need the application object's default error report, which a
// plain QApplication (QTEST_MAIN) does not have.
#define KORVELIN_SETUP_TEST_MAIN(TestClass)                    \
    int main(int argc, char **argv)                            \
    {                                                          \
        Gui::Application app(argc, argv);                      \
        app.setQuitOnLastWindowClosed(false);                  \
        TestClass test;                                        \
        return QTest::qExec(&test, argc, argv);                \
    }
