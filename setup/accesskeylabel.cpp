#include "accesskeylabel.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QTextDocument>

AccessKeyLabel::AccessKeyLabel(QWidget *parent)
    : QLabel(parent)
{
}

QSize AccessKeyLabel::sizeHint() const
{
    if (buddy())
        return QLabel::sizeHint();
    // Measured without the "&", which is not drawn.
    const QSize text = fontMetrics().size(Qt::TextShowMnemonic, this->text());
    const QMargins m = contentsMargins();
    const int extra = 2 * margin();
    return QSize(text.width() + m.left() + m.right() + extra, text.height() + m.top() + m.bottom() + extra);
}

QSize AccessKeyLabel::minimumSizeHint() const
{
    return buddy() ? QLabel::minimumSizeHint() : sizeHint();
}

void AccessKeyLabel::paintEvent(QPaintEvent *event)
{
    const bool rich = textFormat() == Qt::RichText || (textFormat() == Qt::AutoText && Qt::mightBeRichText(text()));
    if (buddy() || rich) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    drawFrame(&painter);
    QStyleOption option;
    option.initFrom(this);
    int flags = int(QStyle::visualAlignment(layoutDirection(), alignment())) | Qt::TextShowMnemonic;
    if (wordWrap())
        flags |= Qt::TextWordWrap;
    if (!style()->styleHint(QStyle::SH_UnderlineShortcut, &option, this))
        flags |= Qt::TextHideMnemonic;
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    style()->drawItemText(&painter, area, flags, option.palette, isEnabled(), text(), foregroundRole());
}
