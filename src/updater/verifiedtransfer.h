#pragma once

#include "hostpool.h"
#include "httptransfer.h"

#include <QByteArray>
#include <QTimer>

// A file with an integrity entry, whose listed size and SHA-256 prove the assembled file: the
// file there may already be the listed one (LocalCopy), a transfer that breaks off is continued
// with Range/If-Range a few times, a big one across starts (Resume), and nothing but the listed
// bytes is ever moved over the target. Since the hash proves the file whichever host served
// it, one that the manifest's mirrors also serve moves between them (HostPool): away from a
// host that fails or sends other bytes, and away from a slow one to a faster one, going on from
// the bytes it has.
class VerifiedTransfer final : public HttpTransfer
{
    Q_OBJECT

public:
    VerifiedTransfer(QNetworkAccessManager *network, const PlannedFile &file, StagedFile &output,
                     HashCache &cache, HostPool &hosts, bool integrityRequired,
                     QObject *parent = nullptr);

    bool start() override;

private:
    bool fetch();
    bool resumePartial();
    void beginTransfer();
    void keepPartialAcrossStarts();

    // With mirrors.
    bool hasMirrors() const { return !planned.mirrors.isEmpty(); }
    QVector<QUrl> candidates() const;
    bool firstHost();
    bool hostEnded();
    void checkPace();
    bool moveTo(const QUrl &next, const QString &why, int pauseMs = 0);
    void dropReply();

    void statusArrived(int status) override;
    bool retry() override;
    qint64 rangeStart() const override { return resumeFrom; }
    Problem notModifiedProblem() const override;
    bool keepsForNextStart(int status, qint64 written) const override;

    int retries = 0;
    qint64 resumeFrom = 0; // the offset the current request asked for
    qint64 fullSize = -1;  // the whole file's size as the server gave it
    QByteArray validator;  // the server's ETag or Last-Modified, sent with If-Range
    HostPool &hosts;
    HostRoute route;
    QTimer pace; // how fast the current host serves, looked at now and then
};
