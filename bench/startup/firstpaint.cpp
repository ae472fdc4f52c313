// Linked into both start-up benchmarks: ends the process as soon as its first top-level window
// has painted, so that the wall time of the process is its time to the first shown window. It
// hooks in when the application object is built and needs nothing from the program itself.
#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

namespace {

class FirstPaintExit final : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!seen && event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget *>(watched)->isWindow()) {
            seen = true;
            // Queued, so the window's children finish painting and the frame is flushed first.
            QTimer::singleShot(0, [] {
                std::fflush(stdout);
                std::fflush(stderr);
                ::_exit(0); // no teardown: only the way up is measured
            });
        }
        return false;
    }

private:
    bool seen = false;
};

void installFirstPaintExit()
{
    qApp->installEventFilter(new FirstPaintExit(qApp));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installFirstPaintExit)
