// Pairs SMTP commands with replies. Multi-line replies ("250-...") are gathered until their
// last line; the capabilities of EHLO decide whether a wanted login can happen at all.
// Commands wait in a queue for their reply, so a group of them pairs as one at a time would.
#include "mail/transport/smtp_conversation.h"

#include "system/untrusted_text.h"

#include <QRegularExpression>

#include <algorithm>

namespace mail::detail {

void SmtpConversation::commandSent(const QByteArray& raw) {
    lines_.clear();
    Sent sent;
    if (authInProgress_) {
        // Continuation lines of an AUTH exchange carry credentials: never kept.
        sent.command = QStringLiteral("AUTH");
        unanswered_.push_back(sent);
        return;
    }
    const QString line = QString::fromUtf8(raw).trimmed();
    const qsizetype space = line.indexOf(u' ');
    sent.command = (space < 0 ? line : line.left(space)).toUpper();
    sent.argument = space < 0 ? QString() : line.mid(space + 1);
    if (sent.command == u"AUTH") {
        authSent_ = true;
        authInProgress_ = true;
        sent.argument = sent.argument.section(u' ', 0, 0); // the mechanism, never the credentials
    } else if (sent.command == u"MAIL" || sent.command == u"RCPT") {
        const qsizetype open = sent.argument.indexOf(u'<');
        const qsizetype close = sent.argument.indexOf(u'>', open + 1);
        if (open >= 0 && close > open)
            sent.argument = sent.argument.mid(open + 1, close - open - 1);
        // A login was asked but the server never offered one: stop before the message. A
        // session reused from the pool says no EHLO: it logged in when it was opened.
        if (sent.command == u"MAIL" && loginWanted && greeted_ && !authSent_)
            abortNoAuth_ = true;
    }
    unanswered_.push_back(sent);
}

void SmtpConversation::repliesReceived(const char* data, size_t size) {
    pendingIn_.append(data, qsizetype(size));
    qsizetype eol;
    while ((eol = pendingIn_.indexOf('\n')) >= 0) {
        QByteArray line = pendingIn_.left(eol);
        pendingIn_.remove(0, eol + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        replyLine(QString::fromUtf8(line));
    }
}

void SmtpConversation::bodyStarted() {
    if (bodySent_)
        return;
    bodySent_ = true;
    unanswered_.push_back({QStringLiteral("."), QString()});
}

void SmtpConversation::replyLine(const QString& line) {
    lines_ << line;
    if (line.size() >= 4 && line.at(3) == u'-')
        return; // continuation
    if (!unanswered_.empty()) {
        last_ = unanswered_.front();
        unanswered_.pop_front();
    }
    const QString& command = last_.command;
    SmtpReply reply;
    reply.command = command;
    reply.argument = last_.argument;
    // Three digits make a code (RFC 5321); anything else ("-25", " 25", "+25") is garbled.
    const bool digits =
        line.size() >= 3 && std::all_of(line.cbegin(), line.cbegin() + 3,
                                        [](QChar c) { return c >= u'0' && c <= u'9'; });
    reply.code = digits ? line.left(3).toInt() : 0;
    QStringList texts;
    for (const QString& l : std::as_const(lines_))
        texts << l.mid(4);
    reply.text = line.left(3) + u' ' + texts.join(u' ');
    if ((command == u"EHLO" || command == u"HELO") && reply.code == 250) {
        greeted_ = true;
        capabilities(texts);
    }
    if (command == u"AUTH" && reply.code != 334)
        authInProgress_ = false;
    if (command == u"STARTTLS" && reply.code == 220)
        tlsStarted = true;
    replies_.push_back(reply);
    lines_.clear();
    if (command == u".")
        last_ = {};
}

void SmtpConversation::capabilities(const QStringList& texts) {
    bool auth = false;
    bool starttls = false;
    features_ = {};
    for (const QString& t : texts) {
        const QString upper = t.trimmed().toUpper();
        const QString keyword = upper.section(u' ', 0, 0);
        if (upper.startsWith(u"AUTH ") || upper.startsWith(u"AUTH="))
            auth = true;
        if (upper == u"STARTTLS")
            starttls = true;
        if (keyword == u"PIPELINING")
            features_.pipelining = true;
        else if (keyword == u"SIZE")
            features_.size = true;
        else if (keyword == u"SMTPUTF8")
            features_.utf8 = true;
        else if (keyword == u"DSN")
            features_.dsn = true;
    }
    const bool tlsStillToCome = starttls && tlsWanted && !tlsStarted;
    if (loginWanted && !auth && !tlsStillToCome)
        abortNoAuth_ = true;
}

ServerReply ReplyOf(const SmtpReply& reply) {
    static const QRegularExpression enhanced(
        QStringLiteral("^\\d{3} ([245]\\.\\d{1,3}\\.\\d{1,3})\\b"));
    static const QRegularExpression queued(
        QStringLiteral("(?:queued as|\\bid[=:])\\s*<?([A-Za-z0-9._@-]{1,80})>?"),
        QRegularExpression::CaseInsensitiveOption);
    ServerReply out;
    out.code = reply.code;
    out.text = Untrusted::Clean(reply.text);
    if (const QRegularExpressionMatch m = enhanced.match(reply.text); m.hasMatch())
        out.enhanced = m.captured(1);
    if (reply.code >= 200 && reply.code < 300)
        if (const QRegularExpressionMatch m = queued.match(reply.text); m.hasMatch())
            out.queueId = m.captured(1);
    return out;
}

QByteArray Xtext(const QString& text) {
    QByteArray out;
    for (const char c : text.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < '!' || byte > '~' || byte == '+' || byte == '=')
            out += '+' + QByteArray::number(byte, 16).toUpper().rightJustified(2, '0');
        else
            out += c;
    }
    return out;
}

void SmtpConversation::forgetRepliesFrom(size_t count) {
    if (count < replies_.size())
        replies_.resize(count);
}

const SmtpReply* SmtpConversation::lastFailure() const {
    for (auto it = replies_.rbegin(); it != replies_.rend(); ++it)
        if (it->code >= 400)
            return &*it;
    return nullptr;
}

bool SmtpConversation::endUnanswered() const {
    return messageEnded_ && std::none_of(replies_.cbegin(), replies_.cend(),
                                         [](const SmtpReply& r) { return r.command == u"."; });
}

bool SmtpConversation::anyCommandAnswered() const {
    for (const SmtpReply& reply : replies_)
        if (!reply.command.isEmpty())
            return true;
    return false;
}

int SmtpConversation::acceptedRecipients() const {
    int accepted = 0;
    for (const SmtpReply& reply : replies_)
        if (reply.command == u"RCPT" && reply.code >= 200 && reply.code < 300)
            ++accepted;
    return accepted;
}

QStringList SmtpConversation::refusedRecipients() const {
    QStringList refused;
    for (const SmtpReply& reply : replies_)
        if (reply.command == u"RCPT" && !(reply.code >= 200 && reply.code < 300))
            refused << QStringLiteral("%1 (%2)").arg(reply.argument,
                                                     Untrusted::CleanQuoted(reply.text));
    return refused;
}

} // namespace mail::detail
