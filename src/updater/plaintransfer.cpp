#include "plaintransfer.h"

#include "requests.h"
#include "stagedfile.h"

#include <QFileInfo>

PlainTransfer::PlainTransfer(QNetworkAccessManager *network, const PlannedFile &file,
                             StagedFile &output, HashCache &cache, bool integrityRequired,
                             QObject *parent)
    : HttpTransfer(network, file, output, cache, integrityRequired, parent)
{
}

bool PlainTransfer::start()
{
    if (refused() || !openTarget())
        return false;
    get(UpdaterRequests::fileRequest(planned.url));
    return true;
}

// Without a file there is nothing to keep.
Problem PlainTransfer::notModifiedProblem() const
{
    if (QFileInfo(outputFile.targetPath()).isFile())
        return {};
    return {QStringLiteral("Not Modified, but there is no file to keep")};
}
