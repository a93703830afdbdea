#include "setup.h"

#include "ui_setup.h"

#include "felles.h"
#include "gui.h"
#include "inifile.h"
#include "ipsjekk.h"
#include "schema.h"
#include "scramble.h"
#include "usererror.h"
#include "windowfont.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QImage>
#include <QImageReader>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPixmap>
#include <QProxyStyle>
#include <QResource>
#include <QShowEvent>
#include <QStringDecoder>
#include <QStyle>
#include <QtEndian>

#include <vector>

QPointer<TfmSetup> fmSetup;

namespace {

using Felles::Schema::Entry;
using Felles::Schema::Form;

// Stored bytes as screen text. A value cut at 255 bytes may end inside a
// multi-byte character; the decoder keeps such an unfinished tail back
// instead of showing it as a replacement character.
QString screenText(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::System);
    return decoder.decode(bytes);
}

template <typename T>
T *control(const QWidget *window, const char *name)
{
    T *widget = window->findChild<T *>(QString::fromLatin1(name));
    if (!widget)
        throw UserError(QStringLiteral("Innstillingsvinduet mangler feltet %1.").arg(QLatin1String(name)));
    return widget;
}

// The caption that names each edit to the user, for messages about it.
struct Caption
{
    const char *edit;
    const char *caption;
};
// clang-format off
constexpr Caption Captions[] = {
    {"eNavn", "Label2"},      {"Email", "Label10"},       {"POPServer", "Label1"},
    {"Account", "Label8"},    {"Password", "Label9"},     {"eMinutt", "cSchedule"},
    {"SMTPServer", "Label11"}, {"edtAccount", "lbAccount"}, {"edtPassword", "lbPassword"},
};
// clang-format on

// A caption as the user reads it: without its access key's "&" ("&&"
// shows as "&").
QString shownCaption(QString text)
{
    return text.replace(QLatin1String("&&"), QStringLiteral("\x01")).remove(u'&').replace(u'\x01', u'&');
}

QString captionText(const QWidget *window, const QLineEdit *edit)
{
    for (const Caption &c : Captions) {
        if (edit->objectName() != QLatin1String(c.edit))
            continue;
        QString text = shownCaption(control<QWidget>(window, c.caption)->property("text").toString());
        if (text.endsWith(u':'))
            text.chop(1);
        return text;
    }
    return edit->objectName();
}

// Labels size themselves to their text, and check boxes get the same
// treatment: where the window's font is missing its stand-in is wider, and a
// clipped caption is worse than one that reaches a little further.
void growToFit(QWidget *widget)
{
    const int wanted = widget->sizeHint().width();
    if (wanted > widget->width())
        widget->resize(wanted, widget->height());
}

// The platform's own caption of a standard OK button. Asked of a button box
// inside the window, so it needs no font of its own, whose style is told not
// to give its buttons icons: the glyph is looked up once, by okGlyph.
class NoButtonIcons : public QProxyStyle
{
public:
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_DialogButtonBox_ButtonsHaveIcons)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QString okCaption(QWidget *window)
{
    NoButtonIcons plain;
    QDialogButtonBox box(window);
    box.setStyle(&plain);
    return box.addButton(QDialogButtonBox::Ok)->text();
}

// One size of the OK glyph Qt carries: as raw pixels taken from it at
// build time (setup/CMakeLists.txt), which costs no PNG decoding; else, in
// a build that could not take them, read as PNG by name, which at least
// spares asking every image plugin what the file is.
QImage okGlyphImage(int size)
{
    // Its width and height (32-bit, little-endian), then the rows.
    const QResource raw(QStringLiteral(":/korvelin/okglyph/%1.rgba").arg(size));
    const QByteArray data = raw.isValid() ? raw.uncompressedData() : QByteArray();
    if (data.size() >= 8) {
        const quint32 width = qFromLittleEndian<quint32>(data.constData());
        const quint32 height = qFromLittleEndian<quint32>(data.constData() + 4);
        if (width <= 1024 && height <= 1024 && quint64(data.size()) == 8 + quint64(width) * height * 4)
            return QImage(reinterpret_cast<const uchar *>(data.constData() + 8), int(width), int(height),
                          int(width) * 4, QImage::Format_RGBA8888)
                .copy();
    }
    QImageReader reader(QStringLiteral(":/qt-project.org/styles/commonstyle/images/standardbutton-ok-%1.png").arg(size),
                        "png");
    QImage image;
    reader.read(&image);
    return image;
}

// The style's standard OK glyph. Fusion without an icon theme of the
// desktop's own finds no "dialog-ok" in the fallback theme and takes the
// glyph Qt carries: taken straight away, without searching the theme's
// folders first; the largest size only where a screen can use it (a
// button's glyph is 16 pixels, times the pixel ratio).
QIcon okGlyph(QWidget *button)
{
    const QString theme = QIcon::themeName();
    const bool noDesktopTheme = theme.isEmpty() || theme == QLatin1String("hicolor");
    if (!noDesktopTheme || button->style()->name().compare(QLatin1String("fusion"), Qt::CaseInsensitive) != 0)
        return button->style()->standardIcon(QStyle::SP_DialogOkButton, nullptr, button);
    QIcon glyph;
    for (const int size : {16, 32, 128}) {
        if (size > 32 && qApp->devicePixelRatio() <= 2)
            break;
        const QImage image = okGlyphImage(size);
        if (!image.isNull())
            glyph.addPixmap(QPixmap::fromImage(image));
    }
    if (glyph.isNull())
        return button->style()->standardIcon(QStyle::SP_DialogOkButton, nullptr, button);
    return glyph;
}

// The settings window's kind. Windows draws a tool window with the small
// title bar the window is laid out for. On X11 a tool window is only a
// "utility" window, which a window manager may treat as a pop-up that never
// gets the keyboard (weston does): there it is a dialog, with the same title
// bar and close control.
#ifdef Q_OS_WIN
constexpr Qt::WindowType SettingsWindowKind = Qt::Tool;
#else
constexpr Qt::WindowType SettingsWindowKind = Qt::Dialog;
#endif

} // namespace

TfmSetup::TfmSetup(QWidget *parent)
    : TfmSetup(parent, BuildWidgets)
{
}

TfmSetup::TfmSetup(QWidget *parent, Widgets widgets)
    : QDialog(parent, SettingsWindowKind | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , ui(new Ui::fmSetup)
{
    if (widgets == BuildWidgets)
        buildWidgets();
}

void TfmSetup::setVisible(bool visible)
{
    if (visible)
        buildWidgets();
    QDialog::setVisible(visible);
}

void TfmSetup::buildWidgets()
{
    if (m_built)
        return;
    m_built = true;
    // The font first: the controls take it as they are made, instead of
    // each being told afterwards.
    setFont(Gui::WindowFont());
    ui->setupUi(this);
    // uic keeps only the size of a top-level form, not its place on screen:
    // the form gives that as the property screenPosition.
    move(property("screenPosition").toPoint());

    // The POP3 password shows a "*" for every character, whatever the
    // style's own mask.
    ui->Password->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));

    // The standard OK button: the platform's own OK caption and the OK glyph.
    ui->BitBtn1->setText(okCaption(this));
    ui->BitBtn1->setIcon(okGlyph(ui->BitBtn1));

    for (QLabel *label : findChildren<QLabel *>())
        growToFit(label);
    for (QCheckBox *box : findChildren<QCheckBox *>())
        growToFit(box);

    // An access key that leads nowhere must not type its letter instead.
    for (QWidget *child : findChildren<QWidget *>())
        child->installEventFilter(this);

    connect(ui->BitBtn1, &QPushButton::clicked, this, Gui::ReportingSlot(this, &TfmSetup::BitBtn1Click));
    connect(ui->BitBtn2, &QPushButton::clicked, this, Gui::ReportingSlot(this, &TfmSetup::BitBtn2Click));
    // Only the user's choice runs the handler; an index set by program does not.
    connect(ui->cboAuthType, &QComboBox::activated, this, Gui::ReportingSlot(this, &TfmSetup::cboAuthTypeChange));
    ui->tsSmtp->installEventFilter(this);
    if (m_loaded)
        applyLoadedValues();
}

TfmSetup::~TfmSetup() = default;

void TfmSetup::showEvent(QShowEvent *event)
{
    if (!event->spontaneous()) {
        // A modal tool window of the window it was opened from: a window
        // manager keeps it in front of that window.
        Gui::SetOwner(this, QApplication::activeWindow());
    }
    QDialog::showEvent(event);
    if (!event->spontaneous())
        Gui::RunReportingErrors([this] { FormShow(); });
}

bool TfmSetup::eventFilter(QObject *watched, QEvent *event)
{
    // Alt with a letter reaches a control as a key press only when no
    // access key took it. Windows drops such a key; X11 would hand the
    // letter to the focused field (or search a list with it).
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<const QKeyEvent *>(event);
        const Qt::KeyboardModifiers held = key->modifiers();
        if ((held & Qt::AltModifier) && !(held & (Qt::ControlModifier | Qt::MetaModifier)) && !key->text().isEmpty()
            && key->text().at(0).isPrint())
            return true;
    }
    if (watched == ui->tsSmtp && event->type() == QEvent::Show && !event->spontaneous())
        Gui::RunReportingErrors([this] { tsSmtpShow(); });
    return QDialog::eventFilter(watched, event);
}

void TfmSetup::done(int result)
{
    FormClose();
    QDialog::done(result);
}

void TfmSetup::setFieldBytes(QLineEdit *edit, const QByteArray &bytes)
{
    edit->setText(screenText(bytes));
    // A value longer than its box shows its beginning.
    edit->setCursorPosition(0);
    m_bytes.insert(edit, bytes);
}

QByteArray TfmSetup::fieldBytes(const QLineEdit *edit) const
{
    // A field the user has not changed gives back the very bytes it was
    // filled with, even ones its screen text cannot carry (a character cut
    // in two, bytes in another encoding): saving must not alter them.
    const auto it = m_bytes.constFind(edit);
    if (it != m_bytes.cend() && edit->text() == screenText(*it))
        return *it;
    return edit->text().toLocal8Bit();
}

QByteArray TfmSetup::savedBytes(const Entry &e)
{
    // The bytes the file is to keep for a control (a mark as 1 or 0, an
    // index as its decimal number, as the file's own writers put them);
    // refuses a value the file cannot hold. readField and applyLoadedValues
    // are the way in.
    using namespace Felles;
    switch (e.form) {
    case Form::Text:
    case Form::Scrambled: {
        QLineEdit *edit = control<QLineEdit>(this, e.control);
        const bool scrambled = e.form == Form::Scrambled;
        const QByteArray typed = fieldBytes(edit);
        const QByteArray stored = scrambled ? ScramblePassword(ShortText(typed)) : typed;
        if (!IniFile::canHold(stored))
            refuse(edit, scrambled);
        return stored;
    }
    case Form::Boolean:
        return QByteArray::number(control<QCheckBox>(this, e.control)->isChecked() ? 1 : 0);
    case Form::Integer:
        return QByteArray::number(control<QComboBox>(this, e.control)->currentIndex());
    }
    return {};
}

TfmSetup::FieldValue TfmSetup::readField(const Entry &e)
{
    using namespace Felles;
    FieldValue value;
    switch (e.form) {
    case Form::Text:
        value.bytes = ReadSetting(e.key);
        break;
    case Form::Scrambled:
        value.bytes = UnscramblePassword(ReadSetting(e.key));
        break;
    case Form::Boolean:
        value.number = ReadSettingBool(e.key);
        break;
    case Form::Integer:
        value.number = ReadSettingInt(e.key);
        break;
    }
    return value;
}

void TfmSetup::FormCreate()
{
    // Everything is read while the per-user file is open; a window whose
    // controls are not built yet gets the values when they are.
    Felles::UserSettingsBracket bracket;
    m_loadedValues.clear();
    m_readValues.clear();
    for (const Entry &e : Felles::Schema::Saved) {
        Felles::CurrentSection = e.section;
        m_readValues.push_back(readField(e));
        LoadedValue loaded;
        loaded.present = Felles::SettingsFile->hasKey(e.section, e.key);
        loaded.bytes = Felles::SettingsFile->readString(e.section, e.key);
        m_loadedValues.push_back(loaded);
    }
    m_loaded = true;
    bracket.close();
    if (m_built)
        applyLoadedValues();
}

void TfmSetup::applyLoadedValues()
{
    std::size_t i = 0;
    for (const Entry &e : Felles::Schema::Saved) {
        if (i >= m_readValues.size() || i >= m_loadedValues.size())
            break;
        const FieldValue &value = m_readValues[i];
        LoadedValue &loaded = m_loadedValues[i];
        switch (e.form) {
        case Form::Text:
        case Form::Scrambled:
            setFieldBytes(control<QLineEdit>(this, e.control), value.bytes);
            break;
        case Form::Boolean: {
            QCheckBox *box = control<QCheckBox>(this, e.control);
            box->setChecked(value.number);
            loaded.state = box->isChecked();
            break;
        }
        case Form::Integer: {
            // A stored index the list does not offer selects nothing.
            QComboBox *list = control<QComboBox>(this, e.control);
            list->setCurrentIndex(value.number >= 0 && value.number < list->count() ? value.number : -1);
            loaded.state = list->currentIndex();
            break;
        }
        }
        ++i;
    }
    m_readValues.clear();
}

void TfmSetup::FormShow()
{
    // Loading switched to the per-user file, which looked the name up.
    if (ui->Account->text().isEmpty())
        setFieldBytes(ui->Account, Felles::UserNameCache);
    if (ui->POPServer->text().isEmpty())
        setFieldBytes(ui->POPServer, "mail." + Felles::NetworkDomain());
    if (ui->Email->text().isEmpty())
        setFieldBytes(ui->Email, fieldBytes(ui->Account) + '@' + Felles::NetworkDomain());
}

void TfmSetup::FormClose()
{
    setAttribute(Qt::WA_DeleteOnClose);
}

void TfmSetup::tsSmtpShow()
{
    if (ui->SMTPServer->text().isEmpty())
        setFieldBytes(ui->SMTPServer, fieldBytes(ui->POPServer));
}

void TfmSetup::cboAuthTypeChange()
{
    ui->Panel1->setVisible(ui->cboAuthType->currentIndex() > 0);
}

void TfmSetup::refuse(QLineEdit *edit, bool scrambled)
{
    // Take the user to the field, so it can be put right before the next OK.
    int tab = 0;
    while (tab < ui->pcSetup->count() && !ui->pcSetup->widget(tab)->isAncestorOf(edit))
        ++tab;
    const QString tabText = shownCaption(ui->pcSetup->tabText(tab));
    ui->pcSetup->setCurrentIndex(tab);
    edit->setFocus();
    const QString field = captionText(this, edit);
    if (scrambled)
        throw Felles::SettingsError(
            QStringLiteral("Passordet i feltet «%1» på fanen «%2» kan ikke lagres: i den formen det "
                           "lagres på, ville det inneholde et linjeskift, og det kan ikke "
                           "innstillingsfilen holde. Ingenting er lagret.")
                .arg(field, tabText));
    throw Felles::SettingsError(
        QStringLiteral("Feltet «%1» på fanen «%2» inneholder et linjeskift, og det kan ikke lagres i "
                       "innstillingsfilen. Fjern linjeskiftet og trykk OK igjen. Ingenting er lagret.")
            .arg(field, tabText));
}

bool TfmSetup::changedByUser(const Entry &e, const LoadedValue &loaded) const
{
    switch (e.form) {
    case Form::Text:
    case Form::Scrambled: {
        // Against what the window last put in the field itself: the value
        // loaded, or the default it proposed when shown.
        const QLineEdit *edit = control<QLineEdit>(this, e.control);
        const auto it = m_bytes.constFind(edit);
        return it == m_bytes.cend() || edit->text() != screenText(*it);
    }
    case Form::Boolean:
        return control<QCheckBox>(this, e.control)->isChecked() != bool(loaded.state);
    case Form::Integer:
        return control<QComboBox>(this, e.control)->currentIndex() != loaded.state;
    }
    return true;
}

std::vector<TfmSetup::StoredValue> TfmSetup::valuesToSave()
{
    std::vector<StoredValue> values;
    std::size_t i = 0;
    for (const Entry &e : Felles::Schema::Saved) {
        const bool changed = i >= m_loadedValues.size() || changedByUser(e, m_loadedValues[i]);
        values.push_back({&e, savedBytes(e), changed});
        ++i;
    }
    return values;
}

void TfmSetup::saveToUserFile(const std::vector<StoredValue> &values)
{
    // The switch reads the per-user file afresh: another copy of the program
    // or an editor may have changed it since the window loaded it.
    Felles::UserSettingsBracket bracket;
    try {
        for (std::size_t i = 0; i < values.size(); ++i) {
            const StoredValue &v = values[i];
            const Entry &e = *v.entry;
            const bool present = Felles::SettingsFile->hasKey(e.section, e.key);
            // What the user changed is written, and so is a setting the file
            // lacks. One the user left alone is written only while the file
            // still holds what was loaded (its value in the form this window
            // writes, as it always was); a newer value on disk is kept.
            bool write = v.changedByUser || !present;
            if (!write && i < m_loadedValues.size()) {
                const LoadedValue &loaded = m_loadedValues[i];
                write = loaded.present && Felles::SettingsFile->readString(e.section, e.key) == loaded.bytes;
            }
            if (write)
                Felles::SettingsFile->writeString(e.section, e.key, v.bytes);
        }
        // Flushes the per-user file.
        bracket.close();
    } catch (...) {
        // The open file goes back to what is on disk: values the user then
        // abandons by closing the window must not be written by a later
        // switch.
        Felles::DiscardUnsavedChanges();
        throw;
    }
}

void TfmSetup::BitBtn1Click()
{
    // Every value is made and checked before anything is written: a value
    // the file cannot hold stops the save with nothing changed, on disk or
    // in memory, and the window stays open.
    const std::vector<StoredValue> values = valuesToSave();
    // A failed save goes to the default report and the window stays open
    // with everything typed, so OK can be pressed again.
    saveToUserFile(values);
    accept();
}

void TfmSetup::BitBtn2Click()
{
    // The ping freezes the windows; presses made meanwhile start nothing.
    Gui::RunBlocking([this] { CheckHost(ui->POPServer->text(), true); });
}
