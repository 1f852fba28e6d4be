// The transmission of one mail: SendEmail (a procedure of the main window, declared in
// ui/frm_main.h) and the helpers it shares with the compose panel.
#pragma once

#include "mail/dkim_settings.h"

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

class Frm_Main;

namespace mail {
struct SendPlan;
namespace dkim {
class Signer;
}
} // namespace mail

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

// How a send ended, for a caller that must tell a failure worth retrying from one that is not.
enum class Outcome {
    Sent,      // the mail went out (perhaps without some refused recipients, reported)
    Transient, // connection, time-out, TLS, 4xx, settings, server gone, stop request: retry later
    Permanent  // this mail can never go as it is (bad address, 5xx for the whole mail)
};
struct Verdict {
    Outcome outcome = Outcome::Sent;
    QString reason; // why it failed, cleaned for an incident line; empty when sent
};
// The verdict of the last SendEmail call; every path of SendEmail sets it.
const Verdict& LastVerdict();

// Per-recipient memory of the row being sent: `alreadySent` tells whether the copy (or the
// envelope recipient) for an address went out before; `noteSent` records a copy that went out
// now (without a server, one copy per recipient). `noteRefused`, when set, takes a copy refused
// (for good or for a while) instead of an incident line: the job says it once per change of
// the row's state. Through a server, the recipients already served are left out of the
// envelope.
struct CopyRecord {
    std::function<bool(const QString& recipient)> alreadySent;
    std::function<void(const QString& recipient)> noteSent;
    std::function<void(const QString& recipient, bool permanent, const QString& reason)>
        noteRefused;
};
// The copy record of the row being sent by the current job, or nullptr.
const CopyRecord* CurrentCopyRecord();

// The native folder of extra trusted CA certificates: "CA" in the program's settings folder,
// "" while that folder is not known. Looked up through the case-insensitive path search and
// kept a few seconds, so a job of thousands of mails finds it once.
QString TrustedCaFolder();

// The DKIM signer the [DKIM] section asks for: null without one (`section.asked()` false),
// null with `error` (French, what to fix) when it is asked for but cannot be used.
std::shared_ptr<const mail::dkim::Signer> DkimSigner(const DkimSettings::Section& section,
                                                     QString& error);

// Reports a refused send the way SendEmail does: the component's description, then the
// provider hint when the server text names Gmail or Office 365 (see ProviderLoginHint).
void ReportRefusal(Frm_Main& main, qint16 Manuel, const QString& description,
                   const QString& server);

// Where an automatic send hands its finished mail instead of sending it and waiting: the job
// dispatch gives one, so that rows go to the job's sending worker while the next row is read.
// It receives the detached mail and the server text (for ReportRefusal when the outcome comes
// back). SendEmail then leaves Abandon clear: the outcome is the job's to handle.
using DeferredSender =
    std::function<void(std::shared_ptr<const mail::SendPlan> mail, const QString& server)>;

// What automatic sends need from the job being dispatched, for the length of that job.
struct JobContext {
    DeferredSender handOver;            // empty: sent in place
    const CopyRecord* copies = nullptr; // the row being sent, or null
};

// Makes `context` the current job's for its lifetime (the previous one comes back after).
class JobScope {
public:
    explicit JobScope(JobContext& context);
    ~JobScope();
    JobScope(const JobScope&) = delete;
    JobScope& operator=(const JobScope&) = delete;

private:
    JobContext* previous_;
};

} // namespace Sending
