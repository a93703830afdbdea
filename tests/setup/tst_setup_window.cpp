// The settings window: loading, defaults, saving, refusals and failures, and
// how the checker window opens it.

#include "windowfixture.h"

#include "felles.h"
#include "inifile.h"
#include "ipsjekk.h"
#include "scramble.h"
#include "setup.h"
#include "shape.h"
#include "sjekk.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <unistd.h>

namespace {

template <typename T>
T *field(QWidget *window, const char *name)
{
    return window ? window->findChild<T *>(QString::fromLatin1(name)) : nullptr;
}

// Opens a settings window as the checker does, without the modal loop.
TfmSetup *openWindow()
{
    TfmSetup *window = Gui::CreateForm<TfmSetup>(fmSetup);
    window->show();
    return window;
}

// Replaces an edit's text the way a user does: select all, then type.
void retype(QLineEdit *edit, const QString &text)
{
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

void pressOk(QWidget *window)
{
    QTest::mouseClick(field<QPushButton>(window, "BitBtn1"), Qt::LeftButton);
}

void showTab(QWidget *window, int index)
{
    QTabBar *bar = field<QTabWidget>(window, "pcSetup")->findChild<QTabBar *>();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
}

// A file of tests/setup/data, byte for byte.
QByteArray golden(const char *name)
{
    QFile file(QStringLiteral(KORVELIN_SETUP_DATA "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("missing: ") + name;
}

// Every saved field: its control, and where its value goes, written out
// here rather than taken from the program.
enum class Kind { Text, Scrambled, Mark, Index };
struct SavedField
{
    const char *control;
    const char *section;
    const char *key;
    Kind kind;
};
// clang-format off
const SavedField savedFields[] = {
    {"POPServer", "Pop3", "ServerName", Kind::Text},
    {"Account", "Pop3", "ServerUser", Kind::Text},
    {"Password", "Pop3", "ServerPassword", Kind::Scrambled},
    {"cNye", "Pop3", "StartupCheck", Kind::Mark},
    {"cSchedule", "Pop3", "Scheduler", Kind::Mark},
    {"eMinutt", "Pop3", "ScheduleMinutes", Kind::Text},
    {"cListe", "Pop3", "ShowList", Kind::Mark},
    {"cHide", "Pop3", "HideWindow", Kind::Mark},
    {"cBeep", "Pop3", "BeepOnMail", Kind::Mark},
    {"cVismelding", "Pop3", "ShowOnNew", Kind::Mark},
    {"VisNyListe", "Pop3", "ShowListOnNew", Kind::Mark},
    {"SMTPServer", "Smtp", "ServerName", Kind::Text},
    {"edtAccount", "Smtp", "ServerUser", Kind::Text},
    {"edtPassword", "Smtp", "ServerPassword", Kind::Text},
    {"Email", "Email", "PersonalEmail", Kind::Text},
    {"eNavn", "Email", "EmailName", Kind::Text},
    {"cboAuthType", "Smtp", "SMTPAuthenticationType", Kind::Index},
};
// clang-format on

// A user file as the store itself writes it, so a later rewrite of the
// unchanged file gives the same bytes.
void writeUserFile(const QString &path, const QList<QPair<QByteArray, QByteArray>> &keys,
                   const QList<QByteArray> &values)
{
    Felles::IniFile file(path);
    for (int i = 0; i < keys.size(); ++i)
        file.writeString(keys[i].first, keys[i].second, values[i]);
    file.flush();
}

} // namespace

class TestSetupWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void controls();
    void okButtonIsTheStandardOne();
    void startupWindowReadsWhenCreated();
    void defaults_data();
    void defaults();
    void reshownWindowKeepsFilledAddress();
    void sendeTabCopiesPopServer_data();
    void sendeTabCopiesPopServer();
    void authTypeLoadAndSave_data();
    void authTypeLoadAndSave();
    void panelFollowsUserChoice();
    void roundTrip_data();
    void roundTrip();
    void longValues_data();
    void longValues();
    void untouchedFieldsKeepTheirBytes();
    void okAloneWritesAsAlways_data();
    void okAloneWritesAsAlways();
    void okWritesOnlyWhatTheUserChanged_data();
    void okWritesOnlyWhatTheUserChanged();
    void proposedDefaultsYieldToNewerValues();
    void refusesLineBreaks_data();
    void refusesLineBreaks();
    void closeControlSavesNothingAndCheckerReloads();
    void saveFailure_data();
    void saveFailure();
    void unreadSettingsAreNotOffered();
    void pingButtonTestsTypedServer();
    void deadAccessKeysTypeNothing_data();
    void deadAccessKeysTypeNothing();
    void passwordMasksWithAsterisks();
    void longValuesShowTheirBeginning_data();
    void longValuesShowTheirBeginning();

private:
    std::optional<WindowFixture> fx;
};

void TestSetupWindow::init()
{
    fx.emplace();
    QVERIFY(fx->isValid());
}

void TestSetupWindow::cleanup()
{
    fx.reset(); // deletes every window
    SjekkForm = nullptr;
    IPTestForm = nullptr;
}

void TestSetupWindow::okButtonIsTheStandardOne()
{
    // The caption and the glyph the platform gives a standard OK button.
    const QDialogButtonBox standard(QDialogButtonBox::Ok);
    TfmSetup *w = openWindow();
    QPushButton *ok = field<QPushButton>(w, "BitBtn1");
    QCOMPARE(ok->text(), standard.button(QDialogButtonBox::Ok)->text());
    const QIcon glyph = ok->style()->standardIcon(QStyle::SP_DialogOkButton, nullptr, ok);
    for (const qreal ratio : {1.0, 1.5, 2.0})
        for (const QIcon::Mode mode : {QIcon::Normal, QIcon::Active, QIcon::Disabled})
            QCOMPARE(ok->icon().pixmap(ok->iconSize(), ratio, mode).toImage(),
                     glyph.pixmap(ok->iconSize(), ratio, mode).toImage());
}

void TestSetupWindow::startupWindowReadsWhenCreated()
{
    writeUserFile(
        fx->file("KARI.INI"),
        {{"Pop3", "ServerName"}, {"Pop3", "ShowList"}, {"Smtp", "SMTPAuthenticationType"}, {"Email", "EmailName"}},
        {"pop.fjellbygd.no", "1", "1", "Kari Nordmann"});
    TfmSetup *w = Gui::CreateForm<TfmSetupHidden>(fmSetup);
    QCOMPARE(fmSetup.data(), w);
    QVERIFY(w->loaded());
    QVERIFY(fx->reports.isEmpty());
    QCOMPARE(Felles::SettingsFile->nativePath(), Felles::SharedIniPath);

    // Should it ever be shown, it shows what the file held when it was made.
    writeUserFile(fx->file("KARI.INI"), {{"Pop3", "ServerName"}}, {"annen.fjellbygd.no"});
    w->show();
    QCOMPARE(field<QLineEdit>(w, "POPServer")->text(), QStringLiteral("pop.fjellbygd.no"));
    QVERIFY(field<QCheckBox>(w, "cListe")->isChecked());
    QVERIFY(!field<QCheckBox>(w, "cNye")->isChecked());
    QCOMPARE(field<QComboBox>(w, "cboAuthType")->currentIndex(), 1);
    QCOMPARE(field<QLineEdit>(w, "eNavn")->text(), QStringLiteral("Kari Nordmann"));
    QCOMPARE(field<QPushButton>(w, "BitBtn1")->text(),
             QDialogButtonBox(QDialogButtonBox::Ok).button(QDialogButtonBox::Ok)->text());

    // What the user did not touch keeps the newer value on disk.
    pressOk(w);
    QVERIFY(fx->reports.isEmpty());
    QCOMPARE(fx->value("KARI.INI", "Pop3", "ServerName"), QByteArray("annen.fjellbygd.no"));
    QCOMPARE(fx->value("KARI.INI", "Email", "EmailName"), QByteArray("Kari Nordmann"));
}

void TestSetupWindow::controls()
{
    TfmSetup *w = Gui::CreateForm<TfmSetup>(fmSetup);
    QCOMPARE(fmSetup.data(), w);

    // Every saved setting has its control, of the kind its value form needs.
    for (const SavedField &e : savedFields) {
        QWidget *c = field<QWidget>(w, e.control);
        QVERIFY2(c, e.control);
        const char *kind = e.kind == Kind::Mark ? "QCheckBox" : e.kind == Kind::Index ? "QComboBox" : "QLineEdit";
        QVERIFY2(c->inherits(kind), e.control);
    }
    QCOMPARE(field<QLineEdit>(w, "Password")->echoMode(), QLineEdit::Password);
    QCOMPARE(field<QLineEdit>(w, "edtPassword")->echoMode(), QLineEdit::Normal);
    QComboBox *list = field<QComboBox>(w, "cboAuthType");
    QVERIFY(!list->isEditable());
    QCOMPARE(list->count(), 2);

    QTabWidget *pages = field<QTabWidget>(w, "pcSetup");
    const QStringList pageNames{"TabSheet2", "tsPop3", "tsSmtp", "TabSheet1"};
    for (int i = 0; i < pageNames.size(); ++i)
        QCOMPARE(pages->widget(i)->objectName(), pageNames[i]);

    // Only three labels lead to a control; the other access keys are shown only.
    QCOMPARE(field<QLabel>(w, "lblAuthenticationType")->buddy(), list);
    QCOMPARE(field<QLabel>(w, "lbAccount")->buddy(), field<QWidget>(w, "edtAccount"));
    QCOMPARE(field<QLabel>(w, "lbPassword")->buddy(), field<QWidget>(w, "edtPassword"));
    for (const char *name : {"Label1", "Label8", "Label9", "Label10", "Label11"}) {
        QLabel *label = field<QLabel>(w, name);
        QVERIFY2(label->text().startsWith(u'&') && !label->buddy(), name);
        // The "&" is not drawn, so it takes no room either.
        QCOMPARE(label->sizeHint().width(), label->fontMetrics().size(Qt::TextShowMnemonic, label->text()).width());
    }

    QCOMPARE(w->windowTitle(), QStringLiteral("Epost oppsett"));
#ifdef Q_OS_WIN
    QCOMPARE(w->windowType(), Qt::Tool);
#else
    QCOMPARE(w->windowType(), Qt::Dialog); // an X11 tool window may never get the keyboard
#endif
    QVERIFY(w->windowFlags() & Qt::WindowCloseButtonHint);
    QCOMPARE(w->minimumSize(), QSize(426, 277));
    QCOMPARE(w->maximumSize(), QSize(426, 277));
    QPushButton *ok = field<QPushButton>(w, "BitBtn1");
    QVERIFY(ok->isDefault());
    QVERIFY(!ok->icon().isNull());
    QVERIFY(ok->text().contains(QLatin1String("OK"), Qt::CaseInsensitive));
    QVERIFY(field<QWidget>(w, "Panel1")->isHidden());

    // Tab order, as far as the focusable controls go.
    const QStringList order{"BitBtn1",    "pcSetup",     "eNavn",   "Email",       "POPServer",
                            "Account",    "Password",    "BitBtn2", "SMTPServer",  "cboAuthType",
                            "edtAccount", "edtPassword", "cNye",    "cSchedule",   "eMinutt",
                            "cHide",      "cListe",      "cBeep",   "cVismelding", "VisNyListe"};
    QStringList chain;
    QWidget *start = field<QWidget>(w, "BitBtn1");
    for (QWidget *c = start; chain.size() < order.size(); c = c->nextInFocusChain()) {
        if (order.contains(c->objectName()) && !chain.contains(c->objectName()))
            chain << c->objectName();
        if (c->nextInFocusChain() == start)
            break;
    }
    QCOMPARE(chain, order);
}

void TestSetupWindow::defaults_data()
{
    QTest::addColumn<QByteArray>("logon");
    QTest::addColumn<QByteArray>("domain");
    QTest::addColumn<QByteArray>("storedUser");
    QTest::addColumn<QByteArray>("storedServer");
    QTest::addColumn<QByteArray>("storedEmail");
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("userFile");

    // clang-format off
    QTest::newRow("first time") << QByteArray("kari") << QByteArray("example.no") << QByteArray()
                                << QByteArray() << QByteArray() << "kari" << "mail.example.no"
                                << "kari@example.no" << "KARI.INI";
    QTest::newRow("first time, Norwegian name")
        << QByteArray("åse") << QByteArray("example.no") << QByteArray() << QByteArray() << QByteArray()
        << "åse" << "mail.example.no" << "åse@example.no" << "ÅSE.INI";
    QTest::newRow("no domain") << QByteArray("kari") << QByteArray() << QByteArray() << QByteArray()
                               << QByteArray() << "kari" << "mail." << "kari@" << "KARI.INI";
    QTest::newRow("no logon name") << QByteArray() << QByteArray("example.no") << QByteArray()
                                   << QByteArray() << QByteArray() << "" << "mail.example.no"
                                   << "@example.no" << ".INI";
    QTest::newRow("address kept, account cleared")
        << QByteArray("kari") << QByteArray("example.no") << QByteArray() << QByteArray("pop.hjemme.no")
        << QByteArray("ola@hjemme.no") << "kari" << "pop.hjemme.no" << "ola@hjemme.no" << "KARI.INI";
    QTest::newRow("address from the stored account")
        << QByteArray("kari") << QByteArray("example.no") << QByteArray("ola") << QByteArray()
        << QByteArray() << "ola" << "mail.example.no" << "ola@example.no" << "KARI.INI";
    // clang-format on
}

void TestSetupWindow::defaults()
{
    QFETCH(QByteArray, logon);
    QFETCH(QByteArray, domain);
    QFETCH(QByteArray, storedUser);
    QFETCH(QByteArray, storedServer);
    QFETCH(QByteArray, storedEmail);
    QFETCH(QString, account);
    QFETCH(QString, server);
    QFETCH(QString, email);
    QFETCH(QString, userFile);

    fx->identity->userName = logon;
    fx->identity->domainValue = domain;
    writeUserFile(fx->file(userFile), {{"Pop3", "ServerUser"}, {"Pop3", "ServerName"}, {"Email", "PersonalEmail"}},
                  {storedUser, storedServer, storedEmail});

    TfmSetup *w = openWindow();
    QCOMPARE(field<QTabWidget>(w, "pcSetup")->currentWidget()->objectName(), QStringLiteral("TabSheet1"));
    QCOMPARE(field<QLineEdit>(w, "Account")->text(), account);
    QCOMPARE(field<QLineEdit>(w, "POPServer")->text(), server);
    QCOMPARE(field<QLineEdit>(w, "Email")->text(), email);
    QVERIFY(fx->files().contains(userFile));
    // Loading closed its bracket: the shared file is open again.
    QCOMPARE(Felles::SettingsFile->nativePath(), Felles::SharedIniPath);
    QCOMPARE(Felles::CurrentSection, QByteArray("STANDARD"));
    QVERIFY(fx->reports.isEmpty());
}

void TestSetupWindow::reshownWindowKeepsFilledAddress()
{
    writeUserFile(fx->file("KARI.INI"), {{"Pop3", "ServerUser"}}, {"ola"});
    TfmSetup *w = openWindow();
    QLineEdit *account = field<QLineEdit>(w, "Account");
    QCOMPARE(field<QLineEdit>(w, "Email")->text(), QStringLiteral("ola@example.no"));

    showTab(w, 1);
    retype(account, QString());
    w->hide();
    w->show();
    QCOMPARE(account->text(), QStringLiteral("kari"));
    QCOMPARE(field<QLineEdit>(w, "Email")->text(), QStringLiteral("ola@example.no"));
}

void TestSetupWindow::sendeTabCopiesPopServer_data()
{
    QTest::addColumn<QByteArray>("storedSmtp");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty SMTP server") << QByteArray() << "pop.skrevet.no";
    QTest::newRow("stored SMTP server") << QByteArray("smtp.lagret.no") << "smtp.lagret.no";
}

void TestSetupWindow::sendeTabCopiesPopServer()
{
    QFETCH(QByteArray, storedSmtp);
    QFETCH(QString, expected);
    writeUserFile(fx->file("KARI.INI"), {{"Pop3", "ServerName"}, {"Smtp", "ServerName"}},
                  {"pop.lagret.no", storedSmtp});

    TfmSetup *w = openWindow();
    QTabWidget *pages = field<QTabWidget>(w, "pcSetup");
    QCOMPARE(pages->currentIndex(), 3);
    showTab(w, 1);
    retype(field<QLineEdit>(w, "POPServer"), QStringLiteral("pop.skrevet.no"));
    showTab(w, 2);
    QCOMPARE(pages->currentIndex(), 2);
    QCOMPARE(field<QLineEdit>(w, "SMTPServer")->text(), expected);
    w->close();

    // Whatever tab the last window was left on, the next one opens on "Instillinger".
    w = openWindow();
    QCOMPARE(field<QTabWidget>(w, "pcSetup")->currentIndex(), 3);
    QCOMPARE(field<QLineEdit>(w, "SMTPServer")->text(), storedSmtp);
}

void TestSetupWindow::authTypeLoadAndSave_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QByteArray>("saved");
    QTest::newRow("absent") << QByteArray() << 0 << "Ingen pålogging" << QByteArray("0");
    QTest::newRow("simple login") << QByteArray("1") << 1 << "Enkel pålogging" << QByteArray("1");
    QTest::newRow("7 selects nothing") << QByteArray("7") << -1 << "" << QByteArray("-1");
    QTest::newRow("-1 selects nothing") << QByteArray("-1") << -1 << "" << QByteArray("-1");
    QTest::newRow("not a number") << QByteArray("en") << 0 << "Ingen pålogging" << QByteArray("0");
}

void TestSetupWindow::authTypeLoadAndSave()
{
    QFETCH(QByteArray, stored);
    QFETCH(int, index);
    QFETCH(QString, shown);
    QFETCH(QByteArray, saved);
    if (!stored.isEmpty())
        writeUserFile(fx->file("KARI.INI"), {{"Smtp", "SMTPAuthenticationType"}}, {stored});

    TfmSetup *w = openWindow();
    QComboBox *list = field<QComboBox>(w, "cboAuthType");
    QCOMPARE(list->currentIndex(), index);
    QCOMPARE(list->currentText(), shown);
    // Loading sets the index by program: the panel stays hidden.
    QVERIFY(field<QWidget>(w, "Panel1")->isHidden());

    pressOk(w);
    QVERIFY(!w->isVisible());
    QCOMPARE(fx->value("KARI.INI", "Smtp", "SMTPAuthenticationType"), saved);
}

void TestSetupWindow::panelFollowsUserChoice()
{
    writeUserFile(fx->file("KARI.INI"), {{"Smtp", "SMTPAuthenticationType"}}, {"1"});
    TfmSetup *w = openWindow();
    showTab(w, 2);
    QComboBox *list = field<QComboBox>(w, "cboAuthType");
    QWidget *panel = field<QWidget>(w, "Panel1");
    QVERIFY(panel->isHidden());

    // Picking the item already selected, from the open list, shows the panel.
    list->setFocus();
    QTest::keyClick(list, Qt::Key_F4);
    QVERIFY(list->view()->isVisible());
    QTest::keyClick(list->view(), Qt::Key_Return);
    QCOMPARE(list->currentIndex(), 1);
    QVERIFY(panel->isVisible());

    QTest::keyClick(list, Qt::Key_Up);
    QCOMPARE(list->currentIndex(), 0);
    QVERIFY(panel->isHidden());
    QTest::keyClick(list, Qt::Key_Down);
    QVERIFY(panel->isVisible());
    QVERIFY(field<QWidget>(w, "edtAccount")->isVisible());
}

void TestSetupWindow::roundTrip_data()
{
    // Three rows whose check-mark patterns together give every check box a
    // different code, so two swapped keys cannot go unnoticed.
    QTest::addColumn<int>("bit");
    QTest::newRow("pattern 1") << 0;
    QTest::newRow("pattern 2") << 1;
    QTest::newRow("pattern 3") << 2;
}

void TestSetupWindow::roundTrip()
{
    QFETCH(int, bit);
    // clang-format off
    const QHash<QString, QString> texts{
        {"eNavn", "Åse Ødegård"},        {"Email", "åse@fjellbygd.no"}, {"POPServer", "pop.fjellbygd.no"},
        {"Account", "åse.ødegård"},      {"Password", "blåbær-Æ!"},      {"eMinutt", "15"},
        {"SMTPServer", "smtp.fjellbygd.no"}, {"edtAccount", "åse.smtp"},  {"edtPassword", "sånn=; [x]"},
    };
    // clang-format on
    const int authIndex = bit % 2;

    TfmSetup *w = openWindow();
    int boolNumber = 0;
    QHash<QString, bool> marks;
    for (const SavedField &e : savedFields) {
        if (e.kind == Kind::Mark) {
            marks[e.control] = ((++boolNumber) >> bit) & 1;
            QCheckBox *box = field<QCheckBox>(w, e.control);
            if (box->isChecked() != marks[e.control]) {
                showTab(w, 3);
                QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
            }
        } else if (e.kind != Kind::Index) {
            retype(field<QLineEdit>(w, e.control), texts.value(e.control));
        }
    }
    field<QComboBox>(w, "cboAuthType")->setCurrentIndex(authIndex);
    pressOk(w);
    QVERIFY(fx->reports.isEmpty());
    QVERIFY(!w->isVisible());
    QCOMPARE(w->result(), int(QDialog::Accepted));
    QCOMPARE(Felles::CurrentSection, QByteArray("STANDARD"));
    QCOMPARE(Felles::SettingsFile->nativePath(), Felles::SharedIniPath);

    // On disk: texts as typed, the POP3 password scrambled, the SMTP one in clear.
    for (const SavedField &e : savedFields) {
        const QByteArray v = fx->value("KARI.INI", e.section, e.key);
        switch (e.kind) {
        case Kind::Text:
            QCOMPARE(v, texts.value(e.control).toUtf8());
            break;
        case Kind::Scrambled:
            QCOMPARE(v, Felles::ScramblePassword(texts.value(e.control).toUtf8()));
            QVERIFY(!v.contains(texts.value(e.control).toUtf8()));
            break;
        case Kind::Mark:
            QCOMPARE(v, QByteArray(marks[e.control] ? "1" : "0"));
            break;
        case Kind::Index:
            QCOMPARE(v, QByteArray::number(authIndex));
            break;
        }
    }
    QCOMPARE(fx->value("KARI.INI", "Smtp", "ServerPassword"), QByteArray("sånn=; [x]"));

    // The next opening shows everything again.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!fmSetup);
    w = openWindow();
    for (const SavedField &e : savedFields) {
        if (e.kind == Kind::Mark)
            QCOMPARE(field<QCheckBox>(w, e.control)->isChecked(), marks[e.control]);
        else if (e.kind == Kind::Index)
            QCOMPARE(field<QComboBox>(w, e.control)->currentIndex(), authIndex);
        else
            QCOMPARE(field<QLineEdit>(w, e.control)->text(), texts.value(e.control));
    }
}

void TestSetupWindow::longValues_data()
{
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("shownAgain");

    const QString x300(300, u'x');
    // clang-format off
    QTest::newRow("display name, 300 letters")
        << QByteArray("eNavn") << QByteArray("Email") << QByteArray("EmailName") << x300
        << x300.toUtf8() << x300.left(255);
    // 255 bytes end in the middle of the 128th "ø", which is left off.
    const QString oe300(300, u'ø');
    QTest::newRow("address, 300 Norwegian letters")
        << QByteArray("Email") << QByteArray("Email") << QByteArray("PersonalEmail") << oe300
        << oe300.toUtf8() << oe300.left(127);
    // clang-format on
    // One letter repeated this long always scrambles to a line break
    // somewhere; the letter steps aside at those positions.
    QString p300;
    for (int i = 1; i <= 300; ++i)
        p300 += QChar(((112 + i) % 256 == 10 || (112 + i) % 256 == 13) ? u'q' : u'p');
    QTest::newRow("POP3 password, 300 letters")
        << QByteArray("Password") << QByteArray("Pop3") << QByteArray("ServerPassword") << p300
        << Felles::ScramblePassword(p300.left(255).toUtf8()) << p300.left(253);
}

void TestSetupWindow::longValues()
{
    QFETCH(QByteArray, control);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(QString, typed);
    QFETCH(QByteArray, stored);
    QFETCH(QString, shownAgain);

    TfmSetup *w = openWindow();
    field<QLineEdit>(w, control)->setText(typed);
    pressOk(w);
    QVERIFY2(fx->reports.isEmpty(), qPrintable(fx->reports.join(u'\n')));
    QCOMPARE(fx->value("KARI.INI", section, key), stored);

    w = openWindow();
    QCOMPARE(field<QLineEdit>(w, control)->text(), shownAgain);
    // Saving again untouched writes the value as it was read: cut to 255 bytes.
    pressOk(w);
    QVERIFY(fx->reports.isEmpty());
    if (section != "Pop3")
        QCOMPARE(fx->value("KARI.INI", section, key), stored.left(255));
    else
        QCOMPARE(fx->value("KARI.INI", section, key), Felles::ScramblePassword(shownAgain.toUtf8()));
}

void TestSetupWindow::untouchedFieldsKeepTheirBytes()
{
    // Written by something that used Latin-1: not valid UTF-8.
    const QByteArray user("Bj\xf8rn");
    const QByteArray scrambled = Felles::ScramblePassword("bl\xe5");
    writeUserFile(fx->file("KARI.INI"), {{"Pop3", "ServerUser"}, {"Pop3", "ServerPassword"}}, {user, scrambled});

    TfmSetup *w = openWindow();
    QCOMPARE(field<QLineEdit>(w, "Account")->text(), QStringLiteral("Bj\uFFFDrn"));
    retype(field<QLineEdit>(w, "eMinutt"), QStringLiteral("5"));
    pressOk(w);
    QVERIFY(fx->reports.isEmpty());
    QCOMPARE(fx->value("KARI.INI", "Pop3", "ServerUser"), user);
    QCOMPARE(fx->value("KARI.INI", "Pop3", "ServerPassword"), scrambled);
    QCOMPARE(fx->value("KARI.INI", "Pop3", "ScheduleMinutes"), QByteArray("5"));
}

void TestSetupWindow::okAloneWritesAsAlways_data()
{
    QTest::addColumn<QByteArray>("before"); // the per-user file in data/; empty: none
    QTest::addColumn<QString>("server");    // typed into POPServer; empty: left alone
    QTest::addColumn<QByteArray>("after");

    // A first save: the defaults the window proposed and every other field,
    // in the order new keys are written.
    QTest::newRow("first save") << QByteArray() << QString() << QByteArray("first-save.ini");
    // Nobody else touched the file: what the window loaded is written back in
    // its own form, a mark as 1 or 0 and a list's index as the list holds it.
    QTest::newRow("a file written by hand")
        << QByteArray("by-hand.ini") << QString() << QByteArray("by-hand-saved.ini");
    // Comments, keys and sections the window does not know stay where they were.
    QTest::newRow("other keys and sections")
        << QByteArray("other-keys.ini") << QStringLiteral("ny.example.no") << QByteArray("other-keys-saved.ini");
}

void TestSetupWindow::okAloneWritesAsAlways()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, server);
    QFETCH(QByteArray, after);
    if (!before.isEmpty())
        QVERIFY(fx->writeFile("KARI.INI", golden(before.constData())));
    TfmSetup *w = openWindow();
    if (!server.isEmpty()) {
        showTab(w, 1);
        retype(field<QLineEdit>(w, "POPServer"), server);
    }
    showTab(w, 2); // the SMTP server takes the POP3 server's
    pressOk(w);
    QVERIFY(fx->reports.isEmpty());
    QCOMPARE(fx->readFile("KARI.INI"), golden(after.constData()));
}

void TestSetupWindow::okWritesOnlyWhatTheUserChanged_data()
{
    QTest::addColumn<bool>("byEditor");      // else another copy of the program saves
    QTest::addColumn<QByteArray>("retyped"); // the edit the user retypes, if any
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("clicksSchedule");     // the user ticks cSchedule
    QTest::addColumn<QByteArrayList>("expected"); // ServerName, ServerUser, StartupCheck, Scheduler

    // clang-format off
    QTest::newRow("another copy saved, nothing edited")
        << false << QByteArray() << QString() << false
        << QByteArrayList{"b2.example.no", "kari", "1", "0"};
    QTest::newRow("an editor changed the file, nothing edited")
        << true << QByteArray() << QString() << false
        << QByteArrayList{"b2.example.no", "kari", "1", "0"};
    QTest::newRow("another copy saved, the user changed the account")
        << false << QByteArray("Account") << "ola" << false
        << QByteArrayList{"b2.example.no", "ola", "1", "0"};
    QTest::newRow("an editor changed the server, so did the user")
        << true << QByteArray("POPServer") << "c3.example.no" << false
        << QByteArrayList{"c3.example.no", "kari", "1", "0"};
    QTest::newRow("another copy saved, the user ticked a box")
        << false << QByteArray() << QString() << true
        << QByteArrayList{"b2.example.no", "kari", "1", "1"};
    // clang-format on
}

void TestSetupWindow::okWritesOnlyWhatTheUserChanged()
{
    QFETCH(bool, byEditor);
    QFETCH(QByteArray, retyped);
    QFETCH(QString, typed);
    QFETCH(bool, clicksSchedule);
    QFETCH(QByteArrayList, expected);

    QVERIFY(fx->writeFile("KARI.INI", "[Pop3]\nServerName=a1.example.no\nServerUser=kari\nStartupCheck=0\n"
                                      "[Email]\nPersonalEmail=kari@example.no\n"));
    TfmSetup *w = openWindow();
    QCOMPARE(field<QLineEdit>(w, "POPServer")->text(), QStringLiteral("a1.example.no"));

    // Behind the open window the server and a mark change, a key the window
    // does not know is added, and the address is taken out.
    if (byEditor) {
        QVERIFY(fx->writeFile("KARI.INI", "[Pop3]\nServerName=b2.example.no\nServerUser=kari\nStartupCheck=1\n"
                                          "ServerPort=995\n"));
    } else {
        // A second copy of the program, started and ended while this one
        // has its window open.
        std::unique_ptr<Felles::IniFile> firstCopysFile = std::move(Felles::SettingsFile);
        const QByteArray firstCopysName = Felles::UserNameCache;
        Felles::Initialize();
        {
            Felles::UserSettingsBracket writer;
            Felles::SettingsFile->writeString("Pop3", "ServerName", "b2.example.no");
            Felles::SettingsFile->writeString("Pop3", "StartupCheck", "1");
            Felles::SettingsFile->writeString("Pop3", "ServerPort", "995");
            writer.close();
        }
        Felles::Finalize();
        Felles::SettingsFile = std::move(firstCopysFile);
        Felles::UserNameCache = firstCopysName;
        // Its save cannot take a key out; an editor does it for it.
        QByteArray text = fx->readFile("KARI.INI");
        text.replace("PersonalEmail=kari@example.no\n", "");
        QVERIFY(fx->writeFile("KARI.INI", text));
    }

    if (!retyped.isEmpty()) {
        showTab(w, 1);
        retype(field<QLineEdit>(w, retyped.constData()), typed);
    }
    if (clicksSchedule) {
        showTab(w, 3);
        QCheckBox *box = field<QCheckBox>(w, "cSchedule");
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
    }
    pressOk(w);
    QVERIFY(fx->reports.isEmpty());

    QCOMPARE(fx->value("KARI.INI", "Pop3", "ServerName"), expected[0]);
    QCOMPARE(fx->value("KARI.INI", "Pop3", "ServerUser"), expected[1]);
    QCOMPARE(fx->value("KARI.INI", "Pop3", "StartupCheck"), expected[2]);
    QCOMPARE(fx->value("KARI.INI", "Pop3", "Scheduler"), expected[3]);
    QCOMPARE(fx->value("KARI.INI", "Pop3", "ServerPort"), QByteArray("995"));
    // A key missing at OK is written, as on a first save.
    QCOMPARE(fx->value("KARI.INI", "Email", "PersonalEmail"), QByteArray("kari@example.no"));
}

void TestSetupWindow::proposedDefaultsYieldToNewerValues()
{
    // The window proposes a server and an address for the empty fields; the
    // user takes them as they are, but meanwhile the file got its own.
    QVERIFY(fx->writeFile("KARI.INI", "[Pop3]\nServerUser=kari\n"));
    TfmSetup *w = openWindow();
    QCOMPARE(field<QLineEdit>(w, "POPServer")->text(), QStringLiteral("mail.example.no"));
    QVERIFY(fx->writeFile("KARI.INI", "[Pop3]\nServerUser=kari\nServerName=pop.hjemme.no\n"));
    pressOk(w);
    QVERIFY(fx->reports.isEmpty());
    QCOMPARE(fx->value("KARI.INI", "Pop3", "ServerName"), QByteArray("pop.hjemme.no"));
    // Still missing, the address is written as proposed.
    QCOMPARE(fx->value("KARI.INI", "Email", "PersonalEmail"), QByteArray("kari@example.no"));
}

void TestSetupWindow::refusesLineBreaks_data()
{
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("named");

    // clang-format off
    QTest::newRow("line feed in the display name")
        << QByteArray("eNavn") << "Åse\nØdegård" << 0 << "Visningsnavn";
    QTest::newRow("carriage return in the SMTP password")
        << QByteArray("edtPassword") << "hemmelig\r" << 2 << "Passord";
    // "€" is E2 82 AC; E2 at position 40 shifts to 10, a line feed.
    QTest::newRow("POP3 password stored with a line feed")
        << QByteArray("Password") << QString(39, u'a') + u'€' << 1 << "Passord";
    // "é" is C3 A9; A9 at position 100 shifts to 13, a carriage return.
    QTest::newRow("POP3 password stored with a carriage return")
        << QByteArray("Password") << QString(98, u'a') + u'é' << 1 << "Passord";
    // clang-format on
}

void TestSetupWindow::refusesLineBreaks()
{
    QFETCH(QByteArray, control);
    QFETCH(QString, value);
    QFETCH(int, tab);
    QFETCH(QString, named);

    writeUserFile(fx->file("KARI.INI"), {{"Pop3", "ServerName"}}, {"pop.lagret.no"});
    TfmSetup *w = openWindow();
    const QByteArray before = fx->readFile("KARI.INI");
    const QByteArray sharedBefore = fx->readFile("KORVELIN.INI");
    QLineEdit *edit = field<QLineEdit>(w, control);
    edit->setText(value);
    pressOk(w);

    QCOMPARE(fx->reports.size(), 1);
    QVERIFY2(fx->reports[0].contains(named), qPrintable(fx->reports[0]));
    QVERIFY(fx->reports[0].contains(QLatin1String("linjeskift")));
    QCOMPARE(fx->readFile("KARI.INI"), before);
    QCOMPARE(fx->readFile("KORVELIN.INI"), sharedBefore);
    QCOMPARE(Felles::SettingsFile->nativePath(), Felles::SharedIniPath);
    // The window stays open on the field at fault, so it can be put right.
    QVERIFY(w->isVisible());
    QCOMPARE(field<QTabWidget>(w, "pcSetup")->currentIndex(), tab);
    if (control != "edtPassword") // on a hidden panel, focus cannot go there
        QCOMPARE(w->focusWidget(), edit);

    retype(edit, QStringLiteral("rettet"));
    pressOk(w);
    QCOMPARE(fx->reports.size(), 1);
    QVERIFY(!w->isVisible());
    QVERIFY(fx->readFile("KARI.INI") != before);
}

void TestSetupWindow::closeControlSavesNothingAndCheckerReloads()
{
    writeUserFile(fx->file("KARI.INI"), {{"Pop3", "ServerName"}}, {"gammel.example.no"});
    Gui::CreateForm<TSjekkForm>(SjekkForm);
    SjekkForm->LoadPopSettings();
    QCOMPARE(SjekkForm->pop3.host(), QByteArray("gammel.example.no"));

    // Changed behind the checker's back, as another program might.
    writeUserFile(fx->file("KARI.INI"), {{"Pop3", "ServerName"}}, {"ny.example.no"});
    const QByteArray before = fx->readFile("KARI.INI");

    bool closed = false;
    whenModal([&closed](QWidget *window) {
        field<QLineEdit>(window, "POPServer")->setText(QStringLiteral("skrevet.example.no"));
        field<QCheckBox>(window, "cNye")->setChecked(true);
        closed = window->close();
    });
    pressShape(SjekkForm, "Shape2", Qt::RightButton);

    QVERIFY(closed);
    QVERIFY(fx->reports.isEmpty());
    QCOMPARE(fx->readFile("KARI.INI"), before);
    QCOMPARE(SjekkForm->pop3.host(), QByteArray("ny.example.no"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!fmSetup);
}

void TestSetupWindow::saveFailure_data()
{
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<bool>("okAgain");
    QTest::newRow("file size limit, then closed") << false << false;
    QTest::newRow("read-only file, then closed") << true << false;
    QTest::newRow("file size limit, then OK again") << false << true;
}

void TestSetupWindow::saveFailure()
{
    QFETCH(bool, readOnly);
    QFETCH(bool, okAgain);

    writeUserFile(fx->file("KARI.INI"), {{"Pop3", "ServerName"}}, {"gammel.example.no"});
    Gui::CreateForm<TSjekkForm>(SjekkForm);
    SjekkForm->LoadPopSettings();
    const QByteArray before = fx->readFile("KARI.INI");
    // Larger than either file as it is, smaller than the user file after the save.
    const long long limit = std::max(before.size(), fx->readFile("KORVELIN.INI").size()) + 100;

    std::unique_ptr<TestSupport::FileSizeLimit> sizeLimit;
    const auto makeRoom = [&] {
        sizeLimit.reset();
        QFile::setPermissions(fx->file("KARI.INI"), QFile::ReadOwner | QFile::WriteOwner);
    };
    bool stayedOpen = false;
    bool closedByOk = false;
    int reportsAfterSave = 0;
    QStringList filesAtSave;
    whenModal([&](QWidget *window) {
        field<QLineEdit>(window, "POPServer")->setText(QStringLiteral("ny.example.no"));
        field<QLineEdit>(window, "eNavn")->setText(QString(300, u'x'));
        // A read-only mark holds for root too.
        if (readOnly)
            QFile::setPermissions(fx->file("KARI.INI"), QFile::ReadOwner);
        else
            sizeLimit = std::make_unique<TestSupport::FileSizeLimit>(limit);
        filesAtSave = fx->files();
        pressOk(window);
        reportsAfterSave = fx->reports.size();
        stayedOpen = window->isVisible();
        if (okAgain) {
            makeRoom();
            pressOk(window);
            closedByOk = !window->isVisible();
        }
        window->close();
    });
    pressShape(SjekkForm, "Shape2");
    const QStringList filesAfter = fx->files();
    makeRoom();
    if (!readOnly)
        QVERIFY(!filesAtSave.isEmpty());

    // The save failed at the flush and said so; the window stayed open with
    // what was typed.
    QCOMPARE(reportsAfterSave, 1);
    QVERIFY2(fx->reports[0].contains(QLatin1String("KARI.INI")), qPrintable(fx->reports[0]));
    QVERIFY(stayedOpen);
    QCOMPARE(fx->reports.size(), 1);
    // Nothing reached the disk, not even a temporary file.
    QCOMPARE(filesAfter, filesAtSave);
    if (okAgain) {
        // The second OK saved what was typed, and the checker took it.
        QVERIFY(closedByOk);
        QCOMPARE(fx->value("KARI.INI", "Pop3", "ServerName"), QByteArray("ny.example.no"));
        QCOMPARE(SjekkForm->pop3.host(), QByteArray("ny.example.no"));
        return;
    }
    // The checker's reload kept what is on disk; with room again, its next
    // reload still does not write the values the user gave up on.
    QCOMPARE(SjekkForm->pop3.host(), QByteArray("gammel.example.no"));
    QCOMPARE(fx->readFile("KARI.INI"), before);
    SjekkForm->LoadPopSettings();
    QCOMPARE(fx->readFile("KARI.INI"), before);
    QCOMPARE(SjekkForm->pop3.host(), QByteArray("gammel.example.no"));
    QCOMPARE(fx->reports.size(), 1);
}

void TestSetupWindow::unreadSettingsAreNotOffered()
{
    writeUserFile(fx->file("KARI.INI"), {{"Pop3", "ServerName"}}, {"gammel.example.no"});
    Gui::CreateForm<TSjekkForm>(SjekkForm);
    SjekkForm->LoadPopSettings();
    const QByteArray before = fx->readFile("KARI.INI");
    // A change to the shared file that a full disk keeps from being written:
    // the switch to the per-user file, and with it the loading, fails.
    Felles::WriteSetting("Probe", QByteArray(200, 'x'));
    auto full = std::make_unique<TestSupport::FileSizeLimit>(fx->readFile("KORVELIN.INI").size() + 50);

    // Were the window shown, it would offer defaults in place of the stored
    // server; room made, its OK would save them.
    QByteArray offered;
    whenModal<TfmSetup>([&](QWidget *window) {
        offered = field<QLineEdit>(window, "POPServer")->text().toUtf8();
        full.reset();
        pressOk(window);
        window->close();
    });
    pressShape(SjekkForm, "Shape2");
    full.reset();

    QCOMPARE(offered, QByteArray());
    QCOMPARE(fx->reports.size(), 1);
    QVERIFY2(fx->reports[0].contains(QLatin1String("KORVELIN.INI")), qPrintable(fx->reports[0]));
    QCOMPARE(fx->readFile("KARI.INI"), before);

    // With room again, the next opening shows what the file holds.
    whenModal<TfmSetup>([&](QWidget *window) {
        offered = field<QLineEdit>(window, "POPServer")->text().toUtf8();
        window->close();
    });
    pressShape(SjekkForm, "Shape2");
    QCOMPARE(offered, QByteArray("gammel.example.no"));
    QCOMPARE(fx->reports.size(), 1);
}

void TestSetupWindow::pingButtonTestsTypedServer()
{
    TfmSetup *w = openWindow();
    const QByteArray before = fx->readFile("KARI.INI");
    showTab(w, 1);
    retype(field<QLineEdit>(w, "POPServer"), QStringLiteral("127.0.0.1"));
    QTest::mouseClick(field<QPushButton>(w, "BitBtn2"), Qt::LeftButton);

    // The text on screen is tested, not the saved one, and nothing is saved.
    QVERIFY(IPTestForm);
    QCOMPARE(IPTestForm->Client.host(), QStringLiteral("127.0.0.1"));
    QVERIFY(fx->reports.isEmpty());
    QVERIFY(w->isVisible());
    QCOMPARE(fx->readFile("KARI.INI"), before);
}

void TestSetupWindow::deadAccessKeysTypeNothing_data()
{
    // Letters pressed with Alt while a control has the keyboard.
    QTest::addColumn<int>("tab");
    QTest::addColumn<QByteArray>("start");
    QTest::addColumn<QString>("letters");
    QTest::addColumn<QByteArray>("focusAfter");

    // clang-format off
    QTest::newRow("display name, every access key") << 0 << QByteArray("eNavn") << "eikputb" << QByteArray("eNavn");
    QTest::newRow("SMTP server, login fields hidden") << 2 << QByteArray("SMTPServer") << "bpu" << QByteArray("SMTPServer");
    QTest::newRow("minutes, the fields on other tabs") << 3 << QByteArray("eMinutt") << "ket" << QByteArray("eMinutt");
    QTest::newRow("list of login types") << 2 << QByteArray("cboAuthType") << "eikp" << QByteArray("cboAuthType");
    // An access key that leads somewhere still does.
    QTest::newRow("Type leads to the list") << 2 << QByteArray("SMTPServer") << "t" << QByteArray("cboAuthType");
    // clang-format on
}

void TestSetupWindow::deadAccessKeysTypeNothing()
{
    QFETCH(int, tab);
    QFETCH(QByteArray, start);
    QFETCH(QString, letters);
    QFETCH(QByteArray, focusAfter);

    TfmSetup *w = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    showTab(w, tab);
    field<QWidget>(w, start)->setFocus();
    const auto state = [w] {
        QStringList values;
        for (const QLineEdit *edit : w->findChildren<QLineEdit *>())
            values << edit->objectName() + u'=' + edit->text();
        values << QString::number(field<QComboBox>(w, "cboAuthType")->currentIndex());
        return values;
    };
    const QStringList before = state();

    for (const QChar letter : letters)
        QTest::keyClick(QApplication::focusWidget(), letter.toLatin1(), Qt::AltModifier);
    QCOMPARE(state(), before);
    QCOMPARE(QApplication::focusWidget()->objectName().toLatin1(), focusAfter);
    // Without Alt the letters are typed as ever.
    if (qobject_cast<QLineEdit *>(QApplication::focusWidget())) {
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("ok"));
        QVERIFY(state() != before);
    }
}

void TestSetupWindow::passwordMasksWithAsterisks()
{
    TfmSetup *w = openWindow();
    showTab(w, 1);
    QLineEdit *password = field<QLineEdit>(w, "Password");
    retype(password, QStringLiteral("blåbær"));
    QCOMPARE(password->displayText(), QStringLiteral("******"));
}

void TestSetupWindow::longValuesShowTheirBeginning_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("display name") << 0 << QByteArray("eNavn") << QByteArray("Email") << QByteArray("EmailName")
                                  << QStringLiteral("Åse Ødegård, Fjellbygd skole og barnehage, avdeling nord");
    QTest::newRow("POP3 password") << 1 << QByteArray("Password") << QByteArray("Pop3") << QByteArray("ServerPassword")
                                   << QStringLiteral("et-langt-passord-som-ikke-får-plass-i-feltet");
}

void TestSetupWindow::longValuesShowTheirBeginning()
{
    QFETCH(int, tab);
    QFETCH(QByteArray, control);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(QString, value);
    const QByteArray stored = control == "Password" ? Felles::ScramblePassword(value.toUtf8()) : value.toUtf8();
    writeUserFile(fx->file("KARI.INI"), {{section, key}}, {stored});

    TfmSetup *w = openWindow();
    showTab(w, tab);
    QLineEdit *edit = field<QLineEdit>(w, control);
    QCOMPARE(edit->text(), value);
    QVERIFY(edit->fontMetrics().horizontalAdvance(edit->displayText()) > edit->width());

    // Drawn as a twin of the field holding only the value's first letters.
    QLineEdit twin(edit->parentWidget());
    twin.setGeometry(edit->geometry());
    twin.setEchoMode(edit->echoMode());
    twin.setStyleSheet(edit->styleSheet());
    twin.setText(value.left(3));
    twin.show();
    // Those letters, inside the frame. Qt places a text that fits its box a
    // pixel or two differently from one that does not (overhang, line
    // height): a shift that small is allowed.
    const QRect letters(3, 3, edit->fontMetrics().horizontalAdvance(twin.displayText()), edit->height() - 6);
    const QImage shown = edit->grab(letters).toImage();
    bool same = false;
    for (int dx = -2; dx <= 2 && !same; ++dx) {
        for (int dy = -1; dy <= 1 && !same; ++dy)
            same = shown == twin.grab(letters.translated(dx, dy)).toImage();
    }
    QVERIFY(same);
}

KORVELIN_GUI_TEST_MAIN(TestSetupWindow)
#include "tst_setup_window.moc"
