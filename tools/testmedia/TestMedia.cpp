#include "testmedia/TestMedia.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "foundation/FFLoader.h"
#include "foundation/api/avcodec.h"
#include "testmedia/Recipes.h"

#ifndef CORVANE_TEST_MEDIA_DEFAULT_DIR
#error "CORVANE_TEST_MEDIA_DEFAULT_DIR must name the default cache directory"
#endif

namespace fs = std::filesystem;

namespace corvane::testmedia {
namespace {

struct KindNames {
  Kind kind;
  const char* name;
  const char* file;
};

constexpr std::array<KindNames, kAllKinds.size()> kNames = {{
    {Kind::Mp4H264Aac, "mp4-h264-aac", "h264_aac.mp4"},
    {Kind::MkvMpeg4VorbisSrt, "mkv-mpeg4-vorbis-srt", "mpeg4_vorbis_srt.mkv"},
    {Kind::TsTwoPrograms, "ts-two-programs", "two_programs.ts"},
    {Kind::Wav, "wav", "pcm_s16le.wav"},
    {Kind::Flac, "flac", "audio.flac"},
    {Kind::Png, "png", "still.png"},
    {Kind::Mp4Rotated, "mp4-rotated", "rotated90.mp4"},
    {Kind::Bench1080p, "bench-1080p", "bench_1080p30.mp4"},
    {Kind::Numbered, "numbered", "numbered_gop12.mp4"},
    {Kind::NumberedGop60, "numbered-gop60", "numbered_gop60.mp4"},
    {Kind::ToneWav, "tone-wav", "tone_1khz.wav"},
    {Kind::ToneMp4, "tone-mp4", "tone_1khz.mp4"},
    {Kind::Aac60s, "aac-60s", "aac_60s.m4a"},
    {Kind::Solid1080p, "solid-1080p", "solid_1080p.mp4"},
    {Kind::TruncatedMp4, "truncated-mp4", "truncated.mp4"},
    {Kind::RandomBytesMp4, "random-bytes-mp4", "random_bytes.mp4"},
    {Kind::EmptyMkv, "empty-mkv", "empty.mkv"},
    {Kind::MkvDvdSub, "mkv-dvdsub", "dvdsub.mkv"},
    {Kind::NumberedBFrames, "numbered-bframes", "numbered_bframes.mp4"},
}};

const KindNames& names(Kind kind) {
  for (const KindNames& n : kNames)
    if (n.kind == kind) return n;
  throw ETestMedia("testmedia: unknown kind " + std::to_string(static_cast<int>(kind)));
}

// One balanced load of the encoder libraries.
class LibraryUse {
 public:
  explicit LibraryUse(const std::string& what) {
    if (!FFLoader().Load(kEncoderLibraries))
      throw ETestMedia(what + ": loading the media libraries: " + FFLoader().LastErrMsg());
  }
  ~LibraryUse() { FFLoader().Unload(kEncoderLibraries); }
  LibraryUse(const LibraryUse&) = delete;
  LibraryUse& operator=(const LibraryUse&) = delete;
};

// A name in the target's directory that no other writer uses.
fs::path temporaryFor(const fs::path& target) {
  static std::atomic<unsigned> counter{0};
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  return dir / ("." + target.filename().string() + "." + std::to_string(::getpid()) + "." +
                std::to_string(counter++) + ".part");
}

}  // namespace

const char* kindName(Kind kind) { return names(kind).name; }
const char* fileName(Kind kind) { return names(kind).file; }

std::optional<Kind> kindFromName(std::string_view name) {
  for (const KindNames& n : kNames)
    if (name == n.name) return n.kind;
  return std::nullopt;
}

bool haveH264Encoder() {
  FFLoader().CheckLibAV({avCodec});
  return ff::avcodec_find_encoder_by_name("libx264") != nullptr;
}

void generate(Kind kind, const std::string& path) {
  const std::string what = errorHead(kind);
  std::optional<LibraryUse> libs;
  if (needsLibraries(kind)) libs.emplace(what);
  const fs::path target(path);
  const fs::path temp = temporaryFor(target);
  std::error_code ec;
  try {
    writeKind(kind, temp.string());
  } catch (...) {
    fs::remove(temp, ec);
    throw;
  }
  fs::rename(temp, target, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw ETestMedia(what + ": renaming " + temp.string() + " to " + path + ": " + ec.message());
  }
}

std::string cacheDir() {
  const char* env = std::getenv("CORVANE_TEST_MEDIA_DIR");
  return env && *env ? env : CORVANE_TEST_MEDIA_DEFAULT_DIR;
}

std::string ensure(Kind kind) {
  // Threads of one process take turns; processes race harmlessly through
  // generate()'s rename.
  static std::mutex lock;
  std::lock_guard g(lock);
  const fs::path dir = fs::path(cacheDir()) / ("r" + std::to_string(kRecipeRevision));
  const fs::path file = dir / fileName(kind);
  std::error_code ec;
  if (fs::exists(file, ec)) return file.string();
  fs::create_directories(dir, ec);
  if (ec) throw ETestMedia(errorHead(kind) + ": creating " + dir.string() + ": " + ec.message());
  generate(kind, file.string());
  return file.string();
}

}  // namespace corvane::testmedia
