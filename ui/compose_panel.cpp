// The compose panel's buttons ("Envoyer", "Ajouter", "Purger") and the per-recipient direct
// sending used when no server is set.
#include "ui/compose_panel.h"

#include "mail/engine/mail_component.h"
#include "station/addresses.h"
#include "system/error_reporting.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/msgbox.h"
#include "ui/send_email.h"

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
    return Sending::SendCopies(mail, recipients, Manuel == Sending::True,
                               Sending::FeedbackOf(main, Manuel), outcome);
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
