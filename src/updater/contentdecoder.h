#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

// A reply body that the server compressed (Content-Encoding gzip or deflate), decoded a bounded
// piece at a time. The updater asks for compressed bodies itself, as Qt would, so that Qt hands
// over the bytes as they came instead of inflating them without bound in its own thread: a few
// megabytes of gzip can hold gigabytes, and every size bound would only see them afterwards.
class ContentDecoder final
{
public:
    // The decoder for a Content-Encoding; null when the body comes as it is ("identity", none,
    // or a coding it does not know, which is passed on as it came, as Qt passes it).
    static std::unique_ptr<ContentDecoder> forCoding(const QByteArray &contentEncoding);
    ~ContentDecoder();
    ContentDecoder(const ContentDecoder &) = delete;
    ContentDecoder &operator=(const ContentDecoder &) = delete;

    // More of the coded body.
    void feed(const QByteArray &coded);
    // At most maxBytes of the decoded body; empty once what was fed is used up (or the body
    // ended, or cannot be decoded).
    QByteArray take(int maxBytes);
    // The coded body reached its own end (its trailer checked): nothing was cut off.
    bool ended() const { return streamEnded; }
    // Why the body cannot be decoded; empty while it can.
    QString problem() const { return failure; }

private:
    struct Stream;
    explicit ContentDecoder(bool rawDeflateAllowed);
    bool restartAsRawDeflate();

    std::unique_ptr<Stream> stream;
    QByteArray input;    // fed and not yet decoded, from `consumed` on
    qint64 consumed = 0; // bytes of `input` the decoder took
    qint64 produced = 0;
    bool rawDeflateAllowed;
    bool streamEnded = false;
    QString failure;
};
