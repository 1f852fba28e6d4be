// The server settings panel: the mail providers whose submission host and presets the panel
// knows, and the look-ups its handlers use to fill the server field from the sender.
#pragma once

#include "mail/engine/hosted_outlook.h"

#include <QString>

#include <array>

namespace ServerPanel {

// A mail provider known by the panel: the domain of its senders' addresses (lower case) and
// the SMTP submission host for which port 587, SSL and authentication are preset.
struct WellKnownProvider {
    const char* domain;
    const char* host;
};

// The providers, one each for Office 365 (Hotmail), Gmail, Yahoo mail and AOL mail. Station
// builds that need other hosts change this table only.
inline constexpr std::array<WellKnownProvider, 4> kWellKnownProviders{{
    {"hotmail.com", "smtp.office365.com"},
    {"gmail.com", "smtp.gmail.com"},
    {"yahoo.com", "smtp.mail.yahoo.com"},
    {"aol.com", "smtp.aol.com"},
}};

// The submission host of the provider whose sender domain is `domain` (compared in lower
// case); "" when the domain is not one of them.
QString ProviderHostForDomain(const QString& domain);

using mail::kHighVolumeHost;

// True when `server`, in lower case, is exactly one of the providers' hosts or kHighVolumeHost.
bool IsWellKnownServer(const QString& server);

} // namespace ServerPanel
