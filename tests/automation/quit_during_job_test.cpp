// "Quitter" answered with "Oui" while a poll cycle sends a long job: the window unloads, the
// cycle stops before its next row, and the job stays for the next run.
#if __has_include("mail/send_email.h")
#include "app/error_reporting.h"
#include "poller_fixture.h"
#include "support/job_corpus.h"
#include "support/smtp_fixture.h"
#include "system/processes.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QThread>
#include <QTimer>

using namespace automation_tests;
using testsupport::jobRow;
using testsupport::SmtpServer;

namespace {

class QuitDuringJobTest : public PollerTest {
protected:
    void SetUp() override {
        PollerTest::SetUp();
        savedRecord_ = qgetenv(Lib_Systeme::ProcessRecordVariable);
        record_ = prefix.path() + QStringLiteral("/process-record.txt");
        qputenv(Lib_Systeme::ProcessRecordVariable, QFile::encodeName(record_));
    }
    void TearDown() override {
        qputenv(Lib_Systeme::ProcessRecordVariable, savedRecord_);
        Lib_Public::ArretEnCours = false;
        MsgBox::reset();
        PollerTest::TearDown();
    }
    QByteArray savedRecord_;
    QString record_;
};

TEST_F(QuitDuringJobTest, NoRowLeavesAfterTheAnswer) {
    SmtpServer server;
    ASSERT_TRUE(server.isRunning()) << server.error().toStdString();
    form->TexteFrom->setText(QStringLiteral("Station <station@example.org>"));
    form->TexteServer->setText(QStringLiteral("127.0.0.1"));
    if (form->ListeProtocol->count() == 0)
        form->ListeProtocol->addItem(QStringLiteral("SMTP"));
    form->ListeProtocol->setCurrentIndex(0);
    const QString port = QString::number(server.port());
    if (form->ListePort->findText(port) < 0)
        form->ListePort->addItem(port);
    form->ListePort->setCurrentText(port);
    form->CheckBoxAuth->setChecked(false);
    if (form->ListeCharset->count() == 0)
        form->InitGeneralCharset();

    constexpr int rows = 300;
    QByteArray job;
    for (int i = 0; i < rows; ++i)
        job += jobRow(QStringLiteral("1"), QStringLiteral("r%1@example.org").arg(i), {}, {},
                      QStringLiteral("row %1").arg(i), QStringLiteral("Body"));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), job));

    // Once two rows went out, the operator clicks "Quitter" and answers "Oui".
    qsizetype atQuit = -1;
    QTimer operatorClick;
    operatorClick.setInterval(10);
    QObject::connect(&operatorClick, &QTimer::timeout, [&] {
        if (atQuit >= 0 || server.messages().size() < 2)
            return;
        atQuit = server.messages().size();
        MsgBox::setNextAnswer(MsgBox::Answer::Yes);
        form->CommandQuitter->click();
    });
    operatorClick.start();
    form->show();
    cycle();
    operatorClick.stop();

    ASSERT_GE(atQuit, 2) << "the cycle ended before the click";
    EXPECT_TRUE(form->isUnloaded());
    EXPECT_TRUE(Lib_Public::QuitterDemande);
    QThread::msleep(300);
    const qsizetype total = server.messages().size();
    EXPECT_LT(total, rows);
    // Only the rows in flight at the answer may still arrive (a job is sent over a few
    // sessions at once); none is started afterwards.
    EXPECT_LE(total - atQuit, 4) << "rows went out after the answer";
    EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8")));
    QFile recorded(record_);
    ASSERT_TRUE(recorded.open(QIODevice::ReadOnly));
    EXPECT_TRUE(recorded.readAll().startsWith("EndAllCopies VL3_Postique"));
}

} // namespace
#endif
