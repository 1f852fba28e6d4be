// EnvoiMailAutomation: the window's view of a job being sent by the station's dispatch, on the
// job loop's thread (the grid's row and the status bar as it goes, the hidden form's fields and
// the sign-in line once it is over).
#include "station/job_dispatch.h"

#include "system/error_reporting.h"
#include "ui/controls.h"
#include "ui/fp_spread.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"

#include <QStatusBar>

JobDispatch::DispatchHost Frm_Main::DispatchView(FpSpread& sheet) {
    JobDispatch::DispatchHost host;
    host.progress = [this, &sheet](int row, const QString& text) {
        InWindow([this, &sheet, row, text] {
            sheet.showRow(row);
            statusBar()->showMessage(text);
        });
    };
    // The hidden form's mail fields hold the last row read, as after a row-by-row dispatch.
    host.lastRow = [this](const MailFields& last) {
        InWindow([last] {
            Lib_Public::Trap(JobDispatch::kLabel, [&] {
                Frm_MainBis* bis = Frm_MainBis::instance();
                if (!bis)
                    throw Lib_Public::RunTimeError(
                        91, QStringLiteral("Object variable not set (Frm_MainBis)"));
                const std::pair<const char*, const QString*> fields[] = {
                    {"TexteTo", &last.to},     {"TexteCc", &last.cc},
                    {"TexteCci", &last.cci},   {"TexteSubject", &last.subject},
                    {"TexteBody", &last.body}, {"TexteAttachments", &last.attachments},
                };
                for (const auto& field : fields)
                    Controls::SetText(bis, QString::fromLatin1(field.first), *field.second);
            });
        });
    };
    host.finished = [this] {
        InWindow([this] {
            statusBar()->clearMessage();
            RefreshOAuthStatus(); // the job's sends may have renewed the token
        });
    };
    return host;
}

qint16 Frm_Main::EnvoiMailAutomation(FpSpread& sheet, const QString& folder, qint16& Abandon) {
    return JobDispatch::SendJob(sheet.sheet(), folder, SavedSettings, DispatchView(sheet),
                                Abandon != 0);
}
