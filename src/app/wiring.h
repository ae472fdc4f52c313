#pragma once

class QObject;
class MainWindow;
class AppConfig;

// The window and the updater never call each other: every message between them, and every
// button of the window, goes through the connections made here once at start-up.
void connectLauncher(QObject *application, MainWindow &window, AppConfig &updater);
