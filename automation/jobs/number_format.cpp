// Spreadsheet number formats: sections, literals, digit placeholders, grouping, percent,
// scientific notation, dates, times and elapsed times, shown with French conventions.
#include "automation/jobs/workbook_reader.h"

#include <QDate>
#include <QDateTime>
#include <QStringList>

#include <cmath>
#include <optional>
#include <vector>

namespace automation {

namespace {

const QChar kDecimal = u',';
const QChar kGroup = QChar(0x00A0);

const char16_t* const kMonthsShort[12] = {u"janv.", u"févr.", u"mars",  u"avr.", u"mai",  u"juin",
                                          u"juil.", u"août",  u"sept.", u"oct.", u"nov.", u"déc."};
const char16_t* const kMonthsLong[12] = {u"janvier",   u"février", u"mars",     u"avril",
                                         u"mai",       u"juin",    u"juillet",  u"août",
                                         u"septembre", u"octobre", u"novembre", u"décembre"};
const char16_t* const kDaysShort[7] = {u"lun.", u"mar.", u"mer.", u"jeu.",
                                       u"ven.", u"sam.", u"dim."};
const char16_t* const kDaysLong[7] = {u"lundi",    u"mardi",  u"mercredi", u"jeudi",
                                      u"vendredi", u"samedi", u"dimanche"};

// One piece of a format section.
struct Token {
    enum Kind { Literal, Digit, Point, Group, Percent, Exponent, Text, General, DatePart } kind;
    QString text; // literal text, the digit character, the exponent sign, or the date code
};

struct Section {
    std::vector<Token> tokens;
    std::optional<QString> condition; // "<", ">=" ... with the value in `threshold`
    double threshold = 0;
    bool isDate = false;
};

// Sections split on ";" outside quotes, brackets and escapes.
QStringList splitSections(const QString& code) {
    QStringList out;
    QString current;
    bool quoted = false;
    bool bracket = false;
    for (qsizetype i = 0; i < code.size(); ++i) {
        const QChar c = code[i];
        if (quoted) {
            current += c;
            if (c == u'"')
                quoted = false;
        } else if (c == u'\\' && i + 1 < code.size()) {
            current += c;
            current += code[++i];
        } else if (c == u'"') {
            quoted = true;
            current += c;
        } else if (c == u'[') {
            bracket = true;
            current += c;
        } else if (c == u']') {
            bracket = false;
            current += c;
        } else if (c == u';' && !bracket) {
            out << current;
            current.clear();
        } else {
            current += c;
        }
    }
    out << current;
    return out;
}

Section parseSection(const QString& s) {
    Section section;
    auto literal = [&](const QString& text) {
        if (!section.tokens.empty() && section.tokens.back().kind == Token::Literal)
            section.tokens.back().text += text;
        else
            section.tokens.push_back({Token::Literal, text});
    };
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s[i];
        const QChar lower = c.toLower();
        if (c == u'"') {
            const qsizetype end = s.indexOf(u'"', i + 1);
            literal(s.mid(i + 1, (end < 0 ? s.size() : end) - i - 1));
            i = end < 0 ? s.size() : end;
        } else if (c == u'\\' && i + 1 < s.size()) {
            literal(QString(s[++i]));
        } else if (c == u'_' && i + 1 < s.size()) {
            ++i;
            literal(QStringLiteral(" "));
        } else if (c == u'*' && i + 1 < s.size()) {
            ++i; // fill character: nothing in a text
        } else if (c == u'[') {
            const qsizetype end = s.indexOf(u']', i + 1);
            const QString inside = s.mid(i + 1, (end < 0 ? s.size() : end) - i - 1);
            i = end < 0 ? s.size() : end;
            const QString low = inside.toLower();
            if (inside.startsWith(u'$')) {
                literal(inside.mid(1).section(u'-', 0, 0));
            } else if (!low.isEmpty() &&
                       (low.count(u'h') == low.size() || low.count(u'm') == low.size() ||
                        low.count(u's') == low.size())) {
                section.tokens.push_back({Token::DatePart, u'[' + low + u']'});
                section.isDate = true;
            } else if (inside.startsWith(u'<') || inside.startsWith(u'>') ||
                       inside.startsWith(u'=')) {
                qsizetype n = 1;
                while (n < inside.size() && (inside[n] == u'=' || inside[n] == u'>'))
                    ++n;
                section.condition = inside.left(n);
                section.threshold = inside.mid(n).toDouble();
            } // colours and other bracketed codes show nothing
        } else if (s.mid(i, 7).compare(QStringLiteral("General"), Qt::CaseInsensitive) == 0) {
            section.tokens.push_back({Token::General, {}});
            i += 6;
        } else if (c == u'0' || c == u'#' || c == u'?') {
            section.tokens.push_back({Token::Digit, QString(c)});
        } else if (c == u'.') {
            section.tokens.push_back({Token::Point, {}});
        } else if (c == u',') {
            section.tokens.push_back({Token::Group, {}});
        } else if (c == u'%') {
            section.tokens.push_back({Token::Percent, {}});
        } else if ((c == u'E' || c == u'e') && i + 1 < s.size() &&
                   (s[i + 1] == u'+' || s[i + 1] == u'-')) {
            section.tokens.push_back({Token::Exponent, QString(s[i + 1])});
            ++i;
        } else if (c == u'@') {
            section.tokens.push_back({Token::Text, {}});
        } else if (s.mid(i, 5).compare(QStringLiteral("AM/PM"), Qt::CaseInsensitive) == 0) {
            section.tokens.push_back({Token::DatePart, QStringLiteral("am/pm")});
            section.isDate = true;
            i += 4;
        } else if (s.mid(i, 3).compare(QStringLiteral("A/P"), Qt::CaseInsensitive) == 0) {
            section.tokens.push_back({Token::DatePart, QStringLiteral("a/p")});
            section.isDate = true;
            i += 2;
        } else if (lower == u'y' || lower == u'm' || lower == u'd' || lower == u'h' ||
                   lower == u's') {
            qsizetype j = i;
            while (j < s.size() && s[j].toLower() == lower)
                ++j;
            section.tokens.push_back({Token::DatePart, s.mid(i, j - i).toLower()});
            section.isDate = true;
            i = j - 1;
        } else {
            literal(QString(c));
        }
    }
    // "m" is minutes right after an hour or right before seconds.
    int lastDate = -1;
    for (int k = 0; k < static_cast<int>(section.tokens.size()); ++k) {
        Token& t = section.tokens[static_cast<size_t>(k)];
        if (t.kind != Token::DatePart)
            continue;
        if (t.text.startsWith(u'm') && t.text.size() <= 2) {
            bool minute =
                lastDate >= 0 && section.tokens[static_cast<size_t>(lastDate)].text.contains(u'h');
            for (size_t n = static_cast<size_t>(k) + 1; n < section.tokens.size() && !minute; ++n) {
                if (section.tokens[n].kind != Token::DatePart)
                    continue;
                minute = section.tokens[n].text.startsWith(u's') ||
                         section.tokens[n].text.startsWith(u"[s");
                break;
            }
            if (minute)
                t.text = t.text.size() == 1 ? QStringLiteral("min") : QStringLiteral("mmin");
        }
        lastDate = k;
    }
    return section;
}

QString twoDigits(qint64 n) {
    return QString::number(n).rightJustified(2, u'0');
}

// Excel's general display: integers whole, other values to ten significant digits,
// scientific notation for very large and very small values.
QString generalText(double value) {
    if (value == 0)
        return QStringLiteral("0");
    const double magnitude = std::fabs(value);
    QString text;
    if (magnitude >= 1e11 || magnitude < 1e-9) {
        text = QString::number(value, 'E', 5); // 1.23457E+11
        const qsizetype e = text.indexOf(u'E');
        QString mantissa = text.left(e);
        if (mantissa.contains(u'.')) {
            while (mantissa.endsWith(u'0'))
                mantissa.chop(1);
            if (mantissa.endsWith(u'.'))
                mantissa.chop(1);
        }
        QString exponent = text.mid(e + 1); // "+11", "-007"
        const QChar sign = exponent[0];
        exponent = exponent.mid(1);
        while (exponent.size() > 2 && exponent.startsWith(u'0'))
            exponent.remove(0, 1);
        text = mantissa + u'E' + sign + exponent;
    } else if (value == std::trunc(value) && magnitude < 1e15) {
        return QString::number(static_cast<qint64>(value));
    } else {
        text = QString::number(value, 'g', 10);
        if (text.contains(u'e')) // small values written in fixed notation
            text = QString::number(value, 'f',
                                   10 - static_cast<int>(std::floor(std::log10(magnitude))) - 1);
        if (text.contains(u'.')) {
            while (text.endsWith(u'0'))
                text.chop(1);
            if (text.endsWith(u'.'))
                text.chop(1);
        }
    }
    return text.replace(u'.', kDecimal);
}

QString grouped(const QString& digits) {
    QString out;
    const qsizetype n = digits.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0)
            out += kGroup;
        out += digits[i];
    }
    return out;
}

QString formatNumeric(double value, const Section& section) {
    const auto& tokens = section.tokens;
    // Where the integer, fraction and exponent placeholders are.
    int pointAt = -1;
    int exponentAt = -1;
    for (int k = 0; k < static_cast<int>(tokens.size()); ++k) {
        if (tokens[static_cast<size_t>(k)].kind == Token::Point && pointAt < 0 && exponentAt < 0)
            pointAt = k;
        if (tokens[static_cast<size_t>(k)].kind == Token::Exponent && exponentAt < 0)
            exponentAt = k;
    }
    const int mantissaEnd = exponentAt < 0 ? static_cast<int>(tokens.size()) : exponentAt;
    const int integerEnd = pointAt < 0 ? mantissaEnd : pointAt;
    int integerDigits = 0, fractionDigits = 0, exponentDigits = 0, lastIntegerDigit = -1;
    for (int k = 0; k < static_cast<int>(tokens.size()); ++k) {
        if (tokens[static_cast<size_t>(k)].kind != Token::Digit)
            continue;
        if (k < integerEnd) {
            ++integerDigits;
            lastIntegerDigit = k;
        } else if (k < mantissaEnd) {
            ++fractionDigits;
        } else {
            ++exponentDigits;
        }
    }
    bool grouping = false;
    int scale = 0;
    int percents = 0;
    int firstIntegerDigit = -1;
    for (int k = 0; k < integerEnd; ++k)
        if (tokens[static_cast<size_t>(k)].kind == Token::Digit) {
            firstIntegerDigit = k;
            break;
        }
    for (int k = 0; k < static_cast<int>(tokens.size()); ++k) {
        const Token& t = tokens[static_cast<size_t>(k)];
        if (t.kind == Token::Percent)
            ++percents;
        if (t.kind != Token::Group)
            continue;
        if (k > firstIntegerDigit && k < lastIntegerDigit && firstIntegerDigit >= 0)
            grouping = true;
        else if (k > lastIntegerDigit && lastIntegerDigit >= 0 && k <= integerEnd)
            ++scale; // a comma after the digits divides by a thousand
    }
    double v = std::fabs(value) * std::pow(100.0, percents) / std::pow(1000.0, scale);

    int exponent = 0;
    if (exponentAt >= 0 && v != 0) {
        const int step = std::max(1, integerDigits);
        exponent = static_cast<int>(std::floor(std::log10(v)));
        if (integerDigits > 1)
            exponent = static_cast<int>(std::floor(static_cast<double>(exponent) / step)) * step;
        else
            exponent -= std::max(0, integerDigits - 1);
        v /= std::pow(10.0, exponent);
        // Rounding may carry the mantissa over to the next power.
        const double rounded =
            std::round(v * std::pow(10.0, fractionDigits)) / std::pow(10.0, fractionDigits);
        if (rounded >= std::pow(10.0, std::max(1, integerDigits))) {
            v /= 10;
            ++exponent;
        }
    }
    const QString fixed = QString::number(v, 'f', std::min(fractionDigits, 30));
    QString intDigits = fixed.section(u'.', 0, 0);
    QString fracDigits = fixed.section(u'.', 1, 1);
    if (intDigits == u"0")
        intDigits.clear();

    // Integer placeholders, filled from the right; the leftmost takes every digit left over.
    QString integerText;
    {
        QString digits = intDigits;
        std::vector<QString> parts;
        int placeholdersLeft = integerDigits;
        for (int k = integerEnd - 1; k >= 0; --k) {
            const Token& t = tokens[static_cast<size_t>(k)];
            if (t.kind == Token::Literal) {
                if (k > firstIntegerDigit && k < lastIntegerDigit)
                    parts.push_back(t.text);
                continue;
            }
            if (t.kind != Token::Digit)
                continue;
            --placeholdersLeft;
            QString piece;
            if (placeholdersLeft == 0 && !grouping) {
                piece = digits;
                digits.clear();
            } else if (!digits.isEmpty() && !grouping) {
                piece = digits.right(1);
                digits.chop(1);
            }
            if (piece.isEmpty() && !grouping)
                piece = t.text == u"0" ? QStringLiteral("0")
                                       : (t.text == u"?" ? QStringLiteral(" ") : QString());
            parts.push_back(piece);
        }
        if (grouping) {
            int zeros = 0;
            for (int k = 0; k < integerEnd; ++k)
                if (tokens[static_cast<size_t>(k)].kind == Token::Digit &&
                    tokens[static_cast<size_t>(k)].text == u"0")
                    ++zeros;
            QString padded = intDigits.rightJustified(zeros, u'0');
            integerText = grouped(padded);
        } else {
            for (auto it = parts.rbegin(); it != parts.rend(); ++it)
                integerText += *it;
        }
    }

    // Fraction placeholders: zeros shown for "0", dropped for "#", spaces for "?".
    QString fractionText;
    {
        int k2 = 0;
        QString shown;
        std::vector<QChar> kinds;
        for (int k = integerEnd; k < mantissaEnd; ++k)
            if (tokens[static_cast<size_t>(k)].kind == Token::Digit)
                kinds.push_back(tokens[static_cast<size_t>(k)].text[0]);
        shown = fracDigits;
        int keep = static_cast<int>(shown.size());
        while (keep > 0 && shown[keep - 1] == u'0' && kinds[static_cast<size_t>(keep - 1)] != u'0')
            --keep;
        for (k2 = 0; k2 < static_cast<int>(kinds.size()); ++k2) {
            if (k2 < keep)
                fractionText += shown[k2];
            else if (kinds[static_cast<size_t>(k2)] == u'?')
                fractionText += u' ';
        }
    }

    QString out;
    bool integerDone = false;
    bool fractionDone = false;
    for (int k = 0; k < static_cast<int>(tokens.size()); ++k) {
        const Token& t = tokens[static_cast<size_t>(k)];
        if (k < integerEnd && (t.kind == Token::Digit || t.kind == Token::Group ||
                               (t.kind == Token::Literal && k > firstIntegerDigit &&
                                firstIntegerDigit >= 0 && k < lastIntegerDigit))) {
            if (!integerDone) {
                out += integerText;
                integerDone = true;
            }
            continue;
        }
        switch (t.kind) {
        case Token::Literal:
            out += t.text;
            break;
        case Token::Point:
            if (k == pointAt)
                out += kDecimal;
            break;
        case Token::Digit:
            if (k < mantissaEnd) {
                if (!fractionDone) {
                    out += fractionText;
                    fractionDone = true;
                }
            }
            break;
        case Token::Percent:
            out += u'%';
            break;
        case Token::Exponent: {
            out += u'E';
            if (exponent < 0)
                out += u'-';
            else if (t.text == u"+")
                out += u'+';
            out += QString::number(std::abs(exponent))
                       .rightJustified(std::max(1, exponentDigits), u'0');
            k = static_cast<int>(tokens.size()); // the exponent digits are written
            break;
        }
        case Token::Text:
            out += generalText(value);
            break;
        case Token::General:
            out += generalText(std::fabs(value));
            break;
        default:
            break;
        }
    }
    if (!integerDone && integerDigits > 0)
        out.prepend(integerText);
    // Anything after the exponent digits (literals) was skipped above: add it back.
    if (exponentAt >= 0)
        for (size_t k = static_cast<size_t>(exponentAt) + 1; k < tokens.size(); ++k)
            if (tokens[k].kind == Token::Literal)
                out += tokens[k].text;
    return out;
}

// The date and time of an Excel serial number; empty for a value out of range.
std::optional<QDateTime> serialToDateTime(double serial, bool date1904, bool keepMilliseconds) {
    if (!(serial >= 0) || serial > 2958466.0)
        return std::nullopt;
    qint64 days = static_cast<qint64>(std::floor(serial));
    double fraction = serial - static_cast<double>(days);
    qint64 ms = static_cast<qint64>(std::llround(fraction * 86400000.0));
    if (!keepMilliseconds)
        ms = (ms + 500) / 1000 * 1000;
    if (ms >= 86400000) {
        ms -= 86400000;
        ++days;
    }
    QDate date;
    if (date1904)
        date = QDate(1904, 1, 1).addDays(days);
    else if (days < 61) // before the 1900 leap day that never was
        date = QDate(1899, 12, 31).addDays(days);
    else
        date = QDate(1899, 12, 30).addDays(days);
    return QDateTime(date, QTime(0, 0).addMSecs(static_cast<int>(ms)));
}

QString formatDate(double value, const Section& section, bool date1904) {
    bool milliseconds = false;
    for (const Token& t : section.tokens)
        if (t.kind == Token::Point)
            milliseconds = true;
    const auto when = serialToDateTime(value, date1904, milliseconds);
    if (!when)
        return generalText(value);
    const QDate d = when->date();
    const QTime t = when->time();
    bool twelveHour = false;
    for (const Token& tok : section.tokens)
        if (tok.kind == Token::DatePart && (tok.text == u"am/pm" || tok.text == u"a/p"))
            twelveHour = true;
    const double totalSeconds = std::round(value * 86400.0);
    QString out;
    for (size_t k = 0; k < section.tokens.size(); ++k) {
        const Token& tok = section.tokens[k];
        if (tok.kind == Token::Literal) {
            out += tok.text;
            continue;
        }
        if (tok.kind == Token::Point) {
            // Fractions of a second: ".0", ".00", ".000" after the seconds.
            int digits = 0;
            while (k + 1 < section.tokens.size() && section.tokens[k + 1].kind == Token::Digit) {
                ++digits;
                ++k;
            }
            if (digits > 0)
                out += kDecimal + QString::number(t.msec()).rightJustified(3, u'0').left(digits);
            else
                out += u'.';
            continue;
        }
        if (tok.kind != Token::DatePart) {
            if (tok.kind == Token::Digit)
                out += tok.text;
            continue;
        }
        const QString& c = tok.text;
        if (c.startsWith(u'y'))
            out += c.size() <= 2 ? twoDigits(d.year() % 100) : QString::number(d.year());
        else if (c == u"m")
            out += QString::number(d.month());
        else if (c == u"mm")
            out += twoDigits(d.month());
        else if (c == u"mmm")
            out += QString::fromUtf16(kMonthsShort[d.month() - 1]);
        else if (c == u"mmmmm")
            out += QString::fromUtf16(kMonthsLong[d.month() - 1]).left(1);
        else if (c.startsWith(u"mmmm"))
            out += QString::fromUtf16(kMonthsLong[d.month() - 1]);
        else if (c == u"min")
            out += QString::number(t.minute());
        else if (c == u"mmin")
            out += twoDigits(t.minute());
        else if (c == u"d")
            out += QString::number(d.day());
        else if (c == u"dd")
            out += twoDigits(d.day());
        else if (c == u"ddd")
            out += QString::fromUtf16(kDaysShort[d.dayOfWeek() - 1]);
        else if (c.startsWith(u"dddd"))
            out += QString::fromUtf16(kDaysLong[d.dayOfWeek() - 1]);
        else if (c.startsWith(u'h')) {
            int hour = t.hour();
            if (twelveHour)
                hour = hour % 12 == 0 ? 12 : hour % 12;
            out += c.size() == 1 ? QString::number(hour) : twoDigits(hour);
        } else if (c.startsWith(u's'))
            out += c.size() == 1 ? QString::number(t.second()) : twoDigits(t.second());
        else if (c == u"am/pm")
            out += t.hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM");
        else if (c == u"a/p")
            out += t.hour() < 12 ? QStringLiteral("A") : QStringLiteral("P");
        else if (c.startsWith(u"[h"))
            out += QString::number(static_cast<qint64>(totalSeconds) / 3600)
                       .rightJustified(c.size() - 2, u'0');
        else if (c.startsWith(u"[m"))
            out += QString::number(static_cast<qint64>(totalSeconds) / 60)
                       .rightJustified(c.size() - 2, u'0');
        else if (c.startsWith(u"[s"))
            out += QString::number(static_cast<qint64>(totalSeconds))
                       .rightJustified(c.size() - 2, u'0');
    }
    return out;
}

bool conditionHolds(const Section& s, double v) {
    const QString& op = *s.condition;
    if (op == u"<")
        return v < s.threshold;
    if (op == u"<=")
        return v <= s.threshold;
    if (op == u">")
        return v > s.threshold;
    if (op == u">=")
        return v >= s.threshold;
    if (op == u"=")
        return v == s.threshold;
    if (op == u"<>")
        return v != s.threshold;
    return false;
}

} // namespace

QString formatSpreadsheetNumber(double value, const QString& code, bool date1904) {
    if (!std::isfinite(value))
        return QStringLiteral("#NOMBRE!");
    const QString trimmed = code.trimmed();
    if (trimmed.isEmpty() || trimmed.compare(QStringLiteral("General"), Qt::CaseInsensitive) == 0)
        return generalText(value);
    const QStringList texts = splitSections(code);
    std::vector<Section> sections;
    for (const QString& t : texts)
        sections.push_back(parseSection(t));
    // Only the number sections count; a fourth one is for texts.
    const size_t numberSections = std::min<size_t>(sections.size(), 3);
    const Section* chosen = &sections[0];
    bool showSign = true;
    if (sections[0].condition || (numberSections > 1 && sections[1].condition)) {
        if (sections[0].condition && conditionHolds(sections[0], value)) {
            chosen = &sections[0];
        } else if (numberSections > 1 &&
                   (!sections[1].condition || conditionHolds(sections[1], value))) {
            chosen = &sections[1];
            showSign = sections[1].condition.has_value();
        } else if (numberSections > 2) {
            chosen = &sections[2];
        }
    } else if (value < 0 && numberSections >= 2) {
        chosen = &sections[1];
        showSign = false; // the negative section writes its own sign
    } else if (value == 0 && numberSections >= 3) {
        chosen = &sections[2];
    }
    if (chosen->isDate)
        return formatDate(value, *chosen, date1904);
    QString text = formatNumeric(value, *chosen);
    // A negative value rounded to zero shows no sign.
    bool allZero = true;
    for (const QChar c : text)
        if (c.isDigit() && c != u'0')
            allZero = false;
    if (value < 0 && showSign && !allZero)
        text.prepend(u'-');
    return text;
}

} // namespace automation
