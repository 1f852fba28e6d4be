// Fuzz target for the INI engine. Input: a section line, a key line, a value line, then the
// bytes of a settings file. Any file is read without a crash; after a write of key=value
// the key reads back as the value, and the write never loses another key's value.
#include "fuzz/fuzz_input.h"
#include "system/ini.h"

#include <cstdint>
#include <cstdlib>

using Lib_Systeme::IniText::readValue;
using Lib_Systeme::IniText::writeValue;

namespace {

// A name that reads back as itself: no line break, nothing the line syntax gives a meaning
// to, no blank at either end.
bool plainName(const QString& name) {
    return !name.isEmpty() && !fuzz::hasControl(name) && name.trimmed() == name &&
           !name.contains(u'=') && !name.contains(u'[') && !name.contains(u']') &&
           !name.startsWith(u';');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::FuzzInput in = fuzz::cutInput(data, size, 3);
    const QString& section = in.lines[0];
    const QString& key = in.lines[1];
    const QString& value = in.lines[2];
    const std::optional<QString> before = readValue(in.rest, section, key);
    if (!plainName(section) || !plainName(key) || fuzz::hasControl(value) ||
        value.trimmed() != value)
        return 0;
    // Another key of the same section, present before the write, must survive it.
    const QString other = key + QStringLiteral("_other");
    const std::optional<QString> otherBefore = readValue(in.rest, section, other);

    const QByteArray written = writeValue(in.rest, section, key, value);
    const std::optional<QString> after = readValue(written, section, key);
    if (!after || *after != value)
        std::abort();
    if (readValue(written, section, other) != otherBefore)
        std::abort();
    // A second write of the same value changes nothing.
    if (writeValue(written, section, key, value) != written)
        std::abort();
    (void)before;
    return 0;
}
