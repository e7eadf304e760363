// Test support: an environment variable set or unset for a scope, restored
// at its end. Not thread-safe (the environment is process-wide): use it
// while the test's own threads do not read the environment.
#pragma once

#include <stdlib.h>

#include <string>

namespace envtest {

class scoped_env {
 public:
  // `value` null unsets the variable.
  scoped_env(const char* name, const char* value) : _name(name) {
    if (const char* old = ::getenv(name)) _old = old, _had = true;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~scoped_env() { _had ? ::setenv(_name, _old.c_str(), 1) : ::unsetenv(_name); }
  scoped_env(const scoped_env&) = delete;
  scoped_env& operator=(const scoped_env&) = delete;

 private:
  const char* _name;
  std::string _old;
  bool _had = false;
};

}  // namespace envtest
