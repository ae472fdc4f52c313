#include "mainwindow.h"

#include "style.h"
#include "ui_mainwindow.h"

#include <QMouseEvent>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), settingsCreated(0)
{
    registerEmbeddedFonts(); // before the form names its families
    ui->setupUi(this);
}

MainWindow::~MainWindow()
{
    delete ui;
}

// The window has no system frame, so it moves itself while the left button drags it.
void MainWindow::mousePressEvent(QMouseEvent *event)
{
    dragOffset = event->globalPos() - QPoint(geometry().x(), geometry().y());
    dragging = event->button() == Qt::LeftButton;
}

void MainWindow::mouseMoveEvent(QMouseEvent *event)
{
    // Moves that a pressed button ignores (the mouse left it) also arrive here.
    if (dragging && (event->buttons() & Qt::LeftButton))
        move(event->globalPos() - dragOffset);
}

void MainWindow::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        dragging = false;
}
