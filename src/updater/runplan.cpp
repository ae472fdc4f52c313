#include "runplan.h"

void RunPlan::noteListed(const QString &urlText, const ManifestReading &reading)
{
    const auto entry = reading.integrity.constFind(urlText);
    listed.insert(urlText, entry != reading.integrity.constEnd()
                               ? std::optional<FileIntegrity>(*entry)
                               : std::nullopt);
}

PlannedFile RunPlan::bind(const QUrl &url, const QString &urlText, const QString &target,
                          const QString &locale)
{
    PlannedFile file{url, target, locale, listed.value(urlText)};
    queued.insert(url, file);
    return file;
}

PlannedFile RunPlan::take(const QUrl &url)
{
    PlannedFile file = queued.take(url);
    file.url = url;
    return file;
}
