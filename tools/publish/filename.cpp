#include "filename.h"

#include <QRegularExpression>

namespace Publish {

namespace {

bool hasControlCharacter(const QString &name)
{
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

// Device names that Windows reserves in every folder, with or without an extension.
bool isWindowsDeviceName(const QString &name)
{
    static const QRegularExpression device(
        QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    return device.match(name).hasMatch();
}

} // namespace

QString nameProblem(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("is not a file name");
    if (name.contains(QChar::ReplacementCharacter))
        return QStringLiteral("is not valid UTF-8");
    if (hasControlCharacter(name))
        return QStringLiteral("contains a control character");
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return QStringLiteral("contains a path separator");
    for (const QChar c : QStringLiteral("#%?")) {
        if (name.contains(c))
            return QStringLiteral("contains \"") + c +
                   QStringLiteral("\", which a URL must percent-encode, but the launcher names "
                                  "the saved file after the URL as written");
    }
    for (const QChar c : QStringLiteral("<>:\"|*")) {
        if (name.contains(c))
            return QStringLiteral("contains \"") + c +
                   QStringLiteral("\", which Windows does not allow in file names");
    }
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return QStringLiteral("ends in a dot or a space, which Windows drops from file names");
    if (isWindowsDeviceName(name))
        return QStringLiteral("is a device name on Windows");
    return QString();
}

} // namespace Publish
