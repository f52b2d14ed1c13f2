#include "runtime/Program.h"

#include "engine/AdvancedMode.h"
#include "engine/CleanRun.h"
#include "files/FileError.h"
#include "files/FileServices.h"
#include "runtime/FrmClean.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QGuiApplication>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

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

// Milliseconds on a clock that never goes back.
std::int64_t steadyNow()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// How often the count is looked at while a clean runs; the pace decides what
// goes out.
constexpr std::chrono::milliseconds progressInterval{125};

} // namespace

struct Program::Windows
{
    struct Slot
    {
        Key key;
        std::function<QWidget *(Program &)> make;
        std::function<void(QWidget &)> formLoad;
        QPointer<QWidget> widget;
    };
    // In the order they were made known; the program destroys them the other
    // way round.
    std::vector<Slot> forms;
    // Windows that were unloaded but not yet destroyed; the program deletes
    // them itself if it goes away before the event loop does. Each removes
    // itself when it is destroyed.
    QList<QWidget *> unloaded;
    // Windows shown since their load; the first show centres them.
    QList<QPointer<QWidget>> placed;

    Slot &slot(Key key)
    {
        for (Slot &slot : forms) {
            if (slot.key == key)
                return slot;
        }
        throw std::logic_error("a window was used that was never made known to the program");
    }

    const Slot *find(Key key) const
    {
        for (const Slot &slot : forms) {
            if (slot.key == key)
                return &slot;
        }
        return nullptr;
    }

    void forget(const QWidget *widget)
    {
        for (Slot &slot : forms) {
            if (slot.widget == widget)
                slot.widget = nullptr;
        }
    }
};

Program::Program(FileServices &files, QObject *parent)
    : QObject(parent)
    , m_files(files)
    , m_windows(std::make_unique<Windows>())
    , m_failureReporter([](const FileError &error) { showMessageBox(describe(error)); })
    , m_messageReporter(showMessageBox)
    , m_progressReporter([this](double progress, bool visible) { m_launcherEntry.update(progress, visible); })
{
    define<FrmClean>();
}

Program::~Program()
{
    // Windows hold a reference to the program, so none may outlive it.
    QList<QWidget *> windows = m_windows->unloaded;
    for (auto slot = m_windows->forms.rbegin(); slot != m_windows->forms.rend(); ++slot) {
        if (slot->widget)
            windows.append(slot->widget);
    }
    for (QWidget *widget : std::as_const(windows)) {
        widget->disconnect(this);
        delete widget;
    }
}

FileServices &Program::files() const
{
    if (m_filesAway)
        qFatal("The file services were asked for while a file work running on its own thread had them");
    return m_files;
}

void Program::runFileWork(const std::function<void(FileServices &)> &work)
{
    if (m_filesAway)
        qFatal("A file work was started while another one was running");
    // Whatever the work throws is carried back whole: a FileError reaches
    // the guard as if the work had run here, anything else goes on as it
    // would have.
    std::exception_ptr failure;
    QEventLoop loop;
    QThread *const thread = QThread::create([this, &work, &failure] {
        try {
            work(m_files);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    thread->setObjectName(QStringLiteral("file work"));
    // Queued to this thread: finished comes from the work's own thread, and
    // a quit posted before the loop runs still ends it.
    connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    m_filesAway = true;
    thread->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    // The loop also ends when the application is told to quit; the work
    // still has the file services then, so wait for it.
    thread->wait();
    delete thread;
    m_filesAway = false;
    // The platform may hold back the input that came meanwhile until it
    // hears from the window system again, which could be never: have the
    // event loop look at it once the handler has ended.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        dispatcher->wakeUp();
    if (failure)
        std::rethrow_exception(failure);
}

void Program::runCleanRun(const std::array<int, 6> &boxes)
{
    CleanProgress progress;
    auto tell = [this](const ProgressPace::Update &update) { m_progressReporter(update.progress, update.visible); };
    auto look = [&] {
        if (const std::optional<ProgressPace::Update> update = m_progressPace.reading(progress.fraction(), steadyNow()))
            tell(*update);
    };
    m_progressPace.begin();
    look();
    // Runs in runFileWork's event loop, on this thread.
    QTimer timer;
    timer.setInterval(progressInterval);
    connect(&timer, &QTimer::timeout, this, look);
    timer.start();
    auto finish = [&](bool succeeded) {
        timer.stop();
        for (const ProgressPace::Update &update : m_progressPace.end(succeeded, steadyNow()))
            tell(update);
    };
    try {
        runFileWork([&boxes, &progress](FileServices &files) {
            // Each folder listed first, so that the share done means the
            // same from the first target to the last; the deletes start
            // from those listings rather than reading the folders again.
            CleanPlan plan = planCleanRun(files, boxes);
            progress.plan(plan.work());
            cleanRun(files, boxes, &progress, &plan);
        });
    } catch (...) {
        finish(false);
        throw;
    }
    finish(true);
}

void Program::define(Key key, std::function<QWidget *(Program &)> make, std::function<void(QWidget &)> formLoad)
{
    m_windows->forms.push_back({key, std::move(make), std::move(formLoad), nullptr});
}

QWidget *Program::widget(Key key) const
{
    const Windows::Slot *slot = m_windows->find(key);
    return slot ? slot->widget.data() : nullptr;
}

bool Program::isLoaded(Key key) const
{
    return widget(key) != nullptr;
}

bool Program::anyLoaded() const
{
    for (const Windows::Slot &slot : m_windows->forms) {
        if (slot.widget)
            return true;
    }
    return false;
}

void Program::load(Key key)
{
    Windows::Slot &slot = m_windows->slot(key);
    if (slot.widget)
        return;
    // The slot is filled before Form_Load runs: a load handler that reaches
    // back to its own window (the start-up sequence showing the main window,
    // whose load hides the start-up window) must find it loaded, not load a
    // second one.
    QWidget *form = slot.make(*this);
    slot.widget = form;
    watch(form);
    slot.formLoad(*form);
}

void Program::watch(QWidget *widget)
{
    // A window destroyed behind the program's back (deleted on close, say)
    // counts as unloaded, so the program still ends when it was the last.
    // destroyed() comes before Qt clears the slot's pointer, so the slot is
    // emptied here, or the dying window would still count as loaded.
    connect(widget, &QObject::destroyed, this, [this, widget] {
        if (m_windows->unloaded.removeOne(widget))
            return;
        m_windows->forget(widget);
        if (!anyLoaded())
            emit ended();
    });
}

void Program::showMainWindow()
{
    show(m_mainWindow);
}

void Program::show(Key key)
{
    // A load that fails part-way still leaves a loaded window, which is
    // shown as the stopped load left it: a window nobody can see could
    // never be closed, and the program would never end.
    try {
        load(key);
    } catch (const FileError &) {
        reveal(key);
        throw;
    }
    reveal(key);
}

void Program::reveal(Key key)
{
    QWidget *widget = this->widget(key);
    // The load handler may have unloaded its own window.
    if (!widget)
        return;
    m_windows->placed.removeAll(nullptr);
    if (!m_windows->placed.contains(widget)) {
        m_windows->placed.append(widget);
        // Sized the way show() would size it, so the centring is right.
        if (!widget->testAttribute(Qt::WA_Resized))
            widget->adjustSize();
        centreOnScreen(*widget);
    }
    widget->show();
    widget->raise();
    widget->activateWindow();
}

void Program::hide(Key key)
{
    load(key);
    if (QWidget *widget = this->widget(key))
        widget->hide();
}

void Program::unload(Key key)
{
    QWidget *widget = this->widget(key);
    if (!widget)
        return;
    widget->hide();
    m_windows->forget(widget);
    m_windows->unloaded.append(widget);
    widget->deleteLater();
    if (!anyLoaded())
        emit ended();
}

bool Program::start()
{
    // The start-up's calls hold drive C: as one handler's do.
    const FileServices::Hold hold(m_files);
    // Entering "c:\windows" is the first thing the start-up sequence does.
    // Trying it before any window exists lets a missing drive be explained
    // instead of reported as a bare "Path not found" with nothing on screen.
    try {
        m_files.changeDirectory(windowsFolder);
    } catch (const FileError &error) {
        const QString hostRoot = QString::fromStdString(FileError::printable(m_files.hostRoot()));
        // Only a folder that is not there is "no WINDOWS folder"; one that is
        // there but cannot be entered is reported for what went wrong.
        m_messageReporter(error.number() == FileError::PathNotFound ? missingDriveMessage(hostRoot, m_driveOrigin)
                                                                    : unusableDriveMessage(hostRoot, error));
        return false;
    }
    guard([this] { load<FrmClean>(); });
    if (isLoaded(m_mainWindow))
        return true;
    // The start-up sequence failed before the main window came up: nothing
    // the user could close would be left on screen, so give up.
    unload<FrmClean>();
    return false;
}

QString Program::missingDriveMessage(const QString &hostRoot, const QString &origin)
{
    const QString folder = origin.isEmpty() ? QStringLiteral("\"%1\"").arg(hostRoot)
                                            : QStringLiteral("\"%1\" (%2)").arg(hostRoot, origin);
    return tr("Drive C: has no WINDOWS folder.\n\n"
              "Brightsweep expected drive C: in the folder %1 with a folder WINDOWS inside it.\n\n"
              "To use another folder as drive C:, start it as:\n"
              "brightsweep --drive-c FOLDER\n"
              "or set WINEPREFIX to the Wine prefix that holds it.")
        .arg(folder);
}

void Program::setDriveOrigin(const QString &origin)
{
    m_driveOrigin = origin;
}

QString Program::unusableDriveMessage(const QString &hostRoot, const FileError &error)
{
    return tr("Brightsweep cannot enter C:\\WINDOWS of drive C: in the folder \"%1\".\n\n%2")
        .arg(hostRoot, describe(error));
}

QString Program::unusableImageMessage(const QString &image, const QString &why)
{
    return tr("Brightsweep cannot use \"%1\" as drive C:.\n\n%2.").arg(image, why);
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
        // The files a handler touches are held for it as a whole: a disk
        // image is opened and checked once for all its calls.
        const FileServices::Hold hold(m_files);
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

void Program::setProgressReporter(ProgressReporter reporter)
{
    m_progressReporter = std::move(reporter);
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
