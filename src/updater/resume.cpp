#include "resume.h"

#include "stagedfile.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace Resume {

QString partialPath(const QString &target)
{
    return target + QStringLiteral(".partial");
}

QString infoPath(const QString &target)
{
    return target + QStringLiteral(".partial.info");
}

bool isValidator(const QByteArray &value)
{
    if (value.isEmpty())
        return false;
    for (const char c : value) {
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

std::optional<PartialInfo> readInfo(const QString &target)
{
    QFile file(infoPath(target));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> lines = file.read(64 * 1024).split('\n');
    if (lines.size() < 3)
        return std::nullopt;
    PartialInfo info;
    info.url = QString::fromUtf8(lines.at(0));
    info.validator = lines.at(1);
    bool ok = false;
    info.total = lines.at(2).toLongLong(&ok);
    if (!ok || info.total < 0 || !isValidator(info.validator))
        return std::nullopt;
    return info;
}

bool writeInfo(const QString &target, const PartialInfo &info)
{
    QSaveFile file(infoPath(target));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(info.url.toUtf8() + '\n' + info.validator + '\n' + QByteArray::number(info.total) +
               '\n');
    return file.commit();
}

std::optional<PartialInfo> keptPartial(const QString &target, const QByteArray &url, qint64 total)
{
    std::optional<PartialInfo> info = readInfo(target);
    const QFileInfo partial(partialPath(target));
    if (!info || !partial.isFile() || partial.isSymLink()) {
        forget(target); // half a pair is of no use
        return std::nullopt;
    }
    info->have = partial.size();
    if (info->url != QString::fromLatin1(url) || info->total != total || info->have >= total) {
        qDebug().noquote() << QStringLiteral("Not resuming %1: its partial file of %2 bytes does "
                                             "not belong to this file of %3 bytes")
                                  .arg(target)
                                  .arg(info->have)
                                  .arg(info->total);
        forget(target);
        return std::nullopt;
    }
    return info;
}

void forget(const QString &target)
{
    QFile::remove(partialPath(target));
    QFile::remove(infoPath(target));
}

std::optional<PartialInfo> openKept(StagedFile &file, const QString &target, const QByteArray &url,
                                    qint64 total)
{
    // Another launcher's, in the making: left to it, and this one fetches the file itself.
    const auto inUse = [&target] {
        qDebug().noquote() << QStringLiteral(
                                  "Not resuming %1: another launcher is writing its partial file")
                                  .arg(target);
        return std::nullopt;
    };
    if (StagedFile::inUse(partialPath(target)))
        return inUse();
    const std::optional<PartialInfo> info = keptPartial(target, url, total);
    if (!info)
        return std::nullopt;
    const StagedFile::PartialOpen opened = file.openPartial(target, partialPath(target));
    if (opened == StagedFile::PartialOpen::InUse)
        return inUse();
    if (opened != StagedFile::PartialOpen::Opened) {
        forget(target);
        return std::nullopt;
    }
    qDebug().noquote() << QStringLiteral("Resuming %1 at %2 of %3 bytes")
                              .arg(target)
                              .arg(info->have)
                              .arg(info->total);
    return info;
}

void keepAcrossStarts(StagedFile &file, const QString &target, const QByteArray &url,
                      const QByteArray &validator, qint64 total)
{
    if (total < kKeepAcrossStartsBytes || validator.isEmpty())
        return;
    if (file.isPersistent() || file.makePersistent(partialPath(target)))
        writeInfo(target, {QString::fromLatin1(url), validator, total});
}

std::optional<ContentRange> parseContentRange(const QByteArray &value)
{
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes "))
        return std::nullopt;
    const int dash = text.indexOf('-'), slash = text.indexOf('/');
    if (dash < 0 || slash < dash)
        return std::nullopt;
    bool ok1 = false, ok2 = false, ok3 = false;
    ContentRange range;
    range.first = text.mid(6, dash - 6).trimmed().toLongLong(&ok1);
    range.last = text.mid(dash + 1, slash - dash - 1).trimmed().toLongLong(&ok2);
    range.total = text.mid(slash + 1).trimmed().toLongLong(&ok3);
    if (!ok1 || !ok2 || !ok3 || range.first < 0 || range.last < range.first ||
        range.total <= range.last)
        return std::nullopt;
    return range;
}

QString rangeProblem(const QByteArray &contentRange, const QByteArray &answeredValidator,
                     qint64 from, qint64 total, const QByteArray &sentValidator)
{
    const std::optional<ContentRange> range = parseContentRange(contentRange);
    if (range && range->first == from && range->last == range->total - 1 && range->total == total &&
        !sentValidator.isEmpty() && answeredValidator == sentValidator)
        return QString();
    return QStringLiteral("the server answered the request for bytes from %1 of %2 (validator "
                          "%3) with the range \"%4\" (validator %5)")
        .arg(from)
        .arg(total)
        .arg(QString::fromLatin1(sentValidator), QString::fromLatin1(contentRange),
             QString::fromLatin1(answeredValidator));
}

QString rangeProblem(const QByteArray &contentRange, qint64 from, qint64 total)
{
    const std::optional<ContentRange> range = parseContentRange(contentRange);
    if (range && range->first == from && range->last == range->total - 1 && range->total == total)
        return QString();
    return QStringLiteral("the host answered the request for bytes from %1 of %2 with the range "
                          "\"%3\"")
        .arg(from)
        .arg(total)
        .arg(QString::fromLatin1(contentRange));
}

bool worthContinuing(int status, QNetworkReply::NetworkError error, qint64 written, qint64 total)
{
    return (status == 0 || status == 200 || status == 206) && isTransportError(error) &&
           (error != QNetworkReply::NoError || (total >= 0 && written < total));
}

bool isTransportError(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::NoError: // a body cut short without an error report
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::OperationCanceledError: // also the transfer timeout
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionClosedError:
        return true;
    default:
        return false;
    }
}

int backoffMs(int attempt)
{
    return 500 << qBound(0, attempt - 1, 4);
}

} // namespace Resume
