// The station name: read from the suite system file each time, so a renamed station shows
// at the next title change.
#include "system/station.h"

#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/ini.h"

namespace Lib_Public {

namespace {

QString withoutControlCharacters(QString text) {
    text.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    return text;
}

} // namespace

QString NomStation() {
    QString name;
    Trap(QStringLiteral("Lib_Public:NomStation"), [&] {
        const QString file = Sites[0].FichierSysteme;
        if (file.trimmed().isEmpty())
            return;
        const QString key = QStringLiteral("Nom_Station");
        name = Lib_Systeme::LectureIni(file, QStringLiteral("Base_01"), key, QString());
        if (name.trimmed().isEmpty())
            name = Lib_Systeme::LectureIni(file, QStringLiteral("Site"), key, QString());
        name = withoutControlCharacters(name).trimmed();
    });
    return name;
}

} // namespace Lib_Public
