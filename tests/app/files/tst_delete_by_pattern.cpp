// delete-by-pattern: what is deleted, what is left, and what is reported.
#include "files/FileError.h"
#include "files/FileServices.h"
#include "files/SystemCalls.h"
#include "files/Verdict.h"
#include "support/FaultySystemCalls.h"
#include "support/TestDrive.h"

#include <QTest>

#include <dirent.h>
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include <string>
#include <vector>

Q_DECLARE_METATYPE(std::string)

using Names = std::vector<std::string>;
Q_DECLARE_METATYPE(Names)
Q_DECLARE_METATYPE(SystemCalls::AttributeRoute)

namespace {

class CountingCalls : public SystemCalls
{
public:
    int folderOpens = 0;
    int unlinks = 0;
    int rewinds = 0;
    int entriesRead = 0;

    int openat(int dirFd, const char *path, int flags, mode_t mode) override
    {
        if ((flags & O_PATH) == 0 && (flags & O_DIRECTORY) != 0)
            ++folderOpens;
        return SystemCalls::openat(dirFd, path, flags, mode);
    }
    int unlinkat(int dirFd, const char *path, int flags) override
    {
        ++unlinks;
        return SystemCalls::unlinkat(dirFd, path, flags);
    }
    off_t lseek(int fd, off_t offset, int whence) override
    {
        ++rewinds;
        return SystemCalls::lseek(fd, offset, whence);
    }
    ssize_t getdents64(int dirFd, void *buffer, std::size_t size) override
    {
        const ssize_t got = SystemCalls::getdents64(dirFd, buffer, size);
        for (ssize_t at = 0; at < got; ++entriesRead) {
            unsigned short length;
            std::memcpy(&length, static_cast<char *>(buffer) + at + offsetof(struct dirent64, d_reclen),
                        sizeof length);
            at += length;
        }
        return got;
    }
};

// A file system that gives no entry types in its listings, as some do.
class UntypedListings : public SystemCalls
{
public:
    ssize_t getdents64(int dirFd, void *buffer, std::size_t size) override
    {
        const ssize_t got = SystemCalls::getdents64(dirFd, buffer, size);
        auto *bytes = static_cast<char *>(buffer);
        for (ssize_t at = 0; at < got;) {
            unsigned short length;
            std::memcpy(&length, bytes + at + offsetof(struct dirent64, d_reclen), sizeof length);
            const unsigned char unknown = DT_UNKNOWN;
            std::memcpy(bytes + at + offsetof(struct dirent64, d_type), &unknown, sizeof unknown);
            at += length;
        }
        return got;
    }
};

// One file cannot be unlinked. A shifting listing, as on some network file
// systems, skips the entry after a deleted one until the folder is read anew.
class RefusingCalls : public SystemCalls
{
public:
    std::string refused;
    bool shifting = false;

    int unlinkat(int dirFd, const char *path, int flags) override
    {
        if (refused == path) {
            errno = EBUSY;
            return -1;
        }
        const int result = SystemCalls::unlinkat(dirFd, path, flags);
        m_skipNext = shifting && (m_skipNext || result == 0);
        return result;
    }
    off_t lseek(int fd, off_t offset, int whence) override
    {
        m_skipNext = false;
        return SystemCalls::lseek(fd, offset, whence);
    }
    // One entry a call, so that a delete can shift the next.
    ssize_t getdents64(int dirFd, void *buffer, std::size_t size) override
    {
        ssize_t got;
        do {
            got = SystemCalls::getdents64(dirFd, buffer, size);
            if (!shifting || got <= 0)
                return got;
            const auto *entry = static_cast<const struct dirent64 *>(buffer);
            SystemCalls::lseek(dirFd, entry->d_off, SEEK_SET);
            got = entry->d_reclen;
        } while (std::exchange(m_skipNext, false));
        return got;
    }

private:
    bool m_skipNext = false;
};

// Counts the entries a delete or a survey tells of.
class Heard final : public EntryObserver
{
public:
    std::uint64_t entries = 0;
    void entry(const EntryReport &, bool) override { ++entries; }
};

} // namespace

class TestDeleteByPattern : public QObject
{
    Q_OBJECT

private slots:
    void deleteByPattern_data();
    void deleteByPattern();
    void deleteFromAnOlderListing_data();
    void deleteFromAnOlderListing();
    void dosAttributesOnEitherRoute_data();
    void dosAttributesOnEitherRoute();
    void entriesWithoutTypes();
    void namesThatAreNotUtf8();
    void oneListingForManyFiles_data();
    void oneListingForManyFiles();
    void callsPerEntry_data();
    void callsPerEntry();
    void oneBusyFileAmongMany_data();
    void oneBusyFileAmongMany();
};

void TestDeleteByPattern::deleteByPattern_data()
{
    QTest::addColumn<QStringList>("entries"); // in C:\T, see TestDrive::build
    QTest::addColumn<std::string>("pattern"); // with C:\T current
    QTest::addColumn<int>("number");          // 0: no failure
    QTest::addColumn<std::string>("named");   // the DOS path of the failure
    QTest::addColumn<Names>("left");          // what C:\T holds after

    const auto row = [](const char *tag, QStringList entries, std::string pattern, int number,
                        std::string named, Names left) {
        QTest::newRow(tag) << entries << pattern << number << named << left;
    };
    row("every file", {"f:a.txt", "f:B.DOC", "f:noext"}, "*.*", 0, "", {});
    row("absolute pattern", {"f:a.txt", "f:b.doc"}, "C:\\t\\*.TXT", 0, "", {"b.doc"});
    row("relative folder", {"d:S", "f:S/x.txt"}, "s\\*.*", 0, "", {"S"});
    row("last extension only", {"f:a.b.txt", "f:a.txt.bak"}, "*.txt", 0, "", {"a.txt.bak"});
    row("dotless only", {"f:noext", "f:a.b"}, "*.", 0, "", {"a.b"});
    row("question marks", {"f:a1.log", "f:a.log", "f:ab1.log"}, "a?.log", 0, "", {"ab1.log"});
    row("plain name, other case", {"f:README.TXT", "f:other"}, "readme.txt", 0, "", {"other"});
    row("nothing matches", {"f:a.txt"}, "*.doc", 53, "C:\\T\\*.doc", {"a.txt"});
    row("empty folder", {}, "*.*", 53, "C:\\T\\*.*", {});
    row("plain name missing", {"f:a.txt"}, "b.txt", 53, "C:\\T\\b.txt", {"a.txt"});
    row("plain name is a folder", {"d:sub"}, "sub", 53, "C:\\T\\sub", {"sub"});
    row("missing folder", {"f:a"}, "C:\\NOPE\\*.*", 76, "C:\\NOPE", {"a"});
    row("other drive", {"f:a"}, "D:\\*.*", 76, "D:\\*.*", {"a"});
    row("above the root", {"f:a"}, "..\\..\\*.*", 76, "..\\..\\*.*", {"a"});
    row("read-only among others", {"f:a", "r:b", "f:c"}, "*.*", 75, "C:\\T\\b", {"b"});
    row("read-only by name", {"r:b"}, "B", 75, "C:\\T\\b", {"b"});
    row("links removed", {"l:file.lnk>../KEEP/keep.txt", "l:dangling>nowhere", "l:dir.lnk>../KEEP"}, "*.*", 0,
        "", {"dir.lnk"});
    row("FIFOs and folders untouched", {"p:pipe", "d:sub", "f:sub/inner.txt", "f:x"}, "*", 0, "",
        {"pipe", "sub"});
    row("only FIFOs and folders", {"p:pipe", "d:sub"}, "*.*", 53, "C:\\T\\*.*", {"pipe", "sub"});
    row("dot-files kept", {"f:.profile", "f:.~bsw0123456789abcdef.tmp", "f:x.txt"}, "*.*", 0, "",
        {".profile", ".~bsw0123456789abcdef.tmp"});
    row("only dot-files", {"f:.profile"}, "*.*", 53, "C:\\T\\*.*", {".profile"});
    row("DOS hidden kept", {"H:hid.txt", "f:x.txt"}, "*.txt", 0, "", {"hid.txt"});
    row("DOS read-only left", {"f:a", "R:b"}, "*.*", 75, "C:\\T\\b", {"b"});
}

void TestDeleteByPattern::deleteByPattern()
{
    QFETCH(QStringList, entries);
    QFETCH(std::string, pattern);
    QFETCH(int, number);
    QFETCH(std::string, named);
    QFETCH(Names, left);

    // Alone, and as a clean run does it: from a listing made first, which is
    // also the count the run measures its progress against, every entry
    // the delete then tells of, or the same failure where there is no folder.
    for (const bool fromListing : {false, true}) {
        TestDrive drive;
        drive.folder("T");
        drive.folder("KEEP");
        drive.file("KEEP/keep.txt", "precious");
        if (!drive.build("T", entries))
            QSKIP("the temporary folder's file system keeps no user extended attributes");

        FileServices files(drive.root());
        files.changeDirectory("C:\\T");
        std::optional<FolderListing> listing;
        if (fromListing) {
            try {
                listing = files.listMatches(pattern);
            } catch (const FileError &error) {
                QCOMPARE(error.number(), number);
            }
        }
        const std::optional<std::uint64_t> counted =
            listing ? std::optional<std::uint64_t>(listing->matches()) : std::nullopt;
        Heard heard;
        try {
            files.deleteByPattern(pattern, &heard, listing ? &*listing : nullptr);
            QCOMPARE(0, number);
        } catch (const FileError &error) {
            QCOMPARE(error.number(), number);
            QCOMPARE(error.dosPath(), named);
        }
        if (counted)
            QCOMPARE(*counted, heard.entries);
        QCOMPARE(drive.entries("T"), left);
        QCOMPARE(drive.read("KEEP/keep.txt"), std::string("precious"));
    }
}

// A listing is as old as the clean run: what changed in the folder since is
// judged as it stands now, and a folder put in its place is read for itself.
void TestDeleteByPattern::deleteFromAnOlderListing_data()
{
    QTest::addColumn<QStringList>("listed");  // what C:\T held when it was listed
    QTest::addColumn<QString>("change");      // what happened since
    QTest::addColumn<int>("number");          // 0: no failure
    QTest::addColumn<int>("heard");           // entries the observer heard of
    QTest::addColumn<Names>("left");          // what C:\T holds after

    QTest::newRow("files added since") << QStringList{"f:a.tmp", "f:b.tmp"} << "add c.tmp" << 0 << 3 << Names{};
    QTest::newRow("files deleted since") << QStringList{"f:a.tmp", "f:b.tmp"} << "remove a.tmp" << 0 << 1 << Names{};
    QTest::newRow("all files deleted since") << QStringList{"f:a.tmp"} << "remove a.tmp" << 0 << 0 << Names{};
    QTest::newRow("file made read-only since")
        << QStringList{"f:a.tmp", "f:b.tmp"} << "read-only b.tmp" << 75 << 2 << Names{"b.tmp"};
    QTest::newRow("file became a folder since")
        << QStringList{"f:a.tmp", "f:b.tmp"} << "folder b.tmp" << 0 << 2 << Names{"b.tmp"};
    QTest::newRow("folder replaced since")
        << QStringList{"f:a.tmp", "f:b.tmp"} << "replace with new.tmp" << 0 << 1 << Names{};
    // Its listed names are not "deleted meanwhile" in the new folder.
    QTest::newRow("folder replaced by one without matches")
        << QStringList{"f:a.tmp", "f:b.tmp"} << "replace with keep.doc" << 53 << 0 << Names{"keep.doc"};
    QTest::newRow("listing of another pattern")
        << QStringList{"f:a.tmp", "f:b.doc"} << "other pattern" << 0 << 1 << Names{"b.doc"};
}

void TestDeleteByPattern::deleteFromAnOlderListing()
{
    QFETCH(QStringList, listed);
    QFETCH(QString, change);
    QFETCH(int, number);
    QFETCH(int, heard);
    QFETCH(Names, left);

    TestDrive drive;
    drive.folder("T");
    drive.build("T", listed);
    FileServices files(drive.root());
    FolderListing listing = files.listMatches(change == "other pattern" ? "C:\\T\\*.*" : "C:\\T\\*.tmp");
    const std::string name = change.section(' ', -1).toStdString();
    if (change.startsWith("add")) {
        drive.file("T/" + name);
    } else if (change.startsWith("remove")) {
        drive.remove("T/" + name);
    } else if (change.startsWith("read-only")) {
        drive.remove("T/" + name);
        drive.file("T/" + name, "junk", 0444);
    } else if (change.startsWith("folder")) {
        drive.remove("T/" + name);
        drive.folder("T/" + name);
    } else if (change.startsWith("replace")) {
        // The listed folder moves away whole; the new one holds one file.
        QVERIFY(::rename(drive.host("T").c_str(), drive.host("OLD").c_str()) == 0);
        drive.folder("T");
        drive.file("T/" + name);
    }
    Heard told;
    int failure = 0;
    try {
        files.deleteByPattern("C:\\T\\*.tmp", &told, &listing);
    } catch (const FileError &error) {
        failure = error.number();
    }
    QCOMPARE(failure, number);
    QCOMPARE(told.entries, std::uint64_t(heard));
    QCOMPARE(drive.entries("T"), left);
    if (change.startsWith("replace"))
        QCOMPARE(drive.entries("OLD"), (Names{"a.tmp", "b.tmp"}));
    QCOMPARE(listing.matches(), std::uint64_t{0});
}

// Kernels before 6.13 have no getxattrat; the attributes then come through
// /proc/self/fd, which must give the same answers.
void TestDeleteByPattern::dosAttributesOnEitherRoute_data()
{
    QTest::addColumn<SystemCalls::AttributeRoute>("route");
    QTest::addColumn<std::string>("value"); // of user.DOSATTRIB, Wine's name
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("kept");

    for (const auto route : {SystemCalls::AttributeRoute::AtFolder, SystemCalls::AttributeRoute::ProcFd}) {
        const char *where = route == SystemCalls::AttributeRoute::AtFolder ? "at folder: " : "/proc: ";
        const auto row = [&](const QString &tag, std::string value, int number, bool kept) {
            QTest::newRow(qPrintable(where + tag)) << route << value << number << kept;
        };
        row("archive only", "0x20", 0, false);
        row("hidden", "0x2", 0, true);
        row("system", "0x24", 0, true);
        row("read-only", "0x21", 75, true);
        row("decimal read-only", "1", 75, true);
        row("garbage", "rubbish", 75, true);
        // Hidden, of every length: as Wine writes it (text), and as file
        // servers do (text, a NUL, a binary part). Read whole, or refused.
        for (const int size : {0, 1, 63, 64, 65, 200, 4096}) {
            const std::string text =
                size == 1 ? "2" : size >= 4 ? "0x" + std::string(size_t(size - 4), '0') + "22" : "";
            std::string binary = size >= 5 ? std::string("0x22\0", 5) : std::string(size_t(size), '\x02');
            for (int i = 0; binary.size() < size_t(size); ++i)
                binary += char(i * 7);
            row(QString("text of %1 bytes").arg(size), text, size == 0 ? 75 : 0, true);
            if (size > 0)
                row(QString("binary of %1 bytes").arg(size), binary, size == 1 ? 75 : 0, true);
        }
    }
}

void TestDeleteByPattern::dosAttributesOnEitherRoute()
{
    QFETCH(SystemCalls::AttributeRoute, route);
    QFETCH(std::string, value);
    QFETCH(int, number);
    QFETCH(bool, kept);

    // ext4 keeps a value of at most a block less its header; tmpfs more.
    std::unique_ptr<TestDrive> planted;
    for (const QString &base : {QDir::tempPath(), QStringLiteral("/dev/shm")}) {
        if (!QDir(base).exists())
            continue;
        planted = std::make_unique<TestDrive>(TestDrive::Layout::Bare, base);
        planted->folder("T");
        planted->file("T/keep.txt");
        planted->file("T/marked.txt");
        planted->file("T/plain.txt");
        if (planted->setDosAttributes("T/marked.txt", value, "user.DOSATTRIB"))
            break;
        planted.reset();
    }
    if (!planted)
        QSKIP("no file system at hand keeps a user extended attribute of this size");
    const TestDrive &drive = *planted;
    SystemCalls calls(route);
    FileServices files(drive.root(), &calls);
    files.changeDirectory("C:\\T");
    QCOMPARE(files.firstMatch("keep.txt"), std::string("keep.txt"));
    int failure = 0;
    try {
        files.deleteByPattern("*a*.txt");
    } catch (const FileError &error) {
        failure = error.number();
    }
    QCOMPARE(failure, number);
    QCOMPARE(drive.entries("T"), (kept ? Names{"keep.txt", "marked.txt"} : Names{"keep.txt"}));
}

void TestDeleteByPattern::entriesWithoutTypes()
{
    TestDrive drive;
    drive.folder("T");
    drive.build("T", {"f:junk.tmp", "r:kept.tmp", "p:pipe.tmp", "d:sub.tmp", "l:dir.tmp>sub.tmp",
                      "l:file.tmp>junk.tmp"});
    UntypedListings calls;
    FileServices files(drive.root(), &calls);
    files.changeDirectory("C:\\T");
    QCOMPARE(files.firstMatch("p*.tmp"), std::string());
    QCOMPARE(files.firstMatch("s*.tmp"), std::string());
    int failure = 0;
    try {
        files.deleteByPattern("*.tmp");
    } catch (const FileError &error) {
        failure = error.number();
        QCOMPARE(error.dosPath(), std::string("C:\\T\\kept.tmp"));
    }
    QCOMPARE(failure, 75);
    QCOMPARE(drive.entries("T"), (Names{"dir.tmp", "kept.tmp", "pipe.tmp", "sub.tmp"}));
}

void TestDeleteByPattern::namesThatAreNotUtf8()
{
    TestDrive drive;
    drive.folder("T");
    drive.file("T/\xff\xfe.bin");
    drive.file("T/caf\xe9.TXT");
    drive.file("T/keep.doc");
    FileServices files(drive.root());
    files.deleteByPattern("C:\\T\\*.txt");
    files.deleteByPattern("C:\\T\\*.bin");
    QCOMPARE(drive.entries("T"), Names{"keep.doc"});
}

// Each match costs one unlink, and the folder is read once for them all,
// and once more, emptied: alone, a listing and the delete's own second
// look; from a listing made first, that listing and one look. A clean that
// lists its folders first to know its work thus reads them no more often.
void TestDeleteByPattern::oneListingForManyFiles_data()
{
    QTest::addColumn<bool>("fromListing");
    QTest::addColumn<int>("folderOpens");
    QTest::addColumn<int>("rewinds");

    QTest::newRow("alone") << false << 1 << 1;
    QTest::newRow("from a listing") << true << 2 << 0;
}

void TestDeleteByPattern::oneListingForManyFiles()
{
    QFETCH(bool, fromListing);
    QFETCH(int, folderOpens);
    QFETCH(int, rewinds);

    constexpr int files = 3000;
    TestDrive drive;
    drive.folder("T");
    for (int i = 0; i < files; ++i)
        drive.file("T/junk" + std::to_string(i) + ".tmp", {});
    CountingCalls calls;
    FileServices services(drive.root(), &calls);
    std::optional<FolderListing> listing;
    if (fromListing) {
        listing = services.listMatches("C:\\T\\*.*");
        QCOMPARE(listing->matches(), std::uint64_t{files});
    }
    services.deleteByPattern("C:\\T\\*.*", nullptr, listing ? &*listing : nullptr);
    QCOMPARE(calls.folderOpens, folderOpens);
    QCOMPARE(calls.unlinks, files);
    QCOMPARE(calls.rewinds, rewinds);
    // Every entry once, "." and ".." of each reading aside.
    QCOMPARE(calls.entriesRead - 2 * (rewinds + folderOpens), files);
    QVERIFY(drive.entries("T").empty());
}

// What one more entry of a kind costs, call by call: a deleted file no more
// than the least a checked delete needs (open, fstat, the attribute list,
// the lease, unlink, close), the kinds it keeps no more than telling them
// takes, and what needs no look none. A change that adds a call fails here.
void TestDeleteByPattern::callsPerEntry_data()
{
    QTest::addColumn<QString>("entry");     // a TestDrive::build code, without the name
    QTest::addColumn<QString>("operation"); // delete, listed delete, survey, count or first
    QTest::addColumn<QString>("calls");     // per entry, in byte order

    const QString judged = "close flistxattr fstatat openat";
    const QString judgedWithValue = "close fgetxattr flistxattr fstatat openat";
    QTest::newRow("file deleted") << "f" << "delete" << "close flistxattr fstatat openat setLease unlinkat";
    QTest::newRow("file deleted from a listing")
        << "f" << "listed delete" << "close flistxattr fstatat openat setLease unlinkat";
    QTest::newRow("file surveyed") << "f" << "survey" << "close flistxattr fstatat openat setLease";
    // What a clean counts first to measure its progress costs nothing per entry.
    QTest::newRow("file counted") << "f" << "count" << "";
    QTest::newRow("subfolder counted") << "d" << "count" << "";
    QTest::newRow("subfolder passed over by first-match") << "d" << "first" << "";
    QTest::newRow("read-only file kept") << "r" << "delete" << judged;
    QTest::newRow("DOS read-only file kept") << "R" << "delete" << judgedWithValue;
    QTest::newRow("DOS hidden file kept") << "H" << "delete" << judgedWithValue;
    QTest::newRow("file with unreadable attributes kept") << "G" << "delete" << judgedWithValue;
    QTest::newRow("hidden by name") << "." << "delete" << "";
    QTest::newRow("subfolder") << "d" << "delete" << "";
    QTest::newRow("FIFO") << "p" << "delete" << "";
    QTest::newRow("link to a file deleted") << "l>../KEEP/keep.txt" << "delete" << "fstatat fstatat unlinkat";
    QTest::newRow("link to a folder kept") << "l>../KEEP" << "delete" << "fstatat fstatat";
}

void TestDeleteByPattern::callsPerEntry()
{
    QFETCH(QString, entry);
    QFETCH(QString, operation);
    QFETCH(QString, calls);

    // The calls of one run over count entries of the kind, by name.
    auto run = [&](int count) {
        TestDrive drive;
        drive.folder("T");
        drive.folder("KEEP");
        drive.file("KEEP/keep.txt");
        QStringList entries;
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("e%1.tmp").arg(i);
            entries << (entry == "." ? "f:." + name
                        : entry.startsWith('l') ? "l:" + name + entry.mid(1)
                                                : entry + ":" + name);
        }
        if (!drive.build("T", entries))
            throw std::runtime_error("no extended attributes here");
        FaultySystemCalls faulty;
        FileServices files(drive.root(), &faulty);
        files.changeDirectory("C:\\T");
        faulty.arm(0, 0);
        Heard quiet;
        try {
            if (operation == "delete") {
                files.deleteByPattern("*.tmp");
            } else if (operation == "listed delete") {
                FolderListing listing = files.listMatches("*.tmp");
                files.deleteByPattern("*.tmp", nullptr, &listing);
            } else if (operation == "survey") {
                files.survey("*.tmp", quiet);
            } else if (operation == "count") {
                files.listMatches("*.tmp");
            } else {
                files.firstMatch("*.tmp");
            }
        } catch (const FileError &) {
        }
        std::map<std::string, int> made;
        for (const std::string &call : faulty.trace())
            ++made[call];
        return made;
    };
    std::map<std::string, int> fewer, more;
    try {
        fewer = run(4);
        more = run(8);
    } catch (const std::runtime_error &) {
        QSKIP("the temporary folder's file system keeps no user extended attributes");
    }
    QStringList perEntry;
    for (const auto &[call, times] : more) {
        const int extra = times - fewer[call];
        QVERIFY2(extra % 4 == 0, call.c_str());
        for (int i = 0; i < extra / 4; ++i)
            perEntry << QString::fromStdString(call);
    }
    for (const auto &[call, times] : fewer)
        QVERIFY2(more.count(call) != 0, call.c_str());
    QCOMPARE(perEntry.join(' '), calls);
}

void TestDeleteByPattern::oneBusyFileAmongMany_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("shifting");

    QTest::newRow("a few files") << 40 << false;
    QTest::newRow("many files") << 2000 << false;
    QTest::newRow("a listing that shifts") << 40 << true;
}

// A file that cannot be unlinked is named in the failure, once, after
// everything else that matched is gone, however many matched and however
// the listing shifts.
void TestDeleteByPattern::oneBusyFileAmongMany()
{
    QFETCH(int, count);
    QFETCH(bool, shifting);

    TestDrive drive;
    drive.folder("T");
    for (int i = 0; i < count; ++i)
        drive.file("T/junk" + std::to_string(i) + ".tmp", {});
    drive.file("T/busy.tmp", {});
    RefusingCalls calls;
    calls.refused = "busy.tmp";
    calls.shifting = shifting;
    FileServices files(drive.root(), &calls);
    int failure = 0;
    try {
        files.deleteByPattern("C:\\T\\*.tmp");
    } catch (const FileError &error) {
        failure = error.number();
        QCOMPARE(error.dosPath(), std::string("C:\\T\\busy.tmp"));
        QCOMPARE(error.hostReason(), std::string(std::strerror(EBUSY)));
    }
    QCOMPARE(failure, 75);
    QCOMPARE(drive.entries("T"), Names{"busy.tmp"});
}

QTEST_GUILESS_MAIN(TestDeleteByPattern)
#include "tst_delete_by_pattern.moc"
