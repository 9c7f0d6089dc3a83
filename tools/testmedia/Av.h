// Owning handles of library objects, and the library's error texts.
#pragma once

#include <memory>
#include <string>

#include "foundation/AVHandles.h"
#include "foundation/Dictionary.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avfilter.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"

namespace corvane::testmedia {

using corvane::CodecContextPtr;
using corvane::FramePtr;
using corvane::PacketPtr;
using GraphPtr = corvane::FilterGraphPtr;
using InOutPtr = corvane::FilterInOutPtr;
using InputPtr = corvane::InputContextPtr;
using Dict = corvane::TDictionary;

// Closes the file the output context opened, then frees the context.
struct OutputFree {
  void operator()(AVFormatContext* p) const {
    if (p->oformat && !(p->oformat->flags & AVFMT_NOFILE)) ff::avio_closep(&p->pb);
    ff::avformat_free_context(p);
  }
};
using OutputPtr = std::unique_ptr<AVFormatContext, OutputFree>;

// The library's text for an error code.
inline std::string avError(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  if (ff::av_strerror(err, buf, sizeof buf) < 0) return "error " + std::to_string(err);
  return buf;
}

}  // namespace corvane::testmedia
