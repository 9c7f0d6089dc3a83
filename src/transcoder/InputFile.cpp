// Not built yet: replaced by the input file work.
#include "transcoder/TranscoderOptions.h"
namespace corvane {
int TCustomFFmpegOpt::OpenInputFile(TPerFileOptions&, const std::string&, const std::string&,
                                    const std::string&) {
  return AVERROR(ENOSYS);
}
bool TCustomFFmpegOpt::CheckOverwrite(const std::string&) { return false; }
}  // namespace corvane
