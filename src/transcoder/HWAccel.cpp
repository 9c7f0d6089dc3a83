// Not built yet: replaced by the run work.
#include "transcoder/Transcoder.h"
namespace corvane {
int TCustomFFmpeg::SetupDecoderDevice(TInputStream&) { return 0; }
int TCustomFFmpeg::SetupEncoderDevice(TOutputStream&) { return 0; }
}  // namespace corvane
