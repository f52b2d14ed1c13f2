#pragma once

#include <QDialog>
#include <QTest>

// What both dialogs promise the window system: a top-level, modeless dialog
// of a fixed size whose title bar offers no button at all. A failed check
// returns early; callers test QTest::currentTestFailed() afterwards.
inline void checkFixedDialogFrame(const QDialog &dialog, const QString &title, QSize size)
{
    QCOMPARE(dialog.windowTitle(), title);
    QVERIFY(dialog.isWindow());
    QCOMPARE(dialog.parentWidget(), nullptr);
    QCOMPARE(dialog.windowType(), Qt::Dialog);
    QCOMPARE(dialog.size(), size);
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    const Qt::WindowFlags flags = dialog.windowFlags();
    QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
    QVERIFY(flags.testFlag(Qt::WindowTitleHint));
    for (Qt::WindowType button : {Qt::WindowSystemMenuHint, Qt::WindowCloseButtonHint, Qt::WindowMinimizeButtonHint,
                                  Qt::WindowMaximizeButtonHint, Qt::WindowContextHelpButtonHint})
        QVERIFY2(!flags.testFlag(button), qPrintable(QString::number(button, 16)));
    QVERIFY(dialog.isVisible());
    QVERIFY(!dialog.isModal());
}
