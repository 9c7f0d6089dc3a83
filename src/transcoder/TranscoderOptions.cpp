#include "transcoder/TranscoderOptions.h"

#include "foundation/ErrorText.h"
#include "foundation/StreamOptions.h"
#include "foundation/api/avformat.h"

namespace corvane {

TCustomFFmpegOpt::TCustomFFmpegOpt() = default;

TCustomFFmpegOpt::~TCustomFFmpegOpt() {
  // Graphs refer to streams, streams to files: release in that order.
  Ffiltergraphs.clear();
  Foutput_streams.clear();
  Foutput_files.clear();
  Finput_streams.clear();
  Finput_files.clear();
  FreeHWDevices();
  if (Fprogress_avio && ff::avio_closep) ff::avio_closep(&Fprogress_avio);
}

void TCustomFFmpegOpt::FreeHWDevices() {
  Ffilter_hw_device = nullptr;
  FHWDevices.FreeAllDevices();
}

void TCustomFFmpegOpt::Fatal(const std::string& text) {
  FLastErrMsg = text;
  FFLogger().Log(this, llFatal, text);
  throw FFmpegException(text);
}

int TCustomFFmpegOpt::Fail(int code, TLogLevel level, const std::string& text) {
  FLastErrMsg = text;
  FFLogger().Log(this, level, text);
  return code;
}

const TSpecifierValue* TCustomFFmpegOpt::MatchPerStream(const TSpecifierList& list,
                                                        AVFormatContext* s, AVStream* st) {
  const TSpecifierValue* found = nullptr;
  for (const TSpecifierValue& v : list) {
    const int ret = check_stream_specifier(s, st, v.specifier.c_str());
    if (ret > 0)
      found = &v;
    else if (ret < 0)
      Fatal(error_text("check_stream_specifier", ret));
  }
  return found;
}

std::unique_ptr<TPerFileOptions> TCustomFFmpegOpt::NewPerFileOptions() {
  auto o = std::make_unique<TPerFileOptions>();
  FOptions.init_parse_context();
  o->group = &FOptions.OptionParseContext().file_opts;
  return o;
}

void TCustomFFmpegOpt::ReleasePerFileOptions(std::unique_ptr<TPerFileOptions> o) {
  o.reset();
  FOptions.uninit_parse_context();
}

}  // namespace corvane
