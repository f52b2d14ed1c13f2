#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class FileError;
class FileServices;
class FrmAbout;
class FrmClean;
class FrmCleaner;
class FrmOptions;
class QWidget;

// The program object: it owns the one instance of each window and is the
// only way windows reach each other. A window is loaded while its widget
// exists; unloading destroys the widget and the slot stays, so the next use
// loads a fresh one and runs its Form_Load again. The program has ended once
// no window is loaded.
class Program : public QObject
{
    Q_OBJECT

public:
    enum class Window { Clean, Cleaner, Options, About };

    // Shows one file failure to the user. The default is a message box;
    // tests put a recorder in its place.
    using FailureReporter = std::function<void(const FileError &)>;
    // Shows any other message (start-up that cannot find its drive).
    using MessageReporter = std::function<void(const QString &text)>;

    explicit Program(FileServices &files, QObject *parent = nullptr);
    ~Program() override;

    FileServices &files() const { return m_files; }

    // Touching a window loads it when it is not loaded, without showing it.
    FrmClean &frmClean();
    FrmCleaner &frmCleaner();
    FrmOptions &frmOptions();
    FrmAbout &frmAbout();

    bool isLoaded(Window window) const;
    bool anyLoaded() const;

    // load creates the widget and runs its Form_Load to the end; show loads
    // first, then makes the window visible, raises and activates it, also
    // when its Form_Load failed (the failure is thrown on after); hide
    // keeps it loaded; unload hides it at once, forgets it and destroys the
    // widget once control is back in the event loop (a handler may unload its
    // own window and go on).
    void load(Window window);
    void show(Window window);
    void hide(Window window);
    void unload(Window window);

    // Loads the start-up window, whose Form_Load is the start-up sequence.
    // Returns false, after saying so through the message reporter, when drive
    // C: has no "c:\windows" to enter; the caller then exits with status 1.
    bool start();

    // Every user event enters here. A FileError thrown by the handler stops
    // it, is shown through the failure reporter, and the program goes on.
    void guard(const std::function<void()> &handler);

    void setFailureReporter(FailureReporter reporter);
    void setMessageReporter(MessageReporter reporter);

    // The text the message box shows for one failure.
    static QString describe(const FileError &error);

    // The main window's caption, also the title of every message box.
    static QString title();

    // What start() says when drive C: (the host folder hostRoot) has no
    // "c:\windows".
    static QString missingDriveMessage(const QString &hostRoot);
    // What start() says when "c:\windows" is there but cannot be entered.
    static QString unusableDriveMessage(const QString &hostRoot, const FileError &error);

signals:
    // The last loaded window was unloaded.
    void ended();

private:
    struct Slots;
    template <typename Form>
    void loadInto(QPointer<Form> &slot);
    void watch(QWidget *widget);
    void reveal(Window window);


    FileServices &m_files;
    std::unique_ptr<Slots> m_slots;
    FailureReporter m_failureReporter;
    MessageReporter m_messageReporter;
    int m_guardDepth = 0;
};
