// MTA-STS for direct delivery: a recipient domain's published policy (a TXT record and a
// policy file over HTTPS), kept for its max_age, and what an "enforce" policy allows.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace mail::detail {

struct StsPolicy {
    enum class Mode { None, Testing, Enforce };
    Mode mode = Mode::None;
    QStringList mx;    // MX patterns ("mx.example.net", "*.example.net")
    qint64 maxAge = 0; // seconds
    QByteArray id;     // the id of the TXT record it was fetched for
};

// Reads a policy file ("version: STSv1", "mode: ...", "mx: ...", "max_age: ..."). False with
// `error` (French) when it is not a valid STSv1 policy.
bool ParseStsPolicy(const QByteArray& text, StsPolicy& policy, QString& error);

// True when the MX host name `host` matches `pattern` (a "*." pattern stands for exactly one
// leftmost label); letter case and a final dot are ignored.
bool StsMxMatches(const QString& pattern, const QString& host);

// The policy of `domain` that direct delivery must honour: the TXT record "_mta-sts.<domain>"
// through the delivery's DNS server, then "https://mta-sts.<domain>/.well-known/mta-sts.txt"
// (certificate verified, no redirect; the port from VELMORA_MTA_STS_PORT when set, for
// tests). A policy is kept for its max_age (in memory, and in the folder SetStsPolicyFolder
// names, so that a restart does not fetch it again) and fetched again when the record's id
// changes. A domain without a policy, or whose policy cannot be fetched and none is kept,
// gives Mode::None: the mail goes as without MTA-STS (RFC 8461 §5).
StsPolicy StsPolicyFor(const QString& domain, const QString& caFolder, int timeoutMs);

// The native folder where policies are kept across restarts (the settings folder); "" keeps
// them in memory only.
void SetStsPolicyFolder(const QString& nativeFolder);

// Forgets the policies kept in memory, as a restart does (tests).
void ForgetStsPolicies();

} // namespace mail::detail
