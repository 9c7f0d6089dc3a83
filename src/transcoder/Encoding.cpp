// Frame encoding: frames taken from the filter graphs' sinks become packets
// for the muxer (video synchronisation, forced key frames, audio and subtitle
// encoding), and the encoders are drained at the end of a task.
#include <algorithm>
#include <cfenv>
#include <cinttypes>
#include <cmath>
#include <cstring>

#include "foundation/ErrorText.h"
#include "transcoder/ProgressText.h"
#include "transcoder/Transcoder.h"
#include "transcoder/VideoSync.h"

namespace corvane {

namespace {

constexpr int kMuxerFinished = 2;
constexpr int kSubtitleBufferSize = 1024 * 1024;

// Indices into forced_keyframes_expr_const_values.
enum { KF_N, KF_N_FORCED, KF_PREV_FORCED_N, KF_PREV_FORCED_T, KF_T };

std::string TsText(std::int64_t ts) {
  return ts == AV_NOPTS_VALUE ? std::string("NOPTS") : strprintf("%" PRId64, ts);
}
std::string TsTimeText(std::int64_t ts, AVRational tb) {
  return ts == AV_NOPTS_VALUE ? std::string("NOPTS") : strprintf("%.6g", av_q2d(tb) * ts);
}

bool SinkConfigured(const TOutputStream& ost) {
  return ost.filter && ost.filter->filter && ost.filter->graph && ost.filter->graph->graph;
}

// Holds floating-point exceptions during a library call.
class FpuGuard {
 public:
  FpuGuard() { std::feholdexcept(&env_); }
  ~FpuGuard() { std::fesetenv(&env_); }
  FpuGuard(const FpuGuard&) = delete;
  FpuGuard& operator=(const FpuGuard&) = delete;

 private:
  std::fenv_t env_{};
};

int EnsureBuffers(TOutputStream& ost) {
  if (!ost.pkt) ost.pkt = makePacket();
  if (!ost.filtered_frame) ost.filtered_frame = makeFrame();
  return ost.pkt && ost.filtered_frame ? 0 : AVERROR(ENOMEM);
}

void AppendPassLog(const TOutputStream& ost) {
  if (ost.logfile && ost.enc_ctx && ost.enc_ctx->stats_out)
    std::fprintf(ost.logfile, "%s", ost.enc_ctx->stats_out);
}

void LogPacket(TCustomFFmpeg& e, const char* type, const AVPacket* pkt, AVRational tb) {
  e.Log(llInfo, "encoder -> type:%s pkt_pts:%s pkt_pts_time:%s pkt_dts:%s pkt_dts_time:%s", type,
        TsText(pkt->pts).c_str(), TsTimeText(pkt->pts, tb).c_str(), TsText(pkt->dts).c_str(),
        TsTimeText(pkt->dts, tb).c_str());
}

void LogFrameToEncoder(TCustomFFmpeg& e, const char* type, const AVFrame* frame, AVRational tb) {
  e.Log(llInfo, "encoder <- type:%s frame_pts:%s frame_pts_time:%s time_base:%d/%d", type,
        TsText(frame->pts).c_str(), TsTimeText(frame->pts, tb).c_str(), tb.num, tb.den);
}

// ---- Taking frames from the sinks

// Hands one filtered frame to its encoder; false stops taking frames from
// this sink for now.
bool EncodeFiltered(TCustomFFmpeg& e, TOutputFile& of, TOutputStream& ost, AVMediaType type,
                    AVFrame* frame) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO:
      if (!ost.frame_aspect_ratio.num)
        ost.enc_ctx->sample_aspect_ratio = frame->sample_aspect_ratio;
      e.do_video_out(of, ost, frame);
      return true;
    case AVMEDIA_TYPE_AUDIO:
      if (ost.enc && !(ost.enc->capabilities & AV_CODEC_CAP_PARAM_CHANGE) &&
          ost.enc_ctx->ch_layout.nb_channels != frame->ch_layout.nb_channels) {
        e.Log(llError,
              "Audio filter graph output is not normalized and encoder does not support "
              "parameter changes");
        return false;
      }
      e.EncodeAudioFrame(of, ost, frame);
      return true;
    default:
      e.Fatal("Never occur");
  }
}

int DrainSink(TCustomFFmpeg& e, TOutputStream& ost, bool flush) {
  TOutputFile& of = *e.Foutput_files[static_cast<std::size_t>(ost.file_index)];
  AVFilterContext* sink = ost.filter->filter;
  const AVMediaType type = ff::av_buffersink_get_type(sink);
  if (type == AVMEDIA_TYPE_AUDIO) e.EnsureOutputStream(ost, nullptr, true);
  if (EnsureBuffers(ost) < 0) return AVERROR(ENOMEM);
  AVFrame* frame = ost.filtered_frame.get();
  for (;;) {
    const int ret = ff::av_buffersink_get_frame_flags(sink, frame, AV_BUFFERSINK_FLAG_NO_REQUEST);
    if (ret < 0) {
      if (ret == AVERROR_EOF) {
        if (flush && type == AVMEDIA_TYPE_VIDEO) e.do_video_out(of, ost, nullptr);
      } else if (ret != AVERROR(EAGAIN)) {
        e.Log(llWarning, "%s", error_text("Error in av_buffersink_get_frame_flags()", ret).c_str());
      }
      break;
    }
    const bool more = ost.finished || EncodeFiltered(e, of, ost, type, frame);
    ff::av_frame_unref(frame);
    if (!more) break;
  }
  return 0;
}

// ---- Video: frame duration and synchronisation method

double VideoFrameDuration(TCustomFFmpeg& e, const TOutputStream& ost, const TInputStream* ist,
                          const AVFrame* next) {
  const AVRational tb = ost.enc_ctx->time_base;
  double duration = 0;
  const AVRational fr =
      SinkConfigured(ost) ? ff::av_buffersink_get_frame_rate(ost.filter->filter) : AVRational{0, 1};
  if (fr.num > 0 && fr.den > 0) duration = 1 / (av_q2d(fr) * av_q2d(tb));
  if (ist && ist->st->start_time != AV_NOPTS_VALUE && ist->first_dts != AV_NOPTS_VALUE &&
      ost.frame_rate.num && ost.frame_rate.den) {
    const double d = 1 / (av_q2d(ost.frame_rate) * av_q2d(tb));
    duration = duration > 0 ? std::min(duration, d) : d;
  }
  const bool own_filters = !ost.filters.empty() || !ost.filters_script.empty();
  const bool complex_text = !e.Ffiltergraphs.empty() && e.Ffiltergraphs[0]->graph_desc &&
                            !e.Ffiltergraphs[0]->graph_desc->empty();
  if (!own_filters && !complex_text && next && ist) {
    const double d = std::llrint(static_cast<double>(next->pkt_duration) *
                                 av_q2d(ist->st->time_base) / av_q2d(tb));
    if (d > 0) duration = d;
  }
  return duration;
}

int ResolveVideoSync(TCustomFFmpeg& e, const TOutputFile& of, const TInputStream* ist) {
  TVideoSyncContext c;
  c.configured = e.Fvideo_sync_method;
  c.muxer_is_avi = std::strcmp(of.ctx->oformat->name, "avi") == 0;
  c.muxer_flags = of.ctx->oformat->flags;
  if (ist) {
    const TInputFile& f = *e.Finput_files[static_cast<std::size_t>(ist->file_index)];
    c.single_plain_input = f.nb_streams == 1 && f.input_ts_offset == 0;
  }
  c.copy_ts = e.Fcopy_ts != 0;
  return ChooseVideoSync(c);
}

// Passthrough: the frame keeps the sync input's time (without one, its own).
double PassthroughPts(const TOutputFile& of, const TOutputStream& ost, AVFrame* next,
                      double sync_ipts) {
  if (!ost.sync_ist) return sync_ipts;
  const std::int64_t start = of.start_time == AV_NOPTS_VALUE ? 0 : of.start_time;
  next->pts = std::llrint(static_cast<double>(ost.sync_ist->pts - start) / AV_TIME_BASE /
                          av_q2d(ost.enc_ctx->time_base));
  return static_cast<double>(next->pts);
}

void LogSyncNote(TCustomFFmpeg& e, const TVideoSyncDecision& d) {
  switch (d.note) {
    case TVideoSyncNote::Clipped:
      e.Log(llDebug, "Clipping frame in rate conversion by %f", d.clip_amount);
      break;
    case TVideoSyncNote::PastDuration:
      e.Log(llVerbose, "Past duration %f too large", d.clip_amount);
      break;
    case TVideoSyncNote::InitialSkip:
      e.Log(llDebug, "Not duplicating %" PRId64 " initial frames", d.initial_frames);
      break;
    case TVideoSyncNote::None:
      break;
  }
}

// Counts and logs duplicated and dropped frames; false when the call must
// emit nothing because the duplication run is too long.
bool AccountDupDrop(TCustomFFmpeg& e, const TOutputStream& ost, const TVideoSyncDecision& d) {
  if (d.dropped_previous) {
    ++e.Fnb_frames_drop;
    e.FShowDupOrDrop = true;
    e.Log(llVerbose, "*** dropping frame %d from stream %d at ts %" PRId64, ost.frame_number,
          ost.st->index, ost.last_frame ? ost.last_frame->pts : AV_NOPTS_VALUE);
  }
  if (d.too_many_duplicates) {
    e.Log(llError, "%" PRId64 " frame duplication too large, skipping", d.nb - 1);
    ++e.Fnb_frames_drop;
    return false;
  }
  if (d.duplicated > 0) {
    e.Fnb_frames_dup += d.duplicated;
    e.FShowDupOrDrop = true;
    e.Log(llVerbose, "*** %" PRId64 " dup!", d.nb - 1);
    if (e.Fnb_frames_dup > e.Fdup_warning) {
      e.Log(llWarning, "More than %" PRId64 " frames duplicated", e.Fdup_warning);
      e.Fdup_warning *= 10;
    }
  }
  return true;
}

// ---- Video: key frames and encoding

bool ExpressionForcesKeyFrame(TCustomFFmpeg& e, TOutputStream& ost, double pts_time) {
  auto& v = ost.forced_keyframes_expr_const_values;
  v[KF_T] = pts_time;
  const double res = ff::av_expr_eval(ost.forced_keyframes_pexpr.get(), v.data(), nullptr);
  e.Log(llDebug,
        "force_key_frame: n:%f n_forced:%f prev_forced_n:%f t:%f prev_forced_t:%f -> res:%f",
        v[KF_N], v[KF_N_FORCED], v[KF_PREV_FORCED_N], v[KF_T], v[KF_PREV_FORCED_T], res);
  const bool force = res != 0;
  if (force) {
    v[KF_PREV_FORCED_N] = v[KF_N];
    v[KF_PREV_FORCED_T] = v[KF_T];
    v[KF_N_FORCED] += 1;
  }
  v[KF_N] += 1;
  return force;
}

bool ForceKeyFrame(TCustomFFmpeg& e, TOutputStream& ost, const AVFrame* in, std::int64_t i,
                   double& pts_time) {
  if (ost.forced_kf_ref_pts == AV_NOPTS_VALUE) ost.forced_kf_ref_pts = in->pts;
  pts_time = in->pts == AV_NOPTS_VALUE ? NAN
                                       : static_cast<double>(in->pts - ost.forced_kf_ref_pts) *
                                             av_q2d(ost.enc_ctx->time_base);
  const std::size_t index = static_cast<std::size_t>(ost.forced_kf_index);
  if (index < ost.forced_kf_pts.size() && in->pts != AV_NOPTS_VALUE &&
      ost.forced_kf_pts[index] <= in->pts) {
    ++ost.forced_kf_index;
    return true;
  }
  if (ost.forced_keyframes_pexpr) return ExpressionForcesKeyFrame(e, ost, pts_time);
  return ost.forced_keyframes.rfind("source", 0) == 0 && in->key_frame && i == 0;
}

// Sends one picture and muxes what the encoder returns; the size of the
// last packet (0 without one).
int EncodeVideoFrame(TCustomFFmpeg& e, TOutputFile& of, TOutputStream& ost, AVFrame* in) {
  AVCodecContext* enc = ost.enc_ctx.get();
  AVPacket* pkt = ost.pkt.get();
  ++ost.frames_encoded;
  if (ff::avcodec_send_frame(enc, in) < 0) e.Fatal("Video encoding failed");
  ff::av_frame_remove_side_data(in, AV_FRAME_DATA_A53_CC);
  int frame_size = 0;
  for (;;) {
    const int ret = ff::avcodec_receive_packet(enc, pkt);
    if (ret == AVERROR(EAGAIN)) break;
    if (ret < 0) e.Fatal("Video encoding failed");
    if (e.Fdebug_ts) LogPacket(e, "video", pkt, enc->time_base);
    if (pkt->pts == AV_NOPTS_VALUE && !(enc->codec->capabilities & AV_CODEC_CAP_DELAY))
      pkt->pts = ost.sync_opts;
    ff::av_packet_rescale_ts(pkt, enc->time_base, ost.mux_timebase);
    if (e.Fdebug_ts) LogPacket(e, "video", pkt, ost.mux_timebase);
    frame_size = pkt->size;
    e.SendToMuxer(of, pkt, ost, false);
    AppendPassLog(ost);
  }
  return frame_size;
}

// Frames one call may emit before the run logs that it fills a gap; within
// such a burst the run serves its commands (a pause holds) every so often.
constexpr std::int64_t kLargeFrameBurst = 10000;
constexpr std::int64_t kBurstServeInterval = 1000;

bool AnnounceBurst(TCustomFFmpeg& e, const TOutputStream& ost, std::int64_t nb) {
  if (nb <= kLargeFrameBurst) return false;
  e.Log(llWarning,
        "Filling a timestamp gap of output stream #%d:%d with %" PRId64
        " copies of one frame; a stop request cuts it short",
        ost.file_index, ost.index, nb);
  return true;
}

// Emits nb frames (the first nb0 repeat the previous one); false when the
// stream ended on the way.
bool EmitVideoFrames(TCustomFFmpeg& e, TOutputFile& of, TOutputStream& ost, AVFrame* next,
                     std::int64_t nb0, std::int64_t nb) {
  AVCodecContext* enc = ost.enc_ctx.get();
  const bool burst = AnnounceBurst(e, ost, nb);
  for (std::int64_t i = 0; i < nb; ++i) {
    if (burst && i > 0 && i % kBurstServeInterval == 0) e.ServeCommands();
    if (e.FBroken && i > 10) {
      e.Log(llInfo, "break in do_video_out()");
      break;
    }
    AVFrame* in = (i < nb0 && ost.last_frame) ? ost.last_frame.get() : next;
    if (!in) return false;
    in->pts = ost.sync_opts;
    if (!e.WithinRecordingTime(ost)) return false;
    in->quality = enc->global_quality;
    in->pict_type = AV_PICTURE_TYPE_NONE;
    double pts_time = 0;
    if (ForceKeyFrame(e, ost, in, i, pts_time)) {
      in->pict_type = AV_PICTURE_TYPE_I;
      e.Log(llDebug, "Forced keyframe at time %f", pts_time);
    }
    // Hooks change a reference of their own: the kept picture, repeated
    // later, stays as the filters gave it.
    FramePtr own = makeFrame();
    if (!own || ff::av_frame_ref(own.get(), in) < 0) e.Fatal("Video encoding failed");
    e.OutputFrameHook(ost, own.get());
    if (e.Fdebug_ts) LogFrameToEncoder(e, "video", own.get(), enc->time_base);
    const int frame_size = EncodeVideoFrame(e, of, ost, own.get());
    ff::av_frame_remove_side_data(in, AV_FRAME_DATA_A53_CC);
    ++ost.sync_opts;
    ++ost.frame_number;
    if (!e.Fvstats_filename.empty() && frame_size > 0) e.WriteVideoStats(ost, frame_size);
  }
  return true;
}

void KeepLastFrame(TOutputStream& ost, const AVFrame* next) {
  if (!next) {
    ost.last_frame.reset();
    return;
  }
  if (!ost.last_frame) ost.last_frame = makeFrame();
  if (!ost.last_frame) return;
  ff::av_frame_unref(ost.last_frame.get());
  if (ff::av_frame_ref(ost.last_frame.get(), next) < 0) ost.last_frame.reset();
}

// ---- Flushing

void ParametersFromCodecpar(TInputFilter& ifilter, const AVCodecParameters* par) {
  ifilter.format = par->format;
  ifilter.width = par->width;
  ifilter.height = par->height;
  ifilter.sample_aspect_ratio = par->sample_aspect_ratio;
  ifilter.sample_rate = par->sample_rate;
  ifilter.ch_layout.reset();
  ff::av_channel_layout_copy(&ifilter.ch_layout.layout, &par->ch_layout);
}

bool AllInputsKnown(const TFilterGraph& fg) {
  for (const auto& in : fg.inputs)
    if ((in->type_ == AVMEDIA_TYPE_AUDIO || in->type_ == AVMEDIA_TYPE_VIDEO) && in->format < 0)
      return false;
  return true;
}

// A stream that never got a frame: its graph is configured from the stream
// parameters so the encoder can still be opened.
void InitializeUnfedStream(TCustomFFmpeg& e, TOutputStream& ost) {
  e.Log(llWarning, "Finishing stream %d:%d without any data written to it.", ost.file_index,
        ost.st->index);
  if (ost.filter && ost.filter->graph && !ost.filter->graph->graph) {
    TFilterGraph& fg = *ost.filter->graph;
    for (auto& in : fg.inputs)
      if (in->format < 0 && in->ist) ParametersFromCodecpar(*in, in->ist->st->codecpar);
    if (AllInputsKnown(fg)) {
      if (e.configure_filtergraph(fg) < 0) {
        e.Log(llError, "Error configuring filter graph");
        e.Fatal("Error configuring filter graph");
      }
      e.FinishOutputStream(ost);
    }
  }
  e.EnsureOutputStream(ost, nullptr, true);
}

int ReceiveHeld(AVCodecContext* enc, AVPacket* pkt) {
  FpuGuard guard;
  return ff::avcodec_receive_packet(enc, pkt);
}

[[noreturn]] void FatalEncoding(TCustomFFmpeg& e, const char* name, int ret) {
  e.Fatal("%s encoding failed: %s", name, error_text(ret).c_str());
}

void DrainEncoder(TCustomFFmpeg& e, TOutputStream& ost, AVMediaType type) {
  const char* name = type == AVMEDIA_TYPE_VIDEO ? "video" : "audio";
  TOutputFile& of = *e.Foutput_files[static_cast<std::size_t>(ost.file_index)];
  AVCodecContext* enc = ost.enc_ctx.get();
  if (EnsureBuffers(ost) < 0)
    e.Fatal("%s encoding failed: %s", name, error_text(AVERROR(ENOMEM)).c_str());
  AVPacket* pkt = ost.pkt.get();
  for (;;) {
    ff::av_packet_unref(pkt);
    int ret = ReceiveHeld(enc, pkt);
    while (ret == AVERROR(EAGAIN)) {
      const int sent = ff::avcodec_send_frame(enc, nullptr);
      if (sent < 0) FatalEncoding(e, name, sent);
      ret = ReceiveHeld(enc, pkt);
    }
    if (ret < 0 && ret != AVERROR_EOF) FatalEncoding(e, name, ret);
    AppendPassLog(ost);
    if (ret == AVERROR_EOF) break;
    if (ost.finished & kMuxerFinished) continue;
    ff::av_packet_rescale_ts(pkt, enc->time_base, ost.mux_timebase);
    const int size = pkt->size;
    e.SendToMuxer(of, pkt, ost, false);
    if (type == AVMEDIA_TYPE_VIDEO && !e.Fvstats_filename.empty()) e.WriteVideoStats(ost, size);
  }
  e.SendToMuxer(of, pkt, ost, true);
}

}  // namespace

int TCustomFFmpeg::DrainFilters(bool flush) {
  for (const auto& p : Foutput_streams) {
    if (!SinkConfigured(*p)) continue;
    const int ret = DrainSink(*this, *p, flush);
    if (ret < 0) return ret;
  }
  return 0;
}

double TCustomFFmpeg::AdjustFrameTimestamp(TOutputFile& of, TOutputStream& ost, AVFrame* frame) {
  double exact = static_cast<double>(AV_NOPTS_VALUE);
  AVCodecContext* enc = ost.enc_ctx.get();
  if (frame && frame->pts != AV_NOPTS_VALUE && enc && SinkConfigured(ost)) {
    const std::int64_t start = of.start_time == AV_NOPTS_VALUE ? 0 : of.start_time;
    const AVRational filter_tb = ff::av_buffersink_get_time_base(ost.filter->filter);
    exact = ExactFrameTimestamp(frame->pts, filter_tb, enc->time_base, start);
    frame->pts = ff::av_rescale_q(frame->pts, filter_tb, enc->time_base) -
                 ff::av_rescale_q(start, AV_TIME_BASE_Q, enc->time_base);
  }
  if (Fdebug_ts) {
    const AVRational tb = enc ? enc->time_base : AVRational{-1, -1};
    const std::string head =
        frame ? strprintf("filter -> pts:%s pts_time:%s exact:%f", TsText(frame->pts).c_str(),
                          TsTimeText(frame->pts, tb).c_str(), exact)
              : strprintf("filter -> pts:NULL pts_time:NULL exact:%f", exact);
    Log(llInfo, "%s time_base:%d/%d", head.c_str(), tb.num, tb.den);
  }
  return exact;
}

void TCustomFFmpeg::do_video_out(TOutputFile& of, TOutputStream& ost, AVFrame* next) {
  EnsureOutputStream(ost, next, true);
  if (EnsureBuffers(ost) < 0) Fatal("Video encoding failed");
  double sync_ipts = AdjustFrameTimestamp(of, ost, next);
  const TInputStream* ist = ost.source_index >= 0
                                ? Finput_streams[static_cast<std::size_t>(ost.source_index)].get()
                                : nullptr;
  TVideoSyncInput in;
  in.have_frame = next != nullptr;
  in.duration = VideoFrameDuration(*this, ost, ist, next);
  if (next) {
    in.method = ResolveVideoSync(*this, of, ist);
    ost.is_cfr = in.method == VSYNC_CFR || in.method == VSYNC_VSCFR;
    if (in.method == VSYNC_PASSTHROUGH) sync_ipts = PassthroughPts(of, ost, next, sync_ipts);
  }
  in.sync_ipts = sync_ipts;
  in.sync_opts = ost.sync_opts;
  in.frame_number = ost.frame_number;
  in.max_frames = ost.max_frames;
  in.frame_drop_threshold = Fframe_drop_threshold;
  in.max_duplicates = DuplicationCap(Fdts_error_threshold, ost.enc_ctx->time_base);
  in.last_dropped = ost.last_dropped;
  in.last_nb0_frames = ost.last_nb0_frames;

  const TVideoSyncDecision d = DecideVideoSync(in);
  if (d.nb < 0) Fatal("Never occur");
  LogSyncNote(*this, d);
  ost.sync_opts = d.sync_opts;
  ost.last_nb0_frames = d.last_nb0_frames;
  if (!AccountDupDrop(*this, ost, d)) return;
  ost.last_dropped = d.last_dropped;
  if (!EmitVideoFrames(*this, of, ost, next, d.nb0, d.nb)) return;
  KeepLastFrame(ost, next);
  // A single step pauses in ServeCommands once frame_number has moved on.
}

void TCustomFFmpeg::EncodeAudioFrame(TOutputFile& of, TOutputStream& ost, AVFrame* frame) {
  AVCodecContext* enc = ost.enc_ctx.get();
  AdjustFrameTimestamp(of, ost, frame);
  if (!WithinRecordingTime(ost)) return;
  if (EnsureBuffers(ost) < 0) Fatal("Audio encoding failed");
  if (frame->pts == AV_NOPTS_VALUE || Faudio_sync_method < 0) frame->pts = ost.sync_opts;
  ost.sync_opts = frame->pts + frame->nb_samples;
  ost.samples_encoded += frame->nb_samples;
  ++ost.frames_encoded;
  OutputFrameHook(ost, frame);
  if (Fdebug_ts) LogFrameToEncoder(*this, "audio", frame, enc->time_base);
  if (ff::avcodec_send_frame(enc, frame) < 0) Fatal("Audio encoding failed");
  AVPacket* pkt = ost.pkt.get();
  for (;;) {
    const int ret = ff::avcodec_receive_packet(enc, pkt);
    if (ret == AVERROR(EAGAIN)) break;
    if (ret < 0) Fatal("Audio encoding failed");
    ff::av_packet_rescale_ts(pkt, enc->time_base, ost.mux_timebase);
    if (Fdebug_ts) LogPacket(*this, "audio", pkt, ost.mux_timebase);
    SendToMuxer(of, pkt, ost, false);
  }
}

void TCustomFFmpeg::EncodeSubtitle(TOutputFile& of, TOutputStream& ost, AVSubtitle* source) {
  // Timing is adjusted on a copy: the caller's subtitle also goes to other
  // outputs and to the burn-in canvas. The rectangles are shared, read-only.
  AVSubtitle copy = *source;
  AVSubtitle* sub = &copy;
  if (sub->pts == AV_NOPTS_VALUE) {
    if (Fexit_on_error) Fatal("Subtitle packets must have a pts");
    Log(llError, "Subtitle packets must have a pts");
    return;
  }
  if (Fsubtitle_out.empty()) Fsubtitle_out.resize(kSubtitleBufferSize);
  if (!ost.pkt) ost.pkt = makePacket();
  if (!ost.pkt) Fatal("av_packet_alloc() failed");
  AVCodecContext* enc = ost.enc_ctx.get();
  const bool dvb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
  const std::int64_t pts = of.start_time == AV_NOPTS_VALUE ? sub->pts : sub->pts - of.start_time;
  // The start delay moves into the timestamp once; the clearing packet then
  // lands on the subtitle's end.
  sub->pts = pts;
  for (int i = 0; i < (dvb ? 2 : 1); ++i) {
    ost.sync_opts = ff::av_rescale_q(pts, AV_TIME_BASE_Q, enc->time_base);
    if (!WithinRecordingTime(ost)) return;
    sub->pts += ff::av_rescale_q(sub->start_display_time, AVRational{1, 1000}, AV_TIME_BASE_Q);
    sub->end_display_time -= sub->start_display_time;
    sub->start_display_time = 0;
    const unsigned rects = sub->num_rects;
    if (i == 1) sub->num_rects = 0;  // the clearing packet
    ++ost.frames_encoded;
    const int size =
        ff::avcodec_encode_subtitle(enc, Fsubtitle_out.data(), kSubtitleBufferSize, sub);
    sub->num_rects = rects;
    if (size < 0) Fatal("Subtitle encoding failed");
    // The packet owns a copy: the muxer may queue it past the next encode.
    AVPacket* pkt = ost.pkt.get();
    ff::av_packet_unref(pkt);
    if (ff::av_new_packet(pkt, size) < 0) Fatal("Subtitle encoding failed");
    if (size > 0) std::memcpy(pkt->data, Fsubtitle_out.data(), static_cast<std::size_t>(size));
    pkt->pts = ff::av_rescale_q(sub->pts, AV_TIME_BASE_Q, ost.mux_timebase);
    pkt->duration = ff::av_rescale_q(sub->end_display_time, AVRational{1, 1000}, ost.mux_timebase);
    if (dvb)
      pkt->pts += ff::av_rescale_q(i == 0 ? sub->start_display_time : sub->end_display_time,
                                   AVRational{1, 1000}, ost.mux_timebase);
    pkt->dts = pkt->pts;
    SendToMuxer(of, pkt, ost, false);
  }
}

bool TCustomFFmpeg::WithinRecordingTime(TOutputStream& ost) {
  const TOutputFile& of = *Foutput_files[static_cast<std::size_t>(ost.file_index)];
  if (of.recording_time == INT64_MAX || !ost.enc_ctx) return true;
  if (ff::av_compare_ts(ost.sync_opts - ost.first_pts, ost.enc_ctx->time_base, of.recording_time,
                        AV_TIME_BASE_Q) >= 0) {
    CloseOutputStream(ost);
    return false;
  }
  return true;
}

void TCustomFFmpeg::FlushEncoders() {
  for (const auto& p : Foutput_streams) {
    TOutputStream& ost = *p;
    if (!ost.encoding_needed) continue;
    if (!ost.initialized) InitializeUnfedStream(*this, ost);
    const AVMediaType type = ost.enc_ctx->codec_type;
    if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) continue;
    DrainEncoder(*this, ost, type);
  }
}

void TCustomFFmpeg::WriteVideoStats(TOutputStream& ost, int frame_size) {
  if (!Fvstats_file) {
    Fvstats_file = std::fopen(Fvstats_filename.c_str(), "w");
    if (!Fvstats_file) Fatal("fopen() failed: " + Fvstats_filename);
  }
  const AVCodecContext* enc = ost.enc_ctx.get();
  if (!enc || enc->codec_type != AVMEDIA_TYPE_VIDEO) return;
  progress::TVideoStatsSample s;
  s.version = Fvstats_version;
  s.file_index = ost.file_index;
  s.index = ost.index;
  s.frame_number = ost.frame_number;
  s.quality = ost.quality;
  s.psnr = (enc->flags & AV_CODEC_FLAG_PSNR) != 0;
  s.error0 = ost.error[0];
  s.width = enc->width;
  s.height = enc->height;
  s.frame_size = frame_size;
  s.data_size = ost.data_size;
  const std::int64_t end = ff::av_stream_get_end_pts(ost.st);
  s.seconds = end == AV_NOPTS_VALUE ? 0 : static_cast<double>(end) * av_q2d(ost.st->time_base);
  s.time_base = av_q2d(enc->time_base);
  s.pict_type = ff::av_get_picture_type_char(static_cast<AVPictureType>(ost.pict_type));
  std::fputs(progress::VideoStatsLine(s).c_str(), Fvstats_file);
}

}  // namespace corvane
