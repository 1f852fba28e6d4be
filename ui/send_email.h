// The window's side of sending one mail: SendEmail and SendMail (procedures of the main
// window, declared in ui/frm_main.h) and the way an operator's send shows what happens.
#pragma once

#include "station/mail_builder.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

class Frm_Main;

namespace Sending {

// Reports `text` the way a send of mode `Manuel` reports: exactly True shows a message box
// (exclamation icon, OK, the main window's caption as title); any other value adds an
// incident line at the top of the incidents list with the tab alert on.
void Report(Frm_Main& main, qint16 Manuel, const QString& text);

// While one lives, the boxes of Report are kept instead of shown, so that the caller shows
// one box for a send that failed (its reason, its advice and the abandon together).
class GatheredBoxes {
public:
    GatheredBoxes();
    ~GatheredBoxes();
    GatheredBoxes(const GatheredBoxes&) = delete;
    GatheredBoxes& operator=(const GatheredBoxes&) = delete;
    QStringList texts;
};

// What an operator's send (or an automatic one, `Manuel` not True) tells through Report.
Feedback FeedbackOf(Frm_Main& main, qint16 Manuel);

} // namespace Sending
