#include "app/CommandLine.h"

#include "engine/CleaningTargets.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <cerrno>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int usageError = 2;

// The options QGuiApplication and QApplication take for themselves. They are
// accepted here and left to Qt, which reads them when a window is opened.
constexpr const char *qtValueOptions[] = {
    "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "geometry", "qwindowicon",
    "icon", "qwindowtitle", "title", "session", "display", "name", "visual", "style", "stylesheet",
    "qmljsdebugger",
};
constexpr const char *qtFlagOptions[] = {"reverse", "testability", "nograb", "dograb", "sync", "widgetcount"};

QString text(std::string_view view)
{
    return QString::fromUtf8(view.data(), qsizetype(view.size()));
}

QString targetNames()
{
    QStringList names;
    for (const CleaningTarget &target : cleaningTargets())
        names << text(target.name);
    return names.join(QStringLiteral(", ")) + QStringLiteral(", all (or the box numbers 1 to 6)");
}

// The box number a TARGET stands for, 0 for all, or -1.
int targetNumber(const QString &argument)
{
    if (argument == QLatin1String("all"))
        return 0;
    for (const CleaningTarget &target : cleaningTargets()) {
        if (argument == text(target.name) || argument == QString::number(target.number))
            return target.number;
    }
    return -1;
}

// True when both paths lead to the same file, links followed.
bool sameFile(const QString &one, const QString &other)
{
    struct stat first {};
    struct stat second {};
    return ::stat(QFile::encodeName(one).constData(), &first) == 0
        && ::stat(QFile::encodeName(other).constData(), &second) == 0 && first.st_dev == second.st_dev
        && first.st_ino == second.st_ino;
}

// The path a link target stands for, written without "." and "..". A ".."
// after a component that is itself a link climbs out of that link's target,
// not out of its spelling, so the short form is taken only where the kernel
// agrees it is the same folder (or, for a target that does not exist, the
// same parent folder); otherwise the path stays as the link spells it.
QString tidyPath(const QString &path)
{
    const QString tidy = QDir::cleanPath(path);
    if (tidy == path || sameFile(tidy, path))
        return tidy;
    const qsizetype cut = tidy.lastIndexOf(QLatin1Char('/'));
    const qsizetype pathCut = path.lastIndexOf(QLatin1Char('/'));
    if (cut > 0 && pathCut > 0 && tidy.mid(cut) == path.mid(pathCut) && sameFile(tidy.left(cut), path.left(pathCut)))
        return tidy;
    return path;
}

struct PrefixDrive
{
    QString folder;
    bool throughLink = false;
};

// What Wine itself takes for drive C: of a prefix: the entry dosdevices/c:,
// normally the link ../drive_c, which winecfg points anywhere the user moves
// C: to; drive_c only where that entry is missing. A link that leads nowhere
// is still the drive Wine would use, so it is taken and the drive check says
// that it has no WINDOWS folder.
PrefixDrive prefixDrive(const QString &prefix)
{
    const QString devices = prefix + QStringLiteral("/dosdevices");
    const QString entry = devices + QStringLiteral("/c:");
    const QByteArray entryName = QFile::encodeName(entry);
    struct stat status {};
    if (::lstat(entryName.constData(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return {prefix + QStringLiteral("/drive_c"), false};
        // Whether it is there cannot be told; the entry is what Wine would
        // try, and opening it as the drive reports why it cannot be used.
        return {entry, true};
    }
    if (!S_ISLNK(status.st_mode))
        return {entry, true};
    QByteArray target(qsizetype(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
    const ssize_t length = ::readlink(entryName.constData(), target.data(), std::size_t(target.size()));
    // A link replaced or grown between the two calls: let the kernel follow it.
    if (length <= 0 || length >= target.size())
        return {entry, true};
    target.truncate(qsizetype(length));
    const QString path = QFile::decodeName(target);
    return {tidyPath(path.startsWith(QLatin1Char('/')) ? path : devices + QLatin1Char('/') + path), true};
}

// Drive C: of the Wine prefix the user works with: the one WINEPREFIX names,
// the variable every Wine tool honours, else the default one in the home
// folder of the password database.
void chooseDefaultDrive(CommandLine &line)
{
    QString prefix = qEnvironmentVariable("WINEPREFIX");
    const bool named = !prefix.isEmpty();
    if (!named) {
        const passwd *entry = getpwuid(getuid());
        if (!entry || !entry->pw_dir || !*entry->pw_dir)
            return;
        prefix = QFile::decodeName(entry->pw_dir) + QStringLiteral("/.wine");
    }
    const PrefixDrive drive = prefixDrive(prefix);
    line.driveC = drive.folder;
    if (named) {
        line.driveOrigin = drive.throughLink
            ? QStringLiteral("dosdevices/c: of the Wine prefix WINEPREFIX names")
            : QStringLiteral("drive_c of the Wine prefix WINEPREFIX names, as it has no dosdevices/c:");
    } else {
        line.driveOrigin = drive.throughLink
            ? QStringLiteral("dosdevices/c: of the default Wine prefix, as WINEPREFIX is not set")
            : QStringLiteral("drive_c of the default Wine prefix, as WINEPREFIX is not set and it has no "
                             "dosdevices/c:");
    }
}

int usage(const QCommandLineParser &parser, const QString &problem)
{
    QTextStream(stderr) << "brightsweep: " << problem << "\n\n" << parser.helpText();
    return usageError;
}

} // namespace

std::variant<CommandLine, int> CommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Empties the junk folders of a Windows 95/98 drive C:.\n\n"
        "Without --preview or --clean it opens its window. TARGET is one of\n") + targetNames() + QLatin1Char('.'));
    // Qt's own options are written with one dash ("-platform xcb").
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption driveC(QStringLiteral("drive-c"),
                                    QStringLiteral("Use host folder <DIR>, or the FAT drive inside disk image "
                                                   "<IMAGE> (raw, VHD, qcow2, VDI or VMDK), as drive C: (default: "
                                                   "the drive C: of the Wine prefix $WINEPREFIX, else of ~/.wine: "
                                                   "its dosdevices/c:, else its drive_c)."),
                                    QStringLiteral("DIR|IMAGE"));
    const QCommandLineOption preview(QStringLiteral("preview"),
                                     QStringLiteral("List what a clean of the TARGETs (all when none is named) would "
                                                    "delete and keep, and change nothing."));
    const QCommandLineOption clean(QStringLiteral("clean"),
                                   QStringLiteral("Empty the TARGETs as the Clean button does, without a window."));
    const QCommandLineOption classic(QStringLiteral("classic"),
                                     QStringLiteral("Draw the windows in the classic grey look of Windows 95."));
    QCommandLineOption platform(QStringLiteral("platform"), QString(), QStringLiteral("name"));
    platform.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({driveC, preview, clean, classic, platform});
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
    parser.addPositionalArgument(QStringLiteral("TARGET"), QStringLiteral("A folder to preview or clean."),
                                 QStringLiteral("[TARGET...]"));
    parser.addPositionalArgument(QStringLiteral("DRIVE"),
                                 QStringLiteral("Without --preview or --clean: a folder or disk image to open as "
                                                "drive C:, as with --drive-c (what a file manager's \"Open with\" "
                                                "hands over)."),
                                 QStringLiteral("[DRIVE]"));

    if (!parser.parse(arguments))
        return usage(parser, parser.errorText());
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();

    CommandLine line;
    if (parser.isSet(preview) && parser.isSet(clean))
        return usage(parser, QStringLiteral("--preview and --clean cannot be given together"));
    if (parser.isSet(preview))
        line.mode = Mode::Preview;
    else if (parser.isSet(clean))
        line.mode = Mode::Clean;

    QStringList named = parser.positionalArguments();
    // The one name a window start takes is its drive.
    std::optional<QString> openedDrive;
    if (line.mode == Mode::Window && !named.isEmpty()) {
        if (named.size() > 1 || parser.isSet(driveC))
            return usage(parser, QStringLiteral("unexpected argument '%1'").arg(named.constLast()));
        openedDrive = named.takeFirst();
    }
    if (line.mode == Mode::Clean && named.isEmpty())
        return usage(parser, QStringLiteral("--clean needs at least one TARGET: ") + targetNames());
    for (const QString &argument : named) {
        const int number = targetNumber(argument);
        if (number < 0)
            return usage(parser, QStringLiteral("unknown TARGET '%1'; the targets are %2").arg(argument, targetNames()));
        for (const CleaningTarget &target : cleaningTargets()) {
            if (number == 0 || number == target.number)
                line.targets[std::size_t(target.number - 1)] = 1;
        }
    }
    if (line.mode == Mode::Preview && named.isEmpty())
        line.targets.fill(1);

    line.classic = parser.isSet(classic);
    if (parser.isSet(driveC)) {
        line.driveC = parser.value(driveC);
        line.driveOrigin = QStringLiteral("given with --drive-c");
    } else if (openedDrive) {
        line.driveC = *openedDrive;
        line.driveOrigin = QStringLiteral("named on the command line");
    } else {
        chooseDefaultDrive(line);
    }
    line.graphical = parser.isSet(platform) || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
        || !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    return line;
}
