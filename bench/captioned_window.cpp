// A second floor for start-up: a Qt main window with what any window of
// this kind shows, a menu bar, a column of captioned check boxes and a
// status bar text. Its cost over the empty window is the toolkit's price
// for menus and text (font configuration, shaping, glyph rendering), which
// no program with a caption can avoid.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Win 95/98 Brightsweep"));
    QMenu *file = window.menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(QStringLiteral("E&xit"), &app, &QCoreApplication::quit);
    auto *client = new QWidget(&window);
    for (int i = 0; i < 6; ++i) {
        auto *box = new QCheckBox(QStringLiteral("Clean junk folder number %1").arg(i + 1), client);
        box->move(16, 16 + 24 * i);
    }
    window.setCentralWidget(client);
    window.statusBar()->addPermanentWidget(new QLabel(QStringLiteral("Brightsweep"), &window));
    window.resize(480, 300);
    window.show();
    return app.exec();
}
