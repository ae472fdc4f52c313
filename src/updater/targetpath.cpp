#include "targetpath.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {

// Windows opens a device for these, whatever extension follows, also after spaces.
bool isWindowsDeviceName(const QString &name)
{
    static const QRegularExpression device(
        QStringLiteral("^(CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|COM[0-9\u00b9\u00b2\u00b3]|"
                       "LPT[0-9\u00b9\u00b2\u00b3]) *(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    return device.match(name).hasMatch();
}

// A lone surrogate cannot be encoded for the file system: the file would be stored under
// another name than the one shown, and different names could meet in one file.
bool isValidUtf16(const QString &name)
{
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c.isLowSurrogate())
            return false;
        if (c.isHighSurrogate()) {
            if (i + 1 == name.size() || !name.at(i + 1).isLowSurrogate())
                return false;
            ++i;
        }
    }
    return true;
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
    return isValidUtf16(name) && !isWindowsDeviceName(name);
}

} // namespace

DownloadTarget downloadTarget(const QString &clientDir, const QString &locale,
                              const QString &urlText)
{
    // The URL's own separator only: Windows would also split at '\\' and save "a\\..\\b.bin"
    // as "b.bin", where Linux refuses the name.
    const QString name = urlText.mid(urlText.lastIndexOf(QLatin1Char('/')) + 1);
    DownloadTarget target;
    target.path = clientDir + QLatin1String("/Data/") + locale + QLatin1Char('/') + name;
    target.writable = !clientDir.isEmpty() && isPlainName(locale) && isPlainName(name);
    return target;
}
