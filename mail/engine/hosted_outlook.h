// Where hosted mail is heading: which sending path the settings use with Microsoft 365, and
// whether it still works after the providers' announced switch-offs, with what to change.
#pragma once

#include <QString>
#include <QtGlobal>

namespace mail {

// Microsoft's High Volume Email host: submission from applications to recipients inside the
// organisation only.
inline constexpr char kHighVolumeHost[] = "smtp-hve.office365.com";

// The verdict on one set of sending settings.
struct HostedOutlook {
    QString path;        // the path named for the operator; "" when no known deadline applies
    bool breaks = false; // refused, by default or for good, after one of the deadlines
    QString verdict;     // one French line: the path, its fate at each date, what to choose
};

// The verdict for the protocol index `protocol` (0 SMTP, 1 EWS, 2 WebDAV, 3 Graph), the
// server `host`, and the login (`auth`, with `oauth` for a token instead of a password).
// Never fails; an unknown server gives an empty path.
HostedOutlook HostedOutlookOf(qint32 protocol, const QString& host, bool auth, bool oauth);

} // namespace mail
