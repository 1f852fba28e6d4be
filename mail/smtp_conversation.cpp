// Pairs SMTP commands with replies. Multi-line replies ("250-...") are gathered until their
// last line; the capabilities of EHLO decide whether a wanted login can happen at all.
#include "mail/smtp_conversation.h"

#include "system/untrusted_text.h"

namespace mail::detail {

void SmtpConversation::commandSent(const QByteArray& raw) {
    lines_.clear();
    if (authInProgress_) {
        // Continuation lines of an AUTH exchange carry credentials: never kept.
        command_ = QStringLiteral("AUTH");
        argument_.clear();
        return;
    }
    const QString line = QString::fromUtf8(raw).trimmed();
    const qsizetype space = line.indexOf(u' ');
    command_ = (space < 0 ? line : line.left(space)).toUpper();
    argument_ = space < 0 ? QString() : line.mid(space + 1);
    if (command_ == u"AUTH") {
        authSent_ = true;
        authInProgress_ = true;
        argument_ = argument_.section(u' ', 0, 0); // the mechanism, never the credentials
    } else if (command_ == u"MAIL" || command_ == u"RCPT") {
        const qsizetype open = argument_.indexOf(u'<');
        const qsizetype close = argument_.indexOf(u'>', open + 1);
        if (open >= 0 && close > open)
            argument_ = argument_.mid(open + 1, close - open - 1);
        // A login was asked but the server never offered one: stop before the message. A
        // session reused from the pool says no EHLO: it logged in when it was opened.
        if (command_ == u"MAIL" && loginWanted && greeted_ && !authSent_)
            abortNoAuth_ = true;
    }
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
    command_ = QStringLiteral(".");
    argument_.clear();
}

void SmtpConversation::replyLine(const QString& line) {
    lines_ << line;
    if (line.size() >= 4 && line.at(3) == u'-')
        return; // continuation
    SmtpReply reply;
    reply.command = command_;
    reply.argument = argument_;
    reply.code = line.left(3).toInt();
    QStringList texts;
    for (const QString& l : std::as_const(lines_))
        texts << l.mid(4);
    reply.text = line.left(3) + u' ' + texts.join(u' ');
    if ((command_ == u"EHLO" || command_ == u"HELO") && reply.code == 250) {
        greeted_ = true;
        capabilities(texts);
    }
    if (command_ == u"AUTH" && reply.code != 334)
        authInProgress_ = false;
    if (command_ == u"STARTTLS" && reply.code == 220)
        tlsStarted = true;
    replies_.push_back(reply);
    lines_.clear();
    if (command_ == u".")
        command_.clear();
}

void SmtpConversation::capabilities(const QStringList& texts) {
    bool auth = false;
    bool starttls = false;
    for (const QString& t : texts) {
        const QString upper = t.trimmed().toUpper();
        if (upper.startsWith(u"AUTH ") || upper.startsWith(u"AUTH="))
            auth = true;
        if (upper == u"STARTTLS")
            starttls = true;
    }
    const bool tlsStillToCome = starttls && tlsWanted && !tlsStarted;
    if (loginWanted && !auth && !tlsStillToCome)
        abortNoAuth_ = true;
}

const SmtpReply* SmtpConversation::lastFailure() const {
    for (auto it = replies_.rbegin(); it != replies_.rend(); ++it)
        if (it->code >= 400)
            return &*it;
    return nullptr;
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
