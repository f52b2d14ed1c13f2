// brightsweep [--drive-c DIR] [--help] [--version]

#include "FileError.h"
#include "FileServices.h"
#include "ImageList.h"
#include "Program.h"

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

struct Options
{
    QCommandLineOption help;
    QCommandLineOption version;
    QCommandLineOption driveC;
};

Options describeCommandLine(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Empties the junk folders of a Windows 95/98 drive C:."));
    Options options{parser.addHelpOption(), parser.addVersionOption(),
                    QCommandLineOption(QStringLiteral("drive-c"),
                                       QStringLiteral("Use host folder <DIR> as drive C: (default: ~/.wine/drive_c)."),
                                       QStringLiteral("DIR"))};
    parser.addOption(options.driveC);
    return options;
}

void setIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("brightsweep"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRIGHTSWEEP_VERSION));
}

// --help and --version must answer where no display can be opened (a
// terminal, a package check), so they are served before the GUI exists.
// Qt's own GUI options are unknown to this early parser; they are judged
// later by QApplication, so its errors are ignored here.
void answerHelpOrVersion(int argc, char *argv[])
{
    bool asked = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "--help-all"
            || arg == "-v" || arg == "--version")
            asked = true;
    }
    if (!asked)
        return;
    QCoreApplication core(argc, argv);
    setIdentity();
    QCommandLineParser parser;
    const Options options = describeCommandLine(parser);
    parser.parse(QCoreApplication::arguments());
    if (parser.isSet(options.help))
        parser.showHelp(0);
    if (parser.isSet(options.version))
        parser.showVersion();
}

void showMessage(const QString &text)
{
    QTextStream(stderr) << "brightsweep: " << text << '\n';
    QMessageBox::critical(nullptr, Program::title(), text);
}

} // namespace

int main(int argc, char *argv[])
{
    answerHelpOrVersion(argc, argv);

    QApplication app(argc, argv);
    setIdentity();
    QApplication::setDesktopFileName(QStringLiteral("org.brightsweep.Brightsweep"));
    QApplication::setWindowIcon(ImageList::applicationIcon());
    // The program ends when its last window is unloaded, not when the last
    // visible one closes: the start-up window stays loaded while hidden.
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    const Options options = describeCommandLine(parser);
    const QCommandLineOption &helpOption = options.help;
    const QCommandLineOption &versionOption = options.version;
    const QCommandLineOption &driveOption = options.driveC;

    // Qt's own options were taken out by QApplication already.
    if (!parser.parse(QApplication::arguments()) || !parser.positionalArguments().isEmpty()) {
        const QString problem = parser.errorText().isEmpty()
            ? QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst())
            : parser.errorText();
        QTextStream(stderr) << "brightsweep: " << problem << "\n\n" << parser.helpText();
        return usageError;
    }
    if (parser.isSet(helpOption))
        parser.showHelp(0);
    if (parser.isSet(versionOption))
        parser.showVersion();

    QString driveC;
    if (parser.isSet(driveOption)) {
        driveC = parser.value(driveOption);
    } else if (const std::optional<QString> home = defaultDriveC()) {
        driveC = *home;
    } else {
        showMessage(QStringLiteral("Cannot find your home folder. Start brightsweep with --drive-c DIR."));
        return 1;
    }

    std::optional<FileServices> files;
    try {
        files.emplace(driveC.toStdString());
    } catch (const FileError &) {
        showMessage(Program::missingDriveMessage(driveC));
        return 1;
    }

    Program program(*files);
    program.setMessageReporter(showMessage);
    QObject::connect(&program, &Program::ended, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    if (!program.start())
        return 1;
    return QApplication::exec();
}
