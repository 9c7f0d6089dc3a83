#include "FormText.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <vector>

namespace corvane::app {
namespace {

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = s.find(sep);
    parts.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return parts;
    s.remove_prefix(at + 1);
  }
}

std::string mapCase(std::string_view s, int (*f)(int)) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(f(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

std::string PositionText(std::int64_t APTS) {
  if (APTS < 0) return "N/A";
  const std::int64_t s = APTS / 1000000;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2" PRId64 ":%.2d:%.2d.%.3d", s / 3600,
                static_cast<int>(s / 60 % 60), static_cast<int>(s % 60),
                static_cast<int>(APTS % 1000000 / 1000));
  return buf;
}

std::string NameFilters(std::string_view AFilter) {
  const std::vector<std::string_view> parts = split(AFilter, '|');
  std::string out;
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
    std::vector<std::string> patterns;
    const auto add = [&patterns](std::string p) {
      for (const std::string& q : patterns)
        if (q == p) return;
      patterns.push_back(std::move(p));
    };
    for (std::string_view p : split(parts[i + 1], ';')) {
      if (p.empty()) continue;
      if (p == "*.*") {
        add("*");
        continue;
      }
      add(std::string(p));
      add(mapCase(p, ::tolower));
      add(mapCase(p, ::toupper));
    }
    if (patterns.empty()) continue;
    if (!out.empty()) out += ";;";
    out += parts[i];
    out += " (";
    for (std::size_t k = 0; k < patterns.size(); ++k) {
      if (k) out += ' ';
      out += patterns[k];
    }
    out += ')';
  }
  return out;
}

}  // namespace corvane::app
