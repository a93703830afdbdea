#pragma once

#include "pop3client.h"

#include <QWidget>

#include <memory>

namespace Ui {
class SjekkForm;
}
class QLabel;

// The small borderless main window: a press on the green dot checks the
// mailbox, a press on the blue bar opens the settings.
class TSjekkForm : public QWidget
{
    Q_OBJECT
public:
    explicit TSjekkForm(QWidget *parent = nullptr);
    ~TSjekkForm() override;

    // The handlers may throw; Qt's events and signals reach them only
    // through Gui::RunReportingErrors, which reports the error.
    void FormCreate() {}
    void FormShow();
    void LoadPopSettings();
    // Virtual so that tests can watch the shapes reach them.
    virtual void SjekkKnappClick();
    virtual void Setup1Click();

    void Shape1MouseDown();
    void Shape2MouseDown();

    // Replaces the status line's text; the line and the window grow to show
    // all of it.
    void ShowStatus(const QString &text);

    Pop3Client pop3;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    // For the keyboard: Return or Space does what a press on the dot does,
    // F2 what a press on the bar does.
    void keyPressEvent(QKeyEvent *event) override;

private:
    // The room a grown status line keeps to the window's right and bottom edge.
    static constexpr int StatusMargin = 8;

    std::unique_ptr<Ui::SjekkForm> ui;
    QSize m_laidOutStatus;
    QSize m_laidOutWindow;
    // False while the client holds no settings read from the current files
    // (the last reading failed): a check reads them first rather than log
    // in with none or with ones the user has since replaced.
    bool m_settingsLoaded = false;
};

extern TSjekkForm *SjekkForm;
