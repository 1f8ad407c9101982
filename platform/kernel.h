#pragma once

// Named kernel objects shared by the processes of one user: events, mutexes and
// fixed-size shared-memory blocks, as the add-in and the tray application use them to talk.
// Creating a name that exists opens the existing object (its kind and size stay as they
// were created). Names are scoped to the user, so two users of one machine never meet.
// Every object stays usable from any thread of the process that holds it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace calendar_mirrow_addin::platform {

// A wait without a time-out.
inline constexpr int32_t kWaitForever = -1;

class NamedEvent {
 public:
  // `manual_reset`: stays signalled until Reset; otherwise one released wait resets it.
  static std::unique_ptr<NamedEvent> Create(const std::string& name, bool manual_reset,
                                            std::string* error);
  virtual ~NamedEvent() = default;
  virtual bool Set() = 0;
  virtual bool Reset() = 0;
  // True when the event was signalled within `timeout_ms` (an auto-reset event is reset by
  // it); false on time-out or failure.
  virtual bool Wait(int32_t timeout_ms) = 0;
  // Whether Create opened an object that existed already.
  virtual bool existed() const = 0;
};

// Waits until one of `events` is signalled: the index of the first signalled in the order
// given (only that one is consumed when it is auto-reset), -1 on time-out, -2 on failure.
int WaitForAny(std::span<NamedEvent* const> events, int32_t timeout_ms);

class NamedMutex {
 public:
  static std::unique_ptr<NamedMutex> Create(const std::string& name, std::string* error);
  virtual ~NamedMutex() = default;
  enum class Lock {
    kAcquired,
    kAbandoned,  // acquired, but its last owner ended while holding it
    kTimeout,
    kFailed,
  };
  virtual Lock Acquire(int32_t timeout_ms) = 0;
  virtual void Release() = 0;
  virtual bool existed() const = 0;
};

// A block of shared memory of a fixed size, zero-filled when first created.
class SharedBlock {
 public:
  static std::unique_ptr<SharedBlock> Create(const std::string& name, size_t size,
                                             std::string* error);
  virtual ~SharedBlock() = default;
  virtual size_t size() const = 0;
  // The whole block, mapped for reading and writing while this object lives.
  virtual std::span<uint8_t> bytes() = 0;
  virtual bool existed() const = 0;
};

}  // namespace calendar_mirrow_addin::platform
