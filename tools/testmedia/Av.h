// Owning handles of library objects, and the library's error texts.
#pragma once

#include <memory>
#include <string>

#include "foundation/api/avcodec.h"
#include "foundation/api/avfilter.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"

namespace corvane::testmedia {

struct FrameFree {
  void operator()(AVFrame* p) const { ff::av_frame_free(&p); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { ff::av_packet_free(&p); }
};
struct CodecContextFree {
  void operator()(AVCodecContext* p) const { ff::avcodec_free_context(&p); }
};
struct GraphFree {
  void operator()(AVFilterGraph* p) const { ff::avfilter_graph_free(&p); }
};
struct InOutFree {
  void operator()(AVFilterInOut* p) const { ff::avfilter_inout_free(&p); }
};
// Closes the file the output context opened, then frees the context.
struct OutputFree {
  void operator()(AVFormatContext* p) const {
    if (p->oformat && !(p->oformat->flags & AVFMT_NOFILE)) ff::avio_closep(&p->pb);
    ff::avformat_free_context(p);
  }
};
struct InputClose {
  void operator()(AVFormatContext* p) const { ff::avformat_close_input(&p); }
};

using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using GraphPtr = std::unique_ptr<AVFilterGraph, GraphFree>;
using InOutPtr = std::unique_ptr<AVFilterInOut, InOutFree>;
using OutputPtr = std::unique_ptr<AVFormatContext, OutputFree>;
using InputPtr = std::unique_ptr<AVFormatContext, InputClose>;

// An option dictionary; freed with its entries.
class Dict {
 public:
  Dict() = default;
  ~Dict() { ff::av_dict_free(&d_); }
  Dict(const Dict&) = delete;
  Dict& operator=(const Dict&) = delete;
  void set(const char* key, const std::string& value) {
    ff::av_dict_set(&d_, key, value.c_str(), 0);
  }
  AVDictionary** get() { return &d_; }

 private:
  AVDictionary* d_ = nullptr;
};

// The library's text for an error code.
inline std::string avError(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  if (ff::av_strerror(err, buf, sizeof buf) < 0) return "error " + std::to_string(err);
  return buf;
}

}  // namespace corvane::testmedia
