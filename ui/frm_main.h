// The main window: compose, settings, last job, incidents and queue pages, the menus, the
// timers, and every event handler of its controls. One instance exists per process.
#pragma once

#include "automation/jobs/incidents.h"
#include "station/job_dispatch.h"
#include "station/loop_runner.h"
#include "station/sending_settings.h"

#include <QMainWindow>
#include <QStringList>
#include <QtGlobal>

#include <array>
#include <functional>
#include <memory>

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class FpSpread;
class QTimer;
class SftTabs;
class QueuePage;
class Frm_MainBis;
class FrmSysTray;
class FrmOAuth;
class QGridLayout;

// Conventions of the forms (Frm_Main, Frm_MainBis, FrmSysTray, FrmMsg):
// - Every control is a public member named as in the window's design, and its objectName is
//   the same name, so code that is handed a form can find a control by name
//   (ui/controls.h reads and writes texts that way).
// - A control array such as TexteDossier(0) is a std::array member (TexteDossier[0]) whose
//   elements have the objectName "<name>_<index>" ("TexteDossier_0", "MyFrameEmail_2").
// - Text boxes are QLineEdit; the multi-line ones (TexteBody, TexteAttachments) are
//   QPlainTextEdit. Check boxes are QCheckBox (on = value 1), lists and combo boxes QListWidget
//   and QComboBox, buttons QPushButton, menu items QAction.
// - A programmatic change raises the handler just as a user's change does: text boxes are
//   wired to textChanged, check boxes to toggled, combo boxes to currentIndexChanged,
//   buttons to clicked, menu items to triggered, timers to timeout. Key-up handlers get
//   key-release events only.
// - A handler's label for error reporting is "Frm_Main:<handler>".
class Frm_Main : public QMainWindow {
    Q_OBJECT
public:
    // Why the window is closing, with the values the close events have always used.
    enum UnloadMode : qint16 {
        FormControlMenu = 0, // the user closed it from the window frame
        FormCode = 1,        // the program closed it
        AppWindows = 2,      // the session is ending (and SIGTERM/SIGINT)
        AppTaskManager = 3,
    };

    // Builds the window with all its controls and wires every handler; runs no start-up
    // step (see Form_Initialize and Form_Load). Also creates the hidden forms Frm_MainBis
    // and FrmSysTray, which it owns. Only one Frm_Main may exist at a time.
    explicit Frm_Main(QWidget* parent = nullptr);
    ~Frm_Main() override;

    // The single main window, or nullptr when none exists.
    static Frm_Main* instance();

    // Closes the window for `mode`: FormControlMenu goes through the quit questions,
    // the other modes unload without questions. Returns true when the window closed.
    bool CloseFor(UnloadMode mode);

    // True once the window has been unloaded (closed for good).
    bool isUnloaded() const { return unloaded_; }

    // The display went away under the program (the X server ended without a SIGHUP): runs
    // the unloading of a session's end, without the steps that need the display (showing or
    // hiding windows, running pending events). The caller ends the process afterwards.
    void UnloadWithoutDisplay();

    // Called with each handler's name just before the handler runs; returning false skips
    // the handler. Tests use it to see which handler a change raised, and to keep handlers
    // with effects outside the window (sending, quitting, sleeping) from running.
    // An empty function removes the hook: every handler runs.
    static void SetHandlerHook(std::function<bool(const QString& handler)> hook);

    // Asks the hook whether `handler` may run (true without a hook). The wiring calls it for
    // every handler; the start-up calls it for the notice's SendEmail.
    static bool runHandler(const QString& handler);

    // ---- Menu bar ----
    QMenu* Mnu01 = nullptr;       // "Fichier"
    QAction* MnuVeille = nullptr; // "Mettre en veille"
    QAction* MnuSep01 = nullptr;  // separator
    QAction* MnuQuitter = nullptr;
    QMenu* Mnu99 = nullptr;                   // "?"
    std::array<QAction*, 1> MnuWhatNews = {}; // "Historique des révisions..."
    QAction* Mnu99Sep99 = nullptr;            // separator
    QAction* Mnu99APropos = nullptr;          // "A propos..."

    // ---- Tab control: 0 "Envoi de mail", 1 "Paramétrage", 2 "Données reçues", 3 "Incidents"
    SftTabs* SftTabsMain = nullptr;
    static constexpr int IncidentsTab = 3;

    // Page "Envoi de mail" (compose panel)
    QLabel* Label1 = nullptr; // "A"
    QLineEdit* TexteTo = nullptr;
    QLabel* Label3 = nullptr; // "Cc"
    QLineEdit* TexteCc = nullptr;
    QLabel* Label12 = nullptr; // "Cci"
    QLineEdit* TexteCci = nullptr;
    QLabel* Label4 = nullptr; // "Objet"
    QLineEdit* TexteSubject = nullptr;
    QLabel* Label9 = nullptr; // "Pièces jointes"
    QPlainTextEdit* TexteAttachments = nullptr;
    QPushButton* ButtonAdd = nullptr;   // "Ajouter"
    QPushButton* ButtonClear = nullptr; // "Purger"
    QPlainTextEdit* TexteBody = nullptr;
    QLabel* Label10 = nullptr;         // "Utilisez un ; pour séparer les adresses mail"
    QPushButton* ButtonSend = nullptr; // "Envoyer"
    QLabel* LabelStatus = nullptr;

    // Page "Paramétrage"
    std::array<QGroupBox*, 3> MyFrameEmail = {}; // server, sending, shared folder
    QLabel* Label6 = nullptr;                    // "Serveur"
    QLineEdit* TexteServer = nullptr;
    QLabel* Label11 = nullptr; // "Protocole"
    QComboBox* ListeProtocol = nullptr;
    QComboBox* ListePort = nullptr;
    QCheckBox* CheckBoxSSL = nullptr;
    QCheckBox* CheckBoxAuth = nullptr;
    QLabel* Label7 = nullptr; // "Utilisateur"
    QLineEdit* TexteUser = nullptr;
    QLabel* Label8 = nullptr; // "Mot de passe"
    // Masked with "*" (echo mode Password); echo mode Normal shows the password in clear.
    QLineEdit* TextePW = nullptr;
    QPushButton* CommandPW = nullptr; // "Afficher"
    // Login method beside the password (app/oauth_panel.cpp): "Mot de passe" or "OAuth 2.0",
    // the button of the OAuth 2.0 window and a line with the active method and, for OAuth
    // 2.0, who is signed in and until when.
    QComboBox* ListeAuthMethode = nullptr;
    QPushButton* CommandOAuth = nullptr; // "OAuth 2.0..."
    QLabel* LabelOAuth = nullptr;
    FrmOAuth* frmOAuth = nullptr; // the OAuth 2.0 settings window, a child of this one
    QLabel* Label2 = nullptr;     // "De (email)"
    QLineEdit* TexteFrom = nullptr;
    QLabel* Label5 = nullptr; // "Encodage"
    QComboBox* ListeCharset = nullptr;
    QCheckBox* CheckBoxSign = nullptr;
    QCheckBox* CheckBoxEncrypt = nullptr;
    std::array<QLineEdit*, 1> TexteDossier = {};     // job folder
    std::array<QPushButton*, 1> CommandDossier = {}; // "..."
    QCheckBox* CheckSousDossiers = nullptr;
    QPushButton* CommandSave = nullptr;            // "Enregistrer"
    QPushButton* CommandVerifierServeur = nullptr; // "Vérifier le serveur"

    // Page "Données reçues": the last job loaded, one cell text per row and column.
    FpSpread* fpSpreadData = nullptr; // ui/fp_spread.h

    // Page "Incidents"
    QListWidget* ListeIncidents = nullptr;                  // font Arial
    std::array<QPushButton*, 1> CommandIncidentsPurge = {}; // "Purger"

    // Page "File d'attente": the waiting rows and the operator's handles on them.
    QueuePage* PageFileAttente = nullptr;

    // Outside the tabs, visible on every page
    QPushButton* CommandMiseEnVeille = nullptr; // "Mettre en veille"
    QCheckBox* CheckBloquer = nullptr;          // "Bloquer l'envoi de mail automatique"
    QPushButton* CommandQuitter = nullptr;      // "Quitter"

    // Timers: the job poller (1000 ms, started by Form_Load) and the flash (100 ms, stopped).
    QTimer* TimerSendEmail = nullptr;
    QTimer* TimerFlash = nullptr;

    // ---- Window state ----
    bool ParametresModifies = false; // settings changed since load or save
    // The sending settings of the page. The background sending uses them as they were last
    // loaded or saved (SavedSettings), never what is typed and not saved yet.
    using SendingSettings = station::SendingSettings; // charset: the row of ListeCharset
    SendingSettings SavedSettings;
    // The settings the page shows now.
    SendingSettings PageSettings() const;
    // Takes what the page shows as the saved settings (after a load or a save).
    void KeepSavedSettings() {
        SavedSettings = PageSettings();
        savedSettingsKnown_ = true;
    }
    // True while the page holds changes the background sending does not use: the flag of
    // the settings' own handlers, or any field that differs from the saved settings (a
    // field without a change handler, such as the sender, included).
    bool SettingsUnsaved() const {
        return ParametresModifies || (savedSettingsKnown_ && !(PageSettings() == SavedSettings));
    }
    // "Modifications non enregistrées", shown while the page holds unsaved changes.
    QLabel* LabelNonEnregistre = nullptr;
    bool RemplirUtilisateur = false; // the sender fills TexteUser while true
    bool RemplirServeur = false;     // the sender fills TexteServer while true
    // Attachment paths of the compose panel; always ends with one empty slot.
    QStringList Attachments{QString()};

private:
    bool savedSettingsKnown_ = false; // SavedSettings was taken from a load or a save

public:
public Q_SLOTS:
    // ---- Start-up (app/startup.cpp) ----
    void Form_Initialize();
    void Form_Load();

    // ---- Shutdown ----
    // Cancel: in/out, non-zero keeps the window. UnloadMode: see UnloadMode.
    void Form_QueryUnload(qint16& Cancel, qint16 unloadMode);
    void Form_Unload(qint16& Cancel);
    void CommandQuitter_Click();
    void MnuQuitter_Click();

    // ---- Settings file and password field ----
    void CommandSave_Click();
    void CommandPW_Click();
    void TextePW_Change();

    // ---- Revision page and About box ----
    void MnuWhatNews_Click(int Index);
    void Mnu99APropos_Click();

    // ---- Compose panel ----
    void ButtonSend_Click();
    void ButtonAdd_Click();
    void ButtonClear_Click();

    // ---- Server panel and character sets ----
    void TexteFrom_Change();
    void TexteServer_Change();
    void TexteServer_KeyUp(int KeyCode, int Shift);
    void TexteUser_KeyUp(int KeyCode, int Shift);
    void CheckBoxAuth_Click();
    void CheckBoxSSL_Click();
    void CheckBoxSign_Click();
    void CheckBoxEncrypt_Click();
    void ListeProtocol_Click();
    void ListePort_Click();
    void ListeCharset_Click();
    void ListeAuthMethode_Click();
    void CommandOAuth_Click();
    // Checks the server settings without sending (app/server_check.cpp).
    void CommandVerifierServeur_Click();

    // ---- Job folder poller and incidents ----
    void TimerSendEmail_Timer();
    void TexteDossier_Change(int Index);
    void CommandDossier_Click(int Index);
    void CheckSousDossiers_Click();
    void CommandIncidentsPurge_Click(int Index);

    // ---- Sleep mode and flashing ----
    void CommandMiseEnVeille_Click();
    void MnuVeille_Click();
    void TimerFlash_Timer();

public:
    // ---- Procedures of the window (not event handlers) ----
    // Start-up steps (app/startup.cpp).
    void InitGeneral();
    void InitGeneralSysteme();
    // Builds the character-set table, fills ListeCharset and selects the component's default.
    void InitGeneralCharset();
    // Reads the settings file into the settings page, key by key, each assignment raising
    // the control's own handler (start-up only).
    void LoadSettingsFile();
    // The OAuth 2.0 controls in `grid` at `row` of the server frame, wired (app/oauth_panel.cpp).
    void BuildOAuthControls(QGridLayout* grid, int row, QWidget* frame);
    // Reads and writes the "OAuth2" section of the settings file `file` and the client secret
    // typed in the OAuth 2.0 window; loading also checks the secrets file (an incident line
    // when it is unsafe).
    void LoadOAuthSettings(const QString& file);
    void SaveOAuthSettings(const QString& file);
    // Shows the active login method in LabelOAuth.
    void RefreshOAuthStatus();
    // Presets port 587, SSL and authentication for a well-known server.
    void ChangeSettingforWellknownServer();
    // Offers to save changed settings and asks whether to quit; sets QuitterDemande.
    void Quitter();
    // "Voulez-vous quitter le programme ?", followed by which other copies of the
    // installation quitting ends, and that the background service goes on sending.
    static QString QuitQuestion();
    // Sends the mail held by the six mail fields of `Feuille` (Frm_Main or Frm_MainBis).
    // Manuel: exactly -1 is an interactive send. Abandon: set to -1 when the send failed.
    void SendEmail(QWidget* Feuille, qint16 Manuel, qint16& Abandon);
    // The six mail fields' texts, as SendEmail reads them from a form.
    using MailFields = station::MailFields;
    // SendEmail on texts instead of a form: a job's row goes through no widget.
    // `composePanel`: the compose panel's own mail, which carries its picked attachments.
    void SendMail(const MailFields& fields, bool composePanel, qint16 Manuel, qint16& Abandon);
    // Sends the used rows of the job loaded in `sheet` (station/job_dispatch.h), showing its
    // progress in the grid and the status bar; `Folder` is the
    // job folder with its "". Returns -1 when no row was abandoned, 0 otherwise.
    qint16 EnvoiMailAutomation(FpSpread& sheet, const QString& Folder, qint16& Abandon);
    // The job loop's own thread, which the poll timer ticks: the window answers while a job
    // is sent.
    station::LoopRunner& JobLoop() { return *jobLoop_; }
    // Shows one incident line in ListeIncidents with the alerts its kind calls for
    // (ui/incidents_ui.cpp); the window's view of the incidents.
    void ShowIncident(const QString& line, automation::IncidentKind kind);
    // Puts the program to sleep in the notification area.
    void MiseEnVeilleForcee();
    // The revision page's address: "https://" + the maker's web host +
    // "/vl/maj/Histo_Revisions/VL3_Postique_Revisions.htm".
    static QString RevisionPage();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenus();
    QWidget* buildComposePage();
    QWidget* buildSettingsPage();
    QWidget* buildDataPage();
    QWidget* buildIncidentsPage();
    void wireHandlers();

    // The window's view of a job sent by the dispatch on any thread: each step is shown by
    // the window's own thread.
    JobDispatch::DispatchHost DispatchView(FpSpread& sheet);
    // Runs `step` on the window's thread: now when called there, later otherwise.
    void InWindow(std::function<void()> step);

    std::unique_ptr<station::LoopRunner> jobLoop_;
    std::unique_ptr<Frm_MainBis> mainBis_;
    std::unique_ptr<FrmSysTray> sysTray_;
    qint16 pendingUnloadMode_ = FormControlMenu;
    bool closeRequested_ = false; // CloseFor is closing; pendingUnloadMode_ holds the reason
    bool inClose_ = false;        // a close event is being handled
    bool unloaded_ = false;       // the unload ran; later close events just pass
    bool displayGone_ = false;    // unloading after the display went away
    bool sessionEnding_ = false;  // the session ended while the close asked its questions
    bool flashState_ = false;     // TimerFlash: the window is marked on this tick

    // The server panel: LoadSettingsFile is filling the controls (no operator's choice), and
    // Microsoft Graph was offered once in place of EWS for a Microsoft 365 host.
    bool loadingSettings_ = false;
    bool graphOffered_ = false;
};
