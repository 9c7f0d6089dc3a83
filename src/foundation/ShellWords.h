// Splits a line into words as a POSIX shell does, without expansions:
// blanks separate words, '...' keeps everything literally, "..." keeps
// everything but \" \\ \$ \` (the backslash escapes them), and a backslash
// outside quotes escapes the next character (a trailing one is kept).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The words, or nothing when a quote is left open. A line whose first
// non-blank character is '#' has no words.
std::optional<std::vector<std::string>> splitShellWords(const std::string& line);

}  // namespace corvane
