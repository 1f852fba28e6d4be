// The compose panel's buttons ("Envoyer", "Ajouter", "Purger") and the per-recipient direct
// sending used when no server is set.
#include "mail/compose_panel.h"

#include "mail/addresses.h"
#include "mail/engine/mail_component.h"
#include "mail/send_email.h"
#include "system/error_reporting.h"
#include "system/stop_points.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/msgbox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

namespace {

bool IsBlank(const QString& text) {
    QString trimmed = text;
    Addresses::FnTrim(trimmed, QStringLiteral(" "));
    return trimmed.isEmpty();
}

// Index of "OAuth 2.0" in the authentication method list.
constexpr int kMethodOAuth = 1;

void Warn(const QString& text) {
    MsgBox::Show(text, MsgBox::Icon::Exclamation, MsgBox::Buttons::OK);
}

} // namespace

namespace ComposePanel {

bool DirectSend(Frm_Main& main, mail::MailMessage& mail, const QString& recipients, qint16 Manuel,
                Sending::Verdict* outcome) {
    const QString label = QStringLiteral("Frm_Main:DirectSend");
    // The copy record belongs to the job row being sent: an operator's own send meanwhile
    // (the compose panel) is neither skipped by it nor recorded in it.
    const Sending::CopyRecord* record =
        Manuel == Sending::True ? nullptr : Sending::CurrentCopyRecord();
    bool allSent = true;
    bool anySent = false;
    bool anyTransient = false;
    QString firstReason;
    Lib_Public::Trap(label, [&] {
        for (QString token : Addresses::SplitEx(recipients, QLatin1Char(','))) {
            Addresses::FnTrim(token, Addresses::kListEntrySet);
            if (token.isEmpty())
                continue;
            if (record && record->alreadySent && record->alreadySent(token)) {
                anySent = true; // went out before this row was interrupted
                continue;
            }
            Lib_Public::Trap(label, [&] {
                mail.clearRecipients();
                mail.addRecipients(token, 0);
                if (Manuel == Sending::True) // an automatic send leaves the window alone
                    main.LabelStatus->setText(QStringLiteral("Envoi du mail à ") + token +
                                              QStringLiteral(", Patientez ... "));
                if (mail.send() != 0) {
                    allSent = false;
                    if (!mail.lastErrorPermanent())
                        anyTransient = true;
                    const QString text = QStringLiteral("Echec de l'envoi du mail à ") + token +
                                         QStringLiteral(" : ") + mail.lastErrorDescription();
                    if (firstReason.isEmpty() || (anyTransient && !mail.lastErrorPermanent()))
                        firstReason = text;
                    if (record && record->noteRefused)
                        record->noteRefused(token, mail.lastErrorPermanent(), text);
                    else
                        Sending::Report(main, Manuel, text);
                } else {
                    anySent = true;
                    if (record && record->noteSent) {
                        StopPoints::reach("answered");
                        record->noteSent(token);
                    }
                    if (Manuel == Sending::True)
                        MsgBox::Show(QStringLiteral("Mail envoyé avec succès à ") + token,
                                     MsgBox::Icon::Information, MsgBox::Buttons::OK);
                }
            });
            // A stop request, or a copy that could not be recorded, leaves the remaining
            // copies for the next run.
            if (mail::AbortRequested() || (record && record->stopped && record->stopped())) {
                allSent = false;
                anyTransient = true;
                break;
            }
        }
    });
    if (outcome) {
        if (allSent)
            *outcome = {};
        else if (anyTransient)
            *outcome = {Sending::Outcome::Transient, firstReason};
        else if (anySent)
            *outcome = {}; // only permanent refusals, each reported: the others got it
        else
            *outcome = {Sending::Outcome::Permanent, firstReason};
    }
    return allSent;
}

} // namespace ComposePanel

void Frm_Main::ButtonSend_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:ButtonSend_Click"), [&] {
        if (IsBlank(TexteFrom->text())) {
            Warn(QStringLiteral("Veuillez renseigner l'adresse email."));
            return;
        }
        if (IsBlank(TexteTo->text()) && IsBlank(TexteCc->text())) {
            Warn(QStringLiteral("Veuillez renseigner l'adrese email du destinataire et/ou des "
                                "copies (Utilisez un ; pour séparer les adresses multiples)."));
            return;
        }
        // With OAuth 2.0 the login is a token: the password field is hidden and not needed.
        const bool oauth = ListeAuthMethode && ListeAuthMethode->currentIndex() == kMethodOAuth;
        if (CheckBoxAuth->isChecked() &&
            (IsBlank(TexteUser->text()) || (!oauth && IsBlank(TextePW->text())))) {
            Warn(QStringLiteral("Veuillez renseigner l'utilisateur et/ou le mot de passe."));
            return;
        }
        // One box for a failed send: its reason and advice, then the abandon.
        qint16 abandon = Sending::False;
        QStringList texts;
        {
            Sending::GatheredBoxes gathered;
            SendEmail(this, Sending::True, abandon);
            texts = gathered.texts;
        }
        if (abandon == Sending::True)
            texts << QStringLiteral("Envoi du mail abandonné.");
        if (!texts.isEmpty())
            Warn(texts.join(QStringLiteral("\n\n")));
    });
}

void Frm_Main::ButtonAdd_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:ButtonAdd_Click"), [&] {
        Frm_MainBis* bis = Frm_MainBis::instance();
        if (!bis || !bis->CMDialog)
            throw Lib_Public::RunTimeError(91, QStringLiteral("Object variable not set"));
        CommonDialog& dialog = *bis->CMDialog;
        dialog.Filter = ComposePanel::kAttachmentFilter;
        // A cancelled dialog keeps its last name; only a real pick adds a file.
        if (!dialog.ShowOpen() || dialog.FileName.isEmpty())
            return;
        const QString picked = dialog.FileName;
        if (Attachments.isEmpty())
            Attachments.append(QString());
        Attachments.last() = picked;
        Attachments.append(QString());
        TexteAttachments->setPlainText(TexteAttachments->toPlainText() + picked +
                                       QStringLiteral("; "));
    });
}

void Frm_Main::ButtonClear_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:ButtonClear_Click"), [&] {
        Attachments = QStringList{QString()};
        TexteAttachments->clear();
    });
}
