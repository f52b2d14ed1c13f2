#include "ui/main/FrmCleaner.h"

#include "engine/AdvancedMode.h"
#include "engine/CleaningTargets.h"
#include "runtime/FrmClean.h"
#include "runtime/Program.h"
#include "ui/ClassicWindow.h"
#include "ui/Twips.h"
#include "ui/main/ClockStatusBar.h"
#include "ui/main/ImageList.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>

#include <array>
#include <cstddef>

// Shown through the program by type; the main window needs no more of them.
class FrmAbout;
class FrmOptions;

namespace {

constexpr int toolbarTwips = 420;
constexpr int statusBarTwips = 255;

// Places a control at its twip position inside its container.
void place(QWidget *control, int left, int top, int width, int height)
{
    control->setGeometry(twipsRect(left, top, width, height));
}

// A user's click toggles between unticked and ticked, also from greyed;
// only code sets the greyed value.
class ClassicCheckBox final : public QCheckBox
{
public:
    ClassicCheckBox(const QString &caption, QWidget *parent)
        : QCheckBox(caption, parent)
    {
    }

protected:
    void nextCheckState() override
    {
        setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    }
};

} // namespace

FrmCleaner::FrmCleaner(Program &program)
    : QMainWindow(nullptr)
    , m_program(program)
{
    setObjectName(QStringLiteral("frmCleaner"));
    setWindowTitle(Program::title());
    setWindowIcon(ImageList::applicationIcon());
    // A title bar without system menu, close, minimise or maximise button.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    m_imageList1 = new ImageList(this);
    buildMenuBar();
    buildToolBar();

    m_statusBar1 = new ClockStatusBar(this);
    m_statusBar1->setFixedHeight(pixels(statusBarTwips));
    setStatusBar(m_statusBar1);

    // The area between the toolbar and the status bar. Controls that belong
    // to the window itself are placed relative to the whole client area,
    // which begins at the toolbar's top.
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);
    buildMainFrame(client);
    buildAdvancedFrame(client);
    orderTabs();
    applyFittingFont();
    // A frame's caption sits on its top edge, as the classic layout's
    // positions assume; drawn above the edge it would push the edge into the
    // controls placed near the frame's top.
    const QString captionOnEdge = QStringLiteral(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: %1px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 6px; padding: 0px 2px; }")
        .arg(QFontMetrics(font()).height() / 2);
    for (QGroupBox *frame : {m_frame1, m_frame2, m_frame3, m_frame4})
        frame->setStyleSheet(captionOnEdge);

    // The window keeps its size whether the advanced frame shows or not.
    setFixedSize(clientWidth, menuBar()->sizeHint().height() + clientHeight);
}

void FrmCleaner::buildMenuBar()
{
    auto *bar = new QMenuBar(this);
    bar->setObjectName(QStringLiteral("menuBar"));
    setMenuBar(bar);

    m_mnuFile = bar->addMenu(tr("&File"));
    m_mnuFile->setObjectName(QStringLiteral("mnuFile"));
    m_mnuExit = m_mnuFile->addAction(tr("E&xit"));
    m_mnuExit->setObjectName(QStringLiteral("mnuExit"));

    // View and Options are commands on the bar itself, without drop-downs.
    m_mnuView = bar->addAction(tr("&View"));
    m_mnuView->setObjectName(QStringLiteral("mnuView"));
    m_mnuOptions = bar->addAction(tr("&Options"));
    m_mnuOptions->setObjectName(QStringLiteral("mnuOptions"));

    m_mnuHelp = bar->addMenu(tr("&Help"));
    m_mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    m_mnuAbout = m_mnuHelp->addAction(tr("&About"));
    m_mnuAbout->setObjectName(QStringLiteral("mnuAbout"));

    m_program.connectHandler(m_mnuExit, &QAction::triggered, this, &FrmCleaner::mnuExit_Click);
    m_program.connectHandler(m_mnuOptions, &QAction::triggered, this, &FrmCleaner::mnuOptions_Click);
    m_program.connectHandler(m_mnuAbout, &QAction::triggered, this, &FrmCleaner::mnuAbout_Click);
}

void FrmCleaner::buildToolBar()
{
    m_toolbar1 = new QToolBar(this);
    m_toolbar1->setObjectName(QStringLiteral("Toolbar1"));
    m_toolbar1->setMovable(false);
    m_toolbar1->setFloatable(false);
    m_toolbar1->setContextMenuPolicy(Qt::PreventContextMenu);
    m_toolbar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_toolbar1->setIconSize(QSize(16, 16));
    m_toolbar1->setFixedHeight(pixels(toolbarTwips));
    addToolBar(Qt::TopToolBarArea, m_toolbar1);

    // A screen reader says the hover text where there is one, else the key
    // in words: the buttons show no text of their own.
    struct Entry
    {
        const char *key; // empty: a separator
        const char *hoverText;
        const char *spokenName;
        int image;
    };
    static constexpr Entry entries[] = {
        {"Clean", "Clean", "Clean", 1},       {"", "", "", 0},           {"Options", "", "Options", 2},
        {"Exit", "Exit", "Exit", 3},          {"", "", "", 0},           {"About", "", "About", 4},
        {"HelpTopics", "", "Help Topics", 5},
    };
    for (const Entry &entry : entries) {
        const QString key = QString::fromLatin1(entry.key);
        if (key.isEmpty()) {
            m_toolbar1->addSeparator();
            continue;
        }
        // The buttons show pictures only. An action's tooltip falls back to
        // its text, so leaving the text empty keeps the three buttons
        // without a hover text silent.
        auto *button = new QAction(m_imageList1->image(entry.image), QString(), m_toolbar1);
        button->setObjectName(key);
        button->setData(key);
        button->setToolTip(QString::fromLatin1(entry.hoverText));
        m_toolbar1->addAction(button);
        if (QWidget *widget = m_toolbar1->widgetForAction(button)) {
            widget->setFixedSize(pixels(360), pixels(330));
            // On the button, not the action: an action's text would also
            // become the button's hover text.
            widget->setAccessibleName(tr(entry.spokenName));
        }
    }
    m_program.connectHandler(m_toolbar1, &QToolBar::actionTriggered, this, &FrmCleaner::toolbarButtonPressed);
}

void FrmCleaner::buildMainFrame(QWidget *client)
{
    const int clientTop = pixels(toolbarTwips);

    m_frame1 = new QGroupBox(tr("Cleaner Main Menu"), client);
    m_frame1->setObjectName(QStringLiteral("Frame1"));
    place(m_frame1, 120, 600, 4695, 2655);
    m_frame1->move(m_frame1->x(), m_frame1->y() - clientTop);

    // Box n selects cleaning target n; its caption is the target's.
    struct Box
    {
        int top;
        int width;
        void (FrmCleaner::*handler)();
    };
    static constexpr Box boxes[] = {
        {360, 1935, &FrmCleaner::Check1_Click},  {720, 2535, &FrmCleaner::Check2_Click},
        {1080, 2055, &FrmCleaner::Check3_Click}, {1440, 2775, &FrmCleaner::Check4_Click},
        {1800, 2535, &FrmCleaner::Check5_Click}, {2160, 2895, &FrmCleaner::Check6_Click},
    };
    for (std::size_t i = 0; i < m_checks.size(); ++i) {
        const std::string_view caption = cleaningTargets()[i].caption;
        auto *box = new ClassicCheckBox(QString::fromUtf8(caption.data(), qsizetype(caption.size())), m_frame1);
        box->setObjectName(QStringLiteral("Check%1").arg(i + 1));
        place(box, 240, boxes[i].top, boxes[i].width, 255);
        // The value-change signal, not clicked: a value assigned from code
        // runs the handler at once, nested inside the assignment.
        m_program.connectHandler(box, &QCheckBox::stateChanged, this, boxes[i].handler);
        m_checks[i] = box;
    }

    m_command1 = new QPushButton(tr("Clean"), m_frame1);
    m_command1->setObjectName(QStringLiteral("Command1"));
    place(m_command1, 3360, 240, 1095, 375);
    m_command1->setEnabled(false);

    m_command2 = new QPushButton(tr("Select All"), m_frame1);
    m_command2->setObjectName(QStringLiteral("Command2"));
    place(m_command2, 3360, 720, 1095, 375);

    m_command3 = new QPushButton(tr("Deselect All"), m_frame1);
    m_command3->setObjectName(QStringLiteral("Command3"));
    place(m_command3, 3360, 1080, 1095, 375);
    m_command3->setEnabled(false);

    // No button of the window is a default button: Enter has no window-wide
    // meaning, it presses only the focused button.
    for (QPushButton *button : {m_command1, m_command2, m_command3})
        button->setAutoDefault(false);
    pressFocusedButtonOnEnter(*this);

    m_program.connectHandler(m_command1, &QPushButton::clicked, this, &FrmCleaner::Command1_Click);
    m_program.connectHandler(m_command2, &QPushButton::clicked, this, &FrmCleaner::Command2_Click);
    m_program.connectHandler(m_command3, &QPushButton::clicked, this, &FrmCleaner::Command3_Click);
}

void FrmCleaner::buildAdvancedFrame(QWidget *client)
{
    const int clientTop = pixels(toolbarTwips);

    m_frame2 = new QGroupBox(tr("Cleaner Advanced Options"), client);
    m_frame2->setObjectName(QStringLiteral("Frame2"));
    place(m_frame2, 120, 3360, 4695, 1695);
    m_frame2->move(m_frame2->x(), m_frame2->y() - clientTop);

    auto slider = [this](const char *name, int top) {
        auto *control = new QSlider(Qt::Horizontal, m_frame2);
        control->setObjectName(QString::fromLatin1(name));
        control->setRange(0, 10);
        control->setSingleStep(1);
        control->setPageStep(5);
        control->setTickPosition(QSlider::TicksBelow);
        control->setTickInterval(1);
        control->setValue(0);
        place(control, 240, top, 2175, 255);
        return control;
    };
    auto namingFrame = [this](const char *frameName, const char *labelName, const QString &caption, int top,
                              QLabel **label) {
        auto *frame = new QGroupBox(m_frame2);
        frame->setObjectName(QString::fromLatin1(frameName));
        place(frame, 2520, top, 2055, 615);
        *label = new QLabel(caption, frame);
        (*label)->setObjectName(QString::fromLatin1(labelName));
        place(*label, 120, 240, 1815, 255);
        return frame;
    };

    m_frame4 = namingFrame("Frame4", "Label2", tr("Optimization levels"), 960, &m_label2);
    m_slider2 = slider("Slider2", 1200);
    m_frame3 = namingFrame("Frame3", "Label1", tr("Sensitivity of Cleaner"), 240, &m_label1);
    m_slider1 = slider("Slider1", 480);
    // Each label sits in a frame of its own beside its slider, so Qt cannot
    // pair them and would name both sliders after the frame around them all.
    m_slider1->setAccessibleName(m_label1->text());
    m_slider2->setAccessibleName(m_label2->text());

    // Laid out hidden and disabled; the load decides.
    m_frame2->setVisible(false);
    m_frame2->setEnabled(false);
}

void FrmCleaner::applyFittingFont()
{
    // The classic font itself where the platform has it.
    const QFont classic(QStringLiteral("MS Sans Serif"));
    if (QFontInfo(classic).family().compare(classic.family(), Qt::CaseInsensitive) == 0) {
        QFont font = classic;
        font.setPointSizeF(8.25);
        setFont(font);
        return;
    }
    setFont(fittingFont(QApplication::font(this), [this](const QFont &font) { return captionsFit(font); }));
}

bool FrmCleaner::captionsFit(const QFont &font) const
{
    const QFontMetrics metrics(font);
    const int box = style()->pixelMetric(QStyle::PM_IndicatorWidth) +
        style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
    for (const QCheckBox *check : m_checks) {
        if (box + metrics.horizontalAdvance(check->text()) > check->width())
            return false;
    }
    const int buttonMargin = 2 * style()->pixelMetric(QStyle::PM_ButtonMargin);
    for (const QPushButton *button : {m_command1, m_command2, m_command3}) {
        if (buttonMargin + metrics.horizontalAdvance(button->text()) > button->width())
            return false;
    }
    for (const QLabel *label : {m_label1, m_label2}) {
        if (metrics.horizontalAdvance(label->text()) + qMax(0, label->indent()) > label->width())
            return false;
    }
    return metrics.height() <= m_checks[0]->height();
}

void FrmCleaner::orderTabs()
{
    const QList<QWidget *> order = {
        m_toolbar1, m_frame1,     m_checks[0], m_checks[1], m_checks[2], m_command1, m_command2,
        m_frame2,   m_command3,   m_statusBar1, m_slider1,  m_frame3,    m_label1,   m_slider2,
        m_frame4,   m_label2,     m_checks[3], m_checks[4], m_checks[5],
    };
    // Only controls that take the focus are chained: frames, labels, the
    // toolbar and the status bar keep their place in the classic order but
    // never stop the focus, and chaining a frame would drag its children
    // along with it.
    QWidget *previous = nullptr;
    for (QWidget *control : order) {
        if (!(control->focusPolicy() & Qt::TabFocus))
            continue;
        if (previous)
            QWidget::setTabOrder(previous, control);
        previous = control;
    }
}

void FrmCleaner::Form_Load()
{
    if (AdvancedMode::isOn(m_program.files())) {
        m_frame2->setVisible(true);
        m_frame2->setEnabled(true);
    } else {
        m_frame2->setEnabled(false);
    }
    m_program.hide<FrmClean>();
}

QGroupBox &FrmCleaner::advancedFrame() const
{
    return *m_frame2;
}

int FrmCleaner::checkValue(const QCheckBox &box)
{
    switch (box.checkState()) {
    case Qt::Unchecked:
        return 0;
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    }
    return 0;
}

void FrmCleaner::setCheckValue(QCheckBox &box, int value)
{
    switch (value) {
    case 1:
        box.setCheckState(Qt::Checked);
        break;
    case 2:
        box.setCheckState(Qt::PartiallyChecked);
        break;
    default:
        box.setCheckState(Qt::Unchecked);
        break;
    }
}

void FrmCleaner::selectionRule()
{
    bool ticked = false;
    for (QCheckBox *box : m_checks) {
        if (checkValue(*box) == 1) {
            ticked = true;
            break;
        }
    }
    m_command1->setEnabled(ticked);
    m_command3->setEnabled(ticked);
}

void FrmCleaner::Check1_Click()
{
    selectionRule();
}

void FrmCleaner::Check2_Click()
{
    selectionRule();
}

void FrmCleaner::Check3_Click()
{
    selectionRule();
}

void FrmCleaner::Check4_Click()
{
    selectionRule();
}

void FrmCleaner::Check5_Click()
{
    selectionRule();
}

void FrmCleaner::Check6_Click()
{
    selectionRule();
}

void FrmCleaner::Command1_Click()
{
    const BusyCursor busy;
    std::array<int, 6> boxes{};
    for (std::size_t i = 0; i < boxes.size(); ++i)
        boxes[i] = checkValue(*m_checks[i]);
    // The file work runs away from this thread so that the window goes on
    // being drawn and answering the window manager; no input reaches it
    // before this handler has ended.
    m_program.runCleanRun(boxes);
    // A failure above leaves the boxes and Clean as they were, so the user
    // sees what was still to do.
    m_command1->setEnabled(false);
    for (QCheckBox *box : m_checks)
        setCheckValue(*box, 0);
}

void FrmCleaner::Command2_Click()
{
    for (QCheckBox *box : m_checks)
        setCheckValue(*box, 1);
}

void FrmCleaner::Command3_Click()
{
    for (QCheckBox *box : m_checks)
        setCheckValue(*box, 0);
}

void FrmCleaner::Toolbar1_ButtonClick(const QAction &button)
{
    const QString key = button.data().toString();
    if (key == QLatin1String("Clean")) {
        // Not governed by the selection: runs even while Clean is greyed.
        Command1_Click();
    } else if (key == QLatin1String("About")) {
        mnuAbout_Click();
    } else if (key == QLatin1String("Options")) {
        showOptions();
    } else if (key == QLatin1String("Exit")) {
        mnuExit_Click();
    }
}

void FrmCleaner::showOptions()
{
    m_program.show<FrmOptions>();
}

void FrmCleaner::toolbarButtonPressed(QAction *button)
{
    Toolbar1_ButtonClick(*button);
}

void FrmCleaner::mnuExit_Click()
{
    // This window is gone after the first step; nothing below may touch it.
    m_program.unload<FrmCleaner>();
    m_program.unload<FrmClean>();
}

void FrmCleaner::mnuOptions_Click()
{
    m_program.show<FrmOptions>();
}

void FrmCleaner::mnuAbout_Click()
{
    m_program.show<FrmAbout>();
}

QMenu *FrmCleaner::createPopupMenu()
{
    // The window has no pop-up menu; Qt's would offer to hide the toolbar.
    return nullptr;
}

void FrmCleaner::closeEvent(QCloseEvent *event)
{
    // Closed by the window system (there is no close button): leave the way
    // Exit does, or the hidden start-up window would keep the program alive
    // with nothing on screen.
    event->ignore();
    if (m_program.isLoaded<FrmCleaner>() && &m_program.window<FrmCleaner>() == this)
        m_program.guard([this] { mnuExit_Click(); });
}
