// The register's view of a send: the envelope, the route's name and the answers.
#include "station/delivery_record.h"

#include "mail/engine/protocols.h"
#include "mail/mime/mime_builder.h"
#include "mail/transport/graph.h"
#include "system/untrusted_text.h"

namespace station {

namespace {

// The server a send goes to: Graph's host stands for an empty server field.
QString destinationOf(int protocol, const QString& server) {
    const mail::ProtocolInfo* info = mail::FindProtocol(protocol);
    return info && info->route == mail::Route::Graph ? mail::GraphLimitsHost(server)
                                                     : server.trimmed();
}

QString transportName(int protocol, const QString& server) {
    const mail::ProtocolInfo* info = mail::FindProtocol(protocol);
    switch (info ? info->route : mail::Route::Smtp) {
    case mail::Route::Smtp:
        return server.trimmed().isEmpty() ? QStringLiteral("direct") : QStringLiteral("smtp");
    case mail::Route::ExchangeWebServices:
        return QStringLiteral("ews");
    case mail::Route::ExchangeWebDav:
        return QStringLiteral("webdav");
    case mail::Route::Graph:
        return QStringLiteral("graph");
    }
    return QStringLiteral("smtp");
}

} // namespace

automation::RowDelivery DeliveryOf(const mail::SendPlan* plan, const QString& server, int protocol,
                                   const mail::SendOutcome& outcome) {
    automation::RowDelivery d;
    if (plan)
        d.recipients = mail::EnvelopeOf(*plan);
    d.destination = destinationOf(protocol, server);
    d.transport = transportName(protocol, server);
    d.reply = outcome.reply;
    d.perRecipient = outcome.recipientReplies;
    // No answer from a server (refused before connecting, no connection): the reason given.
    if (d.reply.text.isEmpty())
        d.reply.text = Untrusted::Clean(outcome.description);
    return d;
}

automation::RowDelivery DeliveryBefore(const QString& recipients, const QString& server,
                                       int protocol) {
    automation::RowDelivery d;
    QList<mail::Mailbox> boxes;
    QString error;
    // One entry that cannot be read does not hide the others.
    if (!mail::detail::ParseAddressList(recipients, boxes, error)) {
        boxes.clear();
        for (const QString& entry : recipients.split(u',', Qt::SkipEmptyParts))
            mail::detail::ParseAddressList(entry, boxes, error);
    }
    for (const mail::Mailbox& box : std::as_const(boxes))
        if (!d.recipients.contains(box.address, Qt::CaseInsensitive))
            d.recipients << box.address;
    d.destination = destinationOf(protocol, server);
    d.transport = transportName(protocol, server);
    return d;
}

} // namespace station
