// Number, date and version text: fixed-width number formatting and the program's build
// moment and version text, both derived from its version numbers.
#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

namespace Lib_Public {

// Formats `value` right-aligned in `width` characters, filled with the first character of
// `fill` (a space when `fill` is empty), with `decimals` decimals. 0.005 is added before
// scaling and the scaled value goes to the nearest integer, halves to even; it is clamped to
// +-2147483647. Leading digits beyond `width` are cut ("2345" for 12345 in width 4); a
// negative value gets "-" in its rightmost space, or in place of a non-digit first
// character, or in front (one character wider). Examples: (7, 2, 0, "0") -> "07",
// (1.231, 6, 2, " ") -> "  1.24", (-5, 4, 0, "0") -> "-005".
// Failures (a scale that does not fit 32 bits, a value that is not a number, a negative
// width or count of decimals) are reported under "Lib_Public:N2S (Value: <value>)" and the
// text is returned as far as it was built.
QString N2S(double value, qint16 width, qint16 decimals, const QString& fill);

} // namespace Lib_Public

namespace Lib_Systeme {

// The numbers of a program version: major = year, minor = MMDD, revision = HHMM (without
// leading zeros), and the file description, which may carry the build date instead.
struct ProgramVersion {
    qint32 major = 0;
    qint32 minor = 0;
    qint32 revision = 0;
    QString fileDescription;
};

// The version this program was built with (2025.109.1402 for 9 January 2025, 14:02).
ProgramVersion ApplicationVersion();

// The build moment carried by `version`: year = major, month and day from the minor number,
// hour and minute from the revision; out-of-range months, days, hours and minutes roll over
// as calendar arithmetic does (month 13 is January of the next year). When major is not a
// year (1999 or less): the file description read as a date, else 1 January 2000 00:00.
// The result is a wall-clock moment without time zone, held in UTC so that no
// daylight-saving gap can move it. Failures are reported under
// "Lib_Systeme:DateApplication"; the result is then 1 January 2000 00:00.
QDateTime DateApplication(const ProgramVersion& version);
QDateTime DateApplication();

// The version text YYYY.MMDD.HHMM of `version` ("2025.0109.1402" for 2025.109.1402), built
// from DateApplication. Failures are reported under "Lib_Systeme:VersionApplication".
QString VersionApplication(const ProgramVersion& version);
QString VersionApplication();

} // namespace Lib_Systeme
