// One mail built from its six fields and the sending settings, then sent: the same path for a
// job's row and for the compose panel, so that no row passes through a widget.
#pragma once

#include "automation/jobs/job_context.h"
#include "station/dkim_settings.h"
#include "station/sending_settings.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <memory>

namespace mail {
class MailMessage;
struct SendPlan;
namespace dkim {
class Signer;
}
namespace oauth {
struct Login;
}
} // namespace mail

namespace Sending {

// The 16-bit Boolean values of the program's flags.
inline constexpr qint16 True = -1;
inline constexpr qint16 False = 0;

// Every subject leaves the program with this prefix.
inline const QString kSubjectPrefix = QStringLiteral("Postique: ");

// How a send ended (the current job keeps the verdict of its last send).
using Outcome = automation::Outcome;
using Verdict = automation::Verdict;
using CopyRecord = automation::CopyRecord;

// How a send tells what happens; whoever asked for it decides where that shows.
struct Feedback {
    // A problem: a message box for an operator's send, an incident line otherwise. Required.
    std::function<void(const QString& text)> report;
    // An operator's send only: good news ("Mail envoyé.") and the status line while the
    // copies of a mail without server go one by one. May be empty.
    std::function<void(const QString& text)> inform;
    std::function<void(const QString& text)> status;
};

// One mail to build and send.
struct MailRequest {
    station::MailFields fields;
    // The settings it goes with: what the page shows for an operator's send, what was saved
    // for an automatic one.
    station::SendingSettings settings;
    bool interactive = false; // an operator's send (Manuel exactly True)
    // The compose panel's own picked files (its mails only; a row carries its own attachment).
    QStringList pickedAttachments;
    // The token login when the settings use OAuth 2.0, else null (a password login).
    std::shared_ptr<const mail::oauth::Login> oauthLogin;
    // A delivery report's fields (message/delivery-status): the body becomes its readable part.
    QByteArray deliveryStatus;
};

// Builds the mail of `request` on a fresh mail object and sends it: an automatic mail of a
// job goes to the job's sending worker (automation::JobContext::handOver); without a server
// and with several recipients one copy goes to each. Problems go to `feedback`; the current
// job (automation::currentJob) keeps the verdict of an automatic send. Returns True when the
// mail was abandoned (not built, or not sent), False otherwise. Never throws: the steps'
// errors are trapped under "Frm_Main:SendEmail".
qint16 BuildAndSend(const MailRequest& request, const Feedback& feedback);

// Sends `mail` once to each address of `recipients` (comma-separated, quotes respected), each
// copy to that one address as To; blank entries are skipped. A failure goes to the current
// copy record (automatic send) or to feedback.report; an operator's send also hears of each
// copy that went. Returns true when every copy went out (also when there was none).
// `outcome`, when given: Sent when every copy went or the only failures were permanent and some
// copy went, Permanent when every copy failed for good, Transient when any may go later.
bool SendCopies(mail::MailMessage& mail, const QString& recipients, bool interactive,
                const Feedback& feedback, Verdict* outcome = nullptr);

// The body with every "[$from]", then "[$to]", then "[$subject]" replaced (case-sensitive)
// by `from`, `to` and `subject`. Never fails.
QString ReplacePlaceholders(QString body, const QString& from, const QString& to,
                            const QString& subject);

// The hint that follows a refused send when `server` names one of the large providers that
// no longer accept a plain password (Gmail, Office 365), compared without regard to case;
// empty for any other server.
QString ProviderLoginHint(const QString& server);

// The copy record of the row being sent by the current job, or nullptr.
const CopyRecord* CurrentCopyRecord();

// The native folders of extra trusted CA certificates, separated by line feeds: "CA" in the
// program's settings folder, then the one beside a shared executable when it exists; "" while
// neither is known. Looked up through the case-insensitive path search and
// kept a few seconds, so a job of thousands of mails finds it once.
QString TrustedCaFolder();

// The DKIM signer the [DKIM] section asks for: null without one (`section.asked()` false),
// null with `error` (French, what to fix) when it is asked for but cannot be used.
std::shared_ptr<const mail::dkim::Signer> DkimSigner(const DkimSettings::Section& section,
                                                     QString& error);

} // namespace Sending
