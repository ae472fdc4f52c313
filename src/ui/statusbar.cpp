#include "mainwindow.h"

#include "config/delays.h"

#include <QDebug>
#include <QProgressBar>
#include <QTimer>

QProgressBar *MainWindow::loadProgress() const
{
    return findChild<QProgressBar *>(QStringLiteral("LoadProgress"), Qt::FindChildrenRecursively);
}

void MainWindow::showLoadProgress()
{
    ++loadProgressShown;
    loadProgress()->setVisible(true);
}

// A final status stays readable for a while, then the bar goes away, unless a later state
// (a download starting) has shown it again in the meantime.
void MainWindow::hideLoadProgressLater()
{
    const quint64 scheduledAt = loadProgressShown;
    QTimer::singleShot(Delays::statusHide(), this, [this, scheduledAt] {
        if (scheduledAt == loadProgressShown)
            BarChange_Hide();
    });
}

void MainWindow::BarChange_Format()
{
    loadProgress()->setFormat(tr("Updates checked!"));
    hideLoadProgressLater();
}

void MainWindow::BarChange_HaveUpd()
{
    showLoadProgress();
    loadProgress()->setFormat(tr("Preparing to update..."));
}

void MainWindow::BarChange_Value(qint64 recieved, qint64 total, QString filename)
{
    QProgressBar *bar = loadProgress();
    // A running download keeps the bar: a hide scheduled before this report (a re-pick of the
    // same client says "Updates checked!") no longer applies. The visibility stays as it is.
    ++loadProgressShown;
    // The network layer reports -1 until the size is known: nothing to divide by yet.
    if (total <= 0) {
        bar->setFormat(filename + QLatin1Char(' ') + QString::number(recieved) +
                       QLatin1String(" B"));
        return;
    }
    const int percent = static_cast<int>(recieved * 100 / total);
    // The bar shows a "%p", "%v" or "%m" of the name as it stands (StatusProgressBar).
    bar->setFormat(filename + QLatin1Char(' ') + QString::number(percent, 10) + QLatin1Char('%'));
    bar->setValue(percent);
}

void MainWindow::BarChange_CNF()
{
    loadProgress()->setFormat(tr("Client not found!"));
}

void MainWindow::BarChange_DwdFd()
{
    loadProgress()->setFormat(tr("Download finished!"));
    hideLoadProgressLater();
}

void MainWindow::BarChange_Hide()
{
    loadProgress()->setVisible(false);
}

void MainWindow::BarChange_Show()
{
    showLoadProgress();
}

// Stays up with no hide: the player has to see that the client is incomplete (the next start
// tries again).
void MainWindow::BarChange_DwdFailed()
{
    showLoadProgress();
    loadProgress()->setFormat(tr("Download failed!"));
}

// Final, like "Client not found!": it stays until another state replaces it, so the player can
// tell a dead update server from a slow one.
void MainWindow::BarChange_CheckFailed()
{
    showLoadProgress();
    loadProgress()->setFormat(tr("Update server unavailable"));
}

// Final too. The server answered, but the manifest was refused for its signature, serial or
// expiry: a newer launcher may trust it, and the player can do nothing else about it. The log
// gets the text as shown, beside the refusal's reason.
void MainWindow::BarChange_UpdateRefused()
{
    showLoadProgress();
    loadProgress()->setFormat(tr("Update refused: please update the launcher"));
    qDebug().noquote() << QStringLiteral("Status: ") + loadProgress()->format();
}
