#include "encoder/HookWords.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace corvane {
namespace {

struct HookWord {
  const char* lower;
  const char* canonical;
  bool TOutputOptions::*flag;
};

const std::array<HookWord, 6> kHookWords{{
    {" -audioinputhook ", " -AudioInputHook ", &TOutputOptions::AudioInputHook},
    {" -audiooutputhook ", " -AudioOutputHook ", &TOutputOptions::AudioOutputHook},
    {" -videoinputhook ", " -VideoInputHook ", &TOutputOptions::VideoInputHook},
    {" -videooutputhook ", " -VideoOutputHook ", &TOutputOptions::VideoOutputHook},
    {" -frameinputhook ", " -FrameInputHook ", &TOutputOptions::FrameInputHook},
    {" -frameoutputhook ", " -FrameOutputHook ", &TOutputOptions::FrameOutputHook},
}};

std::string lowered(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

}  // namespace

std::string NormaliseHookWords(const std::string& AOptions) {
  std::string text = " " + AOptions + " ";
  for (const HookWord& w : kHookWords) {
    const std::string word = w.lower;
    // Matches may share their blanks ("-a -a"): search the lowered text anew
    // after each replacement, from where the replacement's last blank is.
    std::size_t from = 0;
    for (;;) {
      const std::size_t at = lowered(text).find(word, from);
      if (at == std::string::npos) break;
      text.replace(at, word.size(), w.canonical);
      from = at + word.size() - 1;
    }
  }
  return trimmed(text);
}

TOutputOptions HookFlagsFromText(const std::string& AOptions) {
  TOutputOptions o;
  const std::string text = " " + lowered(AOptions) + " ";
  for (const HookWord& w : kHookWords) o.*w.flag = text.find(w.lower) != std::string::npos;
  return o;
}

}  // namespace corvane
