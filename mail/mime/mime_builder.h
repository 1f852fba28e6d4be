// Building the MIME form of a mail: address-list parsing and checks, RFC 2047 header words in
// the chosen character set, and the content entity (text and attachments) made with GMime.
#pragma once

#include "mail/engine/mail_component.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace mail::detail {

// A file to attach: the name shown to the recipient and its bytes.
struct AttachmentData {
    QString fileName;
    QByteArray data;
};

// Everything the headers and the content entity are made from.
struct MessageContent {
    Mailbox from;
    QList<Mailbox> to;
    QList<Mailbox> cc;
    QString subject;
    QString body;
    QString charset; // identifier written in the headers; "" means utf-8
    QList<AttachmentData> attachments;
    // With fields: a multipart/report (report-type=delivery-status), the body as its readable
    // part and these fields as its message/delivery-status part; attachments are not allowed.
    QByteArray deliveryStatus;
};

// Parses a comma-separated recipient list ("Name <a@b>", "\"Last, First\" <c@d>", bare
// addresses; groups are flattened) into `out`. Returns false with a French `error` naming
// the entry when the list holds a line break or another control character or an entry that
// is not a valid address. Empty entries are skipped.
bool ParseAddressList(const QString& list, QList<Mailbox>& out, QString& error);

// Checks one bare address and returns it in the form used on the wire (IDN domains in
// their ASCII form); an empty result with `error` set when it is not acceptable.
QString CheckAddress(const QString& address, QString& error);

// The RFC 2047 encoded words for `text` in `charset` (UTF-8 when the character set cannot
// represent the text), joined by CRLF and a space; plain text when no encoding is needed.
QByteArray EncodeHeaderText(const QString& text, const QString& charset);

// The content entity (its Content-* headers, a blank line and the body, CRLF line ends):
// a text/plain part, or a multipart/mixed with the text first and the attachments after, or
// a delivery report (MessageContent::deliveryStatus).
// Returns an empty array with `error` set on failure.
QByteArray BuildContentEntity(const MessageContent& content, QString& error);

// The top-level headers (From, To, Cc, Subject, Date, Message-ID, MIME-Version), each line
// ended by CRLF. Bcc never appears.
QByteArray BuildTopHeaders(const MessageContent& content);

} // namespace mail::detail
