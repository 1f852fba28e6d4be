// The queue listing read from a job and its journal as they lie on disk: what waits, per
// recipient for a row that went in part, and what a journal of an earlier job says of none.
#include "automation/jobs/job_journal.h"
#include "station/operator_queue.h"
#include "support/job_corpus.h"
#include "support/qt_print.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

QByteArray keyOf(const QString& to) {
    return automation::JobJournal::rowKey({"1", {}, {}, {}, to, {}, {}, "s", "b", {}, {}, {}});
}

} // namespace

TEST(OperatorQueue, ListsWhatTheJournalLeavesWaiting) {
    QTemporaryDir dir;
    const QString job = dir.filePath("Email_1.ss8");
    QByteArray rows;
    for (const char* to :
         {"sent@x.org", "failed@x.org", "wait@x.org", "a@x.org; b@y.org", "new@x.org"})
        rows += testsupport::jobRow("1", to, {}, {}, "s", "b");
    ASSERT_TRUE(testsupport::writeFile(job, rows));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(job).constData(), &st), 0);

    const struct {
        const char* name;
        QByteArray journal;
        QStringList expected; // "row recipients attempts reason"
    } cases[] = {
        {"no journal: every row waits, untried",
         {},
         {"1 sent@x.org 0 ", "2 failed@x.org 0 ", "3 wait@x.org 0 ", "4 a@x.org, b@y.org 0 ",
          "5 new@x.org 0 "}},
        {"sent, failed, deferred, and a row that went to one of its two recipients",
         "R " + keyOf("sent@x.org") + " 0\nX " + keyOf("failed@x.org") + " 0 2 no\nD " +
             keyOf("wait@x.org") + " 0 1000 4102444800000 3 451%20later%01\nC " +
             keyOf("a@x.org; b@y.org") + " 0 a%40x.org\nD " + keyOf("a@x.org; b@y.org") +
             " 0 1000 4102444800000 1 451\nD torn",
         {"3 wait@x.org 3 451 later ", "4 b@y.org 1 451", "5 new@x.org 0 "}},
        {"the journal of an earlier job of the same name says nothing of this one",
         "R " + keyOf("sent@x.org") + " 0\nF 1 2 3 4\n",
         {"1 sent@x.org 0 ", "2 failed@x.org 0 ", "3 wait@x.org 0 ", "4 a@x.org, b@y.org 0 ",
          "5 new@x.org 0 "}},
        {"the journal of this job, finished: nothing waits",
         "F " + QByteArray::number(quint64(st.st_dev)) + ' ' +
             QByteArray::number(quint64(st.st_ino)) + ' ' + QByteArray::number(qint64(st.st_size)) +
             ' ' +
             QByteArray::number(qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec) +
             '\n',
         {}},
    };
    station::SendingSettings saved;
    saved.server = "SMTP.Example.org";
    for (const auto& c : cases) {
        ASSERT_TRUE(testsupport::writeFile(dir.filePath(".Email_1.ss8.postique-journal"),
                                           "POSTIQUE-JOURNAL 1\n" + c.journal));
        QStringList got;
        for (const station::QueueEntry& e : station::ListQueue(dir.path(), saved)) {
            got << QStringLiteral("%1 %2 %3 %4")
                       .arg(e.row)
                       .arg(e.recipients)
                       .arg(e.attempts)
                       .arg(e.reason);
            EXPECT_EQ(e.destination, "smtp.example.org") << c.name;
            EXPECT_EQ(e.state, "waiting") << c.name;
        }
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

TEST(OperatorQueue, DestinationsAndHolds) {
    station::SendingSettings direct;
    EXPECT_EQ(station::QueueDestination(direct, "A@Example.org, b@example.org; c@other.net"),
              "example.org, other.net");
    QTemporaryDir dir;
    const QString file = dir.filePath("holds.txt");
    station::QueueControl& control = station::QueueControl::instance();
    control.setHoldFile(file);
    QString error;
    ASSERT_TRUE(control.hold("Other.NET", &error)) << error.toStdString();
    control.setHoldFile(file); // as a restart reads it
    EXPECT_TRUE(control.isHeld("example.org, other.net"));
    EXPECT_FALSE(control.isHeld("example.org"));
    ASSERT_TRUE(control.release("other.net", &error));
    control.setHoldFile(file);
    EXPECT_TRUE(control.held().isEmpty());
    control.setHoldFile({});
}

// The listing written by hand reads back as the document the running copy builds, whatever the
// text holds, on many lines or on one.
TEST(OperatorQueue, TheJsonTextReadsBackAsTheDocument) {
    station::QueueEntry odd{"Email_\"q\".ss8",
                            7,
                            "a@x.org, \\b@y.org",
                            "held",
                            "451 \x01tab\there é ☃",
                            3,
                            1'796'000'000,
                            "smtp.example",
                            0};
    const struct {
        QList<station::QueueEntry> entries;
        bool oneLine;
    } cases[] = {{{}, false}, {{odd}, false}, {{odd, odd}, true}};
    for (const auto& c : cases) {
        const QByteArray text = station::QueueJsonText(c.entries, c.oneLine);
        QJsonParseError error{};
        const QJsonDocument read = QJsonDocument::fromJson(text, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << text.toStdString();
        EXPECT_EQ(read.array(), station::QueueJson(c.entries)) << text.toStdString();
        EXPECT_EQ(text.count('\n'), c.oneLine ? 0 : c.entries.size() + 2);
    }
}
