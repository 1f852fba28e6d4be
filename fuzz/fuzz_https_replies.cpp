// Fuzz target for the readers of what web servers answer: the first byte picks the reader
// (Exchange Web Services XML, an OAuth 2.0 token answer, a Microsoft Graph error), the rest
// is the answer's body. Whatever a server sends, nothing crashes, and the texts meant for an
// incident line (the provider's and Graph's errors, a refused token's description) hold no
// control character.
#include "fuzz/fuzz_input.h"
#include "mail/oauth/oauth.h"
#include "mail/transport/exchange.h"
#include "mail/transport/graph.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const QByteArray body(reinterpret_cast<const char*>(data + 1),
                          static_cast<qsizetype>(size - 1));
    switch (data[0] % 3) {
    case 0: {
        const mail::detail::EwsReply reply = mail::detail::ReadEwsReply(body);
        (void)reply;
        break;
    }
    case 1: {
        mail::oauth::Token token;
        QString provider;
        const bool ok = mail::oauth::ReadTokenReply(400 + data[0] % 100, body,
                                                    QStringLiteral("https://login.example/token"),
                                                    token, provider);
        if (fuzz::hasControl(provider) || fuzz::hasControl(token.description) ||
            fuzz::hasControl(token.account))
            std::abort();
        // A token that goes into a header line and an SMTP command is printable ASCII.
        if (ok && (token.accessToken.isEmpty() || fuzz::hasControl(token.accessToken)))
            std::abort();
        break;
    }
    default:
        if (fuzz::hasControl(mail::detail::GraphError(body)))
            std::abort();
        break;
    }
    return 0;
}
