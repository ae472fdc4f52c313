#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Measures how responsive the event loop stays: a repeating 10 ms timer notes how much later
// than due each tick comes. A tick can only be late when something held the loop.
class StallMeter final : public QObject
{
    Q_OBJECT

public:
    explicit StallMeter(QObject *parent = nullptr);

    void start();
    void stop();

    // The worst lateness seen between start() and stop(), in milliseconds.
    double worstMs() const { return worstNs / 1e6; }
    int ticks() const { return tickCount; }

private:
    void tick();

    static constexpr int IntervalMs = 10;
    QTimer timer;
    QElapsedTimer clock;
    qint64 lastTickNs = 0;
    qint64 worstNs = 0;
    int tickCount = 0;
};
