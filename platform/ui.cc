#include "platform/ui.h"

#include <mutex>
#include <utility>

namespace calendar_mirrow_addin::platform {

namespace {

// The handlers are installed by the host's thread and called on the sync worker's, so
// each is copied out under the lock and called outside it (a handler may install another).
std::mutex& HandlerMutex() {
  static std::mutex mutex;
  return mutex;
}

ProxyCredentialPrompt& InstalledPrompt() {
  static ProxyCredentialPrompt prompt;
  return prompt;
}

MessageBoxHandler& InstalledMessageBoxHandler() {
  static MessageBoxHandler handler;
  return handler;
}

template <typename Handler>
Handler CopyOf(const Handler& handler) {
  std::lock_guard lock(HandlerMutex());
  return handler;
}

}  // namespace

void SetProxyCredentialPrompt(ProxyCredentialPrompt prompt) {
  std::lock_guard lock(HandlerMutex());
  InstalledPrompt() = std::move(prompt);
}

bool PromptProxyCredentials(const std::string& proxy, std::string* user, std::string* password) {
  const ProxyCredentialPrompt prompt = CopyOf(InstalledPrompt());
  return prompt && prompt(proxy, user, password);
}

void SetMessageBoxHandler(MessageBoxHandler handler) {
  std::lock_guard lock(HandlerMutex());
  InstalledMessageBoxHandler() = std::move(handler);
}

MessageBoxAnswer ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                                MessageBoxButtons buttons) {
  const MessageBoxHandler handler = CopyOf(InstalledMessageBoxHandler());
  if (buttons == MessageBoxButtons::kOk) {
    if (handler) handler(text, caption, buttons);
    return MessageBoxAnswer::kOk;
  }
  const MessageBoxAnswer answer = handler ? handler(text, caption, buttons) : MessageBoxAnswer::kNo;
  return answer == MessageBoxAnswer::kYes ? MessageBoxAnswer::kYes : MessageBoxAnswer::kNo;
}

}  // namespace calendar_mirrow_addin::platform
