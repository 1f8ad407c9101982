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

// A task-modal message box without owner. On Windows the host's handler shows the system's
// box; on Linux the host (or a test) answers it.
enum class MessageBoxButtons { kOk, kYesNo };
enum class MessageBoxAnswer { kOk, kYes, kNo };

using MessageBoxHandler = std::function<MessageBoxAnswer(
    const std::wstring& text, const std::wstring& caption, MessageBoxButtons buttons)>;

// Installs (or, with an empty function, removes) the handler; safe to call while another
// thread shows a box.
void SetMessageBoxHandler(MessageBoxHandler handler);

// Shows the box and returns the user's answer. Without a handler the answer is the safe
// one: kNo for a question, kOk for a notice. An answer that does not belong to the buttons
// shown counts as that safe answer too, so that a careless handler can never say Yes.
MessageBoxAnswer ShowMessageBox(const std::wstring& text, const std::wstring& caption,
                                MessageBoxButtons buttons);

}  // namespace calendar_mirrow_addin::platform
