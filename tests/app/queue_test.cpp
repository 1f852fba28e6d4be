// The queue commands against the real program and a real SMTP server that keeps some rows
// waiting (451): the listing, a retry, a hold kept across a restart, its release, removing
// rows until the job ends in the dead-letter folder, bad input, and no running copy.
#include "support/job_corpus.h"
#include "support/program_run.h"
#include "support/smtp_fixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

struct Outcome {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Outcome run(const ProgramInstall& install, const QStringList& arguments) {
    auto process = install.start(50, arguments);
    if (!process->waitForFinished(20000))
        return {};
    return {process->exitCode(), process->readAllStandardOutput(), process->readAllStandardError()};
}

// `--queue --json` by row: row number -> its entry.
QMap<int, QJsonObject> queue(const ProgramInstall& install) {
    QMap<int, QJsonObject> rows;
    for (const QJsonValue& v :
         QJsonDocument::fromJson(run(install, {"--queue", "--json"}).out).array())
        rows.insert(v.toObject().value("row").toInt(), v.toObject());
    return rows;
}

// Mails the server took for `recipient`.
int mailsTo(const SmtpServer& server, const QString& recipient) {
    int count = 0;
    for (const ReceivedMessage& m : server.messages())
        count += m.recipients.contains(recipient) ? 1 : 0;
    return count;
}

} // namespace

TEST(Queue, ListRetryHoldReleaseDropOnARunningStation) {
    ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    SmtpServerOptions options;
    options.host = privateLoopbackAddress();
    options.port = 25;
    options.reply("RCPT", "wait", "451 4.7.1 Greylisted\x01, come back later");
    SmtpServer server(options);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    const QString jobs = QStringLiteral("C:\\Jobs\\");
    ASSERT_TRUE(install.writeSettings(options.host, "postique@station.test", jobs));
    // Rows that wait are not tried again on their own during the test.
    ASSERT_TRUE(install.editSettings(
        [](QByteArray& ini) { ini += "[Relances]\r\nPremiereAttente=3600\r\n"; }));
    const QString folder = install.drivePath(jobs);
    ASSERT_TRUE(QDir().mkpath(folder));
    QByteArray job;
    for (const char* to : {"wait1@example.org", "wait2@example.org", "ok@example.org"})
        job += jobRow("1", to, {}, {}, "s", "b");
    ASSERT_TRUE(writeFile(folder + "/Email_1.ss8", job));
    const QString host = options.host;

    // No running copy: the commands that act say so; the listing reads the jobs.
    EXPECT_EQ(run(install, {"--retry-now"}).code, 3);
    EXPECT_EQ(run(install, {"--hold", host}).code, 3);
    EXPECT_EQ(queue(install).size(), 3);

    auto program = install.start(50);
    ASSERT_TRUE(program->waitForStarted(10000));
    QMap<int, QJsonObject> rows;
    ASSERT_TRUE(waitUntil(
        [&] {
            rows = queue(install);
            return rows.size() == 2 && rows.value(1).value("attempts").toInt() == 1 &&
                   rows.value(2).value("attempts").toInt() == 1;
        },
        60000))
        << program->readAllStandardError().toStdString();
    const QJsonObject first = rows.value(1);
    EXPECT_EQ(first.value("job").toString(), "Email_1.ss8");
    EXPECT_EQ(first.value("recipients").toString(), "wait1@example.org");
    EXPECT_EQ(first.value("state").toString(), "waiting");
    EXPECT_EQ(first.value("destination").toString(), host);
    EXPECT_TRUE(first.value("reason").toString().contains("451"))
        << first.value("reason").toString().toStdString();
    EXPECT_FALSE(first.value("reason").toString().contains(QChar(1))) << "reason not cleaned";
    EXPECT_GT(first.value("next_try").toInteger(), QDateTime::currentSecsSinceEpoch() + 600);
    EXPECT_TRUE(run(install, {"--queue"}).out.contains("Email_1.ss8\t1\twait1@example.org"));

    // Bad input: a clear line, nothing changed.
    const struct {
        QStringList arguments;
        int code;
    } refused[] = {
        {{"--drop", "Email_1.ss8:9"}, 4}, {{"--drop", "Email_9.ss8:1"}, 4},
        {{"--drop", "Email_1.ss8:3"}, 4}, {{"--hold", "never.example"}, 4},
        {{"--release", host}, 4},         {{"--retry-now", "Email_9.ss8"}, 4},
        {{"--drop", "Email_1.ss8"}, 2},   {{"--hold"}, 2},
        {{"--queue", "--hold", host}, 2}, {{"--queue", "--bogus"}, 2},
    };
    for (const auto& c : refused) {
        const Outcome o = run(install, c.arguments);
        EXPECT_EQ(o.code, c.code) << c.arguments.join(' ').toStdString();
        EXPECT_FALSE(o.err.trimmed().isEmpty()) << c.arguments.join(' ').toStdString();
    }
    EXPECT_EQ(queue(install).size(), 2);

    // Retry now: the row is tried again at once, its wait notwithstanding.
    EXPECT_EQ(run(install, {"--retry-now", "Email_1.ss8"}).code, 0);
    EXPECT_TRUE(
        waitUntil([&] { return queue(install).value(2).value("attempts").toInt() == 2; }, 30000));

    // A hold survives a restart, shows in the listing and in --status, and keeps the rows back.
    EXPECT_EQ(run(install, {"--hold", host}).code, 0);
    killProgram(*program);
    program = install.start(50);
    ASSERT_TRUE(program->waitForStarted(10000));
    ASSERT_TRUE(waitUntil([&] { return run(install, {"--retry-now"}).code == 0; }, 30000));
    rows = queue(install);
    EXPECT_EQ(rows.value(1).value("state").toString(), "held");
    ASSERT_TRUE(waitUntil(
        [&] {
            const QJsonObject status =
                QJsonDocument::fromJson(run(install, {"--status", "--json"}).out).object();
            return status.value("held").toArray().contains(host) &&
                   status.value("queue_rows").toInt() == 2;
        },
        30000));
    // A new row for the held destination stays back until the release.
    ASSERT_TRUE(
        writeFile(folder + "/Email_2.ss8", jobRow("1", "ok2@example.org", {}, {}, "s", "b")));
    ASSERT_TRUE(
        waitUntil([&] { return QFile::exists(folder + "/.Email_2.ss8.postique-journal"); }, 30000));
    EXPECT_FALSE(waitUntil([&] { return mailsTo(server, "ok2@example.org") > 0; }, 3000))
        << "a held destination got a mail";
    EXPECT_EQ(run(install, {"--release", host}).code, 0);
    EXPECT_EQ(queue(install).value(1).value("state").toString(), "waiting");
    EXPECT_TRUE(waitUntil([&] { return mailsTo(server, "ok2@example.org") == 1; }, 30000));

    // Dropping both rows ends the job: it goes to the dead-letter folder with the reason.
    EXPECT_EQ(run(install, {"--drop", "Email_1.ss8:1"}).code, 0);
    EXPECT_EQ(run(install, {"--drop", "Email_1.ss8:1"}).code, 4);
    EXPECT_EQ(run(install, {"--drop", "Email_1.ss8:2"}).code, 0);
    const QString dead = folder + QStringLiteral("/Mails non envoyés");
    ASSERT_TRUE(waitUntil([&] { return !QFile::exists(folder + "/Email_1.ss8"); }, 30000));
    QByteArray note;
    for (const QString& name : QDir(dead).entryList({"*.txt"}, QDir::Files)) {
        QFile f(dead + u'/' + name);
        if (f.open(QIODevice::ReadOnly))
            note += f.readAll();
    }
    EXPECT_EQ(note.count("retiré par l'opérateur"), 2) << note.toStdString();
    // The register says who removed them.
    QByteArray register_;
    const QString history =
        install.drivePath(QStringLiteral("C:\\Halvaro\\Velmora\\Config\\Historique"));
    EXPECT_TRUE(waitUntil(
        [&] {
            register_.clear();
            for (const QString& name : QDir(history).entryList({"envois-*.jsonl"}, QDir::Files)) {
                QFile f(history + u'/' + name);
                if (f.open(QIODevice::ReadOnly))
                    register_ += f.readAll();
            }
            return register_.count("\"outcome\":\"dropped\"") == 2;
        },
        5000))
        << register_.toStdString();
    EXPECT_TRUE(queue(install).isEmpty());
    for (const char* to : {"wait1@example.org", "wait2@example.org"})
        EXPECT_EQ(mailsTo(server, to), 0) << "a dropped row went: " << to;
    killProgram(*program);
    // The socket the killed copy left behind is no running copy.
    EXPECT_EQ(run(install, {"--retry-now"}).code, 3);
}
