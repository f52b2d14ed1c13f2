// brightsweep [--drive-c DIR] [--help] [--version]

#include "files/FileServices.h"
#include "runtime/Program.h"
#include "ui/about/FrmAbout.h"
#include "ui/main/FrmCleaner.h"
#include "ui/main/ImageList.h"
#include "ui/options/FrmOptions.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QTextStream>

#include <optional>
#include <pwd.h>
#include <unistd.h>

namespace {

constexpr int usageError = 2;

// Drive C: of the user's default Wine prefix. The home folder comes from the
// password database: the program reads no environment variable.
std::optional<QString> defaultDriveC()
{
    const passwd *entry = getpwuid(getuid());
    if (!entry || !entry->pw_dir || !*entry->pw_dir)
        return std::nullopt;
    return QString::fromLocal8Bit(entry->pw_dir) + QStringLiteral("/.wine/drive_c");
}

// The options QGuiApplication and QApplication take for themselves. The
// command line is judged before any of them runs, so that a usage error needs
// no display; these are accepted then and left to Qt.
constexpr const char *qtValueOptions[] = {
    "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "geometry",
    "qwindowicon", "icon", "qwindowtitle", "title", "session", "display", "name", "visual",
    "style", "stylesheet", "qmljsdebugger",
};
constexpr const char *qtFlagOptions[] = {"reverse", "testability", "nograb", "dograb", "sync", "widgetcount"};

struct CommandLine
{
    QCommandLineOption help;
    QCommandLineOption version;
    QCommandLineOption driveC;
    QCommandLineOption platform;
};

CommandLine describeCommandLine(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Empties the junk folders of a Windows 95/98 drive C:."));
    // Qt's own options are written with one dash ("-platform xcb").
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    CommandLine options{parser.addHelpOption(), parser.addVersionOption(),
                        QCommandLineOption(QStringLiteral("drive-c"),
                                           QStringLiteral("Use host folder <DIR> as drive C: (default: ~/.wine/drive_c)."),
                                           QStringLiteral("DIR")),
                        QCommandLineOption(QStringLiteral("platform"), QString(), QStringLiteral("name"))};
    parser.addOption(options.driveC);
    options.platform.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(options.platform);
    for (const char *name : qtValueOptions) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char *name : qtFlagOptions) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    return options;
}

void setIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("brightsweep"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRIGHTSWEEP_VERSION));
}

bool set(const char *variable)
{
    return !qEnvironmentVariableIsEmpty(variable);
}

void showMessage(const QString &text)
{
    QTextStream(stderr) << "brightsweep: " << text << '\n';
    QMessageBox::critical(nullptr, Program::title(), text);
}

} // namespace

int main(int argc, char *argv[])
{
    std::optional<QString> driveC;
    {
        // Everything that can be said without a display is said before Qt's
        // window system is touched: it aborts the process when it finds none.
        QCoreApplication core(argc, argv);
        setIdentity();
        QCommandLineParser parser;
        const CommandLine options = describeCommandLine(parser);
        if (!parser.parse(QCoreApplication::arguments()) || !parser.positionalArguments().isEmpty()) {
            const QString problem = parser.errorText().isEmpty()
                ? QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst())
                : parser.errorText();
            QTextStream(stderr) << "brightsweep: " << problem << "\n\n" << parser.helpText();
            return usageError;
        }
        if (parser.isSet(options.help))
            parser.showHelp(0);
        if (parser.isSet(options.version))
            parser.showVersion();
        if (!parser.isSet(options.platform) && !set("QT_QPA_PLATFORM") && !set("DISPLAY") && !set("WAYLAND_DISPLAY")) {
            QTextStream(stderr) << "brightsweep: needs a graphical session, and neither DISPLAY nor "
                                   "WAYLAND_DISPLAY is set\n";
            return 1;
        }
        if (parser.isSet(options.driveC)) {
            driveC = parser.value(options.driveC);
        } else {
            driveC = defaultDriveC();
        }
    }

    QApplication app(argc, argv);
    setIdentity();
    QApplication::setDesktopFileName(QStringLiteral("org.brightsweep.Brightsweep"));
    QApplication::setWindowIcon(ImageList::applicationIcon());
    // The program ends when its last window is unloaded, not when the last
    // visible one closes: the start-up window stays loaded while hidden.
    QApplication::setQuitOnLastWindowClosed(false);

    if (!driveC) {
        showMessage(QStringLiteral("Cannot find your home folder. Start brightsweep with --drive-c DIR."));
        return 1;
    }

    FileServices files(driveC->toStdString());
    Program program(files);
    // The windows, made known to the runtime, which names none of them.
    program.defineMainWindow<FrmCleaner>();
    program.define<FrmOptions>();
    program.define<FrmAbout>();
    program.setMessageReporter(showMessage);
    QObject::connect(&program, &Program::ended, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    if (!program.start())
        return 1;
    return QApplication::exec();
}
