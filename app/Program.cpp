#include "Program.h"

#include "FileError.h"
#include "FileServices.h"
#include "FrmAbout.h"
#include "FrmClean.h"
#include "FrmCleaner.h"
#include "FrmOptions.h"

#include <QGuiApplication>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QWidget>

namespace {

void showMessageBox(const QString &text)
{
    QMessageBox::critical(nullptr, Program::title(), text);
}

// Windows open centred on the screen they appear on.
void centreOnScreen(QWidget &window)
{
    QScreen *screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize size = window.frameGeometry().size();
    window.move(area.x() + (area.width() - size.width()) / 2,
                area.y() + (area.height() - size.height()) / 2);
}

} // namespace

struct Program::Slots
{
    QPointer<FrmClean> clean;
    QPointer<FrmCleaner> cleaner;
    QPointer<FrmOptions> options;
    QPointer<FrmAbout> about;
    // Windows that were unloaded but not yet destroyed; the program deletes
    // them itself if it goes away before the event loop does. Each removes
    // itself when it is destroyed.
    QList<QWidget *> unloaded;
    // Windows shown since their load; the first show centres them.
    QList<QPointer<QWidget>> placed;

    QWidget *widget(Window window) const
    {
        switch (window) {
        case Window::Clean:
            return clean;
        case Window::Cleaner:
            return cleaner;
        case Window::Options:
            return options;
        case Window::About:
            return about;
        }
        return nullptr;
    }

    void forget(const QWidget *widget)
    {
        for (Window window : {Window::Clean, Window::Cleaner, Window::Options, Window::About}) {
            if (this->widget(window) == widget)
                forget(window);
        }
    }

    void forget(Window window)
    {
        switch (window) {
        case Window::Clean:
            clean = nullptr;
            break;
        case Window::Cleaner:
            cleaner = nullptr;
            break;
        case Window::Options:
            options = nullptr;
            break;
        case Window::About:
            about = nullptr;
            break;
        }
    }
};

Program::Program(FileServices &files, QObject *parent)
    : QObject(parent)
    , m_files(files)
    , m_slots(std::make_unique<Slots>())
    , m_failureReporter([](const FileError &error) { showMessageBox(describe(error)); })
    , m_messageReporter(showMessageBox)
{
}

Program::~Program()
{
    // Windows hold a reference to the program, so none may outlive it.
    QList<QWidget *> windows = m_slots->unloaded;
    for (Window window : {Window::About, Window::Options, Window::Cleaner, Window::Clean}) {
        if (QWidget *widget = m_slots->widget(window))
            windows.append(widget);
    }
    for (QWidget *widget : std::as_const(windows)) {
        widget->disconnect(this);
        delete widget;
    }
}

FrmClean &Program::frmClean()
{
    if (!isLoaded(Window::Clean))
        load(Window::Clean);
    return *m_slots->clean;
}

FrmCleaner &Program::frmCleaner()
{
    if (!isLoaded(Window::Cleaner))
        load(Window::Cleaner);
    return *m_slots->cleaner;
}

FrmOptions &Program::frmOptions()
{
    if (!isLoaded(Window::Options))
        load(Window::Options);
    return *m_slots->options;
}

FrmAbout &Program::frmAbout()
{
    if (!isLoaded(Window::About))
        load(Window::About);
    return *m_slots->about;
}

bool Program::isLoaded(Window window) const
{
    return m_slots->widget(window) != nullptr;
}

bool Program::anyLoaded() const
{
    for (Window window : {Window::Clean, Window::Cleaner, Window::Options, Window::About}) {
        if (isLoaded(window))
            return true;
    }
    return false;
}

void Program::load(Window window)
{
    if (isLoaded(window))
        return;
    // The slot is filled before Form_Load runs: a load handler that reaches
    // back to its own window (the start-up sequence showing the main window,
    // whose load hides the start-up window) must find it loaded, not load a
    // second one.
    switch (window) {
    case Window::Clean:
        loadInto(m_slots->clean);
        break;
    case Window::Cleaner:
        loadInto(m_slots->cleaner);
        break;
    case Window::Options:
        loadInto(m_slots->options);
        break;
    case Window::About:
        loadInto(m_slots->about);
        break;
    }
}

template <typename Form>
void Program::loadInto(QPointer<Form> &slot)
{
    auto *form = new Form(*this);
    slot = form;
    watch(form);
    form->Form_Load();
}

void Program::watch(QWidget *widget)
{
    // A window destroyed behind the program's back (deleted on close, say)
    // counts as unloaded, so the program still ends when it was the last.
    // destroyed() comes before Qt clears the slot's pointer, so the slot is
    // emptied here, or the dying window would still count as loaded.
    connect(widget, &QObject::destroyed, this, [this, widget] {
        if (m_slots->unloaded.removeOne(widget))
            return;
        m_slots->forget(widget);
        if (!anyLoaded())
            emit ended();
    });
}

void Program::show(Window window)
{
    // A load that fails part-way still leaves a loaded window, which is
    // shown as the stopped load left it: a window nobody can see could
    // never be closed, and the program would never end.
    try {
        load(window);
    } catch (const FileError &) {
        reveal(window);
        throw;
    }
    reveal(window);
}

void Program::reveal(Window window)
{
    QWidget *widget = m_slots->widget(window);
    // The load handler may have unloaded its own window.
    if (!widget)
        return;
    m_slots->placed.removeAll(nullptr);
    if (!m_slots->placed.contains(widget)) {
        m_slots->placed.append(widget);
        // Sized the way show() would size it, so the centring is right.
        if (!widget->testAttribute(Qt::WA_Resized))
            widget->adjustSize();
        centreOnScreen(*widget);
    }
    widget->show();
    widget->raise();
    widget->activateWindow();
}

void Program::hide(Window window)
{
    load(window);
    if (QWidget *widget = m_slots->widget(window))
        widget->hide();
}

void Program::unload(Window window)
{
    QWidget *widget = m_slots->widget(window);
    if (!widget)
        return;
    widget->hide();
    m_slots->forget(window);
    m_slots->unloaded.append(widget);
    widget->deleteLater();
    if (!anyLoaded())
        emit ended();
}

bool Program::start()
{
    // Entering "c:\windows" is the first thing the start-up sequence does.
    // Trying it before any window exists lets a missing drive be explained
    // instead of reported as a bare "Path not found" with nothing on screen.
    try {
        m_files.changeDirectory("c:\\windows");
    } catch (const FileError &error) {
        const QString hostRoot = QString::fromStdString(FileError::printable(m_files.hostRoot()));
        // Only a folder that is not there is "no WINDOWS folder"; one that is
        // there but cannot be entered is reported for what went wrong.
        m_messageReporter(error.number() == FileError::PathNotFound ? missingDriveMessage(hostRoot)
                                                                    : unusableDriveMessage(hostRoot, error));
        return false;
    }
    guard([this] { load(Window::Clean); });
    if (isLoaded(Window::Cleaner))
        return true;
    // The start-up sequence failed before the main window came up: nothing
    // the user could close would be left on screen, so give up.
    unload(Window::Clean);
    return false;
}

QString Program::missingDriveMessage(const QString &hostRoot)
{
    return tr("Drive C: has no WINDOWS folder.\n\n"
              "Brightsweep expected drive C: in the folder \"%1\" with a folder WINDOWS inside it.\n\n"
              "To use another folder as drive C:, start it as:\n"
              "brightsweep --drive-c FOLDER")
        .arg(hostRoot);
}

QString Program::unusableDriveMessage(const QString &hostRoot, const FileError &error)
{
    return tr("Brightsweep cannot enter C:\\WINDOWS of drive C: in the folder \"%1\".\n\n%2")
        .arg(hostRoot, describe(error));
}

void Program::guard(const std::function<void()> &handler)
{
    // Events that a handler raises from code run nested inside it; a failure
    // there stops the outermost handler too, and is reported once.
    if (m_guardDepth > 0) {
        handler();
        return;
    }
    struct Depth
    {
        int &depth;
        explicit Depth(int &value) : depth(value) { ++depth; }
        ~Depth() { --depth; }
        Depth(const Depth &) = delete;
        Depth &operator=(const Depth &) = delete;
    };
    try {
        const Depth depth(m_guardDepth);
        handler();
    } catch (const FileError &error) {
        m_failureReporter(error);
    }
}

void Program::setFailureReporter(FailureReporter reporter)
{
    m_failureReporter = std::move(reporter);
}

void Program::setMessageReporter(MessageReporter reporter)
{
    m_messageReporter = std::move(reporter);
}

QString Program::describe(const FileError &error)
{
    // Names that are not UTF-8 keep their other bytes as \xE9 and the like,
    // so that the file can still be found from the message.
    QString text = tr("Run-time error '%1':\n\n%2")
                       .arg(error.number())
                       .arg(QString::fromStdString(error.words()));
    if (!error.dosPath().empty())
        text += tr("\n\nPath: %1").arg(QString::fromStdString(FileError::printable(error.dosPath())));
    if (!error.hostReason().empty())
        text += tr("\n\nReason: %1").arg(QString::fromStdString(FileError::printable(error.hostReason())));
    return text;
}

QString Program::title()
{
    return QStringLiteral("Win 95/98 Brightsweep");
}
