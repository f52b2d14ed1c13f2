// The about dialog, opened from a program started on a throw-away drive C:.

#include "runtime/FrmClean.h"
#include "support/DialogFrame.h"
#include "support/ProgramSession.h"
#include "support/TestDrive.h"
#include "ui/about/FrmAbout.h"
#include "ui/main/FrmCleaner.h"

#include <QApplication>
#include <QBitmap>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QWindow>

#include <memory>

class TestFrmAbout : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowFrame();
    void controls_data();
    void controls();
    void noticeFitsItsLabel();
    void picture();

    void okHoldsTheFocusWhenOpened();
    void keysAndClicks_data();
    void keysAndClicks();
    void askingTwiceShowsOneDialog();
    void exitWithAboutOpenEndsOnlyWhenItCloses();

private:
    FrmAbout &openAbout() { return m_session->openAbout(); }

    std::unique_ptr<TestDrive> m_drive;
    std::unique_ptr<ProgramSession> m_session;
};

void TestFrmAbout::init()
{
    m_drive = std::make_unique<TestDrive>();
    m_drive->folder("WINDOWS");
    m_session = std::make_unique<ProgramSession>(*m_drive);
    QVERIFY(m_session->start());
}

void TestFrmAbout::cleanup()
{
    QCOMPARE(m_session->failureNumbers(), QList<int>());
    m_session.reset();
    m_drive.reset();
}

void TestFrmAbout::windowFrame()
{
    FrmAbout &dialog = openAbout();
    checkFixedDialogFrame(dialog, QStringLiteral("About MyApp"), QSize(312, 123));
    if (QTest::currentTestFailed())
        return;
    // Modeless: the main window is still there and usable.
    QVERIFY(m_session->window().isVisible());
    QVERIFY(m_session->window().isEnabled());
}

void TestFrmAbout::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("caption"); // a prefix for the notice
    QTest::addColumn<QRect>("geometry");

    // Twips of the drawn layout divided by 15.
    QTest::newRow("imgCurrentMoon") << "imgCurrentMoon" << "QLabel" << QString() << QRect(8, 8, 36, 36);
    QTest::newRow("Label1") << "Label1" << "QLabel" << "Win 95/98 Brightsweep" << QRect(56, 8, 249, 81);
    QTest::newRow("Command2") << "Command2" << "QPushButton" << "www." << QRect(56, 88, 173, 25);
    QTest::newRow("Command1") << "Command1" << "QPushButton" << "OK" << QRect(232, 88, 73, 25);
}

void TestFrmAbout::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);

    FrmAbout &dialog = openAbout();
    auto *control = dialog.findChild<QWidget *>(name);
    QVERIFY(control);
    QVERIFY(control->inherits(kind.toLatin1().constData()));
    QCOMPARE(control->geometry(), geometry);
    QVERIFY(control->isVisible());
    QVERIFY(control->isEnabled());
    if (auto *button = qobject_cast<QPushButton *>(control)) {
        QVERIFY(button->text().startsWith(caption));
        QVERIFY(!button->isDefault());
        QVERIFY(button->fontMetrics().horizontalAdvance(button->text()) < button->width() - 8);
    } else if (!caption.isEmpty()) {
        QVERIFY(qobject_cast<QLabel *>(control)->text().startsWith(caption));
    }
}

void TestFrmAbout::noticeFitsItsLabel()
{
    FrmAbout &dialog = openAbout();
    auto *label = dialog.findChild<QLabel *>(QStringLiteral("Label1"));
    QVERIFY(label->wordWrap());
    const QString notice = label->text();
    QVERIFY(notice.contains(QStringLiteral("1998")));
    QVERIFY(notice.contains(QStringLiteral("All rights reserved")));
    const QRect needed = label->fontMetrics().boundingRect(QRect(0, 0, label->width(), 10000),
                                                           Qt::AlignLeft | Qt::TextWordWrap, notice);
    QVERIFY(needed.height() <= label->height());
}

void TestFrmAbout::picture()
{
    FrmAbout &dialog = openAbout();
    const QPixmap shown = dialog.findChild<QLabel *>(QStringLiteral("imgCurrentMoon"))->pixmap();
    QCOMPARE(shown.size(), QSize(32, 32));
    const QImage image = shown.toImage().convertToFormat(QImage::Format_ARGB32);

    // The classic 16 colours only, light grey being the transparent mask.
    const QSet<QRgb> classic{0xff000000, 0xff800000, 0xff008000, 0xff808000, 0xff000080, 0xff800080,
                             0xff008080, 0xff808080, 0xffff0000, 0xff00ff00, 0xffffff00, 0xff0000ff,
                             0xffff00ff, 0xff00ffff, 0xffffffff};
    int transparent = 0;
    QSet<QRgb> used;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) == 0) {
                ++transparent;
                continue;
            }
            QVERIFY2(qAlpha(pixel) == 255, qPrintable(QStringLiteral("half-transparent at %1,%2").arg(x).arg(y)));
            QVERIFY2(classic.contains(pixel), qPrintable(QStringLiteral("%1 at %2,%3").arg(pixel, 8, 16).arg(x).arg(y)));
            used.insert(pixel);
        }
    }
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    QVERIFY(transparent > 200 && transparent < 32 * 32 - 200);
    // A yellow pencil with a pink eraser, not some other picture.
    QVERIFY(used.contains(0xffffff00));
    QVERIFY(used.contains(0xffff00ff));
}

void TestFrmAbout::okHoldsTheFocusWhenOpened()
{
    FrmAbout &dialog = openAbout();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(QApplication::focusWidget(), dialog.findChild<QWidget *>(QStringLiteral("Command1")));
    QTest::keyClick(&dialog, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), dialog.findChild<QWidget *>(QStringLiteral("Command2")));
}

void TestFrmAbout::keysAndClicks_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("closes");

    QTest::newRow("Enter right after opening") << "enter" << true;
    QTest::newRow("Space right after opening") << "space" << true;
    QTest::newRow("click OK") << "ok" << true;
    QTest::newRow("closed by the window system") << "window" << true;
    QTest::newRow("Esc") << "escape" << false;
    QTest::newRow("click the web address") << "web" << false;
    QTest::newRow("Enter on the web address") << "tab enter" << false;
}

void TestFrmAbout::keysAndClicks()
{
    QFETCH(QString, action);
    QFETCH(bool, closes);

    FrmAbout &dialog = openAbout();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    auto *command2 = dialog.findChild<QPushButton *>(QStringLiteral("Command2"));
    const QString address = command2->text();

    // Keys go where the user's keys go: to the widget that has the focus.
    if (action == QStringLiteral("enter")) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    } else if (action == QStringLiteral("space")) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    } else if (action == QStringLiteral("ok")) {
        QTest::mouseClick(dialog.findChild<QPushButton *>(QStringLiteral("Command1")), Qt::LeftButton);
    } else if (action == QStringLiteral("window")) {
        dialog.windowHandle()->close(); // "not closed": the dialog unloads itself
    } else if (action == QStringLiteral("escape")) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    } else if (action == QStringLiteral("web")) {
        QTest::mouseClick(command2, Qt::LeftButton);
    } else {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), command2);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    }

    QCOMPARE(m_session->program().isLoaded<FrmAbout>(), !closes);
    QCOMPARE(dialog.isVisible(), !closes);
    if (!closes)
        QCOMPARE(command2->text(), address);
    QVERIFY(m_session->program().isLoaded<FrmCleaner>());
}

void TestFrmAbout::askingTwiceShowsOneDialog()
{
    FrmAbout &first = openAbout();
    FrmAbout &second = openAbout();
    QCOMPARE(&second, &first);
    int shown = 0;
    for (QWidget *window : QApplication::topLevelWidgets())
        shown += qobject_cast<FrmAbout *>(window) && window->isVisible() ? 1 : 0;
    QCOMPARE(shown, 1);
}

void TestFrmAbout::exitWithAboutOpenEndsOnlyWhenItCloses()
{
    FrmAbout &dialog = openAbout();
    m_session->program().guard([this] { m_session->window().mnuExit_Click(); });
    QVERIFY(!m_session->program().isLoaded<FrmCleaner>());
    QVERIFY(!m_session->program().isLoaded<FrmClean>());
    QVERIFY(dialog.isVisible());
    QCOMPARE(m_session->endedCount(), 0);

    QTest::mouseClick(dialog.findChild<QPushButton *>(QStringLiteral("Command1")), Qt::LeftButton);
    QCOMPARE(m_session->endedCount(), 1);
    QVERIFY(!m_session->program().anyLoaded());
}

QTEST_MAIN(TestFrmAbout)
#include "test_frm_about.moc"
