// What the per-file state plays: the sound SDL's disk driver writes, with
// volume, mute, tempo, pitch and a seek; the pictures a scripted demuxer's
// read results give; the size of the pictures the video graph queues.
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iostream>

#include "decoder/VUZezevud.h"
#include "foundation/ErrorText.h"
#include "support/EngineRig.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
using namespace corvane::testengine;
namespace media = corvane::testmedia;
namespace tone = corvane::testmedia::tone;

namespace {

// A demuxer without I/O context that follows a script: each step is a 16x16
// picture of that luma (>= 0) or an error code returned once; after the last
// step `terminal` is returned for ever. Its seek always fails.
struct Script {
  std::vector<int> steps;
  int terminal;
};
std::atomic<const Script*> gScript{nullptr};
std::atomic<std::size_t> gStep{0};
std::atomic<int> gSeeks{0};

constexpr int kScriptSize = 16;

int scriptHeader(AVFormatContext* s) {
  AVStream* st = ff::avformat_new_stream(s, nullptr);
  if (!st) return AVERROR(ENOMEM);
  st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  st->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
  st->codecpar->format = AV_PIX_FMT_YUV420P;
  st->codecpar->width = st->codecpar->height = kScriptSize;
  st->time_base = {1, media::kFps};
  return 0;
}

int scriptPacket(AVFormatContext*, AVPacket* pkt) {
  const Script& script = *gScript;
  const std::size_t i = gStep;
  if (i >= script.steps.size()) return script.terminal;
  gStep = i + 1;
  const int step = script.steps[i];
  if (step < 0) return step;
  constexpr int luma = kScriptSize * kScriptSize;
  if (const int r = ff::av_new_packet(pkt, luma * 3 / 2); r < 0) return r;
  std::memset(pkt->data, step, luma);
  std::memset(pkt->data + luma, 128, luma / 2);
  pkt->pts = pkt->dts = static_cast<std::int64_t>(i);
  pkt->flags |= AV_PKT_FLAG_KEY;
  return 0;
}

int scriptSeek(AVFormatContext*, int, std::int64_t, int) {
  ++gSeeks;
  return -1;
}

const AVInputFormat kScripted = [] {
  AVInputFormat f{};
  f.name = "corvane_scripted";
  f.long_name = "scripted test input";
  f.flags = AVFMT_NOFILE | AVFMT_NOBINSEARCH | AVFMT_NOGENSEARCH | AVFMT_NO_BYTE_SEEK;
  f.read_header = scriptHeader;
  f.read_packet = scriptPacket;
  f.read_seek = scriptSeek;
  return f;
}();

class VideoStateTest : public EngineTest {
 protected:
  // Plays the tone file to its end and returns what the device played
  // (interleaved stereo, 16-bit) and the audio clock at the end.
  std::vector<std::int16_t> playTone(const TPlayerSettings& s, double* clock = nullptr,
                                     const std::function<void(TVideoState&)>& during = {}) {
    EngineHost h;
    auto is = TVideoState::Create(h, s, media::ensure(media::Kind::ToneWav), nullptr, false, true);
    EXPECT_TRUE(is && is->audio) << h.errors();
    if (!is || !is->audio) return {};
    const TAudioParams& tgt = is->audio->Target();
    EXPECT_EQ(tgt.freq, media::kSampleRate);
    EXPECT_EQ(tgt.channels(), media::kChannels);
    EXPECT_EQ(tgt.fmt, AV_SAMPLE_FMT_S16);
    hwBufFrames = is->audio->HwBufSize() / tgt.frame_size;
    if (during) during(*is);
    EXPECT_TRUE(waitUntil([&] { return h.ended > 0; })) << h.errors();
    std::this_thread::sleep_for(200ms);  // the last blocks reach the file
    EXPECT_EQ(h.ended, 1);
    if (clock) *clock = is->audio->AudioClock();
    is->Close();
    EXPECT_EQ(h.errors(), "");
    return diskSamples();
  }

  // The tone as the libraries decode it.
  static std::vector<std::int16_t> decodedTone() {
    TVUZezevud dec;
    EXPECT_TRUE(dec.LoadFile(media::ensure(media::Kind::ToneWav))) << dec.LastErrMsg();
    std::vector<std::int16_t> out, buf(4096);
    int n;
    while ((n = dec.ReadAudio(buf.data(), static_cast<int>(buf.size() * 2))) > 0)
      out.insert(out.end(), buf.begin(), buf.begin() + n / 2);
    return out;
  }

  // First and one past the last stereo frame holding sound.
  static std::pair<std::size_t, std::size_t> soundSpan(const std::vector<std::int16_t>& s) {
    std::size_t first = 0, last = s.size() / 2;
    while (first < last && !s[2 * first] && !s[2 * first + 1]) ++first;
    while (last > first && !s[2 * last - 2] && !s[2 * last - 1]) --last;
    return {first, last};
  }

  // Zero crossings per second of the left channel in [from, to).
  static double frequency(const std::vector<std::int16_t>& s, std::size_t from, std::size_t to) {
    int crossings = 0;
    for (std::size_t i = from + 1; i < to; ++i) crossings += (s[2 * i - 2] < 0) != (s[2 * i] < 0);
    return crossings / 2.0 / (static_cast<double>(to - from) / media::kSampleRate);
  }

  // Walks `played` from stereo frame `p` and the reference from frame `r`
  // while they agree (the reference scaled by `gain`, within `tolerance`).
  // Silent played frames the reference does not hold are underruns of a busy
  // machine: counted in `gaps` and skipped. Returns where the walk stopped.
  static std::pair<std::size_t, std::size_t> walk(const std::vector<std::int16_t>& played,
                                                  std::size_t p,
                                                  const std::vector<std::int16_t>& ref,
                                                  std::size_t r, double gain, int tolerance,
                                                  int& gaps) {
    const auto near = [&](int c) {
      return std::abs(played[2 * p + c] - std::lround(ref[2 * r + c] * gain)) <= tolerance;
    };
    while (p < played.size() / 2 && r < ref.size() / 2) {
      if (near(0) && near(1)) {
        ++p, ++r;
      } else if (!played[2 * p] && !played[2 * p + 1]) {
        ++p, ++gaps;
      } else {
        break;
      }
    }
    return {p, r};
  }

  int hwBufFrames = 0;
};

// Played sound equals decoded sound: after the leading silence every sample
// once, in order, at full volume bit-exact with and without the audio graph,
// halved by volume 64 or a volume filter, muted silent; the clicks sit at
// whole seconds.
TEST_F(VideoStateTest, PlayedSoundIsTheDecodedSound) {
  struct Case {
    int volume;
    bool mute;
    const char* filters;
    bool noGraph;
    double gain;
  };
  const Case cases[] = {
      {128, false, "", false, 1.0}, {128, false, "", true, 1.0},
      {64, false, "", false, 0.5},  {128, false, "volume=0.5", false, 0.5},
      {128, true, "", false, 0.0},
  };
  const std::vector<std::int16_t> ref = decodedTone();
  ASSERT_EQ(ref.size(), std::size_t{tone::kSeconds} * media::kSampleRate * media::kChannels);
  startDiskAudio(10);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "volume " << c.volume << " mute " << c.mute << " filters "
                                      << c.filters << " no graph " << c.noGraph);
    TPlayerSettings s = quiet(true);
    s.AudioVolume = c.volume;
    s.Mute = c.mute;
    s.AudioFilters = c.filters;
    s.DisableAudioFilter = c.noGraph;
    double clock = 0;
    const std::vector<std::int16_t> played = playTone(s, &clock);
    EXPECT_NEAR(clock, tone::kSeconds, 1e-6);
    ASSERT_GE(played.size(), ref.size());
    const auto [first, last] = soundSpan(played);
    if (c.mute) {
      EXPECT_EQ(first, last) << "sound while muted";
      continue;
    }
    int gaps = 0;
    const auto [end, r] = walk(played, first, ref, 0, c.gain, c.gain == 1.0 ? 0 : 1, gaps);
    ASSERT_EQ(r, ref.size() / 2) << "played " << played[2 * end] << " for " << ref[2 * r];
    EXPECT_EQ(last, end) << "sound after the end";
    if (gaps) std::cout << "underrun frames: " << gaps << "\n";

    // Clicks: runs above most of the click level, a second apart.
    const int level = static_cast<int>(tone::kClickLevel * 32767 * 0.8 * c.gain);
    std::vector<std::size_t> clicks;
    for (std::size_t i = first; i < last; ++i)
      if (std::abs(played[2 * i]) >= level && (clicks.empty() || i - clicks.back() > 1000))
        clicks.push_back(i);
    ASSERT_EQ(clicks.size(), std::size_t{tone::kClicks});
    for (int k = 0; k < tone::kClicks; ++k)
      EXPECT_NEAR(static_cast<double>(clicks[k] - first), k * tone::kClickEverySamples, hwBufFrames)
          << "click " << k;
  }
}

// A seek during playback: the sound played is the start of the tone up to
// some block, then the tone from the target on, with nothing stale between.
TEST_F(VideoStateTest, SeekSplicesTheSoundAtTheTarget) {
  const std::vector<std::int16_t> ref = decodedTone();
  startDiskAudio(10);
  constexpr double kTarget = 2.0;
  const std::vector<std::int16_t> played = playTone(quiet(true), nullptr, [&](TVideoState& is) {
    ASSERT_TRUE(waitUntil([&] { return is.audio->AudioClock() > 0.3; }));
    is.StreamSeek(std::llround(kTarget * AV_TIME_BASE), 0, false);
  });
  const auto [first, last] = soundSpan(played);
  int gaps = 0;
  const auto [splice, r] = walk(played, first, ref, 0, 1.0, 0, gaps);
  EXPECT_GT(r, 0u);
  EXPECT_LT(r, static_cast<std::size_t>(kTarget * media::kSampleRate));
  const std::size_t from = static_cast<std::size_t>(kTarget * media::kSampleRate);
  const auto [end, r2] = walk(played, splice, ref, from, 1.0, 0, gaps);
  EXPECT_EQ(r2, ref.size() / 2) << "played " << played[2 * end] << " for " << ref[2 * r2];
  EXPECT_EQ(end, last);
}

// Double speed on the external clock halves the sound and keeps the tone;
// pitch 2 at normal speed keeps the length and doubles the tone.
TEST_F(VideoStateTest, TempoAndPitchThroughTheState) {
  struct Case {
    double speed;
    float pitch;
    double seconds;
    double hertz;
    Tav_sync_type sync;
  };
  // The disk device plays faster than real time: sound that follows the
  // external clock at speed 1 is stretched towards it, so the pitch case
  // lets the sound lead.
  startDiskAudio(10);
  for (const Case c :
       {Case{2.0, 1.0f, tone::kSeconds / 2.0, tone::kFrequency, AV_SYNC_EXTERNAL_CLOCK},
        Case{1.0, 2.0f, tone::kSeconds, 2.0 * tone::kFrequency, AV_SYNC_AUDIO_MASTER}}) {
    SCOPED_TRACE(::testing::Message() << "speed " << c.speed << " pitch " << c.pitch);
    TPlayerSettings s = quiet(true);
    s.SyncType = c.sync;
    s.PlaybackSpeed = c.speed;
    s.AudioPitch = c.pitch;
    const std::vector<std::int16_t> played = playTone(s);
    const auto [first, last] = soundSpan(played);
    const double seconds = static_cast<double>(last - first) / media::kSampleRate;
    EXPECT_NEAR(seconds, c.seconds, c.seconds * 0.05);
    const std::size_t margin = media::kSampleRate / 10;
    ASSERT_GT(last - first, 3 * margin);
    EXPECT_NEAR(frequency(played, first + margin, last - margin), c.hertz, c.hertz * 0.02);
  }
}

// Read results: the end (AVERROR_EOF or a broken pipe) ends playback;
// "try again" only delays; any other error without an I/O context is logged
// once and taken as the end. A seek the demuxer refuses is retried with the
// backward flag inverted, then reported.
TEST_F(VideoStateTest, ReadErrorsAndRefusedSeeks) {
  struct Case {
    Script script;
    bool readError;
  };
  const int again = AVERROR(EAGAIN);
  const Case cases[] = {
      {{{2, 4, 6}, AVERROR_EOF}, false},
      {{{2, 4, 6}, AVERROR(EPIPE)}, false},
      {{{2, again, again, 4, again, 6}, AVERROR_EOF}, false},
      {{{2, 4, 6}, -1}, true},
      {{{2, 4, 6}, AVERROR(EIO)}, true},
  };
  for (const Case& c : cases) {
    const std::string name = "script:" + std::to_string(c.script.terminal);
    SCOPED_TRACE(name);
    gScript = &c.script;
    gStep = 0;
    gSeeks = 0;
    EngineHost h;
    TPlayerSettings s = quiet();
    s.find_stream_info = false;
    auto is = TVideoState::Create(h, s, name, &kScripted, false, true);
    ASSERT_TRUE(is) << h.errors();
    PictureConsumer pictures(*is);
    ASSERT_TRUE(waitUntil([&] { return h.ended > 0; }, 5s)) << h.errors();
    std::this_thread::sleep_for(50ms);  // the reader keeps meeting the terminal result
    std::vector<int> lumas;
    for (const Picture& p : pictures.pictures()) lumas.push_back(p.luma);
    EXPECT_EQ(lumas, (std::vector<int>{2, 4, 6}));
    EXPECT_EQ(h.count("reach end of file: " + name), 1);
    EXPECT_EQ(h.count("error while reading file " + name + ": " + error_text(c.script.terminal)),
              c.readError ? 1 : 0)
        << h.errors();
    EXPECT_EQ(h.ended, 1);

    is->StreamSeek(0, 0, false);
    ASSERT_TRUE(waitUntil([&] { return !is->seek_req; }));
    // The library asks the demuxer twice per attempt (at the target, then at
    // the range's end); the state makes a second attempt.
    EXPECT_EQ(gSeeks, 4);
    EXPECT_EQ(h.count(name + ": error while seeking"), 1);
    // Even a failed seek starts a new end.
    EXPECT_TRUE(waitUntil([&] { return h.ended > 1; }, 5s));
    pictures.stop();
    is->Close();
    EXPECT_EQ(h.quits, 0);
  }
}

// The video graph gives the pictures their size: a scale filter, and the
// automatic rotation of a clip with a display matrix.
TEST_F(VideoStateTest, VideoFiltersSetThePictureSize) {
  struct Case {
    media::Kind kind;
    const char* filters;
    bool autoRotate;
    int width, height;
  };
  const Case cases[] = {
      {media::Kind::Numbered, "scale=160:120", true, 160, 120},
      {media::Kind::Mp4Rotated, "", true, media::kHeight, media::kWidth},
      {media::Kind::Mp4Rotated, "", false, media::kWidth, media::kHeight},
      // The picture is scaled before it is turned.
      {media::Kind::Mp4Rotated, "scale=100:80", true, 80, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << media::kindName(c.kind) << " " << c.filters);
    EngineHost h;
    TPlayerSettings s = quiet();
    s.VideoFilters = c.filters;
    s.AutoRotate = c.autoRotate;
    auto is = TVideoState::Create(h, s, media::ensure(c.kind), nullptr, false, true);
    ASSERT_TRUE(is) << h.errors();
    PictureConsumer pictures(*is);
    ASSERT_TRUE(waitUntil([&] { return h.ended > 0; })) << h.errors();
    pictures.stop();
    is->Close();
    const std::vector<Picture> all = pictures.pictures();
    ASSERT_FALSE(all.empty());
    for (const Picture& p : all) {
      ASSERT_EQ(p.width, c.width);
      ASSERT_EQ(p.height, c.height);
      ASSERT_EQ(p.format, AV_PIX_FMT_YUV420P);
    }
  }
}

}  // namespace
