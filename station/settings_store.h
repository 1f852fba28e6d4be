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

namespace station {

// What the station records of its sends and whom it tells, from the settings file:
// [Historique] Jours (days of the register of mails sent kept, 30), [Avis] Adresse (the
// operator's address for notices, "" for none) and AttenteAvant (hours a row waits before
// its notice, 4).
struct RecordSettings {
    int keepDays = 30;
    QString noticeAddress;
    qint64 noticeWaitMs = 4 * 3'600'000LL;
};
RecordSettings ReadRecordSettings(const QString& file);

// Reads them and applies them to the register and the notices, which go with the saved
// sending settings `saved`.
void ApplyRecordSettings(const SendingSettings& saved);

} // namespace station

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
