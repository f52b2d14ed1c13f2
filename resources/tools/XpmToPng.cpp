// Turns one of the XPM pictures into the PNG that desktop menus want, at
// build time, so the installed icons can never drift from the ones compiled
// into the program.
//
//   xpm-to-png INPUT.xpm OUTPUT.png SIZE
//
// The picture must already be SIZE by SIZE: scaling 16-colour pixel art
// would blur it, so a picture of the wrong size is an error, not a resize.
// Light grey (192, 192, 192) is the pictures' mask colour and becomes
// transparent, as it is when the program draws them.

#include <QCoreApplication>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QTextStream>

namespace {

constexpr QRgb maskColour = qRgb(192, 192, 192);

int fail(const QString &message)
{
    QTextStream(stderr) << "xpm-to-png: " << message << '\n';
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4)
        return fail(QStringLiteral("usage: xpm-to-png INPUT.xpm OUTPUT.png SIZE"));

    const QString &input = args.at(1);
    const QString &output = args.at(2);
    bool sizeOk = false;
    const int size = args.at(3).toInt(&sizeOk);
    if (!sizeOk || size <= 0)
        return fail(QStringLiteral("size must be a positive number: %1").arg(args.at(3)));

    QImage image(input, "XPM");
    if (image.isNull())
        return fail(QStringLiteral("cannot read %1 as XPM").arg(input));
    if (image.width() != size || image.height() != size)
        return fail(QStringLiteral("%1 is %2 by %3 pixels, not %4 by %4")
                        .arg(input)
                        .arg(image.width())
                        .arg(image.height())
                        .arg(size));

    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (line[x] == maskColour)
                line[x] = qRgba(0, 0, 0, 0);
        }
    }

    if (!image.save(output, "PNG"))
        return fail(QStringLiteral("cannot write %1").arg(output));
    return 0;
}
