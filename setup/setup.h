#pragma once

#include <QByteArray>
#include <QDialog>
#include <QHash>
#include <QPointer>

#include <memory>
#include <vector>

namespace Ui {
class fmSetup;
}
namespace Felles::Schema {
struct Entry;
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
    void FormCreate(); // loading
    void FormShow();   // defaults for empty fields
    void FormClose();  // a closing window is destroyed
    void tsSmtpShow();
    void cboAuthTypeChange();
    void BitBtn1Click(); // saving
    void BitBtn2Click(); // ping the POP3 server

    // Every closing (OK, the close control, Escape) passes through here.
    void done(int result) override;

    // True once FormCreate has read every setting into the fields. A window
    // whose loading failed shows defaults in place of what the file holds,
    // and OK would save those over it.
    bool loaded() const { return m_loaded; }

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // One setting's bytes as the file is to keep them.
    struct StoredValue
    {
        const Felles::Schema::Entry *entry;
        QByteArray bytes;
    };
    enum class Transfer { Load, Save };

    // One setting between the open file and its control: Load fills the
    // control, Save gives the bytes to store.
    QByteArray transferField(const Felles::Schema::Entry &e, Transfer direction);
    // Every saved setting's bytes, each checked before anything is written.
    std::vector<StoredValue> valuesToSave();
    // Writes them into the per-user file and flushes it.
    static void saveToUserFile(const std::vector<StoredValue> &values);
    void setFieldBytes(QLineEdit *edit, const QByteArray &bytes);
    QByteArray fieldBytes(const QLineEdit *edit) const;
    [[noreturn]] void refuse(QLineEdit *edit, bool scrambled);

    std::unique_ptr<Ui::fmSetup> ui;
    // The bytes each edit was filled with, so that an untouched field is
    // saved exactly as it was read.
    QHash<const QLineEdit *, QByteArray> m_bytes;
    bool m_loaded = false;
};

extern QPointer<TfmSetup> fmSetup;
