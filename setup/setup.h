#pragma once

#include <QByteArray>
#include <QDialog>
#include <QHash>
#include <QPointer>

#include <memory>

namespace Ui {
class fmSetup;
}
class QLineEdit;

// The settings window: loads the per-user mail settings when created,
// proposes server, account and address from the machine identity when shown,
// and writes every field back on OK. The close control leaves without saving.
class TfmSetup : public QDialog
{
    Q_OBJECT
public:
    explicit TfmSetup(QWidget *parent = nullptr);
    ~TfmSetup() override;

    // The handlers may throw; Qt's events and signals reach them only
    // through Gui::Guarded, which reports the error.
    void FormCreate();           // loading
    void FormShow();             // defaults for empty fields
    void FormClose();            // a closing window is destroyed
    void tsSmtpShow();
    void cboAuthTypeChange();
    void BitBtn1Click();         // saving
    void BitBtn2Click();         // ping the POP3 server

    // Every closing (OK, the close control, Escape) passes through here.
    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setFieldBytes(QLineEdit *edit, const QByteArray &bytes);
    QByteArray fieldBytes(const QLineEdit *edit) const;
    [[noreturn]] void refuse(QLineEdit *edit, bool scrambled);

    std::unique_ptr<Ui::fmSetup> ui;
    // The bytes each edit was filled with, so that an untouched field is
    // saved exactly as it was read.
    QHash<const QLineEdit *, QByteArray> m_bytes;
};

extern QPointer<TfmSetup> fmSetup;
