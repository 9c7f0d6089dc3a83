// Not built yet: replaced by the run work.
#include "transcoder/Transcoder.h"
namespace corvane {
int TCustomFFmpeg::ReadInputFile(int) { Fatal("not built"); }
void TCustomFFmpeg::ClearUnavailable() {}
}  // namespace corvane
