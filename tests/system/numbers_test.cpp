// Fixed-width number text, and the build moment and version text of a version.
#include "system/numbers.h"

#include "support/qt_print.h"
#include "system/error_reporting.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <limits>

using Lib_Public::N2S;
using Lib_Systeme::DateApplication;
using Lib_Systeme::ProgramVersion;
using Lib_Systeme::VersionApplication;

namespace {

// Captures the diagnostic trace of reported errors.
struct TraceRecorder {
    QStringList lines;
    TraceRecorder() {
        Lib_Public::SetTraceHook([this](const QString& line) { lines << line; });
    }
    ~TraceRecorder() { Lib_Public::SetTraceHook({}); }
};

} // namespace

TEST(N2S, RoundsPadsAndCuts) {
    const struct {
        double value;
        qint16 width;
        qint16 decimals;
        const char* fill;
        const char* text;
    } cases[] = {
        {7, 2, 0, "0", "07"},
        {2025, 4, 0, "0", "2025"},
        {0, 2, 0, "0", "00"},
        {99, 2, 0, "0", "99"},
        {100, 2, 0, "0", "00"}, // leading digits beyond the width are cut
        {12345, 4, 0, "0", "2345"},
        {2.5, 3, 0, " ", "  3"}, // 2.505 rounds up
        {1.4, 3, 0, " ", "  1"},
        {2.495, 3, 0, " ", "  2"}, // 2.5 after the 0.005: halves go to the even side
        {3.495, 3, 0, " ", "  4"},
        {5, 3, 0, "", "  5"},         // empty fill means a space
        {5, 3, 0, "*#", "**5"},       // only the first fill character counts
        {1.231, 6, 2, " ", "  1.24"}, // 0.005 is added before rounding
        {3.5, 6, 2, " ", "  3.50"},   // 350.5 goes to the even 350
        {0.25, 5, 2, " ", " 0.26"},   // ".26" gains its leading zero
        {0.05, 6, 2, " ", "  0.06"},
        {0.004, 5, 2, " ", " 0.01"},        // 0.009 after the 0.005
        {1.5, 6, 2, "0", "001.50"},         // 150.5 goes to the even 150
        {12.3, 5, 3, " ", "2.305"},         // too many digits: the leading ones go
        {0.5, 2, 2, "0", ".50"},            // no room before the dot: the text grows
        {5e12, 12, 0, " ", "  2147483647"}, // clamped to the 32-bit bound
        {0, 0, 0, "0", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(N2S(c.value, c.width, c.decimals, QString::fromUtf8(c.fill)),
                  QString::fromUtf8(c.text))
            << c.value << " " << c.width << " " << c.decimals << " '" << c.fill << "'";
    }
}

TEST(N2S, NegativeSignTakesASpaceOrTheFirstCharacter) {
    const struct {
        double value;
        qint16 width;
        qint16 decimals;
        const char* fill;
        const char* text;
    } cases[] = {
        {-5, 4, 0, " ", "  -5"},      {-5, 4, 0, "0", "-005"},
        {-1234, 4, 0, " ", "-1234"}, // no room and a leading digit: one wider
        {-12345, 4, 0, "0", "-2345"}, {-0.25, 6, 2, " ", " -0.26"},
        {-0.25, 5, 2, "0", "-0.26"}, // the "0" fill is replaced by the sign
        {-5, 3, 0, "x", "-x5"},       {-5, 0, 0, " ", "-"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(N2S(c.value, c.width, c.decimals, QString::fromUtf8(c.fill)),
                  QString::fromUtf8(c.text))
            << c.value << " " << c.width << " " << c.decimals << " '" << c.fill << "'";
    }
}

TEST(N2S, ReportsImpossibleFormatsWithTheValue) {
    TraceRecorder trace;
    EXPECT_EQ(N2S(std::numeric_limits<double>::quiet_NaN(), 3, 0, "0"), QStringLiteral("000"));
    EXPECT_EQ(N2S(-1.5, 4, 10, " "), QStringLiteral("-0000")); // no scale: 0
    EXPECT_EQ(N2S(7, -1, 0, "0"), QString());
    ASSERT_EQ(trace.lines.size(), 3);
    EXPECT_TRUE(trace.lines[0].startsWith(QStringLiteral("Lib_Public:N2S (Value: nan): error 6")))
        << trace.lines[0].toStdString();
    EXPECT_TRUE(trace.lines[1].startsWith(QStringLiteral("Lib_Public:N2S (Value: 1.5): error 6")))
        << trace.lines[1].toStdString();
    EXPECT_TRUE(trace.lines[2].contains(QStringLiteral("error 5")));
}

TEST(DateApplication, ReadsTheBuildMomentFromTheVersionNumbers) {
    const struct {
        ProgramVersion version;
        QDateTime moment;
        const char* text;
    } cases[] = {
        {{2025, 109, 1402, {}},
         QDateTime(QDate(2025, 1, 9), QTime(14, 2), Qt::UTC),
         "2025.0109.1402"},
        {{2024, 1231, 905, {}},
         QDateTime(QDate(2024, 12, 31), QTime(9, 5), Qt::UTC),
         "2024.1231.0905"},
        {{2024, 101, 0, {}}, QDateTime(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC), "2024.0101.0000"},
        // Out-of-range parts roll over.
        {{2024, 1301, 0, {}}, QDateTime(QDate(2025, 1, 1), QTime(0, 0), Qt::UTC), "2025.0101.0000"},
        {{2025, 230, 0, {}}, QDateTime(QDate(2025, 3, 2), QTime(0, 0), Qt::UTC), "2025.0302.0000"},
        {{2024, 1231, 2460, {}},
         QDateTime(QDate(2025, 1, 1), QTime(1, 0), Qt::UTC),
         "2025.0101.0100"},
        {{2025, 100, 0, {}},
         QDateTime(QDate(2024, 12, 31), QTime(0, 0), Qt::UTC),
         "2024.1231.0000"},
        {{2025, 12345, 0, {}},
         QDateTime(QDate(2026, 12, 15), QTime(0, 0), Qt::UTC),
         "2026.1215.0000"}, // only the rightmost four digits count: month 23, day 45
        // A major number that is not a year: the file description, else 1 January 2000.
        {{1, 0, 0, QStringLiteral("Postique Velmora")},
         QDateTime(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC),
         "2000.0101.0000"},
        {{1999, 109, 1402, {}},
         QDateTime(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC),
         "2000.0101.0000"},
        {{1, 0, 0, QStringLiteral("17/03/2023 08:30")},
         QDateTime(QDate(2023, 3, 17), QTime(8, 30), Qt::UTC),
         "2023.0317.0830"},
        {{1, 0, 0, QStringLiteral("2022-11-05")},
         QDateTime(QDate(2022, 11, 5), QTime(0, 0), Qt::UTC),
         "2022.1105.0000"},
    };
    for (const auto& c : cases) {
        const QString id = QStringLiteral("%1.%2.%3 %4")
                               .arg(c.version.major)
                               .arg(c.version.minor)
                               .arg(c.version.revision)
                               .arg(c.version.fileDescription);
        EXPECT_EQ(DateApplication(c.version), c.moment) << id.toStdString();
        EXPECT_EQ(VersionApplication(c.version), QString::fromUtf8(c.text)) << id.toStdString();
    }
}

TEST(VersionApplication, ProgramVersionIsItsBuildMoment) {
    const ProgramVersion version = Lib_Systeme::ApplicationVersion();
    EXPECT_EQ(version.major, POSTIQUE_VERSION_MAJOR);
    EXPECT_EQ(version.minor, POSTIQUE_VERSION_MINOR);
    EXPECT_EQ(version.revision, POSTIQUE_VERSION_REVISION);
    EXPECT_EQ(VersionApplication(), VersionApplication(version));
    EXPECT_EQ(DateApplication(), DateApplication(version));
}
