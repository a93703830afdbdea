#include "sjekk.h"

#include "ui_sjekk.h"

#include "felles.h"
#include "gui.h"
#include "schema.h"
#include "scramble.h"
#include "setup.h"
#include "windowfont.h"

#include <QCloseEvent>
#include <QKeyEvent>

#include <algorithm>

TSjekkForm *SjekkForm = nullptr;

TSjekkForm::TSjekkForm(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
    , ui(new Ui::SjekkForm)
{
    ui->setupUi(this);
    setFont(Gui::WindowFont());
    // uic keeps only the size of a top-level form, not its place on screen:
    // the form gives that as the property screenPosition.
    move(property("screenPosition").toPoint());
    // The status line and the window never get smaller than laid out.
    m_laidOutStatus = ui->Statuslabel->size();
    m_laidOutWindow = size();
    // The bar is declared after the dot and lies above it: the row they share
    // belongs to the bar.
    ui->Shape2->raise();
    // A keyboard user can check and open the settings too (keyPressEvent).
    setFocusPolicy(Qt::StrongFocus);
    connect(ui->Shape1, &Gui::Shape::mouseDown, this, Gui::ReportingSlot(this, &TSjekkForm::Shape1MouseDown));
    connect(ui->Shape2, &Gui::Shape::mouseDown, this, Gui::ReportingSlot(this, &TSjekkForm::Shape2MouseDown));
    ShowStatus(ui->Statuslabel->text());
}

TSjekkForm::~TSjekkForm() = default;

void TSjekkForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    // Started from a menu or a terminal, the window has the keyboard at once.
    activateWindow();
    setFocus(Qt::ActiveWindowFocusReason);
    Gui::RunReportingErrors([this] { FormShow(); });
}

void TSjekkForm::closeEvent(QCloseEvent *event)
{
    QWidget::closeEvent(event);
    // Closing the main window ends the program, whatever other window is up.
    if (event->isAccepted())
        Gui::Quit();
}

void TSjekkForm::keyPressEvent(QKeyEvent *event)
{
    // A key held down starts one check, not one for every repeat; a key
    // with Ctrl, Alt or Meta belongs to someone else's shortcut.
    const Qt::KeyboardModifiers held = event->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier);
    if (event->isAutoRepeat() || held != Qt::NoModifier) {
        QWidget::keyPressEvent(event);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        Gui::RunReportingErrors([this] { Shape1MouseDown(); });
        break;
    case Qt::Key_F2:
        Gui::RunReportingErrors([this] { Shape2MouseDown(); });
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void TSjekkForm::Shape1MouseDown()
{
    SjekkKnappClick();
}

void TSjekkForm::Shape2MouseDown()
{
    Setup1Click();
}

void TSjekkForm::FormShow()
{
    LoadPopSettings();
}

void TSjekkForm::LoadPopSettings()
{
    using namespace Felles;
    namespace P = Schema::Pop3;
    m_settingsLoaded = false;
    UserSettingsBracket bracket;
    CurrentSection = Schema::Pop3Section;
    const QByteArray host = ReadSetting(P::ServerName.key);
    // As written: the client says so when it is no port number.
    const QByteArray port = ReadSetting(P::ServerPort.key);
    const QByteArray user = ReadSetting(P::ServerUser.key);
    const QByteArray password = UnscramblePassword(ReadSetting(P::ServerPassword.key));
    bracket.close();
    // The client takes the new settings only once both files are safely
    // switched back, so a failed switch keeps the previous ones.
    pop3.setHost(host);
    pop3.setPortText(port);
    pop3.setUserName(user);
    pop3.setPassword(password);
    m_settingsLoaded = true;
}

void TSjekkForm::SjekkKnappClick()
{
    // The check freezes the window; presses made meanwhile start nothing.
    Gui::RunBlocking([this] {
        // A failed reading was reported; the file may have been mended since,
        // and if not, its fault is the truth to tell rather than a login with
        // no server or an old one.
        if (!m_settingsLoaded)
            LoadPopSettings();
        if (pop3.connected())
            pop3.disconnect();
        pop3.connect();
        const qint64 count = pop3.messageCount();
        const qint64 size = pop3.mailboxSize();
        ShowStatus(QString::number(size) + QStringLiteral(" bytes i ") + QString::number(count)
                   + QStringLiteral(" meldinger"));
        // The answer is on screen while the server takes its time to say
        // goodbye.
        Gui::RepaintNow(this);
        pop3.disconnect();
    });
}

void TSjekkForm::Setup1Click()
{
    TfmSetup *window = Gui::CreateForm<TfmSetup>(fmSetup);
    // Loading failed and was reported: the window would offer defaults in
    // place of the user's settings, and its OK would save them over the
    // file once the fault is gone. It is not shown; nothing was changed.
    if (!window->loaded()) {
        delete window;
        return;
    }
    window->exec();
    Gui::GiveKeyboardBack(this);
    LoadPopSettings();
}

void TSjekkForm::ShowStatus(const QString &text)
{
    // The status line grows to the right to show its whole text. The window
    // keeps its laid-out size while the line fits inside it, and grows, with
    // a margin, only for a line that would pass its edge.
    QLabel *label = ui->Statuslabel;
    label->setText(text);
    const QSize hint = label->sizeHint();
    label->resize(std::max(m_laidOutStatus.width(), hint.width()), std::max(m_laidOutStatus.height(), hint.height()));
    const QRect line = label->geometry();
    const int width = line.right() < m_laidOutWindow.width() ? m_laidOutWindow.width() : line.right() + StatusMargin;
    const int height = line.bottom() < m_laidOutWindow.height() ? m_laidOutWindow.height()
                                                                : line.bottom() + StatusMargin;
    if (width != this->width() || height != this->height())
        resize(width, height);
}
