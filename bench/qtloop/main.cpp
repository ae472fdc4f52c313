// bench-qtloop MODE LIST: downloads every "URL<TAB>target path" line of LIST one after another
// with a bare Qt loop, then prints one BENCH-RESULT line. MODE is plain, savefile or
// renamesync (see Downloader::Mode). BENCH_READ_BUFFER sets the reply's read buffer in bytes
// (default 1 MiB; 0 is Qt's own default, unlimited).
#include "benchprobe.h"
#include "downloader.h"
#include "stallmeter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>

#include <cstdio>

namespace {

QList<Downloader::Job> readJobs(const QString &listPath, bool *ok)
{
    QList<Downloader::Job> jobs;
    QFile list(listPath);
    *ok = list.open(QIODevice::ReadOnly | QIODevice::Text);
    while (*ok && !list.atEnd()) {
        const QList<QByteArray> fields = list.readLine().trimmed().split('\t');
        if (fields.size() == 2)
            jobs.append({QUrl::fromEncoded(fields.at(0)), QString::fromUtf8(fields.at(1))});
    }
    return jobs;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QHash<QString, Downloader::Mode> modes{
        {QStringLiteral("plain"), Downloader::Mode::Plain},
        {QStringLiteral("savefile"), Downloader::Mode::SaveFile},
        {QStringLiteral("renamesync"), Downloader::Mode::RenameSync},
    };
    const QStringList args = QCoreApplication::arguments();
    bool listOk = false;
    const QList<Downloader::Job> jobs =
        args.size() == 3 ? readJobs(args.at(2), &listOk) : QList<Downloader::Job>();
    if (!listOk || !modes.contains(args.at(1))) {
        std::fprintf(stderr, "usage: bench-qtloop plain|savefile|renamesync LIST\n");
        return 2;
    }
    bool ok = false;
    const qint64 bufferSetting = qEnvironmentVariableIntValue("BENCH_READ_BUFFER", &ok);
    const qint64 readBuffer = ok && bufferSetting >= 0 ? bufferSetting : 1024 * 1024;

    Downloader downloader(modes.value(args.at(1)), readBuffer, jobs);
    StallMeter stalls;
    QElapsedTimer clock;
    const qint64 idleRss = BenchProbe::statusKib("VmRSS");
    const bool peakReset = BenchProbe::resetPeak();
    QObject::connect(&downloader, &Downloader::done, &application, &QCoreApplication::quit);
    stalls.start();
    clock.start();
    downloader.start();
    QCoreApplication::exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    stalls.stop();
    const qint64 peakRss = BenchProbe::statusKib("VmHWM");

    BenchProbe::printResult({
        {QStringLiteral("outcome"), downloader.failed() == 0 ? "finished" : "failed"},
        {QStringLiteral("seconds"), seconds},
        {QStringLiteral("saved"), downloader.saved()},
        {QStringLiteral("failed"), downloader.failed()},
        {QStringLiteral("read_buffer"), readBuffer},
        {QStringLiteral("idle_rss_kib"), idleRss},
        {QStringLiteral("peak_rss_kib"), peakRss},
        {QStringLiteral("peak_above_idle_kib"), BenchProbe::aboveIdle(peakRss, idleRss, peakReset)},
        {QStringLiteral("worst_stall_ms"), stalls.worstMs()},
    });
    return downloader.failed() == 0 ? 0 : 1;
}
