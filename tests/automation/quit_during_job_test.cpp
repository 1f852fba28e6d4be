// "Quitter" answered with "Oui" while a poll cycle sends a long job: the window unloads, the
// cycle stops before its next row, and the job stays for the next run.
#if __has_include("ui/send_email.h")
#include "sending_fixture.h"
#include "support/job_corpus.h"
#include "support/smtp_fixture.h"
#include "system/error_reporting.h"
#include "system/processes.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <thread>

using namespace automation_tests;
using testsupport::jobRow;
using testsupport::SmtpServer;

namespace {

class QuitDuringJobTest : public SendingTest {
protected:
    void SetUp() override {
        PollerTest::SetUp();
        savedRecord_ = qgetenv(Lib_Systeme::ProcessRecordVariable);
        record_ = prefix.path() + QStringLiteral("/process-record.txt");
        qputenv(Lib_Systeme::ProcessRecordVariable, QFile::encodeName(record_));
    }
    void TearDown() override {
        qputenv(Lib_Systeme::ProcessRecordVariable, savedRecord_);
        qunsetenv("POSTIQUE_SMTP_SESSIONS");
        Lib_Public::ArretEnCours = false;
        MsgBox::reset();
        SendingTest::TearDown();
    }
    QByteArray savedRecord_;
    QString record_;
};

TEST_F(QuitDuringJobTest, NoRowLeavesAfterTheAnswer) {
    SmtpServer server;
    useServer(server);

    constexpr int rows = 300;
    constexpr int kSessions = 4;
    qputenv("POSTIQUE_SMTP_SESSIONS", QByteArray::number(kSessions));
    QByteArray job;
    for (int i = 0; i < rows; ++i)
        job += jobRow(QStringLiteral("1"), QStringLiteral("r%1@example.org").arg(i), {}, {},
                      QStringLiteral("row %1").arg(i), QStringLiteral("Body"));
    ASSERT_TRUE(writeJob(QStringLiteral("Email_1.ss8"), job));

    // The moment the answer takes effect, seen from beside the window's thread.
    std::atomic<bool> watching{true};
    std::atomic<double> answeredAt{0};
    std::thread watcher([&] {
        while (watching && !Lib_Public::QuitterDemande)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (Lib_Public::QuitterDemande)
            answeredAt =
                std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                    .count();
    });

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
    watching = false;
    watcher.join();

    ASSERT_GE(atQuit, 2) << "the cycle ended before the click";
    EXPECT_TRUE(form->isUnloaded());
    EXPECT_TRUE(Lib_Public::QuitterDemande);
    ASSERT_GT(answeredAt.load(), 0.0);
    QThread::msleep(300);
    const auto messages = server.messages();
    EXPECT_LT(messages.size(), rows);
    // Rows handed to the sessions before the answer may still finish; no mail is started
    // (its MAIL command sent) once the answer is given, beyond a moment's scheduling slack.
    int startedAfter = 0;
    for (const auto& m : messages)
        startedAfter += m.mailAt > answeredAt.load() + 0.05 ? 1 : 0;
    EXPECT_EQ(startedAfter, 0) << "rows started after the answer";
    EXPECT_TRUE(jobExists(QStringLiteral("Email_1.ss8")));
    QFile recorded(record_);
    ASSERT_TRUE(recorded.open(QIODevice::ReadOnly));
    EXPECT_TRUE(recorded.readAll().startsWith("EndAllCopies VL3_Postique"));
}

} // namespace
#endif
