// change-directory and first-match on a real drive: case-insensitive look-up,
// links, entries that are no ordinary files, and what a look-up costs.
#include "files/FileError.h"
#include "files/FileServices.h"
#include "files/SystemCalls.h"
#include "support/TestDrive.h"

#include <QDir>
#include <QTest>

#include <memory>
#include <string>

Q_DECLARE_METATYPE(std::string)

namespace {

// Counts the folder reads and look-ups the services make.
class CountingCalls : public SystemCalls
{
public:
    int folderReads = 0;
    int calls = 0;

    ssize_t getdents64(int dirFd, void *buffer, std::size_t size) override
    {
        ++folderReads;
        ++calls;
        return SystemCalls::getdents64(dirFd, buffer, size);
    }
    int fstatat(int dirFd, const char *path, struct stat *status, int flags) override
    {
        ++calls;
        return SystemCalls::fstatat(dirFd, path, status, flags);
    }
    int openat(int dirFd, const char *path, int flags, mode_t mode) override
    {
        ++calls;
        return SystemCalls::openat(dirFd, path, flags, mode);
    }
};

} // namespace

class TestFileLookup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void changeDirectory_data();
    void changeDirectory();
    void rootMayBeALink();
    void missingRootIsPathNotFound();
    void firstMatch_data();
    void firstMatch();
    void firstMatchHonoursDosAttributes();
    void firstMatchStopsAtTheFirstMatch();
    void otherCaseLookUpReadsTheFolderOnce();

private:
    std::unique_ptr<TestDrive> m_drive;
};

// The same small drive for every case, built afresh.
void TestFileLookup::init()
{
    m_drive = std::make_unique<TestDrive>();
    TestDrive &d = *m_drive;
    d.folder("WINDOWS");
    d.folder("WINDOWS/TEMP");
    d.folder("WINDOWS/System");
    d.folder("RECYCLED");
    d.folder("Twins");
    d.folder("Twins/abc");
    d.folder("Twins/Abc");
    d.file("WINDOWS/WIN.INI");
    d.link("WINDOWS/LinkDir", "../RECYCLED");
    d.link("Upward", "..");

    d.folder("M");
    d.file("M/OPTIONS.INI");
    d.file("M/.hidden.txt");
    d.file("M/readonly.log", "x", 0444);
    d.folder("M/sub.txt");
    d.fifo("M/fifo.txt");
    d.link("M/linkdir.lnk", "../WINDOWS");
    d.link("M/dangling.lnk", "nowhere");
}

void TestFileLookup::cleanup()
{
    m_drive.reset();
}

void TestFileLookup::changeDirectory_data()
{
    QTest::addColumn<std::string>("start");
    QTest::addColumn<std::string>("path");
    QTest::addColumn<std::string>("current"); // "" for 76 "Path not found"

    const auto row = [](const char *tag, std::string start, std::string path, std::string current) {
        QTest::newRow(tag) << start << path << current;
    };
    row("exact", "C:\\", "C:\\WINDOWS", "C:\\WINDOWS");
    row("other case, trailing backslash", "C:\\", "c:\\windows\\temp\\", "C:\\WINDOWS\\TEMP");
    row("slashes", "C:\\", "C:/windows/system", "C:\\WINDOWS\\System");
    row("dots inside", "C:\\", "C:\\WINDOWS\\.\\TEMP\\..\\SYSTEM", "C:\\WINDOWS\\System");
    row("root", "C:\\WINDOWS\\TEMP", "C:\\", "C:\\");
    row("root without drive", "C:\\WINDOWS\\TEMP", "\\RECYCLED", "C:\\RECYCLED");
    row("relative", "C:\\WINDOWS", "temp", "C:\\WINDOWS\\TEMP");
    row("relative up", "C:\\WINDOWS\\TEMP", "..", "C:\\WINDOWS");
    row("relative up and over", "C:\\WINDOWS\\TEMP", "..\\..\\recycled", "C:\\RECYCLED");
    row("twins, exact spelling wins", "C:\\", "C:\\Twins\\abc", "C:\\Twins\\abc");
    row("twins, else first in byte order", "C:\\", "C:\\Twins\\ABC", "C:\\Twins\\Abc");
    row("link in the path", "C:\\", "C:\\WINDOWS\\LinkDir", "");
    row("link before more", "C:\\", "C:\\WINDOWS\\linkdir\\x", "");
    row("link to the parent", "C:\\", "C:\\Upward", "");
    row("a file", "C:\\", "C:\\WINDOWS\\WIN.INI", "");
    row("missing", "C:\\", "C:\\NOPE", "");
    row("above the root", "C:\\", "C:\\..", "");
    row("above the root, relative", "C:\\WINDOWS", "..\\..", "");
    row("other drive", "C:\\", "D:\\WINDOWS", "");
    row("other drive, small", "C:\\", "d:\\", "");
    row("network path", "C:\\", "\\\\server\\share", "");
}

void TestFileLookup::changeDirectory()
{
    QFETCH(std::string, start);
    QFETCH(std::string, path);
    QFETCH(std::string, current);

    const QString processDirectory = QDir::currentPath();
    FileServices files(m_drive->root());
    files.changeDirectory(start);
    try {
        files.changeDirectory(path);
        QVERIFY2(!current.empty(), "expected 76 Path not found");
        QCOMPARE(files.currentDirectory(), current);
    } catch (const FileError &error) {
        QVERIFY2(current.empty(), error.what());
        QCOMPARE(error.number(), 76);
        QCOMPARE(error.words(), std::string("Path not found"));
        QCOMPARE(files.currentDirectory(), start);
    }
    QCOMPARE(QDir::currentPath(), processDirectory);
}

void TestFileLookup::rootMayBeALink()
{
    const std::string linkToRoot = m_drive->root() + "-link";
    QCOMPARE(symlink(m_drive->root().c_str(), linkToRoot.c_str()), 0);
    FileServices files(linkToRoot);
    files.changeDirectory("c:\\windows");
    QCOMPARE(files.firstMatch("win.ini"), std::string("WIN.INI"));
    unlink(linkToRoot.c_str());
}

void TestFileLookup::missingRootIsPathNotFound()
{
    FileServices files(m_drive->host("absent"));
    QCOMPARE(files.firstMatch("*.*"), std::string());
    try {
        files.changeDirectory("C:\\");
        QFAIL("a missing drive was entered");
    } catch (const FileError &error) {
        QCOMPARE(error.number(), 76);
        QVERIFY(!error.hostReason().empty());
    }
    // The drive can appear later, as with a prefix made after start-up.
    m_drive->folder("absent");
    files.changeDirectory("C:\\");
}

void TestFileLookup::firstMatch_data()
{
    QTest::addColumn<std::string>("current");
    QTest::addColumn<std::string>("pattern");
    QTest::addColumn<std::string>("found");

    const auto row = [](const char *tag, std::string current, std::string pattern, std::string found) {
        QTest::newRow(tag) << current << pattern << found;
    };
    row("plain name, stored case", "C:\\M", "options.ini", "OPTIONS.INI");
    row("plain name, trailing dot", "C:\\M", "options.ini.", "OPTIONS.INI");
    row("dotless i is not I", "C:\\M", "opt\u0131ons.ini", "");
    row("long s is not S", "C:\\M", "option\u017f.ini", "");
    row("absolute", "C:\\", "C:\\m\\Options.Ini", "OPTIONS.INI");
    row("relative with folder", "C:\\", "m\\options.ini", "OPTIONS.INI");
    row("drive-relative", "C:\\M", "C:*.ini", "OPTIONS.INI");
    row("wildcards, stored case", "C:\\M", "*.ini", "OPTIONS.INI");
    row("no such name", "C:\\M", "missing.txt", "");
    row("no match", "C:\\M", "*.none", "");
    row("missing folder", "C:\\", "C:\\NOPE\\*.*", "");
    row("missing folder, plain", "C:\\", "C:\\NOPE\\x.txt", "");
    row("other drive", "C:\\", "D:\\*.*", "");
    row("through a link", "C:\\", "C:\\WINDOWS\\LinkDir\\*.*", "");
    row("hidden, folder and FIFO skipped", "C:\\M", "*.txt", "");
    row("dot-file by name", "C:\\M", ".hidden.txt", "");
    row("folder by name", "C:\\M", "sub.txt", "");
    row("FIFO by name", "C:\\M", "fifo.txt", "");
    row("read-only matched", "C:\\M", "*.log", "readonly.log");
    row("read-only by name", "C:\\M", "READONLY.LOG", "readonly.log");
    row("link to a folder skipped", "C:\\M", "linkdir.lnk", "");
    row("dangling link matched", "C:\\M", "*.lnk", "dangling.lnk");
    row("only a trailing backslash", "C:\\", "C:\\M\\", "");
}

void TestFileLookup::firstMatch()
{
    QFETCH(std::string, current);
    QFETCH(std::string, pattern);
    QFETCH(std::string, found);

    FileServices files(m_drive->root());
    files.changeDirectory(current);
    QCOMPARE(files.firstMatch(pattern), found);
    QCOMPARE(files.currentDirectory(), current);
}

// A match whose attributes cannot be read is neither returned nor passed over.
void TestFileLookup::firstMatchHonoursDosAttributes()
{
    m_drive->file("M/shown.dat");
    m_drive->file("M/hidden.dat");
    m_drive->file("M/system.sys");
    m_drive->file("M/garbled.bin");
    if (!m_drive->setDosAttributes("M/hidden.dat", "0x22") || !m_drive->setDosAttributes("M/system.sys", "0x4")
        || !m_drive->setDosAttributes("M/garbled.bin", "0x"))
        QSKIP("the temporary folder's file system keeps no user extended attributes");
    FileServices files(m_drive->root());
    files.changeDirectory("C:\\M");
    QCOMPARE(files.firstMatch("hidden.dat"), std::string());
    QCOMPARE(files.firstMatch("*.sys"), std::string());
    QCOMPARE(files.firstMatch("*.dat"), std::string("shown.dat"));
    for (const char *pattern : {"*.bin", "GARBLED.BIN"}) {
        try {
            files.firstMatch(pattern);
            QFAIL(pattern);
        } catch (const FileError &error) {
            QCOMPARE(error.number(), 75);
            QCOMPARE(error.dosPath(), std::string("C:\\M\\garbled.bin"));
        }
    }
}

// With every entry matching, a huge folder costs what a small one does.
void TestFileLookup::firstMatchStopsAtTheFirstMatch()
{
    m_drive->folder("BIG");
    for (int i = 0; i < 2000; ++i)
        m_drive->file("BIG/file" + std::to_string(i) + ".tmp", {});
    CountingCalls calls;
    FileServices files(m_drive->root(), &calls);
    files.changeDirectory("C:\\BIG");
    calls.folderReads = calls.calls = 0;
    QVERIFY(!files.firstMatch("*.*").empty());
    QCOMPARE(calls.folderReads, 1);
    QVERIFY2(calls.calls <= 6, qPrintable(QString::number(calls.calls)));
}

void TestFileLookup::otherCaseLookUpReadsTheFolderOnce()
{
    m_drive->folder("BIG");
    for (int i = 0; i < 2000; ++i)
        m_drive->file("BIG/file" + std::to_string(i) + ".tmp", {});
    m_drive->file("BIG/Wanted.Txt");
    CountingCalls calls;
    FileServices files(m_drive->root(), &calls);
    files.changeDirectory("C:\\BIG");
    calls.folderReads = calls.calls = 0;
    QCOMPARE(files.firstMatch("WANTED.TXT"), std::string("Wanted.Txt"));
    // 2000 names fit in a few reads; a second pass would double them.
    QVERIFY2(calls.folderReads <= 4, qPrintable(QString::number(calls.folderReads)));
}

QTEST_GUILESS_MAIN(TestFileLookup)
#include "tst_file_lookup.moc"
