#include "manifestbody.h"

#include "requests.h"

#include <QNetworkReply>

namespace {

constexpr qint64 kReadBufferBytes = 256 * 1024;

} // namespace

ManifestBody::ManifestBody(QNetworkReply *reply, qint64 bound, AtBound atBound)
    : QObject(reply), reply(reply), bound(bound), atBound(atBound)
{
    reply->setReadBufferSize(kReadBufferBytes);
    connect(reply, &QIODevice::readyRead, this, &ManifestBody::read);
}

void ManifestBody::collect(QNetworkReply *reply, qint64 bound, AtBound atBound)
{
    new ManifestBody(reply, bound, atBound);
}

void ManifestBody::read()
{
    if (full || !reply->isOpen())
        return;
    if (!codingKnown) {
        codingKnown = true;
        decoder = ContentDecoder::forCoding(reply->rawHeader("Content-Encoding"));
    }
    while (reply->bytesAvailable() > 0) {
        const QByteArray coded = reply->read(kReadBufferBytes);
        if (!decoder) {
            if (!append(coded))
                return;
            continue;
        }
        decoder->feed(coded);
        // A piece at a time, so that a body that inflates without end meets the bound at once.
        for (QByteArray piece; !(piece = decoder->take(int(kReadBufferBytes))).isEmpty();) {
            if (!append(piece))
                return;
        }
        if (!decoder->problem().isEmpty()) {
            UpdaterRequests::markRefused(reply, decoder->problem());
            bytes = QByteArray();
            reply->abort();
            return;
        }
    }
}

// Straight into one block reserved for the largest body there may be: its pages cost memory
// only as they are written, and it is never copied to grow. False once the bound is reached.
bool ManifestBody::append(const QByteArray &piece)
{
    if (bytes.size() + piece.size() > bound) {
        if (atBound == AtBound::Keep) {
            bytes += piece.left(int(bound - bytes.size()));
            full = true;
        } else {
            UpdaterRequests::markRefused(reply, QStringLiteral("larger than %1 bytes").arg(bound));
            bytes = QByteArray();
        }
        reply->abort();
        return false;
    }
    if (bytes.capacity() == 0)
        bytes.reserve(int(bound));
    bytes += piece;
    return true;
}

QByteArray ManifestBody::take(QNetworkReply *reply)
{
    auto *body = reply->findChild<ManifestBody *>(QString(), Qt::FindDirectChildrenOnly);
    if (body && body->full)
        return std::move(body->bytes);
    // An aborted reply (a stalled server, a bound it broke) is closed: what came is no body.
    if (!reply->isOpen())
        return QByteArray();
    if (!body)
        return reply->readAll();
    body->read();
    // A compressed body that stopped short of its own end was cut off.
    if (body->decoder && !body->decoder->ended() && !body->full) {
        UpdaterRequests::markRefused(reply, QStringLiteral("its compressed body ended early"));
        return QByteArray();
    }
    return std::move(body->bytes);
}
