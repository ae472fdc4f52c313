#include "filetransfer.h"

#include "plaintransfer.h"
#include "verifiedtransfer.h"

FileTransfer *FileTransfer::create(QNetworkAccessManager *network, const PlannedFile &file,
                                   StagedFile &output, HashCache &cache, HostPool &hosts,
                                   bool integrityRequired, QObject *parent)
{
    // Only the listed size and SHA-256 prove a file assembled from pieces or found on disk.
    if (file.integrity)
        return new VerifiedTransfer(network, file, output, cache, hosts, integrityRequired, parent);
    return new PlainTransfer(network, file, output, cache, integrityRequired, parent);
}

FileTransfer::FileTransfer(const PlannedFile &file, QObject *parent)
    : QObject(parent), planned(file)
{
}

void FileTransfer::end(const TransferOutcome &outcome)
{
    result = outcome;
    emit finished();
}
