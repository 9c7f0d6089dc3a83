// Automatic stream selection and metadata specifiers as pure functions.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/codec_desc.h>
#include <libavutil/avutil.h>
}

#include "transcoder/OutputMetadata.h"
#include "transcoder/StreamSelection.h"

using namespace corvane;

namespace {

TStreamCandidate video(int w, int h, bool read = true, bool def = false, bool apic = false) {
  TStreamCandidate c;
  c.type = AVMEDIA_TYPE_VIDEO;
  c.width = w;
  c.height = h;
  c.new_packets = read;
  c.is_default = def;
  c.attached_pic = apic;
  return c;
}

TStreamCandidate audio(int channels, bool read = true, bool def = false) {
  TStreamCandidate c;
  c.type = AVMEDIA_TYPE_AUDIO;
  c.channels = channels;
  c.new_packets = read;
  c.is_default = def;
  return c;
}

TStreamCandidate subtitle(unsigned props, bool has_descriptor = true) {
  TStreamCandidate c;
  c.type = AVMEDIA_TYPE_SUBTITLE;
  c.codec_props = props;
  c.has_descriptor = has_descriptor;
  return c;
}

TEST(StreamSelection, VideoScores) {
  // The larger picture wins; the default disposition outweighs any size
  // difference below five million pixels, read packets outweigh both.
  EXPECT_EQ(BestVideoStream({video(640, 480), video(1920, 1080)}, false), 1);
  EXPECT_EQ(BestVideoStream({video(640, 480, true, true), video(1920, 1080)}, false), 0);
  EXPECT_EQ(BestVideoStream({video(640, 480), video(1920, 1080, false, true)}, false), 0);
  EXPECT_EQ(BestVideoStream({video(320, 240), video(320, 240)}, false), 0);  // first on ties
  // Cover art: a last resort, unless the muxer takes attached pictures.
  EXPECT_EQ(BestVideoStream({video(1000, 1000, true, false, true), video(16, 16)}, false), 1);
  EXPECT_EQ(BestVideoStream({video(16, 16), video(1000, 1000, true, false, true)}, true), 1);
  EXPECT_EQ(BestVideoStream({video(16, 16)}, true), -1);
  TStreamCandidate off = video(4000, 4000);
  off.disabled = true;
  EXPECT_EQ(BestVideoStream({off, video(16, 16)}, false), 1);
  EXPECT_EQ(BestVideoStream({audio(2)}, false), -1);
}

TEST(StreamSelection, AudioAndMixedInputs) {
  // 640x480 + default 1920x1080 video, stereo + 5.1 audio.
  const std::vector<TStreamCandidate> in = {video(640, 480), video(1920, 1080, true, true),
                                            audio(2), audio(6)};
  EXPECT_EQ(BestVideoStream(in, false), 1);
  EXPECT_EQ(BestAudioStream(in), 3);
  EXPECT_EQ(BestAudioStream({audio(6, false), audio(2)}), 1);
  EXPECT_EQ(BestAudioStream({audio(2), audio(1, true, true)}), 1);
}

TEST(StreamSelection, SubtitleAndData) {
  constexpr unsigned kText = AV_CODEC_PROP_TEXT_SUB, kBitmap = AV_CODEC_PROP_BITMAP_SUB;
  // A text encoder takes text subtitles, not bitmaps, unless a codec is named.
  EXPECT_EQ(FirstSubtitleStream({subtitle(kBitmap), subtitle(kText)}, false, true, kText), 1);
  EXPECT_EQ(FirstSubtitleStream({subtitle(kBitmap)}, false, true, kText), -1);
  EXPECT_EQ(FirstSubtitleStream({subtitle(kBitmap)}, true, false, 0), 0);
  // Descriptors without properties match anything; a missing one matches nothing.
  EXPECT_EQ(FirstSubtitleStream({subtitle(0)}, false, true, kText), 0);
  EXPECT_EQ(FirstSubtitleStream({subtitle(kText, false)}, false, true, kText), -1);

  TStreamCandidate d;
  d.type = AVMEDIA_TYPE_DATA;
  d.codec_id = 7;
  TStreamCandidate other = d;
  other.codec_id = 8;
  EXPECT_EQ(FirstDataStream({other, d}, 7), 1);
  EXPECT_EQ(FirstDataStream({other}, 7), -1);
}

TEST(MetaSpecifier, Forms) {
  struct Case {
    const char* text;
    char type;
    int index;
    const char* stream_spec;
  };
  const Case ok[] = {{"", 'g', 0, ""},         {"g", 'g', 0, ""},   {"s", 's', 0, ""},
                     {"s:v:0", 's', 0, "v:0"}, {"c:3", 'c', 3, ""}, {"p:0x10", 'p', 16, ""},
                     {"c", 'c', 0, ""}};
  for (const Case& c : ok) {
    TMetaSpecifier m;
    std::string why;
    ASSERT_TRUE(ParseMetaSpecifier(c.text, m, why)) << c.text;
    EXPECT_EQ(m.type, c.type) << c.text;
    EXPECT_EQ(m.index, c.index) << c.text;
    EXPECT_EQ(m.stream_spec, c.stream_spec) << c.text;
  }
  TMetaSpecifier m;
  std::string why;
  EXPECT_FALSE(ParseMetaSpecifier("sv", m, why));
  EXPECT_EQ(why, "Invalid metadata specifier sv.");
  EXPECT_FALSE(ParseMetaSpecifier("x", m, why));
  EXPECT_EQ(why, "Invalid metadata type x.");
}

}  // namespace
