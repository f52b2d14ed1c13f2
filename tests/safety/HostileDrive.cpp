#include "HostileDrive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const std::string &what, const std::string &path)
{
    throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

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
int removeOne(const char *path, const struct stat *info, int flag, struct FTW *)
{
    if (flag == FTW_DP || flag == FTW_D || flag == FTW_DNR)
        return rmdir(path) == 0 ? 0 : -1;
    (void)info;
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
    if (lchown(path, g_chownUid, g_chownGid) != 0)
        return -1;
    return 0;
}

} // namespace

HostileDrive::HostileDrive()
    : HostileDrive(QDir::tempPath())
{
}

HostileDrive::HostileDrive(const QString &baseFolder)
    : m_dir(baseFolder + QStringLiteral("/hostile-XXXXXX"))
{
    if (!m_dir.isValid())
        return;
    m_dir.setAutoRemove(false);
    // QTemporaryDir makes its folder 0700; the unprivileged runs need to
    // reach the drive below it.
    chmod(m_dir.path().toLocal8Bit().constData(), 0755);
    makeFolder("drive");
    makeFolder("drive/windows");
    for (int number = 1; number <= 6; ++number)
        makeFolder(targetFolder(number));
    makeFolder("outside");
    makeFolder("outside/victimdir");
    writeFile("outside/victim.txt", "outside file, must survive\n");
    writeFile("outside/victimdir/precious.txt", "outside folder content\n");
    writeFile("outside/victimdir/junk.tmp", "would match *.* if a link were followed\n");
    writeFile("outside/options.ini", "not the flag file\n");
    writeFile("outside/cleaner.txt", "not the start-up file\n");
    m_trapCount = 0;
}

HostileDrive::~HostileDrive()
{
    if (!m_dir.isValid())
        return;
    chmod(top().c_str(), 0755);
    try {
        removeTree({});
    } catch (const std::exception &error) {
        qWarning("%s", error.what()); // a read-only mount goes with its tree
    }
}

std::string HostileDrive::top() const
{
    return m_dir.path().toStdString();
}

std::string HostileDrive::host(std::string_view relative) const
{
    return top() + "/" + std::string(relative);
}

std::string HostileDrive::targetFolder(int number)
{
    // Mixed case on purpose: the drive is looked up case-insensitively.
    switch (number) {
    case 1:
        return "drive/windows/Recent";
    case 2:
        return "drive/windows/Temporary Internet Files";
    case 3:
        return "drive/windows/Cookies";
    case 4:
        return "drive/windows/temp";
    case 5:
        return "drive/RECYCLED";
    case 6:
        return "drive/windows/Downloaded Program Files";
    default:
        throw std::out_of_range("no cleaning target " + std::to_string(number));
    }
}

void HostileDrive::plantCommonTraps()
{
    for (int number = 1; number <= 6; ++number)
        plantTrapsIn(targetFolder(number), std::to_string(number));

    const std::string windows = windowsFolder();
    writeFile(windows + "/win.ini", "[windows]\r\n");
    writeFile(windows + "/SYSTEM.INI", "[boot]\r\n");
    writeFile(windows + "/junk.tmp", "c:\\windows is never emptied\r\n");
    makeFolder(windows + "/system");
    writeFile(windows + "/system/user.dat", "registry\r\n");
    makeLink(windows + "/outside.lnk", host("outside/victim.txt"));
    makeLink(windows + "/outside-folder", host("outside/victimdir"));
    makeFifo(windows + "/winpipe");
    writeFile(windows + "/.wine-hidden", "dot-file\n");
}

void HostileDrive::plantTrapsIn(const std::string &folder, const std::string &tag)
{
    const std::string at = folder + "/";

    // Ordinary files: all of them go.
    writeFile(at + "junk.tmp", "junk " + tag);
    writeFile(at + "README.TXT", "readme " + tag);
    writeFile(at + "noextension", "no dot " + tag);
    writeFile(at + "a.b.c.d", "many dots " + tag);
    writeFile(at + "empty.dat", "");
    writeFile(at + "bad\xff\xfe name.tmp", "not UTF-8 " + tag);
    writeFile(at + "\xc3\x89migr\xc3\xa9.TXT", "UTF-8 " + tag);
    writeFile(at + "back\\slash.txt", "backslash in a host name " + tag);
    writeFile(at + "star*name.txt", "star " + tag);
    writeFile(at + "quest?ion", "question mark " + tag);
    writeFile(at + " leading space.txt", "leading space " + tag);
    writeFile(at + "trailing space.txt ", "trailing space " + tag);
    writeFile(at + "trailing dot.", "trailing dot " + tag);
    writeFile(at + "trailing dots and spaces. . ", "trailing mix " + tag);
    writeFile(at + std::string(251, 'L') + ".tmp", "255 bytes " + tag);
    std::string wide;
    while (wide.size() + 2 <= 254)
        wide += "\xc3\xa9";
    writeFile(at + wide + "z", "255 bytes of UTF-8 " + tag);
    makeLink(at + "link-to-outside-file", host("outside/victim.txt"));
    makeLink(at + "relative-link.txt", "../../../outside/victim.txt");
    makeLink(at + "dangling-link", host("outside/does-not-exist"));
    writeFile("outside/hard-" + tag + ".txt", "hard linked from target " + tag);
    makeHardLink(at + "hardlink.txt", "outside/hard-" + tag + ".txt");

    // Never matched: hidden, folders, links to folders, FIFOs, sockets.
    writeFile(at + ".hidden", "dot-file " + tag);
    writeFile(at + ".hidden.txt", "dot-file with extension " + tag);
    writeFile(at + "hidden-attr.txt", "DOS hidden " + tag);
    setDosAttributes(at + "hidden-attr.txt", "0x2");
    writeFile(at + "system-attr.txt", "DOS system " + tag);
    setDosAttributes(at + "system-attr.txt", "0x4");
    makeLink(at + "link-to-outside-folder", host("outside/victimdir"));
    makeLink(at + "link-to-windows.tmp", host("drive/windows"));
    makeFifo(at + "pipe.tmp");
    makeSocket(at + "sock");
    makeFolder(at + "sub");
    writeFile(at + "sub/inner.txt", "in a subfolder " + tag);
    makeFolder(at + "sub/deeper");
    writeFile(at + "sub/deeper/deep.tmp", "two levels down " + tag);
    makeFolder(at + "folder.tmp");
    writeFile(at + "folder.tmp/x.tmp", "a folder whose name matches " + tag);
}

void HostileDrive::makeFolder(const std::string &relative, unsigned mode)
{
    const std::string path = host(relative);
    if (mkdir(path.c_str(), mode) != 0)
        fail("mkdir", path);
    chmod(path.c_str(), mode); // not narrowed by the umask
    ++m_trapCount;
}

void HostileDrive::writeFile(const std::string &relative, std::string_view content, unsigned mode)
{
    const std::string path = host(relative);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("create", path);
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t wrote = write(fd, content.data() + done, content.size() - done);
        if (wrote < 0) {
            close(fd);
            fail("write", path);
        }
        done += static_cast<size_t>(wrote);
    }
    fchmod(fd, mode);
    close(fd);
    ++m_trapCount;
}

void HostileDrive::makeLink(const std::string &relative, const std::string &target)
{
    const std::string path = host(relative);
    if (symlink(target.c_str(), path.c_str()) != 0)
        fail("symlink", path);
    ++m_trapCount;
}

void HostileDrive::makeHardLink(const std::string &relative, const std::string &existing)
{
    const std::string path = host(relative);
    if (link(host(existing).c_str(), path.c_str()) != 0)
        fail("link", path);
    ++m_trapCount;
}

void HostileDrive::makeFifo(const std::string &relative)
{
    const std::string path = host(relative);
    if (mkfifo(path.c_str(), 0644) != 0)
        fail("mkfifo", path);
    ++m_trapCount;
}

void HostileDrive::makeSocket(const std::string &relative)
{
    // A socket node needs no listener to exist; mknod makes one for any user.
    const std::string path = host(relative);
    if (mknod(path.c_str(), S_IFSOCK | 0644, 0) != 0)
        fail("mknod socket", path);
    ++m_trapCount;
}

void HostileDrive::setDosAttributes(const std::string &relative, std::string_view value)
{
    const std::string path = host(relative);
    if (lsetxattr(path.c_str(), "user.DOS_ATTRIB", value.data(), value.size(), 0) != 0)
        fail("setxattr user.DOS_ATTRIB", path);
}

void HostileDrive::remove(const std::string &relative)
{
    const std::string path = host(relative);
    if (unlink(path.c_str()) != 0 && (errno != EISDIR || rmdir(path.c_str()) != 0))
        fail("remove", path);
}

void HostileDrive::removeTree(const std::string &relative)
{
    const std::string path = host(relative);
    nftw(path.c_str(), openUp, 32, FTW_PHYS);
    if (nftw(path.c_str(), removeOne, 32, FTW_PHYS | FTW_DEPTH) != 0)
        fail("remove tree", path);
}

void HostileDrive::chownAll(unsigned uid, unsigned gid)
{
    g_chownUid = uid;
    g_chownGid = gid;
    if (nftw(top().c_str(), chownOne, 32, FTW_PHYS) != 0)
        fail("chown", top());
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
