#include "support/TestDrive.h"

#include "support/TreeSnapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const std::string &what, const std::string &path)
{
    throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

// Both layouts spell the folders in mixed case, each differently, so that
// every lookup of the program's names goes through the case-insensitive
// path, c:\windows included.
const char *const windows98Folders[] = {
    "WINDOWS/Recent",
    "WINDOWS/Temporary Internet Files",
    "WINDOWS/Cookies",
    "WINDOWS/TEMP",
    "RECYCLED",
    "WINDOWS/Downloaded Program Files",
};
const char *const hostileFolders[] = {
    "windows/Recent",
    "windows/Temporary Internet Files",
    "windows/Cookies",
    "windows/temp",
    "RECYCLED",
    "windows/Downloaded Program Files",
};

// Wine keeps DOS attributes as the text "0x<hex>" in user.DOS_ATTRIB.
unsigned dosAttributes(const std::string &fullPath)
{
    char value[64] = {};
    const ssize_t got = lgetxattr(fullPath.c_str(), "user.DOS_ATTRIB", value, sizeof value - 1);
    if (got <= 0)
        return 0;
    return static_cast<unsigned>(std::strtoul(value, nullptr, 0));
}

unsigned g_chownUid = 0;
unsigned g_chownGid = 0;

// Names that are not UTF-8 do not survive a trip through QString, so the
// tree is removed here, not by QTemporaryDir.
int removeOne(const char *path, const struct stat *, int flag, struct FTW *)
{
    if (flag == FTW_DP || flag == FTW_D || flag == FTW_DNR)
        return rmdir(path) == 0 ? 0 : -1;
    return unlink(path) == 0 ? 0 : -1;
}

int openUp(const char *path, const struct stat *info, int flag, struct FTW *)
{
    if (flag == FTW_D || flag == FTW_DNR || (info && S_ISDIR(info->st_mode)))
        chmod(path, 0755);
    return 0;
}

int chownOne(const char *path, const struct stat *, int, struct FTW *)
{
    return lchown(path, g_chownUid, g_chownGid) == 0 ? 0 : -1;
}

QByteArray describe(const EntryState &entry)
{
    const QByteArray mode = QByteArray::number(entry.mode, 8);
    switch (entry.type) {
    case 'l':
        return "link " + mode + " -> " + QByteArray::fromStdString(entry.linkTarget);
    case 'd':
        return "folder " + mode;
    case 'f':
        return "file " + mode + " " + QByteArray::number(entry.size) + " "
               + QByteArray::fromStdString(entry.contentHash);
    default:
        return "special " + mode;
    }
}

} // namespace

TestDrive::TestDrive(Layout layout, const QString &base)
    : m_dir(base + QStringLiteral("/brightsweep-XXXXXX"))
    , m_layout(layout)
{
    if (!m_dir.isValid())
        throw std::runtime_error("no temporary folder in " + base.toStdString());
    m_dir.setAutoRemove(false);
    // QTemporaryDir makes its folder 0700; the unprivileged runs need to
    // reach the drive below it.
    chmod(top().c_str(), 0755);
    if (mkdir(root().c_str(), 0755) != 0 || mkdir((top() + "/outside").c_str(), 0755) != 0)
        fail("mkdir", top());

    if (layout == Layout::Windows98) {
        folder("WINDOWS");
        folder("WINDOWS/SYSTEM");
        folder("My Documents");
        folder("My Documents/Letters");
        file("AUTOEXEC.BAT", "@ECHO OFF\r\n");
        file("WINDOWS/WIN.INI", "[windows]\r\nload=\r\n", 0444);
        file("WINDOWS/SYSTEM/USER.DAT", std::string(300, 'u'));
        file("WINDOWS/TEMP.TXT", "beside TEMP, not in it\r\n");
        file("My Documents/Letters/dear.doc", "Dear Sir\r\n");
        link("My Documents/latest.doc", "Letters/dear.doc");
    } else if (layout == Layout::Hostile) {
        folder("windows");
        folder("../outside/victimdir");
        file("../outside/victim.txt", "outside file, must survive\n");
        file("../outside/victimdir/precious.txt", "outside folder content\n");
        file("../outside/victimdir/junk.tmp", "would match *.* if a link were followed\n");
        file("../outside/options.ini", "not the flag file\n");
        file("../outside/cleaner.txt", "not the start-up file\n");
    }
    if (layout != Layout::Bare) {
        for (int number = 1; number <= 6; ++number)
            folder(targetFolder(number));
    }
    m_entryCount = 0;
}

TestDrive::~TestDrive()
{
    chmod(top().c_str(), 0755);
    nftw(top().c_str(), openUp, 32, FTW_PHYS);
    if (nftw(top().c_str(), removeOne, 32, FTW_PHYS | FTW_DEPTH) != 0)
        qWarning("cannot remove %s: %s", top().c_str(), std::strerror(errno)); // a read-only mount goes with its tree
}

std::string TestDrive::top() const
{
    return m_dir.path().toStdString();
}

std::string TestDrive::host(std::string_view relative) const
{
    return root() + "/" + std::string(relative);
}

std::string TestDrive::targetFolder(int number) const
{
    if (number < 1 || number > 6)
        throw std::out_of_range("no cleaning target " + std::to_string(number));
    return (m_layout == Layout::Hostile ? hostileFolders : windows98Folders)[number - 1];
}

QString TestDrive::windows98Folder(int number)
{
    return QString::fromLatin1(windows98Folders[number - 1]);
}

void TestDrive::folder(const std::string &relative, unsigned mode)
{
    const std::string path = host(relative);
    if (mkdir(path.c_str(), mode) != 0)
        fail("mkdir", path);
    chmod(path.c_str(), mode); // not narrowed by the umask
    ++m_entryCount;
}

void TestDrive::file(const std::string &relative, std::string_view content, unsigned mode)
{
    const std::string path = host(relative);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("create", path);
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
        if (wrote < 0) {
            close(fd);
            fail("write", path);
        }
        done += static_cast<size_t>(wrote);
    }
    fchmod(fd, mode);
    close(fd);
    ++m_entryCount;
}

void TestDrive::link(const std::string &relative, const std::string &target)
{
    const std::string path = host(relative);
    if (symlink(target.c_str(), path.c_str()) != 0)
        fail("symlink", path);
    ++m_entryCount;
}

void TestDrive::hardLink(const std::string &relative, const std::string &existing)
{
    const std::string path = host(relative);
    if (::link(host(existing).c_str(), path.c_str()) != 0)
        fail("link", path);
    ++m_entryCount;
}

void TestDrive::fifo(const std::string &relative)
{
    const std::string path = host(relative);
    if (mkfifo(path.c_str(), 0644) != 0)
        fail("mkfifo", path);
    ++m_entryCount;
}

void TestDrive::socket(const std::string &relative)
{
    // A socket node needs no listener to exist; mknod makes one for any user.
    const std::string path = host(relative);
    if (mknod(path.c_str(), S_IFSOCK | 0644, 0) != 0)
        fail("mknod socket", path);
    ++m_entryCount;
}

bool TestDrive::setDosAttributes(const std::string &relative, std::string_view value, const char *attribute)
{
    return lsetxattr(host(relative).c_str(), attribute, value.data(), value.size(), 0) == 0;
}

void TestDrive::remove(const std::string &relative)
{
    const std::string path = host(relative);
    if (unlink(path.c_str()) != 0 && (errno != EISDIR || rmdir(path.c_str()) != 0))
        fail("remove", path);
}

void TestDrive::removeTree(const std::string &relative)
{
    const std::string path = host(relative);
    nftw(path.c_str(), openUp, 32, FTW_PHYS);
    if (nftw(path.c_str(), removeOne, 32, FTW_PHYS | FTW_DEPTH) != 0)
        fail("remove tree", path);
}

void TestDrive::chownAll(unsigned uid, unsigned gid)
{
    g_chownUid = uid;
    g_chownGid = gid;
    if (nftw(top().c_str(), chownOne, 32, FTW_PHYS) != 0)
        fail("chown", top());
}

bool TestDrive::build(const std::string &folderName, const QStringList &list)
{
    bool attributesKept = true;
    for (const QString &item : list) {
        const std::string text = item.toStdString();
        const char kind = text[0];
        const std::string name = folderName + "/" + text.substr(2);
        if (kind == 'f') {
            file(name);
        } else if (kind == 'r') {
            file(name, "junk", 0444);
        } else if (kind == 'd') {
            folder(name);
        } else if (kind == 'p') {
            fifo(name);
        } else if (kind == 'l') {
            const auto arrow = name.find('>');
            link(name.substr(0, arrow), name.substr(arrow + 1));
        } else if (kind == 'H' || kind == 'R' || kind == 'G') {
            file(name);
            const char *value = kind == 'H' ? "0x2" : kind == 'R' ? "0x21" : "rubbish";
            attributesKept = setDosAttributes(name, value) && attributesKept;
        }
    }
    return attributesKept;
}

bool TestDrive::exists(const std::string &relative) const
{
    struct stat status {};
    return lstat(host(relative).c_str(), &status) == 0;
}

bool TestDrive::isLink(const std::string &relative) const
{
    struct stat status {};
    return lstat(host(relative).c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

std::string TestDrive::read(const std::string &relative) const
{
    std::ifstream in(host(relative), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<std::string> TestDrive::content(const std::string &relative) const
{
    return exists(relative) ? std::optional<std::string>(read(relative)) : std::nullopt;
}

std::vector<std::string> TestDrive::entries(const std::string &relative) const
{
    DIR *listing = opendir(relative.empty() ? root().c_str() : host(relative).c_str());
    return listing ? sortedNames(listing) : std::vector<std::string>();
}

void TestDrive::fill(int target, Fill with)
{
    if (with == Fill::Empty)
        return;
    const std::string at = targetFolder(target) + "/";
    folder(at + "Sub");
    file(at + "Sub/inner.tmp", "below the folder, left alone\r\n");
    file(at + ".hidden", "hidden, never matched\r\n");
    // A link to a folder is no file: never matched, never deleted.
    link(at + "system.lnk", host("WINDOWS/SYSTEM"));
    if (with == Fill::NoOrdinary)
        return;
    file(at + "~DF1A2B.TMP", std::string(2048, '\0'));
    file(at + "index.dat", "junk\r\n");
    file(at + "NOEXT", "junk\r\n");
    file(at + "a.b.c", "junk\r\n");
    // Deleting a link must remove the link and leave what it points to.
    link(at + "autoexec.lnk", host("AUTOEXEC.BAT"));
}

void TestDrive::fillAll(Fill with)
{
    for (int target = 1; target <= 6; ++target)
        fill(target, with);
}

QStringList TestDrive::survivors(const QStringList &with)
{
    QStringList names = QStringList{QStringLiteral(".hidden"), QStringLiteral("Sub"), QStringLiteral("system.lnk")} + with;
    names.sort();
    return names;
}

QString TestDrive::windows98DosFolder(int number)
{
    return QStringLiteral("C:\\") + windows98Folder(number).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

QString TestDrive::markerName(int number)
{
    return number == 1 ? QStringLiteral("deleted.inf") : QStringLiteral("deleted.txt");
}

void TestDrive::plantCommonTraps()
{
    for (int number = 1; number <= 6; ++number)
        plantTrapsIn(targetFolder(number), std::to_string(number));

    file("windows/win.ini", "[windows]\r\n");
    file("windows/SYSTEM.INI", "[boot]\r\n");
    file("windows/junk.tmp", "c:\\windows is never emptied\r\n");
    folder("windows/system");
    file("windows/system/user.dat", "registry\r\n");
    link("windows/outside.lnk", host("../outside/victim.txt"));
    link("windows/outside-folder", host("../outside/victimdir"));
    fifo("windows/winpipe");
    file("windows/.wine-hidden", "dot-file\n");
}

void TestDrive::plantTrapsIn(const std::string &folderName, const std::string &tag)
{
    const std::string at = folderName + "/";

    // Ordinary files: all of them go.
    file(at + "junk.tmp", "junk " + tag);
    file(at + "README.TXT", "readme " + tag);
    file(at + "noextension", "no dot " + tag);
    file(at + "a.b.c.d", "many dots " + tag);
    file(at + "empty.dat", "");
    file(at + "bad\xff\xfe name.tmp", "not UTF-8 " + tag);
    file(at + "\xc3\x89migr\xc3\xa9.TXT", "UTF-8 " + tag);
    file(at + "back\\slash.txt", "backslash in a host name " + tag);
    file(at + "star*name.txt", "star " + tag);
    file(at + "quest?ion", "question mark " + tag);
    file(at + " leading space.txt", "leading space " + tag);
    file(at + "trailing space.txt ", "trailing space " + tag);
    file(at + "trailing dot.", "trailing dot " + tag);
    file(at + "trailing dots and spaces. . ", "trailing mix " + tag);
    file(at + std::string(251, 'L') + ".tmp", "255 bytes " + tag);
    std::string wide;
    while (wide.size() + 2 <= 254)
        wide += "\xc3\xa9";
    file(at + wide + "z", "255 bytes of UTF-8 " + tag);
    link(at + "link-to-outside-file", host("../outside/victim.txt"));
    link(at + "relative-link.txt", "../../../outside/victim.txt");
    link(at + "dangling-link", host("../outside/does-not-exist"));
    file("../outside/hard-" + tag + ".txt", "hard linked from target " + tag);
    hardLink(at + "hardlink.txt", "../outside/hard-" + tag + ".txt");

    // Never matched: hidden, folders, links to folders, FIFOs, sockets.
    file(at + ".hidden", "dot-file " + tag);
    file(at + ".hidden.txt", "dot-file with extension " + tag);
    file(at + "hidden-attr.txt", "DOS hidden " + tag);
    file(at + "system-attr.txt", "DOS system " + tag);
    if (!setDosAttributes(at + "hidden-attr.txt", "0x2") || !setDosAttributes(at + "system-attr.txt", "0x4"))
        fail("setxattr user.DOS_ATTRIB", host(at));
    link(at + "link-to-outside-folder", host("../outside/victimdir"));
    link(at + "link-to-windows.tmp", host("windows"));
    fifo(at + "pipe.tmp");
    socket(at + "sock");
    folder(at + "sub");
    file(at + "sub/inner.txt", "in a subfolder " + tag);
    folder(at + "sub/deeper");
    file(at + "sub/deeper/deep.tmp", "two levels down " + tag);
    folder(at + "folder.tmp");
    file(at + "folder.tmp/x.tmp", "a folder whose name matches " + tag);
}

QString TestDrive::hostPath(const QString &relative) const
{
    return QString::fromStdString(host(relative.toStdString()));
}

void TestDrive::write(const QString &relative, const QByteArray &content)
{
    file(relative.toStdString(), std::string_view(content.constData(), static_cast<size_t>(content.size())));
}

QByteArray TestDrive::read(const QString &relative) const
{
    return QByteArray::fromStdString(read(relative.toStdString()));
}

QStringList TestDrive::entries(const QString &relative) const
{
    QStringList names;
    for (const std::string &name : entries(relative.toStdString()))
        names << QString::fromStdString(name);
    return names;
}

TestDrive::Snapshot TestDrive::snapshot() const
{
    Snapshot result;
    const TreeSnapshot tree = TreeSnapshot::take(root());
    for (const auto &[path, entry] : tree.entries()) {
        if (!path.empty())
            result.insert(QString::fromStdString(path), describe(entry));
    }
    return result;
}

QStringList TestDrive::differences(const Snapshot &before, const Snapshot &after, const QStringList &cleanedFolders)
{
    const auto mayChange = [&](const QString &path, const QByteArray &kind) {
        if (kind.startsWith("folder"))
            return false;
        const QString parent = path.section(QLatin1Char('/'), 0, -2);
        return cleanedFolders.contains(parent);
    };
    QStringList changed;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (after.value(it.key()) != it.value() && !mayChange(it.key(), it.value()))
            changed << it.key();
    }
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (!before.contains(it.key()) && !mayChange(it.key(), it.value()))
            changed << it.key();
    }
    return changed;
}

QByteArray TestDrive::markerLine()
{
    return QByteArrayLiteral("\"This directory was emptyed by Brightsweep\"\r\n");
}

QByteArray TestDrive::flagLine()
{
    return QByteArrayLiteral("\"Advanced mode = on\"\r\n");
}

QByteArray TestDrive::startupLine()
{
    return QByteArrayLiteral("\"Hello World\"\r\n");
}

HostEntryKind classifyHostEntry(const std::string &fullPath, const std::string &name)
{
    HostEntryKind kind;
    struct stat own {};
    if (lstat(fullPath.c_str(), &own) != 0)
        return kind;
    const unsigned attributes = S_ISREG(own.st_mode) ? dosAttributes(fullPath) : 0;
    const bool hidden = (!name.empty() && name[0] == '.') || (attributes & 0x6U) != 0;
    bool fileLike = S_ISREG(own.st_mode);
    if (S_ISLNK(own.st_mode)) {
        struct stat followed {};
        fileLike = stat(fullPath.c_str(), &followed) != 0 || !S_ISDIR(followed.st_mode);
    }
    kind.ordinary = fileLike && !hidden;
    kind.readOnly = S_ISREG(own.st_mode) && ((own.st_mode & 0222) == 0 || (attributes & 0x1U) != 0);
    return kind;
}
