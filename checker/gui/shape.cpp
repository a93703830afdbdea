#include "shape.h"

#include <QMouseEvent>
#include <QPainter>

namespace Gui {

Shape::Shape(QWidget *parent)
    : QWidget(parent)
{
}

void Shape::setCircle(bool on)
{
    m_circle = on;
    update();
}

void Shape::setBrushColor(const QColor &c)
{
    m_brush = c;
    update();
}

void Shape::setPenColor(const QColor &c)
{
    m_pen = c;
    update();
}

void Shape::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    // A zero-width (cosmetic) pen is one device pixel wide at any scale.
    p.setPen(QPen(m_pen, 0));
    p.setBrush(m_brush);
    const QRect r = rect().adjusted(0, 0, -1, -1);
    if (m_circle) {
        p.setRenderHint(QPainter::Antialiasing, false);
        p.drawEllipse(r);
    } else {
        p.drawRect(r);
    }
}

void Shape::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    emit mouseDown(event->button(), event->modifiers(), event->position().toPoint());
}

} // namespace Gui
