#include "fileurl.h"

#include <QFileInfo>
#include <QUrl>

namespace Publish {

QString normalizedBaseUrl(const QString &text, QString *problem)
{
    const QUrl url(text.trimmed(), QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        *problem = QStringLiteral("must be an http:// or https:// URL");
    else if (url.host().isEmpty())
        *problem = QStringLiteral("has no host");
    else if (url.hasQuery() || url.hasFragment())
        *problem = QStringLiteral("must not have a query (?) or a fragment (#)");
    else
        problem->clear();
    if (!problem->isEmpty())
        return QString();

    QString base = url.toString(QUrl::FullyEncoded);
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return base;
}

QString fileUrl(const QString &base, const QString &locale, const QString &name)
{
    return base + locale + QLatin1Char('/') + name;
}

bool launcherMapsBack(const QString &urlText, const QString &base, const QString &locale,
                      const QString &name)
{
    // The launcher's two readings of the text: the request it sends and the file name it
    // saves under.
    const QUrl request = QUrl::fromEncoded(urlText.toUtf8(), QUrl::TolerantMode);
    const QString expectedPath =
        QUrl(base).path(QUrl::FullyDecoded) + locale + QLatin1Char('/') + name;
    return request.isValid() && !request.hasQuery() && !request.hasFragment() &&
           request.path(QUrl::FullyDecoded) == expectedPath &&
           request == QUrl(urlText, QUrl::TolerantMode) && QFileInfo(urlText).fileName() == name;
}

} // namespace Publish
