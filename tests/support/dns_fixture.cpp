// The dnsmasq fixture.
#include "support/dns_fixture.h"

#include <QDeadlineTimer>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

// Binds a socket of `type` to 127.0.0.1:`port` (0: any); returns the fd or -1.
int bindLoopback(int type, quint16 port) {
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool tcpAccepts(quint16 port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

} // namespace

quint16 FreeLoopbackPort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int udp = bindLoopback(SOCK_DGRAM, 0);
        if (udp < 0)
            continue;
        sockaddr_in addr{};
        socklen_t length = sizeof addr;
        getsockname(udp, reinterpret_cast<sockaddr*>(&addr), &length);
        const quint16 port = ntohs(addr.sin_port);
        const int tcp = bindLoopback(SOCK_STREAM, port);
        close(udp);
        if (tcp >= 0) {
            close(tcp);
            return port;
        }
    }
    return 0;
}

DnsServer::DnsServer(const DnsServerOptions& options) {
    const quint16 port = FreeLoopbackPort();
    if (port == 0) {
        error_ = QStringLiteral("no free loopback port");
        return;
    }
    QStringList args{
        QStringLiteral("--keep-in-foreground"), QStringLiteral("--conf-file=/dev/null"),
        QStringLiteral("--port=%1").arg(port),  QStringLiteral("--listen-address=127.0.0.1"),
        QStringLiteral("--bind-interfaces"),    QStringLiteral("--no-resolv"),
        QStringLiteral("--no-hosts"),           QStringLiteral("--pid-file="),
        QStringLiteral("--log-facility=-")};
    if (geteuid() == 0)
        args << QStringLiteral("--user=root");
    for (const QString& domain : options.localDomains)
        args << QStringLiteral("--local=/%1/").arg(domain);
    for (const auto& mx : options.mx)
        args << QStringLiteral("--mx-host=%1,%2,%3").arg(mx.domain, mx.host).arg(mx.preference);
    for (const auto& host : options.hosts)
        args << QStringLiteral("--host-record=%1,%2").arg(host.name, host.address);
    for (const QString& domain : options.nullMx) // preference 0, the root as exchanger
        args << QStringLiteral("--dns-rr=%1,15,000000").arg(domain);
    args << options.extraArguments;

    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::MergedChannels);
    process_->start(QStringLiteral("dnsmasq"), args);
    if (!process_->waitForStarted(10000)) {
        error_ = QStringLiteral("dnsmasq did not start: ") + process_->errorString();
        return;
    }
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && process_->state() == QProcess::Running) {
        if (tcpAccepts(port)) {
            port_ = port;
            return;
        }
        QThread::msleep(20);
    }
    process_->waitForFinished(100);
    error_ = QStringLiteral("dnsmasq not ready: ") + QString::fromLocal8Bit(process_->readAll());
}

DnsServer::~DnsServer() {
    if (!process_ || process_->state() == QProcess::NotRunning)
        return;
    process_->terminate();
    if (!process_->waitForFinished(5000)) {
        process_->kill();
        process_->waitForFinished(2000);
    }
}

QString DnsServer::address() const {
    return QStringLiteral("127.0.0.1:%1").arg(port_);
}

} // namespace testsupport
