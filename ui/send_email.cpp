// SendEmail and SendMail: the window's way into the station's mail builder. An operator's send
// uses what the page shows and answers in message boxes and the status line; an automatic
// one uses the saved settings and reports as incident lines.
#include "ui/send_email.h"

#include "automation/jobs/incidents.h"
#include "station/settings_store.h"
#include "system/error_reporting.h"
#include "ui/controls.h"
#include "ui/frm_main.h"
#include "ui/msgbox.h"
#include "ui/oauth_login.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

namespace Sending {

namespace {
GatheredBoxes* g_gathered = nullptr;
} // namespace

GatheredBoxes::GatheredBoxes() {
    g_gathered = this;
}

GatheredBoxes::~GatheredBoxes() {
    if (g_gathered == this)
        g_gathered = nullptr;
}

void Report(Frm_Main& main, qint16 Manuel, const QString& text) {
    Q_UNUSED(main);
    if (Manuel == True && g_gathered)
        g_gathered->texts << text;
    else if (Manuel == True)
        MsgBox::Show(text, MsgBox::Icon::Exclamation, MsgBox::Buttons::OK);
    else
        automation::postIncident(text, automation::IncidentKind::Warning);
}

Feedback FeedbackOf(Frm_Main& main, qint16 Manuel) {
    Feedback feedback;
    feedback.report = [&main, Manuel](const QString& text) { Report(main, Manuel, text); };
    if (Manuel != True)
        return feedback;
    feedback.inform = [](const QString& text) {
        MsgBox::Show(text, MsgBox::Icon::Information, MsgBox::Buttons::OK);
    };
    feedback.status = [&main](const QString& text) {
        Lib_Public::Trap(QStringLiteral("Frm_Main:DirectSend"),
                         [&] { main.LabelStatus->setText(text); });
    };
    return feedback;
}

} // namespace Sending

namespace {

const QString kLabel = QStringLiteral("Frm_Main:SendEmail");

// Keeps ButtonSend disabled and LabelStatus set while any send runs: a send started during
// another one's message box (a poll cycle) must not re-enable the button under the first.
int g_sendsRunning = 0;

// The text of the control `name` on `form`, raising the run-time error the old late-bound
// lookup gave when the form has no such control.
QString FieldText(const QWidget* form, const QString& name) {
    bool found = false;
    QString text = Controls::Text(form, name, &found);
    if (!found)
        throw Lib_Public::RunTimeError(
            438, QStringLiteral("Object doesn't support this property or method (%1)").arg(name));
    return text;
}

} // namespace

void Frm_Main::SendEmail(QWidget* Feuille, qint16 Manuel, qint16& Abandon) {
    // A form without one of the fields reports it and sends with that field empty.
    MailFields fields;
    const std::pair<const char*, QString*> named[] = {
        {"TexteTo", &fields.to},     {"TexteCc", &fields.cc},
        {"TexteCci", &fields.cci},   {"TexteSubject", &fields.subject},
        {"TexteBody", &fields.body}, {"TexteAttachments", &fields.attachments},
    };
    for (const auto& field : named)
        Lib_Public::Trap(
            kLabel, [&] { *field.second = FieldText(Feuille, QString::fromLatin1(field.first)); });
    SendMail(fields, Feuille == this, Manuel, Abandon);
}

void Frm_Main::SendMail(const MailFields& fields, bool composePanel, qint16 Manuel,
                        qint16& Abandon) {
    using namespace Sending;
    using Lib_Public::Trap;
    // The visible window shows an interactive send only: an automatic one (a job of thousands
    // of rows) leaves the button, the status line and the focus alone, and the job shows its
    // progress on its own, a few times a second.
    const bool visible = Manuel == True;
    Abandon = False;
    if (visible) {
        // No second send from the button meanwhile.
        ++g_sendsRunning;
        Trap(kLabel, [&] { ButtonSend->setEnabled(false); });
        if (TexteBody)
            TexteBody->setFocus();
        Trap(kLabel, [&] { LabelStatus->setText(QStringLiteral("Patientez ... ")); });
    }

    MailRequest request;
    request.fields = fields;
    request.interactive = visible;
    // An automatic send uses the saved settings, never what the page holds unsaved.
    request.settings = visible ? PageSettings() : SavedSettings;
    request.oauthLogin = !request.settings.auth || !request.settings.oauth ? nullptr
                         : visible ? OAuthPanel::LoginFromSettings(*this)
                                   : OAuthSettings::LoginOf(request.settings);
    // Files picked on the compose panel (all but the empty last slot), for its own mails only.
    if (composePanel)
        request.pickedAttachments =
            Attachments.mid(0, std::max<qsizetype>(0, Attachments.size() - 1));
    Abandon = BuildAndSend(request, FeedbackOf(*this, Manuel));

    if (!visible)
        return;
    if (TexteBody)
        TexteBody->setFocus();
    RefreshOAuthStatus();
    if (--g_sendsRunning == 0) {
        Trap(kLabel, [&] { LabelStatus->clear(); });
        Trap(kLabel, [&] { ButtonSend->setEnabled(true); });
    }
}
