// The protocols a mail can go out by, in the order of the settings page's list: one row each
// with everything the program decides by protocol, so no other file compares protocol numbers.
#pragma once

#include <QString>
#include <QtGlobal>

#include <span>

namespace mail {

// How a protocol sends and checks a mail.
enum class Route {
    Smtp,                // an SMTP server, or the recipients' MX hosts when no server is set
    ExchangeWebServices, // SOAP CreateItem; checked by a GetFolder of the inbox
    ExchangeWebDav,      // PUT to the submission address; checked by a PROPFIND
    Graph,               // Microsoft Graph sendMail; checked by a request that cannot send
};

// Which OAuth 2.0 scope of the provider a protocol needs.
enum class ScopeKind { Smtp, Ews, Graph };

struct ProtocolInfo {
    qint32 index;      // position in the settings page's list and value of "Protocole"
    const char* label; // the list's text (UTF-8)
    const char* name;  // the protocol's name in check reports
    Route route;
    ScopeKind scope;
    const char* rights;          // what the account must be allowed, for a refused OAuth 2.0 token
    bool emptyServerMeansDirect; // no server: direct delivery, without login (else the
                                 // protocol's own default server, with the login)
};

// Every protocol, index 0 first; indexes never change meaning (settings files keep them).
std::span<const ProtocolInfo> Protocols();

// The protocol of `index`, or nullptr for an index no protocol has.
const ProtocolInfo* FindProtocol(qint32 index);

} // namespace mail
