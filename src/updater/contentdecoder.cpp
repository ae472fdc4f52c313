#include "contentdecoder.h"

#include <zlib.h>

#include <climits>

struct ContentDecoder::Stream
{
    z_stream z{};
    bool open = false;

    // 15 + 32: a zlib or gzip header, whichever comes; -15: raw deflate without one.
    bool init(int windowBits)
    {
        close();
        z = z_stream{};
        open = inflateInit2(&z, windowBits) == Z_OK;
        return open;
    }
    void close()
    {
        if (open)
            inflateEnd(&z);
        open = false;
    }
    ~Stream() { close(); }
};

std::unique_ptr<ContentDecoder> ContentDecoder::forCoding(const QByteArray &contentEncoding)
{
    const QByteArray coding = contentEncoding.trimmed().toLower();
    if (coding == "gzip" || coding == "x-gzip")
        return std::unique_ptr<ContentDecoder>(new ContentDecoder(false));
    // Meant to be zlib-wrapped; some servers send it raw, and Qt reads both.
    if (coding == "deflate")
        return std::unique_ptr<ContentDecoder>(new ContentDecoder(true));
    return nullptr;
}

ContentDecoder::ContentDecoder(bool rawDeflateAllowed)
    : stream(new Stream), rawDeflateAllowed(rawDeflateAllowed)
{
    if (!stream->init(15 + 32))
        failure = QStringLiteral("Cannot decode the compressed body: out of memory");
}

ContentDecoder::~ContentDecoder() = default;

void ContentDecoder::feed(const QByteArray &coded)
{
    if (streamEnded || !failure.isEmpty())
        return; // whatever follows the end is not part of the body
    if (consumed > 0) {
        input.remove(0, int(consumed));
        consumed = 0;
    }
    input += coded;
}

// A "deflate" body that does not start with a zlib header is raw deflate.
bool ContentDecoder::restartAsRawDeflate()
{
    if (!rawDeflateAllowed || produced > 0)
        return false;
    rawDeflateAllowed = false;
    consumed = 0;
    return stream->init(-15);
}

QByteArray ContentDecoder::take(int maxBytes)
{
    // With its input used up, zlib may still hold output for more room (a long match).
    if (streamEnded || !failure.isEmpty() || maxBytes <= 0)
        return QByteArray();
    QByteArray out(maxBytes, Qt::Uninitialized);
    z_stream &z = stream->z;
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(maxBytes);
    for (;;) {
        z.next_in = reinterpret_cast<Bytef *>(input.data() + consumed);
        z.avail_in = uInt(qMin<qint64>(input.size() - consumed, UINT_MAX));
        const uInt before = z.avail_in;
        const int result = inflate(&z, Z_NO_FLUSH);
        consumed += before - z.avail_in;
        if (result == Z_STREAM_END) {
            streamEnded = true;
            break;
        }
        if (result == Z_DATA_ERROR && z.avail_out == uInt(maxBytes) && restartAsRawDeflate()) {
            z.next_out = reinterpret_cast<Bytef *>(out.data());
            z.avail_out = uInt(maxBytes);
            continue;
        }
        if (result == Z_BUF_ERROR)
            break; // no progress: it needs more input
        if (result != Z_OK) {
            failure = QStringLiteral("Cannot decode the compressed body: %1")
                          .arg(QString::fromLatin1(z.msg ? z.msg : "corrupt data"));
            break;
        }
        if (z.avail_out == 0 || z.avail_in == 0)
            break; // full, or all of the input taken in
    }
    out.resize(maxBytes - int(z.avail_out));
    produced += out.size();
    return out;
}
