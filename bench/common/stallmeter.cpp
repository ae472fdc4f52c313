#include "stallmeter.h"

StallMeter::StallMeter(QObject *parent) : QObject(parent)
{
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(IntervalMs);
    connect(&timer, &QTimer::timeout, this, &StallMeter::tick);
}

void StallMeter::start()
{
    worstNs = 0;
    tickCount = 0;
    clock.start();
    lastTickNs = 0;
    timer.start();
}

void StallMeter::stop()
{
    // The stretch since the last tick counts too: a stall right before the end is a stall.
    tick();
    timer.stop();
}

void StallMeter::tick()
{
    const qint64 now = clock.nsecsElapsed();
    worstNs = qMax(worstNs, now - lastTickNs - qint64(IntervalMs) * 1000000);
    lastTickNs = now;
    ++tickCount;
}
