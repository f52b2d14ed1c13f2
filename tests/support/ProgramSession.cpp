#include "support/ProgramSession.h"

#include "support/TestAttributeRoute.h"
#include "support/TestDrive.h"

#include <QAction>
#include <QCoreApplication>
#include <QRadioButton>
#include <QTest>
#include <QToolBar>

ProgramSession::ProgramSession(const TestDrive &drive, SystemCalls *calls)
    : m_hostCalls(calls ? nullptr : std::make_unique<SystemCalls>(attributeRouteUnderTest()))
    , m_files(std::make_unique<FileServices>(drive.root(), calls ? calls : m_hostCalls.get()))
    , m_program(std::make_unique<Program>(*m_files))
{
    m_program->defineMainWindow<FrmCleaner>();
    m_program->define<FrmOptions>();
    m_program->define<FrmAbout>();
    m_program->setFailureReporter([this](const FileError &error) { m_failures.push_back(error); });
    m_program->setMessageReporter([this](const QString &text) { m_messages << text; });
    // Never a desktop's task bar: a test's cleans are no user's.
    m_program->setProgressReporter([this](double progress, bool visible) { m_progress.push_back({progress, visible}); });
    QObject::connect(m_program.get(), &Program::ended, [this] { ++m_ended; });
}

ProgramSession::~ProgramSession()
{
    m_program.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool ProgramSession::start()
{
    return m_program->start();
}

FrmCleaner &ProgramSession::window()
{
    return m_program->window<FrmCleaner>();
}

QCheckBox *ProgramSession::box(int number)
{
    return window().findChild<QCheckBox *>(QStringLiteral("Check%1").arg(number));
}

QPushButton *ProgramSession::command(int number)
{
    return window().findChild<QPushButton *>(QStringLiteral("Command%1").arg(number));
}

QGroupBox *ProgramSession::frame2()
{
    return window().findChild<QGroupBox *>(QStringLiteral("Frame2"));
}

int ProgramSession::value(int number)
{
    return FrmCleaner::checkValue(*box(number));
}

int ProgramSession::tickedCount()
{
    int ticked = 0;
    for (int number = 1; number <= 6; ++number)
        ticked += value(number) == 1 ? 1 : 0;
    return ticked;
}

void ProgramSession::clickBox(int number)
{
    QCheckBox *indicator = box(number);
    QTest::mouseClick(indicator, Qt::LeftButton, {}, QPoint(indicator->height() / 2, indicator->height() / 2));
}

void ProgramSession::tickAll()
{
    for (int number = 1; number <= 6; ++number)
        box(number)->setChecked(true);
}

void ProgramSession::clickClean()
{
    command(1)->click();
}

FrmOptions &ProgramSession::openOptions()
{
    m_program->guard([this] { m_program->show<FrmOptions>(); });
    return m_program->window<FrmOptions>();
}

FrmAbout &ProgramSession::openAbout()
{
    m_program->guard([this] { m_program->show<FrmAbout>(); });
    return m_program->window<FrmAbout>();
}

bool ProgramSession::switchAdvancedMode(bool on)
{
    if (!chooseAdvancedMode(on))
        return false;
    confirmOptions();
    return true;
}

bool ProgramSession::chooseAdvancedMode(bool on)
{
    const std::size_t failuresBefore = m_failures.size();
    m_program->guard([this] { window().mnuOptions_Click(); });
    if (m_failures.size() != failuresBefore || !m_program->isLoaded<FrmOptions>())
        return false;
    FrmOptions &dialog = m_program->window<FrmOptions>();
    auto *choice = dialog.findChild<QRadioButton *>(on ? QStringLiteral("Option2") : QStringLiteral("Option1"));
    if (!choice || !choice->isEnabled()) {
        dialog.findChild<QPushButton *>(QStringLiteral("cmdCancel"))->click();
        return false;
    }
    choice->setChecked(true);
    return true;
}

void ProgramSession::confirmOptions()
{
    m_program->window<FrmOptions>().findChild<QPushButton *>(QStringLiteral("cmdOK"))->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QList<int> ProgramSession::failureNumbers() const
{
    QList<int> numbers;
    for (const FileError &failure : m_failures)
        numbers << failure.number();
    return numbers;
}

QAction *toolbarButton(FrmCleaner &window, const QString &key)
{
    for (QAction *action : window.findChild<QToolBar *>(QStringLiteral("Toolbar1"))->actions()) {
        if (action->data().toString() == key)
            return action;
    }
    return nullptr;
}
