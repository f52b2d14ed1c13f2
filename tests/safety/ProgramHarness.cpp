#include "ProgramHarness.h"

#include "ui/main/FrmCleaner.h"
#include "ui/about/FrmAbout.h"
#include "ui/options/FrmOptions.h"
#include "TestAttributeRoute.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>

ProgramHarness::ProgramHarness(const std::string &driveRoot, SystemCalls *calls)
    : m_hostCalls(calls ? nullptr : std::make_unique<SystemCalls>(attributeRouteUnderTest()))
    , m_files(std::make_unique<FileServices>(driveRoot, calls ? calls : m_hostCalls.get()))
    , m_program(std::make_unique<Program>(*m_files))
{
    m_program->defineMainWindow<FrmCleaner>();
    m_program->define<FrmOptions>();
    m_program->define<FrmAbout>();
    m_program->setFailureReporter([this](const FileError &error) { m_failures.push_back(error); });
    m_program->setMessageReporter([this](const QString &text) { m_messages.push_back(text.toStdString()); });
}

ProgramHarness::~ProgramHarness()
{
    m_program.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool ProgramHarness::start()
{
    return m_program->start();
}

QCheckBox *ProgramHarness::box(int number)
{
    return m_program->window<FrmCleaner>().findChild<QCheckBox *>(QStringLiteral("Check%1").arg(number));
}

QPushButton *ProgramHarness::command1()
{
    return m_program->window<FrmCleaner>().findChild<QPushButton *>(QStringLiteral("Command1"));
}

QGroupBox *ProgramHarness::frame2()
{
    return m_program->window<FrmCleaner>().findChild<QGroupBox *>(QStringLiteral("Frame2"));
}

int ProgramHarness::tickedCount()
{
    int ticked = 0;
    for (int number = 1; number <= 6; ++number)
        ticked += FrmCleaner::checkValue(*box(number)) == 1 ? 1 : 0;
    return ticked;
}

void ProgramHarness::tickAll()
{
    for (int number = 1; number <= 6; ++number)
        box(number)->setChecked(true);
}

void ProgramHarness::clickClean()
{
    command1()->click();
}

bool ProgramHarness::switchAdvancedMode(bool on)
{
    if (!chooseAdvancedMode(on))
        return false;
    confirmOptions();
    return true;
}

bool ProgramHarness::chooseAdvancedMode(bool on)
{
    const std::size_t failuresBefore = m_failures.size();
    m_program->guard([this] { m_program->window<FrmCleaner>().mnuOptions_Click(); });
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

void ProgramHarness::confirmOptions()
{
    m_program->window<FrmOptions>().findChild<QPushButton *>(QStringLiteral("cmdOK"))->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
