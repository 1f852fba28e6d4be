// The OAuth 2.0 settings window beside the authentication settings, the "OAuth2" section of
// the settings file, and the sign-in from the window or from the command line.
#pragma once

#include "station/sending_settings.h"

#include "mail/oauth/oauth.h"
#include "ui/oauth_login.h"

#include <QDialog>
#include <QString>

#include <atomic>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class Frm_Main;

// The window of the OAuth 2.0 settings. Its fields are the working copy of the "OAuth2"
// section, as the settings page's controls are for the other sections.
class FrmOAuth : public QDialog {
    Q_OBJECT
public:
    explicit FrmOAuth(Frm_Main* main);

    QComboBox* ListeFournisseur = nullptr; // the presets, then "Autre fournisseur"
    QLineEdit* TexteTenant = nullptr;
    QLineEdit* TexteClientId = nullptr;
    QLineEdit* TexteAutorisation = nullptr; // authorisation endpoint
    QLineEdit* TexteAppareil = nullptr;     // device authorisation endpoint
    QLineEdit* TexteJeton = nullptr;        // token endpoint
    QLineEdit* TexteScopeSmtp = nullptr;
    QLineEdit* TexteScopeEws = nullptr;
    QLineEdit* TexteScopeGraph = nullptr;
    QComboBox* ListeOctroi = nullptr;        // 0 device code, 1 client credentials
    QLineEdit* TexteSecret = nullptr;        // a new client secret; never shows a stored one
    QPushButton* CommandConnexion = nullptr; // "Se connecter" / "Tester"; "Annuler" while waiting
    QLabel* LabelCode = nullptr;             // the address to open and the code to type
    QLabel* LabelEtat = nullptr;             // outcome of the last sign-in

    // The provider the fields describe.
    mail::oauth::Provider provider() const;
    // Puts `provider` into the fields without marking the settings as changed.
    void setProvider(const mail::oauth::Provider& provider);

    // Signs in (device code) or fetches a token (client credentials), processing events
    // while it waits. Returns true when a token was obtained.
    bool SignIn();

private:
    void presetChosen();
    void fillFromPreset();
    void changed();

    Frm_Main* main_;
    bool loading_ = false;
    bool waiting_ = false;
    std::atomic<bool> cancel_{false}; // read by the waiting worker thread
};

namespace OAuthPanel {

// Native path of the secrets file: beside the settings file, "VL3_Postique_OAuth2.json".
QString SecretsFile();

// Index of "OAuth 2.0" in ListeAuthMethode.
inline constexpr int kMethodOAuth = 1;

// The command-line sign-in for a machine without a display ("--oauth-login"): reads the
// settings file, prints the address and code, waits for the sign-in and stores the result
// (client credentials: reads the client secret from standard input and checks it). Returns
// the process exit status.
int CommandLineSignIn();

// Keeps the OAuth 2.0 sign-in of the saved settings from ageing out while the station sends
// nothing (mail::oauth::KeepSignInAlive) on a worker thread; its line for the operator, if
// any, comes back as an incident. Does nothing while the previous call is still at work.
void KeepSignInAlive(const station::SendingSettings& saved);

} // namespace OAuthPanel
