// The metrics endpoint: request line read under a size and time bound, one answer, closed.
#include "app/metrics_server.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace Supervision {

bool ParseListenAddress(const QString& text, QHostAddress& address, quint16& port, QString* error) {
    const QString t = text.trimmed();
    const auto fail = [&] {
        if (error)
            *error = QStringLiteral("adresse « %1 » non reconnue (attendu hôte:port, par exemple "
                                    "127.0.0.1:9464)")
                         .arg(t);
        return false;
    };
    const qsizetype colon = t.lastIndexOf(u':');
    if (colon <= 0)
        return fail();
    QString host = t.left(colon);
    bool ok = false;
    const uint p = t.mid(colon + 1).toUInt(&ok);
    if (!ok || p == 0 || p > 65535)
        return fail();
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(u':'))
        return fail(); // an IPv6 address goes in brackets
    if (host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0)
        address = QHostAddress(QHostAddress::LocalHost);
    else if (!address.setAddress(host))
        return fail();
    port = static_cast<quint16>(p);
    return true;
}

MetricsServer::MetricsServer(std::function<QByteArray()> body, QObject* parent)
    : QObject(parent), server_(new QTcpServer(this)), body_(std::move(body)) {
    connect(server_, &QTcpServer::newConnection, this, &MetricsServer::accept);
}

bool MetricsServer::listen(const QHostAddress& address, quint16 port, QString* error) {
    if (server_->listen(address, port))
        return true;
    if (error)
        *error = server_->errorString();
    return false;
}

quint16 MetricsServer::port() const {
    return server_->serverPort();
}

void MetricsServer::accept() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (clients_ >= MaxClients) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++clients_;
        connect(socket, &QObject::destroyed, this, [this] { --clients_; });
        serve(socket);
    }
}

void MetricsServer::serve(QTcpSocket* socket) {
    // A client too slow to send its request is dropped.
    auto* deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    deadline->start(RequestTimeoutMs);
    // The request so far lives with the socket.
    auto request = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket, deadline, request] {
        *request += socket->read(MaxRequestBytes + 1 - request->size());
        if (request->size() > MaxRequestBytes) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        const qsizetype end = request->indexOf("\r\n\r\n");
        if (end < 0)
            return;
        deadline->start(RequestTimeoutMs); // the answer gets the same time to leave
        // One request per connection: whatever follows it is not read.
        QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
        const QList<QByteArray> line = request->left(request->indexOf("\r\n")).split(' ');
        const bool metrics = line.size() == 3 && line[0] == "GET" &&
                             (line[1] == "/metrics" || line[1].startsWith("/metrics?")) &&
                             line[2].startsWith("HTTP/1.");
        if (!metrics) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        const QByteArray body = body_();
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; "
                      "charset=utf-8\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    });
}

} // namespace Supervision
