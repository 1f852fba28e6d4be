// The station's settings file "VL3_Postique.ini": its place, the reading of stored numbers,
// and the sections the sending reads by itself, each read again only when the file changed.
#pragma once

#include "mail/oauth/oauth.h"
#include "station/sending_settings.h"

#include <QString>
#include <QtGlobal>

#include <memory>
#include <optional>

namespace Lib_Public {

// DossierConfigGlobal[0] + "VL3_Postique.ini" (the bare name while that folder is blank,
// which the INI layer resolves in the Windows folder).
QString SettingsFilePath();

// The numeric value a stored number stands for: the leading decimal number of `text`
// (blanks before and inside it skipped, optional sign, fraction and exponent), 0 when the
// text starts with none, rounded half to even to a 16-bit integer. Empty when the value
// does not fit in 16 bits (an overflow, which the caller treats as a refused value).
std::optional<qint16> StoredNumber(const QString& text);

} // namespace Lib_Public

namespace OAuthSettings {

// The keys of the "OAuth2" section, in reading and writing order.
struct OAuthKeys {
    QString method, preset, tenant, clientId, authorize, device, token, scopeSmtp, scopeEws,
        scopeGraph, grant;
};
// The section as the file `file` holds it (absent keys: the program's defaults).
OAuthKeys readSection(const QString& file);
// The provider those keys describe, its preset resolved ("autre": none).
mail::oauth::Provider providerOf(const OAuthKeys& keys);

// Native path of the secrets file: beside the settings file, "VL3_Postique_OAuth2.json".
QString SecretsFile();

// The token login of the saved `settings` (null unless they log in with OAuth 2.0), its
// provider as the settings file holds it (read again only when the file changed).
std::shared_ptr<const mail::oauth::Login> LoginOf(const station::SendingSettings& settings);

// The OAuth 2.0 provider of the "OAuth2" section of the settings file `file` (its preset
// resolved). Never fails: absent keys give the preset's values.
mail::oauth::Provider ReadProvider(const QString& file);

} // namespace OAuthSettings
