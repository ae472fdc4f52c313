#pragma once

#include "contentdecoder.h"
#include "transferguard.h"

#include <QByteArray>
#include <QObject>

#include <memory>

class QNetworkReply;

// The body of a manifest (or signature) reply, taken from the reply as it arrives into one
// block of the launcher's own, with Qt's read buffer kept small, and decoded here when the
// server compressed it. Without that, Qt's network thread reads (or inflates) on without bound
// while the window is busy, and an endless "manifest" piles up in memory before its size is
// even seen. Past its bound the reply is ended: as refused, or keeping the bound's worth.
class ManifestBody final : public QObject
{
    Q_OBJECT

public:
    enum class AtBound {
        Refuse, // the reply is refused: "larger than N bytes"
        Keep,   // the first `bound` bytes are kept, and the reply is ended
    };
    // Starts collecting `reply`'s body; it lives as long as the reply.
    static void collect(QNetworkReply *reply, qint64 bound = TransferGuard::kMaxManifestBytes,
                        AtBound atBound = AtBound::Refuse);
    // Everything that arrived, or nothing for a reply that was ended by something else than
    // its bound (it has no body to read).
    static QByteArray take(QNetworkReply *reply);

private:
    ManifestBody(QNetworkReply *reply, qint64 bound, AtBound atBound);
    void read();
    bool append(const QByteArray &piece);

    QNetworkReply *reply;
    const qint64 bound;
    const AtBound atBound;
    std::unique_ptr<ContentDecoder> decoder;
    bool codingKnown = false;
    bool full = false; // ended at the bound, keeping what it holds
    QByteArray bytes;
};
