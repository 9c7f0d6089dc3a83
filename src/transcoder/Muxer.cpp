// Not built yet: replaced by the run work.
#include "transcoder/Transcoder.h"
namespace corvane {
void TCustomFFmpeg::SendToMuxer(TOutputFile&, AVPacket*, TOutputStream&, bool) { Fatal("not built"); }
void TCustomFFmpeg::MuxPacket(TOutputFile&, AVPacket*, TOutputStream&, bool) { Fatal("not built"); }
bool TCustomFFmpeg::AcceptsInput(const TInputStream&, const TOutputStream&) const { return false; }
void TCustomFFmpeg::CopyPacket(TInputStream&, TOutputStream&, const AVPacket*) { Fatal("not built"); }
void TCustomFFmpeg::CloseOutputStream(TOutputStream&) {}
void TCustomFFmpeg::FinishOutputStream(TOutputStream&) {}
void TCustomFFmpeg::MarkAllFinished(TOutputStream&, int, int) {}
}  // namespace corvane
