// Not built yet: replaced by the input file work.
#include "transcoder/TranscoderOptions.h"
namespace corvane {
int TCustomFFmpegOpt::OpenInputFile(TPerFileOptions&, const std::string&, const std::string&,
                                    const std::string&) {
  return AVERROR(ENOSYS);
}
const AVCodec* TCustomFFmpegOpt::FindCodecOrDie(const std::string& name, AVMediaType, bool) {
  Fatal("Unknown codec \"" + name + "\"");
}
const AVCodec* TCustomFFmpegOpt::ChooseDecoder(TPerFileOptions&, AVFormatContext*, AVStream*) {
  return nullptr;
}
bool TCustomFFmpegOpt::CheckOverwrite(const std::string&) { return false; }
}  // namespace corvane
