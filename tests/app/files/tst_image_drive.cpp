// Drive C: inside a disk image, made by mkfs.fat, mtools, sfdisk and
// qemu-img: what a clean deletes and keeps, how it writes, what keeps it
// from writing at all, and what it makes of a damaged or foreign image.
#include "files/FileError.h"
#include "files/FileServices.h"
#include "files/ImageDrive.h"
#include "support/FaultySystemCalls.h"
#include "support/TestImage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <memory>
#include <optional>
#include <set>
#include <stdexcept>

Q_DECLARE_METATYPE(TestImage::Fat)

namespace {

using Fat = TestImage::Fat;

// What a clean told of, by name.
class Heard final : public EntryObserver
{
public:
    std::set<std::string> deleted;
    std::set<std::string> kept;
    void entry(const EntryReport &report, bool wasDeleted) override
    {
        (wasDeleted ? deleted : kept).emplace(report.name);
    }
};

// TEMP as Windows 98 leaves it, around what a clean must never touch.
void fillDrive(TestImage &image)
{
    image.folder("WINDOWS");
    image.folder("WINDOWS/TEMP");
    image.folder("WINDOWS/TEMP/SUB");
    image.file("MSDOS.SYS", "[Options]\r\nBootGUI=1\r\n", "+h +s +r");
    image.file("WINDOWS/WIN.INI", "[windows]\r\n");
    image.file("WINDOWS/TEMP/A.TMP", "scratch");
    image.file("WINDOWS/TEMP/b.tmp", "lower case");
    image.file("WINDOWS/TEMP/Long name of a file.tmp", "long");
    image.file("WINDOWS/TEMP/BIG.TMP", QByteArray(20000, 'x'));
    image.file("WINDOWS/TEMP/HIDDEN.TMP", "hidden", "+h");
    image.file("WINDOWS/TEMP/SYSTEM.TMP", "system", "+s");
    image.file("WINDOWS/TEMP/SUB/INNER.TMP", "inner");
    image.file("WINDOWS/TEMP/ZZ.TMP", "read-only", "+r");
}

std::unique_ptr<FileServices> filesOn(const QString &path, ImageDrive::Options options = {})
{
    Result<std::unique_ptr<ImageDrive>> drive = ImageDrive::open(path.toStdString(), options);
    if (!drive)
        throw std::runtime_error("the image does not open: " + wordsOf(drive.failure()));
    return std::make_unique<FileServices>(std::unique_ptr<Drive>(drive.take()));
}

QByteArray digest(const QString &path)
{
    return QCryptographicHash::hash(TestImage::bytes(path), QCryptographicHash::Sha256).toHex();
}

// The clean of TEMP as the program runs it: everything matched, then the
// marker.
void cleanTemp(FileServices &files, Heard &heard)
{
    files.changeDirectory("c:\\windows\\temp");
    try {
        files.deleteByPattern("*.*", &heard);
    } catch (const FileError &error) {
        if (error.number() != 75 || error.dosPath() != "C:\\WINDOWS\\TEMP\\ZZ.TMP")
            throw;
    }
    files.openForOutput(1, "deleted.txt");
    files.writeRecord(1, "This directory was emptyed by Brightsweep");
    files.closeAll();
}

const std::set<std::string> deletable{"A.TMP", "b.tmp", "Long name of a file.tmp", "BIG.TMP"};
const QByteArray marker = "\"This directory was emptyed by Brightsweep\"\r\n";

// Programs that could hold an image: started, then ended with the test row.
struct Holder
{
    std::unique_ptr<QProcess> process;
    ~Holder()
    {
        if (process) {
            process->kill();
            process->waitForFinished(10000);
        }
    }
    void start(const QString &program, const QStringList &arguments, const QString &readyFile = {})
    {
        process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->start(program, arguments);
        if (!process->waitForStarted(10000))
            throw std::runtime_error("cannot start " + program.toStdString());
        // Ready once it says so, or once its socket is there.
        for (int waited = 0; waited < 200; ++waited) {
            if (readyFile.isEmpty() ? process->canReadLine() || process->waitForReadyRead(50) : QFile::exists(readyFile))
                return;
            QTest::qWait(50);
        }
        throw std::runtime_error(program.toStdString() + " did not get ready: " + process->readAll().toStdString());
    }
};

} // namespace

class TestImageDrive : public QObject
{
    Q_OBJECT

private slots:
    void cleans_data();
    void cleans();
    void writesAsWindowsDoes();
    void refusesToWrite_data();
    void refusesToWrite();
    void notADrive_data();
    void notADrive();
    void failedCommits();
    void aWriteWithoutRoom();
    void openedDuringAHold_data();
    void openedDuringAHold();
};

void TestImageDrive::cleans_data()
{
    QTest::addColumn<Fat>("fat");
    QTest::addColumn<bool>("partitioned");
    QTest::addColumn<QString>("format");

    QTest::newRow("FAT12, whole image, raw") << Fat::Fat12 << false << "raw";
    QTest::newRow("FAT16, whole image, raw") << Fat::Fat16 << false << "raw";
    QTest::newRow("FAT32, whole image, raw") << Fat::Fat32 << false << "raw";
    QTest::newRow("FAT16, partition at 63, raw") << Fat::Fat16 << true << "raw";
    QTest::newRow("FAT32, partition at 63, qcow2") << Fat::Fat32 << true << "qcow2";
    QTest::newRow("FAT16, partition at 63, VHD fixed") << Fat::Fat16 << true << "vhd-fixed";
    QTest::newRow("FAT16, whole image, VHD dynamic") << Fat::Fat16 << false << "vhd-dynamic";
    QTest::newRow("FAT32, whole image, VDI") << Fat::Fat32 << false << "vdi";
    QTest::newRow("FAT16, partition at 63, VMDK") << Fat::Fat16 << true << "vmdk";
}

void TestImageDrive::cleans()
{
    QFETCH(Fat, fat);
    QFETCH(bool, partitioned);
    QFETCH(QString, format);

    TestImage image(fat, partitioned);
    fillDrive(image);
    const QString path = image.as(format);
    const QByteArray win = image.content(path, "WINDOWS/WIN.INI");
    {
        const std::unique_ptr<FileServices> files = filesOn(path);
        Heard heard;
        cleanTemp(*files, heard);
        QCOMPARE(heard.deleted, deletable);
        // Hidden, system and read-only files stay; a subfolder is no file.
        QCOMPARE(heard.kept, (std::set<std::string>{"HIDDEN.TMP", "SYSTEM.TMP", "SUB", "ZZ.TMP"}));
    }
    const QString listing = image.listing(path);
    for (const std::string &name : deletable)
        QVERIFY2(!listing.contains(QString::fromStdString(name)), qPrintable(listing));
    for (const char *kept : {"  A   H      ::/WINDOWS/TEMP/HIDDEN.TMP", "  A  S       ::/WINDOWS/TEMP/SYSTEM.TMP",
                             "  A    R     ::/WINDOWS/TEMP/ZZ.TMP", "::/WINDOWS/TEMP/SUB/INNER.TMP",
                             "  A          ::/WINDOWS/TEMP/deleted.txt"})
        QVERIFY2(listing.contains(QLatin1String(kept)), qPrintable(kept + QStringLiteral(" missing in\n") + listing));
    QCOMPARE(image.content(path, "WINDOWS/TEMP/deleted.txt"), marker);
    QCOMPARE(image.content(path, "WINDOWS/WIN.INI"), win);
    QCOMPARE(image.fsckProblems(path), QString());
    if (format == "qcow2" || format == "vdi" || format == "vmdk")
        TestImage::run("qemu-img", {"check", path});
}

// The files the program writes, as Windows 98 writes them: a long name
// beside a short one in capitals where the name has small letters, one
// entry however often it is written, the archive bit set; and one deleted
// by its plain name, as the advanced mode is switched off.
void TestImageDrive::writesAsWindowsDoes()
{
    TestImage image(Fat::Fat16);
    image.folder("WINDOWS");
    image.file("WINDOWS/OPTIONS.INI", "old");
    const QString path = image.rawPath();
    {
        const std::unique_ptr<FileServices> files = filesOn(path);
        const FileServices::Hold hold(*files);
        files->changeDirectory("C:\\WINDOWS");
        for (int round = 0; round < 3; ++round) {
            files->openForOutput(1, "cleaner.txt");
            files->writeRecord(1, "Hello World");
            files->closeAll();
        }
        QCOMPARE(files->firstMatch("c:\\windows\\CLEANER.TXT"), std::string("cleaner.txt"));
        files->openForOutput(1, "options.ini");
        files->writeRecord(1, "Advanced mode = on");
        files->closeAll();
        QCOMPARE(files->firstMatch("c:\\windows\\options.ini"), std::string("OPTIONS.INI"));
        files->openForOutput(1, "A name of its own.txt");
        files->writeRecord(1, "x");
        files->closeAll();
    }
    const QString listing = image.listing(path);
    QCOMPARE(listing.count("cleaner.txt"), 1);
    QVERIFY2(listing.contains("  A          ::/WINDOWS/cleaner.txt"), qPrintable(listing));
    QVERIFY2(listing.contains("  A          ::/WINDOWS/OPTIONS.INI"), qPrintable(listing));
    const QString directory = TestImage::run("mdir", {"-i", path, "::/WINDOWS"});
    QVERIFY2(directory.contains(QRegularExpression("CLEANER +TXT +15 .* cleaner\\.txt")), qPrintable(directory));
    QVERIFY2(directory.contains(QRegularExpression("ANAMEO~1 +TXT .* A name of its own\\.txt")), qPrintable(directory));
    QCOMPARE(image.content(path, "WINDOWS/cleaner.txt"), QByteArray("\"Hello World\"\r\n"));
    QCOMPARE(image.content(path, "WINDOWS/OPTIONS.INI"), QByteArray("\"Advanced mode = on\"\r\n"));
    QCOMPARE(image.fsckProblems(path), QString());

    {
        const std::unique_ptr<FileServices> files = filesOn(path);
        files->changeDirectory("C:\\WINDOWS");
        files->deleteByPattern("options.ini");
        QCOMPARE(files->firstMatch("c:\\windows\\options.ini"), std::string());
    }
    QVERIFY(!image.listing(path).contains("OPTIONS.INI"));
    QCOMPARE(image.fsckProblems(path), QString());
}

void TestImageDrive::refusesToWrite_data()
{
    QTest::addColumn<Fat>("fat");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("how");    // what stands in the way
    QTest::addColumn<int>("number");     // the error a clean meets
    QTest::addColumn<QString>("reason"); // in its words
    QTest::addColumn<bool>("readable");  // a preview still reads it

    const auto row = [](const char *tag, Fat fat, const char *format, const char *how, int number,
                        const char *reason, bool readable) {
        QTest::newRow(tag) << fat << QString(format) << QString(how) << number << QString(reason) << readable;
    };
    row("a program holds the raw image open", Fat::Fat16, "raw", "holder", 75, "in use by sh (PID ", true);
    row("a program holds the qcow2 image open", Fat::Fat32, "qcow2", "holder", 75, "in use by sh (PID ", true);
    row("QEMU serves the qcow2 image", Fat::Fat16, "qcow2", "qemu", 75, "which holds QEMU's lock", true);
    row("QEMU serves the raw image", Fat::Fat16, "raw", "qemu", 75, "which holds QEMU's lock", true);
    row("Bochs has it", Fat::Fat16, "raw", "bochs", 75, "in use by Bochs", true);
    row("VMware has it", Fat::Fat16, "vmdk", "vmware", 75, "in use by VMware", true);
    row("FAT16 not shut down cleanly", Fat::Fat16, "raw", "dirty", 75, "not shut down cleanly", true);
    row("FAT32 not shut down cleanly", Fat::Fat32, "qcow2", "dirty", 75, "not shut down cleanly", true);
    row("FAT32 mounted, by a system that says so", Fat::Fat32, "raw", "mounted", 75, "not shut down cleanly", true);
    row("disk errors found", Fat::Fat16, "raw", "errors", 75, "Windows found disk errors", true);
    row("the FAT copies differ", Fat::Fat16, "raw", "copies", 57, "its FAT copies differ", true);
    row("the FAT copies differ far into them", Fat::Fat32, "qcow2", "copies far", 57, "its FAT copies differ", true);
    row("the FAT16 copies differ in their last entry", Fat::Fat16, "raw", "copies last", 57, "its FAT copies differ", true);
    row("the FAT32 copies differ in their last entry", Fat::Fat32, "raw", "copies last", 57, "its FAT copies differ", true);
    row("a chain that loops", Fat::Fat16, "raw", "loop", 57, "damaged", true);
    row("a chain out of the drive", Fat::Fat32, "raw", "range", 57, "damaged", true);
    row("a cluster of two files", Fat::Fat16, "raw", "shared", 57, "shares a cluster", true);
    row("a folder that holds itself", Fat::Fat32, "raw", "self", 57, "damaged", true);
    row("a long name that is not its entry's", Fat::Fat16, "raw", "checksum", 57, "does not belong", true);
}

void TestImageDrive::refusesToWrite()
{
    QFETCH(Fat, fat);
    QFETCH(QString, format);
    QFETCH(QString, how);
    QFETCH(int, number);
    QFETCH(QString, reason);
    QFETCH(bool, readable);

    TestImage image(fat);
    fillDrive(image);
    const std::uint64_t boot = image.driveOffset();
    const std::uint32_t second = fat == Fat::Fat16 ? 0xFFFF : 0x0FFFFFFF;
    if (how == "dirty")
        image.setFatEntry(1, second & ~(fat == Fat::Fat16 ? 0x8000u : 0x08000000u));
    else if (how == "errors")
        image.setFatEntry(1, second & ~(fat == Fat::Fat16 ? 0x4000u : 0x04000000u));
    else if (how == "mounted")
        image.patch(boot + (fat == Fat::Fat32 ? 65 : 37), QByteArray(1, '\x01'));
    else if (how == "copies")
        image.setFatEntry(image.firstCluster("A       TMP"), 0x7F7F, false);
    else if (how == "copies far") // a free cluster the first copy says is bad
        image.setFatEntry(70000, 0x0FFFFFF7, false);
    else if (how == "copies last")
        image.setFatEntry(image.lastCluster(), second - 8, false); // bad
    else if (how == "loop")
        image.setFatEntry(image.firstCluster("BIG     TMP") + 1, image.firstCluster("BIG     TMP"));
    else if (how == "range")
        image.setFatEntry(image.firstCluster("BIG     TMP"), 0x0FFFFF00);
    else if (how == "shared") {
        const std::uint32_t cluster = image.firstCluster("A       TMP");
        image.patch(image.recordOffset("WIN     INI") + 26, QByteArray(1, char(cluster & 0xFF)) + char(cluster >> 8));
    } else if (how == "self") {
        const std::uint32_t windows = image.firstCluster("WINDOWS    ");
        image.patch(image.recordOffset("SUB        ") + 26, QByteArray(1, char(windows & 0xFF)) + char(windows >> 8));
    } else if (how == "checksum") {
        // The short name changed behind its long name's back, as a tool
        // that knows no long names renames a file.
        image.patch(image.recordOffset("LONGNA~1TMP") + 7, "2");
    }
    const QString path = image.as(format);
    Holder holder;
    if (how == "holder") {
        // It waits in its own read, so that its name is the one it has
        // when it says it is ready.
        holder.start("sh", {"-c", "exec 3<\"$0\"; echo ready; read -r _", path});
    } else if (how == "qemu") {
        const QString socket = image.folderPath() + "/served.sock";
        const QString driver = format == "raw" ? "raw" : format;
        holder.start("qemu-storage-daemon",
                     {"--blockdev", "driver=file,node-name=file,filename=" + path, "--blockdev",
                      "driver=" + driver + ",node-name=disk,file=file", "--nbd-server",
                      "addr.type=unix,addr.path=" + socket, "--export", "type=nbd,id=c,node-name=disk,writable=on"},
                     socket);
    } else if (how == "bochs") {
        QFile(path + ".lock").open(QIODevice::WriteOnly);
    } else if (how == "vmware") {
        QDir().mkdir(path + ".lck");
    }
    const QByteArray before = digest(path);

    Result<std::unique_ptr<ImageDrive>> opened = ImageDrive::open(path.toStdString());
    QCOMPARE(opened.ok(), readable);
    if (readable) {
        FileServices files(std::unique_ptr<Drive>(opened.take()));
        // A preview reads it and says why a clean would change nothing.
        QVERIFY2(QString::fromStdString(files.whyNotWritable()).contains(reason),
                 qPrintable(QString::fromStdString(files.whyNotWritable())));
        if (number == 75 || how.startsWith("copies")) {
            Heard surveyed;
            files.changeDirectory("C:\\WINDOWS\\TEMP");
            files.survey("*.*", surveyed);
            QCOMPARE(surveyed.kept.size() + surveyed.deleted.size(), std::size_t(8));
        }
        Heard heard;
        try {
            cleanTemp(files, heard);
            QFAIL("the clean wrote to the image");
        } catch (const FileError &error) {
            QCOMPARE(error.number(), number);
            QVERIFY2(QString::fromStdString(error.hostReason()).contains(reason), qPrintable(QString::fromStdString(error.hostReason())));
        }
        QVERIFY(heard.deleted.empty());
    } else {
        QVERIFY2(QString::fromStdString(wordsOf(opened.failure())).contains(reason),
                 qPrintable(QString::fromStdString(wordsOf(opened.failure()))));
    }
    QCOMPARE(digest(path), before);
}

void TestImageDrive::notADrive_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("said");

    QTest::newRow("an empty file") << "empty" << "too small";
    QTest::newRow("nothing but zeros") << "zeros" << "an empty disk";
    QTest::newRow("an ext4 file system") << "ext4" << "ext2, ext3 or ext4";
    QTest::newRow("a GPT partition table") << "gpt" << "GPT partition table";
    QTest::newRow("partitions, none of them FAT") << "linux" << "without a FAT partition (its partitions are of type 83)";
    QTest::newRow("a boot sector that claims too much") << "lies" << "claims more sectors than the partition has";
    QTest::newRow("a partition beyond the disk") << "beyond" << "does not lie within the disk";
    QTest::newRow("qcow2 without qemu-nbd") << "no server" << "needs qemu-nbd, which the Debian package qemu-utils brings";
}

void TestImageDrive::notADrive()
{
    QFETCH(QString, what);
    QFETCH(QString, said);

    TestImage image(Fat::Fat16, what == "beyond");
    QString path = image.rawPath();
    const auto sfdisk = [&](const QString &script) {
        QProcess tool;
        tool.start("sfdisk", {"--no-reread", "--no-tell-kernel", "-q", path});
        tool.waitForStarted();
        tool.write(script.toLatin1());
        tool.closeWriteChannel();
        QVERIFY(tool.waitForFinished(30000) && tool.exitCode() == 0);
    };
    QFile file(path);
    if (what == "empty" || what == "zeros") {
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        if (what == "zeros")
            QVERIFY(file.resize(1 << 20));
        file.close();
    } else if (what == "ext4") {
        QFile::remove(path);
        TestImage::run("mkfs.ext4", {"-q", "-F", path, "4096"});
    } else if (what == "gpt" || what == "linux") {
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(8 << 20));
        file.close();
        sfdisk(what == "gpt" ? "label: gpt\nsize=4096, type=L\n" : "start=2048, type=83\n");
    } else if (what == "lies") {
        image.patch(32, QByteArray("\xff\xff\xff\x0f", 4));
        image.patch(19, QByteArray(2, '\0'));
    } else if (what == "beyond") {
        image.patch(446 + 12, QByteArray("\x00\x00\x10\x00", 4));
    } else if (what == "no server") {
        path = image.as("qcow2");
        qputenv("PATH", "/nowhere");
    }
    const QByteArray before = TestImage::bytes(path);
    Result<std::unique_ptr<ImageDrive>> opened = ImageDrive::open(path.toStdString());
    if (what == "no server")
        qputenv("PATH", "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
    QVERIFY(!opened);
    QVERIFY2(QString::fromStdString(wordsOf(opened.failure())).contains(said),
             qPrintable(QString::fromStdString(wordsOf(opened.failure()))));
    QCOMPARE(TestImage::bytes(path), before);
}

// A commit that fails at any one of its writes (the disk full, the device
// gone) leaves the drive whole: at worst clusters no entry names, which
// ScanDisk gives back, and the second FAT behind the first, which it takes;
// every file that stays is as it was.
void TestImageDrive::failedCommits()
{
    TestImage image(Fat::Fat32);
    fillDrive(image);
    const QString pristine = image.folderPath() + "/pristine.img";
    QVERIFY(QFile::copy(image.rawPath(), pristine));
    const QByteArray win = image.content(pristine, "WINDOWS/WIN.INI");
    int struck = 0;
    for (long at = 1;; ++at) {
        QFile::remove(image.rawPath());
        QVERIFY(QFile::copy(pristine, image.rawPath()));
        FaultySystemCalls calls;
        ImageDrive::Options options;
        options.calls = &calls;
        const std::unique_ptr<FileServices> files = filesOn(image.rawPath(), options);
        files->changeDirectory("C:\\WINDOWS\\TEMP");
        calls.arm(at, EIO, "pwrite");
        Heard heard;
        try {
            files->deleteByPattern("*.*", &heard);
        } catch (const FileError &error) {
            if (!calls.struck()) {
                QCOMPARE(error.number(), 75);
                break;
            }
            QCOMPARE(error.number(), 57);
            // Nothing the clean told of as deleted failed to go.
            QVERIFY(heard.deleted.empty());
        }
        ++struck;
        const QString listing = image.listing(image.rawPath());
        QCOMPARE(image.fsckProblems(image.rawPath(), {"Reclaimed", "Free cluster summary", "Auto-correcting",
                                                      "FATs differ but appear to be intact.", "Using first FAT."}),
                 QString());
        QCOMPARE(image.content(image.rawPath(), "WINDOWS/WIN.INI"), win);
        QVERIFY(listing.contains("ZZ.TMP") && listing.contains("HIDDEN.TMP"));
    }
    qInfo("a failure struck each of %d writes of the commit", struck);
    QVERIFY(struck >= 2);
}

// A file that finds no room for its entry (FAT16's root has its 64 records
// here, all but one taken; the file needs two) is not written, "Disk full", and takes back the cluster it took
// for its text: the deletes that follow in the same hold leave no chain
// that no entry names.
void TestImageDrive::aWriteWithoutRoom()
{
    TestImage image(Fat::Fat16);
    TestImage::run("mkfs.fat", {"-F", "16", "-r", "64", "-C", image.folderPath() + "/small.img", "32768"});
    const QString path = image.folderPath() + "/small.img";
    for (int i = 0; i < 62; ++i)
        TestImage::run("mcopy", {"-i", path, "/dev/null", QStringLiteral("::/FILE%1.TMP").arg(i)});
    TestImage::run("mmd", {"-i", path, "::/TEMP"});
    TestImage::run("mcopy", {"-i", path, "/etc/hostname", "::/TEMP/JUNK.TMP"});
    {
        const std::unique_ptr<FileServices> files = filesOn(path);
        const FileServices::Hold hold(*files);
        files->openForOutput(1, "cleaner.txt");
        files->writeRecord(1, "Hello World");
        try {
            files->closeAll();
            QFAIL("a file was written into a full root folder");
        } catch (const FileError &error) {
            QCOMPARE(error.number(), 61);
        }
        files->deleteByPattern("C:\\TEMP\\*.*");
    }
    QCOMPARE(image.fsckProblems(path), QString());
    QVERIFY(!image.listing(path).contains("cleaner.txt"));
    QVERIFY(!image.listing(path).contains("JUNK.TMP"));
}

// A program that opens the image while a clean holds it: a raw image is
// under the clean's lease, and the program waits until the hold is over; of
// another format, the next commit finds it, and nothing more is written.
void TestImageDrive::openedDuringAHold_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("raw") << "raw";
    QTest::newRow("qcow2") << "qcow2";
}

void TestImageDrive::openedDuringAHold()
{
    QFETCH(QString, format);
    TestImage image(Fat::Fat16);
    fillDrive(image);
    image.file("WINDOWS/TEMP/LATER.TMP", "later");
    const QString path = image.as(format);
    Holder holder;
    {
        const std::unique_ptr<FileServices> files = filesOn(path);
        const FileServices::Hold hold(*files);
        files->changeDirectory("C:\\WINDOWS\\TEMP");
        files->deleteByPattern("A.TMP");
        auto opener = std::make_unique<QProcess>();
        opener->setProcessChannelMode(QProcess::MergedChannels);
        opener->start("sh", {"-c", "exec 3<\"$0\"; echo ready; read -r _", path});
        QVERIFY(opener->waitForStarted(10000));
        if (format == "raw") {
            // Its open waits on the lease.
            QVERIFY(!opener->waitForReadyRead(500));
        } else {
            QVERIFY(opener->waitForReadyRead(10000));
            try {
                files->deleteByPattern("LATER.TMP");
                QFAIL("the clean went on writing to an image another program opened");
            } catch (const FileError &error) {
                QCOMPARE(error.number(), 75);
                const QString named = QStringLiteral("in use by sh (PID %1)").arg(opener->processId());
                QVERIFY2(QString::fromStdString(error.hostReason()).startsWith(named), error.hostReason().c_str());
            }
        }
        holder.process = std::move(opener);
    }
    if (format == "raw")
        QVERIFY(holder.process->waitForReadyRead(10000));
    const QString listing = image.listing(path);
    QVERIFY2(!listing.contains("A.TMP"), qPrintable(listing));
    QVERIFY2(listing.contains("LATER.TMP"), qPrintable(listing));
    QCOMPARE(image.fsckProblems(path), QString());
}

QTEST_GUILESS_MAIN(TestImageDrive)
#include "tst_image_drive.moc"
