// Leaving the program: the quit questions, the close by unload mode, and the unloading that
// stops the work, saves the window position, unloads every form and ends every copy. Also the
// revision page of the "?" menu.
#include "app/look.h"
#include "app/startup.h"
#include "app/supervision_service.h"
#include "system/error_reporting.h"
#include "system/globals.h"
#include "system/processes.h"
#include "system/sysinfo.h"
#include "ui/frm_about.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/frm_systray.h"
#include "ui/msgbox.h"
#include "ui/shell.h"

#include <QApplication>
#include <QThread>
#include <QTimer>

namespace {

// How long the unloading lets running work finish its current step.
constexpr qint64 kGraceMs = 500;

// Runs one step of the unloading; a failing step never stops the next ones.
template <typename Step> void unloadStep(Step&& step) {
    try {
        step();
    } catch (...) {
    }
}

} // namespace

QString Frm_Main::RevisionPage() {
    return QStringLiteral("https://") + QStringLiteral(POSTIQUE_MAKER_WEB_HOST) +
           QStringLiteral("/vl/maj/Histo_Revisions/VL3_Postique_Revisions.htm");
}

QString Frm_Main::QuitQuestion() {
    QString question = QStringLiteral("Voulez-vous quitter le programme ?");
    const QString name = QString::fromUtf16(Startup::ExecutableName);
    const qsizetype ended = Lib_Systeme::CopiesToEnd(name).size();
    if (ended == 1)
        question += QStringLiteral("\n\nL'autre copie du programme en marche pour cette "
                                   "installation sera arrêtée aussi.");
    else if (ended > 1)
        question += QStringLiteral("\n\nLes %1 autres copies du programme en marche pour cette "
                                   "installation seront arrêtées aussi.")
                        .arg(ended);
    if (Lib_Systeme::CopiesOfInstallation(name).size() > ended)
        question += QStringLiteral("\n\nLe service en arrière-plan continue d'envoyer les mails.");
    return question;
}

void Frm_Main::Quitter() {
    const QString label = QStringLiteral("Frm_Main:Quitter");
    Lib_Public::QuitterDemande = false;
    bool leave = false;
    Lib_Public::Trap(label, [&] {
        if (SettingsUnsaved()) {
            const MsgBox::Answer save =
                MsgBox::Show(QStringLiteral("Voulez-vous sauvegarder les modifications ?"),
                             MsgBox::Icon::Question, MsgBox::Buttons::YesNoCancel);
            if (save == MsgBox::Answer::Cancel)
                return;
            if (save == MsgBox::Answer::Yes)
                CommandSave_Click();
        }
        const MsgBox::Answer quit =
            MsgBox::Show(QuitQuestion(), MsgBox::Icon::Question, MsgBox::Buttons::YesNo);
        leave = quit == MsgBox::Answer::Yes;
    });
    if (!leave)
        return;
    Lib_Public::QuitterDemande = true;
    Lib_Public::Trap(label, [&] { CloseFor(FormCode); });
}

void Frm_Main::CommandQuitter_Click() {
    Quitter();
}

void Frm_Main::MnuQuitter_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:MnuQuitter_Click"), [&] { Quitter(); });
}

void Frm_Main::Form_QueryUnload(qint16& Cancel, qint16 mode) {
    Lib_Public::Trap(QStringLiteral("Frm_Main:Form_QueryUnload"), [&] {
        // Only a close by the user asks; a session end or a stop signal unloads at once.
        if (mode != FormControlMenu)
            return;
        Quitter();
        if (!Lib_Public::QuitterDemande)
            Cancel = 1;
    });
}

void Frm_Main::Form_Unload(qint16& Cancel) {
    if (Cancel != 0)
        return;
    // From here on errors are not reported, and no timer starts new work: the window is
    // going, whatever the reason it closes for.
    unloadStep([] {
        Lib_Public::ArretEnCours = true;
        Lib_Public::QuitterDemande = true;
    });
    unloadStep([] { Supervision::NotifyStopping(); });

    // Steps that show, hide or paint, or run pending events: none is possible once the
    // display has gone away.
    const auto displayStep = [this](auto&& step) {
        if (!displayGone_)
            unloadStep(step);
    };

    // A question or a file chooser open meanwhile would keep the program up until someone
    // answers it: it is cancelled.
    displayStep([] { MsgBox::CancelOpenDialogs(); });

    // Running work (a poll cycle on the job loop's thread) sees the stop request and ends its
    // current step; what it still shows arrives meanwhile. A mail whose answer is still on its
    // way is awaited when the window goes (the loop's thread ends then).
    displayStep([this] { jobLoop_->waitIdle(kGraceMs); });

    unloadStep([&] {
        if (!(windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)))
            Lib_Public::PositionFeuilleSauvegarde(this, QString());
    });

    // Every form: the tray form first (it brings hidden windows back and removes its icon),
    // the About box, the hidden second form, the start-up window, then this one.
    displayStep([] {
        if (FrmSysTray* tray = FrmSysTray::instance()) {
            qint16 cancel = 0;
            tray->Form_Unload(cancel);
            tray->hide();
        }
        QCoreApplication::processEvents();
    });
    displayStep([] {
        if (FrmAbout* about = FrmAbout::instance())
            delete about;
        QCoreApplication::processEvents();
    });
    displayStep([] {
        if (Frm_MainBis* bis = Frm_MainBis::instance()) {
            bis->TimerVeille->stop();
            bis->hide();
        }
        QCoreApplication::processEvents();
    });
    displayStep([] { Startup::CloseStartupWindow(); });
    unloadStep([&] {
        TimerSendEmail->stop();
        TimerFlash->stop();
    });
    displayStep([&] {
        hide();
        QCoreApplication::processEvents();
    });

    // Files are opened and closed within each call: none is held at this point.
    displayStep([] { QCoreApplication::processEvents(); });

    // Quitting one copy quits all of them (the tests record this instead of doing it).
    unloadStep([] { Lib_Systeme::EndAllCopies(QString::fromUtf16(Startup::ExecutableName)); });
}

void Frm_Main::UnloadWithoutDisplay() {
    if (unloaded_)
        return;
    displayGone_ = true;
    qint16 cancel = 0;
    Form_Unload(cancel);
    unloaded_ = true;
}

void Frm_Main::MnuWhatNews_Click(int Index) {
    Lib_Public::Trap(QStringLiteral("Frm_Main:MnuWhatNews_Click"), [&] {
        if (Index != 0)
            return;
        Lib_Systeme::ExecuterProgrammeExterne(QApplication::activeWindow(), QStringLiteral("Open"),
                                              RevisionPage(), QString(), QString(), 1);
    });
}
