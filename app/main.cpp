// brightsweep [--drive-c DIR|IMAGE] [--classic] [--preview [TARGET...] | --clean TARGET...] [DIR|IMAGE]

#include "app/CommandLine.h"
#include "app/ConsoleModes.h"
#include "files/FileServices.h"
#include "files/ImageDrive.h"
#include "runtime/ClassicLook.h"
#include "runtime/Program.h"
#include "ui/about/FrmAbout.h"
#include "ui/main/FrmCleaner.h"
#include "ui/main/ImageList.h"
#include "ui/options/FrmOptions.h"

#include <QApplication>
#include <QMessageBox>
#include <QTextStream>

#include <cstdio>
#include <future>
#include <variant>

namespace {

constexpr const char *noHome = "Cannot find your home folder. Start brightsweep with --drive-c DIR.";

void setIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("brightsweep"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRIGHTSWEEP_VERSION));
}

void showMessage(const QString &text)
{
    QTextStream(stderr) << "brightsweep: " << text << '\n';
    QMessageBox::critical(nullptr, Program::title(), text);
}

int runWithoutWindow(const CommandLine &line)
{
    if (!line.driveC) {
        std::fprintf(stderr, "brightsweep: %s\n", noHome);
        return 1;
    }
    const ConsoleDrive drive{line.driveC->toStdString(), line.driveOrigin.toStdString()};
    return line.mode == CommandLine::Mode::Preview ? runPreview(drive, line.targets, stdout, stderr)
                                                   : runClean(drive, line.targets, stdout, stderr);
}

} // namespace

int main(int argc, char *argv[])
{
    CommandLine line;
    {
        // Everything that can be done without a display is done before Qt's
        // window system is touched: it aborts the process when it finds none.
        QCoreApplication core(argc, argv);
        setIdentity();
        std::variant<CommandLine, int> parsed = CommandLine::parse(QCoreApplication::arguments());
        if (const int *status = std::get_if<int>(&parsed))
            return *status;
        line = std::get<CommandLine>(std::move(parsed));
        if (line.mode != CommandLine::Mode::Window)
            return runWithoutWindow(line);
        if (!line.graphical) {
            QTextStream(stderr) << "brightsweep: the window needs a graphical session, and neither DISPLAY nor "
                                   "WAYLAND_DISPLAY is set (--preview and --clean work without one)\n";
            return 1;
        }
    }

    // An image's drive is looked at (for a qcow2 image, a server started)
    // while Qt connects to the display and loads its fonts, not after.
    std::future<Result<std::unique_ptr<Drive>>> opening;
    if (line.driveC)
        opening = std::async(std::launch::async, [path = line.driveC->toStdString()] { return openDrive(path); });

    QApplication app(argc, argv);
    setIdentity();
    QApplication::setDesktopFileName(QStringLiteral("org.brightsweep.Brightsweep"));
    QApplication::setWindowIcon(ImageList::applicationIcon());
    // The program ends when its last window is unloaded, not when the last
    // visible one closes: the start-up window stays loaded while hidden.
    QApplication::setQuitOnLastWindowClosed(false);
    // Before the first window, so that every one is laid out in it; a
    // message box of the start-up is drawn so too.
    if (line.classic && !applyClassicLook())
        QTextStream(stderr) << "brightsweep: this Qt has no Windows style; --classic draws nothing differently\n";

    if (!line.driveC) {
        showMessage(QString::fromLatin1(noHome));
        return 1;
    }

    Result<std::unique_ptr<Drive>> drive = opening.get();
    if (!drive) {
        showMessage(Program::unusableImageMessage(*line.driveC, QString::fromStdString(wordsOf(drive.failure()))));
        return 1;
    }
    FileServices files(drive.take());
    Program program(files);
    // The windows, made known to the runtime, which names none of them.
    program.defineMainWindow<FrmCleaner>();
    program.define<FrmOptions>();
    program.define<FrmAbout>();
    program.setMessageReporter(showMessage);
    program.setDriveOrigin(line.driveOrigin);
    QObject::connect(&program, &Program::ended, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    if (!program.start())
        return 1;
    return QApplication::exec();
}
