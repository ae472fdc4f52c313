// bench-startup-launcher: the launcher's own main(), compiled in under another name, so that
// this program builds exactly what the launcher builds; firstpaint.cpp ends it at the first
// painted window. The launcher carries no hook for this.
#include <QApplication>
#include <QLocale>
#include <QProgressBar>
#include <QTranslator>

#define main embercrestLauncherMain
#include "app/main.cpp"
#undef main

int main(int argc, char *argv[])
{
    return embercrestLauncherMain(argc, argv);
}
