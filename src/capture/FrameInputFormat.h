// The "frameinput" input format: one raw video stream whose packets a
// TFrameInputAdapter fills. The input's file name is the adapter's
// RegistryUrl(); options: input_type (yuv, bmp, canvas), video_size,
// framerate, pixel_format.
#pragma once

extern "C" {
struct AVInputFormat;
}

namespace corvane {

// The format record, added to the application's input formats on the first
// call; later calls return the same record. Any thread.
const AVInputFormat* RegisterFrameInputFormat();

}  // namespace corvane
