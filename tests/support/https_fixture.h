// Test fixture for the Exchange transports: the HTTPS peer tests/servers/https_server.py on a
// free loopback port, the scenario it answers with, and its record of the requests it took.
#pragma once

#include "support/python_peer.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace testsupport {

struct HttpsServerOptions {
    QString user = QStringLiteral("studio"); // Basic credentials the server wants
    QString password = QStringLiteral("m0t de passe");
    QString mailbox;     // WebDAV mailbox in the path (default: user)
    bool plain = false;  // HTTP instead of HTTPS
    QString bearerState; // OAuth 2.0: bearers of the authorisation server with this state folder
    // Negotiate: the service keys the tokens are checked with (a KerberosRealm keytab), and the
    // schemes the challenge offers ("Negotiate", "NTLM", "Basic"), in order.
    QString negotiateKeytab;
    QStringList offer{QStringLiteral("Negotiate")};
};

// One server process for one test, serving the test PKI's server certificate; stops when
// destroyed.
class HttpsServer : public PythonPeer {
public:
    explicit HttpsServer(const HttpsServerOptions& options = {});

    // How the next requests are answered: "ok", "unauthorized", "ews-error", "soap-fault",
    // "fba-440", "fba-redirect", "http-500" (see the script).
    void setScenario(const QString& scenario);
    // The requests that came with the right credentials, in order.
    QList<QJsonObject> requests() const;
};

} // namespace testsupport
