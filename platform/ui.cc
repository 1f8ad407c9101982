#include "platform/ui.h"

#include <utility>

namespace calendar_mirrow_addin::platform {

namespace {

ProxyCredentialPrompt& InstalledPrompt() {
  static ProxyCredentialPrompt prompt;
  return prompt;
}

}  // namespace

void SetProxyCredentialPrompt(ProxyCredentialPrompt prompt) {
  InstalledPrompt() = std::move(prompt);
}

bool PromptProxyCredentials(const std::string& proxy, std::string* user, std::string* password) {
  const ProxyCredentialPrompt& prompt = InstalledPrompt();
  return prompt && prompt(proxy, user, password);
}

}  // namespace calendar_mirrow_addin::platform
