// Not built yet: replaced by the run work.
#include "transcoder/Transcoder.h"
namespace corvane {
int TCustomFFmpeg::DrainFilters(bool) { Fatal("not built"); }
double TCustomFFmpeg::AdjustFrameTimestamp(TOutputFile&, TOutputStream&, AVFrame*) { return 0; }
void TCustomFFmpeg::do_video_out(TOutputFile&, TOutputStream&, AVFrame*) { Fatal("not built"); }
void TCustomFFmpeg::EncodeAudioFrame(TOutputFile&, TOutputStream&, AVFrame*) { Fatal("not built"); }
void TCustomFFmpeg::EncodeSubtitle(TOutputFile&, TOutputStream&, AVSubtitle*) { Fatal("not built"); }
bool TCustomFFmpeg::WithinRecordingTime(TOutputStream&) { return true; }
void TCustomFFmpeg::FlushEncoders() {}
}  // namespace corvane
