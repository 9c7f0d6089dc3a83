// Not built yet: replaced by the run work.
#include "transcoder/Transcoder.h"
namespace corvane {
bool TCustomFFmpeg::DecodeInputPacket(TInputStream&, const AVPacket*, bool) { Fatal("not built"); }
void TCustomFFmpeg::SubtitleHeartbeat(TInputStream&, std::int64_t) {}
}  // namespace corvane
