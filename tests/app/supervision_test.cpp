// The real program under supervision: what the service manager and the journal receive on
// their sockets, what `--status` says with a running copy and with none, and the metrics
// endpoint scraped while a job goes to a real SMTP server.
#include "app/metrics_server.h"
#include "support/job_corpus.h"
#include "support/program_run.h"
#include "support/smtp_fixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// A datagram socket standing in for the service manager's or the journal's, keeping every
// datagram with the time it was read.
class DatagramSink {
public:
    explicit DatagramSink(const QString& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(path);
        std::memcpy(sa.sun_path, p.constData(), static_cast<size_t>(p.size()));
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        clock_.start();
    }
    ~DatagramSink() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return ok_; }
    QString path() const { return path_; }
    // Reads what came; the datagrams so far with their arrival (ms since creation).
    const QList<QPair<qint64, QByteArray>>& received() {
        char buffer[65536];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;)
            got_.append({clock_.elapsed(), QByteArray(buffer, static_cast<int>(n))});
        return got_;
    }
    // Arrival times of the datagrams equal to `text`.
    QList<qint64> times(const QByteArray& text) {
        QList<qint64> out;
        for (const auto& [at, data] : received())
            if (data == text)
                out << at;
        return out;
    }
    QByteArray firstContaining(const QByteArray& part) {
        for (const auto& [at, data] : received())
            if (data.contains(part))
                return data;
        return {};
    }

private:
    QString path_;
    int fd_ = -1;
    bool ok_ = false;
    QElapsedTimer clock_;
    QList<QPair<qint64, QByteArray>> got_;
};

bool addSupervision(const ProgramInstall& install, const QString& address) {
    QFile f(install.drivePath(QStringLiteral("C:\\Halvaro\\Velmora\\Config\\VL3_Postique.ini")));
    return f.open(QIODevice::Append) &&
           f.write("[Supervision]\r\nMetriques=" + address.toUtf8() + "\r\n") > 0;
}

bool writeJob(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Runs `--status` (with `--json`) on the installation; its exit code and output.
QPair<int, QByteArray> status(const ProgramInstall& install, bool json) {
    const QStringList args = json
                                 ? QStringList{QStringLiteral("--status"), QStringLiteral("--json")}
                                 : QStringList{QStringLiteral("--status")};
    auto run = install.start(50, args);
    if (!run->waitForFinished(20000))
        return {-1, {}};
    return {run->exitCode(), run->readAllStandardOutput()};
}

// Sends `request` to the metrics port and returns what came back before the server closed.
QByteArray ask(quint16 port, const QByteArray& request) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000))
        return "no connection";
    socket.write(request);
    QByteArray reply;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(6000))
        reply += socket.readAll();
    return reply + socket.readAll();
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

TEST(Supervision, ServiceManagerJournalAndStatusFollowTheProgram) {
    ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    QTemporaryDir sockets;
    DatagramSink notify(sockets.filePath(QStringLiteral("notify")));
    DatagramSink journal(sockets.filePath(QStringLiteral("journal")));
    ASSERT_TRUE(notify.ok() && journal.ok());

    // Nobody listens for the mails (they wait), and the metrics address is taken.
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, 0));
    const QString jobs = QStringLiteral("C:\\Jobs\\");
    ASSERT_TRUE(install.writeSettings(privateLoopbackAddress(),
                                      QStringLiteral("postique@station.test"), jobs));
    ASSERT_TRUE(addSupervision(install, QStringLiteral("127.0.0.1:%1").arg(taken.serverPort())));
    ASSERT_TRUE(QDir().mkpath(install.drivePath(jobs)));
    ASSERT_TRUE(writeJob(install.drivePath(jobs) + QStringLiteral("/Email_1.ss8"),
                         jobRow(QStringLiteral("1"), QStringLiteral("a@example.org"), {}, {},
                                QStringLiteral("s"), QStringLiteral("b"),
                                QStringLiteral("..\\outside.txt"))));

    const auto [noneCode, noneText] = status(install, false);
    EXPECT_EQ(noneCode, 1);
    EXPECT_TRUE(noneText.contains("aucune copie")) << noneText.toStdString();

    constexpr int pingMs = 200; // half the watchdog period given below
    auto program = install.start(50, {}, {},
                                 {QStringLiteral("NOTIFY_SOCKET=") + notify.path(),
                                  QStringLiteral("WATCHDOG_USEC=%1").arg(pingMs * 2000),
                                  QStringLiteral("JOURNAL_STREAM=8:1"),
                                  QStringLiteral("POSTIQUE_JOURNAL_SOCKET=") + journal.path()});
    ASSERT_TRUE(program->waitForStarted(10000));
    // Both sockets are read all along, as their real owners do.
    const auto drained = [&](const std::function<bool()>& done) {
        return [&, done] {
            journal.received();
            notify.received();
            return done();
        };
    };
    ASSERT_TRUE(waitUntil(drained([&] { return !notify.times("READY=1").isEmpty(); }), 60000))
        << program->readAllStandardError().toStdString();
    const qint64 readyAt = notify.times("READY=1").first();

    // The refused attachment names its job and row in the journal.
    ASSERT_TRUE(waitUntil(
        drained([&] { return !journal.firstContaining("POSTIQUE_JOB_ROW=").isEmpty(); }), 30000))
        <<
        [&] {
            QByteArray all;
            for (const auto& d : journal.received())
                all += d.second + "|";
            return all.toStdString();
        }()
        << program->readAllStandardError().toStdString();
    const QByteArray entry = journal.firstContaining("POSTIQUE_JOB_ROW=");
    for (const char* field : {"PRIORITY=4\n", "POSTIQUE_JOB_FILE=Email_1.ss8\n",
                              "POSTIQUE_JOB_ROW=1\n", "SYSLOG_IDENTIFIER=VL3_Postique\n"})
        EXPECT_TRUE(entry.contains(field)) << field << " missing in " << entry.toStdString();
    // The metrics address that could not be bound gives one incident, and the program goes on.
    EXPECT_FALSE(journal.firstContaining("Supervision").isEmpty());

    // The state is written every few seconds: the job appears in it soon.
    QPair<int, QByteArray> running;
    QJsonObject state;
    waitUntil(drained([&] {
                  running = status(install, true);
                  state = QJsonDocument::fromJson(running.second).object();
                  return state.value(QStringLiteral("jobs_waiting")).toInt() == 1;
              }),
              20000);
    EXPECT_EQ(running.first, 0) << running.second.toStdString();
    EXPECT_TRUE(state.value(QStringLiteral("alive")).toBool());
    EXPECT_EQ(qint64(state.value(QStringLiteral("pid")).toDouble()), program->processId());
    EXPECT_EQ(state.value(QStringLiteral("jobs_waiting")).toInt(), 1);

    // The pings keep their pace: about one per half period, from the event loop.
    const qint64 since = notify.received().last().first;
    waitUntil(drained([] { return false; }), 3000);
    int pings = 0;
    for (const qint64 at : notify.times("WATCHDOG=1"))
        pings += at > since && at >= readyAt ? 1 : 0;
    const qint64 span = notify.received().last().first - since;
    EXPECT_GE(pings, span / pingMs / 3) << "too few watchdog pings";
    EXPECT_LE(pings, span / pingMs * 2 + 1) << "watchdog pinged faster than asked";

    ::kill(static_cast<pid_t>(program->processId()), SIGTERM);
    ASSERT_TRUE(
        waitUntil(drained([&] { return program->state() == QProcess::NotRunning; }), 20000));
    EXPECT_EQ(program->exitCode(), 0);
    EXPECT_FALSE(notify.times("STOPPING=1").isEmpty());
    EXPECT_EQ(status(install, false).first, 1) << "a copy that left is not running";
}

TEST(Supervision, MetricsFollowAJobAndAnswerNothingElse) {
    ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    SmtpServerOptions options;
    options.host = privateLoopbackAddress();
    options.port = 25;
    SmtpServer server(options);
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    const QString jobs = QStringLiteral("C:\\Jobs\\");
    ASSERT_TRUE(install.writeSettings(options.host, QStringLiteral("postique@station.test"), jobs));
    const quint16 port = freePort();
    ASSERT_TRUE(addSupervision(install, QStringLiteral("127.0.0.1:%1").arg(port)));
    ASSERT_TRUE(QDir().mkpath(install.drivePath(jobs)));

    auto program = install.start(50);
    ASSERT_TRUE(program->waitForStarted(10000));
    const QByteArray get = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_TRUE(waitUntil([&] { return ask(port, get).startsWith("HTTP/1.1 200"); }, 30000))
        << program->readAllStandardError().toStdString();
    const QByteArray sentLine = "postique_mails_sent_total{destination=\"" + options.host.toUtf8() +
                                "\",transport=\"smtp\"} ";
    EXPECT_FALSE(ask(port, get).contains(sentLine));

    QByteArray job;
    for (int i = 0; i < 5; ++i)
        job += jobRow(QStringLiteral("1"), QStringLiteral("r%1@example.org").arg(i), {}, {},
                      QStringLiteral("row %1").arg(i), QStringLiteral("Body"));
    ASSERT_TRUE(writeJob(install.drivePath(jobs) + QStringLiteral("/Email_1.ss8"), job));
    QByteArray page;
    const bool counted = waitUntil(
        [&] {
            page = ask(port, get);
            return page.contains(sentLine + "5\n") && page.contains("postique_jobs_waiting 0\n");
        },
        60000);
    EXPECT_TRUE(counted) << page.toStdString();
    EXPECT_TRUE(page.contains("postique_last_success_timestamp_seconds{destination=\"" +
                              options.host.toUtf8() + "\"}"));

    // Anything but a whole "GET /metrics" within bounds is dropped without an answer.
    const QByteArray dropped[] = {
        "GET /other HTTP/1.1\r\n\r\n", "POST /metrics HTTP/1.1\r\n\r\n",
        "GET /metrics HTTP/1.1\r\nX: " + QByteArray(5000, 'a') + "\r\n\r\n",
        "GET /metrics HTTP/1.1\r\n", // never finished: dropped after its time
    };
    for (const QByteArray& request : dropped)
        EXPECT_EQ(ask(port, request), QByteArray()) << request.left(40).toStdString();
    killProgram(*program);
}

TEST(Supervision, MetricsAddressIsHostAndPort) {
    const struct {
        const char* text;
        const char* host; // nullptr: refused
        quint16 port;
    } cases[] = {
        {"127.0.0.1:9464", "127.0.0.1", 9464},
        {" localhost:80 ", "127.0.0.1", 80},
        {"[::1]:9464", "::1", 9464},
        {"::1:9464", nullptr, 0},
        {"127.0.0.1:0", nullptr, 0},
        {"127.0.0.1:65536", nullptr, 0},
        {"127.0.0.1", nullptr, 0},
        {"station:9464", nullptr, 0},
        {":9464", nullptr, 0},
    };
    for (const auto& c : cases) {
        QHostAddress address;
        quint16 port = 0;
        QString error;
        const bool ok =
            Supervision::ParseListenAddress(QString::fromLatin1(c.text), address, port, &error);
        EXPECT_EQ(ok, c.host != nullptr) << c.text;
        if (ok && c.host) {
            EXPECT_EQ(address, QHostAddress(QString::fromLatin1(c.host))) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        } else if (!ok) {
            EXPECT_FALSE(error.isEmpty()) << c.text;
        }
    }
}
