// The password field of the settings page (TextePW): masked with "*" from the start, shown
// in clear by the "Afficher" button (Frm_Main::CommandPW_Click) until clicked again.
#pragma once

class QLineEdit;

namespace Lib_Public {

// True while `field` shows its text in clear, false while it is masked. Never fails.
bool PasswordShown(const QLineEdit* field);

} // namespace Lib_Public
