#include "foundation/OptionValues.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "foundation/StrFormat.h"
#include "foundation/api/avutil.h"

namespace corvane {

std::optional<std::int64_t> strict_int64(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  // A second sign is not accepted.
  if (text.empty() || text[0] == '+' || text[0] == '-') return std::nullopt;
  std::uint64_t magnitude = 0;
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, magnitude, base);
  if (ec != std::errc() || p != end) return std::nullopt;
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (negative) {
    if (magnitude > kMax + 1) return std::nullopt;
    return magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min()
                                 : -static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > kMax) return std::nullopt;
  return static_cast<std::int64_t>(magnitude);
}

std::optional<int> strict_int(std::string_view text) {
  const auto v = strict_int64(text);
  if (!v || *v < std::numeric_limits<int>::min() || *v > std::numeric_limits<int>::max())
    return std::nullopt;
  return static_cast<int>(*v);
}

std::optional<double> strict_double(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty() || text[0] == '+') return std::nullopt;
  double v = 0;
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || p != end) return std::nullopt;
  return v;
}

int parse_int_or_raise(const std::string& name, const std::string& text) {
  const auto v = strict_int(text);
  if (!v)
    throw EOptionError(
        strprintf("Expected integer for \"%s\" but found \"%s\"", name.c_str(), text.c_str()));
  return *v;
}

std::int64_t parse_int64_or_raise(const std::string& name, const std::string& text) {
  const auto v = strict_int64(text);
  if (!v)
    throw EOptionError(
        strprintf("Expected int64 for \"%s\" but found \"%s\"", name.c_str(), text.c_str()));
  return *v;
}

float parse_float_or_raise(const std::string& name, const std::string& text) {
  const auto v = strict_double(text);
  if (!v || (std::isfinite(*v) && std::fabs(*v) > std::numeric_limits<float>::max()))
    throw EOptionError(
        strprintf("Expected float for \"%s\" but found \"%s\"", name.c_str(), text.c_str()));
  return static_cast<float>(*v);
}

double parse_double_or_raise(const std::string& name, const std::string& text) {
  const auto v = strict_double(text);
  if (!v)
    throw EOptionError(
        strprintf("Expected double for \"%s\" but found \"%s\"", name.c_str(), text.c_str()));
  return *v;
}

std::int64_t parse_time_or_raise(const std::string& name, const std::string& text,
                                 bool is_duration) {
  std::int64_t us = 0;
  if (ff::av_parse_time(&us, text.c_str(), is_duration ? 1 : 0) < 0)
    throw EOptionError(strprintf("Invalid %s specification for \"%s\": \"%s\"",
                                 is_duration ? "duration" : "date", name.c_str(), text.c_str()));
  return us;
}

std::string c_number(double value) {
  char buf[64];
  const auto [p, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return ec == std::errc() ? std::string(buf, p) : std::string("nan");
}

std::string c_fixed(double value, int decimals) {
  char buf[512];
  const auto [p, ec] =
      std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  return ec == std::errc() ? std::string(buf, p) : std::string("nan");
}

}  // namespace corvane
