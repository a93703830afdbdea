// The least a Qt 6 Widgets program pays for what the checker shows: the same
// frameless 215 x 62 window with its status line, green dot and blue bar,
// and, on a press on the bar, a plain modal dialog of the settings window's
// size with four tabs of similar controls. korvelin_bench_startup measures
// the checker against it.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTabWidget>

namespace {

QFont windowFont()
{
    QFont font(QStringLiteral("DejaVu Sans Condensed"));
    font.setPixelSize(9);
    return font;
}

class Dot : public QWidget
{
public:
    Dot(QWidget *parent, QRect geometry, QColor brush, bool circle, bool opensDialog)
        : QWidget(parent)
        , m_brush(brush)
        , m_circle(circle)
        , m_opensDialog(opensDialog)
    {
        setGeometry(geometry);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setPen(QPen(Qt::black, 0));
        p.setBrush(m_brush);
        const QRect r = rect().adjusted(0, 0, -1, -1);
        if (m_circle)
            p.drawEllipse(r);
        else
            p.drawRect(r);
    }
    void mousePressEvent(QMouseEvent *) override;

private:
    QColor m_brush;
    bool m_circle;
    bool m_opensDialog;
};

QLabel *label(QWidget *parent, const char *text, int x, int y)
{
    auto *l = new QLabel(QString::fromUtf8(text), parent);
    l->move(x, y);
    return l;
}

QLineEdit *edit(QWidget *parent, int x, int y, int w)
{
    auto *e = new QLineEdit(parent);
    e->setGeometry(x, y, w, 21);
    return e;
}

QCheckBox *check(QWidget *parent, const char *text, int x, int y)
{
    auto *c = new QCheckBox(QString::fromUtf8(text), parent);
    c->move(x, y);
    return c;
}

void openDialog(QWidget *parent)
{
    QDialog dialog(parent, Qt::Tool);
    dialog.setWindowTitle(QStringLiteral("Epost oppsett"));
    dialog.setFixedSize(426, 277);
    dialog.move(271, 240);
    dialog.setFont(windowFont());
    auto *tabs = new QTabWidget(&dialog);
    tabs->setGeometry(0, 0, 426, 241);

    auto *address = new QWidget;
    label(address, "Visningsnavn", 56, 76);
    label(address, "&Epost adresse", 52, 108);
    edit(address, 152, 72, 217);
    edit(address, 152, 104, 217);
    tabs->addTab(address, QStringLiteral("Adresse"));

    auto *incoming = new QWidget;
    label(incoming, "&Inngående epost server (POP)", 44, 56);
    label(incoming, "&Konto", 44, 84);
    label(incoming, "&Passord", 44, 108);
    edit(incoming, 192, 52, 155);
    edit(incoming, 192, 80, 93);
    edit(incoming, 192, 104, 93)->setEchoMode(QLineEdit::Password);
    (new QPushButton(QStringLiteral("ping"), incoming))->setGeometry(352, 52, 33, 21);
    tabs->addTab(incoming, QStringLiteral("Motta"));

    auto *outgoing = new QWidget;
    label(outgoing, "&Utgående epost server (SMTP)", 24, 48);
    label(outgoing, "&Type:", 136, 80);
    edit(outgoing, 176, 44, 155);
    auto *list = new QComboBox(outgoing);
    list->setGeometry(176, 76, 145, 21);
    list->addItems({QString::fromUtf8("Ingen pålogging"), QString::fromUtf8("Enkel pålogging")});
    auto *panel = new QWidget(outgoing);
    panel->setGeometry(0, 112, 418, 101);
    label(panel, "&Brukernavn", 112, 8);
    label(panel, "&Passord", 128, 32);
    edit(panel, 176, 4, 145);
    edit(panel, 176, 28, 145);
    panel->hide();
    tabs->addTab(outgoing, QStringLiteral("Sende"));

    auto *options = new QWidget;
    QFont bold = windowFont();
    bold.setBold(true);
    label(options, "Generelt:", 40, 16)->setFont(bold);
    check(options, "Se etter nye meldinger ved oppstart", 64, 32);
    check(options, "Se etter nye meldinger hvert", 64, 56);
    edit(options, 224, 54, 33);
    label(options, "minutt(er)", 264, 57);
    check(options, "Skjul vindu hvis det ikke er post", 64, 80);
    check(options, "Vis meldingsliste ved oppstart", 64, 104);
    label(options, "Når ny melding mottas:", 40, 128)->setFont(bold);
    check(options, "Vis meldingstatus", 64, 144);
    check(options, "Spill av en lyd", 64, 160);
    check(options, "Vis meldingslisten", 64, 176);
    tabs->addTab(options, QStringLiteral("Instillinger"));
    tabs->setCurrentIndex(3);

    auto *ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setGeometry(334, 250, 75, 25);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    dialog.exec();
}

void Dot::mousePressEvent(QMouseEvent *)
{
    if (m_opensDialog)
        openDialog(window());
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window(nullptr, Qt::Window | Qt::FramelessWindowHint);
    window.setWindowTitle(QStringLiteral("Korvelin INBOX sjekker"));
    window.setGeometry(294, 273, 215, 62);
    window.setFont(windowFont());
    QLabel status(QStringLiteral("Ingenting har hendt."), &window);
    status.setGeometry(56, 16, 95, 13);
    Dot dot(&window, QRect(16, 8, 17, 17), Qt::green, true, false);
    Dot bar(&window, QRect(16, 0, 17, 9), Qt::blue, false, true);
    window.show();
    return app.exec();
}
