// Test fixture for OAuth 2.0: the authorisation server tests/servers/oauth_server.py on a free
// loopback port (HTTPS, test CA), its control file, and the person who signs in.
#pragma once

#include "mail/oauth/oauth.h"
#include "support/python_peer.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace testsupport {

class OAuthServer : public PythonPeer {
public:
    // `clientSecret` is what the client credentials grant must present ("" refuses it).
    explicit OAuthServer(const QString& clientId = QStringLiteral("postique-test"),
                         const QString& clientSecret = QStringLiteral("s3cret-client"));

    // The folder the SMTP and EWS peers read to check bearers.
    QString stateDir() const { return dir_.path(); }
    QString url(const QString& path) const;
    // A provider with no preset, pointing at this server.
    mail::oauth::Provider provider(mail::oauth::Grant grant = mail::oauth::Grant::DeviceCode) const;

    // Replaces the control file (see the script: access_ttl, revoked, not_before, ...).
    void setControl(const QJsonObject& control);
    // Refuses, from now on, every access token issued so far (as a provider revoking them).
    void refuseIssuedAccessTokens();
    // Plays the person: opens the verification page with `userCode` and signs in as `login`
    // (or declines). True when the server knew the code.
    bool signIn(const QString& userCode, const QString& login, bool decline = false);
    // Every token text the server issued (access and refresh).
    QStringList issuedTokens() const;
    // The token requests, in order ("grant_type", "scope", "outcome").
    QList<QJsonObject> tokenRequests() const;
    int countTokenRequests(const QString& grantType, const QString& outcome = QString()) const;

private:
    QString clientId_;
};

} // namespace testsupport
