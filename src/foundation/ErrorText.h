// Error codes of the libraries and of the system in words, and the last option error.
#pragma once

#include <string>

namespace corvane {

// "Error number %d occurred" for a code not in the table; with a prefix,
// "prefix: text".
std::string error_text(int code);
std::string error_text(const std::string& prefix, int code);

// The last option error of the calling thread, in words.
std::string& last_error_text();
// Sets the text, or appends it after "\r\n" when one is already there.
void append_last_error(const std::string& text);

}  // namespace corvane
