// Not built yet: replaced by the output stream work.
#include "transcoder/TranscoderOptions.h"
namespace corvane {
TOutputStream* TCustomFFmpegOpt::NewOutputStream(TPerFileOptions&, AVFormatContext*, AVMediaType,
                                                 int) {
  Fatal("not built");
}
TOutputStream* TCustomFFmpegOpt::NewVideoStream(TPerFileOptions& o, AVFormatContext* oc, int i) {
  return NewOutputStream(o, oc, AVMEDIA_TYPE_VIDEO, i);
}
TOutputStream* TCustomFFmpegOpt::NewAudioStream(TPerFileOptions& o, AVFormatContext* oc, int i) {
  return NewOutputStream(o, oc, AVMEDIA_TYPE_AUDIO, i);
}
TOutputStream* TCustomFFmpegOpt::NewSubtitleStream(TPerFileOptions& o, AVFormatContext* oc, int i) {
  return NewOutputStream(o, oc, AVMEDIA_TYPE_SUBTITLE, i);
}
TOutputStream* TCustomFFmpegOpt::NewDataStream(TPerFileOptions& o, AVFormatContext* oc, int i) {
  return NewOutputStream(o, oc, AVMEDIA_TYPE_DATA, i);
}
TOutputStream* TCustomFFmpegOpt::NewAttachmentStream(TPerFileOptions& o, AVFormatContext* oc,
                                                     int i) {
  return NewOutputStream(o, oc, AVMEDIA_TYPE_ATTACHMENT, i);
}
TOutputStream* TCustomFFmpegOpt::NewUnknownStream(TPerFileOptions& o, AVFormatContext* oc, int i) {
  return NewOutputStream(o, oc, AVMEDIA_TYPE_UNKNOWN, i);
}
void TCustomFFmpegOpt::FreeOutputStreams() { Foutput_streams.clear(); }
}  // namespace corvane
