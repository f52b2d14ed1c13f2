#pragma once

#include <QIcon>
#include <QList>
#include <QObject>

// ImageList1: the main window's five toolbar pictures, never shown by
// itself. Pictures are numbered from 1 like the toolbar's image indices.
class ImageList : public QObject
{
    Q_OBJECT

public:
    explicit ImageList(QObject *parent);

    int count() const { return static_cast<int>(m_images.size()); }
    QIcon image(int number) const;

    // The pencil, also the program's own icon.
    static QIcon applicationIcon();

    // One picture from the compiled-in artwork (32 and 16 pixels), with the
    // light grey mask colour made transparent.
    static QIcon artwork(const QString &name);

private:
    QList<QIcon> m_images;
};
