// The SMTP conversation as the client saw it: each command paired with its reply (in order,
// also when commands go out in groups), the EHLO capabilities, and the per-recipient outcomes.
#pragma once

#include "mail/engine/mail_component.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <deque>
#include <vector>

namespace mail::detail {

// One SMTP reply paired with the command it answers.
struct SmtpReply {
    QString command;  // "" (greeting), "EHLO", "AUTH", "STARTTLS", "MAIL", "RCPT", "DATA", "." ...
    QString argument; // the address of MAIL and RCPT, the mechanism of AUTH, else the text
    int code = 0;
    QString text; // "<code> <text of every line>", as the server sent it
};

// What the server's last EHLO reply offered beyond the login.
struct SmtpFeatures {
    bool pipelining = false; // commands may go out in groups (RFC 2920)
    bool size = false;       // MAIL FROM takes SIZE=
    bool utf8 = false;       // MAIL FROM takes SMTPUTF8
    bool dsn = false;        // delivery status notifications may be asked (RFC 3461)
};

// `reply` as the ledger keeps it: its code, its enhanced status code when it starts with one,
// its text cleaned, and the queue id a 250 answer names ("queued as X", "id=X").
ServerReply ReplyOf(const SmtpReply& reply);

// `text` in the xtext form of a DSN parameter: "+", "=" and every byte outside "!".."~" as
// "+XX".
QByteArray Xtext(const QString& text);

// Follows one SMTP session from the bytes that cross it (libcurl's debug callback while it
// opens the session, the transaction's own calls after). Set the three wishes first; feed
// commandSent, repliesReceived and bodyStarted in the order the bytes went. Replies answer
// the commands still unanswered, oldest first. Credentials of an AUTH exchange are never
// kept. Never fails: a garbled reply is recorded with code 0.
class SmtpConversation {
public:
    bool loginWanted = false; // user and password (or an OAuth 2.0 token) are set
    bool tlsWanted = false;   // STARTTLS will be attempted when offered
    bool tlsStarted = false;  // implicit TLS, or STARTTLS accepted

    // One command line the client sent (CRLF included or not).
    void commandSent(const QByteArray& raw);
    // Bytes the server sent; may hold part of a line, one line or several.
    void repliesReceived(const char* data, size_t size);
    // The first bytes of the message went out: the next reply answers the final ".".
    void bodyStarted();
    // The final "." went out: the server holds the whole message.
    void messageEnded() { messageEnded_ = true; }

    // True once a login was asked of a server that offers none: the transfer must stop
    // before the message goes out. Safe to read from another callback.
    bool loginUnavailable() const { return abortNoAuth_; }
    bool bodySent() const { return bodySent_; }
    // True when the whole message went out but no answer to its end came.
    bool endUnanswered() const;
    const std::vector<SmtpReply>& replies() const { return replies_; }
    // Forgets the replies from index `count` on: the answers to commands sent in one group
    // that failed only because an earlier command of the group had.
    void forgetRepliesFrom(size_t count);
    // The features of the last EHLO reply (all false before one).
    SmtpFeatures features() const { return features_; }
    // The last reply with an error code (4xx, 5xx), or nullptr.
    const SmtpReply* lastFailure() const;
    // True when a command of the transaction (not the greeting) got an answer.
    bool anyCommandAnswered() const;
    // Recipients the server accepted, and "address (reply)" of each one it refused.
    int acceptedRecipients() const;
    QStringList refusedRecipients() const;

private:
    void replyLine(const QString& line);
    void capabilities(const QStringList& texts);

    bool greeted_ = false; // this transfer opened the session (EHLO answered)
    bool authSent_ = false;
    bool authInProgress_ = false;
    bool bodySent_ = false;
    bool messageEnded_ = false;
    std::atomic<bool> abortNoAuth_{false};
    SmtpFeatures features_;
    struct Sent {
        QString command;
        QString argument;
    };
    std::deque<Sent> unanswered_;
    Sent last_; // the command answered last; an unsolicited reply is paired with it
    QStringList lines_;
    QByteArray pendingIn_;
    std::vector<SmtpReply> replies_;
};

} // namespace mail::detail
