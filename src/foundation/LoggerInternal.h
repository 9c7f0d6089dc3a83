// Logger internals shared with its tests and benchmarks.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace corvane::logger_internal {

using AVLogCallback = void (*)(void* avcl, int level, const char* fmt, va_list vl);

// The callback that InstallAVLogCallback hands to the libraries.
AVLogCallback avLogCallback();

// The kernel's id of the calling thread, as shown in log lines.
std::uint32_t currentThreadId();

}  // namespace corvane::logger_internal
