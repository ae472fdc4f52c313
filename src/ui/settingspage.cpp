#include "mainwindow.h"

void MainWindow::OpenSettings() {}
void MainWindow::MinimizeOnPlayChanged() {}
bool MainWindow::SelectWotlkExe()
{
    return true;
}
bool MainWindow::SelectLegionExe()
{
    return true;
}
