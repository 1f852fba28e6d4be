// The operator's check of the server settings: from the settings page to the network check
// (mail/engine/server_probe.h) and back as text, for the settings page's button and for
// "VL3_Postique --check-server".
#pragma once

#include "mail/engine/hosted_outlook.h"
#include "mail/engine/server_probe.h"
#include "station/sending_settings.h"

#include <QString>
#include <QStringList>

class Frm_Main;

namespace ServerCheck {

// What the check of the settings page found: `ok` when a mail could be sent; `lines` the
// report to show, ending with the verdict (on failure, the explanation an incident line
// would give).
struct Outcome {
    bool ok = false;
    QStringList lines;
};

// The values a send would take from the settings page of `form` (server, port, SSL, login,
// protocol, sender), read as SendEmail reads them. `refusal` receives the poller's own
// refusal ("Adresse Email d'envoi non renseignée", "Veuillez renseigner l'utilisateur et/ou
// le mot de passe") when the settings would stop every automatic send; "" otherwise.
mail::ProbeSettings SettingsFromPage(const Frm_Main& form, QString& refusal);

// Where the sending path of the settings page of `form` stands at the hosted services'
// deadlines (mail/engine/hosted_outlook.h).
mail::HostedOutlook OutlookOfPage(const Frm_Main& form);

// Tells, as an incident line, a sending path of the saved settings that a deadline will break,
// once for each change of path: the path told is kept in the program's local settings file.
// Returns true when a line was added.
bool TellOutlookOnce(Frm_Main& form);
// The same for the station's saved settings (no window), and for a verdict already made.
bool TellOutlookOnce(const station::SendingSettings& saved);
bool TellOutlookOnce(const mail::HostedOutlook& outlook);

// Checks the settings of `form`. The network part runs off the calling thread; on the
// user-interface thread events keep being processed meanwhile. Sends nothing.
Outcome Run(const Frm_Main& form, const QString& testRecipient = QString());

// "VL3_Postique --check-server": loads the saved settings into a main window that is never
// shown (without the start-up's notice mail or poller), runs the check, prints the report
// on standard output. Needs a QApplication. Returns the exit status: 0 when a mail could
// be sent, 1 otherwise.
int CommandLine(const QString& testRecipient = QString());

} // namespace ServerCheck
