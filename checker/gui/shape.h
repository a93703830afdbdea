#pragma once

#include <QColor>
#include <QWidget>

namespace Gui {

// A filled circle or rectangle with a one-pixel outline that reports a press
// of any mouse button.
class Shape : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool circle READ isCircle WRITE setCircle)
    Q_PROPERTY(QColor brushColor READ brushColor WRITE setBrushColor)
    Q_PROPERTY(QColor penColor READ penColor WRITE setPenColor)
public:
    explicit Shape(QWidget *parent = nullptr);

    bool isCircle() const { return m_circle; }
    void setCircle(bool on);
    QColor brushColor() const { return m_brush; }
    void setBrushColor(const QColor &c);
    QColor penColor() const { return m_pen; }
    void setPenColor(const QColor &c);

signals:
    void mouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, QPoint position);

protected:
    void paintEvent(QPaintEvent *) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    bool m_circle = false;
    QColor m_brush = Qt::white;
    QColor m_pen = Qt::black;
};

} // namespace Gui
