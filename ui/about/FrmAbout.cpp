#include "ui/about/FrmAbout.h"

#include "runtime/Program.h"
#include "ui/ClassicWindow.h"
#include "ui/Twips.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

FrmAbout::FrmAbout(Program &program)
    : QDialog(nullptr, classicDialogFlags())
    , m_program(program)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About MyApp"));
    setFixedSize(pixels(4680), pixels(1845));

    m_imgCurrentMoon = new QLabel(this);
    m_imgCurrentMoon->setObjectName(QStringLiteral("imgCurrentMoon"));
    m_imgCurrentMoon->setGeometry(twipsRect(120, 120, 540, 540));
    m_imgCurrentMoon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_imgCurrentMoon->setPixmap(picture());

    m_label1 = new QLabel(QStringLiteral("Win 95/98 Brightsweep\n"
                                         "Brightsweep Software, 1998. All rights reserved."),
                          this);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setGeometry(twipsRect(840, 120, 3735, 1215));
    m_label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_label1->setWordWrap(true);

    m_command1 = new QPushButton(QStringLiteral("OK"), this);
    m_command1->setObjectName(QStringLiteral("Command1"));
    m_command1->setGeometry(twipsRect(3480, 1320, 1095, 375));

    m_command2 = new QPushButton(QStringLiteral("www.brightsweep.example"), this);
    m_command2->setObjectName(QStringLiteral("Command2"));
    m_command2->setGeometry(twipsRect(840, 1320, 2595, 375));

    // No default button: Enter presses only the focused button.
    for (QPushButton *button : {m_command1, m_command2}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    QWidget::setTabOrder(m_command1, m_command2);
    m_command1->setFocus();
    pressFocusedButtonOnEnter(*this);

    // The web address is shown, not followed: the button has no action.
    m_program.connectHandler(m_command1, &QPushButton::clicked, this, &FrmAbout::Command1_Click);
}

void FrmAbout::Form_Load()
{
}

void FrmAbout::Command1_Click()
{
    m_program.unload<FrmAbout>();
}

void FrmAbout::reject()
{
}

QPixmap FrmAbout::picture()
{
    return classicPicture(QStringLiteral(":/dialogs/about.xpm"));
}

void FrmAbout::closeEvent(QCloseEvent *event)
{
    // Closed by the window system: the same as OK. The unload hides the
    // dialog itself, so the event must not close it a second time.
    event->ignore();
    m_program.guard([this] { Command1_Click(); });
}
