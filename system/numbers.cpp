// Number, date and version text.
#include "system/numbers.h"

#include "system/error_reporting.h"

#include <cmath>
#include <limits>

namespace {

constexpr qint32 kErrInvalidCall = 5; // invalid procedure call or argument
constexpr qint32 kErrOverflow = 6;
constexpr qint32 kErrTypeMismatch = 13;

// Rounds to the nearest integer, halves to the even neighbour, whatever the FPU mode.
double roundHalfEven(double x) {
    const double down = std::floor(x);
    const double diff = x - down;
    if (diff < 0.5)
        return down;
    if (diff > 0.5)
        return down + 1.0;
    return std::fmod(down, 2.0) == 0.0 ? down : down + 1.0;
}

// The numeric value at the start of `text` the way the suite's number reading does it:
// blanks anywhere are skipped, then an optional sign, digits with at most one dot and an
// optional exponent; reading stops at the first character that cannot belong to a number.
double leadingNumber(const QString& text) {
    QString digits;
    bool dotSeen = false;
    bool exponentSeen = false;
    for (QChar c : text) {
        if (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r')
            continue;
        if ((c == u'-' || c == u'+') && (digits.isEmpty() || digits.endsWith(u'e'))) {
            digits += c;
        } else if (c.isDigit() && c.unicode() < 128) {
            digits += c;
        } else if (c == u'.' && !dotSeen && !exponentSeen) {
            dotSeen = true;
            digits += c;
        } else if ((c == u'e' || c == u'E' || c == u'd' || c == u'D') && !exponentSeen &&
                   !digits.isEmpty()) {
            exponentSeen = true;
            digits += u'e';
        } else {
            break;
        }
    }
    // Drop what a valid number cannot end with ("1e", "-", ".").
    while (!digits.isEmpty()) {
        bool ok = false;
        const double v = digits.toDouble(&ok);
        if (ok)
            return v;
        digits.chop(1);
    }
    return 0.0;
}

QString valueLabel(double value) {
    return QStringLiteral("Lib_Public:N2S (Value: ") + QString::number(value, 'g', 15) +
           QStringLiteral(")");
}

} // namespace

namespace Lib_Public {

QString N2S(double value, qint16 width, qint16 decimals, const QString& fill) {
    const bool negative = value < 0;
    if (negative)
        value = -value;
    const QChar fillChar = fill.isEmpty() ? QChar(u' ') : fill.at(0);

    if (width < 0) {
        ReportError(valueLabel(value), kErrInvalidCall,
                    QStringLiteral("Argument ou appel de procédure incorrect"));
        return QString();
    }

    // Scale. A multiplier that does not fit 32 bits is an overflow and stays 0.
    qint64 multiplier = 0;
    const double power = std::pow(10.0, decimals);
    if (power > 2147483647.0) {
        ReportError(valueLabel(value), kErrOverflow, QStringLiteral("Dépassement de capacité"));
    } else {
        multiplier = static_cast<qint64>(roundHalfEven(power));
    }
    double x = (value + 0.005) * static_cast<double>(multiplier);

    // Clamp (the same bound on both sides), then to the nearest integer.
    if (x > 2147483647.0)
        x = 2147483647.0;
    if (x < -2147483647.0)
        x = -2147483647.0;
    qint32 n = 0;
    if (std::isnan(x)) {
        ReportError(valueLabel(value), kErrOverflow, QStringLiteral("Dépassement de capacité"));
    } else {
        n = static_cast<qint32>(roundHalfEven(x));
    }

    QString text = QString(width, fillChar) + QString::number(n);
    text = text.right(width);

    if (decimals < 0) {
        ReportError(valueLabel(value), kErrInvalidCall,
                    QStringLiteral("Argument ou appel de procédure incorrect"));
    } else if (decimals != 0) {
        // Characters 2 .. width - decimals, the dot, then the last `decimals` characters.
        const qsizetype headLength = qMax<qsizetype>(0, width - decimals - 1);
        text = text.mid(1, headLength) + u'.' + text.right(decimals);
    }

    const qsizetype dot = text.indexOf(u'.');
    if (dot >= 0) {
        for (qsizetype i = dot + 1; i < text.size(); ++i) {
            if (text.at(i) == u' ')
                text[i] = u'0';
        }
        if (leadingNumber(text) < 1 && dot > 0)
            text[dot - 1] = u'0';
    }

    if (negative) {
        const qsizetype space = text.lastIndexOf(u' ');
        if (space >= 0) {
            text[space] = u'-';
        } else if (text.isEmpty()) {
            text = QStringLiteral("-");
        } else if (text.at(0) < u'1' || text.at(0) > u'9') {
            text[0] = u'-';
        } else {
            text = u'-' + text;
        }
    }
    return text;
}

} // namespace Lib_Public

namespace Lib_Systeme {

namespace {

// What the program's file description says; it is not a date, so a version whose major
// number is not a year falls back to 1 January 2000.
const char kFileDescription[] = "Postique Velmora";

QDateTime defaultMoment() {
    return QDateTime(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC);
}

// A description that reads as a date: day/month/year as the suite writes it, or ISO form,
// each with an optional time.
QDateTime descriptionAsDate(const QString& description) {
    const QString text = description.trimmed();
    static const char* const formats[] = {
        "dd/MM/yyyy HH:mm:ss", "dd/MM/yyyy HH:mm",    "dd/MM/yyyy",       "d/M/yyyy",
        "yyyy-MM-dd HH:mm:ss", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-dd HH:mm", "yyyy-MM-dd",
    };
    for (const char* format : formats) {
        QDateTime moment = QDateTime::fromString(text, QString::fromLatin1(format));
        if (moment.isValid()) {
            moment.setTimeSpec(Qt::UTC);
            return moment;
        }
    }
    return QDateTime();
}

} // namespace

ProgramVersion ApplicationVersion() {
    return ProgramVersion{POSTIQUE_VERSION_MAJOR, POSTIQUE_VERSION_MINOR, POSTIQUE_VERSION_REVISION,
                          QString::fromUtf8(kFileDescription)};
}

QDateTime DateApplication(const ProgramVersion& version) {
    if (version.major <= 1999) {
        const QDateTime described = descriptionAsDate(version.fileDescription);
        return described.isValid() ? described : defaultMoment();
    }
    // Four digits each, zero-padded on the left and cut to the rightmost four: MMDD, HHMM.
    const QString md = (QStringLiteral("0000") + QString::number(version.minor)).right(4);
    const QString hm = (QStringLiteral("0000") + QString::number(version.revision)).right(4);
    bool okMonth = false, okDay = false, okHour = false, okMinute = false;
    const int month = md.left(2).toInt(&okMonth);
    const int day = md.right(2).toInt(&okDay);
    const int hour = hm.left(2).toInt(&okHour);
    const int minute = hm.right(2).toInt(&okMinute);
    if (!okMonth || !okDay || !okHour || !okMinute) {
        Lib_Public::ReportError(QStringLiteral("Lib_Systeme:DateApplication"), kErrTypeMismatch,
                                QStringLiteral("Incompatibilité de type"));
        return defaultMoment();
    }
    // Months and days out of range roll over from the first day of the year.
    const QDate date = QDate(version.major, 1, 1).addMonths(month - 1).addDays(day - 1);
    if (!date.isValid()) {
        Lib_Public::ReportError(QStringLiteral("Lib_Systeme:DateApplication"), kErrInvalidCall,
                                QStringLiteral("Argument ou appel de procédure incorrect"));
        return defaultMoment();
    }
    return QDateTime(date, QTime(0, 0), Qt::UTC)
        .addSecs(static_cast<qint64>(hour) * 3600 + static_cast<qint64>(minute) * 60);
}

QDateTime DateApplication() {
    return DateApplication(ApplicationVersion());
}

QString VersionApplication(const ProgramVersion& version) {
    const QDateTime moment = DateApplication(version);
    const QDate date = moment.date();
    const QTime time = moment.time();
    using Lib_Public::N2S;
    const QString zero = QStringLiteral("0");
    return N2S(date.year(), 4, 0, zero) + u'.' + N2S(date.month(), 2, 0, zero) +
           N2S(date.day(), 2, 0, zero) + u'.' + N2S(time.hour(), 2, 0, zero) +
           N2S(time.minute(), 2, 0, zero);
}

QString VersionApplication() {
    return VersionApplication(ApplicationVersion());
}

} // namespace Lib_Systeme
