#include "ui/options/FrmOptions.h"

#include "engine/AdvancedMode.h"
#include "runtime/Program.h"
#include "ui/ClassicWindow.h"
#include "ui/Twips.h"
#include "ui/main/FrmCleaner.h"
#include "ui/options/WrappingRadioButton.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QGroupBox>
#include <QPushButton>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>

FrmOptions::FrmOptions(Program &program)
    : QDialog(nullptr, classicDialogFlags())
    , m_program(program)
{
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Brightsweep Options"));
    setFixedSize(pixels(4755), pixels(2415));

    m_tbsOptions = new QTabWidget(this);
    m_tbsOptions->setObjectName(QStringLiteral("tbsOptions"));
    m_tbsOptions->setGeometry(twipsRect(120, 120, 4335, 1725));
    auto *startupPage = new QWidget(m_tbsOptions);
    startupPage->setFocusPolicy(Qt::NoFocus);
    const int startupTab = m_tbsOptions->addTab(startupPage, QStringLiteral("Startup Options"));
    m_tbsOptions->tabBar()->setTabData(startupTab, QStringLiteral("startup"));
    m_tbsOptions->setTabToolTip(startupTab, QStringLiteral("Set Options for Group 1"));

    m_cmdOK = new QPushButton(QStringLiteral("OK"), this);
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdOK->setGeometry(twipsRect(120, 1920, 1095, 375));

    m_cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    m_cmdCancel->setGeometry(twipsRect(1440, 1920, 1095, 375));

    // Neither button is the default: Enter presses only the button that has
    // the focus, never OK from elsewhere in the dialog.
    for (QPushButton *button : {m_cmdOK, m_cmdCancel}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    // Panels nothing ever shows: they sit far left of the client area.
    QList<QWidget *> panels;
    for (int index = 1; index <= 3; ++index) {
        auto *panel = new QFrame(this);
        panel->setObjectName(QStringLiteral("picOptions"));
        panel->setProperty("index", index);
        panel->setFrameShape(QFrame::Box);
        panel->setFocusPolicy(Qt::NoFocus);
        panel->setGeometry(twipsRect(-20000, 480, 5685, 3780));
        auto *sample = new QGroupBox(QStringLiteral("Sample %1").arg(index + 1), panel);
        sample->setObjectName(QStringLiteral("fraSample%1").arg(index + 1));
        sample->setGeometry(twipsRect(120, 120, 2055, 1785));
        sample->setFocusPolicy(Qt::NoFocus);
        panels.append(panel);
    }

    // Created after the tab strip so they lie above its page area.
    m_option1 = new WrappingRadioButton(QStringLiteral("Start with Brightsweep classic"), this);
    m_option1->setObjectName(QStringLiteral("Option1"));
    m_option1->setGeometry(twipsRect(360, 720, 2895, 375));

    m_option2 = new WrappingRadioButton(
        QStringLiteral("Start with Brightsweep advanced mode  (For advanced users only)"), this);
    m_option2->setObjectName(QStringLiteral("Option2"));
    m_option2->setGeometry(twipsRect(360, 1080, 3255, 495));

    m_startupChoice = new QButtonGroup(this);
    m_startupChoice->setExclusive(true);
    m_startupChoice->addButton(m_option1, 1);
    m_startupChoice->addButton(m_option2, 2);
    m_option1->setEnabled(false);
    m_option2->setEnabled(false);

    // Each sample frame follows its own panel: a focus chain keeps a child
    // right behind its parent. Neither can take the focus, so Tab goes from
    // Cancel straight to the option buttons all the same.
    const QList<QWidget *> tabOrder = QList<QWidget *>{m_tbsOptions, m_cmdOK, m_cmdCancel} + panels +
                                      QList<QWidget *>{m_option1, m_option2};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
    applyFittingFont();
    m_tbsOptions->setFocus();
    pressFocusedButtonOnEnter(*this);

    m_program.connectHandler(m_cmdOK, &QPushButton::clicked, this, &FrmOptions::cmdOK_Click);
    m_program.connectHandler(m_cmdCancel, &QPushButton::clicked, this, &FrmOptions::cmdCancel_Click);
}

void FrmOptions::Form_Load()
{
    // Only the choice that would change the setting can be picked.
    if (AdvancedMode::isOn(m_program.files())) {
        m_option1->setEnabled(true);
        m_option2->setEnabled(false);
    } else {
        m_option1->setEnabled(false);
        m_option2->setEnabled(true);
    }
}

void FrmOptions::cmdOK_Click()
{
    const BusyCursor busy;
    // The flag rule enters c:\windows itself: a clean run while the dialog
    // was open has moved the current directory into some target folder.
    if (m_option1->isChecked()) {
        if (QGroupBox *frame = loadedAdvancedFrame())
            frame->setVisible(false);
        AdvancedMode::switchOff(m_program.files());
    }
    if (m_option2->isChecked()) {
        if (QGroupBox *frame = loadedAdvancedFrame()) {
            frame->setVisible(true);
            frame->setEnabled(true);
        }
        AdvancedMode::switchOn(m_program.files());
    }
    m_program.unload<FrmOptions>();
}

void FrmOptions::cmdCancel_Click()
{
    m_program.unload<FrmOptions>();
}

void FrmOptions::reject()
{
    m_program.guard([this] { cmdCancel_Click(); });
}

void FrmOptions::closeEvent(QCloseEvent *event)
{
    // Closed by the window system: the same as Cancel. The unload hides the
    // dialog itself, so the event must not close it a second time.
    event->ignore();
    reject();
}

void FrmOptions::applyFittingFont()
{
    // Whether the option captions fit is only known once they are laid out
    // in the font, so each candidate is tried on the dialog itself.
    setFont(fittingFont(QApplication::font(this), [this](const QFont &font) {
        setFont(font);
        return captionsFit();
    }));
}

bool FrmOptions::captionsFit() const
{
    for (const WrappingRadioButton *option : {m_option1, m_option2}) {
        if (!option->captionRect().contains(option->wrappedCaptionBounds()))
            return false;
    }
    const int buttonMargin = 2 * style()->pixelMetric(QStyle::PM_ButtonMargin);
    for (const QPushButton *button : {m_cmdOK, m_cmdCancel}) {
        if (buttonMargin + button->fontMetrics().horizontalAdvance(button->text()) > button->width())
            return false;
    }
    return m_tbsOptions->tabBar()->sizeHint().width() <= m_tbsOptions->width();
}

QGroupBox *FrmOptions::loadedAdvancedFrame() const
{
    if (!m_program.isLoaded<FrmCleaner>())
        return nullptr;
    return &m_program.window<FrmCleaner>().advancedFrame();
}
