// The table of protocols.
#include "mail/engine/protocols.h"

#include "mail/engine/mail_component.h"

namespace mail {

namespace {

const ProtocolInfo kProtocols[] = {
    {Protocol::Smtp, "SMTP Protocol - Recommandé", "SMTP", Route::Smtp, ScopeKind::Smtp,
     "SMTP authentifié activé pour la boîte", true},
    {Protocol::ExchangeWebService, "Exchange Web Service - 2007-2019/Office365",
     "Exchange Web Services", Route::ExchangeWebServices, ScopeKind::Ews,
     "EWS activé pour la boîte", false},
    {Protocol::ExchangeWebDav, "Exchange Web Dav - 2000/2003", "Exchange WebDAV",
     Route::ExchangeWebDav, ScopeKind::Ews, "WebDAV activé pour la boîte", false},
    {Protocol::Graph, "Microsoft Graph - Microsoft 365", "Microsoft Graph", Route::Graph,
     ScopeKind::Graph, "autorisation Mail.Send accordée à l'application pour cette boîte", false},
};

} // namespace

std::span<const ProtocolInfo> Protocols() {
    return kProtocols;
}

const ProtocolInfo* FindProtocol(qint32 index) {
    for (const ProtocolInfo& p : kProtocols)
        if (p.index == index)
            return &p;
    return nullptr;
}

} // namespace mail
