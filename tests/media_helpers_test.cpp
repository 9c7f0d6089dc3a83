#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "foundation/FFLoader.h"
#include "foundation/FileNames.h"
#include "foundation/Logger.h"
#include "foundation/MediaText.h"
#include "foundation/StreamOptions.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avformat.h"

using namespace corvane;
using ::testing::HasSubstr;

namespace {

TEST(MediaText, Durations) {
  EXPECT_EQ(duration_text(1234567), "00:00:01.239");
  EXPECT_EQ(duration_text(AV_NOPTS_VALUE), "N/A");
  EXPECT_EQ(duration_text(0), "00:00:00.005");
  EXPECT_EQ(duration_text(3723995000LL), "01:02:04.000");
  EXPECT_EQ(duration_text(400LL * 3600 * 1000000), "400:00:00.005");
  EXPECT_EQ(frame_duration_us({25, 1}), 40000);
  EXPECT_EQ(frame_duration_us({30000, 1001}), 33366);
  EXPECT_EQ(frame_duration_us({0, 1}), 40000);
  EXPECT_EQ(frame_duration_us({25, 0}), 40000);
}

TEST(MediaText, NamesAndPadding) {
  EXPECT_EQ(media_type_name(AVMEDIA_TYPE_VIDEO), "Video");
  EXPECT_EQ(media_type_name(AVMEDIA_TYPE_ATTACHMENT), "Attachment");
  EXPECT_EQ(media_type_name(AVMEDIA_TYPE_UNKNOWN), "Unknown");
  EXPECT_EQ(picture_type_name(AV_PICTURE_TYPE_B), "Bi-dir predicted");
  EXPECT_EQ(picture_type_name(AV_PICTURE_TYPE_BI), "BI type");
  EXPECT_EQ(picture_type_name(0), "Unknown");
  EXPECT_EQ(pad_text("ab", 4, true), "ab  ");
  EXPECT_EQ(pad_text("ab", 4, false), "  ab");
  EXPECT_EQ(pad_text("abcdef", 4, true), "abcdef");
  EXPECT_EQ(pad_text("\xc3\xa9t\xc3\xa9", 4, true), "\xc3\xa9t\xc3\xa9 ");
  EXPECT_EQ(median3(3, 1, 2), 2);
  EXPECT_EQ(median3(1, 2, 3), 2);
  EXPECT_EQ(median3(2, 3, 1), 2);
  EXPECT_EQ(median3(5, 5, 1), 5);
}

// Runs fn with TZ set to zone, then restores it.
template <class F>
void inZone(const char* zone, F fn) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", zone, 1);
  tzset();
  fn();
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(MediaText, TimeZonesEastOfUtcArePositive) {
  const std::time_t winter = 1736942400;  // 2025-01-15 12:00 UTC
  const std::time_t summer = 1752580800;  // 2025-07-15 12:00 UTC
  inZone("Europe/Berlin", [&] {
    EXPECT_EQ(time_zone_text(winter), "UTC+01:00");
    EXPECT_EQ(time_zone_text(summer), "UTC+02:00");
    EXPECT_DOUBLE_EQ(unix_to_local_datetime(winter), 45672.5 + 1.0 / 24);
  });
  inZone("America/St_Johns", [&] { EXPECT_EQ(time_zone_text(winter), "UTC-03:30"); });
  inZone("UTC", [&] {
    EXPECT_EQ(time_zone_text(winter), "UTC");
    EXPECT_DOUBLE_EQ(unix_to_local_datetime(0), 25569.0);
  });
}

TEST(FileNames, ImageNamesAndLongNames) {
  EXPECT_TRUE(guess_image_codec("frame%03d.PNG"));
  EXPECT_TRUE(guess_image_codec("a.b/shot.jpeg"));
  EXPECT_FALSE(guess_image_codec("clip.mp4"));
  EXPECT_FALSE(guess_image_codec("png"));
  const std::string longName = "/tmp/" + std::string(5000, 'x') + ".mkv";
  EXPECT_EQ(to_library_file_name(longName), longName);
  EXPECT_EQ(from_library_file_name("\xc3\xa9.mkv"), "\xc3\xa9.mkv");
}

TEST(StreamOptions, EnlargeArray) {
  struct Sixteen {
    std::int64_t a = 7, b = 7;
  };
  std::vector<Sixteen> v;
  enlarge_array(v, 3);
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[2].b, 7);
  enlarge_array(v, 1);
  EXPECT_EQ(v.size(), 3u);
  EXPECT_THROW(enlarge_array(v, 134217727), EOptionError);
  EXPECT_THROW(enlarge_array(v, -1), EOptionError);
  EXPECT_EQ(v.size(), 3u);
}

// An mp4 output context with a video and an audio stream, and a stream with
// a display matrix.
class StreamOptionsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(kEncoderLibraries)) << FFLoader().LastErrMsg();
  }
  void SetUp() override {
    ASSERT_GE(ff::avformat_alloc_output_context2(&ctx_, nullptr, "mp4", nullptr), 0);
    video_ = ff::avformat_new_stream(ctx_, nullptr);
    video_->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    video_->codecpar->codec_id = AV_CODEC_ID_MPEG4;
    audio_ = ff::avformat_new_stream(ctx_, nullptr);
    audio_->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    audio_->codecpar->codec_id = AV_CODEC_ID_AAC;
  }
  void TearDown() override { ff::avformat_free_context(ctx_); }

  // Sets a display matrix for a picture to be turned clockwise by degrees
  // (av_display_rotation_get then gives -degrees).
  void rotate(AVStream* st, double degrees) {
    auto* m = reinterpret_cast<std::int32_t*>(
        ff::av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t)));
    ASSERT_NE(m, nullptr);
    ff::av_display_rotation_set(m, degrees);
  }

  AVFormatContext* ctx_ = nullptr;
  AVStream* video_ = nullptr;
  AVStream* audio_ = nullptr;
};

TEST_F(StreamOptionsTest, CodecOptionsPerStream) {
  TDictionary opts;
  opts.set("b:v", "1M");
  opts.set("b:a", "128k");
  opts.set("g", "12");
  opts.set("vtag", "xvid");
  opts.set("ar:1", "44100");

  const TDictionary v = filter_codec_options(opts, AV_CODEC_ID_MPEG4, ctx_, video_, nullptr);
  EXPECT_STREQ(v.find("b"), "1M");
  EXPECT_STREQ(v.find("g"), "12");
  EXPECT_FALSE(v.contains("b:v"));
  EXPECT_FALSE(v.contains("ar"));

  const TDictionary a = filter_codec_options(opts, AV_CODEC_ID_AAC, ctx_, audio_, nullptr);
  EXPECT_STREQ(a.find("b"), "128k");
  EXPECT_STREQ(a.find("ar"), "44100");
  EXPECT_FALSE(a.contains("g"));

  opts.set("b:zz", "1");
  EXPECT_THROW(filter_codec_options(opts, AV_CODEC_ID_MPEG4, ctx_, video_, nullptr), EOptionError);
  EXPECT_EQ(check_stream_specifier(ctx_, video_, "v"), 1);
  EXPECT_EQ(check_stream_specifier(ctx_, video_, "a"), 0);
  EXPECT_LT(check_stream_specifier(ctx_, video_, "zz"), 0);
  opts.erase("b:zz");

  const std::vector<TDictionary> info = stream_info_options(ctx_, opts);
  ASSERT_EQ(info.size(), 2u);
  EXPECT_STREQ(info[1].find("b"), "128k");
}

TEST_F(StreamOptionsTest, Rotation) {
  EXPECT_EQ(stream_rotation(video_), 0.0);
  rotate(video_, 90);
  EXPECT_NEAR(stream_rotation(video_), 90.0, 1e-6);
  rotate(audio_, 270);
  EXPECT_NEAR(stream_rotation(audio_), 270.0, 1e-6);

  std::vector<std::string> lines;
  TFFLogger logger;
  logger.SetSynchronous(true);
  logger.SetOnLog(
      [&](TObject*, std::uint32_t, TLogLevel, const std::string& line) { lines.push_back(line); });
  AVStream* odd = ff::avformat_new_stream(ctx_, nullptr);
  rotate(odd, -45);  // the matrix gives 45 degrees
  EXPECT_NEAR(stream_rotation(odd), 315.0, 1e-6);
  EXPECT_THAT(::testing::PrintToString(lines), HasSubstr("Odd rotation angle."));
}

TEST_F(StreamOptionsTest, CodecNames) {
  AVCodecContext* c = ff::avcodec_alloc_context3(nullptr);
  EXPECT_EQ(codec_display_name(c, false, true), "none");
  c->codec_id = AV_CODEC_ID_PCM_S16LE;
  EXPECT_EQ(codec_display_name(c, false, false), "pcm_s16le");
  EXPECT_EQ(codec_display_name(c, true, true), "pcm_s16le(PCM signed 16-bit little-endian)");
  ff::avcodec_free_context(&c);
}

}  // namespace
