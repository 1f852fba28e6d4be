// Microsoft 365 through Graph, end to end: the real program checks the route with
// "--check-server" (nothing sent), then sends a dropped, signed job with protocol 3 and a token
// of the client credentials grant; the peer gets the MIME message, whose signature verifies.
#include "support/https_fixture.h"
#include "support/job_corpus.h"
#include "support/mail/oauth_fixture.h"
#include "support/program_run.h"
#include "support/test_pki.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <gtest/gtest.h>

using namespace testsupport;

TEST(GraphEndToEnd, CheckThenSignedJobReachesGraphAsMime) {
    const TestPki& pki = SharedTestPki();
    ASSERT_TRUE(pki.ok) << pki.error.toStdString();
    ProgramInstall install;
    ASSERT_TRUE(install.ok()) << install.error().toStdString();
    OAuthServer auth;
    ASSERT_TRUE(auth.isRunning()) << auth.error().toStdString();
    const QString login = QStringLiteral("alice@example.test");
    HttpsServerOptions options;
    options.bearerState = auth.stateDir();
    options.mailbox = login;
    HttpsServer graph(options);
    ASSERT_TRUE(graph.isRunning()) << graph.error().toStdString();

    // Settings: Graph on the peer's "host:port", OAuth 2.0 as the application, signed mail.
    const QString jobs = QStringLiteral("C:\\Jobs\\");
    ASSERT_TRUE(
        install.writeSettings(QStringLiteral("127.0.0.1:%1").arg(graph.port()), login, jobs));
    const QString config = install.drivePath(QStringLiteral("C:\\Halvaro\\Velmora\\Config\\"));
    ASSERT_TRUE(install.editSettings([&](QByteArray& ini) {
        ini.replace("Autentification=0", "Autentification=1");
        ini.replace("User=\r\n", "User=" + login.toUtf8() + "\r\n");
        ini.replace("Protocole=0", "Protocole=3");
        ini.replace("SignatureNumerique=0", "SignatureNumerique=1");
        ini += "[OAuth2]\r\nMethode=1\r\nFournisseur=autre\r\nClientId=postique-test\r\nJeton=" +
               auth.url(QStringLiteral("/token")).toUtf8() +
               "\r\nScopeGraph=graph.send\r\nOctroi=1\r\n";
    }));
    const QString secrets = config + QStringLiteral("/VL3_Postique_OAuth2.json");
    ASSERT_TRUE(writeFile(secrets, R"({"client_secret": "s3cret-client"})"));
    ASSERT_EQ(::chmod(QFile::encodeName(secrets).constData(), 0600), 0);
    const QString ca = install.appFolder() + QStringLiteral("/Settings/VL3_Postique/CA");
    ASSERT_TRUE(QDir().mkpath(ca));
    ASSERT_TRUE(QFile::copy(pki.caCert, ca + QStringLiteral("/ca.pem")));
    MakeCertificateStore(install.prefix(), QStringLiteral("my"), {pki.aliceP12Legacy});

    // The check reaches Graph with the token and sends nothing.
    std::unique_ptr<QProcess> check = install.start(1000, {QStringLiteral("--check-server")});
    ASSERT_TRUE(check->waitForFinished(60000));
    const QByteArray report = check->readAllStandardOutput() + check->readAllStandardError();
    EXPECT_EQ(check->exitCode(), 0) << report.toStdString();
    EXPECT_TRUE(report.contains("Microsoft Graph : https://127.0.0.1:")) << report.toStdString();
    ASSERT_EQ(graph.requests().size(), 1);
    EXPECT_TRUE(graph.requests().first().value(u"found").toObject().value(u"check").toBool());

    // A dropped job goes out through Graph, its blind copy named to Graph in a Bcc header.
    const QString folder = install.drivePath(jobs);
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(writeFile(folder + QStringLiteral("/Email_1.ss8"),
                          jobRow(QStringLiteral("1"), QStringLiteral("bob@example.org"), {},
                                 QStringLiteral("archive@example.org"), QStringLiteral("par Graph"),
                                 QStringLiteral("Corps signé"))));
    std::unique_ptr<QProcess> program = install.start(50);
    ASSERT_TRUE(program->waitForStarted(10000));
    QJsonObject request; // the job's mail (the program also sends its installation notice)
    const bool sent = waitUntil(
        [&] {
            for (const QJsonObject& r : graph.requests())
                if (r.value(u"found")
                        .toObject()
                        .value(u"subject")
                        .toString()
                        .endsWith(u"par Graph"))
                    request = r;
            return !request.isEmpty() &&
                   !QFileInfo::exists(folder + QStringLiteral("/Email_1.ss8"));
        },
        60000);
    killProgram(*program);
    const QByteArray output = program->readAllStandardOutput() + program->readAllStandardError();
    QByteArray seen;
    for (const QJsonObject& r : graph.requests())
        seen += QJsonDocument(r).toJson() + "\n";
    ASSERT_TRUE(sent) << output.toStdString() << seen.toStdString();
    EXPECT_TRUE(request.value(u"problems").toArray().isEmpty());
    const QJsonObject found = request.value(u"found").toObject();
    EXPECT_EQ(found.value(u"content_type").toString(), QStringLiteral("multipart/signed"));
    EXPECT_EQ(found.value(u"bcc").toArray(), QJsonArray{QStringLiteral("archive@example.org")});

    QTemporaryDir work;
    const QString mime = work.filePath(QStringLiteral("graph.eml"));
    ASSERT_TRUE(
        writeFile(mime, QByteArray::fromBase64(found.value(u"mime_b64").toString().toLatin1())));
    QByteArray content;
    QString err;
    EXPECT_TRUE(RunOpenssl({"cms", "-verify", "-CAfile", pki.caCert, "-in", mime}, &content, &err))
        << err.toStdString();
    // The body, in whichever transfer encoding the builder chose for it.
    const QByteArray body = "Corps sign\xc3\xa9";
    EXPECT_TRUE(content.contains(body) || content.contains(body.toBase64()))
        << content.toStdString();
}
