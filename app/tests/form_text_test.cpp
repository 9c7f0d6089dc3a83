#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>
#include <vector>

#include "FormText.h"

extern "C" {
#include <libavutil/avutil.h>
}

using namespace corvane::app;

TEST(PositionTextTest, FormatsMicroseconds) {
  const struct {
    std::int64_t pts;
    const char* text;
  } cases[] = {
      {3723004000, "01:02:03.004"},    {0, "00:00:00.000"},
      {999, "00:00:00.000"},           {1000, "00:00:00.001"},
      {999999, "00:00:00.999"},        {59999999, "00:00:59.999"},
      {60000000, "00:01:00.000"},      {3599999999, "00:59:59.999"},
      {360000000000, "100:00:00.000"}, {-1, "N/A"},
      {AV_NOPTS_VALUE, "N/A"},
  };
  for (const auto& c : cases) EXPECT_EQ(PositionText(c.pts), c.text) << c.pts;
}

TEST(NameFiltersTest, ConvertsDescriptionsAndPatterns) {
  const struct {
    const char* filter;
    const char* expected;
  } cases[] = {
      {"Pictures|*.BMP;*.PNG;|All Files|*.*", "Pictures (*.BMP *.bmp *.PNG *.png);;All Files (*)"},
      {"Mixed|*.Mp4", "Mixed (*.Mp4 *.mp4 *.MP4)"},
      {"Lower|*.txt;*.TXT", "Lower (*.txt *.TXT)"},
      {"Nothing|;;|Text|*.txt;", "Text (*.txt *.TXT)"},
      {"Dangling description", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(NameFilters(c.filter), c.expected) << c.filter;
}

namespace {

// Whether a Qt name filter entry matches a file name, case-sensitively as a
// native dialog matches.
bool entryMatches(const QString& entry, const QString& fileName) {
  const qsizetype open = entry.lastIndexOf('('), close = entry.lastIndexOf(')');
  const QStringList patterns = entry.mid(open + 1, close - open - 1).split(' ', Qt::SkipEmptyParts);
  for (const QString& p : patterns) {
    const QRegularExpression re(QRegularExpression::wildcardToRegularExpression(p));
    if (re.match(fileName).hasMatch()) return true;
  }
  return false;
}

}  // namespace

TEST(NameFiltersTest, OpenDialogFilterMatchesEitherCase) {
  const QStringList entries = QString::fromStdString(NameFilters(kOpenFilter)).split(";;");
  ASSERT_EQ(entries.size(), 5);
  const QStringList names{"Video/Audio/Picture Files", "Video Files", "Audio Files",
                          "Picture Files", "All Files"};
  for (int i = 0; i < names.size(); ++i)
    EXPECT_TRUE(entries[i].startsWith(names[i] + " (")) << entries[i].toStdString();

  // Matches per entry, in the order above.
  const struct {
    const char* file;
    std::vector<bool> matches;
  } cases[] = {
      {"clip.mp4", {true, true, false, false, true}},
      {"CLIP.MKV", {true, true, false, false, true}},
      {"tune.flac", {true, false, true, false, true}},
      {"TUNE.WAV", {true, false, true, false, true}},
      {"photo.jpg", {true, false, false, true, true}},
      {"notes.txt", {false, false, false, false, true}},
      {"README", {false, false, false, false, true}},
  };
  for (const auto& c : cases)
    for (int i = 0; i < entries.size(); ++i)
      EXPECT_EQ(entryMatches(entries[i], c.file), c.matches[i]) << c.file << " in " << i;
}
