// What the register of mails sent learns of a row's send: its recipients, the way it went and
// the servers' answers, from the send's outcome or, before it, from the row's fields.
#pragma once

#include "automation/jobs/ledger.h"

#include <QString>

namespace station {

// The delivery of a send of `plan` through `server` with the settings page's protocol index
// `protocol`, as `outcome` tells it.
automation::RowDelivery DeliveryOf(const mail::SendPlan* plan, const QString& server, int protocol,
                                   const mail::SendOutcome& outcome);

// A row before its send (and one sent in place, copy by copy): the bare addresses of the
// comma-separated `recipients`, through `server` with the protocol index `protocol`.
automation::RowDelivery DeliveryBefore(const QString& recipients, const QString& server,
                                       int protocol);

} // namespace station
