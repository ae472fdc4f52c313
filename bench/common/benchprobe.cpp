#include "benchprobe.h"

#include <QFile>
#include <QJsonDocument>

#include <cstdio>

namespace BenchProbe {

qint64 statusKib(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    // /proc files report a size of 0, so atEnd() would stop at once: split what readAll gives.
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (!line.startsWith(prefix))
            continue;
        bool ok = false;
        const qint64 value = line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong(&ok);
        return ok ? value : -1;
    }
    return -1;
}

bool resetPeak()
{
    // Writing 5 to clear_refs resets the peak resident size to the current one (Linux 4.0+).
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
           clearRefs.write("5") == 1;
}

void printResult(const QJsonObject &result)
{
    const QByteArray line = "BENCH-RESULT " + QJsonDocument(result).toJson(QJsonDocument::Compact);
    std::fprintf(stdout, "%s\n", line.constData());
    std::fflush(stdout);
}

} // namespace BenchProbe
