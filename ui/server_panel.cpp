// Handlers of the server settings panel: the sender fills the user and server fields, a
// well-known server presets port, SSL and authentication, and every change marks the
// settings as modified.
#include "ui/server_panel.h"

#include "mail/engine/mail_component.h"
#include "mail/engine/protocols.h"
#include "mail/transport/graph.h"
#include "station/addresses.h"
#include "station/charsets.h"
#include "system/error_reporting.h"
#include "ui/frm_main.h"
#include "ui/msgbox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

namespace {

// Index of "587" in ListePort, the submission port the providers expect.
constexpr int kSubmissionPortIndex = 1;

// Switches a box on (a grayed box included); its handler runs through the box's signals.
void switchOn(QCheckBox* box) {
    box->setCheckState(Qt::Checked);
}

} // namespace

namespace ServerPanel {

QString ProviderHostForDomain(const QString& domain) {
    const QString lower = domain.toLower();
    for (const WellKnownProvider& p : kWellKnownProviders)
        if (lower == QLatin1String(p.domain))
            return QString::fromLatin1(p.host);
    return QString();
}

bool IsWellKnownServer(const QString& server) {
    const QString lower = server.toLower();
    // High Volume Email has no senders' domain of its own, but the same submission settings.
    if (lower == QLatin1String(kHighVolumeHost))
        return true;
    for (const WellKnownProvider& p : kWellKnownProviders)
        if (lower == QLatin1String(p.host))
            return true;
    return false;
}

} // namespace ServerPanel

void Frm_Main::TexteFrom_Change() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:TexteFrom_Change"), [this] {
        QString name;
        QString address;
        Addresses::FnParseAddr(TexteFrom->text(), name, address);
        const qsizetype at = address.indexOf(QLatin1Char('@'));
        if (at < 0)
            return;
        if (RemplirUtilisateur)
            TexteUser->setText(address);
        if (RemplirServeur) {
            const QString host = ServerPanel::ProviderHostForDomain(address.mid(at + 1));
            if (!host.isEmpty())
                TexteServer->setText(host);
            ChangeSettingforWellknownServer();
        }
    });
}

void Frm_Main::ChangeSettingforWellknownServer() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:ChangeSettingforWellknownServer"), [this] {
        if (!ServerPanel::IsWellKnownServer(TexteServer->text()))
            return;
        ListePort->setCurrentIndex(kSubmissionPortIndex);
        switchOn(CheckBoxSSL);
        switchOn(CheckBoxAuth);
    });
}

void Frm_Main::TexteServer_Change() {
    ChangeSettingforWellknownServer();
    ParametresModifies = true;
}

void Frm_Main::TexteServer_KeyUp(int /*KeyCode*/, int /*Shift*/) {
    RemplirServeur = TexteServer->text().isEmpty();
}

void Frm_Main::TexteUser_KeyUp(int /*KeyCode*/, int /*Shift*/) {
    RemplirUtilisateur = TexteUser->text().isEmpty();
    ParametresModifies = true;
}

void Frm_Main::CheckBoxAuth_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:CheckBoxAuth_Click"), [this] {
        const bool on = CheckBoxAuth->checkState() == Qt::Checked;
        TexteUser->setEnabled(on);
        TextePW->setEnabled(on);
    });
    ParametresModifies = true;
}

void Frm_Main::ListeProtocol_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:ListeProtocol_Click"), [this] {
        const mail::ProtocolInfo* protocol = mail::FindProtocol(ListeProtocol->currentIndex());
        if (!protocol || protocol->route != mail::Route::ExchangeWebServices)
            return;
        switchOn(CheckBoxSSL);
        // Microsoft has switched Exchange Web Services off for Microsoft 365: the operator who
        // picks it for such a host is offered Graph, once, and keeps the choice when declining.
        if (loadingSettings_ || graphOffered_ || !mail::IsMicrosoft365Host(TexteServer->text()))
            return;
        graphOffered_ = true;
        const MsgBox::Answer answer = MsgBox::Show(
            QStringLiteral("Microsoft a coupé Exchange Web Services pour Microsoft 365 : les "
                           "envois par ce protocole vers %1 n'aboutiront plus. Microsoft Graph "
                           "le remplace (authentification OAuth 2.0).\n\nChoisir le protocole "
                           "« Microsoft Graph - Microsoft 365 » ?")
                .arg(TexteServer->text().trimmed()),
            MsgBox::Icon::Question, MsgBox::Buttons::YesNo, MsgBox::Answer::No);
        if (answer == MsgBox::Answer::Yes)
            ListeProtocol->setCurrentIndex(mail::Protocol::Graph);
    });
    ParametresModifies = true;
}

void Frm_Main::ListePort_Click() {
    ParametresModifies = true;
}

void Frm_Main::CheckBoxSSL_Click() {
    ParametresModifies = true;
}

void Frm_Main::CheckBoxSign_Click() {
    ParametresModifies = true;
}

void Frm_Main::CheckBoxEncrypt_Click() {
    ParametresModifies = true;
}

void Frm_Main::InitGeneralCharset() {
    const QString label = QStringLiteral("Frm_Main:InitGeneralCharset");
    QString componentDefault;
    Lib_Public::Trap(label, [&] {
        const mail::MailMessage probe;
        componentDefault = probe.charset();
    });
    const int selected = CharsetRowFor(componentDefault);
    Lib_Public::Trap(label, [&] {
        ListeCharset->clear();
        for (int i = 0; i < int(Charsets.size()); ++i)
            ListeCharset->insertItem(i, Charsets[size_t(i)].DisplayName);
    });
    // Raises ListeCharset_Click; the end of start-up clears ParametresModifies again.
    Lib_Public::Trap(label, [&] { ListeCharset->setCurrentIndex(selected); });
}

void Frm_Main::ListeCharset_Click() {
    ParametresModifies = true;
}
