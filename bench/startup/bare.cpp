// bench-startup-bare: the yardstick for start-up, a bare main window of the launcher's size.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QMainWindow window;
    window.resize(1176, 720);
    window.show();
    return QApplication::exec();
}
