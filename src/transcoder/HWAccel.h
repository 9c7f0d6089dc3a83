// Hardware decoding callbacks of an input stream's decoder. The decoder
// context's opaque pointer is its TInputStream. They may run on the
// library's decoding threads; they only read the stream's settings and
// write hwaccel_pix_fmt while negotiating.
#pragma once

#include "foundation/api/avcodec.h"

namespace corvane {

struct TInputStream;

// Picks the first offered format the stream can use: a hardware format of its
// acceleration that initialises, else the first software format.
AVPixelFormat NegotiateFormat(AVCodecContext* s, const AVPixelFormat* pix_fmts);
int AllocateFrameBuffer(AVCodecContext* s, AVFrame* frame, int flags);
int GenericHwaccelInit(AVCodecContext* s);
// Replaces a hardware frame by its copy in the stream's hwaccel_output_format
// (the device's default software format when that is none).
int RetrieveHardwareFrame(AVCodecContext* s, AVFrame* input);

int QsvInit(AVCodecContext* s);
int QsvDeviceInit(TInputStream& ist);

}  // namespace corvane
