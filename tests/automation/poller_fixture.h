// Shared fixture of the poller tests: a real main window on a temporary prefix, its job
// folder "C:\\Jobs\\", the settings folder for the send journal, and a way to run one cycle.
#pragma once

#include "automation/jobs/job_guard.h"
#include "station/job_loop.h"
#include "support/temp_prefix.h"
#include "system/clock.h"
#include "system/globals.h"
#include "ui/frm_main.h"
#include "ui/msgbox.h"

#include <QDateTime>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

namespace automation_tests {

inline const QString kJobs = QStringLiteral("C:\\Jobs\\");
inline const QString kSettings = QStringLiteral("C:\\Velmora\\Settings\\VL3_Postique\\");
inline const QString kNotSent = QStringLiteral("Adresse Email d'envoi non renseignée");
inline const QString kNoLogin =
    QStringLiteral("Veuillez renseigner l'utilisateur et/ou le mot de passe");

class PollerTest : public TempPrefixTest {
protected:
    void SetUp() override {
        Lib_Public::DemarrageTermine = true;
        Lib_Public::QuitterDemande = false;
        Lib_Public::DossierSettingsProgramme = kSettings;
        station::resetPoller();
        // Jobs written by the test are read at first sight; the tests of the settling wait
        // ask for it.
        station::setSettleMs(0);
        Clock::SetWallClock([] { return QDateTime::currentMSecsSinceEpoch() + 10'000; });
        MsgBox::reset();
        form = std::make_unique<Frm_Main>();
        ASSERT_TRUE(QDir().mkpath(prefix.native(kJobs)));
        form->TexteDossier[0]->setText(QStringLiteral("C:\\Jobs"));
    }
    void TearDown() override {
        form.reset();
        Clock::Set({});
        station::setSettleMs(automation::StabilityTracker::SettleMs);
        station::resetPoller();
        Lib_Public::DemarrageTermine = false;
        Lib_Public::QuitterDemande = false;
    }

    // Ticks the timer until a cycle ran, the page's settings taken as saved (the background
    // sending uses only saved settings); returns the ticks it took.
    int cycle() {
        form->KeepSavedSettings();
        return cycleWithSavedSettings();
    }
    // The same, with the saved settings as they are.
    // One tick of the poll timer, over once the job loop's thread has ended it and the window
    // has shown what it handed over. The end of a tick restarts the timer; a test that did not
    // start it keeps the ticks to itself, so that no tick of the timer runs behind its back.
    void tick() {
        const bool running = form->TimerSendEmail->isActive();
        form->TimerSendEmail_Timer();
        form->JobLoop().waitIdle();
        if (!running)
            form->TimerSendEmail->stop();
    }
    int cycleWithSavedSettings() {
        const int before = station::pollCycles();
        for (int tick = 1; tick <= 40; ++tick) {
            this->tick();
            if (station::pollCycles() != before)
                return tick;
        }
        return -1;
    }

    bool writeJob(const QString& name, const QByteArray& bytes) {
        return prefix.write(kJobs + name, bytes);
    }
    bool jobExists(const QString& name) { return prefix.exists(kJobs + name); }
    QStringList incidents() const {
        QStringList lines;
        for (int i = 0; i < form->ListeIncidents->count(); ++i)
            lines << form->ListeIncidents->item(i)->text();
        return lines;
    }
    std::unique_ptr<Frm_Main> form;
};

} // namespace automation_tests
