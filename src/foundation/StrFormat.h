// printf-style formatting into std::string.
#pragma once

#include <cstdarg>
#include <string>

namespace corvane {

std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vstrprintf(const char* fmt, va_list args);

}  // namespace corvane
