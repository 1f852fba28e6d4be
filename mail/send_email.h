// The transmission of one mail: SendEmail (a procedure of the main window, declared in
// ui/frm_main.h) and the helpers it shares with the compose panel.
#pragma once

#include "automation/jobs/job_context.h"
#include "mail/dkim_settings.h"

#include <QString>
#include <QStringList>
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

// While one lives, the boxes of Report are kept instead of shown, so that the caller shows
// one box for a send that failed (its reason, its advice and the abandon together).
class GatheredBoxes {
public:
    GatheredBoxes();
    ~GatheredBoxes();
    GatheredBoxes(const GatheredBoxes&) = delete;
    GatheredBoxes& operator=(const GatheredBoxes&) = delete;
    QStringList texts;
};

// The body with every "[$from]", then "[$to]", then "[$subject]" replaced (case-sensitive)
// by `from`, `to` and `subject`. Never fails.
QString ReplacePlaceholders(QString body, const QString& from, const QString& to,
                            const QString& subject);

// The hint that follows a refused send when `server` names one of the large providers that
// no longer accept a plain password (Gmail, Office 365), compared without regard to case;
// empty for any other server.
QString ProviderLoginHint(const QString& server);

// How a send ended (the current job keeps the verdict of its last send).
using Outcome = automation::Outcome;
using Verdict = automation::Verdict;
using CopyRecord = automation::CopyRecord;

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

// Reports a refused send the way SendEmail does: the component's description, then the
// provider hint when the server text names Gmail or Office 365 (see ProviderLoginHint).
void ReportRefusal(Frm_Main& main, qint16 Manuel, const QString& description,
                   const QString& server);
// Only the provider hint of ReportRefusal, for a refusal whose description another line
// already gives.
void ReportProviderHint(Frm_Main& main, qint16 Manuel, const QString& server);

} // namespace Sending
