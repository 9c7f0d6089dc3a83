// The generated test media, read back through the libraries and checked
// against the constants the generator publishes.
#include "testmedia/TestMedia.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/FFLoader.h"
#include "testmedia/Av.h"

namespace corvane::testmedia {
namespace {

namespace fs = std::filesystem;

template <class Base>
class WithLibraries : public Base {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(kEncoderLibraries)) << FFLoader().LastErrMsg();
  }
  static void TearDownTestSuite() { FFLoader().Unload(kEncoderLibraries); }
};

// Opens and probes `path`; the first error of either step, else 0.
int openInput(const std::string& path, InputPtr& out) {
  AVFormatContext* raw = nullptr;
  const int err = ff::avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (err < 0) return err;
  out.reset(raw);
  return ff::avformat_find_stream_info(raw, nullptr);
}

InputPtr open(Kind kind) {
  InputPtr in;
  const std::string path = ensure(kind);
  const int err = openInput(path, in);
  EXPECT_GE(err, 0) << path << ": " << avError(err);
  return in;
}

// Decodes stream `index` to its end, handing each frame to `onFrame`.
void decode(AVFormatContext* fmt, int index, const std::function<void(const AVFrame*)>& onFrame) {
  const AVStream* st = fmt->streams[index];
  const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
  ASSERT_NE(codec, nullptr);
  CodecContextPtr ctx(ff::avcodec_alloc_context3(codec));
  ASSERT_GE(ff::avcodec_parameters_to_context(ctx.get(), st->codecpar), 0);
  ctx->pkt_timebase = st->time_base;
  ASSERT_GE(ff::avcodec_open2(ctx.get(), codec, nullptr), 0);
  PacketPtr pkt(ff::av_packet_alloc());
  FramePtr frame(ff::av_frame_alloc());
  auto drain = [&] {
    while (ff::avcodec_receive_frame(ctx.get(), frame.get()) >= 0) {
      onFrame(frame.get());
      ff::av_frame_unref(frame.get());
    }
  };
  while (ff::av_read_frame(fmt, pkt.get()) >= 0) {
    if (pkt->stream_index == index) {
      ASSERT_GE(ff::avcodec_send_packet(ctx.get(), pkt.get()), 0);
      drain();
    }
    ff::av_packet_unref(pkt.get());
  }
  ASSERT_GE(ff::avcodec_send_packet(ctx.get(), nullptr), 0);
  drain();
}

double planeMean(const AVFrame* f, int plane, int width, int height) {
  double sum = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) sum += f->data[plane][y * f->linesize[plane] + x];
  return sum / (width * height);
}

// Channel 0 of every frame, as full-scale fractions.
std::vector<double> firstChannel(Kind kind) {
  InputPtr in = open(kind);
  std::vector<double> out;
  if (!in) return out;
  decode(in.get(), 0, [&](const AVFrame* f) {
    for (int i = 0; i < f->nb_samples; ++i) {
      if (f->format == AV_SAMPLE_FMT_S16)
        out.push_back(reinterpret_cast<const int16_t*>(f->data[0])[i * 2] / 32768.0);
      else if (f->format == AV_SAMPLE_FMT_FLTP)
        out.push_back(reinterpret_cast<const float*>(f->data[0])[i]);
      else
        ADD_FAILURE() << "sample format " << f->format;
    }
  });
  return out;
}

struct StreamExpect {
  AVMediaType type;
  AVCodecID codec;
  int width = 0;  // video: size and rate
  int height = 0;
  int fps = 0;
  int sampleRate = 0;  // audio: rate, two channels
};

struct LayoutCase {
  Kind kind;
  const char* demuxer;  // null: not checked
  double seconds;       // 0: not checked
  std::vector<StreamExpect> streams;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << kindName(c.kind); }

constexpr AVCodecID kH264 = AV_CODEC_ID_H264;  // MPEG4 when libx264 is missing

StreamExpect video(AVCodecID id, int w, int h, int fps) {
  return {AVMEDIA_TYPE_VIDEO, id, w, h, fps};
}
StreamExpect audio(AVCodecID id, int rate) { return {AVMEDIA_TYPE_AUDIO, id, 0, 0, 0, rate}; }

const StreamExpect kSmallAac = audio(AV_CODEC_ID_AAC, kSampleRate);

const std::vector<LayoutCase> kLayouts = {
    {Kind::Mp4H264Aac,
     "mov,mp4,m4a,3gp,3g2,mj2",
     mp4::kSeconds,
     {video(kH264, kWidth, kHeight, kFps), kSmallAac}},
    {Kind::MkvMpeg4VorbisSrt,
     "matroska,webm",
     mkv::kSeconds,
     {video(AV_CODEC_ID_MPEG4, kWidth, kHeight, kFps),
      audio(AV_CODEC_ID_VORBIS, kSampleRate),
      {AVMEDIA_TYPE_SUBTITLE, AV_CODEC_ID_SUBRIP}}},
    {Kind::TsTwoPrograms,
     "mpegts",
     ts::kSeconds,
     {video(AV_CODEC_ID_MPEG2VIDEO, ts::kPrograms[0].width, ts::kPrograms[0].height, kFps),
      audio(AV_CODEC_ID_MP2, ts::kSampleRate),
      video(AV_CODEC_ID_MPEG2VIDEO, ts::kPrograms[1].width, ts::kPrograms[1].height, kFps),
      audio(AV_CODEC_ID_MP2, ts::kSampleRate)}},
    {Kind::Wav, "wav", wav::kSeconds, {audio(AV_CODEC_ID_PCM_S16LE, wav::kSampleRate)}},
    {Kind::Flac, "flac", flac::kSeconds, {audio(AV_CODEC_ID_FLAC, kSampleRate)}},
    {Kind::Png, nullptr, 0, {video(AV_CODEC_ID_PNG, kWidth, kHeight, 0)}},
    {Kind::Mp4Rotated, nullptr, rotated::kSeconds, {video(kH264, kWidth, kHeight, kFps)}},
    {Kind::Bench1080p,
     nullptr,
     bench::kSeconds,
     {video(kH264, bench::kWidth, bench::kHeight, bench::kFps),
      audio(AV_CODEC_ID_AAC, bench::kSampleRate)}},
    {Kind::Numbered,
     nullptr,
     numbered::kSeconds,
     {video(AV_CODEC_ID_MPEG4, kWidth, kHeight, kFps), kSmallAac}},
    {Kind::NumberedGop60,
     nullptr,
     numbered::kSeconds,
     {video(AV_CODEC_ID_MPEG4, kWidth, kHeight, kFps), kSmallAac}},
    {Kind::NumberedBFrames,
     nullptr,
     numbered::kSeconds + numbered::kAudioTailSeconds,
     {video(AV_CODEC_ID_MPEG4, kWidth, kHeight, kFps), kSmallAac}},
    {Kind::ToneWav, "wav", tone::kSeconds, {audio(AV_CODEC_ID_PCM_S16LE, kSampleRate)}},
    {Kind::ToneMp4, nullptr, tone::kSeconds, {kSmallAac}},
    {Kind::Aac60s, "mov,mp4,m4a,3gp,3g2,mj2", aac60::kSeconds, {kSmallAac}},
    {Kind::Solid1080p,
     nullptr,
     solid::kSeconds,
     {video(kH264, solid::kWidth, solid::kHeight, solid::kFps)}},
    {Kind::MkvDvdSub,
     "matroska,webm",
     dvdsub::kSeconds,
     {video(AV_CODEC_ID_MPEG4, kWidth, kHeight, kFps),
      {AVMEDIA_TYPE_SUBTITLE, AV_CODEC_ID_DVD_SUBTITLE}}},
};

using TestMediaLayout = WithLibraries<::testing::TestWithParam<LayoutCase>>;

TEST_P(TestMediaLayout, StreamsMatchTheConstants) {
  const LayoutCase& c = GetParam();
  InputPtr in = open(c.kind);
  ASSERT_TRUE(in);
  if (c.demuxer) {
    EXPECT_STREQ(in->iformat->name, c.demuxer);
  }
  if (c.seconds > 0) {
    EXPECT_NEAR(in->duration / double(AV_TIME_BASE), c.seconds, 0.15);
  }
  ASSERT_EQ(in->nb_streams, c.streams.size());
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    SCOPED_TRACE("stream " + std::to_string(i));
    const AVStream* st = in->streams[i];
    const AVCodecParameters* par = st->codecpar;
    const StreamExpect& e = c.streams[i];
    EXPECT_EQ(par->codec_type, e.type);
    const bool h264Fallback = e.codec == kH264 && !haveH264Encoder();
    EXPECT_EQ(par->codec_id, h264Fallback ? AV_CODEC_ID_MPEG4 : e.codec)
        << ff::avcodec_get_name(par->codec_id);
    if (e.type == AVMEDIA_TYPE_VIDEO) {
      EXPECT_EQ(par->width, e.width);
      EXPECT_EQ(par->height, e.height);
      if (e.fps) {
        EXPECT_NEAR(av_q2d(st->avg_frame_rate), e.fps, 0.01);
      }
    } else if (e.type == AVMEDIA_TYPE_AUDIO) {
      EXPECT_EQ(par->sample_rate, e.sampleRate);
      EXPECT_EQ(par->ch_layout.nb_channels, kChannels);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, TestMediaLayout, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) {
                           std::string n = kindName(info.param.kind);
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

using TestMediaNumbered = WithLibraries<::testing::TestWithParam<Kind>>;

// Frame N decodes in order, at N / kFps, with luma 2N, a key frame every GOP.
TEST_P(TestMediaNumbered, FramesCarryTheirNumber) {
  const int gop = GetParam() == Kind::NumberedGop60 ? numbered::kGop60 : numbered::kGop;
  InputPtr in = open(GetParam());
  ASSERT_TRUE(in);
  const AVRational tb = in->streams[0]->time_base;
  int n = 0;
  decode(in.get(), 0, [&](const AVFrame* f) {
    SCOPED_TRACE("frame " + std::to_string(n));
    EXPECT_EQ(ff::av_rescale_q(f->best_effort_timestamp, tb, AVRational{1, kFps}), n);
    EXPECT_NEAR(planeMean(f, 0, f->width, f->height), numbered::luma(n), numbered::kLumaTolerance);
    EXPECT_NEAR(planeMean(f, 1, f->width / 2, f->height / 2), 128, numbered::kLumaTolerance);
    EXPECT_EQ(f->key_frame != 0, n % gop == 0);
    ++n;
  });
  EXPECT_EQ(n, numbered::kFrames);
}

INSTANTIATE_TEST_SUITE_P(Gops, TestMediaNumbered,
                         ::testing::Values(Kind::Numbered, Kind::NumberedGop60,
                                           Kind::NumberedBFrames));

// Starts and lengths of the runs of samples above the click threshold; runs
// closer than `gap` samples are merged.
std::vector<std::pair<std::size_t, std::size_t>> clickRuns(const std::vector<double>& s,
                                                           std::size_t gap) {
  const double threshold = (tone::kAmplitude + tone::kClickLevel) / 2;
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (std::fabs(s[i]) < threshold) continue;
    if (!runs.empty() && i - (runs.back().first + runs.back().second) <= gap)
      runs.back().second = i + 1 - runs.back().first;
    else
      runs.push_back({i, 1});
  }
  return runs;
}

using TestMediaTone = WithLibraries<::testing::TestWithParam<Kind>>;

TEST_P(TestMediaTone, FrequencyAndClicks) {
  const bool exact = GetParam() == Kind::ToneWav;
  const std::vector<double> s = firstChannel(GetParam());
  ASSERT_NEAR(double(s.size()), tone::kSeconds * kSampleRate, exact ? 0 : 2048);

  // Zero crossings away from the clicks give the frequency.
  const std::size_t guard = exact ? 0 : 128;
  int crossings = 0;
  std::size_t counted = 0;
  for (std::size_t i = 1; i < s.size(); ++i) {
    const std::size_t offset = i % tone::kClickEverySamples;
    if (offset < tone::kClickSamples + guard || offset + guard > tone::kClickEverySamples) continue;
    ++counted;
    if ((s[i - 1] < 0) != (s[i] < 0)) ++crossings;
  }
  EXPECT_NEAR(crossings * kSampleRate / (2.0 * counted), tone::kFrequency, tone::kFrequency * 0.01);

  const auto runs = clickRuns(s, exact ? 0 : 64);
  ASSERT_EQ(runs.size(), std::size_t(tone::kClicks));
  for (std::size_t k = 0; k < runs.size(); ++k) {
    const double start = double(k * tone::kClickEverySamples);
    EXPECT_NEAR(double(runs[k].first), start, exact ? 0 : 256) << "click " << k;
    if (exact) {
      EXPECT_EQ(runs[k].second, std::size_t(tone::kClickSamples)) << "click " << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, TestMediaTone,
                         ::testing::Values(Kind::ToneWav, Kind::ToneMp4));

using TestMedia = WithLibraries<::testing::Test>;

// Decodes stream 0, checking that every nth picture is YUV 4:2:0 of one
// colour (means within 1); the number of pictures decoded.
int solidPictures(AVFormatContext* in, int every, int y, int cb, int cr) {
  int frames = 0;
  decode(in, 0, [&](const AVFrame* f) {
    if (frames++ % every) return;
    ASSERT_EQ(f->format, AV_PIX_FMT_YUV420P);
    EXPECT_NEAR(planeMean(f, 0, f->width, f->height), y, 1);
    EXPECT_NEAR(planeMean(f, 1, f->width / 2, f->height / 2), cb, 1);
    EXPECT_NEAR(planeMean(f, 2, f->width / 2, f->height / 2), cr, 1);
  });
  return frames;
}

TEST_F(TestMedia, SolidClipHasTheColourAndItsTags) {
  InputPtr in = open(Kind::Solid1080p);
  ASSERT_TRUE(in);
  const AVCodecParameters* par = in->streams[0]->codecpar;
  EXPECT_EQ(par->color_range, AVCOL_RANGE_MPEG);
  EXPECT_EQ(par->color_space, AVCOL_SPC_SMPTE170M);
  EXPECT_EQ(solidPictures(in.get(), 20, solid::kY, solid::kCb, solid::kCr),
            solid::kFps * solid::kSeconds);
}

TEST_F(TestMedia, MatroskaCarriesTheCues) {
  InputPtr in = open(Kind::MkvMpeg4VorbisSrt);
  ASSERT_TRUE(in);
  const AVStream* st = in->streams[2];
  // Cue times count from the video's first frame.
  const int64_t videoStartMs =
      ff::av_rescale_q(in->streams[0]->start_time, in->streams[0]->time_base, AVRational{1, 1000});
  PacketPtr pkt(ff::av_packet_alloc());
  std::size_t cue = 0;
  while (ff::av_read_frame(in.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == st->index) {
      ASSERT_LT(cue, mkv::kCues.size());
      const mkv::Cue& c = mkv::kCues[cue++];
      EXPECT_EQ(ff::av_rescale_q(pkt->pts, st->time_base, AVRational{1, 1000}) - videoStartMs,
                c.startMs);
      EXPECT_EQ(ff::av_rescale_q(pkt->duration, st->time_base, AVRational{1, 1000}),
                c.endMs - c.startMs);
      EXPECT_NE(std::string(reinterpret_cast<const char*>(pkt->data), pkt->size).find(c.text),
                std::string::npos);
    }
    ff::av_packet_unref(pkt.get());
  }
  EXPECT_EQ(cue, mkv::kCues.size());
}

// The bitmap subtitle decodes to the box, at its place and time, over
// pictures of the background colour.
TEST_F(TestMedia, DvdSubtitleDecodesToTheBox) {
  InputPtr in = open(Kind::MkvDvdSub);
  ASSERT_TRUE(in);
  EXPECT_EQ(solidPictures(in.get(), 25, dvdsub::kBackY, dvdsub::kBackCb, dvdsub::kBackCr),
            kFps * dvdsub::kSeconds);
  EXPECT_EQ(in->streams[0]->start_time, 0);

  ASSERT_GE(ff::av_seek_frame(in.get(), -1, 0, AVSEEK_FLAG_BACKWARD), 0);
  const AVStream* st = in->streams[1];
  const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
  ASSERT_NE(codec, nullptr);
  CodecContextPtr ctx(ff::avcodec_alloc_context3(codec));
  ASSERT_GE(ff::avcodec_parameters_to_context(ctx.get(), st->codecpar), 0);
  ctx->pkt_timebase = st->time_base;
  ASSERT_GE(ff::avcodec_open2(ctx.get(), codec, nullptr), 0);
  PacketPtr pkt(ff::av_packet_alloc());
  int subtitles = 0;
  const dvdsub::Box& box = dvdsub::kBox;
  while (ff::av_read_frame(in.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == st->index) {
      EXPECT_EQ(ff::av_rescale_q(pkt->duration, st->time_base, AVRational{1, 1000}),
                box.endMs - box.startMs);
      AVSubtitle sub{};
      int got = 0;
      ASSERT_GE(ff::avcodec_decode_subtitle2(ctx.get(), &sub, &got, pkt.get()), 0);
      if (got) {
        ++subtitles;
        EXPECT_EQ(sub.format, 0);  // bitmap
        EXPECT_EQ(sub.pts, int64_t(box.startMs) * 1000);
        EXPECT_EQ(sub.start_display_time, 0u);
        EXPECT_EQ(sub.end_display_time, uint32_t(dvdsub::kDecodedDurationMs));
        ASSERT_EQ(sub.num_rects, 1u);
        const AVSubtitleRect* r = sub.rects[0];
        EXPECT_EQ(r->type, SUBTITLE_BITMAP);
        EXPECT_EQ(r->x, box.x);
        EXPECT_EQ(r->y, box.y);
        EXPECT_EQ(r->w, box.width);
        EXPECT_EQ(r->h, box.height);
        const auto* palette = reinterpret_cast<const uint32_t*>(r->data[1]);
        int wrong = 0;
        for (int y = 0; y < r->h; ++y)
          for (int x = 0; x < r->w; ++x) {
            const uint8_t i = r->data[0][y * r->linesize[0] + x];
            if (i >= r->nb_colors || palette[i] != box.argb) ++wrong;
          }
        EXPECT_EQ(wrong, 0) << std::hex << "palette " << palette[0] << " " << palette[1] << " "
                            << palette[2] << " " << palette[3] << " first index "
                            << int(r->data[0][0]);
        ff::avsubtitle_free(&sub);
      }
    }
    ff::av_packet_unref(pkt.get());
  }
  EXPECT_EQ(subtitles, 1);
}

TEST_F(TestMedia, TransportStreamHasBothPrograms) {
  InputPtr in = open(Kind::TsTwoPrograms);
  ASSERT_TRUE(in);
  ASSERT_EQ(in->nb_programs, ts::kPrograms.size());
  for (std::size_t p = 0; p < ts::kPrograms.size(); ++p) {
    const AVProgram* prog = in->programs[p];
    EXPECT_EQ(prog->id, ts::kPrograms[p].id);
    ASSERT_EQ(prog->nb_stream_indexes, 2u);
    const AVCodecParameters* v = in->streams[prog->stream_index[0]]->codecpar;
    const AVCodecParameters* a = in->streams[prog->stream_index[1]]->codecpar;
    EXPECT_EQ(v->codec_type, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(v->width, ts::kPrograms[p].width);
    EXPECT_EQ(a->codec_type, AVMEDIA_TYPE_AUDIO);
  }
}

TEST_F(TestMedia, RotatedClipHasTheDisplayMatrix) {
  InputPtr in = open(Kind::Mp4Rotated);
  ASSERT_TRUE(in);
  std::size_t size = 0;
  const uint8_t* m = ff::av_stream_get_side_data(in->streams[0], AV_PKT_DATA_DISPLAYMATRIX, &size);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(size, 9 * sizeof(int32_t));
  EXPECT_NEAR(ff::av_display_rotation_get(reinterpret_cast<const int32_t*>(m)), -rotated::kDegrees,
              0.01);
}

TEST_F(TestMedia, StillDecodesToOnePicture) {
  InputPtr in = open(Kind::Png);
  ASSERT_TRUE(in);
  int frames = 0;
  decode(in.get(), 0, [&](const AVFrame* f) {
    ++frames;
    EXPECT_EQ(f->format, AV_PIX_FMT_RGB24);
    EXPECT_EQ(f->width, kWidth);
  });
  EXPECT_EQ(frames, 1);
}

TEST_F(TestMedia, BrokenFilesFail) {
  InputPtr in;
  EXPECT_LT(openInput(ensure(Kind::RandomBytesMp4), in), 0);
  EXPECT_EQ(fs::file_size(ensure(Kind::RandomBytesMp4)), broken::kRandomBytes);
  in.reset();
  EXPECT_LT(openInput(ensure(Kind::EmptyMkv), in), 0);
  EXPECT_EQ(fs::file_size(ensure(Kind::EmptyMkv)), 0u);

  // The truncated copy opens (its moov is first), but its media data ends
  // early: fewer packets read than the index lists, or a read error.
  in.reset();
  ASSERT_GE(openInput(ensure(Kind::TruncatedMp4), in), 0);
  const std::size_t full = fs::file_size(ensure(Kind::Mp4H264Aac));
  EXPECT_EQ(fs::file_size(ensure(Kind::TruncatedMp4)),
            std::size_t(double(full) * broken::kTruncatedFraction));
  PacketPtr pkt(ff::av_packet_alloc());
  int64_t read = 0;
  int err = 0;
  while ((err = ff::av_read_frame(in.get(), pkt.get())) >= 0) {
    if (!(pkt->flags & AV_PKT_FLAG_CORRUPT)) ++read;
    ff::av_packet_unref(pkt.get());
  }
  int64_t listed = 0;
  for (unsigned i = 0; i < in->nb_streams; ++i) listed += in->streams[i]->nb_frames;
  EXPECT_LT(read, listed) << avError(err);
}

// Cache behaviour: the environment's directory, reuse, and racing writers.
TEST_F(TestMedia, CacheDirectoryReuseAndRaces) {
  const fs::path dir = fs::temp_directory_path() / ("corvane-tm-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  ::setenv("CORVANE_TEST_MEDIA_DIR", dir.c_str(), 1);
  const std::string path = ensure(Kind::Wav);
  ::unsetenv("CORVANE_TEST_MEDIA_DIR");
  EXPECT_EQ(path, (dir / ("r" + std::to_string(kRecipeRevision)) / fileName(Kind::Wav)).string());
  const auto written = fs::last_write_time(path);
  ::setenv("CORVANE_TEST_MEDIA_DIR", dir.c_str(), 1);
  EXPECT_EQ(ensure(Kind::Wav), path);
  ::unsetenv("CORVANE_TEST_MEDIA_DIR");
  EXPECT_EQ(fs::last_write_time(path), written);

  // Two writers of one file, as two processes would be.
  const std::string target = (dir / "race.flac").string();
  std::vector<std::string> errors(2);
  std::vector<std::thread> writers;
  for (auto& e : errors)
    writers.emplace_back([&target, &e] {
      try {
        generate(Kind::Flac, target);
      } catch (const ETestMedia& x) {
        e = x.what();
      }
    });
  for (auto& t : writers) t.join();
  EXPECT_EQ(errors, std::vector<std::string>(2));
  InputPtr in;
  EXPECT_GE(openInput(target, in), 0);
  std::vector<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.is_regular_file()) left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{fileName(Kind::Wav), "race.flac"}));

  // A failure names the kind, the step and the library's text, and leaves nothing.
  try {
    generate(Kind::Wav, (dir / "missing" / "x.wav").string());
    ADD_FAILURE() << "no exception";
  } catch (const ETestMedia& e) {
    EXPECT_EQ(std::string(e.what()).rfind("testmedia: wav: creating ", 0), 0u) << e.what();
    EXPECT_NE(std::string(e.what()).find(": No such file or directory"), std::string::npos)
        << e.what();
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace corvane::testmedia
