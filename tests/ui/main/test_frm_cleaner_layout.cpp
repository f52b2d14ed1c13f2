// The main window as laid out: every control where the classic layout puts
// it, the toolbar, the menu tree, the status bar and the window itself.
#include "runtime/ClassicLook.h"
#include "support/ProgramSession.h"
#include "support/TestDrive.h"
#include "ui/main/ClockStatusBar.h"
#include "ui/main/FrmCleaner.h"
#include "ui/main/ImageList.h"

#include <QAccessible>
#include <QAction>
#include <QGroupBox>
#include <QHelpEvent>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMap>
#include <QMenuBar>
#include <QScreen>
#include <QSlider>
#include <QStatusBar>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>

class TestFrmCleanerLayout : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void controls_data();
    void controls();
    void tabOrder();
    void tabSkipsHiddenAdvancedFrame();
    void window_data();
    void window();
    void toolbar_data();
    void toolbar();
    void menuTree();
    void statusBar();
    void hoursAndMinutes_data();
    void hoursAndMinutes();
    void sliders_data();
    void sliders();
    void imageList();
    void classicLook_data();
    void classicLook();

private:
    std::unique_ptr<TestDrive> m_drive;
    std::unique_ptr<ProgramSession> m_session;
    FrmCleaner *m_window = nullptr;
};

namespace {

// Where every widget of a window sits, relative to the window, keyed by its
// chain of object names and classes; the window's own size as "".
QMap<QString, QRect> layoutOf(const QWidget &window)
{
    QMap<QString, QRect> places;
    places.insert(QString(), QRect(QPoint(), window.size()));
    const QList<QWidget *> widgets = window.findChildren<QWidget *>();
    for (const QWidget *widget : widgets) {
        if (widget->isWindow())
            continue;
        QString key;
        qsizetype sibling = 0;
        for (const QObject *step = widget; step && step != &window; step = step->parent()) {
            if (step->parent())
                sibling = step->parent()->children().indexOf(step);
            key = QStringLiteral("/%1:%2#%3").arg(QString::fromLatin1(step->metaObject()->className()),
                                                   step->objectName()).arg(sibling) + key;
        }
        places.insert(key, QRect(widget->mapTo(&window, QPoint()), widget->size()));
    }
    return places;
}

// A control's rectangle relative to its container's client area: the inside
// of its frame, or the window's area below the menu bar.
QRect placement(const QWidget &window, const QWidget &control, const QWidget &container)
{
    QPoint origin = control.mapTo(&container, QPoint(0, 0));
    if (&container == &window)
        origin.ry() -= static_cast<const QMainWindow &>(window).menuBar()->height();
    return {origin, control.size()};
}

QString caption(const QWidget &control)
{
    if (auto *box = qobject_cast<const QAbstractButton *>(&control))
        return box->text();
    if (auto *frame = qobject_cast<const QGroupBox *>(&control))
        return frame->title();
    if (auto *label = qobject_cast<const QLabel *>(&control))
        return label->text();
    return {};
}

QString state(const QWidget &window, const QWidget &control)
{
    QStringList words;
    words << (control.isEnabled() ? QStringLiteral("enabled") : QStringLiteral("disabled"));
    words << (control.isVisibleTo(&window) ? QStringLiteral("visible") : QStringLiteral("hidden"));
    if (auto *box = qobject_cast<const QCheckBox *>(&control))
        words << QStringLiteral("value %1").arg(FrmCleaner::checkValue(*box));
    if (auto *slider = qobject_cast<const QSlider *>(&control))
        words << QStringLiteral("value %1").arg(slider->value());
    return words.join(QLatin1Char(' '));
}

const QStringList tabOrderNames = {
    QStringLiteral("Toolbar1"), QStringLiteral("Frame1"),  QStringLiteral("Check1"),
    QStringLiteral("Check2"),   QStringLiteral("Check3"),  QStringLiteral("Command1"),
    QStringLiteral("Command2"), QStringLiteral("Frame2"),  QStringLiteral("Command3"),
    QStringLiteral("StatusBar1"), QStringLiteral("Slider1"), QStringLiteral("Frame3"),
    QStringLiteral("Label1"),   QStringLiteral("Slider2"), QStringLiteral("Frame4"),
    QStringLiteral("Label2"),   QStringLiteral("Check4"),  QStringLiteral("Check5"),
    QStringLiteral("Check6"),
};

} // namespace

void TestFrmCleanerLayout::init()
{
    m_drive = std::make_unique<TestDrive>(TestDrive::Layout::Windows98);
    m_session = std::make_unique<ProgramSession>(*m_drive);
    QVERIFY(m_session->start());
    m_window = &m_session->window();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void TestFrmCleanerLayout::cleanup()
{
    m_window = nullptr;
    m_session.reset();
    m_drive.reset();
}

void TestFrmCleanerLayout::controls_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<QString>("initial");

    const QString window = QStringLiteral("frmCleaner");
    auto row = [](const char *name, const char *kind, const QString &container, const char *caption, int left,
                  int top, int width, int height, const char *initial) {
        QTest::newRow(name) << QString::fromLatin1(kind) << container << QString::fromLatin1(caption)
                            << QRect(left, top, width, height) << QString::fromLatin1(initial);
    };
    row("Toolbar1", "QToolBar", window, "", 0, 0, 4935, 420, "enabled visible");
    row("StatusBar1", "QStatusBar", window, "", 0, 5175, 4935, 255, "enabled visible");
    row("Frame2", "QGroupBox", window, "Cleaner Advanced Options", 120, 3360, 4695, 1695, "disabled hidden");
    row("Frame4", "QGroupBox", QStringLiteral("Frame2"), "", 2520, 960, 2055, 615, "disabled hidden");
    row("Label2", "QLabel", QStringLiteral("Frame4"), "Optimization levels", 120, 240, 1815, 255,
        "disabled hidden");
    row("Slider2", "QSlider", QStringLiteral("Frame2"), "", 240, 1200, 2175, 255, "disabled hidden value 0");
    row("Frame3", "QGroupBox", QStringLiteral("Frame2"), "", 2520, 240, 2055, 615, "disabled hidden");
    row("Label1", "QLabel", QStringLiteral("Frame3"), "Sensitivity of Cleaner", 120, 240, 1815, 255,
        "disabled hidden");
    row("Slider1", "QSlider", QStringLiteral("Frame2"), "", 240, 480, 2175, 255, "disabled hidden value 0");
    row("Frame1", "QGroupBox", window, "Cleaner Main Menu", 120, 600, 4695, 2655, "enabled visible");
    const QString frame1 = QStringLiteral("Frame1");
    row("Check6", "QCheckBox", frame1, "Clean Internet Download History", 240, 2160, 2895, 255,
        "enabled visible value 0");
    row("Check5", "QCheckBox", frame1, "Clean Windows Trash Box", 240, 1800, 2535, 255, "enabled visible value 0");
    row("Check4", "QCheckBox", frame1, "Clean Temporary Windows Files", 240, 1440, 2775, 255,
        "enabled visible value 0");
    row("Command3", "QPushButton", frame1, "Deselect All", 3360, 1080, 1095, 375, "disabled visible");
    row("Command2", "QPushButton", frame1, "Select All", 3360, 720, 1095, 375, "enabled visible");
    row("Command1", "QPushButton", frame1, "Clean", 3360, 240, 1095, 375, "disabled visible");
    row("Check3", "QCheckBox", frame1, "Clean Cookies", 240, 1080, 2055, 255, "enabled visible value 0");
    row("Check2", "QCheckBox", frame1, "Clean Temporary Internet Files", 240, 720, 2535, 255,
        "enabled visible value 0");
    row("Check1", "QCheckBox", frame1, "Clean Cashe", 240, 360, 1935, 255, "enabled visible value 0");
}

void TestFrmCleanerLayout::controls()
{
    QFETCH(QString, kind);
    QFETCH(QString, container);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);
    QFETCH(QString, initial);

    auto *control = m_window->findChild<QWidget *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(control);
    QVERIFY2(control->inherits(qPrintable(kind)), control->metaObject()->className());

    QWidget *holder = container == m_window->objectName() ? m_window : m_window->findChild<QWidget *>(container);
    QVERIFY(holder);
    QVERIFY(holder->isAncestorOf(control));
    // The nearest control of the table above it is its container.
    for (QWidget *up = control->parentWidget(); up != holder; up = up->parentWidget())
        QVERIFY2(!tabOrderNames.contains(up->objectName()), qPrintable(up->objectName()));

    const QRect pixels(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15);
    QCOMPARE(placement(*m_window, *control, *holder), pixels);
    QCOMPARE(::caption(*control), caption);
    QCOMPARE(state(*m_window, *control), initial);
    // Frames and labels never take the focus.
    if (kind == QLatin1String("QGroupBox") || kind == QLatin1String("QLabel"))
        QCOMPARE(control->focusPolicy(), Qt::NoFocus);
}

void TestFrmCleanerLayout::tabOrder()
{
    // The controls that take the focus, in the order of their tab indices.
    QStringList expected;
    for (const QString &name : tabOrderNames) {
        if (m_window->findChild<QWidget *>(name)->focusPolicy() & Qt::TabFocus)
            expected << name;
    }
    QCOMPARE(expected, (QStringList{"Check1", "Check2", "Check3", "Command1", "Command2", "Command3", "Slider1",
                                    "Slider2", "Check4", "Check5", "Check6"}));
    QStringList seen;
    QWidget *widget = m_window;
    do {
        widget = widget->nextInFocusChain();
        if (expected.contains(widget->objectName()))
            seen << widget->objectName();
    } while (widget != m_window);
    QCOMPARE(seen, expected);
}

void TestFrmCleanerLayout::tabSkipsHiddenAdvancedFrame()
{
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    // Deselect All is disabled, so Select All is the last stop before the
    // advanced frame in the tab order.
    m_session->command(2)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(m_window, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Check4"));

    auto *frame2 = m_window->findChild<QGroupBox *>(QStringLiteral("Frame2"));
    frame2->setVisible(true);
    frame2->setEnabled(true);
    m_session->command(2)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(m_window, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Slider1"));
}

void TestFrmCleanerLayout::window_data()
{
    QTest::addColumn<bool>("advanced");
    QTest::newRow("advanced frame hidden") << false;
    QTest::newRow("advanced frame shown") << true;
}

void TestFrmCleanerLayout::window()
{
    QFETCH(bool, advanced);
    if (advanced) {
        m_session.reset();
        m_drive = std::make_unique<TestDrive>(TestDrive::Layout::Windows98);
        m_drive->write(QStringLiteral("WINDOWS/options.ini"), TestDrive::flagLine());
        m_session = std::make_unique<ProgramSession>(*m_drive);
        QVERIFY(m_session->start());
        m_window = &m_session->window();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }
    QCOMPARE(m_window->findChild<QGroupBox *>(QStringLiteral("Frame2"))->isVisible(), advanced);

    QCOMPARE(m_window->windowTitle(), QStringLiteral("Win 95/98 Brightsweep"));
    QCOMPARE(m_window->width(), 329);
    QCOMPARE(m_window->height() - m_window->menuBar()->height(), 362);
    QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
    QVERIFY(!m_window->windowIcon().isNull());

    const Qt::WindowFlags flags = m_window->windowFlags();
    QVERIFY(flags.testFlag(Qt::Window));
    QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
    QVERIFY(flags.testFlag(Qt::WindowTitleHint));
    for (Qt::WindowType absent : {Qt::WindowSystemMenuHint, Qt::WindowCloseButtonHint, Qt::WindowMinimizeButtonHint,
                                  Qt::WindowMaximizeButtonHint, Qt::Tool, Qt::Dialog})
        QVERIFY(!flags.testFlag(absent));

    const QRect screen = m_window->screen()->availableGeometry();
    const QPoint offCentre = m_window->frameGeometry().center() - screen.center();
    QVERIFY2(offCentre.manhattanLength() <= 4, qPrintable(QStringLiteral("%1,%2").arg(offCentre.x()).arg(offCentre.y())));
}

void TestFrmCleanerLayout::toolbar_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("hoverText");
    QTest::addColumn<QString>("spokenName");

    QTest::newRow("Clean") << 0 << QStringLiteral("Clean") << QStringLiteral("Clean") << QStringLiteral("Clean");
    QTest::newRow("separator 2") << 1 << QString() << QString() << QString();
    QTest::newRow("Options") << 2 << QStringLiteral("Options") << QString() << QStringLiteral("Options");
    QTest::newRow("Exit") << 3 << QStringLiteral("Exit") << QStringLiteral("Exit") << QStringLiteral("Exit");
    QTest::newRow("separator 5") << 4 << QString() << QString() << QString();
    QTest::newRow("About") << 5 << QStringLiteral("About") << QString() << QStringLiteral("About");
    QTest::newRow("HelpTopics") << 6 << QStringLiteral("HelpTopics") << QString() << QStringLiteral("Help Topics");
}

void TestFrmCleanerLayout::toolbar()
{
    QFETCH(int, position);
    QFETCH(QString, key);
    QFETCH(QString, hoverText);
    QFETCH(QString, spokenName);

    auto *toolbar = m_window->findChild<QToolBar *>(QStringLiteral("Toolbar1"));
    QVERIFY(toolbar);
    QVERIFY(!toolbar->isMovable());
    QVERIFY(!toolbar->isFloatable());
    QCOMPARE(toolbar->actions().size(), 7);

    QAction *entry = toolbar->actions().at(position);
    QCOMPARE(entry->isSeparator(), key.isEmpty());
    if (key.isEmpty())
        return;
    QCOMPARE(entry->data().toString(), key);
    QVERIFY(!entry->isCheckable());
    QVERIFY(!entry->icon().isNull());

    auto *button = qobject_cast<QToolButton *>(toolbar->widgetForAction(entry));
    QVERIFY(button);
    QCOMPARE(button->size(), QSize(24, 22));
    QCOMPARE(button->toolButtonStyle(), Qt::ToolButtonIconOnly);
    QCOMPARE(button->toolTip(), hoverText);

    // What a screen reader says: the buttons show pictures only.
    QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(button);
    QVERIFY(spoken);
    QCOMPARE(spoken->role(), QAccessible::Button);
    QCOMPARE(spoken->text(QAccessible::Name), spokenName);

    // What the user sees when the pointer rests on the button.
    QToolTip::hideText();
    QHelpEvent rest(QEvent::ToolTip, button->rect().center(), button->mapToGlobal(button->rect().center()));
    QApplication::sendEvent(button, &rest);
    QCOMPARE(QToolTip::isVisible(), !hoverText.isEmpty());
    if (!hoverText.isEmpty())
        QCOMPARE(QToolTip::text(), hoverText);
    QToolTip::hideText();
}

void TestFrmCleanerLayout::menuTree()
{
    struct Entry
    {
        QString text;
        QString name;
        QStringList items;
        QStringList itemNames;
    };
    const QList<Entry> expected = {
        {QStringLiteral("&File"), QStringLiteral("mnuFile"), {QStringLiteral("E&xit")}, {QStringLiteral("mnuExit")}},
        {QStringLiteral("&View"), QStringLiteral("mnuView"), {}, {}},
        {QStringLiteral("&Options"), QStringLiteral("mnuOptions"), {}, {}},
        {QStringLiteral("&Help"), QStringLiteral("mnuHelp"), {QStringLiteral("&About")}, {QStringLiteral("mnuAbout")}},
    };
    const QList<QAction *> top = m_window->menuBar()->actions();
    QCOMPARE(top.size(), expected.size());
    for (qsizetype i = 0; i < top.size(); ++i) {
        QAction *action = top.at(i);
        const Entry &entry = expected.at(i);
        QCOMPARE(action->text(), entry.text);
        QVERIFY(action->isEnabled() && action->isVisible() && !action->isCheckable());
        QVERIFY(action->shortcut().isEmpty());
        QMenu *menu = action->menu();
        QCOMPARE(menu != nullptr, !entry.items.isEmpty());
        QCOMPARE(menu ? menu->objectName() : action->objectName(), entry.name);
        if (!menu)
            continue;
        QStringList texts;
        QStringList names;
        for (QAction *item : menu->actions()) {
            texts << item->text();
            names << item->objectName();
            QVERIFY(item->shortcut().isEmpty() && !item->isCheckable() && item->isEnabled());
        }
        QCOMPARE(texts, entry.items);
        QCOMPARE(names, entry.itemNames);
    }
}

void TestFrmCleanerLayout::statusBar()
{
    auto *bar = m_window->findChild<ClockStatusBar *>(QStringLiteral("StatusBar1"));
    QVERIFY(bar);
    QCOMPARE(bar->panel(1)->width(), 137);
    QCOMPARE(bar->panel(2)->width(), 96);
    QCOMPARE(bar->panel(3)->width(), 96);
    QCOMPARE(bar->panel(2)->x(), bar->panel(1)->geometry().right() + 1);
    QCOMPARE(bar->panel(3)->x(), bar->panel(2)->geometry().right() + 1);
    QCOMPARE(bar->panel(3)->text(), QStringLiteral("Brightsweep"));
    QVERIFY(bar->panel(3)->toolTip().contains(QStringLiteral("All rights reserved")));

    // The running machine's date and time, not texts fixed at start.
    const QLocale locale;
    bar->refresh();
    const QDateTime now = QDateTime::currentDateTime();
    QCOMPARE(bar->panel(1)->text(), locale.toString(now.date(), QLocale::ShortFormat));
    const QString time = locale.toString(now.time(), ClockStatusBar::hoursAndMinutes(locale));
    if (bar->panel(2)->text() != time)
        QCOMPARE(bar->panel(2)->text(), locale.toString(now.time().addSecs(-60), ClockStatusBar::hoursAndMinutes(locale)));

    // It wakes itself at the next minute.
    auto *clock = bar->findChild<QTimer *>(QStringLiteral("clock"));
    QVERIFY(clock && clock->isActive());
    QVERIFY(clock->remainingTime() <= 60100);
    const int untilMinute = 60000 - (now.time().second() * 1000 + now.time().msec());
    QVERIFY(qAbs(clock->remainingTime() - untilMinute) < 1000);
}

void TestFrmCleanerLayout::hoursAndMinutes_data()
{
    QTest::addColumn<QString>("locale");
    for (const char *name : {"C", "en_US", "en_GB", "de_DE", "fr_FR", "ja_JP", "fi_FI", "ko_KR"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestFrmCleanerLayout::hoursAndMinutes()
{
    QFETCH(QString, locale);
    const QLocale here(locale);
    const QString format = ClockStatusBar::hoursAndMinutes(here);
    const QString shown = here.toString(QTime(17, 5, 59), format);
    QVERIFY2(!format.contains(QLatin1Char('s')), qPrintable(format));
    QVERIFY2(shown.contains(QLatin1String("05")), qPrintable(shown));
    QVERIFY2(!shown.contains(QLatin1String("59")), qPrintable(shown));
}

void TestFrmCleanerLayout::sliders_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("label");
    QTest::newRow("Slider1") << QStringLiteral("Slider1") << QStringLiteral("Label1");
    QTest::newRow("Slider2") << QStringLiteral("Slider2") << QStringLiteral("Label2");
}

void TestFrmCleanerLayout::sliders()
{
    QFETCH(QString, name);
    QFETCH(QString, label);
    auto *slider = m_window->findChild<QSlider *>(name);
    QVERIFY(slider);
    // Named after the caption beside it, not after the frame around both.
    const auto *caption = m_window->findChild<QLabel *>(label);
    QVERIFY(caption);
    QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(slider);
    QVERIFY(spoken);
    QCOMPARE(spoken->role(), QAccessible::Slider);
    QCOMPARE(spoken->text(QAccessible::Name), caption->text());
    QCOMPARE(slider->orientation(), Qt::Horizontal);
    QCOMPARE(slider->minimum(), 0);
    QCOMPARE(slider->maximum(), 10);
    QCOMPARE(slider->singleStep(), 1);
    QCOMPARE(slider->pageStep(), 5);
    QCOMPARE(slider->tickPosition(), QSlider::TicksBelow);
    QCOMPARE(slider->tickInterval(), 1);
}

void TestFrmCleanerLayout::imageList()
{
    auto *images = m_window->findChild<ImageList *>(QStringLiteral("ImageList1"));
    QVERIFY(images);
    QCOMPARE(images->count(), 5);
    for (int number = 1; number <= 5; ++number) {
        const QIcon icon = images->image(number);
        QCOMPARE(icon.availableSizes(), (QList<QSize>{QSize(32, 32), QSize(16, 16)}));
        // Light grey is the mask colour: the corners are see-through.
        const QImage picture = icon.pixmap(QSize(32, 32)).toImage();
        QCOMPARE(qAlpha(picture.pixel(0, 31)), 0);
        // Nothing but the sixteen classic colours.
        static const QList<QRgb> classic = {
            0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
            0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
        };
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                const QRgb pixel = picture.pixel(x, y);
                if (qAlpha(pixel) != 0)
                    QVERIFY(classic.contains(pixel & 0xFFFFFF));
            }
        }
    }
    QVERIFY(!images->image(0).availableSizes().size());
    QVERIFY(images->image(1).cacheKey() != images->image(2).cacheKey());
}

QTEST_MAIN(TestFrmCleanerLayout)
#include "test_frm_cleaner_layout.moc"

void TestFrmCleanerLayout::classicLook_data()
{
    QTest::addColumn<QString>("window");
    QTest::newRow("frmCleaner") << QStringLiteral("frmCleaner");
    QTest::newRow("frmOptions") << QStringLiteral("frmOptions");
    QTest::newRow("frmAbout") << QStringLiteral("frmAbout");
}

void TestFrmCleanerLayout::classicLook()
{
    QFETCH(QString, window);
    // The advanced mode on, so that the main window shows every control.
    m_session.reset();
    m_drive->write(QStringLiteral("WINDOWS/options.ini"), TestDrive::flagLine());
    const auto layout = [this, &window]() -> QMap<QString, QRect> {
        m_session = std::make_unique<ProgramSession>(*m_drive);
        if (!m_session->start())
            return {};
        QWidget *shown = &m_session->window();
        if (window == QLatin1String("frmOptions"))
            shown = &m_session->openOptions();
        else if (window == QLatin1String("frmAbout"))
            shown = &m_session->openAbout();
        if (!QTest::qWaitForWindowExposed(shown))
            return {};
        QMap<QString, QRect> places = layoutOf(*shown);
        m_session.reset();
        return places;
    };

    const QString desktopStyle = QApplication::style()->name();
    const QMap<QString, QRect> desktop = layout();
    QVERIFY(desktop.size() > 2);
    QVERIFY(applyClassicLook());
    const QMap<QString, QRect> classic = layout();
    const QColor face = QApplication::palette().color(QPalette::Button);
    const QColor disabledText = QApplication::palette().color(QPalette::Disabled, QPalette::ButtonText);
    QApplication::setStyle(QStyleFactory::create(desktopStyle));
    QApplication::setPalette(QApplication::style()->standardPalette());

    QCOMPARE(face, QColor(192, 192, 192));
    QCOMPARE(disabledText, QColor(128, 128, 128));
    QCOMPARE(classic.keys(), desktop.keys());
    const auto text = [](const QRect &rect) {
        return QStringLiteral("%1,%2 %3x%4").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height());
    };
    QStringList moved;
    for (auto place = desktop.cbegin(); place != desktop.cend(); ++place) {
        if (classic.value(place.key()) != place.value())
            moved << place.key() + QStringLiteral(": ") + text(classic.value(place.key())) + QStringLiteral(" classic, ") +
                    text(place.value()) + QStringLiteral(" desktop");
    }
    QVERIFY2(moved.isEmpty(), qPrintable(moved.join(QStringLiteral("; "))));
}
