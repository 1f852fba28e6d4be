// The transmission of one mail: SendEmail (a procedure of the main window, declared in
// ui/frm_main.h) and the helpers it shares with the compose panel.
#pragma once

#include <QString>
#include <QtGlobal>

class Frm_Main;

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

} // namespace Sending
