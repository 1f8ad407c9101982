#pragma once

#include <functional>
#include <string>

namespace calendar_mirrow_addin::platform {

// Asks the user for the credentials a proxy wants. Returns false when the user cancels.
// `proxy` names the proxy (host:port) for the prompt's text.
using ProxyCredentialPrompt =
    std::function<bool(const std::string& proxy, std::string* user, std::string* password)>;

// The host (the tray-application stand-in, or a test) installs the prompt; without one
// every request for credentials is cancelled, which is the safe answer.
void SetProxyCredentialPrompt(ProxyCredentialPrompt prompt);
bool PromptProxyCredentials(const std::string& proxy, std::string* user, std::string* password);

}  // namespace calendar_mirrow_addin::platform
