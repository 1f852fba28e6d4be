// A finished message taken apart for a service whose requests are smaller than the message
// (Microsoft Graph: a draft of at most 4 MB, its large attachments uploaded apart).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace mail::detail {

// Why `message` must travel whole ("signé", "chiffré"), or "" when its parts may be taken
// apart: a signature covers the bytes of every part, an encrypted message has none to read.
// Reads any bytes; never fails.
QString MustTravelWhole(const QByteArray& message);

// One attachment taken out of a message, decoded.
struct DetachedAttachment {
    QString fileName;
    QString contentType; // "type/subtype"
    QByteArray data;
};

// The message without the attachments taken out, and those attachments in their order.
struct SplitMessage {
    QByteArray rest; // CRLF line ends
    QList<DetachedAttachment> attachments;
};

// Takes the attachments of the top level of `message` out, the largest first, until the
// base64 form of what is left (the way the service takes it) weighs at most `restLimit`
// bytes. False with a French `error` when the message
// does not parse, must travel whole, or stays too heavy with every attachment out.
bool SplitAttachments(const QByteArray& message, qsizetype restLimit, SplitMessage& out,
                      QString& error);

} // namespace mail::detail
