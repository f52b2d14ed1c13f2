#pragma once

#include <QTemporaryDir>

#include <string>
#include <string_view>
#include <vector>

// A throw-away host tree laid out as drive C: of a Windows 95/98 machine,
// next to an "outside" folder that links and hard links point into. Every
// path below is relative to top(), as raw bytes joined by '/'.
//
//   top()/drive/windows/...      the drive, with the six cleaning targets
//   top()/outside/...            what the traps point at; never to change
class HostileDrive
{
public:
    HostileDrive();
    // The same tree inside the given host folder (a file system of the
    // test's own choosing).
    explicit HostileDrive(const QString &baseFolder);
    ~HostileDrive();
    HostileDrive(const HostileDrive &) = delete;
    HostileDrive &operator=(const HostileDrive &) = delete;

    bool isValid() const { return m_dir.isValid(); }
    std::string top() const;
    std::string driveRoot() const { return top() + "/drive"; }
    std::string host(std::string_view relative) const;

    // Host folder of cleaning target 1..6, relative to top().
    static std::string targetFolder(int number);
    static std::string windowsFolder() { return "drive/windows"; }

    // The six targets and c:\windows, each filled with trapsFor().
    void plantCommonTraps();

    // Entries that every target gets: some the run must delete, most it must
    // leave exactly as they are.
    void plantTrapsIn(const std::string &folder, const std::string &tag);

    void makeFolder(const std::string &relative, unsigned mode = 0755);
    void writeFile(const std::string &relative, std::string_view content, unsigned mode = 0644);
    void makeLink(const std::string &relative, const std::string &target);
    void makeHardLink(const std::string &relative, const std::string &existing);
    void makeFifo(const std::string &relative);
    void makeSocket(const std::string &relative);
    void setDosAttributes(const std::string &relative, std::string_view value);
    void remove(const std::string &relative); // a file, a link or an empty folder
    void removeTree(const std::string &relative);

    // Changes owner of every entry below top() (the unprivileged runs).
    void chownAll(unsigned uid, unsigned gid);

    // How many entries were planted (for the report of what was tried).
    int trapCount() const { return m_trapCount; }

private:
    QTemporaryDir m_dir;
    int m_trapCount = 0;
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
