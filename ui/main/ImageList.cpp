#include "ui/main/ImageList.h"

#include "ui/ClassicWindow.h"

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
        const QPixmap picture = classicPicture(QStringLiteral(":/main/%1%2.xpm").arg(name).arg(size));
        if (!picture.isNull())
            icon.addPixmap(picture);
    }
    return icon;
}
