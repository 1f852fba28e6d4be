// The poller on a real SMB share on loopback, mounted through FUSE: a job written in place
// waits out the client's cache, a sent job is deleted from the server, a share gone away or not
// mounted is said once and picked up when back, a client that cannot append keeps journals in
// the settings folder, and two stations, each with its own mount, send every row once.
#if __has_include("ui/send_email.h")
#include "app/job_check.h"
#include "automation/jobs/incidents.h"
#include "automation/jobs/job_claim.h"
#include "sending_fixture.h"
#include "support/job_corpus.h"
#include "support/program_run.h"
#include "support/smb_share.h"
#include "support/smtp_fixture.h"
#include "system/mounts.h"
#include "system/supervision.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMap>
#include <QThread>

#include <functional>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

using namespace automation_tests;
using testsupport::jobRow;
using testsupport::SmbShare;
using testsupport::SmtpServer;
using testsupport::waitUntil;

namespace {

class NetworkShareTest : public SendingTest {
protected:
    // Drops a job on the server side, as the suite's PC does, and waits until the mount
    // shows it.
    bool dropJob(const SmbShare& share, const QString& name, const QByteArray& bytes,
                 const QString& view = {}) {
        QFile file(share.serverDir() + u'/' + name);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return false;
        file.close();
        const QString seenAt = (view.isEmpty() ? share.mountDir() : view) + u'/' + name;
        return waitUntil([&] { return QFileInfo::exists(seenAt); }, 10000);
    }
    int linesWith(const QString& text) const { return int(incidents().filter(text).size()); }
};

TEST_F(NetworkShareTest, ASentJobIsDeletedOnTheServerOnceNobodyHoldsIt) {
    SmbShare share;
    if (!share.ok())
        GTEST_SKIP() << share.skipReason().toStdString();
    SmtpServer server;
    useServer(server);
    form->TexteDossier[0]->setText(share.mountDir());
    // The refused attachment of row 1 says an incident line while the job is sent.
    ASSERT_TRUE(dropJob(share, QStringLiteral("Email_1.ss8"),
                        jobRow("1", "a@example.org", {}, {}, "one", "B", "/etc/passwd") +
                            jobRow("1", "b@example.org", {}, {}, "two", "B")));
    const QString checked =
        automation::checkJobFile(share.mountDir() + QStringLiteral("/Email_1.ss8"))
            .lines.join(u'\n');
    EXPECT_TRUE(checked.contains(QStringLiteral("Système de fichiers : fuse.rclone (réseau)")))
        << checked.toStdString();
    const auto* line = form->findChild<QLabel*>(QStringLiteral("LabelSystemeFichiers"));
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->text(),
              QStringLiteral("Système de fichiers : fuse.rclone (réseau) sur ") + share.mountDir());

    // Another program holds the job open: the server refuses to let it be taken (renamed)
    // as it refuses a delete. Said once; taken once let go.
    int other =
        ::open(QFile::encodeName(share.mountDir() + QStringLiteral("/Email_1.ss8")), O_RDONLY);
    char first = 0;
    ASSERT_EQ(::read(other, &first, 1), 1); // the client opens the file on the server now
    // Written in place, the job waits longer than the client may show a stale size and date.
    qint64 now = QDateTime::currentMSecsSinceEpoch();
    Clock::SetWallClock([&] { return now; });
    station::setSettleMs(automation::StabilityTracker::SettleMs);
    for (const qint64 step : {0, 3000, 15000, 5000, 5000}) {
        now += step;
        cycle();
        EXPECT_EQ(server.messages().size(), 0) << "taken after " << step << " ms";
    }
    EXPECT_EQ(linesWith(QStringLiteral("non traité")), 1) << incidents().join(u'\n').toStdString();
    ::close(other);

    // Taken into this station's folder and sent; another program opens it there meanwhile:
    // the delete fails, is said once and tried again at the next cycles, nothing goes twice.
    const QString station = share.mountDir() + u'/' + automation::StationsFolder;
    QString taken;
    other = -1;
    automation::setIncidentEcho([&](const automation::Incident&) {
        if (other >= 0)
            return;
        const QStringList own = QDir(station).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        taken =
            own.isEmpty() ? QString() : station + u'/' + own[0] + QStringLiteral("/Email_1.ss8");
        other = ::open(QFile::encodeName(taken), O_RDONLY);
        ::read(other, &first, 1);
    });
    const std::shared_ptr<void> quiet(nullptr, [](void*) { automation::setIncidentEcho({}); });
    ASSERT_GT(cycle(), 0);
    ASSERT_TRUE(server.waitForMessages(2));
    ASSERT_GE(other, 0);
    const QString onServer = share.serverDir() + taken.mid(share.mountDir().size());
    // The client hides a file whose delete failed until it reads the folder again.
    const auto cycleWhenShown = [&] {
        return waitUntil(
                   [&] {
                       return QDir(QFileInfo(taken).absolutePath())
                           .entryList()
                           .contains(QStringLiteral("Email_1.ss8"));
                   },
                   5000) &&
               cycle() > 0 && cycle() > 0;
    };
    ASSERT_TRUE(cycleWhenShown());
    EXPECT_TRUE(QFileInfo::exists(onServer));
    EXPECT_TRUE(Supervision::Report(Supervision::Take())
                    .join(u'\n')
                    .contains(QStringLiteral("fuse.rclone (réseau) sur ") + share.mountDir()));
    EXPECT_EQ(linesWith(QStringLiteral("resté dans le dossier partagé")), 1)
        << incidents().join(u'\n').toStdString();
    ::close(other);

    // Let go, the job goes at the next cycle: the program holds nothing of it either.
    ASSERT_TRUE(cycleWhenShown());
    EXPECT_TRUE(waitUntil([&] { return !QFileInfo::exists(onServer); }, 5000))
        << incidents().join(u'\n').toStdString();
    EXPECT_EQ(server.messages().size(), 2);
}

TEST_F(NetworkShareTest, AShareGoneAwayOrNotMountedIsSaidOnceAndPickedUpWhenBack) {
    SmbShare share;
    if (!share.ok())
        GTEST_SKIP() << share.skipReason().toStdString();
    SmtpServer server;
    useServer(server);
    form->TexteDossier[0]->setText(share.mountDir());
    QFile fstab(share.serverDir() + QStringLiteral("/../fstab"));
    ASSERT_TRUE(fstab.open(QIODevice::WriteOnly));
    fstab.write("//127.0.0.1/jobs " + QFile::encodeName(share.mountDir()) + " cifs _netdev 0 0\n");
    fstab.close();
    Posix::setFstabPath(fstab.fileName());
    const std::shared_ptr<void> restore(nullptr, [](void*) { Posix::setFstabPath({}); });
    struct {
        const char* what;
        std::function<bool()> lose;
        QString said;
    } cases[] = {
        {"the client died", [&] { return share.killClient(); },
         QStringLiteral("Dossier partagé inaccessible")},
        {"unmounted", [&] { return share.unmount(); }, QStringLiteral("Partage non monté")},
    };
    int sent = 0;
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        form->ListeIncidents->clear();
        ASSERT_TRUE(c.lose());
        // A job left on the local disk under the empty mount point is no job of the share.
        QFile local(share.mountDir() + QStringLiteral("/Email_local.ss8"));
        if (local.open(QIODevice::WriteOnly))
            local.write(jobRow("1", "local@example.org", {}, {}, "local", "B"));
        local.close();
        for (int i = 0; i < 3; ++i)
            ASSERT_GT(cycle(), 0);
        EXPECT_EQ(incidents().size(), 1) << incidents().join(u'\n').toStdString();
        EXPECT_EQ(linesWith(c.said), 1) << incidents().join(u'\n').toStdString();
        EXPECT_FALSE(Supervision::Take().jobFolderMissing.isEmpty());
        QFile::remove(local.fileName());

        ASSERT_TRUE(share.mount());
        ASSERT_TRUE(dropJob(share, QStringLiteral("Email_back.ss8"),
                            jobRow("1", "b@example.org", {}, {}, "back", "B")));
        ASSERT_GT(cycle(), 0);
        ASSERT_TRUE(server.waitForMessages(++sent));
        EXPECT_EQ(linesWith(QStringLiteral("de nouveau accessible")), 1);
        EXPECT_TRUE(Supervision::Take().jobFolderMissing.isEmpty());
        ASSERT_TRUE(waitUntil(
            [&] {
                return !QFileInfo::exists(share.serverDir() + QStringLiteral("/Email_back.ss8"));
            },
            5000));
    }
    EXPECT_EQ(subjects(server), QStringList(sent, QStringLiteral("Postique: back")));
}

TEST_F(NetworkShareTest, AClientThatCannotAppendKeepsTheJournalInTheSettingsFolder) {
    SmbShare share;
    if (!share.ok())
        GTEST_SKIP() << share.skipReason().toStdString();
    const QString view = share.mountAnother(QStringLiteral("mnt-plain"), false);
    ASSERT_FALSE(view.isEmpty());
    SmtpServer server;
    useServer(server);
    form->TexteDossier[0]->setText(view);
    qint64 now = QDateTime::currentMSecsSinceEpoch();
    Clock::SetWallClock([&] { return now; });
    for (int n = 1; n <= 2; ++n) {
        const QString name = QStringLiteral("Email_%1.ss8").arg(n);
        ASSERT_TRUE(
            dropJob(share, name,
                    jobRow("1", "a@example.org", {}, {}, QStringLiteral("%1a").arg(n), "B") +
                        jobRow("1", "b@example.org", {}, {}, QStringLiteral("%1b").arg(n), "B"),
                    view));
        ASSERT_GT(cycle(), 0);
        now += Posix::UnknownClientCacheMs + 1000;
        ASSERT_GT(cycle(), 0);
        ASSERT_TRUE(server.waitForMessages(2 * n)) << incidents().join(u'\n').toStdString();
        EXPECT_TRUE(
            waitUntil([&] { return !QFileInfo::exists(share.serverDir() + u'/' + name); }, 5000));
    }
    EXPECT_EQ(linesWith(QStringLiteral("ne peut pas tenir le journal")), 1)
        << incidents().join(u'\n').toStdString();
    EXPECT_EQ(server.messages().size(), 4);
}

// How many times each row's subject arrived (the installations' first-run notices left out).
QMap<QString, int> rowCounts(const SmtpServer& server) {
    QMap<QString, int> counts;
    for (const testsupport::ReceivedMessage& m : server.messages()) {
        const qsizetype at = m.data.indexOf("Subject: Postique: row ");
        if (at >= 0)
            ++counts[QString::fromUtf8(m.data.mid(at + 19, m.data.indexOf("\r\n", at) - at - 19))];
    }
    return counts;
}

TEST(TwoStations, EachWithItsMountSendEveryRowOnceAndTakeOverAStoppedOne) {
    SmbShare share;
    if (!share.ok())
        GTEST_SKIP() << share.skipReason().toStdString();
    const QString second = share.mountAnother(QStringLiteral("mnt2"));
    ASSERT_FALSE(second.isEmpty());
    const auto rows = [](int from, int to) {
        QByteArray job;
        for (int i = from; i <= to; ++i)
            job += jobRow("1", QStringLiteral("r%1@example.org").arg(i), {}, {},
                          QStringLiteral("row %1").arg(i), "B");
        return job;
    };
    // A third station stopped earlier holding a job of 20 rows.
    const QString stopped = share.serverDir() + QStringLiteral("/.postique-stations/c-00000000");
    ASSERT_TRUE(QDir().mkpath(stopped));
    ASSERT_TRUE(testsupport::writeFile(stopped + QStringLiteral("/.heartbeat"), "7 0\n"));
    ASSERT_TRUE(testsupport::writeFile(stopped + QStringLiteral("/Email_c.ss8"), rows(481, 500)));
    // 48 jobs of 10 rows, each written under another name and renamed into place.
    for (int j = 0; j < 48; ++j) {
        const QString path = share.serverDir() + QStringLiteral("/Email_%1.ss8").arg(j);
        ASSERT_TRUE(
            testsupport::writeFile(path + QStringLiteral(".part"), rows(j * 10 + 1, j * 10 + 10)));
        ASSERT_TRUE(QFile::rename(path + QStringLiteral(".part"), path));
    }
    testsupport::SmtpServerOptions options;
    options.host = testsupport::privateLoopbackAddress();
    options.port = 25;
    SmtpServer server(options);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    std::vector<std::unique_ptr<QProcess>> runs;
    std::vector<std::unique_ptr<testsupport::ProgramInstall>> installs;
    for (const QString& view : {share.mountDir(), second}) {
        installs.push_back(std::make_unique<testsupport::ProgramInstall>());
        ASSERT_TRUE(installs.back()->writeSettings(options.host,
                                                   QStringLiteral("postique@station.test"), view));
        runs.push_back(installs.back()->start(40, {}, {}, {"POSTIQUE_STATION_DEAD_MS=8000"}));
        ASSERT_TRUE(runs.back()->waitForStarted(10000));
    }
    const bool all = waitUntil([&] { return rowCounts(server).size() >= 500; }, 240'000);
    QThread::msleep(2000); // a late second copy would show now
    QCoreApplication::processEvents();
    QString errors;
    for (auto& run : runs) {
        testsupport::killProgram(*run);
        errors += QString::fromUtf8(run->readAllStandardError());
    }
    ASSERT_TRUE(all) << rowCounts(server).size() << errors.toStdString();
    const QMap<QString, int> counts = rowCounts(server);
    EXPECT_EQ(counts.size(), 500);
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        EXPECT_EQ(it.value(), 1) << it.key().toStdString();
    EXPECT_TRUE(QDir(share.serverDir()).entryList({QStringLiteral("Email_*")}).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(stopped));
    EXPECT_TRUE(errors.contains(QStringLiteral("repris du poste c-00000000")))
        << errors.toStdString();
}

} // namespace
#endif
