// The file-system work of one poll cycle on a job folder: the mount table, the fstab check,
// the station's heartbeat and the look at the other stations, the listing of "Email_*.ss8" and
// of this station's own jobs, and the pruning of journals. Run on a share's mount it gives a
// cycle's cost apart from sending; run through bench/run_share_bench.sh.
#include "automation/jobs/job_claim.h"
#include "automation/jobs/job_journal.h"
#include "system/mounts.h"
#include "system/winpath.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: bench_share_cycle FOLDER SETTINGS [CYCLES]\n");
        return 2;
    }
    const QString folder = args.at(1);
    const int cycles = args.size() > 3 ? args.at(3).toInt() : 20;
    automation::JobClaims claims;
    claims.setFolder(folder, automation::stationName(QStringLiteral("bench"), args.at(2)));
    std::vector<double> ms;
    size_t listed = 0;
    for (int i = 0; i < cycles; ++i) {
        QElapsedTimer timer;
        timer.start();
        const qint64 now = QDateTime::currentMSecsSinceEpoch() + qint64{i} * 30'000;
        const Posix::MountEntry mount = Posix::mountOf(folder);
        if (!Posix::unmountedShareAbove(folder).isEmpty())
            return 1;
        QStringList said;
        if (Posix::isNetworkType(mount.type))
            claims.startCycle(now, mount.type, args.at(2), &said);
        const WinPath::SearchResult found =
            WinPath::findFiles(QStringLiteral("Z:") + QString(folder).replace(u'/', u'\\') +
                               QStringLiteral("\\Email_*.ss8"));
        listed = found.entries.size() + size_t(claims.ownJobs().size());
        automation::JobJournal::prune(folder, now);
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("cycle %zu jobs listed, %d cycles: median %.1f ms, min %.1f ms, max %.1f ms\n",
                listed, cycles, ms[ms.size() / 2], ms.front(), ms.back());
    return 0;
}
