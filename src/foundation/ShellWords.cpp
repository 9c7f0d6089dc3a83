#include "foundation/ShellWords.h"

#include <cstring>

namespace corvane {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::optional<std::vector<std::string>> splitShellWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  const std::size_t n = line.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = line[i];
    if (isBlank(c)) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    if (c == '#' && !in_word) break;  // a comment runs to the end of the line
    in_word = true;
    if (c == '\\') {
      if (i + 1 < n)
        word += line[++i];
      else
        word += c;
    } else if (c == '\'') {
      const std::size_t end = line.find('\'', i + 1);
      if (end == std::string::npos) return std::nullopt;
      word.append(line, i + 1, end - i - 1);
      i = end;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i >= n) return std::nullopt;
        if (line[i] == '"') break;
        if (line[i] == '\\' && i + 1 < n && std::strchr("\"\\$`", line[i + 1])) ++i;
        word += line[i];
      }
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

}  // namespace corvane
