#include "mainwindow.h"

void MainWindow::SelectWotlk() {}
void MainWindow::SelectLegion() {}
bool MainWindow::RunClient()
{
    return true;
}
