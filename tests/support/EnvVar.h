// Sets an environment variable (unsets it for a null value) for a scope and
// puts the old value back afterwards.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : FName(name) {
    if (const char* d = std::getenv(name)) FSaved = d;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~EnvVar() {
    if (FSaved)
      ::setenv(FName, FSaved->c_str(), 1);
    else
      ::unsetenv(FName);
  }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  const char* FName;
  std::optional<std::string> FSaved;
};
