#include "app/ConsoleModes.h"

#include "engine/CleanRun.h"
#include "engine/CleaningTargets.h"
#include "files/FileError.h"
#include "files/FileServices.h"
#include "files/ImageDrive.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;

std::string shown(std::string_view bytes)
{
    return FileError::printable(bytes);
}

// One line about one entry, put together in line and written at once: a
// folder may hold 100,000 files. A name goes as it is when it is plain
// printable ASCII, as nearly every junk file's is, else as shown() makes it.
void putEntryLine(std::string &line, std::string_view label, std::string_view name, std::string_view after,
                  std::FILE *out)
{
    line.assign(label);
    if (std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c < 0x7F; }))
        line.append(name);
    else
        line.append(shown(name));
    line.append(after);
    std::fwrite(line.data(), 1, line.size(), out);
}

// The message box's four parts, on one line.
std::string describe(const FileError &failure)
{
    std::string text = "Run-time error '" + std::to_string(failure.number()) + "': " + failure.words();
    if (!failure.dosPath().empty())
        text += ": " + shown(failure.dosPath());
    if (!failure.hostReason().empty())
        text += " (" + shown(failure.hostReason()) + ")";
    return text;
}

std::string plural(std::uint64_t count, const char *one, const char *many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Prints what the engine tells, target by target, and keeps the totals. A
// target that takes more than half a second shows how far it got on one
// line of err, rewritten at most ten times a second, when err is a terminal.
class Report final : public CleanObserver
{
public:
    Report(FileServices &files, bool cleaning, std::FILE *out, std::FILE *err)
        : m_files(files)
        , m_cleaning(cleaning)
        , m_out(out)
        , m_err(err)
        , m_progress(isatty(fileno(err)) == 1)
    {
    }

    std::uint64_t totalFiles = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t totalKept = 0;
    int failedTargets = 0;

    void targetStarted(const CleaningTarget &target) override
    {
        m_target = &target;
        m_targetFiles = m_targetBytes = m_targetKept = m_targetLeft = 0;
        m_seen = 0;
        m_started = Clock::now();
        m_lastProgress = Clock::time_point();
        std::fprintf(m_out, "\n%.*s\n", int(target.caption.size()), target.caption.data());
    }

    void targetEntered(const CleaningTarget &) override
    {
        const std::string dos = m_files.currentDirectory();
        if (!m_files.drive().description().empty()) {
            std::fprintf(m_out, "  %s in %s\n", shown(dos).c_str(), shown(m_files.hostRoot()).c_str());
            return;
        }
        std::string host = m_files.hostRoot();
        for (std::size_t at = 2; at < dos.size(); ++at)
            host += dos[at] == '\\' ? '/' : dos[at];
        std::fprintf(m_out, "  %s = %s\n", shown(dos).c_str(), shown(host).c_str());
    }

    void entry(const EntryReport &report, bool deleted) override
    {
        ++m_seen;
        if (report.verdict == Verdict::Delete && (deleted || !m_cleaning)) {
            ++m_targetFiles;
            m_targetBytes += report.size;
            char size[40] = " (";
            char *end = std::to_chars(size + 2, size + sizeof size - 8, report.size).ptr;
            end = std::copy_n(" bytes)\n", 8, end);
            putEntryLine(m_line, m_cleaning ? "  deleted  " : "  delete   ", report.name,
                         std::string_view(size, std::size_t(end - size)), m_out);
        } else {
            ++m_targetKept;
            if (isLeftBehind(report.verdict) || report.verdict == Verdict::Delete)
                ++m_targetLeft;
            const std::string_view why = report.verdict == Verdict::Delete ? "could not be deleted"
                                                                            : keptBecause(report.verdict);
            std::string line = std::string(": ").append(why);
            if (!report.holders.empty())
                line.append(" by ").append(report.holders);
            putEntryLine(m_line, m_cleaning ? "  kept     " : "  keep     ", report.name, line.append("\n"), m_out);
        }
        showProgress();
    }

    void marker(const CleaningTarget &target, bool written) override
    {
        const char *how = m_cleaning ? (written ? "written" : "not written: nothing to delete")
                                     : (written ? "would be written" : "would not be written: nothing to delete");
        std::fprintf(m_out, "  marker   %.*s %s\n", int(target.marker.size()), target.marker.data(), how);
    }

    void targetDone(const CleaningTarget &) override
    {
        clearProgress();
        std::fprintf(m_out, "  %s (%llu bytes%s), %s kept\n",
                     plural(m_targetFiles, m_cleaning ? "file deleted" : "file to delete",
                            m_cleaning ? "files deleted" : "files to delete").c_str(),
                     static_cast<unsigned long long>(m_targetBytes), m_cleaning ? " freed" : "",
                     plural(m_targetKept, "entry", "entries").c_str());
        if (!m_cleaning && m_targetLeft > 0)
            std::fprintf(m_out, "  a clean stops here: %s cannot be deleted (Run-time error '75')\n",
                         plural(m_targetLeft, "matching file", "matching files").c_str());
        totalFiles += m_targetFiles;
        totalBytes += m_targetBytes;
        totalKept += m_targetKept;
    }

    void targetFailed(const CleaningTarget &, const FileError &failure) override
    {
        clearProgress();
        if (failure.number() == FileError::PathNotFound) {
            std::fprintf(m_out, "  %s: missing\n", shown(failure.dosPath()).c_str());
            return;
        }
        ++failedTargets;
        std::fprintf(m_out, "  cannot be looked at: %s\n", describe(failure).c_str());
    }

    void failed(const FileError &failure)
    {
        clearProgress();
        std::fflush(m_out);
        std::fprintf(m_err, "brightsweep: %s\n", describe(failure).c_str());
    }

private:
    void showProgress()
    {
        if (!m_progress)
            return;
        const Clock::time_point now = Clock::now();
        if (now - m_started < std::chrono::milliseconds(500) || now - m_lastProgress < std::chrono::milliseconds(100))
            return;
        m_lastProgress = now;
        std::fprintf(m_err, "\r%.*s: %llu files done", int(m_target->caption.size()), m_target->caption.data(),
                     static_cast<unsigned long long>(m_seen));
        std::fflush(m_err);
        m_shown = true;
    }

    void clearProgress()
    {
        if (!m_shown)
            return;
        std::fputs("\r\033[K", m_err);
        std::fflush(m_err);
        m_shown = false;
    }

    FileServices &m_files;
    bool m_cleaning;
    std::FILE *m_out;
    std::FILE *m_err;
    bool m_progress;
    bool m_shown = false;
    std::string m_line;
    const CleaningTarget *m_target = nullptr;
    std::uint64_t m_targetFiles = 0;
    std::uint64_t m_targetBytes = 0;
    std::uint64_t m_targetKept = 0;
    std::uint64_t m_targetLeft = 0;
    std::uint64_t m_seen = 0;
    Clock::time_point m_started;
    Clock::time_point m_lastProgress;
};

void printDrive(const ConsoleDrive &drive, const FileServices &files, std::FILE *out)
{
    const std::string kind = files.drive().description();
    std::fprintf(out, "Drive C: is %s (%s)%s%s.\n", shown(drive.hostRoot).c_str(), drive.origin.c_str(),
                 kind.empty() ? "" : ": ", kind.c_str());
}

// The drive at the path given: a folder, or the FAT drive of a disk image;
// an image without one is said, as a missing drive is, and ends the run.
std::unique_ptr<FileServices> openFiles(const ConsoleDrive &drive, std::FILE *err)
{
    Result<std::unique_ptr<Drive>> opened = openDrive(drive.hostRoot);
    if (!opened) {
        std::fprintf(err, "brightsweep: %s cannot be drive C:: %s\n", shown(drive.hostRoot).c_str(),
                     shown(wordsOf(opened.failure())).c_str());
        return nullptr;
    }
    return std::make_unique<FileServices>(opened.take());
}

} // namespace

int runPreview(const ConsoleDrive &drive, const std::array<int, 6> &targets, std::FILE *out, std::FILE *err)
{
    const std::unique_ptr<FileServices> opened = openFiles(drive, err);
    if (!opened)
        return 1;
    FileServices &files = *opened;
    Report report(files, false, out, err);
    printDrive(drive, files, out);
    // An image an emulator has is still read; what a clean would meet is
    // said first.
    if (const std::string why = files.whyNotWritable(); !why.empty())
        std::fprintf(out, "A clean would change nothing now: %s.\n", shown(why).c_str());
    const FileServices::Hold hold(files);
    previewRun(files, targets, report);
    std::fprintf(out, "\nTotal: %s (%llu bytes), %s kept\n",
                 plural(report.totalFiles, "file to delete", "files to delete").c_str(),
                 static_cast<unsigned long long>(report.totalBytes), plural(report.totalKept, "entry", "entries").c_str());
    return report.failedTargets > 0 ? 1 : 0;
}

int runClean(const ConsoleDrive &drive, const std::array<int, 6> &targets, std::FILE *out, std::FILE *err)
{
    const std::unique_ptr<FileServices> opened = openFiles(drive, err);
    if (!opened)
        return 1;
    FileServices &files = *opened;
    Report report(files, true, out, err);
    printDrive(drive, files, out);
    try {
        const FileServices::Hold hold(files);
        cleanRun(files, targets, &report);
    } catch (const FileError &failure) {
        report.failed(failure);
        return 1;
    }
    std::fprintf(out, "\nTotal: %s (%llu bytes freed), %s kept\n",
                 plural(report.totalFiles, "file deleted", "files deleted").c_str(),
                 static_cast<unsigned long long>(report.totalBytes), plural(report.totalKept, "entry", "entries").c_str());
    return 0;
}
