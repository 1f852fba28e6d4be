// Negotiate (Kerberos) with the station's own keys: tickets obtained from a keytab through
// GSS-API, put in force for the web exchanges of the calling thread, and the name of the
// login method an HTTP request carried.
#pragma once

#include <QByteArray>
#include <QString>

namespace mail::detail {

// While it lives, GSS-API's default credentials on the calling thread (those libcurl's
// Negotiate uses) are tickets of `principal` obtained with the keytab file `keytab` (a native
// path); an empty principal means the keytab's first. The tickets are kept in a cache of the
// process named after the keytab and the principal, so the next exchanges reuse them until
// they near their end. The thread's previous default cache comes back on destruction.
class KeytabLogin {
public:
    KeytabLogin(const QString& keytab, const QString& principal);
    ~KeytabLogin();
    KeytabLogin(const KeytabLogin&) = delete;
    KeytabLogin& operator=(const KeytabLogin&) = delete;

    // "" when the tickets are in force; otherwise why not, in French, fit for an incident.
    QString problem() const { return problem_; }
    // The principal logged in as, with its realm ("postique/studio@RADIO.EXAMPLE").
    QString principal() const { return principal_; }

private:
    QString problem_;
    QString principal_;
    bool switched_ = false;      // the thread's default cache was changed
    bool previousSet_ = false;   // the thread had a default cache name of its own
    QByteArray previous_;        // that name
    void* credential_ = nullptr; // the gss_cred_id_t held while the tickets are in use
};

// The login method of an "Authorization" header value as the operator knows it: "Negotiate
// (Kerberos)", "Negotiate (NTLM)", "NTLM", "Basic", "OAuth 2.0"; the bare scheme otherwise,
// "" for none. Never shows the credentials themselves.
QString AuthenticationName(const QByteArray& authorization);

} // namespace mail::detail
