#include "support/TestImage.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include <stdexcept>

namespace {

std::uint32_t le(const QByteArray &bytes, qsizetype at, int length)
{
    std::uint32_t value = 0;
    for (int i = length - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

} // namespace

QString TestImage::run(const QString &program, const QStringList &arguments)
{
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Debian keeps mkfs.fat and fsck.fat out of an ordinary user's path.
    environment.insert("PATH", environment.value("PATH") + ":/usr/sbin:/sbin");
    environment.insert("MTOOLS_SKIP_CHECK", "1");
    environment.insert("LC_ALL", "C.UTF-8");
    tool.setProcessEnvironment(environment);
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(program, arguments);
    if (!tool.waitForFinished(120000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        throw std::runtime_error((program + " " + arguments.join(' ') + " failed: "
                                  + QString::fromUtf8(tool.readAll()))
                                     .toStdString());
    return QString::fromUtf8(tool.readAll());
}

TestImage::TestImage(Fat fat, bool partitioned)
    : m_fat(fat)
    , m_partitioned(partitioned)
{
    if (!m_dir.isValid())
        throw std::runtime_error("no temporary folder for an image");
    m_raw = m_dir.filePath("disk.img");
    // Small drives, each of its kind: FAT32 needs 65,525 clusters at the
    // least, which one-sector clusters give on 40 MB.
    const QString size = fat == Fat::Fat12 ? "4096" : fat == Fat::Fat16 ? "32768" : "40000";
    QStringList format{"-F", fat == Fat::Fat12 ? "12" : fat == Fat::Fat16 ? "16" : "32", "-n", "WIN98"};
    if (fat == Fat::Fat32)
        format << "-s" << "1";
    if (!partitioned) {
        run("mkfs.fat", format << "-C" << m_raw << size);
        return;
    }
    const QString drive = m_dir.filePath("drive.fs");
    run("mkfs.fat", format << "-h" << "63" << "-C" << drive << size);
    const qint64 driveBytes = QFile(drive).size();
    QFile disk(m_raw);
    if (!disk.open(QIODevice::WriteOnly) || !disk.resize(63 * 512 + driveBytes))
        throw std::runtime_error("cannot make " + m_raw.toStdString());
    disk.close();
    QProcess sfdisk;
    sfdisk.start("sfdisk", {"--no-reread", "--no-tell-kernel", "-q", m_raw});
    sfdisk.waitForStarted();
    sfdisk.write(QStringLiteral("start=63, size=%1, type=%2\n")
                     .arg(driveBytes / 512)
                     .arg(fat == Fat::Fat32 ? "c" : "6")
                     .toLatin1());
    sfdisk.closeWriteChannel();
    if (!sfdisk.waitForFinished(30000) || sfdisk.exitCode() != 0)
        throw std::runtime_error("sfdisk failed: " + sfdisk.readAll().toStdString());
    run("dd", {"if=" + drive, "of=" + m_raw, "bs=512", "seek=63", "conv=notrunc", "status=none"});
    QFile::remove(drive);
}

QString TestImage::image(const QString &path) const
{
    return m_partitioned ? path + "@@" + QString::number(63 * 512) : path;
}

void TestImage::folder(const QString &path)
{
    run("mmd", {"-i", image(m_raw), "::/" + path});
}

void TestImage::file(const QString &path, const QByteArray &content, const QString &attributes)
{
    const QString local = m_dir.filePath("content");
    QFile write(local);
    if (!write.open(QIODevice::WriteOnly | QIODevice::Truncate) || write.write(content) != content.size())
        throw std::runtime_error("cannot write " + local.toStdString());
    write.close();
    run("mcopy", {"-i", image(m_raw), local, "::/" + path});
    if (!attributes.isEmpty())
        run("mattrib", QStringList{"-i", image(m_raw)} + attributes.split(' ') + QStringList{"::/" + path});
}

QString TestImage::as(const QString &format)
{
    if (format == "raw")
        return m_raw;
    const QString path = m_dir.filePath(QStringLiteral("disk%1.%2").arg(++m_converted).arg(format));
    QStringList arguments{"convert", "-f", "raw", "-O"};
    if (format == "vhd-fixed")
        arguments << "vpc" << "-o" << "subformat=fixed";
    else if (format == "vhd-dynamic")
        arguments << "vpc" << "-o" << "subformat=dynamic";
    else
        arguments << format;
    run("qemu-img", arguments << m_raw << path);
    return path;
}

QString TestImage::rawOf(const QString &path)
{
    if (path == m_raw)
        return path;
    const QString raw = m_dir.filePath(QStringLiteral("back%1.img").arg(++m_converted));
    run("qemu-img", {"convert", "-O", "raw", path, raw});
    return raw;
}

QString TestImage::listing(const QString &path)
{
    return run("mattrib", {"-/", "-i", image(rawOf(path)), "::/"});
}

QByteArray TestImage::content(const QString &path, const QString &dosPath)
{
    const QString local = m_dir.filePath("copied");
    QFile::remove(local);
    run("mcopy", {"-n", "-i", image(rawOf(path)), "::/" + dosPath, local});
    return bytes(local);
}

QString TestImage::fsckProblems(const QString &path, const QStringList &allowed)
{
    const QString raw = rawOf(path);
    QString drive = raw;
    if (m_partitioned) {
        drive = m_dir.filePath("checked.fs");
        run("dd", {"if=" + raw, "of=" + drive, "bs=512", "skip=63", "status=none"});
    }
    QProcess fsck;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", environment.value("PATH") + ":/usr/sbin:/sbin");
    fsck.setProcessEnvironment(environment);
    fsck.setProcessChannelMode(QProcess::MergedChannels);
    fsck.start("fsck.fat", {"-n", drive});
    fsck.waitForFinished(60000);
    QStringList problems;
    for (const QString &line : QString::fromUtf8(fsck.readAll()).split('\n', Qt::SkipEmptyParts)) {
        // The version, the summary and, after lost clusters, the words of
        // a check that changes nothing.
        if (line.startsWith("fsck.fat ") || line.startsWith(drive + ":") || line == "Leaving filesystem unchanged.")
            continue;
        bool fine = false;
        for (const QString &allowedStart : allowed)
            fine = fine || line.trimmed().startsWith(allowedStart);
        if (!fine)
            problems << line;
    }
    return problems.join('\n');
}

QByteArray TestImage::bytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return file.readAll();
}

std::uint64_t TestImage::recordOffset(const QByteArray &name11) const
{
    const QByteArray all = bytes(m_raw);
    for (qsizetype at = all.indexOf(name11); at >= 0; at = all.indexOf(name11, at + 1)) {
        if (at % 32 == static_cast<qsizetype>(driveOffset() % 32) && static_cast<unsigned char>(all[at + 11]) != 0x0F)
            return std::uint64_t(at);
    }
    throw std::runtime_error("no entry " + name11.toStdString() + " in the image");
}

std::uint32_t TestImage::firstCluster(const QByteArray &name11) const
{
    const QByteArray all = bytes(m_raw);
    const auto at = static_cast<qsizetype>(recordOffset(name11));
    return le(all, at + 26, 2) | (m_fat == Fat::Fat32 ? le(all, at + 20, 2) << 16 : 0);
}

std::uint32_t TestImage::lastCluster() const
{
    const QByteArray boot = bytes(m_raw).mid(qsizetype(driveOffset()), 512);
    const std::uint32_t sector = le(boot, 11, 2);
    const std::uint32_t total = le(boot, 19, 2) != 0 ? le(boot, 19, 2) : le(boot, 32, 4);
    const std::uint32_t fatSectors = le(boot, 22, 2) != 0 ? le(boot, 22, 2) : le(boot, 36, 4);
    const std::uint32_t data = le(boot, 14, 2) + le(boot, 16, 1) * fatSectors + (le(boot, 17, 2) * 32 + sector - 1) / sector;
    return (total - data) / le(boot, 13, 1) + 1;
}

void TestImage::patch(std::uint64_t offset, const QByteArray &bytes)
{
    QFile file(m_raw);
    if (!file.open(QIODevice::ReadWrite) || !file.seek(qint64(offset)) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot patch " + m_raw.toStdString());
}

void TestImage::setFatEntry(std::uint32_t cluster, std::uint32_t value, bool everyCopy)
{
    if (m_fat == Fat::Fat12)
        throw std::runtime_error("12-bit FAT entries are not set by hand here");
    const QByteArray boot = bytes(m_raw).mid(qsizetype(driveOffset()), 512);
    const std::uint64_t sector = le(boot, 11, 2);
    const std::uint64_t fatBytes = (le(boot, 22, 2) != 0 ? le(boot, 22, 2) : le(boot, 36, 4)) * sector;
    const std::uint64_t first = driveOffset() + le(boot, 14, 2) * sector;
    const int width = m_fat == Fat::Fat16 ? 2 : 4;
    QByteArray entry(width, '\0');
    for (int i = 0; i < width; ++i)
        entry[i] = static_cast<char>(value >> (8 * i));
    for (unsigned copy = 0; copy < (everyCopy ? static_cast<unsigned char>(boot[16]) : 1u); ++copy)
        patch(first + copy * fatBytes + std::uint64_t(cluster) * unsigned(width), entry);
}

std::uint32_t TestImage::fatEntry(std::uint32_t cluster) const
{
    const QByteArray all = bytes(m_raw);
    const QByteArray boot = all.mid(qsizetype(driveOffset()), 512);
    const std::uint64_t first = driveOffset() + le(boot, 14, 2) * le(boot, 11, 2);
    const int width = m_fat == Fat::Fat16 ? 2 : 4;
    return le(all, qsizetype(first + std::uint64_t(cluster) * unsigned(width)), width);
}
