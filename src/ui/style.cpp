#include "style.h"

#include <QFile>

QString applicationStyleSheet()
{
    QFile file(QStringLiteral(":/css/style.css"));
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll());
}

QString styleSheetWithBackground(const QString &backgroundRule)
{
    return applicationStyleSheet() + backgroundRule;
}
