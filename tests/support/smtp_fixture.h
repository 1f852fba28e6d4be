// Test fixture for mail tests: a real SMTP server (tests/servers/smtp_server.py, aiosmtpd) on a
// free loopback port, its record of received messages, test certificates made with openssl.
#pragma once

#include "support/qt_print.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace testsupport {

// A test certificate authority made with the `openssl` command in a temporary folder that
// lives as long as the process. Certificates it issues are PEM files.
class TestAuthority {
public:
    // The process-wide authority ("Postique Test CA"); created on first use.
    static TestAuthority& instance();

    bool ok() const { return ok_; }
    QString error() const { return error_; }
    QString folder() const { return dir_.path(); }
    QString caCertificate() const { return dir_.filePath(QStringLiteral("ca.pem")); }
    QString caKey() const { return dir_.filePath(QStringLiteral("ca.key")); }

    // Certificate and key of a TLS server for "localhost" and 127.0.0.1 (made once).
    QString serverCertificate();
    QString serverKey() const { return dir_.filePath(QStringLiteral("server.key")); }

    // Issues "<name>.pem" and "<name>.key" signed by this authority, with the subject
    // `subject` ("/CN=...") and the OpenSSL extension lines `extensions` (for instance
    // "subjectAltName=email:a@b.test", "extendedKeyUsage=emailProtection"). Returns the
    // certificate path, or "" with error() set.
    QString issue(const QString& name, const QString& subject, const QStringList& extensions);

    // A self-signed certificate that no authority vouches for ("<name>.pem"/".key").
    QString selfSigned(const QString& name, const QString& subject, const QStringList& extensions);

private:
    TestAuthority();
    bool run(const QStringList& arguments);

    QTemporaryDir dir_;
    bool ok_ = false;
    QString error_;
};

// How the SMTP server behaves; see tests/servers/smtp_server.py for the details.
struct SmtpServerOptions {
    enum class Tls { Plain, StartTls, Implicit };
    enum class Auth { None, Optional, Required };
    Tls tls = Tls::Plain;
    bool requireStartTls = false;
    Auth auth = Auth::None;
    QStringList users; // "name:password"
    // Scripted reply: `command` is EHLO, MAIL, RCPT, DATA or EOD (end of data); `match` a
    // substring of its argument ("" matches all); `reply` the full reply ("550 5.1.1 ...").
    SmtpServerOptions& reply(const QString& command, const QString& match, const QString& reply);
    // Never answer `command` (CONNECT, EHLO, MAIL, RCPT, DATA or EOD).
    QString stall;
    double stallSeconds = 3600; // how long "never" lasts
    // Offer PIPELINING: the client may send MAIL, RCPT and DATA in one group.
    bool pipelining = false;
    // Offer DSN: MAIL and RCPT take its parameters (recorded as the commands' arguments).
    bool dsn = false;
    // Limits of a hosted service: more sessions at once get "432 4.3.2", more than
    // `ratePerWindow` mails in `rateWindowSeconds` get "451 4.7.0" (0: no limit).
    int maxSessions = 0;
    int maxRecipients = 0; // more RCPT in one mail get "452 4.5.3" (0: no limit)
    int ratePerWindow = 0;
    double rateWindowSeconds = 60;
    // Certificate and key of the server (default: the test authority's server certificate).
    QString certificate;
    QString key;

    QList<QJsonObject> script;
    // OAuth 2.0: offer only AUTH XOAUTH2/OAUTHBEARER and take the bearers issued by the
    // authorisation server with this state folder (OAuthServer::stateDir()).
    QString bearerState;
    QString bearerMechanisms = QStringLiteral("XOAUTH2"); // or "OAUTHBEARER", or both with ","
    // Where to listen: a loopback address and port (default 127.0.0.1, a free port).
    QString host;
    quint16 port = 0;
};

// One message as the server received it.
struct ReceivedMessage {
    int connection = 0;
    QString mailFrom;
    QStringList recipients; // the envelope (RCPT TO) addresses
    QByteArray data;        // the message as sent, CRLF line ends
    QString authUser;       // empty without login
    QString authMechanism;  // OAuth 2.0: "XOAUTH2" or "OAUTHBEARER"
    bool tls = false;
    double mailAt = 0;         // when its MAIL command reached the server, seconds since the epoch
    bool grouped = false;      // more commands came with MAIL, before its reply
    QString mailArgument;      // the MAIL command's argument, parameters included
    QStringList rcptArguments; // each RCPT command's argument
    QString queueId;           // the id the server's 250 answer named
};

// An SMTP server process for one test. Stops when destroyed.
class SmtpServer {
public:
    explicit SmtpServer(const SmtpServerOptions& options = {});
    ~SmtpServer();
    SmtpServer(const SmtpServer&) = delete;
    SmtpServer& operator=(const SmtpServer&) = delete;

    // True once the server listens; error() tells why not.
    bool isRunning() const { return port_ != 0; }
    QString error() const { return error_; }
    quint16 port() const { return port_; }
    // Ends the server process, closing its connections (a restart, with a new server on the
    // same port); what it received stays readable.
    void stop();

    // Everything received so far, in order.
    QList<ReceivedMessage> messages() const;
    // Waits (up to `timeoutMs`) until at least `count` messages were received.
    bool waitForMessages(int count, int timeoutMs = 5000) const;
    // Connections opened and closed so far.
    int connections() const;
    // Mails answered with a throttling reply (maxSessions, ratePerWindow).
    int throttled() const;
    int disconnections() const;
    // Waits until at least `count` connections were closed.
    bool waitForDisconnections(int count, int timeoutMs = 5000) const;

private:
    QList<QJsonObject> events() const;
    bool waitFor(const std::function<bool()>& done, int timeoutMs) const;

    std::unique_ptr<QProcess> process_;
    QTemporaryDir dir_;
    QString recordPath_;
    quint16 port_ = 0;
    QString error_;
};

// Parses `message` with Python's email package (code that is not ours) and returns what a
// mail reader would show: "subject", "from", "to", "cc" (decoded header texts), "date"
// (ISO text, "" when unreadable), "headers"
// (list of header names), "body" (decoded text of the first text part), "body_charset",
// "body_encoding", "header_block" (the raw top headers), "defects", and "attachments"
// (list of {"filename", "content_type", "data_b64"}).
// On failure the object holds "error".
QJsonObject ParseWithPython(const QByteArray& message);

} // namespace testsupport
