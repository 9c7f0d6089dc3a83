// Not built yet: replaced by the run work.
#include "transcoder/Transcoder.h"
namespace corvane {
void TCustomFFmpeg::ReportProgress(bool, std::int64_t, std::int64_t) {}
void TCustomFFmpeg::LogFinalStatistics(std::int64_t) {}
}  // namespace corvane
