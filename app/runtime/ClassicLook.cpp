#include "runtime/ClassicLook.h"

#include <QApplication>
#include <QColor>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleFactory>

namespace {

// The classic style measures the menu bar and the tabs differently from the
// desktop's style. The window's height and every control's place below
// follow from that bar, and the options dialog's page from the tabs, so these
// keep the measures of the style the program started with.
class ClassicStyle final : public QProxyStyle
{
public:
    ClassicStyle(QStyle *classic, QStyle *measures)
        : QProxyStyle(classic)
        , m_measures(measures)
    {
        m_measures->setParent(this);
    }

    int pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const override
    {
        switch (metric) {
        case PM_MenuBarPanelWidth:
        case PM_MenuBarItemSpacing:
        case PM_MenuBarHMargin:
        case PM_MenuBarVMargin:
        case PM_ToolBarFrameWidth:
        case PM_ToolBarHandleExtent:
        case PM_ToolBarItemMargin:
        case PM_ToolBarItemSpacing:
        case PM_ToolBarSeparatorExtent:
        case PM_ToolBarExtensionExtent:
        case PM_TabBarBaseOverlap:
        case PM_TabBarBaseHeight:
        case PM_TabBarTabVSpace:
        case PM_TabBarTabHSpace:
            return m_measures->pixelMetric(metric, option, widget);
        default:
            return QProxyStyle::pixelMetric(metric, option, widget);
        }
    }

    QSize sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &size,
                           const QWidget *widget) const override
    {
        if (type == CT_MenuBarItem || type == CT_MenuBar || type == CT_TabBarTab)
            return m_measures->sizeFromContents(type, option, size, widget);
        return QProxyStyle::sizeFromContents(type, option, size, widget);
    }

    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returned) const override
    {
        if (hint == SH_MainWindow_SpaceBelowMenuBar)
            return m_measures->styleHint(hint, option, widget, returned);
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }

private:
    QStyle *m_measures;
};

} // namespace

QPalette classicPalette()
{
    const QColor face(192, 192, 192);
    const QColor white(255, 255, 255);
    const QColor shadow(128, 128, 128);
    const QColor black(0, 0, 0);

    QPalette palette;
    for (QPalette::ColorRole role : {QPalette::Window, QPalette::Button, QPalette::Midlight})
        palette.setColor(role, face);
    for (QPalette::ColorRole role : {QPalette::Light, QPalette::Base, QPalette::BrightText})
        palette.setColor(role, white);
    // The style draws a raised bevel from the light and midlight colours at
    // the top left and the shadow and dark ones at the bottom right.
    for (QPalette::ColorRole role : {QPalette::Mid, QPalette::Dark})
        palette.setColor(role, shadow);
    palette.setColor(QPalette::Shadow, black);
    for (QPalette::ColorRole role :
         {QPalette::WindowText, QPalette::ButtonText, QPalette::Text, QPalette::ToolTipText})
        palette.setColor(role, black);
    palette.setColor(QPalette::AlternateBase, face);
    palette.setColor(QPalette::Highlight, QColor(0, 0, 128));
    palette.setColor(QPalette::HighlightedText, white);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
        palette.setColor(QPalette::Disabled, role, shadow);
    return palette;
}

bool applyClassicLook()
{
    QStyle *classic = QStyleFactory::create(QStringLiteral("Windows"));
    if (!classic)
        return false;
    // A copy: the application deletes the style it replaces.
    QStyle *measures = QStyleFactory::create(QApplication::style()->name());
    if (!measures)
        measures = QStyleFactory::create(QStringLiteral("Fusion"));
    if (!measures) {
        delete classic;
        return false;
    }
    // Setting a style puts its own palette in place, so the palette follows.
    QApplication::setStyle(new ClassicStyle(classic, measures));
    QApplication::setPalette(classicPalette());
    return true;
}
