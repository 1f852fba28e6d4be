// The SMTP conversation as libcurl's debug callback shows it: each command paired with its
// reply, the EHLO capabilities, and the per-recipient outcomes the incident text quotes.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <vector>

namespace mail::detail {

// One SMTP reply paired with the command it answers.
struct SmtpReply {
    QString command;  // "" (greeting), "EHLO", "AUTH", "STARTTLS", "MAIL", "RCPT", "DATA", "." ...
    QString argument; // the address of MAIL and RCPT, the mechanism of AUTH, else the text
    int code = 0;
    QString text; // "<code> <text of every line>", as the server sent it
};

// Follows one SMTP transaction from the bytes libcurl logs. Set the three wishes before the
// transfer; feed commandSent, repliesReceived and bodyStarted in the order libcurl reports
// them. Credentials of an AUTH exchange are never kept. Never fails: a garbled reply is
// recorded with code 0.
class SmtpConversation {
public:
    bool loginWanted = false; // user and password are set
    bool tlsWanted = false;   // STARTTLS will be attempted when offered
    bool tlsStarted = false;  // implicit TLS, or STARTTLS accepted

    // One command line the client sent (CRLF included or not).
    void commandSent(const QByteArray& raw);
    // Bytes the server sent; may hold part of a line, one line or several.
    void repliesReceived(const char* data, size_t size);
    // The first bytes of the message went out: the next reply answers the final ".".
    void bodyStarted();

    // True once a login was asked of a server that offers none: the transfer must stop
    // before the message goes out. Safe to read from another callback.
    bool loginUnavailable() const { return abortNoAuth_; }
    bool bodySent() const { return bodySent_; }
    const std::vector<SmtpReply>& replies() const { return replies_; }
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

    bool authSent_ = false;
    bool authInProgress_ = false;
    bool bodySent_ = false;
    std::atomic<bool> abortNoAuth_{false};
    QString command_;
    QString argument_;
    QStringList lines_;
    QByteArray pendingIn_;
    std::vector<SmtpReply> replies_;
};

} // namespace mail::detail
