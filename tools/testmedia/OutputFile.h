// An output file whose streams are encoded from lavfi sources.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "testmedia/Av.h"
#include "testmedia/TestMedia.h"

namespace corvane::testmedia {

using Options = std::vector<std::pair<std::string, std::string>>;

struct VideoSpec {
  std::string chain;  // lavfi source chain; the encoder's pixel format is appended
  std::string encoder;
  int gop = 12;
  int bFrames = -1;   // -1: the encoder's default
  int qscale = 0;     // a fixed quantiser when > 0
  Options options{};  // encoder private options
  AVColorSpace colorspace = AVCOL_SPC_UNSPECIFIED;
  AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
  AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
};

struct AudioSpec {
  std::string chain;  // lavfi source chain; format, rate and stereo layout are appended
  std::string encoder;
  int sampleRate = kSampleRate;
  Options options{};
};

class OutputFile {
 public:
  // `what` leads every error message ("testmedia: <kind>").
  OutputFile(std::string what, const char* format, const std::string& path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  AVStream* addVideo(const VideoSpec& spec);
  AVStream* addAudio(const AudioSpec& spec);
  AVStream* addSubtitles(std::span<const mkv::Cue> cues);
  // Bitmap subtitles of the encoder `codec`, on a width x height canvas.
  AVStream* addBitmapSubtitles(AVCodecID codec, int width, int height,
                               std::span<const dvdsub::Box> boxes);
  AVFormatContext* context() const { return oc_.get(); }

  // Writes the header, every stream interleaved by time until its source ends,
  // the encoders' delayed packets, and the trailer.
  void write(Options muxerOptions = {});

 private:
  struct Stream;
  struct Cue;

  [[noreturn]] void fail(const std::string& step, int err) const;
  Stream& newStream(const AVCodec* codec, const char* role);
  void openEncoder(Stream& s, const Options& options);
  void encode(Stream& s, AVFrame* frame);
  void writeCue(Stream& s);
  Stream& newSubtitleStream(AVCodecID codec, const char* what);
  void writePacket(Stream& s, AVPacket* pkt);

  std::string what_;
  std::string path_;
  OutputPtr oc_;
  std::vector<std::unique_ptr<Stream>> streams_;
};

}  // namespace corvane::testmedia
