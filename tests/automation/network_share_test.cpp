// The poller on a real SMB share on loopback, mounted through FUSE: a job written in place
// waits out the client's cache, a sent job is deleted from the server, a share gone away or not
// mounted is said once and picked up when back.
#if __has_include("ui/send_email.h")
#include "app/job_check.h"
#include "sending_fixture.h"
#include "support/job_corpus.h"
#include "support/program_run.h"
#include "support/smb_share.h"
#include "system/mounts.h"
#include "system/supervision.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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
    bool dropJob(const SmbShare& share, const QString& name, const QByteArray& bytes) {
        QFile file(share.serverDir() + u'/' + name);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return false;
        file.close();
        return waitUntil([&] { return QFileInfo::exists(share.mountDir() + u'/' + name); }, 10000);
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
    ASSERT_TRUE(dropJob(share, QStringLiteral("Email_1.ss8"),
                        jobRow("1", "a@example.org", {}, {}, "one", "B")));
    const QString onServer = share.serverDir() + QStringLiteral("/Email_1.ss8");
    const QString checked =
        automation::checkJobFile(share.mountDir() + QStringLiteral("/Email_1.ss8"))
            .lines.join(u'\n');
    EXPECT_TRUE(checked.contains(QStringLiteral("Système de fichiers : fuse.rclone (réseau)")))
        << checked.toStdString();

    // Another program holds the job open: the server refuses the delete. Said once, tried
    // again at the next cycles, never sent again.
    const int other =
        ::open(QFile::encodeName(share.mountDir() + QStringLiteral("/Email_1.ss8")), O_RDONLY);
    char first = 0;
    ASSERT_EQ(::read(other, &first, 1), 1); // the client opens the file on the server now
    // Written in place, the job waits longer than the client may show a stale size and date.
    qint64 now = QDateTime::currentMSecsSinceEpoch();
    Clock::SetWallClock([&] { return now; });
    station::setSettleMs(automation::StabilityTracker::SettleMs);
    for (const qint64 step : {0, 3000, 15000}) {
        now += step;
        cycle();
        EXPECT_EQ(server.messages().size(), 0) << "taken after " << step << " ms";
    }
    now += Posix::UnknownClientCacheMs;
    ASSERT_GT(cycle(), 0);
    ASSERT_TRUE(server.waitForMessages(1));
    // The client hides a file whose delete failed until it reads the folder again.
    const auto cycleWhenShown = [&] {
        return waitUntil(
                   [&] {
                       return QDir(share.mountDir())
                           .entryList()
                           .contains(QStringLiteral("Email_1.ss8"));
                   },
                   5000) &&
               cycle() > 0 && (now += Posix::UnknownClientCacheMs + 1000, cycle() > 0);
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
    EXPECT_EQ(server.messages().size(), 1);
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

} // namespace
#endif
