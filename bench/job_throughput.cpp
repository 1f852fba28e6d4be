// A 10,000-row job through the real program to a local SMTP sink: mails per second and the
// program's peak memory, beside a Python smtplib loop over the same rows on one connection.
#include "support/job_corpus.h"
#include "support/program_run.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

constexpr int kRows = 10000;

QByteArray tenThousandRows() {
    QByteArray job;
    for (int i = 1; i <= kRows; ++i)
        job += testsupport::jobRow("1", QStringLiteral("dest%1@example.org").arg(i), {}, {},
                                   QStringLiteral("Diffusion %1").arg(i),
                                   QStringLiteral("Bonjour,\r\nle programme %1 est diffusé.\r\n").arg(i));
    return job;
}

// The sink on a private loopback address, port 25 (the port the program uses by default).
class Sink {
public:
    explicit Sink(const QString& host) : host_(host) {
        countFile_ = dir_.filePath(QStringLiteral("count"));
        process_.setProgram(QStringLiteral("/usr/bin/python3"));
        process_.setArguments({QStringLiteral(POSTIQUE_BENCH_DIR "/smtp_sink.py"), host, QStringLiteral("25"), countFile_});
        process_.start();
        ok_ = process_.waitForReadyRead(15000) && process_.readLine().startsWith("READY");
    }
    ~Sink() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(5000))
            process_.kill();
        process_.waitForFinished(2000);
    }
    bool ok() const { return ok_; }
    int count() const {
        QFile f(countFile_);
        return f.open(QIODevice::ReadOnly) ? f.readAll().toInt() : 0;
    }

private:
    QString host_;
    QTemporaryDir dir_;
    QString countFile_;
    QProcess process_;
    bool ok_ = false;
};

qint64 peakKib(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

void BM_ProgramJob10k(benchmark::State& state) {
    for (auto _ : state) {
        testsupport::ProgramInstall install;
        const QString host = testsupport::privateLoopbackAddress();
        Sink sink(host);
        if (!install.ok() || !sink.ok()) {
            state.SkipWithError("no installation or no sink");
            return;
        }
        const QString jobs = install.drivePath(QStringLiteral("C:\\Jobs\\"));
        QDir().mkpath(jobs);
        install.writeSettings(host, QStringLiteral("Station <station@example.org>"), QStringLiteral("C:\\Jobs\\"));
        auto program = install.start(10);
        // Up and idle: the version notice of a first start has gone out.
        testsupport::waitUntil([&] { return sink.count() >= 1; }, 60000);
        const int before = sink.count();

        // The job appears whole (written aside, renamed in, dated in the past).
        const QString aside = jobs + QStringLiteral("job.tmp");
        {
            QFile f(aside);
            f.open(QIODevice::WriteOnly);
            f.write(tenThousandRows());
            f.setFileTime(QDateTime::currentDateTime().addSecs(-10), QFileDevice::FileModificationTime);
        }
        QElapsedTimer clock;
        clock.start();
        QFile::rename(aside, jobs + QStringLiteral("Email_1.ss8"));
        const bool done = testsupport::waitUntil(
            [&] { return !QFileInfo::exists(jobs + QStringLiteral("Email_1.ss8")); }, 30 * 60 * 1000);
        const double seconds = clock.nsecsElapsed() / 1e9;
        const qint64 peak = peakKib(program->processId());
        testsupport::killProgram(*program);
        if (!done) {
            state.SkipWithError("the job was not sent in time");
            return;
        }
        state.SetIterationTime(seconds);
        state.counters["mails"] = sink.count() - before;
        state.counters["mails_per_s"] = (sink.count() - before) / seconds;
        state.counters["peak_MiB"] = peak / 1024.0;
    }
}

void BM_PythonSmtplibLoop10k(benchmark::State& state) {
    for (auto _ : state) {
        const QString host = testsupport::privateLoopbackAddress();
        Sink sink(host);
        QTemporaryDir dir;
        const QString job = dir.filePath(QStringLiteral("Email_1.ss8"));
        {
            QFile f(job);
            f.open(QIODevice::WriteOnly);
            f.write(tenThousandRows());
        }
        QProcess python;
        python.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral(POSTIQUE_BENCH_DIR "/smtplib_loop.py"), host, QStringLiteral("25"), job});
        if (!sink.ok() || !python.waitForFinished(30 * 60 * 1000) || python.exitCode() != 0) {
            state.SkipWithError(python.readAllStandardError().constData());
            return;
        }
        // "mails <n> seconds <s> peak_kib <k>"
        const QList<QByteArray> words = python.readAllStandardOutput().trimmed().split(' ');
        const double mails = words.value(1).toDouble();
        const double seconds = words.value(3).toDouble();
        state.SetIterationTime(seconds);
        state.counters["mails"] = mails;
        state.counters["mails_per_s"] = mails / seconds;
        state.counters["peak_MiB"] = words.value(5).toDouble() / 1024.0;
    }
}

BENCHMARK(BM_ProgramJob10k)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_PythonSmtplibLoop10k)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
