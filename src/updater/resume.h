#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QString>

#include <optional>

class StagedFile;

// Continuing a transfer that broke off: what is kept beside the target between starts, and how
// a server's answer to a Range request is read.
namespace Resume {

// Files this big keep their partial file across starts; smaller ones just start again.
constexpr qint64 kKeepAcrossStartsBytes = qint64(8) << 20;
// Tries after the first one, within a run.
constexpr int kMaxRetries = 3;

// The partial file and what identifies its server file, under fixed names beside the target.
QString partialPath(const QString &target);
QString infoPath(const QString &target);

struct PartialInfo
{
    QString url;
    QByteArray validator; // the server's ETag, or its Last-Modified when it sends no ETag
    qint64 total = -1;    // the whole file's size
    qint64 have = 0;      // the partial file's size
};
// What may go back to the server in If-Range: printable ASCII only (a CR or LF would end the
// header line and start another).
bool isValidator(const QByteArray &value);
std::optional<PartialInfo> readInfo(const QString &target);
bool writeInfo(const QString &target, const PartialInfo &info);
// The partial file kept for `target` when it belongs to the file at `url` of `total` bytes and
// is a plain file shorter than that; otherwise both are removed (a link is never followed).
std::optional<PartialInfo> keptPartial(const QString &target, const QByteArray &url, qint64 total);
// Removes the partial file and its info.
void forget(const QString &target);
// Opens `file` at the end of the partial file kept for `target` (see keptPartial), to continue
// it; nullopt, with nothing kept any more, when there is none that may be continued.
std::optional<PartialInfo> openKept(StagedFile &file, const QString &target, const QByteArray &url,
                                    qint64 total);
// A file big enough to be worth continuing across starts is written under its fixed partial
// name from now on, with its info beside it, so that even a killed launcher leaves it.
void keepAcrossStarts(StagedFile &file, const QString &target, const QByteArray &url,
                      const QByteArray &validator, qint64 total);

// "bytes FIRST-LAST/TOTAL"; nullopt for anything else (including an unknown total).
struct ContentRange
{
    qint64 first = -1;
    qint64 last = -1;
    qint64 total = -1;
};
std::optional<ContentRange> parseContentRange(const QByteArray &value);

// A 206 continues a file only when it is the same file (it carries the validator sent with
// If-Range) and runs from the first missing byte `from` to the file's last one. Empty when it
// does; otherwise what is wrong with it.
QString rangeProblem(const QByteArray &contentRange, const QByteArray &answeredValidator,
                     qint64 from, qint64 total, const QByteArray &sentValidator);

// The same for a file whose final hash proves what is continued, from another host, say: the
// range alone.
QString rangeProblem(const QByteArray &contentRange, qint64 from, qint64 total);

// A transfer that ended so is worth continuing where it stopped: the connection, not the
// server, ended it before all of its `total` bytes came.
bool worthContinuing(int status, QNetworkReply::NetworkError error, qint64 written, qint64 total);

// The connection, not the server, ended the transfer: worth continuing.
bool isTransportError(QNetworkReply::NetworkError error);

// Pause before retry `attempt` (1-based): 0.5 s, 1 s, 2 s.
int backoffMs(int attempt);

} // namespace Resume
