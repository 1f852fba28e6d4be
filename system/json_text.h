// JSON written straight into bytes, for the outputs that are long or written often (the queue's
// listing, the register of mails sent), where building a document first would cost too much.
#pragma once

#include <QByteArray>
#include <QString>

namespace JsonText {

// Appends `text` to `out` as a JSON string: quoted, with quotes, backslashes and control
// characters escaped, the rest as UTF-8. Never fails.
void AppendString(QByteArray& out, const QString& text);

} // namespace JsonText
