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

    void FormCreate() {}
    void FormShow();
    void LoadPopSettings();
    void SjekkKnappClick();
    void Setup1Click();

    void Shape1MouseDown();
    void Shape2MouseDown();

    Pop3Client pop3;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void setStatus(const QString &text);

    std::unique_ptr<Ui::SjekkForm> ui;
};

extern TSjekkForm *SjekkForm;
