// The server check from the settings page: the same reading of the controls as SendEmail,
// the poller's own refusals first, then the network check off the user-interface thread.
#include "app/server_check.h"

#include "app/folders.h"
#include "app/startup.h"
#include "automation/jobs/incidents.h"
#include "mail/engine/hosted_outlook.h"
#include "mail/engine/native_path.h"
#include "mail/engine/protocols.h"
#include "station/addresses.h"
#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/ini.h"
#include "ui/frm_main.h"
#include "ui/msgbox.h"
#include "ui/oauth_login.h"
#include "ui/send_email.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>

#include <cstdio>
#include <thread>

namespace ServerCheck {

namespace {

QString trimSpaces(QString text) {
    Addresses::FnTrim(text, QStringLiteral(" "));
    return text;
}

// The login of the settings page. Every credential of a check comes from here, so that a
// token-based login is one change in one place.
void applyLogin(const Frm_Main& form, mail::ServerSettings& server) {
    server.user = trimSpaces(form.TexteUser->text());
    server.password = trimSpaces(form.TextePW->text());
}

mail::ProbeReport probeOffThread(const mail::ProbeSettings& settings) {
    mail::ProbeReport report;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        report = mail::ProbeServer(settings);
        return report;
    }
    QEventLoop loop;
    std::thread worker([&] {
        report = mail::ProbeServer(settings);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    return report;
}

} // namespace

mail::ProbeSettings SettingsFromPage(const Frm_Main& form, QString& refusal) {
    mail::ProbeSettings s;
    refusal.clear();
    const QString sender = trimSpaces(form.TexteFrom->text());
    QString name;
    Addresses::FnParseAddr(sender, name, s.senderAddress);
    s.protocol = form.ListeProtocol->currentIndex();
    s.server.host = trimSpaces(form.TexteServer->text());
    s.server.port = 25;
    s.server.mode = mail::ConnectionMode::Default;
    const mail::ProtocolInfo* protocol = mail::FindProtocol(s.protocol);
    if (!s.server.host.isEmpty() || (protocol && !protocol->emptyServerMeansDirect)) {
        bool ok = false;
        const int port = form.ListePort->currentText().trimmed().toInt(&ok);
        if (ok && port > 0 && port <= 65535)
            s.server.port = port;
        if (form.CheckBoxAuth->isChecked())
            applyLogin(form, s.server);
        s.server.oauthLogin = OAuthPanel::LoginFromSettings(form);
        s.server.exchange = ExchangeLoginSettings::Read();
        if (form.CheckBoxSSL->isChecked())
            s.server.mode = mail::ConnectionMode::Ssl;
    }
    s.limits = mail::DefaultTimeLimits();
    s.caFolder = Sending::TrustedCaFolder();
    const DkimSettings::Section dkim = DkimSettings::Read();
    if (dkim.asked())
        s.dkim = Sending::DkimSigner(dkim, s.dkimProblem);
    if (sender.isEmpty())
        refusal = QStringLiteral("Adresse Email d'envoi non renseignée");
    else if (form.CheckBoxAuth->isChecked() &&
             (form.TexteUser->text().trimmed().isEmpty() ||
              (!s.server.oauthLogin && form.TextePW->text().trimmed().isEmpty())))
        refusal = QStringLiteral("Veuillez renseigner l'utilisateur et/ou le mot de passe");
    return s;
}

mail::HostedOutlook OutlookOfPage(const Frm_Main& form) {
    return mail::HostedOutlookOf(form.ListeProtocol->currentIndex(), form.TexteServer->text(),
                                 form.CheckBoxAuth->isChecked(),
                                 OAuthPanel::LoginFromSettings(form) != nullptr);
}

Outcome Run(const Frm_Main& form, const QString& testRecipient) {
    Outcome outcome;
    // Whether the path chosen outlives the providers' deadlines comes first: it may work
    // today and still need changing.
    const mail::HostedOutlook outlook = OutlookOfPage(form);
    if (!outlook.path.isEmpty())
        outcome.lines << QStringLiteral("Chemin d'envoi : ") + outlook.verdict;
    QString refusal;
    mail::ProbeSettings settings = SettingsFromPage(form, refusal);
    settings.testRecipient = testRecipient;
    if (!refusal.isEmpty()) {
        outcome.lines << QStringLiteral("Aucun mail ne partirait : ") + refusal;
        return outcome;
    }
    const mail::ProbeReport report = probeOffThread(settings);
    outcome.lines += report.facts;
    outcome.ok = report.code == mail::Error::None;
    if (outcome.ok)
        outcome.lines << QStringLiteral(
            "Résultat : un mail pourrait être envoyé (aucun mail n'a été envoyé).");
    else
        outcome.lines << QStringLiteral("Résultat : échec. ") + report.description;
    return outcome;
}

bool TellOutlookOnce(Frm_Main& form) {
    return TellOutlookOnce(OutlookOfPage(form));
}

bool TellOutlookOnce(const station::SendingSettings& saved) {
    return TellOutlookOnce(
        mail::HostedOutlookOf(saved.protocol, saved.server, saved.auth, saved.auth && saved.oauth));
}

bool TellOutlookOnce(const mail::HostedOutlook& outlook) {
    const QString file = Lib_Public::NomFichierSettings(QString(), QStringLiteral(".Ini"));
    const QString section = QStringLiteral("Echeances");
    const QString key = QStringLiteral("Signale");
    const QString told = outlook.breaks ? outlook.verdict : QString();
    if (Lib_Systeme::LectureIni(file, section, key, QString()) == told)
        return false;
    // A path that no longer breaks forgets what was told: a later return to it is told again.
    Lib_Systeme::EcritureIni(file, section, key, told);
    if (told.isEmpty())
        return false;
    automation::postIncident(told + QStringLiteral(" (voir VL3_Postique --check-server)"));
    return true;
}

int CommandLine(const QString& testRecipient) {
    Frm_Main window;
    window.Form_Initialize();
    window.InitGeneral(); // folders and the saved settings, nothing sent, no poller
    Startup::CloseStartupWindow();
    Lib_Public::FenetreInitAffichee = false;
    const Outcome outcome = Run(window, testRecipient);
    for (const QString& line : outcome.lines)
        std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
    return outcome.ok ? 0 : 1;
}

} // namespace ServerCheck

void Frm_Main::CommandVerifierServeur_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:CommandVerifierServeur_Click"), [this] {
        CommandVerifierServeur->setEnabled(false);
        // The compose page's first recipient, when there is one, is the test recipient.
        QString name, recipient;
        if (TexteTo)
            Addresses::FnParseAddr(
                TexteTo->text().replace(u';', u',').section(u',', 0, 0).trimmed(), name, recipient);
        const ServerCheck::Outcome outcome = ServerCheck::Run(*this, recipient);
        CommandVerifierServeur->setEnabled(true);
        MsgBox::Show(outcome.lines.join(QStringLiteral("\n")),
                     outcome.ok ? MsgBox::Icon::Information : MsgBox::Icon::Exclamation,
                     MsgBox::Buttons::OK);
    });
}
