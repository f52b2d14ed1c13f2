// open-for-output, write-record and close-all: the exact bytes, the atomic
// replacement, what is refused at open time, and failures while writing.
#include "files/FileError.h"
#include "files/FileServices.h"
#include "files/SystemCalls.h"
#include "support/TestDrive.h"

#include <QTest>

#include <fcntl.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

Q_DECLARE_METATYPE(std::string)

using Names = std::vector<std::string>;
Q_DECLARE_METATYPE(Names)

namespace {

// Fails one chosen system call with one errno; can also write a byte at a time.
class FaultyCalls : public SystemCalls
{
public:
    std::string failing;
    int error = 0;
    bool tinyWrites = false;
    int fsyncs = 0;
    int attributeLists = 0;

    int openat(int dirFd, const char *path, int flags, mode_t mode) override
    {
        if (failing == "create" && (flags & O_CREAT))
            return failWith();
        return SystemCalls::openat(dirFd, path, flags, mode);
    }
    ssize_t write(int fd, const void *data, std::size_t size) override
    {
        if (failing == "write")
            return failWith();
        return SystemCalls::write(fd, data, tinyWrites ? 1 : size);
    }
    int fsync(int fd) override
    {
        ++fsyncs;
        if ((failing == "fsync file" && fsyncs == 1) || (failing == "fsync folder" && fsyncs == 2))
            return failWith();
        return SystemCalls::fsync(fd);
    }
    int renameat(int oldDirFd, const char *oldPath, int newDirFd, const char *newPath) override
    {
        if (failing == "rename")
            return failWith();
        return SystemCalls::renameat(oldDirFd, oldPath, newDirFd, newPath);
    }
    int fchown(int fd, uid_t owner, gid_t group) override
    {
        return failing == "fchown" ? failWith() : SystemCalls::fchown(fd, owner, group);
    }
    int fchmod(int fd, mode_t mode) override
    {
        return failing == "fchmod" ? failWith() : SystemCalls::fchmod(fd, mode);
    }
    // The second look at the target's attributes is the one just before the rename.
    ssize_t listxattrat(int dirFd, const char *path, char *list, std::size_t size) override
    {
        if (failing == "attributes at close" && ++attributeLists == 2)
            return failWith();
        return SystemCalls::listxattrat(dirFd, path, list, size);
    }
    // The same through the descriptor the target is looked at by.
    ssize_t flistxattr(int fd, char *list, std::size_t size) override
    {
        if (failing == "attributes at close" && ++attributeLists == 2)
            return failWith();
        return SystemCalls::flistxattr(fd, list, size);
    }

private:
    int failWith()
    {
        errno = error;
        return -1;
    }
};

void writeOne(FileServices &files, std::string_view name, std::string_view text)
{
    files.openForOutput(1, name);
    files.writeRecord(1, text);
    files.closeAll();
}

int failureOf(const std::function<void()> &step)
{
    try {
        step();
    } catch (const FileError &error) {
        return error.number();
    }
    return 0;
}

} // namespace

class TestFileWriting : public QObject
{
    Q_OBJECT

private slots:
    void writtenLine_data();
    void writtenLine();
    void replacesWhatIsThere_data();
    void replacesWhatIsThere();
    void refusedAtOpen_data();
    void refusedAtOpen();
    void fileNumbers();
    void failuresWhileWriting_data();
    void failuresWhileWriting();
    void shortWritesAreCompleted();
};

void TestFileWriting::writtenLine_data()
{
    QTest::addColumn<std::string>("text");
    QTest::addColumn<std::string>("bytes");

    QTest::newRow("start-up file") << std::string("Hello World") << std::string("\"Hello World\"\r\n");
    QTest::newRow("flag file") << std::string("Advanced mode = on") << std::string("\"Advanced mode = on\"\r\n");
    QTest::newRow("marker") << std::string("This directory was emptyed by Brightsweep")
                            << std::string("\"This directory was emptyed by Brightsweep\"\r\n");
    QTest::newRow("8-bit text") << std::string("caf\xe9") << std::string("\"caf\xe9\"\r\n");
    QTest::newRow("empty text") << std::string() << std::string("\"\"\r\n");
}

void TestFileWriting::writtenLine()
{
    QFETCH(std::string, text);
    QFETCH(std::string, bytes);

    TestDrive drive;
    drive.folder("WINDOWS");
    FileServices files(drive.root());
    files.changeDirectory("c:\\windows");
    writeOne(files, "cleaner.txt", text);
    QCOMPARE(drive.read("WINDOWS/cleaner.txt"), bytes);
    QCOMPARE(drive.entries("WINDOWS"), Names{"cleaner.txt"});
}

void TestFileWriting::replacesWhatIsThere_data()
{
    QTest::addColumn<QStringList>("entries"); // in C:\W
    QTest::addColumn<std::string>("name");
    QTest::addColumn<Names>("after");
    QTest::addColumn<int>("mode"); // of the old file, owned by nobody and a group of its own; 0: 0644, the tests' user's

    QTest::newRow("longer old content") << QStringList{"f:deleted.txt"} << std::string("deleted.txt")
                                        << Names{"deleted.txt"} << 0;
    QTest::newRow("stored in other case") << QStringList{"f:OPTIONS.INI"} << std::string("options.ini")
                                          << Names{"OPTIONS.INI"} << 0;
    QTest::newRow("a link in its place") << QStringList{"l:deleted.txt>../KEEP/keep.txt"}
                                         << std::string("deleted.txt") << Names{"deleted.txt"} << 0;
    QTest::newRow("a dangling link") << QStringList{"l:deleted.txt>nowhere"} << std::string("deleted.txt")
                                     << Names{"deleted.txt"} << 0;
    QTest::newRow("a path") << QStringList{} << std::string("C:\\W\\new.txt") << Names{"new.txt"} << 0;
    QTest::newRow("another user's private file") << QStringList{"f:deleted.txt"} << std::string("deleted.txt")
                                                 << Names{"deleted.txt"} << 0600;
}

void TestFileWriting::replacesWhatIsThere()
{
    QFETCH(QStringList, entries);
    QFETCH(std::string, name);
    QFETCH(Names, after);
    QFETCH(int, mode);

    TestDrive drive;
    drive.folder("W");
    drive.folder("KEEP");
    drive.file("KEEP/keep.txt", "precious and longer than the line");
    drive.build("W", entries);
    const mode_t oldMode = mode ? mode_t(mode) : 0644;
    // Owner and group differ, so that one cannot pass for the other.
    const uid_t otherOwner = 65534;
    const gid_t otherGroup = 4321;
    for (const std::string &existing : drive.entries("W")) {
        if (!drive.isLink("W/" + existing))
            drive.file("W/" + existing, "an old and much longer content than the new line", oldMode);
        if (mode && lchown(drive.host("W/" + existing).c_str(), otherOwner, otherGroup) != 0)
            QSKIP("giving a file away needs root");
    }
    umask(022);
    FileServices files(drive.root());
    files.changeDirectory("C:\\W");
    writeOne(files, name, "x");
    QCOMPARE(drive.entries("W"), after);
    QVERIFY(!drive.isLink("W/" + after.front()));
    QCOMPARE(drive.read("W/" + after.front()), std::string("\"x\"\r\n"));
    // The old file's owner and bits; a new file, or one that replaced a
    // link, has the process's.
    struct stat written;
    QCOMPARE(stat(drive.host("W/" + after.front()).c_str(), &written), 0);
    QCOMPARE(written.st_mode & 07777, oldMode);
    QCOMPARE(written.st_uid, mode ? otherOwner : geteuid());
    QCOMPARE(written.st_gid, mode ? otherGroup : getegid());
    QCOMPARE(drive.read("KEEP/keep.txt"), std::string("precious and longer than the line"));
}

void TestFileWriting::refusedAtOpen_data()
{
    QTest::addColumn<QStringList>("entries"); // in C:\W
    QTest::addColumn<std::string>("name");
    QTest::addColumn<int>("number");

    QTest::newRow("read-only file") << QStringList{"r:deleted.txt"} << std::string("deleted.txt") << 75;
    QTest::newRow("read-only, other case") << QStringList{"r:DELETED.TXT"} << std::string("deleted.txt") << 75;
    QTest::newRow("DOS read-only") << QStringList{"R:deleted.txt"} << std::string("deleted.txt") << 75;
    QTest::newRow("DOS hidden") << QStringList{"H:deleted.txt"} << std::string("deleted.txt") << 75;
    QTest::newRow("DOS attributes no number") << QStringList{"G:deleted.txt"} << std::string("deleted.txt") << 75;
    QTest::newRow("folder of that name") << QStringList{"d:deleted.txt"} << std::string("deleted.txt") << 75;
    QTest::newRow("FIFO of that name") << QStringList{"p:deleted.txt"} << std::string("deleted.txt") << 75;
    QTest::newRow("link to a folder") << QStringList{"d:sub", "l:deleted.txt>sub"} << std::string("deleted.txt")
                                      << 75;
    QTest::newRow("no name") << QStringList{} << std::string("C:\\W\\") << 75;
    QTest::newRow("missing folder") << QStringList{} << std::string("NOPE\\deleted.txt") << 76;
    QTest::newRow("through a link") << QStringList{"d:sub", "l:link>sub"} << std::string("link\\deleted.txt")
                                    << 76;
    QTest::newRow("other drive") << QStringList{} << std::string("D:\\deleted.txt") << 76;
    QTest::newRow("wildcard") << QStringList{} << std::string("*.txt") << 52;
}

void TestFileWriting::refusedAtOpen()
{
    QFETCH(QStringList, entries);
    QFETCH(std::string, name);
    QFETCH(int, number);

    TestDrive drive;
    drive.folder("W");
    if (!drive.build("W", entries))
        QSKIP("the temporary folder's file system keeps no user extended attributes");
    const Names before = drive.entries("W");
    FileServices files(drive.root());
    files.changeDirectory("C:\\W");
    QCOMPARE(failureOf([&] { files.openForOutput(1, name); }), number);
    QCOMPARE(drive.entries("W"), before);
    // Nothing is left open: file number 1 is free again.
    QCOMPARE(failureOf([&] { files.writeRecord(1, "x"); }), 52);
    writeOne(files, "other.txt", "x");
}

void TestFileWriting::fileNumbers()
{
    TestDrive drive;
    FileServices files(drive.root());
    QCOMPARE(failureOf([&] { files.writeRecord(1, "x"); }), 52);
    QCOMPARE(failureOf([&] { files.openForOutput(0, "a.txt"); }), 52);
    QCOMPARE(failureOf([&] { files.closeAll(); }), 0);

    files.openForOutput(1, "a.txt");
    files.writeRecord(1, "first");
    // A second open of the same number keeps the first one as it was.
    QCOMPARE(failureOf([&] { files.openForOutput(1, "b.txt"); }), 55);
    files.closeAll();
    QCOMPARE(drive.entries(), Names{"a.txt"});
    QCOMPARE(drive.read("a.txt"), std::string("\"first\"\r\n"));
    QCOMPARE(failureOf([&] { files.writeRecord(1, "x"); }), 52);

    // Without close-all nothing reaches the drive.
    {
        FileServices abandoned(drive.root());
        abandoned.openForOutput(1, "a.txt");
        abandoned.writeRecord(1, "lost");
    }
    QCOMPARE(drive.entries(), Names{"a.txt"});
    QCOMPARE(drive.read("a.txt"), std::string("\"first\"\r\n"));
}

void TestFileWriting::failuresWhileWriting_data()
{
    QTest::addColumn<std::string>("failing");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("replaced");

    QTest::newRow("disk full") << std::string("write") << ENOSPC << 61 << false;
    QTest::newRow("quota") << std::string("write") << EDQUOT << 61 << false;
    QTest::newRow("write I/O") << std::string("write") << EIO << 57 << false;
    QTest::newRow("flush I/O") << std::string("fsync file") << EIO << 57 << false;
    QTest::newRow("flush full") << std::string("fsync file") << ENOSPC << 61 << false;
    QTest::newRow("interrupted flush") << std::string("fsync file") << EINTR << 57 << false;
    QTest::newRow("rename I/O") << std::string("rename") << EIO << 57 << false;
    QTest::newRow("rename refused") << std::string("rename") << EPERM << 70 << false;
    QTest::newRow("create refused") << std::string("create") << EACCES << 70 << false;
    QTest::newRow("create, read-only file system") << std::string("create") << EROFS << 75 << false;
    QTest::newRow("create, no room") << std::string("create") << ENOSPC << 61 << false;
    QTest::newRow("folder flush I/O") << std::string("fsync folder") << EIO << 57 << true;
    QTest::newRow("folder flush unsupported") << std::string("fsync folder") << EINVAL << 0 << true;
    QTest::newRow("owner not ours to give") << std::string("fchown") << EPERM << 0 << true;
    QTest::newRow("mode I/O") << std::string("fchmod") << EIO << 57 << false;
    QTest::newRow("attributes unreadable at close") << std::string("attributes at close") << EIO << 57 << false;
}

void TestFileWriting::failuresWhileWriting()
{
    QFETCH(std::string, failing);
    QFETCH(int, error);
    QFETCH(int, number);
    QFETCH(bool, replaced);

    TestDrive drive;
    drive.file("deleted.txt", "old");
    FaultyCalls calls;
    calls.failing = failing;
    calls.error = error;
    FileServices files(drive.root(), &calls);
    QCOMPARE(failureOf([&] { writeOne(files, "deleted.txt", "new"); }), number);
    QCOMPARE(drive.entries(), Names{"deleted.txt"});
    QCOMPARE(drive.read("deleted.txt"), std::string(replaced ? "\"new\"\r\n" : "old"));

    calls.failing.clear();
    calls.fsyncs = 0;
    writeOne(files, "deleted.txt", "again");
    QCOMPARE(drive.read("deleted.txt"), std::string("\"again\"\r\n"));
}

void TestFileWriting::shortWritesAreCompleted()
{
    TestDrive drive;
    FaultyCalls calls;
    calls.tinyWrites = true;
    FileServices files(drive.root(), &calls);
    writeOne(files, "deleted.txt", "This directory was emptyed by Brightsweep");
    QCOMPARE(drive.read("deleted.txt").size(), std::size_t(45));
}

QTEST_GUILESS_MAIN(TestFileWriting)
#include "tst_file_writing.moc"
