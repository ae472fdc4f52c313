#include "mainwindow.h"

void MainWindow::BarChange_Format() {}
void MainWindow::BarChange_HaveUpd() {}
void MainWindow::BarChange_Value(qint64, qint64, QString) {}
void MainWindow::BarChange_CNF() {}
void MainWindow::BarChange_DwdFd() {}
void MainWindow::BarChange_Hide() {}
void MainWindow::BarChange_Show() {}
void MainWindow::BarChange_DwdFailed() {}
