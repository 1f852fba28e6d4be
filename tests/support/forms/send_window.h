// Test fixture for the sending tests: a main window whose settings page points at a
// loopback server, a fixed incident clock, scripted message boxes and recorded traps.
#pragma once

#include "automation/jobs/incidents.h"
#include "mail/engine/mail_component.h"
#include "support/temp_prefix.h"
#include "system/clock.h"
#include "system/error_reporting.h"
#include "ui/controls.h"
#include "ui/frm_main.h"
#include "ui/frm_mainbis.h"
#include "ui/msgbox.h"
#include "ui/send_email.h"
#include "ui/sft_tabs.h"

#include <QComboBox>
#include <QDateTime>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>

// Readable failure messages for lists of texts (boxes, incident lines).
inline void PrintTo(const QStringList& texts, std::ostream* os) {
    *os << "{";
    for (const QString& text : texts)
        *os << " \"" << text.toStdString() << "\"";
    *os << " }";
}

namespace testsupport {

// The time stamp of every incident line written under the fixture's clock.
inline const QString kStamp = QStringLiteral("2026/03/05 14:07:09: ");

// The process environment variable `name` set to `value` for the life of the object.
class EnvSetting {
public:
    EnvSetting(const char* name, const QByteArray& value) : name_(name) {
        had_ = qEnvironmentVariableIsSet(name);
        saved_ = qgetenv(name);
        qputenv(name, value);
    }
    ~EnvSetting() {
        if (had_)
            qputenv(name_, saved_);
        else
            qunsetenv(name_);
    }

private:
    const char* name_;
    QByteArray saved_;
    bool had_ = false;
};

} // namespace testsupport

// A main window with its hidden form, a settings page pointed at a loopback server, a fixed
// incident clock and scripted message boxes. Every run-time error reported through the trap
// is recorded, so a test sees a step that failed silently.
class SendWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        MsgBox::reset();
        Clock::SetWallClock(
            [] { return QDateTime(QDate(2026, 3, 5), QTime(14, 7, 9)).toMSecsSinceEpoch(); });
        Lib_Public::SetTraceHook([this](const QString& line) { traps << line; });
        mail::SetDefaultTimeLimits(
            {std::chrono::milliseconds(3000), std::chrono::milliseconds(3000)});
        main.reset();
        main = std::make_unique<Frm_Main>();
        bis = Frm_MainBis::instance();
        ASSERT_NE(bis, nullptr);
        main->InitGeneralCharset();
        if (main->ListeProtocol->count() == 0)
            main->ListeProtocol->addItems({"SMTP", "EWS", "WebDAV"});
        main->ListeProtocol->setCurrentIndex(0);
        main->TexteFrom->setText(QStringLiteral("Jean Dupont <jean@station.test>"));
    }
    void TearDown() override {
        EXPECT_TRUE(traps.isEmpty()) << traps.join('\n').toStdString();
        traps.clear();
        main.reset();
        mail::CloseIdleSessions();
        Lib_Public::SetTraceHook({});
        Clock::Set({});
        MsgBox::reset();
    }

    void useServer(const QString& host, quint16 port) {
        main->TexteServer->setText(host);
        main->ListePort->addItem(QString::number(port));
        main->ListePort->setCurrentIndex(main->ListePort->count() - 1);
    }

    // Fills the six mail fields of `form`.
    static void fill(QWidget* form, const QString& to, const QString& cc, const QString& cci,
                     const QString& subject, const QString& body,
                     const QString& attachments = QString()) {
        // By name, whatever kind of field the form has (text boxes, or the hidden form's
        // plain text holders).
        const std::pair<const char*, const QString*> fields[] = {
            {"TexteTo", &to},           {"TexteCc", &cc},     {"TexteCci", &cci},
            {"TexteSubject", &subject}, {"TexteBody", &body}, {"TexteAttachments", &attachments}};
        for (const auto& [name, text] : fields)
            ASSERT_TRUE(Controls::SetText(form, QString::fromLatin1(name), *text)) << name;
    }

    // Sends with the page's settings taken as saved (an automatic send uses only those).
    qint16 send(QWidget* form, qint16 manuel) {
        main->KeepSavedSettings();
        qint16 abandon = 12345;
        main->SendEmail(form, manuel, abandon);
        return abandon;
    }

    QStringList boxTexts() const {
        QStringList texts;
        for (const MsgBox::Record& r : MsgBox::history())
            texts << r.text;
        return texts;
    }

    QStringList incidents() const {
        QStringList lines;
        for (int i = 0; i < main->ListeIncidents->count(); ++i)
            lines << main->ListeIncidents->item(i)->text();
        return lines;
    }

    bool alertOn() const { return main->SftTabsMain->tabAlert(Frm_Main::IncidentsTab); }

    TempPrefix prefix;
    std::unique_ptr<Frm_Main> main;
    Frm_MainBis* bis = nullptr;
    QStringList traps;
};
