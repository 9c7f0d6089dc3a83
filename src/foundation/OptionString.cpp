#include "foundation/OptionString.h"

namespace corvane {

std::vector<std::string> split_option_string(std::string_view text) {
  std::vector<std::string> args;
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (true) {
    while (i < n && blank(text[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || !blank(text[i]))) {
      const char c = text[i];
      if (c == '\\') {
        std::size_t run = 0;
        while (i < n && text[i] == '\\') ++run, ++i;
        if (i < n && text[i] == '"') {
          arg.append(run / 2, '\\');
          if (run % 2 == 1) {
            arg += '"';
            ++i;
          }
          // An even run leaves the quote to toggle quoting below.
        } else {
          arg.append(run, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && text[i + 1] == '"') {
          arg += '"';
          i += 2;
          quoted = false;
        } else {
          quoted = !quoted;
          ++i;
        }
        continue;
      }
      arg += c;
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace corvane
