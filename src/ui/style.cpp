#include "style.h"

#include <QFile>
#include <QFont>
#include <QFontDatabase>

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

QStringList registerEmbeddedFonts()
{
    static bool registered = false;
    static QStringList families;
    if (registered)
        return families;
    registered = true;
    // Qt ignores the style sheet's @font-face rules, so the files are registered here.
    for (const char *file :
         {"GothamProRegular", "GothamProLight", "GothamProMedium", "GothamProBold"}) {
        const int id = QFontDatabase::addApplicationFont(
            QStringLiteral(":/font/%1.ttf").arg(QLatin1String(file)));
        families += QFontDatabase::applicationFontFamilies(id);
    }
    families.removeDuplicates();
    // The files hold Roboto (resources/font/README.md). Systems name its weights differently:
    // fontconfig offers the Light and Medium files as "Roboto Light" and "Roboto Medium" and
    // also as weights of "Roboto"; Windows names them by their own family only. The bold
    // families are asked for with a bold weight, which "Roboto" has. Without these, every
    // system shows its own fallback (a serif font under Wine).
    const QString roboto = QStringLiteral("Roboto");
    QFont::insertSubstitutions(QStringLiteral("Gotham Pro"), {roboto});
    QFont::insertSubstitutions(QStringLiteral("Gotham Pro Light"),
                               {QStringLiteral("Roboto Light"), roboto});
    QFont::insertSubstitutions(QStringLiteral("Gotham Pro Medium"),
                               {QStringLiteral("Roboto Medium"), roboto});
    QFont::insertSubstitutions(QStringLiteral("Gotham Pro Bold"), {roboto});
    QFont::insertSubstitutions(QStringLiteral("Gotham Pro Black"), {roboto});
    return families;
}
