// The least a Qt main window costs: the floor the real program's start-up is
// measured against. It carries the program's title so that the same window
// search finds both.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Win 95/98 Brightsweep"));
    window.show();
    return app.exec();
}
