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
struct BufferRefDeleter {
  void operator()(AVBufferRef* p) const {
    if (ff::av_buffer_unref) ff::av_buffer_unref(&p);
  }
};
struct CodecParametersDeleter {
  void operator()(AVCodecParameters* p) const {
    if (ff::avcodec_parameters_free) ff::avcodec_parameters_free(&p);
  }
};
struct BsfDeleter {
  void operator()(AVBSFContext* p) const {
    if (ff::av_bsf_free) ff::av_bsf_free(&p);
  }
};
// A muxer context: closes its file (unless the format uses none), then frees.
struct OutputContextDeleter {
  void operator()(AVFormatContext* p) const {
    if (!p) return;
    if (p->oformat && !(p->oformat->flags & AVFMT_NOFILE) && !(p->flags & AVFMT_FLAG_CUSTOM_IO) &&
        ff::avio_closep)
      ff::avio_closep(&p->pb);
    if (ff::avformat_free_context) ff::avformat_free_context(p);
  }
};
// A decoded subtitle that frees its rectangles.
struct OwnedSubtitle {
  AVSubtitle sub{};
  OwnedSubtitle() = default;
  OwnedSubtitle(const OwnedSubtitle&) = delete;
  OwnedSubtitle& operator=(const OwnedSubtitle&) = delete;
  ~OwnedSubtitle() {
    if (ff::avsubtitle_free) ff::avsubtitle_free(&sub);
  }
};
struct ExprDeleter {
  void operator()(AVExpr* p) const {
    if (ff::av_expr_free) ff::av_expr_free(p);
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
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;
using BsfPtr = std::unique_ptr<AVBSFContext, BsfDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using SubtitlePtr = std::unique_ptr<OwnedSubtitle>;
using ExprPtr = std::unique_ptr<AVExpr, ExprDeleter>;
template <class T>
using AVMemPtr = std::unique_ptr<T, AVMemDeleter>;

inline FramePtr makeFrame() { return FramePtr(ff::av_frame_alloc()); }
inline PacketPtr makePacket() { return PacketPtr(ff::av_packet_alloc()); }

}  // namespace corvane
