// The settings window's four tabs: their captions and texts, that no caption
// is clipped or overlaps another control, and a picture of each. Pictures go
// to $KORVELIN_SCREENSHOT_DIR when set (docs/screenshots/ holds the ones in
// the README), else into the test's temporary folder.

#include "windowfixture.h"

#include "setup.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPair>
#include <QPixmap>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

class TestSetupScreens : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        fx.emplace();
        QVERIFY(fx->isValid());
    }
    void cleanup() { fx.reset(); }

    void tab_data();
    void tab();

private:
    std::optional<WindowFixture> fx;
};

void TestSetupScreens::tab_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("caption");
    // "control=text"; a list's items are joined by "|".
    QTest::addColumn<QStringList>("texts");

    // clang-format off
    QTest::newRow("adresse") << 0 << "Adresse"
                             << QStringList{"Label2=Visningsnavn", "Label10=&Epost adresse"};
    QTest::newRow("motta") << 1 << "Motta"
                           << QStringList{"Label1=&Inngående epost server (POP)", "Label8=&Konto",
                                          "Label9=&Passord", "BitBtn2=ping"};
    QTest::newRow("sende") << 2 << "Sende"
                           << QStringList{"Label11=&Utgående epost server (SMTP)", "lblAuthenticationType=&Type:",
                                          "cboAuthType=Ingen pålogging|Enkel pålogging",
                                          "lbAccount=&Brukernavn", "lbPassword=&Passord"};
    QTest::newRow("instillinger")
        << 3 << "Instillinger"
        << QStringList{"Label4=Generelt:",
                       "cNye=Se etter nye meldinger ved oppstart",
                       "cSchedule=Se etter nye meldinger hvert",
                       "Label3=minutt(er)",
                       "cHide=Skjul vindu hvis det ikke er post",
                       "cListe=Vis meldingsliste ved oppstart",
                       "Label5=Når ny melding mottas:",
                       "cVismelding=Vis meldingstatus",
                       "cBeep=Spill av en lyd",
                       "VisNyListe=Vis meldingslisten"};
    // clang-format on
}

void TestSetupScreens::tab()
{
    QFETCH(int, index);
    QFETCH(QString, caption);
    QFETCH(QStringList, texts);

    TfmSetup *w = Gui::CreateForm<TfmSetup>(fmSetup);
    w->show();
    QTabWidget *pages = w->findChild<QTabWidget *>(QStringLiteral("pcSetup"));
    QTabBar *bar = pages->findChild<QTabBar *>();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
    QCOMPARE(pages->currentIndex(), index);
    QCOMPARE(pages->tabText(index), caption);
    QWidget *page = pages->currentWidget();

    if (page->objectName() == QLatin1String("tsSmtp")) {
        // The login fields, as after choosing "Enkel pålogging".
        auto *list = page->findChild<QComboBox *>(QStringLiteral("cboAuthType"));
        QTest::keyClick(list, Qt::Key_Down);
        QVERIFY(page->findChild<QWidget *>(QStringLiteral("Panel1"))->isVisible());
    }

    for (const QString &entry : texts) {
        const QString name = entry.section(u'=', 0, 0);
        const QString expected = entry.section(u'=', 1);
        QWidget *c = page->findChild<QWidget *>(name);
        QVERIFY2(c && c->isVisible(), qPrintable(name));
        if (auto *list = qobject_cast<QComboBox *>(c)) {
            QStringList items;
            for (int i = 0; i < list->count(); ++i)
                items << list->itemText(i);
            QCOMPARE(items.join(u'|'), expected);
        } else {
            QCOMPARE(c->property("text").toString(), expected);
        }
    }

    QString dir = qEnvironmentVariable("KORVELIN_SCREENSHOT_DIR");
    if (dir.isEmpty())
        dir = fx->path();
    const QString file = QDir(dir).filePath(QStringLiteral("setup-%1.png").arg(QTest::currentDataTag()));
    QVERIFY2(w->grab().save(file), qPrintable(file));

    // No caption is clipped, and none runs into an input control: every
    // label and check box is as wide as its text needs, at least, and every
    // button's caption fits inside the button beside its glyph.
    QList<QPair<QString, QRect>> captions, inputs;
    for (QWidget *c : page->findChildren<QWidget *>()) {
        if (!c->isVisible() || c->objectName().isEmpty() || c->objectName() == QLatin1String("Panel1"))
            continue;
        const QRect box(c->mapTo(page, QPoint()), c->size());
        QVERIFY2(page->rect().contains(box), qPrintable(c->objectName()));
        if (qobject_cast<QLabel *>(c) || qobject_cast<QCheckBox *>(c)) {
            QVERIFY2(c->sizeHint().width() <= c->width(), qPrintable(QStringLiteral("%1 needs %2 pixels, has %3")
                                                                         .arg(c->objectName())
                                                                         .arg(c->sizeHint().width())
                                                                         .arg(c->width())));
            captions.append({c->objectName(), QRect(box.topLeft(), QSize(c->sizeHint().width(), c->height()))});
        } else {
            if (auto *button = qobject_cast<QAbstractButton *>(c)) {
                const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
                const int glyph = button->icon().isNull() ? 0 : button->iconSize().width() + 4;
                const int text = button->fontMetrics().size(Qt::TextShowMnemonic, button->text()).width();
                QVERIFY2(text + glyph + margin <= button->width(),
                         qPrintable(QStringLiteral("%1 needs %2 pixels, has %3")
                                        .arg(c->objectName())
                                        .arg(text + glyph + margin)
                                        .arg(button->width())));
            }
            inputs.append({c->objectName(), box});
        }
    }
    for (const auto &laidOut : captions)
        for (const auto &input : inputs)
            QVERIFY2(!laidOut.second.intersects(input.second), qPrintable(laidOut.first + u'/' + input.first));
}

KORVELIN_GUI_TEST_MAIN(TestSetupScreens)
#include "tst_setup_screens.moc"
