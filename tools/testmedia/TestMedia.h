// Test media written through the bound media libraries: lavfi sources, the
// libraries' encoders and muxers. Used by tests, benchmarks and the tools.
//
// Every property a test may check is a named constant here. Audio is stereo,
// in the encoder's first sample format. H.264 is libx264 (preset veryfast,
// crf 23, the preset's B-frames); without libx264 those kinds are MPEG-4 part 2
// at quantiser 3 without B-frames, and a warning is logged.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace corvane::testmedia {

enum class Kind {
  Mp4H264Aac,         // mp4: H.264 (libx264, else mpeg4) + AAC, moov first
  MkvMpeg4VorbisSrt,  // matroska: MPEG-4 part 2 + Vorbis + SubRip cues
  TsTwoPrograms,      // mpegts: two programs of MPEG-2 video + MP2 each
  Wav,                // wav: pcm_s16le
  Flac,               // flac: 16-bit
  Png,                // png: one RGB24 picture
  Mp4Rotated,         // mp4: H.264 video with a display matrix, no audio
  Bench1080p,         // mp4: 1920x1080 30 fps H.264 + AAC, 10 s
  Numbered,           // mp4: MPEG-4 part 2, frame N has luma 2N, GOP 12, + AAC
  NumberedGop60,      // the same with GOP 60
  NumberedBFrames,    // the same with B-frames, and sound that outlasts the pictures
  ToneWav,            // wav: pcm_s16le sine with clicks
  ToneMp4,            // mp4: AAC of the same signal
  Aac60s,             // m4a: 60 s AAC, no video
  Solid1080p,         // mp4: 1920x1080 H.264 of one colour, no audio
  TruncatedMp4,       // the first half of an Mp4H264Aac file
  RandomBytesMp4,     // pseudo-random bytes named .mp4
  EmptyMkv,           // zero bytes named .mkv
  MkvDvdSub,          // matroska: MPEG-4 part 2 of one colour + a DVD bitmap subtitle
};

inline constexpr std::array kAllKinds = {Kind::Mp4H264Aac,     Kind::MkvMpeg4VorbisSrt,
                                         Kind::TsTwoPrograms,  Kind::Wav,
                                         Kind::Flac,           Kind::Png,
                                         Kind::Mp4Rotated,     Kind::Bench1080p,
                                         Kind::Numbered,       Kind::NumberedGop60,
                                         Kind::ToneWav,        Kind::ToneMp4,
                                         Kind::Aac60s,         Kind::Solid1080p,
                                         Kind::TruncatedMp4,   Kind::RandomBytesMp4,
                                         Kind::EmptyMkv,       Kind::MkvDvdSub,
                                         Kind::NumberedBFrames};

// Command-line name ("mp4-h264-aac") and file name ("h264_aac.mp4") of a kind.
const char* kindName(Kind kind);
const char* fileName(Kind kind);
std::optional<Kind> kindFromName(std::string_view name);

// A generation failed: "testmedia: <kind>: <what failed>: <library error text>".
class ETestMedia : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes `kind` to `path`, replacing a file there. The file is written under a
// unique temporary name in the same directory and renamed into place, so a
// reader never sees a partial file. Loads kEncoderLibraries for the duration
// (balanced: what the caller loaded stays loaded). Throws ETestMedia.
void generate(Kind kind, const std::string& path);

// The cache directory: $CORVANE_TEST_MEDIA_DIR, else a directory in the build tree.
std::string cacheDir();
// Path of `kind` in the cache, <cacheDir>/r<kRecipeRevision>/<fileName>, generated
// when missing. Safe to call from several threads and processes at once.
// Throws ETestMedia.
std::string ensure(Kind kind);

// Bumped whenever a recipe changes, so that stale cached files are not used.
inline constexpr int kRecipeRevision = 1;

// True when the loaded avcodec has libx264; the H.264 kinds are mpeg4 otherwise.
// Needs avcodec loaded.
bool haveH264Encoder();

// Small clips.
inline constexpr int kWidth = 320;
inline constexpr int kHeight = 240;
inline constexpr int kFps = 25;
inline constexpr int kSampleRate = 44100;
inline constexpr int kChannels = 2;

namespace mp4 {
inline constexpr int kSeconds = 3;
inline constexpr int kGop = 25;
}  // namespace mp4

// Cue times count from the video stream's first frame: the muxer shifts every
// stream by the Vorbis encoder's delay so that no timestamp is negative.
namespace mkv {
inline constexpr int kSeconds = 3;
struct Cue {
  int startMs;
  int endMs;
  const char* text;
};
inline constexpr std::array kCues = {Cue{200, 900, "First cue"}, Cue{1200, 1900, "Second cue"},
                                     Cue{2200, 2900, "Third cue"}};
}  // namespace mkv

namespace ts {
inline constexpr int kSeconds = 2;
inline constexpr int kSampleRate = 48000;
struct Program {
  int id;
  int width;
  int height;
};
inline constexpr std::array kPrograms = {Program{101, 320, 240}, Program{202, 176, 144}};
}  // namespace ts

namespace wav {
inline constexpr int kSeconds = 2;
inline constexpr int kSampleRate = 48000;
inline constexpr int kFrequency = 440;
}  // namespace wav

namespace flac {
inline constexpr int kSeconds = 2;
inline constexpr int kFrequency = 660;
}  // namespace flac

namespace rotated {
inline constexpr int kSeconds = 2;
// The stream's matrix is av_display_rotation_set(m, kDegrees): the picture is
// shown turned kDegrees clockwise; av_display_rotation_get(m), which counts
// counter-clockwise, returns -kDegrees.
inline constexpr int kDegrees = 90;
}  // namespace rotated

namespace bench {
inline constexpr int kWidth = 1920;
inline constexpr int kHeight = 1080;
inline constexpr int kFps = 30;
inline constexpr int kSeconds = 10;
inline constexpr int kSampleRate = 48000;
}  // namespace bench

// Numbered clips: 320x240, kFps, MPEG-4 part 2 at quantiser 2, no B-frames
// (decode order is presentation order), AAC audio. Frame N has uniform luma
// 2N and chroma 128; frame N starts at N / kFps seconds.
namespace numbered {
inline constexpr int kSeconds = 4;
inline constexpr int kFrames = kSeconds * kFps;
inline constexpr int kGop = 12;
inline constexpr int kGop60 = 60;
inline constexpr int kLumaTolerance = 2;
// NumberedBFrames: kBFrames B-frames between references, GOP kGop; its sound
// goes on kAudioTailSeconds after the last picture.
inline constexpr int kBFrames = 2;
inline constexpr int kAudioTailSeconds = 2;
constexpr int luma(int frame) { return 2 * frame; }
}  // namespace numbered

// Tone clips: a sine at kFrequency, amplitude kAmplitude of full scale, on both
// channels; kClickSamples samples at each whole second (sample k * kSampleRate,
// k = 0 .. kSeconds - 1) hold kClickLevel instead. The AAC variant carries
// the encoder's delay, so click positions hold there only to a few ms.
namespace tone {
inline constexpr int kSeconds = 3;
inline constexpr int kFrequency = 1000;
inline constexpr double kAmplitude = 0.25;
inline constexpr double kClickLevel = 0.9;
inline constexpr int kClickSamples = 44;
inline constexpr int kClickEverySamples = kSampleRate;
inline constexpr int kClicks = kSeconds;
}  // namespace tone

namespace aac60 {
inline constexpr int kSeconds = 60;
inline constexpr int kFrequency = 440;
}  // namespace aac60

// Solid clip: BT.601 limited-range red (RGB 0xFF0000), written as exact
// Y'CbCr values and tagged so.
namespace solid {
inline constexpr int kWidth = 1920;
inline constexpr int kHeight = 1080;
inline constexpr int kFps = 30;
inline constexpr int kSeconds = 2;
inline constexpr std::uint32_t kRgb = 0xFF0000;
inline constexpr int kY = 81;
inline constexpr int kCb = 90;
inline constexpr int kCr = 240;
}  // namespace solid

// Bitmap subtitle clip: kWidth x kHeight at kFps, kSeconds, MPEG-4 part 2 at
// quantiser 2, no audio; every picture is BT.601 limited-range blue (RGB
// 0x0000FF), written as exact Y'CbCr values and tagged so. One subtitle from
// the DVD subtitle encoder on a canvas of the video's size: kBox, an opaque
// box of one colour in the encoder's default palette. The first picture and
// the subtitle's times count from 0. Decoded, it is one SUBTITLE_BITMAP
// rectangle at (x, y), width x height, with pts startMs (in AV_TIME_BASE
// units), start_display_time 0 and end_display_time kDecodedDurationMs: the
// stop time counts in units of 1024/90000 s, rounded down. Every index of the
// rectangle names a palette entry equal to argb.
namespace dvdsub {
inline constexpr int kSeconds = 3;
inline constexpr int kBackY = 41;
inline constexpr int kBackCb = 240;
inline constexpr int kBackCr = 110;
struct Box {
  int startMs;
  int endMs;
  int x;
  int y;
  int width;
  int height;
  std::uint32_t argb;  // 0xAARRGGBB
};
inline constexpr Box kBox{500, 2500, 20, 150, 100, 40, 0xFFFFFF00};  // opaque yellow
inline constexpr int kDecodedDurationMs = (kBox.endMs - kBox.startMs) * 90 / 1024 * 1024 / 90;
static_assert(kDecodedDurationMs == 1991);
}  // namespace dvdsub

namespace broken {
inline constexpr std::size_t kRandomBytes = 64 * 1024;
inline constexpr std::uint32_t kRandomSeed = 20240611;
// The truncated file keeps this fraction of the Mp4H264Aac file (moov first,
// so it opens and the media data ends early).
inline constexpr double kTruncatedFraction = 0.5;
}  // namespace broken

}  // namespace corvane::testmedia
