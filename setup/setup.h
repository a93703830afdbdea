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
// and on OK writes back what the user changed. The close control leaves
// without saving.
class TfmSetup : public QDialog
{
    Q_OBJECT
public:
    explicit TfmSetup(QWidget *parent = nullptr);
    ~TfmSetup() override;

    // The handlers may throw; Qt's events and signals reach them only
    // through Gui::RunReportingErrors, which reports the error.
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

    void setVisible(bool visible) override;

protected:
    // A window that may never be shown can leave its controls unbuilt until
    // it is: loading reads the file all the same and fills them then.
    enum Widgets { BuildWidgets, WidgetsWhenShown };
    TfmSetup(QWidget *parent, Widgets widgets);

    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // One setting's bytes as the file is to keep them, and whether the user
    // changed its field since the window filled it.
    struct StoredValue
    {
        const Felles::Schema::Entry *entry;
        QByteArray bytes;
        bool changedByUser;
    };
    // What the per-user file held for one setting when the window loaded it,
    // and the state its check box or list was given then.
    struct LoadedValue
    {
        bool present = false;
        QByteArray bytes;
        int state = 0;
    };
    // One setting as read from the open file: text bytes, or a mark or index.
    struct FieldValue
    {
        QByteArray bytes;
        int number = 0;
    };

    void buildWidgets();
    // Reads one setting under CurrentSection.
    FieldValue readField(const Felles::Schema::Entry &e);
    // Fills the controls with what FormCreate read.
    void applyLoadedValues();
    // The bytes to store for one setting's control.
    QByteArray savedBytes(const Felles::Schema::Entry &e);
    // Whether the user changed the setting's field since the window filled
    // it (from the file, or with a default it proposed).
    bool changedByUser(const Felles::Schema::Entry &e, const LoadedValue &loaded) const;
    // Every saved setting's bytes, each checked before anything is written.
    std::vector<StoredValue> valuesToSave();
    // Writes them into the per-user file as it is on disk now and flushes
    // it; a setting the user did not change keeps what the file holds.
    void saveToUserFile(const std::vector<StoredValue> &values);
    void setFieldBytes(QLineEdit *edit, const QByteArray &bytes);
    QByteArray fieldBytes(const QLineEdit *edit) const;
    [[noreturn]] void refuse(QLineEdit *edit, bool scrambled);

    std::unique_ptr<Ui::fmSetup> ui;
    // The bytes each edit was filled with, so that an untouched field is
    // saved exactly as it was read.
    QHash<const QLineEdit *, QByteArray> m_bytes;
    // One for each saved setting, in the order of Felles::Schema::Saved.
    std::vector<LoadedValue> m_loadedValues;
    // What FormCreate read, until the controls are built and filled.
    std::vector<FieldValue> m_readValues;
    bool m_loaded = false;
    bool m_built = false;
};

// The settings window start-up creates and never shows: its loading reads
// the per-user file at its place in the start-up, its controls are built
// only if it is ever shown.
class TfmSetupHidden : public TfmSetup
{
public:
    TfmSetupHidden()
        : TfmSetup(nullptr, WidgetsWhenShown)
    {
    }
};

extern QPointer<TfmSetup> fmSetup;
