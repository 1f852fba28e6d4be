// OAuth 2.0 on a machine without a display, end to end: the real program signs in from the
// command line (the test plays the person), then sends a dropped job with the token to an
// SMTP server that takes only AUTH XOAUTH2; no token text ever appears in its output.
#include "support/job_corpus.h"
#include "support/mail/oauth_fixture.h"
#include "support/program_run.h"
#include "support/smtp_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/stat.h>

#include <optional>

#include <gtest/gtest.h>

using namespace testsupport;

TEST(OAuthEndToEnd, CommandLineSignInThenJobsGoOutWithTheToken) {
    ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    OAuthServer auth;
    ASSERT_TRUE(auth.isRunning()) << auth.error().toStdString();
    SmtpServerOptions options;
    options.host = privateLoopbackAddress();
    options.port = 25; // the settings page offers the standard ports only
    options.auth = SmtpServerOptions::Auth::Required;
    options.bearerState = auth.stateDir();
    SmtpServer smtp(options);
    ASSERT_TRUE(smtp.isRunning()) << smtp.error().toStdString();

    // Settings: login on, OAuth 2.0 with the test provider's endpoints.
    const QString jobs = QStringLiteral("C:\\Jobs\\");
    const QString login = QStringLiteral("alice@example.test");
    ASSERT_TRUE(install.writeSettings(options.host, login, jobs));
    ASSERT_TRUE(install.editSettings([&](QByteArray& ini) {
        ini.replace("Autentification=0", "Autentification=1");
        ini.replace("User=\r\n", "User=" + login.toUtf8() + "\r\n");
        ini += "[OAuth2]\r\nMethode=1\r\nFournisseur=autre\r\nClientId=postique-test\r\n"
               "CodeAppareil=" +
               auth.url(QStringLiteral("/device")).toUtf8() +
               "\r\n"
               "Jeton=" +
               auth.url(QStringLiteral("/token")).toUtf8() +
               "\r\n"
               "ScopeSmtp=smtp.send offline_access\r\nOctroi=0\r\n";
    }));
    // The provider's certificate is trusted through the program's "CA" folder.
    const QString ca = install.appFolder() + QStringLiteral("/Settings/VL3_Postique/CA");
    ASSERT_TRUE(QDir().mkpath(ca));
    ASSERT_TRUE(
        QFile::copy(auth.caFolder() + QStringLiteral("/ca.pem"), ca + QStringLiteral("/ca.pem")));

    // The sign-in from the command line: it prints the address and the code, then waits.
    std::unique_ptr<QProcess> cli = install.start(1000, {QStringLiteral("--oauth-login")});
    ASSERT_TRUE(cli->waitForStarted(10000));
    QByteArray cliOutput;
    QString userCode;
    const QRegularExpression codeLine(QStringLiteral("saisissez le code (\\S+)"));
    ASSERT_TRUE(waitUntil(
        [&] {
            cliOutput += cli->readAllStandardOutput();
            const auto match = codeLine.match(QString::fromUtf8(cliOutput));
            if (match.hasMatch())
                userCode = match.captured(1);
            return !userCode.isEmpty() || cli->state() == QProcess::NotRunning;
        },
        30000))
        << cliOutput.toStdString();
    ASSERT_FALSE(userCode.isEmpty())
        << cliOutput.toStdString() << cli->readAllStandardError().toStdString();
    EXPECT_TRUE(cliOutput.contains(auth.url(QStringLiteral("/verify")).toUtf8()));
    ASSERT_TRUE(auth.signIn(userCode, login));
    ASSERT_TRUE(cli->waitForFinished(30000));
    cliOutput += cli->readAllStandardOutput() + cli->readAllStandardError();
    EXPECT_EQ(cli->exitCode(), 0) << cliOutput.toStdString();
    EXPECT_TRUE(cliOutput.contains("Connecté : alice@example.test")) << cliOutput.toStdString();
    struct stat st {};
    const QString secrets =
        install.drivePath(QStringLiteral("C:\\Halvaro\\Velmora\\Config\\VL3_Postique_OAuth2.json"));
    ASSERT_EQ(::stat(QFile::encodeName(secrets).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // The program then sends a dropped job with the token, no password anywhere.
    const QString folder = install.drivePath(jobs);
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(writeFile(folder + QStringLiteral("/Email_1.ss8"),
                          jobRow(QStringLiteral("1"), QStringLiteral("bob@example.org"), {}, {},
                                 QStringLiteral("avec jeton"), QStringLiteral("Corps"))));
    std::unique_ptr<QProcess> program = install.start(50);
    ASSERT_TRUE(program->waitForStarted(10000));
    const auto jobMessage = [&]() -> std::optional<ReceivedMessage> {
        for (const ReceivedMessage& m : smtp.messages())
            if (m.data.contains("avec jeton"))
                return m;
        return std::nullopt;
    };
    const bool sent = waitUntil(
        [&] { return jobMessage() && !QFileInfo::exists(folder + QStringLiteral("/Email_1.ss8")); },
        60000);
    killProgram(*program);
    const QByteArray programOutput =
        program->readAllStandardOutput() + program->readAllStandardError();
    ASSERT_TRUE(sent) << programOutput.toStdString();
    EXPECT_EQ(jobMessage()->authUser, login);
    EXPECT_EQ(jobMessage()->authMechanism, QStringLiteral("XOAUTH2"));

    const QStringList tokens = auth.issuedTokens();
    ASSERT_GE(tokens.size(), 2); // the access and the refresh token of the sign-in
    QFile saved(
        install.drivePath(QStringLiteral("C:\\Halvaro\\Velmora\\Config\\VL3_Postique.ini")));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const QByteArray settingsText = saved.readAll();
    for (const QString& token : tokens) {
        EXPECT_FALSE(cliOutput.contains(token.toUtf8())) << "token in the sign-in's output";
        EXPECT_FALSE(programOutput.contains(token.toUtf8())) << "token in the program's output";
        EXPECT_FALSE(settingsText.contains(token.toUtf8())) << "token in the settings file";
    }
}
