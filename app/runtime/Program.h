#pragma once

#include "runtime/CleanProgress.h"
#include "runtime/LauncherEntry.h"

#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <memory>

class FileError;
class FileServices;
class QWidget;

// The program object: it owns the one instance of each window and is the
// only way windows reach each other, by the window's type. The windows are
// made known to it by define() from above; it names none of them but the
// start-up window. A window is loaded while its widget exists; unloading
// destroys the widget and the slot stays, so the next use loads a fresh one
// and runs its Form_Load again. The program has ended once no window is
// loaded.
class Program : public QObject
{
    Q_OBJECT

public:
    // Shows one file failure to the user. The default is a message box;
    // tests put a recorder in its place.
    using FailureReporter = std::function<void(const FileError &)>;
    // Shows any other message (start-up that cannot find its drive).
    using MessageReporter = std::function<void(const QString &text)>;
    // Shows how far a clean run has come. The default tells the program's
    // task bar entry; tests put a recorder in its place.
    using ProgressReporter = std::function<void(double progress, bool visible)>;

    explicit Program(FileServices &files, QObject *parent = nullptr);
    ~Program() override;

    // The file services serve one thread at a time. While runFileWork() has
    // handed them to its own thread, nothing else may have them: asking is a
    // fault in the program and ends it.
    FileServices &files() const;

    // Runs work with the file services on a thread of its own and returns
    // once it has ended; a failure it throws is thrown on here, on the
    // window's thread, for the guard. Meanwhile this thread waits in an event
    // loop that handles everything but user input: windows repaint, timers
    // run and the window manager's ping is answered, while clicks, keys and
    // close requests from the window system stay queued and are delivered,
    // in order, once the handler that called this has ended. So the handler
    // still runs to its end before the next user input, and no other handler
    // can reach the file services while the work has them. For a handler
    // only, and not from inside work.
    void runFileWork(const std::function<void(FileServices &)> &work);

    // The clean run of boxes as file work (runFileWork), showing meanwhile
    // how far it has come through the progress reporter: from 0 to 1,
    // never back, paced by ProgressPace, from the run's own count of the
    // entries it has met, and hidden again when it ends, also on a failure.
    void runCleanRun(const std::array<int, 6> &boxes);

    // Makes the window Form known: built as Form(Program &), loaded by its
    // Form_Load(). The main window is the one the start-up sequence shows.
    template <typename Form>
    void define();
    template <typename Form>
    void defineMainWindow();

    // Touching a window loads it when it is not loaded, without showing it.
    template <typename Form>
    Form &window()
    {
        load<Form>();
        return *static_cast<Form *>(widget(key<Form>()));
    }

    // load creates the widget and runs its Form_Load to the end; show loads
    // first, then makes the window visible, raises and activates it, also
    // when its Form_Load failed (the failure is thrown on after); hide
    // keeps it loaded; unload hides it at once, forgets it and destroys the
    // widget once control is back in the event loop (a handler may unload its
    // own window and go on). These name the window by its type alone, so a
    // window may show another whose header it does not include.
    template <typename Form>
    bool isLoaded() const { return isLoaded(key<Form>()); }
    template <typename Form>
    void load() { load(key<Form>()); }
    template <typename Form>
    void show() { show(key<Form>()); }
    template <typename Form>
    void hide() { hide(key<Form>()); }
    template <typename Form>
    void unload() { unload(key<Form>()); }

    void showMainWindow();
    bool anyLoaded() const;

    // Loads the start-up window, whose Form_Load is the start-up sequence.
    // Returns false, after saying so through the message reporter, when drive
    // C: has no "c:\windows" to enter; the caller then exits with status 1.
    bool start();

    // Every user event enters here. A FileError thrown by the handler stops
    // it, is shown through the failure reporter, and the program goes on.
    void guard(const std::function<void()> &handler);

    // Connects signal to a handler of form, run through guard(). The handler
    // takes the signal's arguments, or none.
    template <typename Sender, typename Signal, typename Form, typename... Arguments>
    void connectHandler(Sender *sender, Signal signal, Form *form, void (Form::*handler)(Arguments...))
    {
        connect(sender, signal, form, [this, form, handler](Arguments... arguments) {
            guard([&] { (form->*handler)(arguments...); });
        });
    }

    // What chose drive C: ("given with --drive-c", ...), for the message a
    // drive without WINDOWS gets.
    void setDriveOrigin(const QString &origin);
    void setFailureReporter(FailureReporter reporter);
    void setMessageReporter(MessageReporter reporter);
    void setProgressReporter(ProgressReporter reporter);

    // The text the message box shows for one failure.
    static QString describe(const FileError &error);

    // The main window's caption, also the title of every message box.
    static QString title();

    // What start() says when drive C: (the host folder hostRoot) has no
    // "c:\windows", or has one that cannot be entered.
    static QString missingDriveMessage(const QString &hostRoot, const QString &origin = {});
    static QString unusableDriveMessage(const QString &hostRoot, const FileError &error);
    // What main says of a disk image that holds no drive C: it can use.
    static QString unusableImageMessage(const QString &image, const QString &why);

signals:
    // The last loaded window was unloaded.
    void ended();

private:
    // One tag per window type; its address is the key. Works for a type that
    // is only declared.
    using Key = const void *;
    template <typename Form>
    static Key key()
    {
        static const char tag = 0;
        return &tag;
    }

    struct Windows;
    void define(Key key, std::function<QWidget *(Program &)> make, std::function<void(QWidget &)> formLoad);
    QWidget *widget(Key key) const;
    bool isLoaded(Key key) const;
    void load(Key key);
    void show(Key key);
    void hide(Key key);
    void unload(Key key);
    void reveal(Key key);
    void watch(QWidget *widget);

    FileServices &m_files;
    std::unique_ptr<Windows> m_windows;
    Key m_mainWindow = nullptr;
    FailureReporter m_failureReporter;
    MessageReporter m_messageReporter;
    LauncherEntry m_launcherEntry;
    ProgressReporter m_progressReporter;
    // Kept from run to run: two runs in a row are paced as one.
    ProgressPace m_progressPace;
    QString m_driveOrigin;
    int m_guardDepth = 0;
    bool m_filesAway = false;
};

template <typename Form>
void Program::define()
{
    define(
        key<Form>(), [](Program &program) -> QWidget * { return new Form(program); },
        [](QWidget &form) { static_cast<Form &>(form).Form_Load(); });
}

template <typename Form>
void Program::defineMainWindow()
{
    define<Form>();
    m_mainWindow = key<Form>();
}
