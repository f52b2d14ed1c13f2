#pragma once

#include <QByteArray>
#include <QDir>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A throw-away drive C: for one test, in a temporary host folder that holds
// the drive and, beside it, a folder of things the drive's links point at:
//
//   top()/drive/...     root(): drive C:
//   top()/outside/...   what links and hard links lead to; never to change
//
// Every relative path is relative to root(), as raw bytes joined by '/';
// "../outside/..." reaches the outside folder. The primitives throw
// std::runtime_error when the host refuses, so a drive that could not be
// built fails the test instead of testing something else.
class TestDrive
{
public:
    enum class Layout {
        Bare,      // nothing on the drive
        Windows98, // WINDOWS with the six junk folders, empty, and the rest
                   // of a system around them: win.ini, SYSTEM, My Documents
                   // and links into them, which a cleaner reaching past its
                   // folders would change
        Hostile,   // windows (lower case) with the six folders, empty, and
                   // files in outside/ for plantCommonTraps() to point at
    };

    // In a folder below base, on a file system of the test's choosing.
    explicit TestDrive(Layout layout = Layout::Bare, const QString &base = QDir::tempPath());
    ~TestDrive();
    TestDrive(const TestDrive &) = delete;
    TestDrive &operator=(const TestDrive &) = delete;

    std::string top() const;
    std::string root() const { return top() + "/drive"; }
    std::string host(std::string_view relative) const;

    // Where cleaning target 1..6 lies, as this drive's layout spells it.
    std::string targetFolder(int number) const;
    // As the Windows 98 layout spells it, for tests that name their rows
    // before there is a drive. Mixed case, like the hostile layout's, so
    // that the program's upper-case names have to be folded.
    static QString windows98Folder(int number);

    void folder(const std::string &relative, unsigned mode = 0755);
    void file(const std::string &relative, std::string_view content = "junk", unsigned mode = 0644);
    void link(const std::string &relative, const std::string &target);
    void hardLink(const std::string &relative, const std::string &existing);
    void fifo(const std::string &relative);
    void socket(const std::string &relative);
    // Wine's DOS attributes; false where the host file system keeps none.
    [[nodiscard]] bool setDosAttributes(const std::string &relative, std::string_view value,
                                        const char *attribute = "user.DOS_ATTRIB");
    void remove(const std::string &relative); // a file, a link or an empty folder
    void removeTree(const std::string &relative);
    // Changes the owner of every entry below top() (the unprivileged runs).
    void chownAll(unsigned uid, unsigned gid);

    // Builds entries from a compact list: "f:name" a file, "r:name" one
    // without write bits, "d:name" a folder, "p:name" a FIFO,
    // "l:name>target" a link, "H:name" and "R:name" files that Wine marks
    // hidden or read-only, "G:name" one whose DOS attributes are no number.
    // Returns false when the host keeps no DOS attributes.
    bool build(const std::string &folderName, const QStringList &entries);

    bool exists(const std::string &relative) const;
    bool isLink(const std::string &relative) const;
    std::string read(const std::string &relative) const;
    std::string read(const char *relative) const { return read(std::string(relative)); }
    // What read() gives, or nothing when there is no such entry.
    std::optional<std::string> content(const std::string &relative) const;
    // Every entry of a folder, dot-files included, in byte order.
    std::vector<std::string> entries(const std::string &relative = {}) const;
    std::vector<std::string> entries(const char *relative) const { return entries(std::string(relative)); }

    // How many entries the primitives made (the report of what was tried).
    int entryCount() const { return m_entryCount; }

    // The Windows 98 layout's junk folders, filled.
    enum class Fill {
        Empty,      // nothing at all
        Junk,       // plain files, a link to a file, a subfolder, a hidden file
        NoOrdinary, // only a subfolder and a hidden file: no ordinary file to match
    };
    void fill(int target, Fill fill);
    void fillAll(Fill fill);
    // What a clean leaves of a filled folder (".hidden", "Sub", "system.lnk"),
    // with the names given, in the order entries() lists them.
    static QStringList survivors(const QStringList &with = {});
    // Target 1..6's folder in the Windows 98 layout as a DOS path.
    static QString windows98DosFolder(int number);
    // The marker a clean leaves: deleted.inf in target 1, else deleted.txt.
    static QString markerName(int number);

    // The six targets and c:\windows of the hostile layout, full of traps:
    // entries a clean must delete, and more it must leave exactly as they are.
    void plantCommonTraps();

    // The same in Qt's types, for the tests of the engine and the windows.
    QString hostPath(const QString &relative) const;
    void write(const QString &relative, const QByteArray &content);
    QByteArray read(const QString &relative) const; // empty when missing
    QStringList entries(const QString &relative) const;

    // Every file, link and folder on the drive, keyed by its path relative
    // to root(): kind, permission bits, and the content or link target.
    using Snapshot = QMap<QString, QByteArray>;
    Snapshot snapshot() const;
    // The paths whose entry differs between two snapshots, leaving out the
    // non-folder entries directly inside the given folders (the ones a clean
    // of those folders may delete or write).
    static QStringList differences(const Snapshot &before, const Snapshot &after,
                                   const QStringList &cleanedFolders = {});

    // What the program writes: a marker in each emptied folder,
    // options.ini while the advanced mode is on, cleaner.txt at start-up.
    static QByteArray markerLine();
    static QByteArray flagLine();
    static QByteArray startupLine();

private:
    void plantTrapsIn(const std::string &folder, const std::string &tag);

    QTemporaryDir m_dir;
    Layout m_layout;
    int m_entryCount = 0;
};

// What a name looks like to the cleaner, decided from the host entry the
// same way the rules for entries put it: a regular file or a link that does
// not end at a folder, not hidden, and (to be deletable) not read-only.
struct HostEntryKind
{
    bool ordinary = false;
    bool readOnly = false;
};
HostEntryKind classifyHostEntry(const std::string &fullPath, const std::string &name);
