#include "targetpath.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {

bool isWindowsDeviceName(const QString &name)
{
    static const QRegularExpression device(
        QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    return device.match(name).hasMatch();
}

// A name that names exactly one entry inside its folder, here and on Windows.
bool isPlainName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    static const QString forbidden = QStringLiteral("/\\:<>\"|?*");
    for (const QChar c : forbidden) {
        if (name.contains(c))
            return false;
    }
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return false;
    return !isWindowsDeviceName(name);
}

} // namespace

DownloadTarget downloadTarget(const QString &clientDir, const QString &locale,
                              const QString &urlText)
{
    const QString name = QFileInfo(urlText).fileName();
    DownloadTarget target;
    target.path = clientDir + QLatin1String("/Data/") + locale + QLatin1Char('/') + name;
    target.writable = !clientDir.isEmpty() && isPlainName(locale) && isPlainName(name);
    return target;
}
