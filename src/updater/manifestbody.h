#pragma once

#include <QByteArray>
#include <QObject>

class QNetworkReply;

// The bytes of a manifest reply, taken from the reply as they arrive into one block of the
// launcher's own, with Qt's read buffer kept small. Without that, Qt's network thread reads on
// without bound while the window is busy, and an endless "manifest" piles up in memory before
// its size is even seen. Past TransferGuard::kMaxManifestBytes the reply is ended as refused.
class ManifestBody final : public QObject
{
    Q_OBJECT

public:
    // Starts collecting `reply`'s body; it lives as long as the reply.
    static void collect(QNetworkReply *reply);
    // Everything that arrived, or nothing for a reply that was ended (it has no body to read).
    static QByteArray take(QNetworkReply *reply);

private:
    explicit ManifestBody(QNetworkReply *reply);
    void read();

    QNetworkReply *reply;
    QByteArray bytes;
};
