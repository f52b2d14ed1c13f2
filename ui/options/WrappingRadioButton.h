#pragma once

#include <QRadioButton>

// A radio button whose caption wraps inside the button's own box, as the
// classic option button does. The dialog gives each button a fixed box that
// is narrower than its caption, so QRadioButton's single line would be cut.
class WrappingRadioButton : public QRadioButton
{
    Q_OBJECT

public:
    explicit WrappingRadioButton(const QString &text, QWidget *parent);

    // The part of the box the caption may use, right of the indicator.
    QRect captionRect() const;
    // The rectangle the wrapped caption actually needs inside captionRect();
    // taller or wider than captionRect() means the caption is cut.
    QRect wrappedCaptionBounds() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    bool hitButton(const QPoint &pos) const override;
};
