#pragma once

#include <QLabel>

// A label whose "&" marks an access key that is shown underlined even though
// the label has no buddy to focus. A plain QLabel only treats "&" as an
// access key when it has a buddy, and otherwise prints the "&" itself.
// Pressing the key does nothing: no shortcut is taken.
class AccessKeyLabel : public QLabel
{
    Q_OBJECT
public:
    explicit AccessKeyLabel(QWidget *parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
