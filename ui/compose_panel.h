// The compose panel's sending side: its buttons (declared in ui/frm_main.h) and DirectSend,
// which sends one copy per recipient when no server is set.
#pragma once

#include "ui/send_email.h"

#include <QString>
#include <QtGlobal>

class Frm_Main;

namespace mail {
class MailMessage;
}

namespace ComposePanel {

// Filter of the attachment picker.
inline const QString kAttachmentFilter = QStringLiteral("Tous les fichiers (*.*) | *.*");

// Sends `mail` (prepared by SendEmail: sender, subject, body, attachments, certificates)
// once to each address of `recipients` (a comma-separated list, quotes respected), each copy
// to that one address as To; blank entries are skipped. Each copy's outcome is reported on
// its own: with `Manuel` exactly -1 in a message box (failure and success), otherwise a
// failure as an incident line. Shows the recipient in progress in the main window's
// LabelStatus. Returns true when every copy went out (also when there was none to send),
// false when at least one failed. Errors are reported under "Frm_Main:DirectSend".
// A copy that the current copy record (Sending::CurrentCopyRecord) knows as sent is skipped;
// each copy that goes out is noted there. `outcome`, when given, receives the outcome of the
// whole mail: Sent when every copy went out or the only failures were permanent and some copy
// went out, Permanent when every copy failed for good, Transient when any copy may go later.
bool DirectSend(Frm_Main& main, mail::MailMessage& mail, const QString& recipients, qint16 Manuel,
                Sending::Verdict* outcome = nullptr);

} // namespace ComposePanel
