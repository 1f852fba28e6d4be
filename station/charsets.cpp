// The character-set table: the rows of the "Encodage" list and the identifiers they send.
#include "station/charsets.h"

#include "mail/engine/mail_component.h"
#include "system/error_reporting.h"

const std::array<CharsetRow, 28> Charsets = {{
    {QStringLiteral("Arabic(Windows)"), QStringLiteral("windows-1256")},
    {QStringLiteral("Baltic(ISO)"), QStringLiteral("iso-8859-4")},
    {QStringLiteral("Baltic(Windows)"), QStringLiteral("windows-1257")},
    {QStringLiteral("Central Euporean(ISO)"), QStringLiteral("iso-8859-2")},
    {QStringLiteral("Central Euporean(Windows)"), QStringLiteral("windows-1250")},
    {QStringLiteral("Chinese Simplified(GB18030)"), QStringLiteral("GB18030")},
    {QStringLiteral("Chinese Simplified(GB2312)"), QStringLiteral("gb2312")},
    {QStringLiteral("Chinese Simplified(HZ)"), QStringLiteral("hz-gb-2312")},
    {QStringLiteral("Chinese Traditional(Big5)"), QStringLiteral("big5")},
    {QStringLiteral("Cyrillic(ISO)"), QStringLiteral("iso-8859-5")},
    {QStringLiteral("Cyrillic(KOI8-R)"), QStringLiteral("koi8-r")},
    {QStringLiteral("Cyrillic(KOI8-U)"), QStringLiteral("koi8-u")},
    {QStringLiteral("Cyrillic(Windows)"), QStringLiteral("windows-1251")},
    {QStringLiteral("Greek(ISO)"), QStringLiteral("iso-8859-7")},
    {QStringLiteral("Greek(Windows)"), QStringLiteral("windows-1253")},
    {QStringLiteral("Hebrew(Windows)"), QStringLiteral("windows-1255")},
    {QStringLiteral("Japanese(JIS)"), QStringLiteral("iso-2022-jp")},
    {QStringLiteral("Korean"), QStringLiteral("ks_c_5601-1987")},
    {QStringLiteral("Korean(EUC)"), QStringLiteral("euc-kr")},
    {QStringLiteral("Latin 9(ISO)"), QStringLiteral("iso-8859-15")},
    {QStringLiteral("Thai(Windows)"), QStringLiteral("windows-874")},
    {QStringLiteral("Turkish(ISO)"), QStringLiteral("iso-8859-9")},
    {QStringLiteral("Turkish(Windows)"), QStringLiteral("windows-1254")},
    {QStringLiteral("Unicode(UTF-7)"), QStringLiteral("utf-7")},
    {QStringLiteral("Unicode(UTF-8)"), QStringLiteral("utf-8")},
    {QStringLiteral("Vietnames(Windows)"), QStringLiteral("windows-1258")},
    {QStringLiteral("Western European(ISO)"), QStringLiteral("iso-8859-1")},
    {QStringLiteral("Western European(Windows)"), QStringLiteral("Windows-1252")},
}};

QString CharsetIdentifier(int index) {
    if (index < 0 || index >= int(Charsets.size()))
        return {};
    return Charsets[size_t(index)].Identifier;
}

int CharsetRowFor(const QString& identifier) {
    int row = CharsetDefaultRow;
    for (int i = 0; i < int(Charsets.size()); ++i)
        if (Charsets[size_t(i)].Identifier.compare(identifier, Qt::CaseInsensitive) == 0)
            row = i;
    return row;
}
