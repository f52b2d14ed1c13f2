#include "ui/options/WrappingRadioButton.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStylePainter>

namespace {

constexpr int captionFlags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap | Qt::TextShowMnemonic;

} // namespace

WrappingRadioButton::WrappingRadioButton(const QString &text, QWidget *parent)
    : QRadioButton(text, parent)
{
}

QRect WrappingRadioButton::captionRect() const
{
    QStyleOptionButton option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_RadioButtonContents, &option, this);
}

QRect WrappingRadioButton::wrappedCaptionBounds() const
{
    const QRect area = captionRect();
    // Unbounded height so that a caption needing more lines than fit shows
    // up as a taller rectangle rather than being clipped silently.
    const QRect unbounded(area.left(), area.top(), area.width(), 10000);
    const QRect needed = fontMetrics().boundingRect(unbounded, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text());
    QRect centred = needed;
    centred.moveTop(area.top() + (area.height() - needed.height()) / 2);
    return centred;
}

void WrappingRadioButton::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);

    // Indicator alone, centred vertically like the caption it belongs to.
    QStyleOptionButton indicator = option;
    indicator.text.clear();
    indicator.rect = style()->subElementRect(QStyle::SE_RadioButtonIndicator, &option, this);
    painter.drawPrimitive(QStyle::PE_IndicatorRadioButton, indicator);

    const QRect area = captionRect();
    style()->drawItemText(&painter, area, captionFlags, option.palette, isEnabled(), text(), QPalette::WindowText);

    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = wrappedCaptionBounds().intersected(rect()).adjusted(-1, 0, 1, 0);
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}

bool WrappingRadioButton::hitButton(const QPoint &pos) const
{
    // The whole box answers a click, not only the first caption line.
    return rect().contains(pos);
}
