// The mail transaction on an open session. libcurl keeps the socket and the TLS state; the
// commands, the replies and the message go through curl_easy_send and curl_easy_recv. With
// PIPELINING the envelope and DATA cost one round trip instead of one per command.
#include "mail/transport/smtp_transaction.h"

#include "mail/engine/mail_component.h"
#include "mail/engine/transfer_stop.h"

#include <QUrl>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace mail::detail {

namespace {

using Clock = std::chrono::steady_clock;

bool positive(const SmtpReply& reply) {
    return reply.code >= 200 && reply.code < 300;
}

bool isAscii(const QString& text) {
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

// The session's socket, written and read through libcurl. Each wait is bounded by the reply
// limit, counted again whenever bytes move, so a large message on a slow line still goes.
class Channel {
public:
    Channel(CURL* curl, std::chrono::milliseconds limit, char* errorBuffer)
        : curl_(curl), limit_(std::max(limit, std::chrono::milliseconds(1))),
          errorBuffer_(errorBuffer) {
        if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket_) != CURLE_OK)
            socket_ = CURL_SOCKET_BAD;
    }

    CURLcode write(const QByteArray& bytes) {
        auto deadline = Clock::now() + limit_;
        size_t done = 0;
        const auto size = size_t(bytes.size());
        while (done < size) {
            size_t n = 0;
            const CURLcode result =
                curl_easy_send(curl_, bytes.constData() + done, size - done, &n);
            if (result == CURLE_OK) {
                done += n;
                deadline = Clock::now() + limit_;
            } else if (result != CURLE_AGAIN) {
                return fail(CURLE_SEND_ERROR, curl_easy_strerror(result));
            } else if (const CURLcode waited = wait(POLLOUT, deadline); waited != CURLE_OK) {
                return waited;
            }
        }
        return CURLE_OK;
    }

    // Reads until `talk` holds `count` replies.
    CURLcode awaitReplies(SmtpConversation& talk, size_t count) {
        auto deadline = Clock::now() + limit_;
        char buffer[16384];
        while (talk.replies().size() < count) {
            size_t n = 0;
            const CURLcode result = curl_easy_recv(curl_, buffer, sizeof buffer, &n);
            if (result == CURLE_OK && n == 0)
                return fail(CURLE_RECV_ERROR, "Connection closed by the server");
            if (result == CURLE_OK) {
                const size_t before = talk.replies().size();
                talk.repliesReceived(buffer, n);
                if (talk.replies().size() > before)
                    deadline = Clock::now() + limit_;
            } else if (result != CURLE_AGAIN) {
                return fail(CURLE_RECV_ERROR, curl_easy_strerror(result));
            } else if (const CURLcode waited = wait(POLLIN, deadline); waited != CURLE_OK) {
                return waited;
            }
        }
        return CURLE_OK;
    }

private:
    // libcurl always reads what its TLS layer holds before it reports CURLE_AGAIN, so a
    // wait on the socket itself misses nothing.
    CURLcode wait(short events, Clock::time_point deadline) {
        if (socket_ == CURL_SOCKET_BAD)
            return fail(CURLE_RECV_ERROR, "The session has no socket");
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return fail(CURLE_OPERATION_TIMEDOUT,
                            "Operation timed out waiting for the server's reply");
            pollfd one{socket_, events, 0};
            const int ready = ::poll(&one, 1, int(std::min<qint64>(left.count(), 60000)));
            if (ready > 0)
                return CURLE_OK; // readable, writable, closed or failed: the next call tells
            if (ready < 0 && errno != EINTR)
                return fail(CURLE_RECV_ERROR, "poll failed");
        }
    }

    CURLcode fail(CURLcode result, const char* text) {
        if (errorBuffer_)
            std::snprintf(errorBuffer_, CURL_ERROR_SIZE, "%s", text);
        return result;
    }

    CURL* curl_;
    std::chrono::milliseconds limit_;
    char* errorBuffer_;
    curl_socket_t socket_ = CURL_SOCKET_BAD;
};

// The envelope commands: MAIL FROM, one RCPT TO per recipient, DATA.
// Where the server offers DSN and the mail has an envelope id, it is asked to report
// failures and delays only (a success needs no mail back).
std::vector<QByteArray> envelope(const SmtpFeatures& features, const QString& from,
                                 const QStringList& recipients, qsizetype messageSize,
                                 const QString& envelopeId) {
    std::vector<QByteArray> commands;
    const bool dsn = features.dsn && !envelopeId.isEmpty();
    QByteArray mail = "MAIL FROM:<" + SmtpPath(from) + '>';
    if (features.size)
        mail += " SIZE=" + QByteArray::number(messageSize);
    const bool utf8 = !isAscii(from) || std::any_of(recipients.cbegin(), recipients.cend(),
                                                    [](const QString& r) { return !isAscii(r); });
    if (features.utf8 && utf8)
        mail += " SMTPUTF8";
    if (dsn) {
        // At most 100 characters once encoded: a long id loses its start, never its end (the
        // row) nor half of an encoded byte.
        QString id = envelopeId;
        QByteArray encoded = Xtext(id);
        while (encoded.size() > 100) {
            id.remove(0, 1);
            encoded = Xtext(id);
        }
        mail += " ENVID=" + encoded;
    }
    commands.push_back(mail + "\r\n");
    for (const QString& r : recipients)
        commands.push_back("RCPT TO:<" + SmtpPath(r) + '>' +
                           (dsn ? QByteArray(" NOTIFY=FAILURE,DELAY") : QByteArray()) + "\r\n");
    commands.push_back("DATA\r\n");
    return commands;
}

// The envelope one command at a time. Returns CURLE_OK once DATA was answered with 354.
CURLcode lockstep(Channel& channel, SmtpConversation& talk,
                  const std::vector<QByteArray>& commands) {
    for (size_t i = 0; i < commands.size(); ++i) {
        const bool data = i + 1 == commands.size();
        if (data && talk.acceptedRecipients() == 0)
            return CURLE_SEND_ERROR; // every recipient refused: the last refusal tells
        talk.commandSent(commands[i]);
        if (talk.loginUnavailable())
            return CURLE_ABORTED_BY_CALLBACK;
        const size_t count = talk.replies().size() + 1;
        if (const CURLcode r = channel.write(commands[i]); r != CURLE_OK)
            return r;
        if (const CURLcode r = channel.awaitReplies(talk, count); r != CURLE_OK)
            return r;
        const SmtpReply& reply = talk.replies().back();
        if ((i == 0 && !positive(reply)) || (data && reply.code != 354))
            return CURLE_SEND_ERROR;
    }
    return CURLE_OK;
}

// The envelope in one group. Answers that only follow from an earlier refusal of the group
// (a server says "503 need MAIL" to the RCPT after a refused MAIL) are forgotten, so the
// record reads as if the commands had waited for one another.
CURLcode pipelined(Channel& channel, SmtpConversation& talk,
                   const std::vector<QByteArray>& commands) {
    const size_t first = talk.replies().size();
    QByteArray group;
    for (const QByteArray& command : commands) {
        talk.commandSent(command);
        if (talk.loginUnavailable())
            return CURLE_ABORTED_BY_CALLBACK;
        group += command;
    }
    if (const CURLcode r = channel.write(group); r != CURLE_OK)
        return r;
    if (const CURLcode r = channel.awaitReplies(talk, first + commands.size()); r != CURLE_OK)
        return r;
    const bool mailTaken = positive(talk.replies()[first]);
    const bool anyRecipient = talk.acceptedRecipients() > 0;
    const bool dataOpen = talk.replies().back().code == 354;
    if (mailTaken && anyRecipient)
        return dataOpen ? CURLE_OK : CURLE_SEND_ERROR;
    if (dataOpen) {
        // A server that opened the data with nobody to deliver to: an empty message ends it.
        const size_t count = talk.replies().size() + 1;
        if (channel.write(".\r\n") == CURLE_OK)
            (void)channel.awaitReplies(talk, count);
    }
    talk.forgetRepliesFrom(mailTaken ? first + commands.size() - 1 : first + 1);
    return CURLE_SEND_ERROR;
}

} // namespace

QByteArray SmtpPath(const QString& address) {
    const qsizetype at = address.lastIndexOf(u'@');
    if (at < 0)
        return address.toUtf8();
    const QString domain = address.mid(at + 1);
    QByteArray ascii = isAscii(domain) ? domain.toUtf8() : QUrl::toAce(domain);
    if (ascii.isEmpty())
        ascii = domain.toUtf8();
    return address.left(at).toUtf8() + '@' + ascii;
}

QByteArray DotStuffed(const QByteArray& message) {
    QByteArray out;
    out.reserve(message.size() + message.size() / 64 + 5);
    qsizetype from = 0;
    if (message.startsWith('.'))
        out += '.';
    for (qsizetype at; (at = message.indexOf("\r\n.", from)) >= 0; from = at + 2) {
        out.append(message.constData() + from, at + 2 - from);
        out += '.';
    }
    out.append(message.constData() + from, message.size() - from);
    if (!out.isEmpty() && !out.endsWith("\r\n"))
        out += "\r\n";
    out += ".\r\n";
    return out;
}

CURLcode RunSmtpTransaction(CURL* curl, const SmtpFeatures& features,
                            std::chrono::milliseconds replyLimit, SmtpConversation& talk,
                            const QString& from, const QStringList& recipients,
                            const QByteArray& message, char* errorBuffer,
                            const QString& envelopeId) {
    Channel channel(curl, replyLimit, errorBuffer);
    const std::vector<QByteArray> commands =
        envelope(features, from, recipients, message.size(), envelopeId);
    CURLcode result = features.pipelining ? pipelined(channel, talk, commands)
                                          : lockstep(channel, talk, commands);
    if (result == CURLE_OK) {
        talk.bodyStarted();
        const size_t count = talk.replies().size() + 1;
        // The final dot goes on its own: until it is written a stop may cut the connection
        // (the server throws the mail away); once it is, the server's answer is awaited
        // even while stopping, so a mail it took never counts as untried.
        const QByteArray wire = DotStuffed(message);
        result = channel.write(wire.first(wire.size() - 3));
        if (result == CURLE_OK && AbortRequested())
            result = CURLE_ABORTED_BY_CALLBACK;
        if (result == CURLE_OK) {
            const AnswerAwaited spared(curl);
            result = channel.write(wire.last(3));
            if (result == CURLE_OK) {
                talk.messageEnded();
                result = channel.awaitReplies(talk, count);
            }
        }
        if (result == CURLE_OK && !positive(talk.replies().back()))
            result = CURLE_RECV_ERROR;
    }
    // A stop cuts the connection: the failure it causes is the stop.
    if (result != CURLE_OK && AbortRequested() && !talk.endUnanswered())
        result = CURLE_ABORTED_BY_CALLBACK;
    return result;
}

} // namespace mail::detail
