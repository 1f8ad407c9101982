#pragma once

#include <span>
#include <string>
#include <string_view>

#include "addin/tray_link.h"
#include "platform/kernel.h"

namespace calendar_mirrow_addin {

// The link to the tray application over the named objects the library load creates: the
// status and message blocks with their mutexes, the message event and the stop event.
// Each block holds one UTF-16 text with its terminating zero at offset 0, the form the
// tray application reads on every system.
class SharedTrayLink : public TrayLink {
 public:
  // All borrowed; any may be null (not created), which makes its part do nothing.
  struct Objects {
    platform::NamedMutex* status_mutex = nullptr;
    platform::SharedBlock* status_block = nullptr;
    platform::NamedMutex* message_mutex = nullptr;
    platform::SharedBlock* message_block = nullptr;
    platform::NamedEvent* message_event = nullptr;
    platform::NamedEvent* stop_event = nullptr;
  };

  explicit SharedTrayLink(const Objects& objects) : objects_(objects) {}

  // Puts the text in the message block and sets the message event (a dropped text too).
  void PostTrayMessage(const std::wstring& text) override;
  // Puts the text in the status block; no event.
  void SetTrayStatus(const std::wstring& text) override;
  // Whether the tray application has set the stop event (it stays set: manual reset).
  bool IsStopRequested() override;
  // The string-table text of `id`; empty for an id the table does not hold.
  std::wstring LoadResourceString(int id);

 private:
  Objects objects_;
};

// The text as UTF-16: characters outside the basic plane become surrogate pairs; values
// that are no character (lone surrogates, beyond U+10FFFF) become U+FFFD.
std::u16string ToUtf16(std::wstring_view text);

// Writes the text with its terminating zero at offset 0 of the block, holding the mutex.
// A text that does not fit whole is dropped, so a reader never sees a cut text or half a
// surrogate pair. An abandoned mutex (its holder died) is taken over and the write goes
// on: the block holds a text that is replaced whole. False when nothing was written.
bool WriteBlockText(platform::NamedMutex* mutex, platform::SharedBlock* block,
                    std::wstring_view text);

// The text of a block as the tray application reads it: UTF-16 up to the first zero (or
// the end of the block), surrogate pairs joined, lone surrogates as U+FFFD.
std::wstring ReadBlockText(std::span<const uint8_t> bytes);

}  // namespace calendar_mirrow_addin
