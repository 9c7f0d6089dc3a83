// The probe and decoder component on generated media.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <vector>

#include "decoder/VUZezevud.h"
#include "foundation/FFLoader.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
namespace media = corvane::testmedia;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

class DecoderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(TCustomDecoder::LibrarySet)) << FFLoader().LastErrMsg();
  }
  // The frame number a numbered picture shows (its luma is twice the number).
  static int frameNumber(const TFrameInfo& f) {
    const std::uint8_t* row = f.Picture.data[0] + f.Picture.linesize[0] * (f.Height / 2);
    return (row[f.Width / 2] + 1) / 2;
  }
  static int ptsFrame(const TFrameInfo& f) {
    return static_cast<int>(std::llround(static_cast<double>(f.PTS) / 40000.0));
  }
  TVUZezevud dec_;
};

TEST_F(DecoderTest, StreamRecordsMatchWhatWasWritten) {
  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::Mp4H264Aac))) << dec_.LastErrMsg();
  EXPECT_EQ(dec_.FormatName(), "mov,mp4,m4a,3gp,3g2,mj2");
  EXPECT_EQ(dec_.StreamCount(), 2);
  EXPECT_EQ(dec_.VideoStreamCount(), 1);
  EXPECT_EQ(dec_.AudioStreamCount(), 1);
  EXPECT_EQ(dec_.SubtitleStreamCount(), 0);
  EXPECT_GT(dec_.FileSize(), 0);
  const TVideoStreamInfo v = dec_.FirstVideoStreamInfo();
  EXPECT_EQ(v.Width, media::kWidth);
  EXPECT_EQ(v.Height, media::kHeight);
  EXPECT_EQ(v.FrameRate.num, media::kFps);
  EXPECT_EQ(v.FrameRate.den, 1);
  EXPECT_THAT(v.CodecName, StartsWith(media::haveH264Encoder() ? "h264(" : "mpeg4("));
  EXPECT_NEAR(v.DurationScaled, media::mp4::kSeconds * 1000000, 100000);
  const TAudioStreamInfo a = dec_.FirstAudioStreamInfo();
  EXPECT_EQ(a.SampleRate, media::kSampleRate);
  EXPECT_EQ(a.Channels, media::kChannels);
  EXPECT_EQ(a.CodecName, "aac(AAC (Advanced Audio Coding))");
  dec_.SetGetLongCodecName(false);
  EXPECT_EQ(dec_.FirstAudioStreamInfo().CodecName, "aac");
  EXPECT_NEAR(dec_.FileStreamInfo().Duration, media::mp4::kSeconds * 1000000, 100000);

  // Wrong kinds and indexes.
  dec_.GetSubtitleStreamInfos(-1);
  EXPECT_EQ(dec_.LastErrMsg(), "no subtitle stream.");
  dec_.GetAudioStreamInfos(2);
  EXPECT_EQ(dec_.LastErrMsg(), "stream index #2 is invalid.");
  EXPECT_EQ(dec_.GetVideoStreamInfos(1).Width, -1);
  EXPECT_EQ(dec_.LastErrMsg(), "stream #1 is not video stream.");
  dec_.GetProgrames(0);
  EXPECT_EQ(dec_.LastErrMsg(), "no program found.");

  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::MkvMpeg4VorbisSrt))) << dec_.LastErrMsg();
  EXPECT_EQ(dec_.FormatName(), "matroska,webm");
  EXPECT_EQ(dec_.FirstSubtitleStreamInfo().SubFormat, 1);
  EXPECT_THAT(dec_.FirstAudioStreamInfo().CodecName, StartsWith("vorbis"));

  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::TsTwoPrograms))) << dec_.LastErrMsg();
  ASSERT_EQ(dec_.ProgramCount(), 2);
  EXPECT_EQ(dec_.GetProgrames(1).id, media::ts::kPrograms[1].id);
  EXPECT_EQ(dec_.GetProgrames(1).nb_stream_indexes(), 2u);
  dec_.GetProgrames(2);
  EXPECT_EQ(dec_.LastErrMsg(), "program index #2 is invalid.");

  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::Wav))) << dec_.LastErrMsg();
  EXPECT_EQ(dec_.FirstVideoStreamInfo().Width, -1);
  EXPECT_EQ(dec_.LastErrMsg(), "no video stream.");

  dec_.CloseFile();
  EXPECT_EQ(dec_.StreamCount(), -1);
  EXPECT_EQ(dec_.FileInfoText(), "");
  EXPECT_EQ(dec_.LastErrMsg(), "file not loaded.");
  EXPECT_EQ(dec_.FileStreamInfo().Duration, -1);
}

TEST_F(DecoderTest, BadInputsFailWithTheirTexts) {
  const std::string missing = "/nonexistent/dir/clip.mp4";
  EXPECT_FALSE(dec_.LoadFile(missing));
  EXPECT_EQ(dec_.LastErrMsg(), missing + ": No such file or directory");
  EXPECT_EQ(dec_.StreamCount(), -1);

  for (media::Kind k : {media::Kind::RandomBytesMp4, media::Kind::EmptyMkv}) {
    const std::string path = media::ensure(k);
    EXPECT_FALSE(dec_.LoadFile(path));
    EXPECT_EQ(dec_.LastErrMsg(), path + ": Invalid data found when processing input");
    EXPECT_EQ(dec_.FileHandle(), nullptr);
  }
  EXPECT_FALSE(dec_.LoadFile(media::ensure(media::Kind::Wav), "nosuchformat"));
  EXPECT_EQ(dec_.LastErrMsg(), "Unknown input format: nosuchformat");

  // A truncated file opens and ends early but cleanly.
  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::TruncatedMp4))) << dec_.LastErrMsg();
  int frames = 0;
  while (dec_.Decode() && frames < 1000) ++frames;
  EXPECT_GT(frames, 0);
  EXPECT_LT(frames, media::mp4::kSeconds * media::kFps);
  EXPECT_TRUE(dec_.Eof());

  TVUZezevud fresh;
  Bitmap bmp;
  ASSERT_TRUE(fresh.LoadFile(media::ensure(media::Kind::Numbered)));
  EXPECT_FALSE(fresh.CopyToBitmap(bmp));
  EXPECT_EQ(fresh.LastErrMsg(), "picture not ready, please decode first");
  EXPECT_EQ(fresh.GetBitmapPtr(), nullptr);
}

TEST_F(DecoderTest, SeekZeroThenFrameSteps) {
  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::Numbered))) << dec_.LastErrMsg();
  ASSERT_TRUE(dec_.Seek(0));
  for (int n = 0; n < 30; ++n) {
    ASSERT_TRUE(dec_.Decode()) << dec_.LastErrMsg();
    EXPECT_EQ(dec_.FrameInfo().PTS, n * 40000) << n;
    EXPECT_EQ(frameNumber(dec_.FrameInfo()), n);
    EXPECT_EQ(dec_.FrameInfo().IsKeyFrame, n % media::numbered::kGop == 0) << n;
  }
}

TEST_F(DecoderTest, EndOfStreamAndSeekingBack) {
  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::Mp4H264Aac))) << dec_.LastErrMsg();
  int frames = 0;
  std::int64_t last = -1;
  while (dec_.Decode()) {
    ++frames;
    EXPECT_GT(dec_.FrameInfo().PTS, last);
    last = dec_.FrameInfo().PTS;
  }
  // Every delayed picture of a file with B-frames comes out.
  EXPECT_EQ(frames, media::mp4::kSeconds * media::kFps);
  EXPECT_TRUE(dec_.Eof());
  EXPECT_EQ(dec_.LastErrMsg(), "TVUZezevud.Decode() for video: stream eof reached.");
  EXPECT_FALSE(dec_.Decode());
  ASSERT_TRUE(dec_.Seek(0));
  ASSERT_TRUE(dec_.Decode());
  EXPECT_EQ(dec_.FrameInfo().PTS, 0);
}

TEST_F(DecoderTest, PreviousFrameAndKeyFramesLandOnExactFrames) {
  for (media::Kind kind : {media::Kind::Numbered, media::Kind::NumberedGop60}) {
    const int gop = kind == media::Kind::Numbered ? media::numbered::kGop : media::numbered::kGop60;
    ASSERT_TRUE(dec_.LoadFile(media::ensure(kind))) << dec_.LastErrMsg();
    ASSERT_TRUE(dec_.Seek(0));
    for (int n = 0; n <= 30; ++n) ASSERT_TRUE(dec_.Decode());
    ASSERT_EQ(frameNumber(dec_.FrameInfo()), 30);
    for (int expect = 29; expect >= 20; --expect) {
      ASSERT_TRUE(dec_.DecodePreviousFrame()) << dec_.LastErrMsg();
      EXPECT_EQ(frameNumber(dec_.FrameInfo()), expect);
      EXPECT_EQ(ptsFrame(dec_.FrameInfo()), expect);
    }
    // From frame 20: the key frame at or before 19.
    ASSERT_TRUE(dec_.DecodePreviousKeyFrame()) << dec_.LastErrMsg();
    EXPECT_EQ(frameNumber(dec_.FrameInfo()), (19 / gop) * gop);
    EXPECT_TRUE(dec_.FrameInfo().IsKeyFrame);
    ASSERT_TRUE(dec_.DecodeNextKeyFrame()) << dec_.LastErrMsg();
    EXPECT_EQ(frameNumber(dec_.FrameInfo()), (19 / gop + 1) * gop);
    // At the first frame the previous frame stays there.
    ASSERT_TRUE(dec_.Seek(0));
    ASSERT_TRUE(dec_.Decode());
    ASSERT_TRUE(dec_.DecodePreviousFrame());
    EXPECT_EQ(frameNumber(dec_.FrameInfo()), 0);
  }
}

// A seek by time without flags lands on the key frame at or after the
// target, a backward one at or before it; past the last key frame the seek
// falls back to the one before.
TEST_F(DecoderTest, SeekLandsOnTheSideItsFlagsSay) {
  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::Numbered))) << dec_.LastErrMsg();
  constexpr int kGop = media::numbered::kGop;
  const auto landing = [&](int frame, TSeekFlags flags) {
    EXPECT_TRUE(dec_.Seek(std::int64_t{frame} * 40000, flags)) << dec_.LastErrMsg();
    EXPECT_TRUE(dec_.Decode()) << dec_.LastErrMsg();
    return frameNumber(dec_.FrameInfo());
  };
  EXPECT_EQ(landing(kGop + 1, 0), 2 * kGop);
  EXPECT_EQ(landing(kGop + 1, sfBackward), kGop);
  EXPECT_EQ(landing(2 * kGop, 0), 2 * kGop);
  const int frames = media::numbered::kFrames;
  const int lastKey = (frames - 1) / kGop * kGop;
  EXPECT_EQ(landing(frames - 1, 0), lastKey);
}

TEST_F(DecoderTest, ReadAudioTotalsMatchTheDuration) {
  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::ToneWav))) << dec_.LastErrMsg();
  std::vector<std::uint8_t> buf(3000);
  std::int64_t total = 0;
  int n;
  while ((n = dec_.ReadAudio(buf.data(), static_cast<int>(buf.size()))) > 0) total += n;
  EXPECT_EQ(total, std::int64_t{media::tone::kSeconds} * media::kSampleRate * media::kChannels * 2);

  // Resampled to another rate and to mono: totals follow the desired format.
  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::Wav))) << dec_.LastErrMsg();
  dec_.SetDesireAudioChannels(1);
  dec_.SetDesireAudioSampleRate(22050);
  total = 0;
  while ((n = dec_.ReadAudio(buf.data(), static_cast<int>(buf.size()))) > 0) total += n;
  EXPECT_NEAR(static_cast<double>(total), media::wav::kSeconds * 22050 * 2, 2 * 64);
  EXPECT_EQ(dec_.WaveInfo().BytesPerSecond, 22050 * 2);

  // A null buffer only tells what is ready.
  ASSERT_TRUE(dec_.Seek(0));
  const int ready = dec_.ReadAudio(nullptr, 1 << 20);
  EXPECT_GT(ready, 0);
  EXPECT_EQ(dec_.ReadAudio(nullptr, 1 << 20), ready);
  EXPECT_EQ(dec_.ReadAudio(buf.data(), 10), 10);
  EXPECT_EQ(dec_.ReadAudio(nullptr, 1 << 20), ready - 10);
}

TEST_F(DecoderTest, DecodeBothKindsInOneLoop) {
  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::Mp4H264Aac))) << dec_.LastErrMsg();
  int video = 0, audio = 0;
  for (TDecodeResult r; (r = dec_.Decode(dtBoth)) != drError;) (r == drVideo ? video : audio)++;
  EXPECT_EQ(video, media::mp4::kSeconds * media::kFps);
  EXPECT_GT(audio, media::mp4::kSeconds * media::kSampleRate / 1024 - 3);
}

TEST_F(DecoderTest, VideoFiltersAndBitmaps) {
  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::Numbered))) << dec_.LastErrMsg();
  dec_.SetVideoFilters("scale=160:120");
  ASSERT_TRUE(dec_.Decode());
  EXPECT_EQ(dec_.FrameInfo().Width, 160);
  EXPECT_EQ(dec_.FrameInfo().Height, 120);
  EXPECT_EQ(dec_.FrameInfo().PTS, 0);
  Bitmap bmp;
  ASSERT_TRUE(dec_.CopyToBitmap(bmp)) << dec_.LastErrMsg();
  EXPECT_EQ(bmp.width, 160);
  EXPECT_EQ(bmp.height, 120);
  const DibInfo* dib = dec_.GetBitmapPtr();
  ASSERT_NE(dib, nullptr);
  EXPECT_EQ(dib->width, 160);

  dec_.SetVideoFilters("nosuchfilter=1");
  ASSERT_TRUE(dec_.Decode());
  EXPECT_EQ(dec_.VideoFilters(), "");
  EXPECT_EQ(dec_.FrameInfo().Width, media::kWidth);
  EXPECT_EQ(frameNumber(dec_.FrameInfo()), 1);
}

TEST_F(DecoderTest, StillPictureDecodesOnce) {
  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::Png))) << dec_.LastErrMsg();
  ASSERT_TRUE(dec_.Decode()) << dec_.LastErrMsg();
  EXPECT_EQ(dec_.FrameInfo().PixFmt, AV_PIX_FMT_RGB24);
  if (dec_.FormatName() == "image2") {
    EXPECT_TRUE(dec_.Decode());
  }
}

TEST_F(DecoderTest, FileInfoText) {
  AVFormatContext* ic = nullptr;
  const std::string path = media::ensure(media::Kind::Numbered);
  ASSERT_GE(ff::avformat_open_input(&ic, path.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(ff::avformat_find_stream_info(ic, nullptr), 0);
  ff::av_dict_set(&ic->metadata, "title", "first line\nsecond\rline", 0);
  ff::av_dict_set(&ic->streams[1]->metadata, "language", "eng", 0);
  dec_.SetFileHandle(ic);
  EXPECT_EQ(dec_.StreamCount(), 2);
  const std::string text = dec_.FileInfoText();
  EXPECT_THAT(text, StartsWith("File Name: " + path +
                               "\r\nFormat Name: mov,mp4,m4a,3gp,3g2,mj2\r\n"
                               "Format Long Name: QuickTime / MOV\r\nFile Size: "));
  EXPECT_THAT(text, HasSubstr("\r\nMetadata:\r\n  major_brand     : isom\r\n"));
  EXPECT_THAT(text, HasSubstr("  title           : first line\r\n"
                              "                  : second line\r\n"));
  EXPECT_THAT(text, HasSubstr("\r\nDuration: 00:00:04.0"));
  EXPECT_THAT(text, HasSubstr("  Stream #0[0x1](und), 1/12800: Video: mpeg4"));
  EXPECT_THAT(text, HasSubstr(", 25 fps, 25 tbr, 12800 tbn, 25 tbc (default), start: 0.000000, "
                              "duration: 00:00:04.005\r\n"));
  EXPECT_THAT(text, HasSubstr("  Stream #1[0x2](eng), 1/44100: Audio: aac"));
  EXPECT_THAT(text, HasSubstr(" (default)"));
  // A borrowed handle is only described, never decoded or closed.
  EXPECT_THROW(dec_.Decode(), EDecoderError);
  dec_.CloseFile();
  EXPECT_EQ(ic->nb_streams, 2u);
  ff::avformat_close_input(&ic);
}

TEST_F(DecoderTest, OptionsAndReadTimeout) {
  EXPECT_TRUE(dec_.DefaultOptions("-probesize 5000000 -analyzeduration 1000000"));
  EXPECT_FALSE(dec_.DefaultOptions("-nosuchoption 1 plain"));

  // A listener that accepts and never sends: the open ends after ReadTimeout.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string url = "tcp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  dec_.SetReadTimeout(700);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(dec_.LoadFile(url));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::close(fd);
  EXPECT_EQ(dec_.LastErrMsg(), url + ": Immediate exit requested");
  EXPECT_GT(seconds, 0.6);
  EXPECT_LT(seconds, 10.0);
}

}  // namespace

// Pictures stored out of order: the steps still land on the pictures they name.
TEST_F(DecoderTest, SteppingAcrossBFrames) {
  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::NumberedBFrames))) << dec_.LastErrMsg();
  constexpr int kGop = media::numbered::kGop;
  constexpr int kLast = media::numbered::kFrames - 1;
  // Key frames, B-frames, the references after them, the first and last GOP.
  for (int start : {36, 37, 38, 39, 13, 50, 95, 98}) {
    SCOPED_TRACE("from frame " + std::to_string(start));
    const auto goTo = [&] {
      ASSERT_TRUE(dec_.Seek(0));
      for (int n = 0; n <= start; ++n) ASSERT_TRUE(dec_.Decode()) << dec_.LastErrMsg();
      ASSERT_EQ(frameNumber(dec_.FrameInfo()), start);
    };
    goTo();
    const int previousKey = start % kGop ? start / kGop * kGop : start - kGop;
    ASSERT_TRUE(dec_.DecodePreviousKeyFrame()) << dec_.LastErrMsg();
    EXPECT_EQ(frameNumber(dec_.FrameInfo()), previousKey);
    EXPECT_EQ(ptsFrame(dec_.FrameInfo()), previousKey);
    EXPECT_TRUE(dec_.FrameInfo().IsKeyFrame);

    goTo();
    const int nextKey = (start / kGop + 1) * kGop;
    if (nextKey <= kLast) {
      ASSERT_TRUE(dec_.DecodeNextKeyFrame()) << dec_.LastErrMsg();
      EXPECT_EQ(frameNumber(dec_.FrameInfo()), nextKey);
      EXPECT_EQ(ptsFrame(dec_.FrameInfo()), nextKey);
    } else {
      EXPECT_FALSE(dec_.DecodeNextKeyFrame());
    }

    goTo();
    ASSERT_TRUE(dec_.DecodePreviousFrame()) << dec_.LastErrMsg();
    EXPECT_EQ(frameNumber(dec_.FrameInfo()), start - 1);
    EXPECT_EQ(ptsFrame(dec_.FrameInfo()), start - 1);
  }
}

// Matroska seeks move the input: the previous key frame is found by where the
// seeks land.
TEST_F(DecoderTest, PreviousKeyFrameWhereSeeksMoveTheInput) {
  ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::MkvMpeg4VorbisSrt))) << dec_.LastErrMsg();
  constexpr int kGop = media::kFps;
  for (int start : {60, 50, 26}) {
    SCOPED_TRACE("from frame " + std::to_string(start));
    ASSERT_TRUE(dec_.Seek(0));
    for (int n = 0; n <= start; ++n) ASSERT_TRUE(dec_.Decode()) << dec_.LastErrMsg();
    ASSERT_EQ(ptsFrame(dec_.FrameInfo()), start);
    ASSERT_TRUE(dec_.DecodePreviousKeyFrame()) << dec_.LastErrMsg();
    EXPECT_EQ(ptsFrame(dec_.FrameInfo()), start % kGop ? start / kGop * kGop : start - kGop);
    EXPECT_TRUE(dec_.FrameInfo().IsKeyFrame);
  }
}

// Whatever dropped the decoded sound, ReadAudio decodes afresh instead of
// handing out the rest of a buffer that is gone.
TEST_F(DecoderTest, ReadAudioAfterTheDecodedSoundWasDropped) {
  struct Case {
    const char* name;
    std::function<void(TVUZezevud&)> drop;
    bool more;  // sound follows
  };
  const Case cases[] = {
      {"desired rate changed", [](TVUZezevud& d) { d.SetDesireAudioSampleRate(22050); }, true},
      {"desired channels changed", [](TVUZezevud& d) { d.SetDesireAudioChannels(1); }, true},
      {"Decode(dtBoth) ended on a picture",
       [](TVUZezevud& d) {
         TDecodeResult r;
         while ((r = d.Decode(dtBoth)) == drAudio) {
         }
         ASSERT_EQ(r, drVideo);
       },
       true},
      {"Decode(dtBoth) reached the end",
       [](TVUZezevud& d) {
         while (d.Decode(dtBoth) != drError) {
         }
         ASSERT_TRUE(d.Eof());
       },
       false},
  };
  std::vector<std::uint8_t> buf(1 << 16);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dec_.SetDesireAudioSampleRate(media::kSampleRate);
    dec_.SetDesireAudioChannels(media::kChannels);
    ASSERT_TRUE(dec_.LoadFile(media::ensure(media::Kind::Numbered))) << dec_.LastErrMsg();
    ASSERT_EQ(dec_.ReadAudio(buf.data(), 16), 16);  // most of the block stays
    c.drop(dec_);
    const int n = dec_.ReadAudio(buf.data(), static_cast<int>(buf.size()));
    if (c.more) {
      EXPECT_GT(n, 0);
      EXPECT_EQ(n, dec_.WaveInfo().Size);
    } else {
      EXPECT_EQ(n, -1);
    }
  }
}
