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

 private:
  void Set(const char* value) {
    value ? setenv(name_.c_str(), value, 1) : unsetenv(name_.c_str());
    tzset();  // a new TZ applies at once
  }

  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace calendar_mirrow_addin::testing
