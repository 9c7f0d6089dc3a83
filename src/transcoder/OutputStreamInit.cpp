// Not built yet: replaced by the run work.
#include "transcoder/Transcoder.h"
namespace corvane {
int TCustomFFmpeg::EnsureOutputStream(TOutputStream&, AVFrame*, bool) { Fatal("not built"); }
}  // namespace corvane
