// Starts the HTTPS peer of the Exchange tests and reads its request record.
#include "support/https_fixture.h"

#include "support/test_pki.h"

namespace testsupport {

HttpsServer::HttpsServer(const HttpsServerOptions& options) {
    const TestPki& pki = SharedTestPki();
    QStringList args{
        QStringLiteral("--cert"),     pki.serverCert,  QStringLiteral("--key"),  pki.serverKey,
        QStringLiteral("--state"),    dir_.path(),     QStringLiteral("--user"), options.user,
        QStringLiteral("--password"), options.password};
    if (!options.mailbox.isEmpty())
        args << QStringLiteral("--mailbox") << options.mailbox;
    if (options.plain)
        args << QStringLiteral("--plain");
    if (!options.bearerState.isEmpty())
        args << QStringLiteral("--bearer-state") << options.bearerState;
    if (!options.negotiateKeytab.isEmpty())
        args << QStringLiteral("--negotiate-keytab") << options.negotiateKeytab
             << QStringLiteral("--offer") << options.offer.join(u',');
    start(QStringLiteral("https_server.py"), args);
}

void HttpsServer::setScenario(const QString& scenario) {
    writeFile(QStringLiteral("scenario"), scenario.toUtf8());
}

QList<QJsonObject> HttpsServer::requests() const {
    return jsonLines(QStringLiteral("requests.jsonl"));
}

} // namespace testsupport
