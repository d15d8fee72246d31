#pragma once
// Sets an environment variable for a test and puts back what was there (or
// removes it again) when the guard goes.

#include <cstdlib>
#include <optional>
#include <string>

namespace halvern::test {

class EnvGuard {
 public:
  // Only remembers the variable; Set changes it.
  explicit EnvGuard(const char* name) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
  }
  // Remembers the variable and sets it to `value` (nullptr removes it).
  EnvGuard(const char* name, const char* value) : EnvGuard(name) { Set(value); }
  ~EnvGuard() { Set(old_ ? old_->c_str() : nullptr); }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

  void Set(const char* value) {
    if (value) {
      ::setenv(name_, value, 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace halvern::test
