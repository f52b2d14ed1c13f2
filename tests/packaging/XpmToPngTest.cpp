#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// Runs the build-time icon tool as the build does, on small pictures written
// here, and looks at the PNG it leaves.
class XpmToPngTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void convertsPicture_data();
    void convertsPicture();
    void refusesBadInput_data();
    void refusesBadInput();

private:
    struct Run {
        int exitCode = -1;
        QByteArray errors;
    };
    Run run(const QByteArray &input, const QString &size);
    QString inputPath() const { return m_dir->filePath(QStringLiteral("in.xpm")); }
    QString outputPath() const { return m_dir->filePath(QStringLiteral("out.png")); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

// Two by two: mask grey, navy / dark grey, "None".
const QByteArray twoByTwo = R"(/* XPM */
static const char *pic[] = {
"2 2 4 1",
". c #C0C0C0",
"n c #000080",
"g c #808080",
"  c None",
".n",
"g "
};
)";

QImage expectedTwoByTwo()
{
    QImage image(2, 2, QImage::Format_ARGB32);
    image.setPixel(0, 0, qRgba(0, 0, 0, 0));
    image.setPixel(1, 0, qRgb(0, 0, 128));
    image.setPixel(0, 1, qRgb(128, 128, 128));
    image.setPixel(1, 1, qRgba(0, 0, 0, 0));
    return image;
}

} // namespace

void XpmToPngTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

XpmToPngTest::Run XpmToPngTest::run(const QByteArray &input, const QString &size)
{
    QFile file(inputPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(input) != input.size())
        qFatal("cannot write the test picture");
    file.close();

    QProcess process;
    process.start(QStringLiteral(XPM_TO_PNG), {inputPath(), outputPath(), size});
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        qFatal("the icon tool did not finish");
    return {process.exitCode(), process.readAllStandardError()};
}

void XpmToPngTest::convertsPicture_data()
{
    QTest::addColumn<QByteArray>("xpm");
    QTest::addColumn<QImage>("expected");

    QTest::newRow("mask grey and None transparent, other colours kept")
        << twoByTwo << expectedTwoByTwo();

    QByteArray almostGrey = twoByTwo;
    almostGrey.replace("#C0C0C0", "#C0C0C1");
    QImage opaque = expectedTwoByTwo();
    opaque.setPixel(0, 0, qRgb(192, 192, 193));
    QTest::newRow("a grey one step off the mask stays opaque") << almostGrey << opaque;
}

void XpmToPngTest::convertsPicture()
{
    QFETCH(QByteArray, xpm);
    QFETCH(QImage, expected);

    const Run result = run(xpm, QStringLiteral("2"));
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.errors.isEmpty(), result.errors.constData());

    QImage written(outputPath(), "PNG");
    QVERIFY(!written.isNull());
    QVERIFY(written.hasAlphaChannel());
    QCOMPARE(written.convertToFormat(QImage::Format_ARGB32), expected);
}

void XpmToPngTest::refusesBadInput_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("size");

    QTest::newRow("picture smaller than asked") << twoByTwo << QStringLiteral("16");
    QTest::newRow("picture larger than asked") << twoByTwo << QStringLiteral("1");
    QTest::newRow("size not a number") << twoByTwo << QStringLiteral("two");
    QTest::newRow("size zero") << twoByTwo << QStringLiteral("0");
    QTest::newRow("not an XPM") << QByteArray("just text\n") << QStringLiteral("2");
    QTest::newRow("truncated XPM") << twoByTwo.left(70) << QStringLiteral("2");
}

void XpmToPngTest::refusesBadInput()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, size);

    const Run result = run(input, size);
    QVERIFY(result.exitCode != 0);
    QVERIFY2(result.errors.contains("xpm-to-png: "), result.errors.constData());
    QVERIFY2(!QFile::exists(outputPath()), "a refused picture must leave no icon behind");
}

QTEST_GUILESS_MAIN(XpmToPngTest)
#include "XpmToPngTest.moc"
