#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <optional>
#include <variant>

// brightsweep [--drive-c DIR|IMAGE] [--classic] [--preview [TARGET...] | --clean TARGET...] [DIR|IMAGE]
//
// Judged before anything touches the window system, so that usage errors,
// --help, --version and the two modes without windows need no display.
struct CommandLine
{
    enum class Mode { Window, Preview, Clean };

    Mode mode = Mode::Window;
    // The box values the named targets stand for, in table order: 1 for a
    // named target. All six for a preview that names none.
    std::array<int, 6> targets{};
    // Drive C:, and what chose it; no folder when the password database has
    // no home folder and nothing else chose one.
    std::optional<QString> driveC;
    QString driveOrigin;
    // A Qt platform plug-in was chosen (-platform or QT_QPA_PLATFORM), or
    // there is a display to open a window on.
    bool graphical = false;
    // The windows drawn in the classic style and palette.
    bool classic = false;

    // Parses the arguments. Help and version are answered and usage errors
    // reported here; the exit status is then returned instead.
    static std::variant<CommandLine, int> parse(const QStringList &arguments);
};
