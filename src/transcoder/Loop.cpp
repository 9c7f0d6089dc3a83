// Not built yet: replaced by the run work.
#include "transcoder/Transcoder.h"
namespace corvane {
void TCustomFFmpeg::TranscodeLoop() { Fatal("not built"); }
int TCustomFFmpeg::TranscodeStep() { Fatal("not built"); }
bool TCustomFFmpeg::HasPendingOutput() { return false; }
TOutputStream* TCustomFFmpeg::PickOutputStream() { return nullptr; }
bool TCustomFFmpeg::AnyOutputUnavailable() { return false; }
int TCustomFFmpeg::PullFromGraph(TFilterGraph&, TInputStream*&) { Fatal("not built"); }
}  // namespace corvane
