#include "mainwindow.h"

#include "style.h"
#include "ui_mainwindow.h"

#include <QMouseEvent>

namespace {

// Screen position of the pointer, in the same integral form under Qt 5 and Qt 6.
QPoint globalPointOf(const QMouseEvent *event)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return event->globalPosition().toPoint();
#else
    return event->globalPos();
#endif
}

} // namespace

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

// The window has no system frame, so it moves itself while the left button drags it. Any
// button's press records the offset; only a left press on the window starts a drag, and a second
// button pressed during it does not end it.
void MainWindow::mousePressEvent(QMouseEvent *event)
{
    dragOffset = globalPointOf(event) - QPoint(geometry().x(), geometry().y());
    if (event->button() == Qt::LeftButton)
        dragging = true;
}

void MainWindow::mouseMoveEvent(QMouseEvent *event)
{
    // Moves that a pressed button ignores (the mouse left it) also arrive here.
    if (dragging && (event->buttons() & Qt::LeftButton))
        move(globalPointOf(event) - dragOffset);
}

void MainWindow::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        dragging = false;
}
