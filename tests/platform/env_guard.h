#pragma once

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

namespace calendar_mirrow_addin::testing {

// Sets an environment variable (null: unsets it) for a scope and restores it afterwards.
class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    Set(value);
  }
  ~EnvGuard() { Set(old_ ? old_->c_str() : nullptr); }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  void Set(const char* value) {
    value ? setenv(name_.c_str(), value, 1) : unsetenv(name_.c_str());
    tzset();
  }

  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace calendar_mirrow_addin::testing
