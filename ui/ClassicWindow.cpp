#include "ui/ClassicWindow.h"

#include <QBitmap>
#include <QApplication>
#include <QColor>
#include <QEvent>
#include <QKeyEvent>
#include <QList>
#include <QPixmap>
#include <QPushButton>
#include <QWidget>

namespace {

// Sees the key only once the focused widget has let it pass up to the
// window: a push button that is not a default button ignores Enter.
class EnterPressesFocusedButton final : public QObject
{
public:
    explicit EnterPressesFocusedButton(QWidget &window)
        : QObject(&window)
        , m_window(window)
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != &m_window || event->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (!enter || (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
            return false;
        auto *button = qobject_cast<QPushButton *>(m_window.focusWidget());
        if (!button || !button->isEnabled())
            return false;
        button->click();
        return true;
    }

private:
    QWidget &m_window;
};

} // namespace

void pressFocusedButtonOnEnter(QWidget &window)
{
    window.installEventFilter(new EnterPressesFocusedButton(window));
}

Qt::WindowFlags classicDialogFlags()
{
    return Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
}

QPixmap classicPicture(const QString &resource)
{
    QPixmap picture(resource);
    if (!picture.isNull())
        picture.setMask(picture.createMaskFromColor(QColor(192, 192, 192), Qt::MaskInColor));
    return picture;
}

QFont fittingFont(const QFont &platform, const std::function<bool(const QFont &)> &fits)
{
    const QList<int> stretches = {QFont::Unstretched, QFont::SemiCondensed, QFont::Condensed};
    QFont candidate = platform;
    for (double size = platform.pointSizeF(); size >= 7.0; size -= 0.25) {
        for (int stretch : stretches) {
            candidate = platform;
            candidate.setPointSizeF(size);
            candidate.setStretch(stretch);
            if (fits(candidate))
                return candidate;
        }
    }
    return candidate;
}

BusyCursor::BusyCursor()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

BusyCursor::~BusyCursor()
{
    QApplication::restoreOverrideCursor();
}
