// Not built yet: replaced by the output file work.
#include "transcoder/TranscoderOptions.h"
namespace corvane {
int TCustomFFmpegOpt::OpenOutputFile(TPerFileOptions&, const std::string&, const std::string&,
                                     const std::string&) {
  return AVERROR(ENOSYS);
}
}  // namespace corvane
