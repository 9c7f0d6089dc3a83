#include "testmedia/Recipes.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include "foundation/Logger.h"
#include "foundation/StrFormat.h"
#include "testmedia/OutputFile.h"

namespace corvane::testmedia {
namespace {

std::string testsrc(int width, int height, int fps, int seconds) {
  return strprintf("testsrc2=s=%dx%d:r=%d:d=%d", width, height, fps, seconds);
}

std::string sine(int frequency, int rate, int seconds) {
  return strprintf("sine=f=%d:r=%d:d=%d", frequency, rate, seconds);
}

// The tone with its clicks, one expression per channel.
std::string toneChain() {
  const std::string expr =
      strprintf("if(lt(mod(n,%d),%d),%g,%g*sin(2*PI*%d*t))", tone::kClickEverySamples,
                tone::kClickSamples, tone::kClickLevel, tone::kAmplitude, tone::kFrequency);
  return strprintf("aevalsrc=exprs='%s|%s':c=stereo:s=%d:d=%d", expr.c_str(), expr.c_str(),
                   kSampleRate, tone::kSeconds);
}

// H.264 through libx264, or MPEG-4 part 2 when the loaded avcodec lacks it.
VideoSpec h264(std::string chain, int gop) {
  if (haveH264Encoder())
    return {.chain = std::move(chain),
            .encoder = "libx264",
            .gop = gop,
            .options = {{"preset", "veryfast"}, {"crf", "23"}}};
  FFLogger().Log(nullptr, llWarning, "testmedia: libx264 is not available, using mpeg4");
  return {.chain = std::move(chain), .encoder = "mpeg4", .gop = gop, .bFrames = 0, .qscale = 3};
}

AudioSpec aac(std::string chain, int rate = kSampleRate) {
  return {.chain = std::move(chain), .encoder = "aac", .sampleRate = rate};
}

const char* vorbisEncoder() {
  return ff::avcodec_find_encoder_by_name("libvorbis") ? "libvorbis" : "vorbis";
}

void writeMp4H264Aac(const std::string& what, const std::string& path) {
  OutputFile out(what, "mp4", path);
  out.addVideo(h264(testsrc(kWidth, kHeight, kFps, mp4::kSeconds), mp4::kGop));
  out.addAudio(aac(sine(440, kSampleRate, mp4::kSeconds)));
  out.write({{"movflags", "+faststart"}});
}

void writeMkv(const std::string& what, const std::string& path) {
  OutputFile out(what, "matroska", path);
  out.addVideo({.chain = testsrc(kWidth, kHeight, kFps, mkv::kSeconds),
                .encoder = "mpeg4",
                .gop = kFps,
                .bFrames = 0,
                .qscale = 4});
  out.addAudio({.chain = sine(440, kSampleRate, mkv::kSeconds), .encoder = vorbisEncoder()});
  out.addSubtitles(mkv::kCues);
  out.write();
}

void writeTs(const std::string& what, const std::string& path) {
  OutputFile out(what, "mpegts", path);
  AVFormatContext* oc = out.context();
  int frequency = 440;
  for (const ts::Program& p : ts::kPrograms) {
    const AVStream* v = out.addVideo({.chain = testsrc(p.width, p.height, kFps, ts::kSeconds),
                                      .encoder = "mpeg2video",
                                      .gop = 12,
                                      .bFrames = 0});
    const AVStream* a = out.addAudio({.chain = sine(frequency, ts::kSampleRate, ts::kSeconds),
                                      .encoder = "mp2",
                                      .sampleRate = ts::kSampleRate});
    frequency *= 2;
    if (!ff::av_new_program(oc, p.id))
      throw ETestMedia(strprintf("%s: adding program %d: %s", what.c_str(), p.id,
                                 avError(AVERROR(ENOMEM)).c_str()));
    ff::av_program_add_stream_index(oc, p.id, static_cast<unsigned>(v->index));
    ff::av_program_add_stream_index(oc, p.id, static_cast<unsigned>(a->index));
  }
  out.write();
}

void writeAudio(const std::string& what, const char* format, const std::string& path,
                AudioSpec spec) {
  OutputFile out(what, format, path);
  out.addAudio(spec);
  out.write();
}

void writePng(const std::string& what, const std::string& path) {
  OutputFile out(what, "image2", path);
  out.addVideo({.chain = testsrc(kWidth, kHeight, 1, 1), .encoder = "png"});
  out.write({{"update", "1"}});
}

void writeRotated(const std::string& what, const std::string& path) {
  OutputFile out(what, "mp4", path);
  AVStream* st = out.addVideo(h264(testsrc(kWidth, kHeight, kFps, rotated::kSeconds), kFps));
  auto* matrix = reinterpret_cast<int32_t*>(
      ff::av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)));
  if (!matrix) throw ETestMedia(what + ": adding the display matrix: " + avError(AVERROR(ENOMEM)));
  ff::av_display_rotation_set(matrix, rotated::kDegrees);
  out.write();
}

void writeBench(const std::string& what, const std::string& path) {
  OutputFile out(what, "mp4", path);
  out.addVideo(
      h264(testsrc(bench::kWidth, bench::kHeight, bench::kFps, bench::kSeconds), 2 * bench::kFps));
  out.addAudio(aac(sine(440, bench::kSampleRate, bench::kSeconds), bench::kSampleRate));
  out.write();
}

void writeNumbered(const std::string& what, const std::string& path, int gop, int bFrames = 0,
                   int audioTail = 0) {
  OutputFile out(what, "mp4", path);
  out.addVideo({.chain = strprintf("nullsrc=s=%dx%d:r=%d:d=%d,geq=lum=2*N:cb=128:cr=128", kWidth,
                                   kHeight, kFps, numbered::kSeconds),
                .encoder = "mpeg4",
                .gop = gop,
                .bFrames = bFrames,
                .qscale = 2});
  out.addAudio(aac(sine(440, kSampleRate, numbered::kSeconds + audioTail)));
  out.write();
}

void writeSolid(const std::string& what, const std::string& path) {
  VideoSpec spec = h264(strprintf("color=c=black:s=%dx%d:r=%d:d=%d,format=yuv420p,"
                                  "lutyuv=y=%d:u=%d:v=%d",
                                  solid::kWidth, solid::kHeight, solid::kFps, solid::kSeconds,
                                  solid::kY, solid::kCb, solid::kCr),
                        solid::kFps);
  spec.colorspace = AVCOL_SPC_SMPTE170M;
  spec.primaries = AVCOL_PRI_SMPTE170M;
  spec.transfer = AVCOL_TRC_SMPTE170M;
  spec.range = AVCOL_RANGE_MPEG;
  OutputFile out(what, "mp4", path);
  out.addVideo(spec);
  out.write();
}

void writeDvdSub(const std::string& what, const std::string& path) {
  VideoSpec spec{.chain = strprintf("color=c=black:s=%dx%d:r=%d:d=%d,format=yuv420p,"
                                    "lutyuv=y=%d:u=%d:v=%d",
                                    kWidth, kHeight, kFps, dvdsub::kSeconds, dvdsub::kBackY,
                                    dvdsub::kBackCb, dvdsub::kBackCr),
                 .encoder = "mpeg4",
                 .gop = kFps,
                 .bFrames = 0,
                 .qscale = 2};
  spec.colorspace = AVCOL_SPC_SMPTE170M;
  spec.primaries = AVCOL_PRI_SMPTE170M;
  spec.transfer = AVCOL_TRC_SMPTE170M;
  spec.range = AVCOL_RANGE_MPEG;
  OutputFile out(what, "matroska", path);
  out.addVideo(spec);
  out.addBitmapSubtitles(AV_CODEC_ID_DVD_SUBTITLE, kWidth, kHeight,
                         std::span<const dvdsub::Box>(&dvdsub::kBox, 1));
  out.write();
}

void writeTruncated(const std::string& what, const std::string& path) {
  writeMp4H264Aac(what, path);
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (!ec)
    std::filesystem::resize_file(
        path, static_cast<std::uintmax_t>(static_cast<double>(size) * broken::kTruncatedFraction),
        ec);
  if (ec) throw ETestMedia(what + ": truncating " + path + ": " + ec.message());
}

void writeBytes(const std::string& what, const std::string& path, std::size_t count) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  std::mt19937 gen(broken::kRandomSeed);
  for (std::size_t i = 0; i < count && f; ++i) f.put(static_cast<char>(gen() & 0xFF));
  f.close();
  if (!f) throw ETestMedia(what + ": writing " + path + ": " + std::strerror(errno));
}

}  // namespace

std::string errorHead(Kind kind) { return std::string("testmedia: ") + kindName(kind); }

bool needsLibraries(Kind kind) { return kind != Kind::RandomBytesMp4 && kind != Kind::EmptyMkv; }

void writeKind(Kind kind, const std::string& path) {
  const std::string what = errorHead(kind);
  switch (kind) {
    case Kind::Mp4H264Aac:
      return writeMp4H264Aac(what, path);
    case Kind::MkvMpeg4VorbisSrt:
      return writeMkv(what, path);
    case Kind::TsTwoPrograms:
      return writeTs(what, path);
    case Kind::Wav:
      return writeAudio(what, "wav", path,
                        {.chain = sine(wav::kFrequency, wav::kSampleRate, wav::kSeconds),
                         .encoder = "pcm_s16le",
                         .sampleRate = wav::kSampleRate});
    case Kind::Flac:
      return writeAudio(
          what, "flac", path,
          {.chain = sine(flac::kFrequency, kSampleRate, flac::kSeconds), .encoder = "flac"});
    case Kind::Png:
      return writePng(what, path);
    case Kind::Mp4Rotated:
      return writeRotated(what, path);
    case Kind::Bench1080p:
      return writeBench(what, path);
    case Kind::Numbered:
      return writeNumbered(what, path, numbered::kGop);
    case Kind::NumberedGop60:
      return writeNumbered(what, path, numbered::kGop60);
    case Kind::NumberedBFrames:
      return writeNumbered(what, path, numbered::kGop, numbered::kBFrames,
                           numbered::kAudioTailSeconds);
    case Kind::ToneWav:
      return writeAudio(what, "wav", path, {.chain = toneChain(), .encoder = "pcm_s16le"});
    case Kind::ToneMp4:
      return writeAudio(what, "mp4", path, aac(toneChain()));
    case Kind::Aac60s:
      return writeAudio(what, "mp4", path,
                        aac(sine(aac60::kFrequency, kSampleRate, aac60::kSeconds)));
    case Kind::Solid1080p:
      return writeSolid(what, path);
    case Kind::TruncatedMp4:
      return writeTruncated(what, path);
    case Kind::RandomBytesMp4:
      return writeBytes(what, path, broken::kRandomBytes);
    case Kind::EmptyMkv:
      return writeBytes(what, path, 0);
    case Kind::MkvDvdSub:
      return writeDvdSub(what, path);
  }
  throw ETestMedia(what + ": unknown kind");
}

}  // namespace corvane::testmedia
