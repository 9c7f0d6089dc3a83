// Decoding of input packets and feeding of the decoded frames to the filter
// graphs: timestamp prediction, send/receive decoding, graph reconfiguration
// when the frame format changes, and end of input.
#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstring>
#include <utility>

#include "foundation/ErrorText.h"
#include "transcoder/FrameQueue.h"
#include "transcoder/SubtitleCanvas.h"
#include "transcoder/TimestampMath.h"
#include "transcoder/TimestampRepair.h"
#include "transcoder/Transcoder.h"

namespace corvane {

namespace {

constexpr AVRational kMicro{1, AV_TIME_BASE};
// Subtitles kept for a canvas whose graph is not configured yet.
constexpr std::size_t kMaxQueuedSubtitles = 1024;

bool IsVideo(const TInputStream& ist) { return ist.dec_ctx->codec_type == AVMEDIA_TYPE_VIDEO; }

// Time base of the frames the stream gives its filters.
AVRational FrameTimeBase(const TInputStream& ist) {
  return ist.framerate.num ? av_inv_q(ist.framerate) : ist.st->time_base;
}

// One frame of the decoder's frame rate in microseconds, or 0 when unknown.
std::int64_t RateFrameDuration(const TInputStream& ist) {
  const AVCodecContext* dec = ist.dec_ctx.get();
  if (dec->framerate.num == 0 || dec->framerate.den == 0) return 0;
  const int per_frame = dec->ticks_per_frame > 0 ? dec->ticks_per_frame : 1;
  const AVCodecParserContext* parser = ff::av_stream_get_parser(ist.st);
  const int ticks = parser ? parser->repeat_pict + 1 : per_frame;
  return std::int64_t{AV_TIME_BASE} * dec->framerate.den * ticks / dec->framerate.num / per_frame;
}

int DecodeOnce(AVCodecContext* dec, AVFrame* frame, int& got, const AVPacket* pkt) {
  got = 0;
  if (pkt) {
    const int ret = ff::avcodec_send_packet(dec, pkt);
    if (ret < 0 && ret != AVERROR_EOF) return ret;
  }
  const int ret = ff::avcodec_receive_frame(dec, frame);
  if (ret < 0 && ret != AVERROR(EAGAIN)) return ret;
  if (ret >= 0) got = 1;
  return 0;
}

int EnsureFrames(TInputStream& ist) {
  if (!ist.decoded_frame && !(ist.decoded_frame = makeFrame())) return AVERROR(ENOMEM);
  if (!ist.filter_frame && !(ist.filter_frame = makeFrame())) return AVERROR(ENOMEM);
  return 0;
}

void ReleaseFrames(TInputStream& ist) {
  ff::av_frame_unref(ist.filter_frame.get());
  ff::av_frame_unref(ist.decoded_frame.get());
}

}  // namespace

std::size_t FrameBufferBytes(const AVFrame* frame) {
  std::size_t bytes = 0;
  for (const AVBufferRef* buf : frame->buf)
    if (buf) bytes += buf->size;
  for (int i = 0; i < frame->nb_extended_buf; ++i)
    if (frame->extended_buf[i]) bytes += frame->extended_buf[i]->size;
  return bytes;
}

bool FrameQueueFull(std::size_t count, std::size_t bytes, std::size_t next_bytes) {
  return count >= kMaxQueuedFrames || next_bytes > kMaxQueuedFrameBytes ||
         bytes > kMaxQueuedFrameBytes - next_bytes;
}

// ---- Decode results

namespace {

void CountDecodeResult(TCustomFFmpeg& e, const TInputStream* ist, int got, int ret,
                       const char* name) {
  if (got || ret < 0) ++e.Fdecode_error_stat[ret < 0];
  if (ret < 0 && e.Fexit_on_error) e.Fatal("decode %s error", name);
  if (!got || !ist) return;
  const AVFrame* frame = ist->decoded_frame.get();
  if (!frame->decode_error_flags && !(frame->flags & AV_FRAME_FLAG_CORRUPT)) return;
  const AVFormatContext* ic = e.Finput_files[ist->file_index]->ctx.get();
  const std::string text =
      strprintf("%s: corrupt decoded frame in stream %d", ic->url ? ic->url : "", ist->st->index);
  if (e.Fexit_on_error) e.Fatal(text);
  e.Log(llWarning, "%s", text.c_str());
}

void ReportDecodeError(TCustomFFmpeg& e, const TInputStream& ist, int ret, bool decode_failed) {
  const int file = ist.file_index;
  const int index = ist.st->index;
  if (decode_failed)
    e.Log(llError, "Error while decoding stream #%d:%d: %s", file, index, error_text(ret).c_str());
  else
    e.Log(llFatal, "Error while processing the decoded data for stream #%d:%d", file, index);
  if (!decode_failed || e.Fexit_on_error)
    e.Fatal("Error while decoding stream #%d:%d: %s", file, index, error_text(ret).c_str());
}

}  // namespace

// ---- Filter feeding

namespace {

bool AllInputsKnown(const TFilterGraph& fg) {
  for (const auto& in : fg.inputs) {
    const bool av = in->type_ == AVMEDIA_TYPE_AUDIO || in->type_ == AVMEDIA_TYPE_VIDEO;
    if (av && in->format < 0) return false;
  }
  return true;
}

bool FrameChangesInput(const TInputFilter& ifilter, const AVFrame* frame) {
  bool change = ifilter.format != frame->format;
  if (ifilter.type_ == AVMEDIA_TYPE_AUDIO)
    change = change || ifilter.sample_rate != frame->sample_rate ||
             ff::av_channel_layout_compare(&ifilter.ch_layout.layout, &frame->ch_layout) != 0;
  else if (ifilter.type_ == AVMEDIA_TYPE_VIDEO)
    change = change || ifilter.width != frame->width || ifilter.height != frame->height;
  return change;
}

bool HardwareContextChanges(const TInputFilter& ifilter, const AVFrame* frame) {
  const AVBufferRef* mine = ifilter.hw_frames_ctx.get();
  const AVBufferRef* theirs = frame->hw_frames_ctx;
  if (!mine != !theirs) return true;
  return mine && theirs && mine->data != theirs->data;
}

std::size_t QueuedBytes(const std::deque<FramePtr>& queue) {
  std::size_t bytes = 0;
  for (const FramePtr& f : queue) bytes += FrameBufferBytes(f.get());
  return bytes;
}

// Holds the frame back until every input of the graph knows its format.
int QueueFrame(TCustomFFmpeg& e, TInputFilter& ifilter, AVFrame* frame) {
  if (FrameQueueFull(ifilter.frame_queue.size(), QueuedBytes(ifilter.frame_queue),
                     FrameBufferBytes(frame)))
    return e.Fail(AVERROR(ENOBUFS), llError,
                  strprintf("Too many frames waiting for the other inputs of filter graph %d",
                            ifilter.graph->index));
  FramePtr clone(ff::av_frame_clone(frame));
  if (!clone) return AVERROR(ENOMEM);
  ff::av_frame_unref(frame);
  ifilter.frame_queue.push_back(std::move(clone));
  return 0;
}

// (Re)builds the graph of the input, draining the old one first.
int ReconfigureGraph(TCustomFFmpeg& e, TFilterGraph& fg) {
  if (fg.graph) {
    const int ret = e.DrainFilters(true);
    if (ret < 0 && ret != AVERROR_EOF) {
      e.Log(llError, "Error while filtering: %s", error_text(ret).c_str());
      return ret;
    }
  }
  const int ret = e.configure_filtergraph(fg);
  if (ret < 0) e.Log(llError, "Error reinitializing filters!");
  return ret;
}

int FeedFilterInput(TCustomFFmpeg& e, TInputFilter& ifilter, AVFrame* frame) {
  TFilterGraph& fg = *ifilter.graph;
  bool need_reinit = FrameChangesInput(ifilter, frame);
  if (ifilter.ist->reinit_filters == 0 && fg.graph) need_reinit = false;
  if (HardwareContextChanges(ifilter, frame)) need_reinit = true;
  int ret = 0;
  if (need_reinit && (ret = e.ifilter_parameters_from_frame(ifilter, frame)) < 0) return ret;
  if (need_reinit || !fg.graph) {
    if (!AllInputsKnown(fg)) return QueueFrame(e, ifilter, frame);
    if ((ret = ReconfigureGraph(e, fg)) < 0) return ret;
  }
  ret = ff::av_buffersrc_add_frame_flags(ifilter.filter, frame, AV_BUFFERSRC_FLAG_PUSH);
  if (ret < 0 && ret != AVERROR_EOF)
    e.Log(llError, "Error while filtering: %s", error_text(ret).c_str());
  return ret;
}

int FeedFilters(TCustomFFmpeg& e, TInputStream& ist, AVFrame* frame) {
  int ret = 0;
  const std::size_t n = ist.filters.size();
  for (std::size_t i = 0; i < n; ++i) {
    AVFrame* f = frame;
    if (i + 1 < n) {
      f = ist.filter_frame.get();
      if ((ret = ff::av_frame_ref(f, frame)) < 0) break;
    }
    ret = FeedFilterInput(e, *ist.filters[i], f);
    if (ret == AVERROR_EOF) ret = 0;
    if (ret < 0) {
      ff::av_log(nullptr, AV_LOG_ERROR, "Failed to inject frame into filter network: %s\n",
                 error_text(ret).c_str());
      break;
    }
  }
  return ret;
}

void ParametersFromStream(TInputFilter& ifilter, const AVCodecParameters* par) {
  ifilter.format = par->format;
  ifilter.sample_rate = par->sample_rate;
  ifilter.ch_layout.reset();
  ff::av_channel_layout_copy(&ifilter.ch_layout.layout, &par->ch_layout);
  ifilter.width = par->width;
  ifilter.height = par->height;
  ifilter.sample_aspect_ratio = par->sample_aspect_ratio;
}

int CloseFilterInput(TCustomFFmpeg& e, TInputFilter& ifilter, std::int64_t pts) {
  ifilter.eof = 1;
  if (ifilter.filter) return ff::av_buffersrc_close(ifilter.filter, pts, AV_BUFFERSRC_FLAG_PUSH);
  const TInputStream& ist = *ifilter.ist;
  if (ifilter.format < 0) ParametersFromStream(ifilter, ist.st->codecpar);
  const bool av = ifilter.type_ == AVMEDIA_TYPE_AUDIO || ifilter.type_ == AVMEDIA_TYPE_VIDEO;
  if (ifilter.format < 0 && av)
    return e.Fail(AVERROR_INVALIDDATA, llError,
                  strprintf("Cannot determine format of input stream %d:%d after EOF",
                            ist.file_index, ist.st->index));
  return 0;
}

int CloseStreamFilters(TCustomFFmpeg& e, TInputStream& ist) {
  const auto rnd = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
  const std::int64_t pts = ff::av_rescale_q_rnd(ist.pts, kMicro, FrameTimeBase(ist), rnd);
  for (TInputFilter* ifilter : ist.filters) {
    const int ret = CloseFilterInput(e, *ifilter, pts);
    if (ret < 0) return ret;
  }
  return 0;
}

}  // namespace

bool TCustomFFmpeg::GuessInputChannelLayout(TInputStream& ist) {
  AVCodecContext* dec = ist.dec_ctx.get();
  if (dec->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC) return true;
  const int channels = dec->ch_layout.nb_channels;
  if (channels > ist.guess_layout_max) return false;
  ff::av_channel_layout_uninit(&dec->ch_layout);
  ff::av_channel_layout_default(&dec->ch_layout, channels);
  if (dec->ch_layout.nb_channels <= 0 || dec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
    return false;
  char text[256] = {};
  ff::av_channel_layout_describe(&dec->ch_layout, text, sizeof text);
  Log(llWarning, "Guessed Channel Layout for Input Stream #%d.%d : %s", ist.file_index,
      ist.st->index, text);
  return true;
}

// ---- Audio

namespace {

// A frame without its own layout takes the decoder's (guessed) one.
void GiveFrameLayout(TCustomFFmpeg& e, TInputStream& ist, AVFrame* frame) {
  if (frame->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC || !e.GuessInputChannelLayout(ist)) return;
  const AVChannelLayout& guessed = ist.dec_ctx->ch_layout;
  if (guessed.nb_channels != frame->ch_layout.nb_channels) return;
  ff::av_channel_layout_uninit(&frame->ch_layout);
  ff::av_channel_layout_copy(&frame->ch_layout, &guessed);
}

// The frame's timestamp in 1/sample rate, continuing the previous frame's.
void StampAudioFrame(TInputStream& ist, AVFrame* frame, const AVPacket* pkt) {
  AVRational tb = ist.st->time_base;
  if (frame->pts == AV_NOPTS_VALUE) {
    if (pkt && pkt->pts != AV_NOPTS_VALUE) {
      frame->pts = pkt->pts;
    } else {
      frame->pts = ist.dts;
      tb = kMicro;
    }
  }
  if (frame->pts == AV_NOPTS_VALUE) return;
  const AVRational rate_tb{1, frame->sample_rate};
  frame->pts = ff::av_rescale_delta(tb, frame->pts, rate_tb, frame->nb_samples,
                                    &ist.filter_in_rescale_delta_last, rate_tb);
}

int DecodeAudio(TCustomFFmpeg& e, TInputStream& ist, const AVPacket* pkt, int& got,
                bool& decode_failed) {
  if (EnsureFrames(ist) < 0) return AVERROR(ENOMEM);
  AVCodecContext* dec = ist.dec_ctx.get();
  AVFrame* frame = ist.decoded_frame.get();
  int ret = DecodeOnce(dec, frame, got, pkt);
  if (ret < 0) decode_failed = true;
  if (ret >= 0 && dec->sample_rate <= 0) {
    ff::av_log(dec, AV_LOG_ERROR, "Sample rate %d invalid\n", dec->sample_rate);
    ret = AVERROR_INVALIDDATA;
  }
  if (ret != AVERROR_EOF) CountDecodeResult(e, &ist, got, ret, "audio");
  if (!got || ret < 0) return ret;
  if (frame->nb_samples < 1) e.Fatal("the decoder \"%s\" return bad result.", dec->codec->name);

  ist.samples_decoded += frame->nb_samples;
  ++ist.frames_decoded;
  const std::int64_t length = std::int64_t{frame->nb_samples} * AV_TIME_BASE / dec->sample_rate;
  ist.next_pts += length;
  ist.next_dts += length;
  e.InputFrameHook(ist, frame);
  StampAudioFrame(ist, frame, pkt);
  GiveFrameLayout(e, ist, frame);
  ist.nb_samples = frame->nb_samples;
  const int err = FeedFilters(e, ist, frame);
  ReleaseFrames(ist);
  return err < 0 ? err : ret;
}

}  // namespace

// ---- Video

namespace {

void CheckVideoDelay(TInputStream& ist) {
  AVCodecContext* dec = ist.dec_ctx.get();
  AVCodecParameters* par = ist.st->codecpar;
  if (par->video_delay >= dec->has_b_frames) return;
  if (dec->codec_id == AV_CODEC_ID_H264) {
    par->video_delay = dec->has_b_frames;
    return;
  }
  ff::av_log(dec, AV_LOG_WARNING,
             "Video delay of the decoder is larger than the demuxer's: %d > %d.\n"
             "Please report this sample.\n",
             dec->has_b_frames, par->video_delay);
}

// The frame's timestamp: its best effort, a synthetic one at a forced rate,
// or at the end the DTS that a flush call stood for.
void StampVideoFrame(TCustomFFmpeg& e, TInputStream& ist, AVFrame* frame, bool eof) {
  std::int64_t best = frame->best_effort_timestamp;
  if (ist.framerate.num) best = ist.cfr_next_pts++;
  if (eof && best == AV_NOPTS_VALUE && !ist.dts_buffer.empty()) {
    best = ist.dts_buffer.front();
    ist.dts_buffer.erase(ist.dts_buffer.begin());
  }
  if (best != AV_NOPTS_VALUE) {
    frame->pts = best;
    ist.next_pts = ist.pts = ff::av_rescale_q(best, FrameTimeBase(ist), kMicro);
  }
  if (!e.Fdebug_ts) return;
  const AVRational tb = ist.st->time_base;
  e.Log(llInfo,
        "decoder -> ist_index:%d type:video frame_pts:%s frame_pts_time:%s "
        "best_effort_ts:%" PRId64
        " best_effort_ts_time:%s keyframe:%d frame_type:%d "
        "time_base:%d/%d",
        ist.st->index, tsrepair::TsText(frame->pts).c_str(),
        tsrepair::TsTimeText(frame->pts, tb).c_str(), frame->best_effort_timestamp,
        tsrepair::TsTimeText(frame->best_effort_timestamp, tb).c_str(), frame->key_frame,
        static_cast<int>(frame->pict_type), tb.num, tb.den);
}

int DecodeVideo(TCustomFFmpeg& e, TInputStream& ist, AVPacket* pkt, int& got,
                std::int64_t& duration_pts, bool& decode_failed, bool eof) {
  got = 0;
  if (!eof && pkt && pkt->size == 0) return 0;
  if (EnsureFrames(ist) < 0) return AVERROR(ENOMEM);
  AVCodecContext* dec = ist.dec_ctx.get();
  AVFrame* frame = ist.decoded_frame.get();
  const std::int64_t dts = ist.dts == AV_NOPTS_VALUE
                               ? AV_NOPTS_VALUE
                               : ff::av_rescale_q(ist.dts, kMicro, ist.st->time_base);
  if (pkt) pkt->dts = dts;
  if (eof) ist.dts_buffer.push_back(dts);

  int ret = DecodeOnce(dec, frame, got, pkt);
  if (ret < 0) decode_failed = true;
  CheckVideoDelay(ist);
  if (ret != AVERROR_EOF) CountDecodeResult(e, &ist, got, ret, "video");
  if (got && ret >= 0 &&
      (frame->width != dec->width || frame->height != dec->height || frame->format != dec->pix_fmt))
    e.Log(llDebug, "Frame parameters mismatch context %d,%d,%d != %d,%d,%d", frame->width,
          frame->height, frame->format, dec->width, dec->height, static_cast<int>(dec->pix_fmt));
  if (!got || ret < 0) return ret;

  if (ist.top_field_first >= 0) frame->top_field_first = ist.top_field_first;
  ++ist.frames_decoded;
  if (ist.hwaccel_retrieve_data && frame->format == ist.hwaccel_pix_fmt) {
    const int err = ist.hwaccel_retrieve_data(dec, frame);
    if (err < 0) {
      ReleaseFrames(ist);
      return err;
    }
  }
  ist.hwaccel_retrieved_pix_fmt = static_cast<AVPixelFormat>(frame->format);
  duration_pts = frame->pkt_duration;
  StampVideoFrame(e, ist, frame, eof);
  e.InputFrameHook(ist, frame);
  if (ist.st->sample_aspect_ratio.num) frame->sample_aspect_ratio = ist.st->sample_aspect_ratio;
  const int err = FeedFilters(e, ist, frame);
  ReleaseFrames(ist);
  return err < 0 ? err : ret;
}

}  // namespace

// ---- Subtitles

namespace {

// Keeps a subtitle for the canvas until its graph exists, the oldest
// giving way when too many wait.
void QueueForCanvas(TCustomFFmpeg& e, TInputStream& ist, SubtitlePtr sub) {
  auto& queue = ist.sub2video.sub_queue;
  if (queue.size() >= kMaxQueuedSubtitles) {
    e.Log(llWarning,
          "Too many subtitles waiting for filter graph of stream #%d:%d; dropping the oldest",
          ist.file_index, ist.st->index);
    queue.pop_front();
  }
  queue.push_back(std::move(sub));
}

// Draws, queues or encodes a decoded subtitle.
void EmitSubtitle(TCustomFFmpeg& e, TInputStream& ist, SubtitlePtr sub) {
  AVSubtitle* s = &sub->sub;
  if (ist.sub2video.frame)
    e.SubtitleCanvasUpdate(ist, INT64_MIN, s);
  else if (!ist.filters.empty())
    QueueForCanvas(e, ist, std::move(sub));
  if (!s->num_rects) return;
  ++ist.frames_decoded;
  for (auto& ost : e.Foutput_streams) {
    if (!ost->pkt && !(ost->pkt = makePacket())) e.Fatal("av_packet_alloc() failed");
    if (!e.AcceptsInput(ist, *ost) || !ost->encoding_needed || !ost->enc ||
        ost->enc->type != AVMEDIA_TYPE_SUBTITLE)
      continue;
    e.EncodeSubtitle(*e.Foutput_files[ost->file_index], *ost, s);
  }
}

// With fix_sub_duration the subtitle is held back one step and the one held
// before ends where this one starts; returns the subtitle to emit, if any.
SubtitlePtr HoldBack(TInputStream& ist, SubtitlePtr sub, int& ret) {
  int end = 1;
  TISprev_sub& prev = ist.prev_sub;
  const bool timed =
      sub->sub.pts != AV_NOPTS_VALUE && prev.subtitle && prev.subtitle->sub.pts != AV_NOPTS_VALUE;
  if (prev.got_output && timed) {
    const std::int64_t gap =
        ff::av_rescale(tsmath::SatSub(sub->sub.pts, prev.subtitle->sub.pts), 1000, AV_TIME_BASE);
    end = static_cast<int>(std::clamp<std::int64_t>(gap, INT_MIN, INT_MAX));
    AVSubtitle& p = prev.subtitle->sub;
    if (end < static_cast<std::int64_t>(p.end_display_time)) {
      ff::av_log(ist.dec_ctx.get(), AV_LOG_DEBUG,
                 "Subtitle duration reduced from %" PRIu32 " to %d%s\n", p.end_display_time, end,
                 end <= 0 ? ", dropping it" : "");
      p.end_display_time = static_cast<std::uint32_t>(std::max(end, 0));
    }
  }
  int got = 1;
  std::swap(got, prev.got_output);
  std::swap(ret, prev.ret);
  std::swap(sub, prev.subtitle);
  if (end <= 0 || !got) return nullptr;
  return sub;
}

// The subtitle still held back when the stream ends.
void EmitHeldSubtitle(TCustomFFmpeg& e, TInputStream& ist) {
  if (!ist.fix_sub_duration || !ist.prev_sub.got_output || !ist.prev_sub.subtitle) return;
  ist.prev_sub.got_output = 0;
  EmitSubtitle(e, ist, std::move(ist.prev_sub.subtitle));
}

int DecodeSubtitle(TCustomFFmpeg& e, TInputStream& ist, AVPacket* pkt, int& got,
                   bool& decode_failed) {
  auto sub = std::make_unique<OwnedSubtitle>();
  int ret = ff::avcodec_decode_subtitle2(ist.dec_ctx.get(), &sub->sub, &got, pkt);
  CountDecodeResult(e, nullptr, got, ret, "subtitle");
  if (ret < 0 || !got) {
    decode_failed = true;
    if (!pkt->size) {
      EmitHeldSubtitle(e, ist);
      SubtitleCanvasFlush(e, ist);
    }
    return ret;
  }
  if (ist.fix_sub_duration) {
    sub = HoldBack(ist, std::move(sub), ret);
    got = sub ? 1 : 0;
  }
  if (sub) EmitSubtitle(e, ist, std::move(sub));
  return ret;
}

}  // namespace

// ---- Packets

namespace {

void StartTimestamps(TInputStream& ist, const AVPacket* pkt) {
  if (!ist.saw_first_ts) {
    const AVRational avg = ist.st->avg_frame_rate;
    ist.dts = avg.num ? -ff::av_rescale(ist.dec_ctx->has_b_frames,
                                        std::int64_t{AV_TIME_BASE} * avg.den, avg.num)
                      : 0;
    ist.pts = 0;
    if (pkt && pkt->pts != AV_NOPTS_VALUE && !ist.decoding_needed) {
      ist.dts += ff::av_rescale_q(pkt->pts, ist.st->time_base, kMicro);
      ist.pts = ist.dts;
    }
    ist.saw_first_ts = 1;
  }
  if (ist.next_dts == AV_NOPTS_VALUE) ist.next_dts = ist.dts;
  if (ist.next_pts == AV_NOPTS_VALUE) ist.next_pts = ist.pts;
}

// Moves the DTS prediction on after a decoded video pass.
void AdvanceVideoDts(TInputStream& ist, const AVPacket* given, std::int64_t& duration_dts) {
  if (given && given->duration)
    duration_dts = ff::av_rescale_q(given->duration, ist.st->time_base, kMicro);
  else
    duration_dts = RateFrameDuration(ist);
  if (ist.dts != AV_NOPTS_VALUE && duration_dts)
    ist.next_dts += duration_dts;
  else
    ist.next_dts = AV_NOPTS_VALUE;
}

// One decoding pass; the decoding result (end of file once the decoder ended).
int DecodePass(TCustomFFmpeg& e, TInputStream& ist, const AVPacket* given, bool repeating, int& got,
               bool& decode_failed, int last_ret) {
  AVPacket* pkt = repeating ? nullptr : ist.pkt.get();
  switch (ist.dec_ctx->codec_type) {
    case AVMEDIA_TYPE_VIDEO: {
      std::int64_t duration_pts = 0, duration_dts = 0;
      const int ret = DecodeVideo(e, ist, pkt, got, duration_pts, decode_failed, !given);
      if (!(repeating && given && !got)) AdvanceVideoDts(ist, given, duration_dts);
      if (got && ist.next_pts != AV_NOPTS_VALUE)
        ist.next_pts += duration_pts > 0 ? ff::av_rescale_q(duration_pts, ist.st->time_base, kMicro)
                                         : duration_dts;
      return ret;
    }
    case AVMEDIA_TYPE_AUDIO:
      return DecodeAudio(e, ist, pkt, got, decode_failed);
    case AVMEDIA_TYPE_SUBTITLE: {
      if (repeating) return last_ret;
      const int ret = DecodeSubtitle(e, ist, pkt, got, decode_failed);
      return !given && ret >= 0 ? AVERROR_EOF : ret;
    }
    default:
      return -1;
  }
}

// Decodes until the packet gave all its frames (one frame per flush call);
// true when the decoder reported its end.
bool DecodePacket(TCustomFFmpeg& e, TInputStream& ist, const AVPacket* given) {
  bool repeating = false;
  int ret = 0;
  for (;;) {
    int got = 0;
    bool decode_failed = false;
    ist.pts = ist.next_pts;
    ist.dts = ist.next_dts;
    ret = DecodePass(e, ist, given, repeating, got, decode_failed, ret);
    if (ret == AVERROR_EOF) return true;
    if (ret < 0) {
      ReportDecodeError(e, ist, ret, decode_failed);
      return false;
    }
    if (got) ist.got_output = 1;
    if (!got || !given) return false;
    repeating = true;
  }
}

// Timestamps of a stream that is only copied.
void AdvanceCopiedTimestamps(TInputStream& ist, const AVPacket* pkt) {
  ist.dts = ist.next_dts;
  const AVCodecContext* dec = ist.dec_ctx.get();
  if (dec->codec_type == AVMEDIA_TYPE_AUDIO) {
    if (dec->sample_rate > 0)
      ist.next_dts += std::int64_t{AV_TIME_BASE} * dec->frame_size / dec->sample_rate;
    else
      ist.next_dts += ff::av_rescale_q(pkt->duration, ist.st->time_base, kMicro);
  } else if (dec->codec_type == AVMEDIA_TYPE_VIDEO) {
    if (ist.framerate.num) {
      const AVRational frame_tb = av_inv_q(ist.framerate);
      const std::int64_t frames = ff::av_rescale_q(ist.next_dts, kMicro, frame_tb);
      ist.next_dts = ff::av_rescale_q(frames + 1, frame_tb, kMicro);
    } else if (pkt->duration) {
      ist.next_dts += ff::av_rescale_q(pkt->duration, ist.st->time_base, kMicro);
    } else {
      ist.next_dts += RateFrameDuration(ist);
    }
  }
  ist.pts = ist.dts;
  ist.next_pts = ist.next_dts;
}

}  // namespace

bool TCustomFFmpeg::DecodeInputPacket(TInputStream& ist, const AVPacket* pkt, bool no_eof) {
  if (!ist.pkt && !(ist.pkt = makePacket())) Fatal("av_packet_alloc() failed");
  StartTimestamps(ist, pkt);
  ff::av_packet_unref(ist.pkt.get());
  if (pkt) {
    const int ret = ff::av_packet_ref(ist.pkt.get(), pkt);
    if (ret < 0) Fatal("%s", error_text(ret).c_str());
    if (pkt->dts != AV_NOPTS_VALUE) {
      ist.next_dts = ist.dts = ff::av_rescale_q(pkt->dts, ist.st->time_base, kMicro);
      if (!(IsVideo(ist) && ist.decoding_needed)) ist.next_pts = ist.pts = ist.dts;
    }
  }
  bool eof_reached = false;
  if (ist.decoding_needed) eof_reached = DecodePacket(*this, ist, pkt);
  if (!pkt && ist.decoding_needed && eof_reached && !no_eof && CloseStreamFilters(*this, ist) < 0)
    Fatal("Error marking filters as finished");
  if (!ist.decoding_needed && pkt) AdvanceCopiedTimestamps(ist, pkt);
  for (auto& ost : Foutput_streams) {
    if (!ost->pkt && !(ost->pkt = makePacket())) Fatal("av_packet_alloc() failed");
    if (AcceptsInput(ist, *ost) && !ost->encoding_needed) CopyPacket(ist, *ost, pkt);
  }
  return !eof_reached;
}

}  // namespace corvane
