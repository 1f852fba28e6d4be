// Fuzz target for the REGEDIT4 hive reader. Input: a key path below HKEY_CURRENT_USER, two
// value names and two values (one line each), then the bytes of a hive. Any hive is read
// without a crash; after writing both values, both read back as written (less final NULs).
#include "fuzz/fuzz_input.h"
#include "system/registry.h"

#include <QStringList>

#include <cstdint>
#include <cstdlib>

namespace hive = Lib_Systeme::HiveText;

namespace {

// A key path as the registry routines hand it over: components joined by "\", none empty.
QString keyPathOf(const QString& subKey) {
    QStringList parts{QStringLiteral("HKEY_CURRENT_USER")};
    for (const QString& p : subKey.split(u'\\'))
        if (!p.isEmpty())
            parts << p;
    return parts.join(u'\\');
}

bool usableName(const QString& name) {
    return !name.isEmpty() && !fuzz::hasControl(name);
}

// A REG_SZ ends at its terminating NUL: NULs at the end of a text are not kept.
QString asStored(QString text) {
    while (text.endsWith(QChar(u'\0')))
        text.chop(1);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::FuzzInput in = fuzz::cutInput(data, size, 5);
    const QString keyPath = keyPathOf(in.lines[0]);
    const QString& name1 = in.lines[1];
    const QString& value1 = in.lines[2];
    const QString& name2 = in.lines[3];
    const QString& value2 = in.lines[4];
    (void)hive::readValue(in.rest, keyPath, name1);
    if (fuzz::hasControl(keyPath) || keyPath.contains(u']') || !usableName(name1) ||
        !usableName(name2) || name1.compare(name2, Qt::CaseInsensitive) == 0)
        return 0;

    QByteArray written = hive::withString(in.rest, keyPath, name1, value1);
    bool ok = false;
    const quint32 number = value2.toUInt(&ok);
    written = ok ? hive::withDword(written, keyPath, name2, number)
                 : hive::withString(written, keyPath, name2, value2);

    const std::optional<hive::HiveValue> v1 = hive::readValue(written, keyPath, name1);
    if (!v1 || v1->type != Lib_Systeme::REG_SZ || v1->text != asStored(value1))
        std::abort();
    const std::optional<hive::HiveValue> v2 = hive::readValue(written, keyPath, name2);
    if (!v2 || (ok ? v2->number != number : v2->text != asStored(value2)))
        std::abort();
    return 0;
}
