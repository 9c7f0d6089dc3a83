// Decoder threads of the player: packets to frames, through the filter graphs,
// into the frame queues.
#include <cmath>
#include <cstring>

#include "foundation/ErrorText.h"
#include "foundation/FilterGraph.h"
#include "foundation/MainThread.h"
#include "foundation/StreamOptions.h"
#include "player/VideoState.h"

namespace corvane {
namespace {

double toSeconds(std::int64_t ts, AVRational tb) {
  return ts == AV_NOPTS_VALUE ? NAN : static_cast<double>(ts) * av_q2d(tb);
}

const char* pixName(int f) {
  const char* n = f < 0 ? nullptr : ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(f));
  return n ? n : "none";
}

}  // namespace

// ---------------------------------------------------------------------------
// TDecoder

int TDecoder::Init(CodecContextPtr ctx, TPacketQueue* q, TVideoState* state) {
  pkt = makePacket();
  if (!pkt) return AVERROR(ENOMEM);
  avctx = std::move(ctx);
  queue = q;
  is = state;
  start_pts = AV_NOPTS_VALUE;
  pkt_serial = -1;
  finished = 0;
  packet_pending = false;
  return 0;
}

void TDecoder::Stop(TFrameQueue& fq) {
  if (!queue) return;
  queue->Abort();
  fq.Signal();
  if (decoder_tid.joinable()) decoder_tid.join();
  queue->Flush();
}

void TDecoder::Destroy() {
  pkt.reset();
  avctx.reset();
}

int TDecoder::DecodeFrame(AVFrame* frame, AVSubtitle* sub) {
  int ret = AVERROR(EAGAIN);
  for (;;) {
    if (queue->serial == pkt_serial) {
      do {
        if (queue->abort_request) return -1;
        switch (avctx->codec_type) {
          case AVMEDIA_TYPE_VIDEO:
            ret = ff::avcodec_receive_frame(avctx.get(), frame);
            if (ret >= 0) {
              const int reorder = is->live.decoder_reorder_pts;
              if (reorder == -1)
                frame->pts = frame->best_effort_timestamp;
              else if (!reorder)
                frame->pts = frame->pkt_dts;
            }
            break;
          case AVMEDIA_TYPE_AUDIO:
            ret = ff::avcodec_receive_frame(avctx.get(), frame);
            if (ret >= 0) {
              const AVRational tb{1, frame->sample_rate};
              if (frame->pts != AV_NOPTS_VALUE)
                frame->pts = ff::av_rescale_q(frame->pts, avctx->pkt_timebase, tb);
              else if (next_pts != AV_NOPTS_VALUE)
                frame->pts = ff::av_rescale_q(next_pts, next_pts_tb, tb);
              if (frame->pts != AV_NOPTS_VALUE) {
                next_pts = frame->pts + frame->nb_samples;
                next_pts_tb = tb;
              }
            }
            break;
          default:
            break;
        }
        if (ret == AVERROR_EOF) {
          finished = pkt_serial;
          ff::avcodec_flush_buffers(avctx.get());
          return 0;
        }
        if (ret >= 0) return 1;
      } while (ret != AVERROR(EAGAIN));
    }

    do {
      if (queue->nb_packets == 0) is->WakeReader();
      if (packet_pending) {
        packet_pending = false;
      } else {
        const int old_serial = pkt_serial;
        if (queue->Get(pkt.get(), true, &pkt_serial) < 0) return -1;
        if (old_serial != pkt_serial) {
          ff::avcodec_flush_buffers(avctx.get());
          is->seek_flushed = 1;
          finished = 0;
          next_pts = start_pts;
          next_pts_tb = start_pts_tb;
        }
      }
      if (queue->serial == pkt_serial) break;
      ff::av_packet_unref(pkt.get());
    } while (true);

    if (avctx->codec_type == AVMEDIA_TYPE_SUBTITLE) {
      int got = 0;
      ret = ff::avcodec_decode_subtitle2(avctx.get(), sub, &got, pkt.get());
      if (ret < 0) {
        ret = AVERROR(EAGAIN);
      } else {
        if (got && !pkt->data) packet_pending = true;
        ret = got ? 0 : (pkt->data ? AVERROR(EAGAIN) : AVERROR_EOF);
      }
      ff::av_packet_unref(pkt.get());
      if (got) return 1;
      if (ret == AVERROR_EOF) {
        finished = pkt_serial;
        return 0;
      }
    } else {
      if (ff::avcodec_send_packet(avctx.get(), pkt.get()) == AVERROR(EAGAIN)) {
        ff::av_log(avctx.get(), AV_LOG_ERROR,
                   "Receive_frame and send_packet both returned EAGAIN, which is an API "
                   "violation.\n");
        packet_pending = true;
      } else {
        ff::av_packet_unref(pkt.get());
      }
    }
    if (!pkt->data && pkt->size == 0 && !is->EndEventDone) is->host.PositionUpdate(is);
  }
}

// ---------------------------------------------------------------------------
// Video

int TVideoState::GetVideoFrame(AVFrame* frame) {
  const int got = viddec.DecodeFrame(frame, nullptr);
  if (got <= 0) return got < 0 ? -1 : 0;
  const double dpts = toSeconds(frame->pts, video_st->time_base);
  frame->sample_aspect_ratio = ff::av_guess_sample_aspect_ratio(ic, video_st, frame);
  viddec_width = frame->width;
  viddec_height = frame->height;
  const int framedrop = live.framedrop;
  const bool consider =
      framedrop > 0 || (framedrop < 0 && MasterSyncType() != AV_SYNC_VIDEO_MASTER && !step);
  if (consider && frame->pts != AV_NOPTS_VALUE) {
    const double diff = dpts - MasterClock();
    if (!std::isnan(diff) && std::fabs(diff) < AV_NOSYNC_THRESHOLD &&
        diff - frame_last_filter_delay < 0 && viddec.pkt_serial == vidclk.Serial() &&
        videoq.nb_packets > 0) {
      ++frame_drops_early;
      ff::av_frame_unref(frame);
      return 0;
    }
  }
  return 1;
}

int TVideoState::QueuePicture(AVFrame* src, double pts, double duration, std::int64_t pos,
                              int serial) {
  const double target = accurate_seek_target;
  if (!std::isnan(target) && !std::isnan(pts) && serial == accurate_seek_vserial &&
      pts + std::max(duration, 0.001) / 2 + 1e-6 < target) {
    ff::av_frame_unref(src);  // before the seek target
    return 0;
  }
  host.HookPicture(this, src, pts);
  TFFFrame* vp = pictq.PeekWritable();
  if (!vp) return -1;
  {
    std::lock_guard g(vp->lock);
    vp->sar = src->sample_aspect_ratio;
    vp->uploaded = 0;
    vp->width = src->width;
    vp->height = src->height;
    vp->format = src->format;
    vp->pts = pts;
    vp->duration = duration;
    vp->pos = pos;
    vp->serial = serial;
    host.DefaultWindowSize(vp->width, vp->height, vp->sar);
    ff::av_frame_move_ref(vp->frame.get(), src);
  }
  pictq.Push();
  ++pictq_total_size;
  return 0;
}

int TVideoState::ConfigureVideoFilters(AVFilterGraph* graph, const std::string& vfilters,
                                       const AVFrame* frame, AVFilterContext** src_out,
                                       AVFilterContext** sink_out) {
  const std::string sws = filters::join_options(sws_dict, true);
  if (!sws.empty()) graph->scale_sws_opts = ff::av_strdup(sws.c_str());
  const AVRational fr = ff::av_guess_frame_rate(ic, video_st, nullptr);
  AVRational sar = video_st->sample_aspect_ratio;
  if (sar.den < 1) sar.den = 1;
  const std::string args = filters::video_source_args(frame->width, frame->height, frame->format,
                                                      video_st->time_base, sar, fr);
  AVFilterContext* src = nullptr;
  AVFilterContext* sink = nullptr;
  int ret = filters::create_filter(graph, "buffer", "kestra_buffer", args.c_str(), &src);
  if (ret < 0) return ret;
  ret = filters::create_filter(graph, "buffersink", "kestra_buffersink", nullptr, &sink);
  if (ret < 0) return ret;
  std::vector<AVPixelFormat> fmts = live.TargetPixFmts();
  if (fmts.empty()) fmts.push_back(AV_PIX_FMT_YUV420P);
  if ((ret = ff::av_opt_set_bin(
           sink, "pix_fmts", reinterpret_cast<const std::uint8_t*>(fmts.data()),
           static_cast<int>(fmts.size() * sizeof(AVPixelFormat)), AV_OPT_SEARCH_CHILDREN)) < 0)
    return ret;

  AVFilterContext* last = sink;
  const auto insert = [&](const char* name, const std::string& arg) {
    return filters::prepend_filter(graph, last, name, std::string("kestra_") + name,
                                   arg.empty() ? nullptr : arg.c_str());
  };
  if (live.Rotate()) {
    // Inserted in front of the sink: the last one runs first.
    const auto rotation = filters::rotation_filters(stream_rotation(video_st));
    for (auto it = rotation.rbegin(); it != rotation.rend() && ret >= 0; ++it)
      ret = insert(it->first, it->second);
    if (ret < 0) return ret;
  }
  if (live.Flip() && (ret = insert("vflip", "")) < 0) return ret;
  if (!vfilters.empty())
    FFLogger().Log(host.LogSender(), llInfo, "Parse filters: %s", vfilters.c_str());
  if ((ret = filters::link_and_configure(graph, vfilters, src, last)) < 0) return ret;
  *src_out = src;
  *sink_out = sink;
  return 0;
}

// The video thread's filter graph and what it was built for.
struct TVideoGraphState {
  int w = 0, h = 0, format = -2, serial = -1, graph = -1;
  std::string filters;
  bool built = false;
  AVFilterContext *in = nullptr, *out = nullptr;
  AVRational frame_rate{0, 1}, tb{0, 1};
};

void TVideoState::VideoThread() {
  FramePtr frame = makeFrame();
  if (!frame) {
    Report("av_frame_alloc() failed: " + error_text(AVERROR(ENOMEM)), llError);
    return;
  }
  TVideoGraphState g;
  g.tb = video_st->time_base;
  g.frame_rate = ff::av_guess_frame_rate(ic, video_st, nullptr);
  while (!shutdownRequested()) {
    int ret = GetVideoFrame(frame.get());
    if (ret < 0) break;  // stopped
    if (ret == 0) {
      // The video ended before a picture of the seek's serial came.
      if (viddec.finished == videoq.serial && !seek_req) host.SeekDone(false);
      continue;
    }
    int queued = -1;  // serial of a picture queued in this round
    if (live.DisableVideoFilter) {
      ret = queueFiltered(frame.get(), g, queued);
    } else {
      const std::string vfilters = live.VideoFilters();
      const int graphSerial = live.GraphSerial();
      if (needsGraph(g, frame.get(), vfilters, graphSerial) &&
          rebuildVideoGraph(g, frame.get(), vfilters, graphSerial) < 0)
        break;
      ret = filterPicture(g, frame.get(), queued);
    }
    if (ret < 0) break;
    afterPicture(queued);
  }
  std::lock_guard lock(vgraph_lock);
  FilterGraph.reset();
  in_video_filter = out_video_filter = nullptr;
}

bool TVideoState::needsGraph(const TVideoGraphState& g, const AVFrame* frame,
                             const std::string& vfilters, int graphSerial) const {
  return !g.built || g.w != frame->width || g.h != frame->height || g.format != frame->format ||
         (g.serial != viddec.pkt_serial && live.ResetFilterAfterSeeking) || g.filters != vfilters ||
         g.graph != graphSerial;
}

// A new graph for the picture's size and format; the old one goes first.
int TVideoState::rebuildVideoGraph(TVideoGraphState& g, const AVFrame* frame,
                                   const std::string& vfilters, int graphSerial) {
  if (g.built)
    FFLogger().Log(host.LogSender(), llInfo,
                   "Video frame changed from size:%dx%d format:%s serial:%d to "
                   "size:%dx%d format:%s serial:%d",
                   g.w, g.h, pixName(g.format), g.serial, frame->width, frame->height,
                   pixName(frame->format), viddec.pkt_serial);
  {
    std::lock_guard lock(vgraph_lock);
    FilterGraph.reset();
    in_video_filter = out_video_filter = nullptr;
  }
  FilterGraphPtr graph(ff::avfilter_graph_alloc());
  if (!graph) {
    Report("avfilter_graph_alloc() failed: " + error_text(AVERROR(ENOMEM)), llError);
    return AVERROR(ENOMEM);
  }
  graph->nb_threads = settings.FilterThreads;
  const int ret = ConfigureVideoFilters(graph.get(), vfilters, frame, &g.in, &g.out);
  if (ret < 0) {
    host.PostQuit(this);
    const std::string text = "configure_video_filters() failed: " + error_text(ret);
    Report(text, llError);
    host.FilterError(text);
    return ret;
  }
  g.built = true;
  g.w = frame->width;
  g.h = frame->height;
  g.format = frame->format;
  g.serial = viddec.pkt_serial;
  g.filters = vfilters;
  g.graph = graphSerial;
  g.frame_rate = ff::av_buffersink_get_frame_rate(g.out);
  std::lock_guard lock(vgraph_lock);
  FilterGraph = std::move(graph);
  in_video_filter = g.in;
  out_video_filter = g.out;
  return 0;
}

// Queues a picture with the graph's time base and frame rate.
int TVideoState::queueFiltered(AVFrame* frame, const TVideoGraphState& g, int& queued) {
  const double duration = g.frame_rate.num && g.frame_rate.den
                              ? av_q2d(AVRational{g.frame_rate.den, g.frame_rate.num})
                              : 0;
  const int ret =
      QueuePicture(frame, toSeconds(frame->pts, g.tb), duration, frame->pkt_pos, viddec.pkt_serial);
  if (ret >= 0) queued = viddec.pkt_serial;
  ff::av_frame_unref(frame);
  return ret;
}

// Feeds the picture to the graph and queues what comes out of it.
int TVideoState::filterPicture(TVideoGraphState& g, AVFrame* frame, int& queued) {
  int ret = 0;
  {
    std::lock_guard lock(vgraph_lock);
    ret = ff::av_buffersrc_add_frame(g.in, frame);
  }
  if (ret < 0) return ret;
  while (ret >= 0) {
    frame_last_returned_time = static_cast<double>(ff::av_gettime_relative()) / 1e6;
    {
      std::lock_guard lock(vgraph_lock);
      ret = ff::av_buffersink_get_frame_flags(g.out, frame, 0);
    }
    if (ret < 0) {
      if (ret == AVERROR_EOF) viddec.finished = viddec.pkt_serial;
      return 0;
    }
    double delay = static_cast<double>(ff::av_gettime_relative()) / 1e6 - frame_last_returned_time;
    if (std::fabs(delay) > 1.0) delay = 0;
    frame_last_filter_delay = delay;
    g.tb = ff::av_buffersink_get_time_base(g.out);
    ret = queueFiltered(frame, g, queued);
    if (videoq.serial != viddec.pkt_serial) break;
  }
  return ret;
}

// The seek and open waits hear of a picture of the current serial.
void TVideoState::afterPicture(int queued) {
  if (seek_done && seek_flushed) {
    seek_done = 0;
    int waiting = 1;  // unless the refresh has shown the picture already
    seek_paused.compare_exchange_strong(waiting, 2);
  }
  // A picture from before a seek neither ends the seek nor its wait.
  if (queued >= 0 && queued == videoq.serial) {
    host.PictureEvent(true);
    if (!seek_req) host.SeekDone(false);
  }
  if (open_paused) {
    if (open_paused == 1) host.OpenedPaused(this);
    ++open_paused;
  }
}

// ---------------------------------------------------------------------------
// Audio

int TVideoState::ConfigureAudioFilters(const std::string& afilters, bool force_output) {
  std::lock_guard g(agraph_lock);
  agraph.reset();
  in_audio_filter = out_audio_filter = nullptr;
  FilterGraphPtr graph(ff::avfilter_graph_alloc());
  if (!graph) return AVERROR(ENOMEM);
  graph->nb_threads = settings.FilterThreads;
  const std::string swr = filters::join_options(swr_opts);
  if (!swr.empty()) ff::av_opt_set(graph.get(), "aresample_swr_opts", swr.c_str(), 0);
  const std::string args =
      filters::audio_source_args(AVRational{1, audio_filter_src.freq}, audio_filter_src.freq,
                                 audio_filter_src.fmt, audio_filter_src.ch_layout);
  AVFilterContext* src = nullptr;
  AVFilterContext* sink = nullptr;
  int ret = filters::create_filter(graph.get(), "abuffer", "kestra_abuffer", args.c_str(), &src);
  if (ret < 0) return ret;
  ret = filters::create_filter(graph.get(), "abuffersink", "kestra_abuffersink", nullptr, &sink);
  if (ret < 0) return ret;
  const AVSampleFormat fmts[] = {AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_NONE};
  if ((ret = ff::av_opt_set_bin(sink, "sample_fmts", reinterpret_cast<const std::uint8_t*>(fmts),
                                sizeof(AVSampleFormat), AV_OPT_SEARCH_CHILDREN)) < 0)
    return ret;
  if ((ret = ff::av_opt_set_int(sink, "all_channel_counts", 1, AV_OPT_SEARCH_CHILDREN)) < 0)
    return ret;
  if (force_output && audio) {
    const TAudioParams& tgt = audio->Target();
    char tl[256] = {};
    ff::av_channel_layout_describe(&tgt.ch_layout, tl, sizeof tl);
    const int rates[] = {tgt.freq, -1};
    if ((ret = ff::av_opt_set_int(sink, "all_channel_counts", 0, AV_OPT_SEARCH_CHILDREN)) < 0 ||
        (ret = ff::av_opt_set(sink, "ch_layouts", tl, AV_OPT_SEARCH_CHILDREN)) < 0 ||
        (ret =
             ff::av_opt_set_bin(sink, "sample_rates", reinterpret_cast<const std::uint8_t*>(rates),
                                sizeof(int), AV_OPT_SEARCH_CHILDREN)) < 0)
      return ret;
  }
  if (!afilters.empty())
    FFLogger().Log(host.LogSender(), llInfo, "Parse afilters: %s", afilters.c_str());
  if ((ret = filters::link_and_configure(graph.get(), afilters, src, sink)) < 0) return ret;
  agraph = std::move(graph);
  in_audio_filter = src;
  out_audio_filter = sink;
  return 0;
}

void TVideoState::AudioThread() {
  FramePtr frame = makeFrame();
  if (!frame) return;
  int last_serial = -1;
  int ret = 0;
  const auto push = [this](AVFrame* f, AVRational tb) {
    const double pts = toSeconds(f->pts, tb);
    const double target = accurate_seek_target;
    if (!std::isnan(target) && !std::isnan(pts) && auddec.pkt_serial == accurate_seek_aserial &&
        pts + static_cast<double>(f->nb_samples) / f->sample_rate + 1e-6 < target) {
      ff::av_frame_unref(f);  // before the seek target
      return 0;
    }
    TFFFrame* af = sampq.PeekWritable();
    if (!af) return -1;
    af->pts = pts;
    af->pos = f->pkt_pos;
    af->serial = auddec.pkt_serial;
    af->duration = av_q2d(AVRational{f->nb_samples, f->sample_rate});
    ff::av_frame_move_ref(af->frame.get(), f);
    sampq.Push();
    return 0;
  };
  do {
    const int got = auddec.DecodeFrame(frame.get(), nullptr);
    if (got < 0) break;
    if (got == 0) continue;
    const AVRational tb{1, frame->sample_rate};
    if (settings.DisableAudioFilter) {
      if (push(frame.get(), tb) < 0) break;
      continue;
    }
    const auto fmt = static_cast<AVSampleFormat>(frame->format);
    const bool mono =
        frame->ch_layout.nb_channels == 1 && audio_filter_src.ch_layout.nb_channels == 1;
    const bool differ =
        mono ? ff::av_get_packed_sample_fmt(fmt) !=
                   ff::av_get_packed_sample_fmt(audio_filter_src.fmt)
             : (frame->ch_layout.nb_channels != audio_filter_src.ch_layout.nb_channels ||
                fmt != audio_filter_src.fmt);
    if (differ ||
        ff::av_channel_layout_compare(&frame->ch_layout, &audio_filter_src.ch_layout) != 0 ||
        frame->sample_rate != audio_filter_src.freq ||
        (auddec.pkt_serial != last_serial && live.ResetFilterAfterSeeking) || !agraph ||
        last_serial == -1) {
      if (FFLogger().Enabled(llDebug)) {
        char a[256] = {}, b[256] = {};
        ff::av_channel_layout_describe(&audio_filter_src.ch_layout, a, sizeof a);
        ff::av_channel_layout_describe(&frame->ch_layout, b, sizeof b);
        FFLogger().Log(host.LogSender(), llDebug,
                       "Audio frame changed from rate:%d ch:%d fmt:%s layout:%s serial:%d to "
                       "rate:%d ch:%d fmt:%s layout:%s serial:%d",
                       audio_filter_src.freq, audio_filter_src.ch_layout.nb_channels,
                       ff::av_get_sample_fmt_name(audio_filter_src.fmt), a, last_serial,
                       frame->sample_rate, frame->ch_layout.nb_channels,
                       ff::av_get_sample_fmt_name(fmt), b, auddec.pkt_serial);
      }
      audio_filter_src.fmt = fmt;
      ff::av_channel_layout_uninit(&audio_filter_src.ch_layout);
      ff::av_channel_layout_copy(&audio_filter_src.ch_layout, &frame->ch_layout);
      audio_filter_src.freq = frame->sample_rate;
      last_serial = auddec.pkt_serial;
      if ((ret = ConfigureAudioFilters(live.AudioFilters(), true)) < 0) break;
    }
    {
      std::lock_guard g(agraph_lock);
      ret = ff::av_buffersrc_add_frame(in_audio_filter, frame.get());
    }
    if (ret < 0) break;
    while (!shutdownRequested()) {
      AVRational stb{};
      {
        std::lock_guard g(agraph_lock);
        ret = ff::av_buffersink_get_frame_flags(out_audio_filter, frame.get(), 0);
        if (ret >= 0) stb = ff::av_buffersink_get_time_base(out_audio_filter);
      }
      if (ret < 0) break;
      if (push(frame.get(), stb) < 0) {
        ret = -1;
        break;
      }
      if (audioq.serial != auddec.pkt_serial) break;
    }
    if (ret == AVERROR_EOF) auddec.finished = auddec.pkt_serial;
    if (shutdownRequested()) break;
  } while (ret >= 0 || ret == AVERROR(EAGAIN) || ret == AVERROR_EOF);
  std::lock_guard g(agraph_lock);
  agraph.reset();
  in_audio_filter = out_audio_filter = nullptr;
}

// ---------------------------------------------------------------------------
// Subtitles (bitmap subtitles are queued for the screen)

void TVideoState::SubtitleThread() {
  for (;;) {
    TFFFrame* sp = subpq.PeekWritable();
    if (!sp) return;
    const int got = subdec.DecodeFrame(nullptr, &sp->sub);
    if (got < 0) return;
    if (got && sp->sub.format == 0) {
      sp->pts = sp->sub.pts != AV_NOPTS_VALUE ? static_cast<double>(sp->sub.pts) / AV_TIME_BASE : 0;
      sp->serial = subdec.pkt_serial;
      sp->width = subdec.avctx->width;
      sp->height = subdec.avctx->height;
      sp->uploaded = 0;
      subpq.Push();
    } else if (got) {
      ff::avsubtitle_free(&sp->sub);
    }
  }
}

// ---------------------------------------------------------------------------
// Filter commands

AVFilterGraph* TVideoState::commandGraph(bool video, std::string& error) {
  AVFilterGraph* graph = video ? FilterGraph.get() : agraph.get();
  if (!graph) error = "filter is not available";
  return graph;
}

bool TVideoState::SendFilterCommand(bool video, const std::string& target, const std::string& cmd,
                                    const std::string& arg, int flags, std::string& error) {
  std::lock_guard g(video ? vgraph_lock : agraph_lock);
  AVFilterGraph* graph = commandGraph(video, error);
  if (!graph) return false;
  FFLogger().Log(host.LogSender(), llVerbose,
                 "Sending filter command target:%s cmd:%s arg:%s flags:%d", target.c_str(),
                 cmd.c_str(), arg.c_str(), flags);
  char response[4096] = {};
  const int ret = ff::avfilter_graph_send_command(graph, target.c_str(), cmd.c_str(), arg.c_str(),
                                                  response, sizeof response, flags);
  if (ret < 0 || response[0])
    FFLogger().Log(host.LogSender(), llInfo, "Command reply: ret:%d response:%s", ret, response);
  if (ret < 0) {
    error = "avfilter_graph_send_command() failed: " + error_text(ret);
    return false;
  }
  return true;
}

bool TVideoState::QueueFilterCommand(bool video, const std::string& target, const std::string& cmd,
                                     const std::string& arg, int flags, double time,
                                     std::string& error) {
  std::lock_guard g(video ? vgraph_lock : agraph_lock);
  AVFilterGraph* graph = commandGraph(video, error);
  if (!graph) return false;
  FFLogger().Log(host.LogSender(), llVerbose,
                 "Queueing filter command target:%s cmd:%s arg:%s time:%f flags:%d", target.c_str(),
                 cmd.c_str(), arg.c_str(), time, flags);
  const int ret = ff::avfilter_graph_queue_command(graph, target.c_str(), cmd.c_str(), arg.c_str(),
                                                   flags, time);
  if (ret < 0) {
    error = "avfilter_graph_queue_command() failed: " + error_text(ret);
    return false;
  }
  return true;
}

}  // namespace corvane
