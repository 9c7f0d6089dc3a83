// Owning handles of library objects, released through the bound slots.
#pragma once

#include <memory>

#include "foundation/api/avcodec.h"
#include "foundation/api/avfilter.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"
#include "foundation/api/swresample.h"

namespace corvane {

struct InputContextDeleter {
  void operator()(AVFormatContext* p) const {
    if (ff::avformat_close_input) ff::avformat_close_input(&p);
  }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* p) const {
    if (ff::avcodec_free_context) ff::avcodec_free_context(&p);
  }
};
struct FrameDeleter {
  void operator()(AVFrame* p) const {
    if (ff::av_frame_free) ff::av_frame_free(&p);
  }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const {
    if (ff::av_packet_free) ff::av_packet_free(&p);
  }
};
struct FilterGraphDeleter {
  void operator()(AVFilterGraph* p) const {
    if (ff::avfilter_graph_free) ff::avfilter_graph_free(&p);
  }
};
struct FilterInOutDeleter {
  void operator()(AVFilterInOut* p) const {
    if (ff::avfilter_inout_free) ff::avfilter_inout_free(&p);
  }
};
struct SwrDeleter {
  void operator()(SwrContext* p) const {
    if (ff::swr_free) ff::swr_free(&p);
  }
};
struct AVMemDeleter {
  void operator()(void* p) const {
    if (ff::av_free) ff::av_free(p);
  }
};

using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;
using FilterInOutPtr = std::unique_ptr<AVFilterInOut, FilterInOutDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
template <class T>
using AVMemPtr = std::unique_ptr<T, AVMemDeleter>;

inline FramePtr makeFrame() { return FramePtr(ff::av_frame_alloc()); }
inline PacketPtr makePacket() { return PacketPtr(ff::av_packet_alloc()); }

}  // namespace corvane
