#include "TestDrive.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <filesystem>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// Stored the way a Windows 98 installation spells them, so every lookup of
// the program's upper-case literals goes through the case-insensitive path.
const char *const folders[] = {
    "WINDOWS/Recent",
    "WINDOWS/Temporary Internet Files",
    "WINDOWS/Cookies",
    "WINDOWS/TEMP",
    "RECYCLED",
    "WINDOWS/Downloaded Program Files",
};

QByteArray describe(const fs::path &path)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return "unreadable";
    const QByteArray mode = QByteArray::number(info.st_mode & 07777, 8);
    if (S_ISLNK(info.st_mode))
        return "link " + mode + " -> " + QByteArray::fromStdString(fs::read_symlink(path).string());
    if (S_ISDIR(info.st_mode))
        return "folder " + mode;
    if (!S_ISREG(info.st_mode))
        return "special " + mode;
    QFile file(QString::fromStdString(path.string()));
    // A file without read permission still opens for root, which runs the tests.
    if (!file.open(QIODevice::ReadOnly))
        return "file " + mode + " unreadable";
    return "file " + mode + " " + QByteArray::number(file.size()) + " "
        + QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex();
}

} // namespace

QString TestDrive::targetFolder(int target)
{
    return QString::fromLatin1(folders[target - 1]);
}

TestDrive::TestDrive()
{
    for (const char *folder : folders)
        QDir(root()).mkpath(QString::fromLatin1(folder));
    QDir(root()).mkpath(QStringLiteral("WINDOWS/SYSTEM"));
    QDir(root()).mkpath(QStringLiteral("My Documents/Letters"));

    write(QStringLiteral("AUTOEXEC.BAT"), "@ECHO OFF\r\n");
    write(QStringLiteral("WINDOWS/WIN.INI"), "[windows]\r\nload=\r\n");
    write(QStringLiteral("WINDOWS/SYSTEM/USER.DAT"), QByteArray(300, 'u'));
    write(QStringLiteral("WINDOWS/TEMP.TXT"), "beside TEMP, not in it\r\n");
    write(QStringLiteral("My Documents/Letters/dear.doc"), "Dear Sir\r\n");
    QFile::setPermissions(hostPath(QStringLiteral("WINDOWS/WIN.INI")),
                          QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    QFile::link(QStringLiteral("Letters/dear.doc"), hostPath(QStringLiteral("My Documents/latest.doc")));
}

QString TestDrive::hostPath(const QString &relative) const
{
    return root() + QLatin1Char('/') + relative;
}

void TestDrive::fill(int target, Fill fill)
{
    const QString folder = targetFolder(target);
    if (fill == Fill::Empty)
        return;
    QDir(root()).mkpath(folder + QStringLiteral("/Sub"));
    write(folder + QStringLiteral("/Sub/inner.tmp"), "below the folder, left alone\r\n");
    write(folder + QStringLiteral("/.hidden"), "hidden, never matched\r\n");
    // A link to a folder is no file: never matched, never deleted.
    QFile::link(hostPath(QStringLiteral("WINDOWS/SYSTEM")), hostPath(folder + QStringLiteral("/system.lnk")));
    if (fill == Fill::NoOrdinary)
        return;
    write(folder + QStringLiteral("/~DF1A2B.TMP"), QByteArray(2048, '\0'));
    write(folder + QStringLiteral("/index.dat"), "junk\r\n");
    write(folder + QStringLiteral("/NOEXT"), "junk\r\n");
    write(folder + QStringLiteral("/a.b.c"), "junk\r\n");
    // Deleting a link must remove the link and leave what it points to.
    QFile::link(hostPath(QStringLiteral("AUTOEXEC.BAT")), hostPath(folder + QStringLiteral("/autoexec.lnk")));
}

void TestDrive::fillAll(Fill fillWith)
{
    for (int target = 1; target <= 6; ++target)
        fill(target, fillWith);
}

void TestDrive::write(const QString &relative, const QByteArray &content)
{
    QFile file(hostPath(relative));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

void TestDrive::removeFolder(int target)
{
    QDir(hostPath(targetFolder(target))).removeRecursively();
}

QStringList TestDrive::entries(const QString &relative) const
{
    return QDir(hostPath(relative))
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray TestDrive::read(const QString &relative) const
{
    QFile file(hostPath(relative));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

TestDrive::Snapshot TestDrive::snapshot() const
{
    Snapshot result;
    const fs::path base(root().toStdString());
    for (auto it = fs::recursive_directory_iterator(base); it != fs::recursive_directory_iterator(); ++it)
        result.insert(QString::fromStdString(it->path().lexically_relative(base).string()),
                      describe(it->path()));
    return result;
}

QStringList TestDrive::differences(const Snapshot &before, const Snapshot &after,
                                   const QStringList &cleanedFolders)
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
