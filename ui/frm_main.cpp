// The main window's controls, their layout and the wiring of every handler.
#include "ui/frm_main.h"
#include "ui/queue_page.h"

#include "system/winpath.h"
#include "ui/fp_spread.h"
#include "ui/frm_mainbis.h"
#include "ui/frm_systray.h"
#include "ui/msgbox.h"
#include "ui/sft_tabs.h"
#include "ui/systray.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

Frm_Main* theMain = nullptr;

std::function<bool(const QString&)>& handlerHook() {
    static std::function<bool(const QString&)> hook;
    return hook;
}

// Password fields show "*" for each character, whatever the platform style would use.
class StarPasswordStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == QStyle::SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

template <typename T> T* named(T* widget, const QString& name) {
    widget->setObjectName(name);
    return widget;
}

QLabel* label(const QString& name, const QString& caption, QWidget* parent) {
    return named(new QLabel(caption, parent), name);
}

QLineEdit* lineEdit(const QString& name, QWidget* parent) {
    return named(new QLineEdit(parent), name);
}

QPushButton* button(const QString& name, const QString& caption, QWidget* parent,
                    const QString& tip = QString()) {
    auto* b = named(new QPushButton(caption, parent), name);
    if (!tip.isEmpty())
        b->setToolTip(tip);
    return b;
}

QCheckBox* checkBox(const QString& name, const QString& caption, QWidget* parent) {
    return named(new QCheckBox(caption, parent), name);
}

QComboBox* comboBox(const QString& name, QWidget* parent) {
    auto* c = named(new QComboBox(parent), name);
    c->setEditable(false);
    return c;
}

} // namespace

Frm_Main::Frm_Main(QWidget* parent) : QMainWindow(parent) {
    Q_ASSERT(!theMain);
    theMain = this;
    setObjectName("Frm_Main");
    setWindowTitle(QStringLiteral("Velmora: Postique"));
    setWindowIcon(Lib_SysTray::ProgramIcon());

    buildMenus();

    auto* central = new QWidget(this);
    central->setObjectName("FrmMainCentral");
    auto* layout = new QVBoxLayout(central);

    SftTabsMain = named(new SftTabs(central), "SftTabsMain");
    SftTabsMain->addTab(buildComposePage(), QStringLiteral("Envoi de mail"));
    SftTabsMain->addTab(buildSettingsPage(), QStringLiteral("Paramétrage"));
    SftTabsMain->addTab(buildDataPage(), QStringLiteral("Données reçues"));
    SftTabsMain->addTab(buildIncidentsPage(), QStringLiteral("Incidents"));
    PageFileAttente = new QueuePage([this] { return SavedSettings; });
    SftTabsMain->addTab(PageFileAttente, QStringLiteral("File d'attente"));
    layout->addWidget(SftTabsMain, 1);

    auto* bottom = new QHBoxLayout;
    CommandMiseEnVeille =
        button("CommandMiseEnVeille", QStringLiteral("Mettre en veille"), central);
    CheckBloquer =
        checkBox("CheckBloquer", QStringLiteral("Bloquer l'envoi de mail automatique"), central);
    CommandQuitter = button("CommandQuitter", QStringLiteral("Quitter"), central,
                            QStringLiteral("Quitter l'application"));
    bottom->addWidget(CommandMiseEnVeille);
    bottom->addWidget(CheckBloquer);
    bottom->addStretch(1);
    bottom->addWidget(CommandQuitter);
    layout->addLayout(bottom);
    setCentralWidget(central);

    TimerSendEmail = named(new QTimer(this), "TimerSendEmail");
    TimerSendEmail->setInterval(1000);
    TimerFlash = named(new QTimer(this), "TimerFlash");
    TimerFlash->setInterval(100);

    jobLoop_ = std::make_unique<station::LoopRunner>();
    mainBis_ = std::make_unique<Frm_MainBis>();
    sysTray_ = std::make_unique<FrmSysTray>();

    wireHandlers();
    // The incidents of the station show in this window's list while it exists.
    // The incidents of the station show in this window's list while it exists, posted by the
    // job loop's thread or said by the window itself.
    automation::setIncidentView([this](const automation::Incident& incident) {
        InWindow(
            [this, line = incident.line(), kind = incident.kind] { ShowIncident(line, kind); });
    });
    resize(640, 560);
}

Frm_Main::~Frm_Main() {
    // The job loop ends first: what it shows goes through this window.
    jobLoop_.reset();
    // The hidden forms go first: their handlers may still look for the main window.
    sysTray_.reset();
    mainBis_.reset();
    if (theMain == this) {
        theMain = nullptr;
        automation::setIncidentView({});
    }
}

void Frm_Main::InWindow(std::function<void()> step) {
    QMetaObject::invokeMethod(this, std::move(step), Qt::AutoConnection);
}

Frm_Main* Frm_Main::instance() {
    return theMain;
}

void Frm_Main::SetHandlerHook(std::function<bool(const QString&)> hook) {
    handlerHook() = std::move(hook);
}

bool Frm_Main::runHandler(const QString& handler) {
    return !handlerHook() || handlerHook()(handler);
}

void Frm_Main::buildMenus() {
    Mnu01 = named(menuBar()->addMenu(QStringLiteral("Fichier")), "Mnu01");
    MnuVeille = named(Mnu01->addAction(QStringLiteral("Mettre en veille")), "MnuVeille");
    MnuSep01 = named(Mnu01->addSeparator(), "MnuSep01");
    MnuQuitter = named(Mnu01->addAction(QStringLiteral("Quitter")), "MnuQuitter");

    Mnu99 = named(menuBar()->addMenu(QStringLiteral("?")), "Mnu99");
    MnuWhatNews[0] =
        named(Mnu99->addAction(QStringLiteral("Historique des révisions...")), "MnuWhatNews_0");
    Mnu99Sep99 = named(Mnu99->addSeparator(), "Mnu99Sep99");
    Mnu99APropos = named(Mnu99->addAction(QStringLiteral("A propos...")), "Mnu99APropos");
}

QWidget* Frm_Main::buildComposePage() {
    auto* page = new QWidget;
    page->setObjectName("PageEnvoi");
    auto* grid = new QGridLayout(page);
    int row = 0;
    auto addLine = [&](QLabel*& lab, const char* labName, const QString& caption, QLineEdit*& edit,
                       const char* editName) {
        lab = label(labName, caption, page);
        edit = lineEdit(editName, page);
        lab->setBuddy(edit);
        grid->addWidget(lab, row, 0);
        grid->addWidget(edit, row, 1, 1, 2);
        ++row;
    };
    addLine(Label1, "Label1", QStringLiteral("A"), TexteTo, "TexteTo");
    addLine(Label3, "Label3", QStringLiteral("Cc"), TexteCc, "TexteCc");
    addLine(Label12, "Label12", QStringLiteral("Cci"), TexteCci, "TexteCci");
    addLine(Label4, "Label4", QStringLiteral("Objet"), TexteSubject, "TexteSubject");
    TexteSubject->setText(QStringLiteral("Test d'envoi de mail"));

    Label9 = label("Label9", QStringLiteral("Pièces jointes"), page);
    TexteAttachments = named(new QPlainTextEdit(page), "TexteAttachments");
    TexteAttachments->setMaximumHeight(60);
    // Tab goes on to the next field: a file name never holds a tab.
    TexteAttachments->setTabChangesFocus(true);
    Label9->setBuddy(TexteAttachments);
    auto* attachButtons = new QVBoxLayout;
    ButtonAdd = button("ButtonAdd", QStringLiteral("Ajouter"), page);
    ButtonClear = button("ButtonClear", QStringLiteral("Purger"), page);
    attachButtons->addWidget(ButtonAdd);
    attachButtons->addWidget(ButtonClear);
    attachButtons->addStretch(1);
    grid->addWidget(Label9, row, 0, Qt::AlignTop);
    grid->addWidget(TexteAttachments, row, 1);
    grid->addLayout(attachButtons, row, 2);
    ++row;

    TexteBody = named(new QPlainTextEdit(page), "TexteBody");
    TexteBody->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    grid->addWidget(TexteBody, row, 0, 1, 3);
    grid->setRowStretch(row, 1);
    ++row;

    Label10 =
        label("Label10", QStringLiteral("Utilisez un ; pour séparer les adresses mail"), page);
    ButtonSend = button("ButtonSend", QStringLiteral("Envoyer"), page);
    grid->addWidget(Label10, row, 0, 1, 2);
    grid->addWidget(ButtonSend, row, 2);
    ++row;

    LabelStatus = label("LabelStatus", QString(), page);
    grid->addWidget(LabelStatus, row, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    return page;
}

QWidget* Frm_Main::buildSettingsPage() {
    auto* page = new QWidget;
    page->setObjectName("PageParametrage");
    auto* layout = new QVBoxLayout(page);

    // Server
    MyFrameEmail[0] =
        named(new QGroupBox(QStringLiteral("Paramètres du serveur"), page), "MyFrameEmail_0");
    {
        QWidget* f = MyFrameEmail[0];
        auto* g = new QGridLayout(f);
        Label6 = label("Label6", QStringLiteral("Serveur"), f);
        TexteServer = lineEdit("TexteServer", f);
        Label11 = label("Label11", QStringLiteral("Protocole"), f);
        ListeProtocol = comboBox("ListeProtocol", f);
        ListePort = comboBox("ListePort", f);
        CheckBoxSSL =
            checkBox("CheckBoxSSL", QStringLiteral("Le serveur requiert une connexion SSL"), f);
        CheckBoxAuth =
            checkBox("CheckBoxAuth", QStringLiteral("Le serveur nécessite une autentification"), f);
        Label7 = label("Label7", QStringLiteral("Utilisateur"), f);
        TexteUser = lineEdit("TexteUser", f);
        Label8 = label("Label8", QStringLiteral("Mot de passe"), f);
        TextePW = lineEdit("TextePW", f);
        auto* star = new StarPasswordStyle;
        star->setParent(TextePW);
        TextePW->setStyle(star);
        TextePW->setEchoMode(QLineEdit::Password);
        CommandPW = button("CommandPW", QStringLiteral("Afficher"), f);
        Label6->setBuddy(TexteServer);
        Label11->setBuddy(ListeProtocol);
        Label7->setBuddy(TexteUser);
        Label8->setBuddy(TextePW);

        g->addWidget(Label6, 0, 0);
        g->addWidget(TexteServer, 0, 1, 1, 2);
        g->addWidget(Label11, 1, 0);
        g->addWidget(ListeProtocol, 1, 1);
        g->addWidget(ListePort, 1, 2);
        g->addWidget(CheckBoxSSL, 2, 0, 1, 3);
        g->addWidget(CheckBoxAuth, 3, 0, 1, 3);
        g->addWidget(Label7, 4, 0);
        g->addWidget(TexteUser, 4, 1, 1, 2);
        g->addWidget(Label8, 5, 0);
        g->addWidget(TextePW, 5, 1);
        g->addWidget(CommandPW, 5, 2);
        BuildOAuthControls(g, 6, f);
        g->setColumnStretch(1, 1);
    }
    layout->addWidget(MyFrameEmail[0]);

    // Sending
    MyFrameEmail[1] =
        named(new QGroupBox(QStringLiteral("Paramètres d'envoi"), page), "MyFrameEmail_1");
    {
        QWidget* f = MyFrameEmail[1];
        auto* g = new QGridLayout(f);
        Label2 = label("Label2", QStringLiteral("De (email)"), f);
        TexteFrom = lineEdit("TexteFrom", f);
        Label5 = label("Label5", QStringLiteral("Encodage"), f);
        ListeCharset = comboBox("ListeCharset", f);
        CheckBoxSign = checkBox("CheckBoxSign", QStringLiteral("Signature numérique"), f);
        CheckBoxEncrypt = checkBox("CheckBoxEncrypt", QStringLiteral("Crypter"), f);
        Label2->setBuddy(TexteFrom);
        Label5->setBuddy(ListeCharset);
        g->addWidget(Label2, 0, 0);
        g->addWidget(TexteFrom, 0, 1, 1, 2);
        g->addWidget(Label5, 1, 0);
        g->addWidget(ListeCharset, 1, 1, 1, 2);
        g->addWidget(CheckBoxSign, 2, 0, 1, 2);
        g->addWidget(CheckBoxEncrypt, 2, 2);
        g->setColumnStretch(1, 1);
    }
    layout->addWidget(MyFrameEmail[1]);

    // Shared job folder
    MyFrameEmail[2] =
        named(new QGroupBox(QStringLiteral("Dossier partagé avec les modules Velmora"), page),
              "MyFrameEmail_2");
    {
        QWidget* f = MyFrameEmail[2];
        auto* g = new QGridLayout(f);
        TexteDossier[0] = lineEdit("TexteDossier_0", f);
        CommandDossier[0] = button("CommandDossier_0", QStringLiteral("..."), f,
                                   QStringLiteral("Sélection du dossier..."));
        CommandDossier[0]->setMaximumWidth(40);
        CheckSousDossiers =
            checkBox("CheckSousDossiers", QStringLiteral("Analyser les sous-dossiers"), f);
        g->addWidget(TexteDossier[0], 0, 0);
        g->addWidget(CommandDossier[0], 0, 1);
        // The folder's file system, filled in as the folder changes.
        g->addWidget(label("LabelSystemeFichiers", QString(), f), 1, 0, 1, 2);
        g->addWidget(CheckSousDossiers, 2, 0, 1, 2);
        g->setColumnStretch(0, 1);
    }
    layout->addWidget(MyFrameEmail[2]);

    auto* saveRow = new QHBoxLayout;
    CommandSave = button("CommandSave", QStringLiteral("Enregistrer"), page,
                         QStringLiteral("Sauvegarder le paramétrage"));
    CommandVerifierServeur =
        button("CommandVerifierServeur", QStringLiteral("Vérifier le serveur"), page,
               QStringLiteral("Se connecter au serveur avec ces paramètres, sans envoyer de mail"));
    LabelNonEnregistre =
        label("LabelNonEnregistre",
              QStringLiteral("Modifications non enregistrées : l'envoi automatique utilise les "
                             "paramètres enregistrés."),
              page);
    LabelNonEnregistre->setStyleSheet(QStringLiteral("color: #b00000;"));
    LabelNonEnregistre->setWordWrap(true);
    // Its place is kept while it is hidden: its coming must move no field under the pointer.
    QSizePolicy keepPlace = LabelNonEnregistre->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    LabelNonEnregistre->setSizePolicy(keepPlace);
    LabelNonEnregistre->hide();
    saveRow->addWidget(CommandVerifierServeur);
    saveRow->addStretch(1);
    saveRow->addWidget(LabelNonEnregistre, 3);
    saveRow->addWidget(CommandSave);
    layout->addLayout(saveRow);
    layout->addStretch(1);
    return page;
}

QWidget* Frm_Main::buildDataPage() {
    auto* page = new QWidget;
    page->setObjectName("PageDonnees");
    auto* layout = new QVBoxLayout(page);
    fpSpreadData = named(new FpSpread(page), "fpSpreadData");
    layout->addWidget(fpSpreadData);
    return page;
}

QWidget* Frm_Main::buildIncidentsPage() {
    auto* page = new QWidget;
    page->setObjectName("PageIncidents");
    auto* layout = new QVBoxLayout(page);
    ListeIncidents = named(new QListWidget(page), "ListeIncidents");
    ListeIncidents->setSortingEnabled(false);
    ListeIncidents->setFont(QFont(QStringLiteral("Arial")));
    // An incident line is often longer than the page is wide: it wraps rather than hiding
    // its end behind a scroll bar.
    ListeIncidents->setWordWrap(true);
    ListeIncidents->setResizeMode(QListView::Adjust);
    ListeIncidents->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    layout->addWidget(ListeIncidents, 1);
    auto* row = new QHBoxLayout;
    CommandIncidentsPurge[0] = button("CommandIncidentsPurge_0", QStringLiteral("Purger"), page);
    row->addStretch(1);
    row->addWidget(CommandIncidentsPurge[0]);
    layout->addLayout(row);
    return page;
}

void Frm_Main::wireHandlers() {
    // Each connection names its handler so that tests can follow which handler ran.
    auto on = [this](auto* sender, auto signal, const QString& name, auto handler) {
        connect(sender, signal, this, [this, name, handler] {
            if (runHandler(name))
                (this->*handler)();
        });
    };
    auto onIndex = [this](auto* sender, auto signal, const QString& name, int index,
                          void (Frm_Main::*handler)(int)) {
        connect(sender, signal, this, [this, name, index, handler] {
            if (runHandler(name))
                (this->*handler)(index);
        });
    };

    // Menus
    on(MnuVeille, &QAction::triggered, "MnuVeille_Click", &Frm_Main::MnuVeille_Click);
    on(MnuQuitter, &QAction::triggered, "MnuQuitter_Click", &Frm_Main::MnuQuitter_Click);
    onIndex(MnuWhatNews[0], &QAction::triggered, "MnuWhatNews_Click", 0,
            &Frm_Main::MnuWhatNews_Click);
    on(Mnu99APropos, &QAction::triggered, "Mnu99APropos_Click", &Frm_Main::Mnu99APropos_Click);

    // Compose panel
    on(ButtonSend, &QPushButton::clicked, "ButtonSend_Click", &Frm_Main::ButtonSend_Click);
    on(ButtonAdd, &QPushButton::clicked, "ButtonAdd_Click", &Frm_Main::ButtonAdd_Click);
    on(ButtonClear, &QPushButton::clicked, "ButtonClear_Click", &Frm_Main::ButtonClear_Click);

    // Server panel
    on(TexteServer, &QLineEdit::textChanged, "TexteServer_Change", &Frm_Main::TexteServer_Change);
    on(TexteFrom, &QLineEdit::textChanged, "TexteFrom_Change", &Frm_Main::TexteFrom_Change);
    on(TextePW, &QLineEdit::textChanged, "TextePW_Change", &Frm_Main::TextePW_Change);
    on(CommandPW, &QPushButton::clicked, "CommandPW_Click", &Frm_Main::CommandPW_Click);
    on(CheckBoxAuth, &QCheckBox::toggled, "CheckBoxAuth_Click", &Frm_Main::CheckBoxAuth_Click);
    on(CheckBoxSSL, &QCheckBox::toggled, "CheckBoxSSL_Click", &Frm_Main::CheckBoxSSL_Click);
    on(CheckBoxSign, &QCheckBox::toggled, "CheckBoxSign_Click", &Frm_Main::CheckBoxSign_Click);
    on(CheckBoxEncrypt, &QCheckBox::toggled, "CheckBoxEncrypt_Click",
       &Frm_Main::CheckBoxEncrypt_Click);
    on(ListeProtocol, &QComboBox::currentIndexChanged, "ListeProtocol_Click",
       &Frm_Main::ListeProtocol_Click);
    on(ListePort, &QComboBox::currentIndexChanged, "ListePort_Click", &Frm_Main::ListePort_Click);
    on(ListeCharset, &QComboBox::currentIndexChanged, "ListeCharset_Click",
       &Frm_Main::ListeCharset_Click);
    TexteServer->installEventFilter(this);
    TexteUser->installEventFilter(this);

    // Job folder
    onIndex(TexteDossier[0], &QLineEdit::textChanged, "TexteDossier_Change", 0,
            &Frm_Main::TexteDossier_Change);
    onIndex(CommandDossier[0], &QPushButton::clicked, "CommandDossier_Click", 0,
            &Frm_Main::CommandDossier_Click);
    on(CheckSousDossiers, &QCheckBox::toggled, "CheckSousDossiers_Click",
       &Frm_Main::CheckSousDossiers_Click);
    on(CommandSave, &QPushButton::clicked, "CommandSave_Click", &Frm_Main::CommandSave_Click);
    on(CommandVerifierServeur, &QPushButton::clicked, "CommandVerifierServeur_Click",
       &Frm_Main::CommandVerifierServeur_Click);

    // Incidents
    onIndex(CommandIncidentsPurge[0], &QPushButton::clicked, "CommandIncidentsPurge_Click", 0,
            &Frm_Main::CommandIncidentsPurge_Click);

    // Outside the tabs
    on(CommandMiseEnVeille, &QPushButton::clicked, "CommandMiseEnVeille_Click",
       &Frm_Main::CommandMiseEnVeille_Click);
    on(CommandQuitter, &QPushButton::clicked, "CommandQuitter_Click",
       &Frm_Main::CommandQuitter_Click);

    // Timers
    on(TimerSendEmail, &QTimer::timeout, "TimerSendEmail_Timer", &Frm_Main::TimerSendEmail_Timer);
    on(TimerFlash, &QTimer::timeout, "TimerFlash_Timer", &Frm_Main::TimerFlash_Timer);
}

bool Frm_Main::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyRelease && (watched == TexteServer || watched == TexteUser)) {
        auto* key = static_cast<QKeyEvent*>(event);
        // Shift state as the key handlers have always received it: 1 Shift, 2 Ctrl, 4 Alt.
        int shift = 0;
        if (key->modifiers() & Qt::ShiftModifier)
            shift |= 1;
        if (key->modifiers() & Qt::ControlModifier)
            shift |= 2;
        if (key->modifiers() & Qt::AltModifier)
            shift |= 4;
        if (watched == TexteServer) {
            if (runHandler(QStringLiteral("TexteServer_KeyUp")))
                TexteServer_KeyUp(key->key(), shift);
        } else {
            if (runHandler(QStringLiteral("TexteUser_KeyUp")))
                TexteUser_KeyUp(key->key(), shift);
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

bool Frm_Main::CloseFor(UnloadMode mode) {
    if (inClose_) {
        // The toolkit sends no second close while one is under way. A session's end (or
        // SIGTERM) while the close in progress asks its questions ends them: the window
        // unloads instead of waiting for an answer nobody gives.
        if (mode == AppWindows) {
            sessionEnding_ = true;
            MsgBox::CancelOpenDialogs();
        }
        return false;
    }
    pendingUnloadMode_ = mode;
    closeRequested_ = true;
    const bool closed = close();
    closeRequested_ = false;
    return closed;
}

void Frm_Main::closeEvent(QCloseEvent* event) {
    if (unloaded_) {
        event->accept();
        return;
    }
    if (inClose_) {
        // A close asked for by a handler of the close in progress (the quit procedure
        // unloading the window): the close in progress carries on and decides.
        event->ignore();
        return;
    }
    inClose_ = true;
    qint16 mode = event->spontaneous() ? qint16(FormControlMenu) : qint16(FormCode);
    if (closeRequested_)
        mode = pendingUnloadMode_;
    closeRequested_ = false;

    qint16 cancel = 0;
    if (runHandler(QStringLiteral("Form_QueryUnload")))
        Form_QueryUnload(cancel, mode);
    if (sessionEnding_)
        cancel = 0;
    if (cancel == 0 && runHandler(QStringLiteral("Form_Unload")))
        Form_Unload(cancel);
    inClose_ = false;
    if (cancel != 0) {
        event->ignore();
        return;
    }
    unloaded_ = true;
    event->accept();
    // The hidden forms never count as open windows, so the event loop is ended here.
    QCoreApplication::quit();
}

Frm_Main::SendingSettings Frm_Main::PageSettings() const {
    SendingSettings s;
    s.from = TexteFrom->text();
    s.server = TexteServer->text();
    s.port = ListePort->currentText();
    s.user = TexteUser->text();
    s.password = TextePW->text();
    s.jobFolder = WinPath::fromScreen(TexteDossier[0]->text());
    s.protocol = ListeProtocol->currentIndex();
    s.charset = ListeCharset->currentIndex();
    s.auth = CheckBoxAuth->isChecked();
    s.ssl = CheckBoxSSL->isChecked();
    s.sign = CheckBoxSign->isChecked();
    s.encrypt = CheckBoxEncrypt->isChecked();
    // Index 1 of the method list is OAuth 2.0 (a token instead of the password).
    s.oauth = ListeAuthMethode && ListeAuthMethode->currentIndex() == 1;
    return s;
}
