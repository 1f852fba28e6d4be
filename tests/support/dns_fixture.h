// Test fixture: a real DNS server (dnsmasq) on a free loopback port, serving the MX, address
// and null-MX records a test gives it; names of its local domains that it was not given
// answer "no such domain".
#pragma once

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace testsupport {

struct DnsServerOptions {
    struct Mx {
        QString domain;
        QString host;
        int preference = 10;
    };
    struct Host {
        QString name;
        QString address;
    };
    QList<Mx> mx;
    QList<Host> hosts;
    QStringList nullMx;                                  // domains with a null MX record (RFC 7505)
    QStringList localDomains = {QStringLiteral("test")}; // answered here, never forwarded
    QStringList extraArguments;
};

// A dnsmasq process for one test; stops when destroyed.
class DnsServer {
public:
    explicit DnsServer(const DnsServerOptions& options);
    ~DnsServer();
    DnsServer(const DnsServer&) = delete;
    DnsServer& operator=(const DnsServer&) = delete;

    bool isRunning() const { return port_ != 0; }
    QString error() const { return error_; }
    quint16 port() const { return port_; }
    // "127.0.0.1:<port>", the form VELMORA_DNS takes.
    QString address() const;

private:
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
    QString error_;
};

// A loopback port that is free for both TCP and UDP at the time of the call.
quint16 FreeLoopbackPort();

} // namespace testsupport
