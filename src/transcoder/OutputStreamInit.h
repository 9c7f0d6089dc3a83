// Steps of output stream initialisation (encoder parameters, stream copy).
#pragma once

#include <string>

#include "foundation/api/avcodec.h"

namespace corvane {

class TCustomFFmpeg;
struct TOutputFile;
struct TOutputStream;

// enc_timebase when positive, the source stream's when negative (the default
// without a source), else def.
AVRational ChooseEncoderTimeBase(TCustomFFmpeg& e, const TOutputStream& ost, AVRational def);
// The "encoder" metadata of the stream, unless it has one.
void TagEncoder(TCustomFFmpeg& e, TOutputFile& of, TOutputStream& ost);
// Comma-separated times ("chapters[+offset]" for the file's chapters) into
// the sorted forced_kf_pts, in the encoder time base.
void ParseForcedKeyFrames(TCustomFFmpeg& e, const std::string& text, TOutputStream& ost,
                          AVCodecContext* enc);
// Encoder parameters from the sink, the first frame (may be null) and the
// source; 0 or a code with FLastErrMsg set.
int PrepareEncoder(TCustomFFmpeg& e, TOutputStream& ost, AVFrame* frame);
// Stream-copy parameters and time bases; 0 or a code with FLastErrMsg set.
int PrepareStreamCopy(TCustomFFmpeg& e, TOutputStream& ost);

}  // namespace corvane
