// The OAuth 2.0 window and controls of the server frame, the "OAuth2" section of the settings
// file, and the command-line sign-in of a machine without a display.
#include "app/oauth_panel.h"

#include "app/folders.h"
#include "app/settings_file.h"
#include "app/startup.h"
#include "automation/jobs/incidents.h"
#include "mail/engine/mail_component.h"
#include "mail/engine/native_path.h"
#include "station/settings_store.h"
#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/ini.h"
#include "system/untrusted_text.h"
#include "ui/frm_main.h"
#include "ui/send_email.h"
#include "ui/sft_tabs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QThreadPool>
#include <QVBoxLayout>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

namespace {

const char* const kSection = "OAuth2";
const QString kOtherProvider = QStringLiteral("autre");

using OAuthSettings::OAuthKeys;
using OAuthSettings::providerOf;
using OAuthSettings::readSection;

mail::oauth::HttpOptions httpOptions() {
    mail::oauth::HttpOptions http;
    http.caFolder = Sending::TrustedCaFolder();
    return http;
}

QString localTime(const QDateTime& utc) {
    return utc.toLocalTime().toString(QStringLiteral("yyyy/MM/dd hh:mm:ss"));
}

// Runs `work` on a worker thread while the calling (window) thread processes its events.
template <class Result, class Work> Result runWhileProcessingEvents(Work work) {
    Result result{};
    QEventLoop loop;
    std::thread worker([&] {
        result = work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    return result;
}

QLineEdit* field(QWidget* parent, const char* name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    return edit;
}

} // namespace

FrmOAuth::FrmOAuth(Frm_Main* main) : QDialog(main), main_(main) {
    setObjectName(QStringLiteral("FrmOAuth"));
    setWindowTitle(QStringLiteral("OAuth 2.0"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    ListeFournisseur = new QComboBox(this);
    ListeFournisseur->setObjectName(QStringLiteral("ListeFournisseur"));
    int count = 0;
    const mail::oauth::Preset* presets = mail::oauth::Presets(count);
    for (int i = 0; i < count; ++i)
        ListeFournisseur->addItem(QString::fromUtf8(presets[i].label),
                                  QString::fromLatin1(presets[i].id));
    ListeFournisseur->addItem(QStringLiteral("Autre fournisseur"), QString());
    TexteTenant = field(this, "TexteTenant");
    TexteClientId = field(this, "TexteClientId");
    TexteAutorisation = field(this, "TexteAutorisation");
    TexteAppareil = field(this, "TexteAppareil");
    TexteJeton = field(this, "TexteJeton");
    TexteScopeSmtp = field(this, "TexteScopeSmtp");
    TexteScopeEws = field(this, "TexteScopeEws");
    TexteScopeGraph = field(this, "TexteScopeGraph");
    ListeOctroi = new QComboBox(this);
    ListeOctroi->setObjectName(QStringLiteral("ListeOctroi"));
    ListeOctroi->addItem(QStringLiteral("Code d'appareil (boîte d'une personne)"));
    ListeOctroi->addItem(QStringLiteral("Identifiants du client (boîte d'application)"));
    TexteSecret = field(this, "TexteSecret");
    TexteSecret->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("Fournisseur"), ListeFournisseur);
    form->addRow(QStringLiteral("Tenant"), TexteTenant);
    form->addRow(QStringLiteral("Identifiant du client"), TexteClientId);
    form->addRow(QStringLiteral("Point d'autorisation"), TexteAutorisation);
    form->addRow(QStringLiteral("Point d'appareil"), TexteAppareil);
    form->addRow(QStringLiteral("Point de jeton"), TexteJeton);
    form->addRow(QStringLiteral("Autorisations SMTP"), TexteScopeSmtp);
    form->addRow(QStringLiteral("Autorisations EWS"), TexteScopeEws);
    form->addRow(QStringLiteral("Autorisations Graph"), TexteScopeGraph);
    form->addRow(QStringLiteral("Type d'accès"), ListeOctroi);
    form->addRow(QStringLiteral("Secret du client"), TexteSecret);
    layout->addLayout(form);
    CommandConnexion = new QPushButton(QStringLiteral("Se connecter"), this);
    CommandConnexion->setObjectName(QStringLiteral("CommandConnexion"));
    LabelCode = new QLabel(this);
    LabelCode->setObjectName(QStringLiteral("LabelCode"));
    LabelCode->setTextInteractionFlags(Qt::TextSelectableByMouse);
    LabelCode->setWordWrap(true);
    LabelEtat = new QLabel(this);
    LabelEtat->setObjectName(QStringLiteral("LabelEtat"));
    LabelEtat->setWordWrap(true);
    auto* close = new QPushButton(QStringLiteral("Fermer"), this);
    auto* row = new QHBoxLayout;
    row->addWidget(CommandConnexion);
    row->addStretch(1);
    row->addWidget(close);
    layout->addWidget(LabelCode);
    layout->addWidget(LabelEtat);
    layout->addLayout(row);

    connect(close, &QPushButton::clicked, this, &QDialog::hide);
    connect(ListeFournisseur, &QComboBox::currentIndexChanged, this, [this] { presetChosen(); });
    connect(ListeOctroi, &QComboBox::currentIndexChanged, this, [this] {
        CommandConnexion->setText(ListeOctroi->currentIndex() == 1
                                      ? QStringLiteral("Tester")
                                      : QStringLiteral("Se connecter"));
        if (!loading_)
            fillFromPreset();
        changed();
    });
    connect(TexteTenant, &QLineEdit::textChanged, this, [this] {
        if (!loading_)
            fillFromPreset();
        changed();
    });
    for (QLineEdit* edit : {TexteClientId, TexteAutorisation, TexteAppareil, TexteJeton,
                            TexteScopeSmtp, TexteScopeEws, TexteScopeGraph, TexteSecret})
        connect(edit, &QLineEdit::textChanged, this, [this] { changed(); });
    connect(CommandConnexion, &QPushButton::clicked, this, [this] {
        if (waiting_) {
            cancel_ = true;
            return;
        }
        if (Frm_Main::runHandler(QStringLiteral("CommandConnexion_Click")))
            SignIn();
    });
}

void FrmOAuth::changed() {
    if (!loading_ && main_)
        main_->ParametresModifies = true;
}

void FrmOAuth::presetChosen() {
    if (!loading_)
        fillFromPreset();
    changed();
}

// A preset fills the endpoints and scopes (with the tenant); another provider keeps them.
void FrmOAuth::fillFromPreset() {
    const QString id = ListeFournisseur->currentData().toString();
    if (id.isEmpty())
        return;
    mail::oauth::Provider p;
    p.preset = id;
    p.tenant = TexteTenant->text();
    p.grant = ListeOctroi->currentIndex() == 1 ? mail::oauth::Grant::ClientCredentials
                                               : mail::oauth::Grant::DeviceCode;
    p = mail::oauth::Resolved(p);
    const bool was = loading_;
    loading_ = true;
    TexteAutorisation->setText(p.authorizeEndpoint);
    TexteAppareil->setText(p.deviceEndpoint);
    TexteJeton->setText(p.tokenEndpoint);
    TexteScopeSmtp->setText(p.scopeSmtp);
    TexteScopeEws->setText(p.scopeEws);
    TexteScopeGraph->setText(p.scopeGraph);
    loading_ = was;
}

mail::oauth::Provider FrmOAuth::provider() const {
    mail::oauth::Provider p;
    p.preset = ListeFournisseur->currentData().toString();
    p.tenant = TexteTenant->text().trimmed();
    p.clientId = TexteClientId->text().trimmed();
    p.authorizeEndpoint = TexteAutorisation->text().trimmed();
    p.deviceEndpoint = TexteAppareil->text().trimmed();
    p.tokenEndpoint = TexteJeton->text().trimmed();
    p.scopeSmtp = TexteScopeSmtp->text().trimmed();
    p.scopeEws = TexteScopeEws->text().trimmed();
    p.scopeGraph = TexteScopeGraph->text().trimmed();
    p.grant = ListeOctroi->currentIndex() == 1 ? mail::oauth::Grant::ClientCredentials
                                               : mail::oauth::Grant::DeviceCode;
    return p;
}

void FrmOAuth::setProvider(const mail::oauth::Provider& provider) {
    loading_ = true;
    int index = ListeFournisseur->count() - 1;
    for (int i = 0; i < ListeFournisseur->count(); ++i)
        if (ListeFournisseur->itemData(i).toString().compare(provider.preset,
                                                             Qt::CaseInsensitive) == 0)
            index = i;
    ListeFournisseur->setCurrentIndex(index);
    ListeOctroi->setCurrentIndex(provider.grant == mail::oauth::Grant::ClientCredentials ? 1 : 0);
    TexteTenant->setText(provider.tenant);
    TexteClientId->setText(provider.clientId);
    TexteAutorisation->setText(provider.authorizeEndpoint);
    TexteAppareil->setText(provider.deviceEndpoint);
    TexteJeton->setText(provider.tokenEndpoint);
    TexteScopeSmtp->setText(provider.scopeSmtp);
    TexteScopeEws->setText(provider.scopeEws);
    TexteScopeGraph->setText(provider.scopeGraph);
    loading_ = false;
}

bool FrmOAuth::SignIn() {
    using namespace mail::oauth;
    const Provider p = Resolved(provider());
    const QString file = OAuthPanel::SecretsFile();
    const HttpOptions http = httpOptions();
    const qint32 protocol = main_ ? main_->ListeProtocol->currentIndex() : 0;
    const QString user = main_ ? main_->TexteUser->text().trimmed() : QString();
    LabelCode->clear();

    // A client secret typed here is kept before it is tried.
    if (!TexteSecret->text().isEmpty()) {
        Secrets secrets;
        QString error;
        if (LoadSecrets(file, secrets, error)) {
            secrets.clientSecret = TexteSecret->text();
            if (SaveSecrets(file, secrets, error))
                TexteSecret->clear();
        }
        if (!error.isEmpty()) {
            LabelEtat->setText(error);
            return false;
        }
    }
    Token token;
    waiting_ = true;
    cancel_ = false;
    const QString caption = CommandConnexion->text();
    CommandConnexion->setText(QStringLiteral("Annuler"));
    if (p.grant == Grant::ClientCredentials) {
        LabelEtat->setText(QStringLiteral("Demande d'un jeton ..."));
        Login login{p, user, file, protocol};
        token = runWhileProcessingEvents<Token>([&] { return AccessToken(login, http, true); });
    } else {
        LabelEtat->setText(QStringLiteral("Demande d'un code de connexion ..."));
        const QString scope = ScopeFor(p, protocol);
        const DeviceAuthorization device = runWhileProcessingEvents<DeviceAuthorization>(
            [&] { return StartDeviceAuthorization(p, scope, http); });
        if (device.code != 0) {
            token.code = device.code;
            token.description = device.description;
        } else {
            LabelCode->setText(QStringLiteral("Ouvrez %1 sur un ordinateur ou un téléphone et "
                                              "saisissez le code %2")
                                   .arg(device.verificationUri, device.userCode));
            LabelEtat->setText(QStringLiteral("En attente de la connexion ..."));
            token = runWhileProcessingEvents<Token>([&] {
                return CompleteDeviceAuthorization(p, scope, device, file, user, http,
                                                   [this] { return cancel_.load(); });
            });
        }
    }
    waiting_ = false;
    CommandConnexion->setText(caption);
    if (token.code != 0) {
        LabelEtat->setText(token.description);
    } else {
        LabelCode->clear();
        LabelEtat->setText(QStringLiteral("Connecté : %1, jeton valable jusqu'au %2")
                               .arg(token.account, localTime(token.expires)));
    }
    if (main_)
        main_->RefreshOAuthStatus();
    return token.code == 0;
}

namespace OAuthPanel {

QString SecretsFile() {
    return OAuthSettings::SecretsFile();
}

std::shared_ptr<const mail::oauth::Login> LoginFromSettings(const Frm_Main& main) {
    if (!main.CheckBoxAuth || !main.CheckBoxAuth->isChecked() || !main.ListeAuthMethode ||
        main.ListeAuthMethode->currentIndex() != kMethodOAuth || !main.frmOAuth)
        return nullptr;
    auto login = std::make_shared<mail::oauth::Login>();
    login->provider = mail::oauth::Resolved(main.frmOAuth->provider());
    login->user = main.TexteUser->text().trimmed();
    login->secretsFile = SecretsFile();
    login->protocol = main.ListeProtocol->currentIndex();
    return login;
}

int CommandLineSignIn() {
    using namespace mail::oauth;
    const auto say = [](const QString& text) {
        std::fprintf(stdout, "%s\n", text.toUtf8().constData());
        std::fflush(stdout);
    };
    // The settings folder as the window's start-up finds it.
    Lib_Public::DossierApplication =
        Startup::ApplicationFolder(QCoreApplication::applicationDirPath());
    Lib_Public::InitGeneralPath(true);
    Lib_Public::NomDossierSettings();
    const QString settings = Lib_Public::SettingsFilePath();
    const OAuthKeys keys = readSection(settings);
    const Provider p = providerOf(keys);
    const QString user = Lib_Systeme::LectureIni(settings, QStringLiteral("Serveur"),
                                                 QStringLiteral("User"), QString())
                             .trimmed();
    const qint32 protocol =
        Lib_Public::StoredNumber(Lib_Systeme::LectureIni(settings, QStringLiteral("Serveur"),
                                                         QStringLiteral("Protocole"),
                                                         QStringLiteral("0")))
            .value_or(0);
    const QString file = SecretsFile();
    const HttpOptions http = httpOptions();
    say(QStringLiteral("Fichier des réglages : %1").arg(settings));
    if (Lib_Public::StoredNumber(keys.method).value_or(0) != OAuthPanel::kMethodOAuth)
        say(QStringLiteral("Attention : la méthode d'authentification enregistrée n'est pas "
                           "OAuth 2.0 ; choisissez-la sur la page Paramétrage pour l'utiliser."));

    Token token;
    if (p.grant == Grant::ClientCredentials) {
        say(QStringLiteral("Secret du client (une ligne, vide pour garder celui enregistré) :"));
        std::string line;
        std::getline(std::cin, line);
        const QString secret = QString::fromStdString(line).trimmed();
        if (!secret.isEmpty()) {
            Secrets secrets;
            QString error;
            if (!LoadSecrets(file, secrets, error) ||
                (secrets.clientSecret = secret, !SaveSecrets(file, secrets, error))) {
                say(error);
                return 1;
            }
        }
        token = AccessToken(Login{p, user, file, protocol}, http, true);
    } else {
        const QString scope = ScopeFor(p, protocol);
        const DeviceAuthorization device = StartDeviceAuthorization(p, scope, http);
        if (device.code != 0) {
            say(device.description);
            return 1;
        }
        say(QStringLiteral("Ouvrez %1 sur un ordinateur ou un téléphone et saisissez le code %2")
                .arg(device.verificationUri, device.userCode));
        if (!device.verificationUriComplete.isEmpty())
            say(QStringLiteral("(ou ouvrez directement %1)").arg(device.verificationUriComplete));
        say(QStringLiteral("En attente de la connexion ..."));
        token = CompleteDeviceAuthorization(p, scope, device, file, user, http, {});
    }
    if (token.code != 0) {
        say(token.description);
        return 1;
    }
    say(QStringLiteral("Connecté : %1, jeton valable jusqu'au %2. Jetons enregistrés dans %3")
            .arg(token.account, localTime(token.expires), file));
    return 0;
}

void KeepSignInAlive(const station::SendingSettings& saved) {
    static std::atomic<bool> busy{false};
    if (busy)
        return;
    const std::shared_ptr<const mail::oauth::Login> login = OAuthSettings::LoginOf(saved);
    if (!login)
        return;
    const mail::TimeLimits limits = mail::DefaultTimeLimits();
    const mail::oauth::HttpOptions http{Sending::TrustedCaFolder(), limits.connect,
                                        limits.response};
    busy = true;
    // A pool thread: the application waits for it at exit, and the stop request ends its call.
    QThreadPool::globalInstance()->start([login, http] {
        const mail::oauth::Renewal renewal = mail::oauth::KeepSignInAlive(*login, http);
        if (!renewal.incident.isEmpty())
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [text = renewal.incident] { automation::postIncident(Untrusted::Clean(text)); },
                Qt::QueuedConnection);
        busy = false;
    });
}

} // namespace OAuthPanel

void Frm_Main::BuildOAuthControls(QGridLayout* grid, int row, QWidget* frame) {
    ListeAuthMethode = new QComboBox(frame);
    ListeAuthMethode->setObjectName(QStringLiteral("ListeAuthMethode"));
    ListeAuthMethode->addItem(QStringLiteral("Mot de passe"));
    ListeAuthMethode->addItem(QStringLiteral("OAuth 2.0"));
    CommandOAuth = new QPushButton(QStringLiteral("OAuth 2.0..."), frame);
    CommandOAuth->setObjectName(QStringLiteral("CommandOAuth"));
    LabelOAuth = new QLabel(frame);
    LabelOAuth->setObjectName(QStringLiteral("LabelOAuth"));
    LabelOAuth->setWordWrap(true);
    frmOAuth = new FrmOAuth(this);
    auto* label = new QLabel(QStringLiteral("Méthode"), frame);
    label->setBuddy(ListeAuthMethode);
    grid->addWidget(label, row, 0);
    grid->addWidget(ListeAuthMethode, row, 1);
    grid->addWidget(CommandOAuth, row, 2);
    grid->addWidget(LabelOAuth, row + 1, 0, 1, 3);
    connect(ListeAuthMethode, &QComboBox::currentIndexChanged, this, [this] {
        if (runHandler(QStringLiteral("ListeAuthMethode_Click")))
            ListeAuthMethode_Click();
    });
    connect(CommandOAuth, &QPushButton::clicked, this, [this] {
        if (runHandler(QStringLiteral("CommandOAuth_Click")))
            CommandOAuth_Click();
    });
    RefreshOAuthStatus();
}

void Frm_Main::ListeAuthMethode_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:ListeAuthMethode_Click"), [this] {
        const bool oauth = ListeAuthMethode->currentIndex() == OAuthPanel::kMethodOAuth;
        Label8->setVisible(!oauth);
        TextePW->setVisible(!oauth);
        CommandPW->setVisible(!oauth);
        RefreshOAuthStatus();
    });
    ParametresModifies = true;
}

void Frm_Main::CommandOAuth_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:CommandOAuth_Click"), [this] {
        frmOAuth->show();
        frmOAuth->raise();
    });
}

void Frm_Main::RefreshOAuthStatus() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:RefreshOAuthStatus"), [this] {
        if (!LabelOAuth)
            return;
        using namespace mail::oauth;
        if (ListeAuthMethode->currentIndex() != OAuthPanel::kMethodOAuth) {
            LabelOAuth->setText(QStringLiteral("Authentification : mot de passe"));
            return;
        }
        Secrets secrets;
        QString error;
        const bool app = frmOAuth->provider().grant == Grant::ClientCredentials;
        if (!LoadSecrets(OAuthPanel::SecretsFile(), secrets, error)) {
            LabelOAuth->setText(QStringLiteral("OAuth 2.0 : fichier des jetons refusé"));
            return;
        }
        const QString until = secrets.accessToken.isEmpty()
                                  ? QString()
                                  : QStringLiteral(", jeton valable jusqu'au %1")
                                        .arg(localTime(secrets.accessExpires));
        if (app)
            LabelOAuth->setText(secrets.clientSecret.isEmpty()
                                    ? QStringLiteral("OAuth 2.0 (application) : aucun secret du "
                                                     "client enregistré")
                                    : QStringLiteral("OAuth 2.0 (application)") + until);
        else if (secrets.refreshToken.isEmpty())
            LabelOAuth->setText(QStringLiteral("OAuth 2.0 : personne n'est connecté"));
        else
            LabelOAuth->setText(QStringLiteral("OAuth 2.0 : connecté en tant que %1%2")
                                    .arg(secrets.account, until));
    });
}

void Frm_Main::LoadOAuthSettings(const QString& file) {
    const OAuthKeys keys = readSection(file);
    mail::oauth::Provider p = providerOf(keys);
    if (p.preset.isEmpty() && keys.preset.compare(kOtherProvider, Qt::CaseInsensitive) != 0)
        p.preset = keys.preset;
    frmOAuth->setProvider(p);
    Lib_Public::Trap(QStringLiteral("Frm_Main:InitGeneral"), [&] {
        const qint16 method = Lib_Public::StoredNumber(keys.method).value_or(0);
        if (method < 0 || method > 1)
            throw Lib_Public::RunTimeError(380, QStringLiteral("Invalid property value"));
        ListeAuthMethode->setCurrentIndex(method);
    });
    // The secrets file is checked now, so an unsafe one is known before the first send.
    mail::oauth::Secrets secrets;
    QString error;
    if (!mail::oauth::LoadSecrets(OAuthPanel::SecretsFile(), secrets, error))
        automation::postIncident(error, automation::IncidentKind::Warning);
    RefreshOAuthStatus();
}

void Frm_Main::SaveOAuthSettings(const QString& file) {
    mail::oauth::Provider p = frmOAuth->provider();
    // Values a preset gives are not written: the file then follows the preset and its tenant.
    if (mail::oauth::FindPreset(p.preset)) {
        mail::oauth::Provider bare;
        bare.preset = p.preset;
        bare.tenant = p.tenant;
        bare.grant = p.grant;
        const mail::oauth::Provider preset = mail::oauth::Resolved(bare);
        for (auto [field, given] :
             {std::pair{&p.authorizeEndpoint, preset.authorizeEndpoint},
              std::pair{&p.deviceEndpoint, preset.deviceEndpoint},
              std::pair{&p.tokenEndpoint, preset.tokenEndpoint},
              std::pair{&p.scopeSmtp, preset.scopeSmtp}, std::pair{&p.scopeEws, preset.scopeEws},
              std::pair{&p.scopeGraph, preset.scopeGraph}})
            if (*field == given)
                field->clear();
    }
    const auto write = [&](const char* key, const QString& value) {
        Lib_Public::Trap(QStringLiteral("Frm_Main:CommandSave_Click"), [&] {
            Lib_Systeme::EcritureIni(file, QString::fromLatin1(kSection), QString::fromLatin1(key),
                                     value);
        });
    };
    write("Methode", QString::number(ListeAuthMethode->currentIndex()));
    write("Fournisseur", p.preset.isEmpty() ? kOtherProvider : p.preset);
    write("Tenant", p.tenant);
    write("ClientId", p.clientId);
    write("Autorisation", p.authorizeEndpoint);
    write("CodeAppareil", p.deviceEndpoint);
    write("Jeton", p.tokenEndpoint);
    write("ScopeSmtp", p.scopeSmtp);
    write("ScopeEws", p.scopeEws);
    write("ScopeGraph", p.scopeGraph);
    write("Octroi", QString::number(static_cast<int>(p.grant)));
    // A new client secret goes into the secrets file, never into the settings file.
    const QString secret = frmOAuth->TexteSecret->text();
    if (!secret.isEmpty()) {
        Lib_Public::Trap(QStringLiteral("Frm_Main:CommandSave_Click"), [&] {
            mail::oauth::Secrets secrets;
            QString error;
            if (!mail::oauth::LoadSecrets(OAuthPanel::SecretsFile(), secrets, error))
                throw Lib_Public::RunTimeError(75, error);
            secrets.clientSecret = secret;
            if (!mail::oauth::SaveSecrets(OAuthPanel::SecretsFile(), secrets, error))
                throw Lib_Public::RunTimeError(75, error);
            frmOAuth->TexteSecret->clear();
        });
    }
    RefreshOAuthStatus();
}
