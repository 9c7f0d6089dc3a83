// Not built yet: replaced by the run work.
#include "transcoder/Transcoder.h"
namespace corvane {
bool TCustomFFmpeg::InitTranscode() { Fatal("not built"); }
int TCustomFFmpeg::transcode_init() { Fatal("not built"); }
int TCustomFFmpeg::OpenDecoder(int, std::string&) { Fatal("not built"); }
int TCustomFFmpeg::WriteHeaderIfReady(TOutputFile&, int) { Fatal("not built"); }
void TCustomFFmpeg::LogStreamMapping() {}
void TCustomFFmpeg::WriteSdp() {}
void TCustomFFmpeg::CleanupOutputs() {}
}  // namespace corvane
