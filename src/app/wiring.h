#pragma once

class QObject;
class MainWindow;
class AppConfig;
class QProgressBar;

// The window and the updater never call each other: every message between them, and every
// button of the window, goes through the connections made here once at start-up.
void connectLauncher(QObject *application, MainWindow &window, AppConfig &updater);

// Dresses and shows the freshly built window the way a start-up does: frameless, "Checking
// updates..." on the bar, every connection made, the embedded style sheet. Returns the bar.
QProgressBar *showLauncher(QObject *application, MainWindow &window, AppConfig &updater);

// The first run, with no "config.conf" in the working directory: opens the settings page while
// nothing is stored yet (so its fields start empty), then writes the defaults and hides the bar.
// No update check starts until a WOTLK executable is chosen there. Returns whether it ran.
bool runFirstRunIfNeeded(MainWindow &window, QProgressBar *progressBar);

// Under the starter: logs what it decided and, for a version on trial, declares it healthy once
// the window has shown (call it after showLauncher) and a check of the update server has ended.
void watchLauncherHealth(AppConfig &updater);
