// The sections of the settings file the sending reads by itself: [DKIM], [HVE] and the
// Exchange login. Defined with the station's settings file (station/settings_store.cpp).
#pragma once

#include "mail/engine/mail_component.h"

#include <QString>
#include <QStringList>

namespace DkimSettings {

// The section's keys. Key files are native paths in the settings folder (the folder of the
// settings file); a key name that leaves that folder gives an empty path and `refusal`.
struct Section {
    QString domain;          // Domaine
    QString selector;        // Selecteur
    QString key;             // Cle: the RSA private key
    QString keyEd25519;      // CleEd25519: the optional second key
    QString selectorEd25519; // SelecteurEd25519 ("" for "<Selecteur>-ed25519")
    bool required = true;    // Obligatoire (default 1): no mail leaves unsigned
    QString refusal;         // why a key name was refused; "" when none was
    // True when any of Domaine, Selecteur or Cle is set: DKIM is asked for.
    bool asked() const { return !domain.isEmpty() || !selector.isEmpty() || !key.isEmpty(); }
};

// The section as the settings file holds it now: read again only when the file changed since
// the last call, so a job of thousands of rows reads it once.
Section Read();

} // namespace DkimSettings

namespace HveSettings {

// The domains High Volume Email may deliver to besides the sender's own: `[HVE] Domaines=` of
// the settings file, separated by ",", ";" or blanks, in lower case; read again only when the
// file changed.
QStringList Domains();

} // namespace HveSettings

namespace ExchangeLoginSettings {

// How Exchange (EWS, WebDAV) is logged in to besides the user and password: `[Exchange]
// Authentification=` (Negotiate, NTLM or Basic; empty to follow the server's offer) and the
// station's Kerberos keys, `[Kerberos] Keytab=` (a path; a bare name is a file of the settings
// folder) and `[Kerberos] Principal=`; read again only when the file changed.
mail::ExchangeLogin Read();

} // namespace ExchangeLoginSettings
