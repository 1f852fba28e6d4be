// The OAuth 2.0 login a send takes from the settings page. Declared here for the sending code;
// defined with the OAuth 2.0 settings window (app/oauth_panel.cpp), a layer above it.
#pragma once

#include "mail/oauth/oauth.h"

#include <memory>

class Frm_Main;

namespace OAuthPanel {

// The OAuth 2.0 login of the settings page when authentication is on and OAuth 2.0 is the
// method; null otherwise.
std::shared_ptr<const mail::oauth::Login> LoginFromSettings(const Frm_Main& main);

} // namespace OAuthPanel
