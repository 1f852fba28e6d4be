// The sending settings the station works with (what the settings file held when it was last
// loaded or saved; the settings page edits its own copy), and the fields of one mail.
#pragma once

#include <QString>

namespace station {

struct SendingSettings {
    QString from, server, port, user, password, jobFolder;
    int protocol = 0;
    int charset = -1; // row of the character-set table, -1: none chosen
    bool auth = false, ssl = false, sign = false, encrypt = false, oauth = false;
    bool operator==(const SendingSettings&) const = default;
};

// The six mail fields of one mail, as the compose panel and a job's row give them.
struct MailFields {
    QString to, cc, cci, subject, body, attachments;
};

} // namespace station
