// Strict, locale-independent conversion of option values.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane {

// An option value or a helper's argument that cannot be used.
class EOptionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The whole text must be the number: decimal with an optional sign, or
// hexadecimal after "0x". Nothing else is accepted, whatever the locale.
std::optional<std::int64_t> strict_int64(std::string_view text);
std::optional<int> strict_int(std::string_view text);
// Decimal fractions with '.', exponents, "inf" and "nan".
std::optional<double> strict_double(std::string_view text);

// Each raises EOptionError with the option's name and the text.
int parse_int_or_raise(const std::string& name, const std::string& text);
std::int64_t parse_int64_or_raise(const std::string& name, const std::string& text);
float parse_float_or_raise(const std::string& name, const std::string& text);
double parse_double_or_raise(const std::string& name, const std::string& text);
// Microseconds; a duration when is_duration is set, else a date.
std::int64_t parse_time_or_raise(const std::string& name, const std::string& text,
                                 bool is_duration);

// Shortest text that reads back as the same value, with '.' as decimal point.
std::string c_number(double value);
// The value with `decimals` digits after '.', as printf's %f writes it in the C locale.
std::string c_fixed(double value, int decimals = 6);

}  // namespace corvane
