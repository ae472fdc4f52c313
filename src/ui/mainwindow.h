#pragma once

#include <QMainWindow>
#include <QPoint>
#include <QString>

class QProgressBar;

namespace Ui {
class MainWindow;
}

// The launcher's only top-level window. Its widgets come from the Designer form; code outside
// the form finds them by object name when it needs them, so the form stays the one place that
// knows how the window is built.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

signals:
    void ConfigNotFound();
    void SettingsSaved();

public slots:
    // Settings page (settingspage.cpp)
    void OpenSettings();
    // Progress bar states (statusbar.cpp)
    void BarChange_Format();
    void BarChange_HaveUpd();
    void BarChange_Value(qint64 recieved, qint64 total, QString filename);
    void BarChange_CNF();
    void BarChange_DwdFd();
    void BarChange_Hide();
    void BarChange_Show();
    // Client choice and launch (clientlaunch.cpp)
    void SelectWotlk();
    void SelectLegion();
    // Settings page (settingspage.cpp)
    void MinimizeOnPlayChanged();
    // Client choice and launch (clientlaunch.cpp)
    bool RunClient();
    // Settings page (settingspage.cpp)
    bool SelectWotlkExe();
    bool SelectLegionExe();
    // Progress bar states (statusbar.cpp): a download run that did not save every file; an
    // update check that found no manifest to read; a manifest refused for its signature,
    // serial or expiry.
    void BarChange_DwdFailed();
    void BarChange_CheckFailed();
    void BarChange_UpdateRefused();

private:
    Ui::MainWindow *ui;
    QPoint dragOffset;
    int settingsCreated;
    QString currentClient;
    // True only between a left-button press on the window itself and its release, so that
    // a drag begun on a button and moved off it never moves the window.
    bool dragging = false;

    // Client choice and launch (clientlaunch.cpp): a Windows client without a Wine to run it.
    void showClientStartProblem(const QString &missingCommand);

    // Progress bar states (statusbar.cpp)
    QProgressBar *loadProgress() const;
    void showLoadProgress();
    void hideLoadProgressLater();
    // Counts the times a state showed the bar or a download reported progress on it. A deferred
    // hide remembers the count it was scheduled at and does nothing once it has moved on.
    quint64 loadProgressShown = 0;
};
