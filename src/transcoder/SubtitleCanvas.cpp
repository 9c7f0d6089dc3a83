#include "transcoder/SubtitleCanvas.h"

#include <cstring>

#include "foundation/ErrorText.h"

namespace corvane {

namespace {

constexpr AVRational kMicro{1, AV_TIME_BASE};

// A transparent canvas of the decoder's size (or the configured fallback).
int SubtitleCanvasBlank(TInputStream& ist) {
  AVFrame* frame = ist.sub2video.frame.get();
  const AVCodecContext* dec = ist.dec_ctx.get();
  ff::av_frame_unref(frame);
  frame->width = dec->width ? dec->width : ist.sub2video.w;
  frame->height = dec->height ? dec->height : ist.sub2video.h;
  frame->format = AV_PIX_FMT_BGRA;
  const int ret = ff::av_frame_get_buffer(frame, 0);
  if (ret < 0) return ret;
  std::memset(frame->data[0], 0, static_cast<std::size_t>(frame->height) * frame->linesize[0]);
  return 0;
}

}  // namespace

bool RectFitsCanvas(int x, int y, int w, int h, int width, int height) {
  if (x < 0 || y < 0 || w < 0 || h < 0) return false;
  return std::int64_t{x} + w <= width && std::int64_t{y} + h <= height;
}

namespace {

void SubtitleCanvasCopyRect(TCustomFFmpeg& e, AVFrame* canvas, const AVSubtitleRect& r) {
  if (r.type != SUBTITLE_BITMAP || !r.data[0] || !r.data[1]) {
    e.Log(llWarning, "sub2video: non-bitmap subtitle");
    return;
  }
  if (!RectFitsCanvas(r.x, r.y, r.w, r.h, canvas->width, canvas->height)) {
    e.Log(llWarning, "sub2video: rectangle (%d %d %d %d) overflowing %d %d", r.x, r.y, r.w, r.h,
          canvas->width, canvas->height);
    return;
  }
  const std::uint8_t* palette = r.data[1];
  for (int y = 0; y < r.h; ++y) {
    const std::uint8_t* src = r.data[0] + static_cast<std::ptrdiff_t>(y) * r.linesize[0];
    std::uint8_t* dst =
        canvas->data[0] + static_cast<std::ptrdiff_t>(r.y + y) * canvas->linesize[0] + r.x * 4;
    for (int x = 0; x < r.w; ++x) std::memcpy(dst + x * 4, palette + src[x] * 4, 4);
  }
}

void SubtitleCanvasPush(TInputStream& ist, std::int64_t pts) {
  AVFrame* frame = ist.sub2video.frame.get();
  if (!frame->data[0]) return;
  ist.sub2video.last_pts = frame->pts = pts;
  for (TInputFilter* ifilter : ist.filters) {
    if (!ifilter->filter) continue;
    const int ret = ff::av_buffersrc_add_frame_flags(
        ifilter->filter, frame, AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH);
    if (ret < 0 && ret != AVERROR_EOF)
      ff::av_log(nullptr, AV_LOG_WARNING, "Error while add the frame to buffer source(%s).\n",
                 error_text(ret).c_str());
  }
}

unsigned FailedRequests(const TInputStream& ist) {
  unsigned n = 0;
  for (const TInputFilter* ifilter : ist.filters)
    if (ifilter->filter) n += ff::av_buffersrc_get_nb_failed_requests(ifilter->filter);
  return n;
}

}  // namespace

void TCustomFFmpeg::SubtitleCanvasUpdate(TInputStream& ist, std::int64_t heartbeat_pts,
                                         const AVSubtitle* sub) {
  AVFrame* frame = ist.sub2video.frame.get();
  if (!frame) return;
  std::int64_t pts = 0, end = INT64_MAX;
  if (sub) {
    const AVRational tb = ist.st->time_base;
    pts = ff::av_rescale_q(sub->pts + std::int64_t{sub->start_display_time} * 1000, kMicro, tb);
    end = ff::av_rescale_q(sub->pts + std::int64_t{sub->end_display_time} * 1000, kMicro, tb);
  } else {
    pts = ist.sub2video.initialize ? heartbeat_pts : ist.sub2video.end_pts;
  }
  if (SubtitleCanvasBlank(ist) < 0) {
    ff::av_log(ist.dec_ctx.get(), AV_LOG_ERROR, "Impossible to get a blank canvas.\n");
    return;
  }
  if (sub)
    for (unsigned i = 0; i < sub->num_rects; ++i)
      SubtitleCanvasCopyRect(*this, frame, *sub->rects[i]);
  SubtitleCanvasPush(ist, pts);
  ist.sub2video.end_pts = end;
  ist.sub2video.initialize = 0;
}

void TCustomFFmpeg::SubtitleHeartbeat(TInputStream& ist, std::int64_t pts) {
  if (pts == AV_NOPTS_VALUE) return;
  const TInputFile& f = *Finput_files[ist.file_index];
  for (int i = 0; i < f.nb_streams; ++i) {
    TInputStream& other = *Finput_streams[f.ist_index + i];
    if (!other.sub2video.frame) continue;
    const std::int64_t pts2 = ff::av_rescale_q(pts, ist.st->time_base, other.st->time_base) - 1;
    if (pts2 <= other.sub2video.last_pts) continue;
    if (pts2 >= other.sub2video.end_pts || other.sub2video.initialize)
      SubtitleCanvasUpdate(other, pts2 + 1, nullptr);
    if (FailedRequests(other)) SubtitleCanvasPush(other, pts2);
  }
}

void SubtitleCanvasFlush(TCustomFFmpeg& e, TInputStream& ist) {
  if (ist.sub2video.end_pts < INT64_MAX) e.SubtitleCanvasUpdate(ist, INT64_MAX, nullptr);
  for (TInputFilter* ifilter : ist.filters) {
    if (!ifilter->filter) continue;
    const int ret = ff::av_buffersrc_add_frame(ifilter->filter, nullptr);
    if (ret < 0 && ret != AVERROR_EOF)
      ff::av_log(nullptr, AV_LOG_WARNING, "Flush the frame error.\n");
  }
}

}  // namespace corvane
