#pragma once

#include <QByteArray>

// How an HTTP/1.1 reply is framed, read strictly a whole line at a time: the status line, the
// header lines up to the blank one and, for a chunked body, its chunk-size lines and trailers.
//
// Accepted are a well-formed status line, lines of at most 8 KiB ended by CRLF, at most 100
// header lines (and as many trailer lines), no folded lines, a Transfer-Encoding of exactly
// "chunked", one Content-Length or neither (the body then ends with the connection, as HTTP/1.0
// servers and many scripts send it; never both) and chunk sizes of 1 to 16 hexadecimal digits.
// Anything else is not guessed at: the reading returns false and problem() says what was wrong;
// the reply is not to be read any further then.
class HttpResponseHead
{
public:
    // Takes the next line off the front of `in`, without its CRLF. False also when the line has
    // not arrived whole yet; problem() is null then.
    bool takeLine(QByteArray *in, QByteArray *line);

    bool statusLine(const QByteArray &line);
    // A line between the status line and the blank one.
    bool headerLine(const QByteArray &line);
    // At the blank line after the headers: false when they frame the body two ways at once.
    bool bodyFramed();
    // `size` becomes the chunk's; 0 is the last chunk, which the trailer lines follow.
    bool chunkSizeLine(const QByteArray &line, qint64 *size);
    // A line between the last chunk and the blank one.
    bool trailerLine(const QByteArray &line);

    int status() const { return statusCode; }
    QByteArray reason() const { return reasonPhrase; }
    bool isChunked() const { return chunked; }
    // -1 when the headers give none.
    qint64 contentLength() const { return length; }
    // Neither chunked nor a length: only the connection's close ends the body.
    bool endsWithClose() const { return !chunked && length < 0; }
    // The server asks for Basic credentials (a WWW-Authenticate header offers that scheme).
    bool asksForBasic() const { return basicChallenge; }
    // What made the last reading false, as in "a malformed status line".
    const char *problem() const { return fault; }

private:
    bool namedLine(const QByteArray &line, int *colon);
    bool malformed(const char *what);

    int statusCode = 0;
    QByteArray reasonPhrase;
    int lines = 0; // header (or trailer) lines so far
    bool chunked = false;
    qint64 length = -1;
    bool basicChallenge = false;
    const char *fault = nullptr;
};
