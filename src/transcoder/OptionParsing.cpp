// Not built yet: replaced by the option table work.
#include "transcoder/TranscoderOptions.h"
namespace corvane {
void TCustomFFmpegOpt::BuildOptionTable() {}
TOptionTable TCustomFFmpegOpt::OptionDef() { return {}; }
int TCustomFFmpegOpt::ParseOptions(TPerFileOptions&, const std::string& options,
                                   const std::string& presets, const std::string&,
                                   const std::string&, std::uint32_t) {
  return options.empty() && presets.empty() ? 0 : AVERROR(ENOSYS);
}
int TCustomFFmpegOpt::ParsePresets(TPerFileOptions&, const std::string&, const std::string&) {
  return AVERROR(ENOSYS);
}
int TCustomFFmpegOpt::SetVideoHookBitsPixel(const std::string&) { return AVERROR(ENOSYS); }
}  // namespace corvane
