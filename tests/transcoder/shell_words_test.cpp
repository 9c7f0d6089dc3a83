#include <gtest/gtest.h>

#include "foundation/ShellWords.h"

using namespace corvane;

namespace {

using Words = std::vector<std::string>;

TEST(ShellWordsTest, SplitsLikeAShell) {
  struct Case {
    const char* line;
    Words words;
  };
  const Case cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"# a comment", {}},
      {"  # indented comment", {}},
      {"-i in.mp4 out.mkv", {"-i", "in.mp4", "out.mkv"}},
      {"  -i\tin.mp4   out.mkv  ", {"-i", "in.mp4", "out.mkv"}},
      {"-i 'my file.mp4' out", {"-i", "my file.mp4", "out"}},
      {"-i \"my file.mp4\" out", {"-i", "my file.mp4", "out"}},
      {"a\\ b c", {"a b", "c"}},
      {"'a\\b'", {"a\\b"}},
      {"\"a\\\"b\\\\c\\n\"", {"a\"b\\c\\n"}},
      {"x'y z'\"w\"", {"xy zw"}},
      {"'' \"\"", {"", ""}},
      {"a#b #c", {"a#b"}},
      {"-vf \"drawtext=text='it'\" -y", {"-vf", "drawtext=text='it'", "-y"}},
      {"end\\", {"end\\"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const auto got = splitShellWords(c.line);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, c.words);
  }
}

TEST(ShellWordsTest, AnOpenQuoteIsRefused) {
  for (const char* line : {"'abc", "a \"bc", "\"a\\\"", "'"}) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(splitShellWords(line).has_value());
  }
}

}  // namespace
