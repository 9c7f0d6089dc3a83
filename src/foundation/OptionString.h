// Splitting an option string written in command-line form into arguments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Blanks (space, tab) outside double quotes separate arguments. 2n backslashes
// before a quote give n backslashes and the quote toggles quoting; 2n+1 give n
// backslashes and a literal quote; other backslashes are literal. Inside
// quotes, "" gives one quote and ends quoting. Single quotes are literal.
std::vector<std::string> split_option_string(std::string_view text);

}  // namespace corvane
