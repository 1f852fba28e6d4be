// The figures for monitors over HTTP: a small server on the address the operator names that
// answers only "GET /metrics" with the Prometheus text, and drops every other request.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;

namespace Supervision {

// "host:port" (host an IPv4 address, "[IPv6]" or "localhost"; port 1 to 65535) split into
// `address` and `port`. False with `error` (French, for an incident) when it is not that.
bool ParseListenAddress(const QString& text, QHostAddress& address, quint16& port, QString* error);

class MetricsServer : public QObject {
    Q_OBJECT
public:
    // Largest request taken, and how long a client may take to send it.
    static constexpr int MaxRequestBytes = 4096;
    static constexpr int RequestTimeoutMs = 3000;
    // Clients served at once; more are closed at once.
    static constexpr int MaxClients = 16;

    // `body` gives the page at each request.
    explicit MetricsServer(std::function<QByteArray()> body, QObject* parent = nullptr);

    // Listens on `address`:`port`. False with `error` when the address cannot be bound.
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const;

private:
    void accept();
    void serve(QTcpSocket* socket);

    QTcpServer* server_;
    std::function<QByteArray()> body_;
    int clients_ = 0;
};

} // namespace Supervision
