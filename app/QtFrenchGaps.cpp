#include "QtFrenchGaps.h"

#include <cstring>

QString QtFrenchGaps::translate(const char *context, const char *sourceText, const char *, int) const
{
    // Qt 6 moved these words to a class of this name, which the catalogue
    // of Qt 6.4 does not know yet.
    if (!context || !sourceText || std::strcmp(context, "QAbstractFileIconProvider") != 0)
        return QString();
    if (std::strcmp(sourceText, "Folder") == 0)
        return QStringLiteral("Dossier");
    if (std::strcmp(sourceText, "Drive") == 0)
        return QStringLiteral("Lecteur");
    return QString();
}
