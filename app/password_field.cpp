// The password field of the settings page: masked while typed, shown in clear on demand.
#include "app/password_field.h"

#include "system/error_reporting.h"
#include "ui/frm_main.h"

#include <QLineEdit>

namespace Lib_Public {

bool PasswordShown(const QLineEdit* field) {
    return field->echoMode() != QLineEdit::Password;
}

} // namespace Lib_Public

void Frm_Main::CommandPW_Click() {
    Lib_Public::Trap(QStringLiteral("Frm_Main:CommandPW_Click"), [this] {
        TextePW->setEchoMode(Lib_Public::PasswordShown(TextePW) ? QLineEdit::Password
                                                                : QLineEdit::Normal);
    });
}

void Frm_Main::TextePW_Change() {
    ParametresModifies = true;
}
