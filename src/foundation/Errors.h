// Exception types for misuse of the components (failures are reported, not thrown).
#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

// A library set is not loaded, or a library call was refused.
class ELibraryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Misuse by the calling code; the message names the source unit and line.
class EAssertionFailed : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void assertionFailed(const char* message, const char* file, int line);

}  // namespace corvane

#define CORVANE_ASSERT(cond, message)                                       \
  do {                                                                      \
    if (!(cond)) ::corvane::assertionFailed((message), __FILE__, __LINE__); \
  } while (0)
