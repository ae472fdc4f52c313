#include "runplan.h"

Problem PlannedFile::refusal(bool integrityRequired) const
{
    if (!integrity && integrityRequired)
        return {QStringLiteral("the signed manifest gives no size and SHA-256 for %1; the file "
                               "is not fetched")
                    .arg(url.toString())};
    if (integrity && !integrity->isValid())
        return {QStringLiteral("the manifest's size and SHA-256 for %1 are unusable (%2); the "
                               "file is not fetched")
                    .arg(url.toString(), integrity->problem)};
    return {};
}

void RunPlan::noteListed(const QString &urlText, const ManifestReading &reading)
{
    const auto entry = reading.integrity.constFind(urlText);
    if (entry == reading.integrity.constEnd()) {
        listed.insert(urlText, {});
        return;
    }
    // Only a valid entry can prove what a mirror served.
    listed.insert(urlText,
                  {*entry, entry->isValid() ? reading.mirrors.urlsFor(urlText) : QVector<QUrl>()});
}

PlannedFile RunPlan::bind(const QUrl &url, const QString &urlText, const QString &target,
                          const QString &locale)
{
    const Listed entry = listed.value(urlText);
    PlannedFile file{url, target, locale, entry.integrity, entry.mirrors};
    queued.insert(url, file);
    return file;
}

PlannedFile RunPlan::take(const QUrl &url)
{
    PlannedFile file = queued.take(url);
    file.url = url;
    return file;
}
