#include "manifestbody.h"

#include "requests.h"
#include "transferguard.h"

#include <QNetworkReply>

namespace {

constexpr qint64 kReadBufferBytes = 256 * 1024;

} // namespace

ManifestBody::ManifestBody(QNetworkReply *reply) : QObject(reply), reply(reply)
{
    reply->setReadBufferSize(kReadBufferBytes);
    connect(reply, &QIODevice::readyRead, this, &ManifestBody::read);
}

void ManifestBody::collect(QNetworkReply *reply)
{
    new ManifestBody(reply);
}

// Straight into one block reserved for the largest manifest there may be: its pages cost memory
// only as they are written, and it is never copied to grow.
void ManifestBody::read()
{
    const qint64 available = reply->isOpen() ? reply->bytesAvailable() : 0;
    if (available <= 0)
        return;
    const qint64 bound = TransferGuard::kMaxManifestBytes;
    if (bytes.size() + available > bound) {
        UpdaterRequests::markRefused(reply, QStringLiteral("larger than %1 bytes").arg(bound));
        bytes = QByteArray();
        reply->abort();
        return;
    }
    if (bytes.capacity() == 0)
        bytes.reserve(int(bound));
    const int old = bytes.size();
    bytes.resize(old + int(available));
    const qint64 got = reply->read(bytes.data() + old, available);
    bytes.resize(old + int(qMax<qint64>(got, 0)));
}

QByteArray ManifestBody::take(QNetworkReply *reply)
{
    // An aborted reply (a stalled server, a bound it broke) is closed: what came is no body.
    if (!reply->isOpen())
        return QByteArray();
    auto *body = reply->findChild<ManifestBody *>(QString(), Qt::FindDirectChildrenOnly);
    if (!body)
        return reply->readAll();
    body->read();
    return std::move(body->bytes);
}
