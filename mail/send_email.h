// The transmission of one mail: SendEmail (a procedure of the main window, declared in
// ui/frm_main.h) and the helpers it shares with the compose panel.
#pragma once

#include <QString>
#include <QtGlobal>

class Frm_Main;

namespace mail {
class MailMessage;
}

namespace Sending {

// The 16-bit Boolean values of the program's flags.
inline constexpr qint16 True = -1;
inline constexpr qint16 False = 0;

// Every subject leaves the program with this prefix.
inline const QString kSubjectPrefix = QStringLiteral("Postique: ");

// Reports `text` the way a send of mode `Manuel` reports: exactly True shows a message box
// (exclamation icon, OK, the main window's caption as title); any other value adds an
// incident line at the top of the main window's incidents list with the tab alert on.
void Report(Frm_Main& main, qint16 Manuel, const QString& text);

// The body with every "[$from]", then "[$to]", then "[$subject]" replaced (case-sensitive)
// by `from`, `to` and `subject`. Never fails.
QString ReplacePlaceholders(QString body, const QString& from, const QString& to,
                            const QString& subject);

// The hint that follows a refused send when `server` names one of the large providers that
// no longer accept a plain password (Gmail, Office 365), compared without regard to case;
// empty for any other server.
QString ProviderLoginHint(const QString& server);

// Sends `mail` (prepared by SendEmail: sender, subject, body, attachments, certificates)
// once to each address of `recipients` (a comma-separated list, quotes respected), each copy
// to that one address as To; blank entries are skipped. Each copy's outcome is reported on
// its own: with `Manuel` exactly -1 in a message box (failure and success), otherwise a
// failure as an incident line. Shows the recipient in progress in the main window's
// LabelStatus. Returns true when every copy went out (also when there was none to send),
// false when at least one failed. Errors are reported under "Frm_Main:DirectSend".
bool DirectSend(Frm_Main& main, mail::MailMessage& mail, const QString& recipients,
                qint16 Manuel);

} // namespace Sending
