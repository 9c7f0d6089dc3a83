#include "foundation/StrFormat.h"

#include <cstdio>

#include "foundation/Errors.h"

namespace corvane {

std::string vstrprintf(const char* fmt, va_list args) {
  va_list probe;
  va_copy(probe, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, probe);
  va_end(probe);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  va_list again;
  va_copy(again, args);
  std::vsnprintf(out.data(), out.size() + 1, fmt, again);
  va_end(again);
  return out;
}

std::string strprintf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = vstrprintf(fmt, args);
  va_end(args);
  return s;
}

void assertionFailed(const char* message, const char* file, int line) {
  // Report the path from the source root, e.g. src/foundation/FFLoader.cpp.
  std::string unit = file;
  if (auto pos = unit.rfind("/src/"); pos != std::string::npos) unit = unit.substr(pos + 1);
  throw EAssertionFailed(strprintf("%s (%s, line %d)", message, unit.c_str(), line));
}

}  // namespace corvane
