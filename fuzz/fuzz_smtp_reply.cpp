// Fuzz target for the reading of SMTP replies: the first lines are commands the client sent
// (one per line; a line "BODY" marks the start of the message), the rest is what the server
// answered, fed in pieces of the sizes the input's first byte picks. Whatever the server
// sends, nothing crashes, every reply is paired with a command or the greeting, and no
// reply keeps a control character that could reach an incident line.
#include "fuzz/fuzz_input.h"
#include "mail/transport/smtp_conversation.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::FuzzInput in = fuzz::cutInput(data, size, 6);
    mail::detail::SmtpConversation talk;
    talk.loginWanted = !in.lines[0].isEmpty();
    talk.tlsWanted = in.lines[0].size() > 1;
    for (size_t i = 1; i < in.lines.size(); ++i) {
        if (in.lines[i] == QLatin1String("BODY"))
            talk.bodyStarted();
        else if (!in.lines[i].isEmpty())
            talk.commandSent(in.lines[i].toUtf8() + "\r\n");
    }
    const QByteArray& replies = in.rest;
    const qsizetype step = replies.isEmpty() ? 1 : 1 + static_cast<unsigned char>(replies[0]) % 17;
    for (qsizetype pos = 0; pos < replies.size(); pos += step)
        talk.repliesReceived(replies.constData() + pos,
                             static_cast<size_t>(qMin(step, replies.size() - pos)));
    for (const mail::detail::SmtpReply& reply : talk.replies())
        if (reply.code < 0 || reply.code > 999)
            std::abort();
    (void)talk.refusedRecipients();
    (void)talk.acceptedRecipients();
    (void)talk.lastFailure();
    (void)talk.features();
    return 0;
}
