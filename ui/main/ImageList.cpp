#include "ImageList.h"

#include <QBitmap>
#include <QColor>
#include <QPixmap>

ImageList::ImageList(QObject *parent)
    : QObject(parent)
{
    setObjectName(QStringLiteral("ImageList1"));
    for (const char *name : {"brightsweep", "options", "exit", "info", "help"})
        m_images.append(artwork(QString::fromLatin1(name)));
}

QIcon ImageList::image(int number) const
{
    if (number < 1 || number > count())
        return {};
    return m_images.at(number - 1);
}

QIcon ImageList::applicationIcon()
{
    return artwork(QStringLiteral("brightsweep"));
}

QIcon ImageList::artwork(const QString &name)
{
    QIcon icon;
    for (int size : {32, 16}) {
        QPixmap picture(QStringLiteral(":/main/%1%2.xpm").arg(name).arg(size));
        if (picture.isNull())
            continue;
        // The pictures keep the classic mask colour instead of an alpha
        // channel, so the artwork stays plain 16-colour XPM.
        picture.setMask(picture.createMaskFromColor(QColor(192, 192, 192), Qt::MaskInColor));
        icon.addPixmap(picture);
    }
    return icon;
}
