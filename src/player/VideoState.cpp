#include "player/VideoState.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "foundation/AppInputFormats.h"
#include "foundation/ErrorText.h"
#include "foundation/FileNames.h"
#include "foundation/MainThread.h"
#include "foundation/MediaText.h"
#include "foundation/StrFormat.h"
#include "foundation/StreamOptions.h"

namespace corvane {
namespace {

constexpr int MAX_QUEUE_SIZE = 15 * 1024 * 1024;
constexpr int MIN_FRAMES = 25;
constexpr int VIDEO_PICTURE_QUEUE_SIZE = 3;
constexpr int SUBPICTURE_QUEUE_SIZE = 16;
constexpr int SAMPLE_QUEUE_SIZE = 9;

bool startsWith(const char* s, const char* prefix) {
  return s && std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

bool isRealtime(const AVFormatContext* s) {
  const char* n = s->iformat ? s->iformat->name : "";
  if (!std::strcmp(n, "rtp") || !std::strcmp(n, "rtsp") || !std::strcmp(n, "sdp")) return true;
  return s->pb && (startsWith(s->url, "rtp:") || startsWith(s->url, "udp:"));
}

// Live sources: their end is never the end of playback.
bool isDevice(const AVInputFormat* f) {
  if (!f || !f->name) return false;
  static constexpr const char* kDevices[] = {
      "v4l2", "video4linux2,v4l2", "x11grab", "alsa", "pulse", "fbdev", "kmsgrab", "oss", "jack"};
  for (const char* d : kDevices)
    if (!std::strcmp(f->name, d)) return true;
  for (const AVInputFormat* app : app_input_formats())
    if (app == f) return true;
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Creation and closing

TVideoState::TVideoState(TPlayerHost& h, const TPlayerSettings& s, std::shared_ptr<TLiveSettings> l)
    : host(h), settings(s), live_settings(std::move(l)), live(*live_settings) {}

std::unique_ptr<TVideoState> TVideoState::Create(TPlayerHost& host, const TPlayerSettings& settings,
                                                 const std::string& filename,
                                                 const AVInputFormat* iformat, bool openPaused,
                                                 bool wait, std::shared_ptr<TLiveSettings> live) {
  if (!live) {
    live = std::make_shared<TLiveSettings>();
    live->Load(settings);
  }
  std::unique_ptr<TVideoState> is(new TVideoState(host, settings, std::move(live)));
  host.StateCreated(is.get());
  if (!is->Start(filename, iformat, openPaused, wait)) {
    // A failed state is forgotten by the host before it is freed.
    host.StateCreated(nullptr);
    return nullptr;
  }
  return is;
}

bool TVideoState::Start(const std::string& name, const AVInputFormat* format, bool openPaused,
                        bool wait) {
  if (openPaused) {
    paused = 1;
    open_paused = 1;
    step = 0;
  }
  if (settings.StepToKeyFrame) step_to_key_frame = 1;
  filename = name;
  iformat = format;
  TFFOptions& options = host.PlayerOptions();
  format_opts = options.format_opts();
  codec_opts = options.codec_opts();
  sws_dict = options.sws_dict();
  swr_opts = options.swr_opts();
  if (pictq.Init(&videoq, VIDEO_PICTURE_QUEUE_SIZE, true) < 0 ||
      subpq.Init(&subtitleq, SUBPICTURE_QUEUE_SIZE, false) < 0 ||
      sampq.Init(&audioq, SAMPLE_QUEUE_SIZE, true) < 0)
    return false;
  vidclk.Init(&videoq.serial);
  audclk.Init(&audioq.serial);
  extclk.Init(nullptr);  // follows its own serial
  sync.SetSyncType(settings.SyncType);
  for (TClock* c : {&vidclk, &audclk, &extclk}) c->SetSpeed(settings.PlaybackSpeed);
  wait_for_stream_opened = wait;
  open_in_caller_thread = settings.OpenInCallerThread;

  if (open_in_caller_thread) {
    const int ret = OpenInput();
    if (ret < 0) {
      FinishReading(ret);
      return false;
    }
  }
  try {
    read_tid = std::thread([this] { ReadThread(); });
  } catch (const std::system_error& e) {
    Report(strprintf("SDL_CreateThread(): %s", e.what()), llFatal);
    return false;
  }
  if (!wait) return true;
  waitPumping([&] { return FileOpened != 0; });
  if (FileOpened > 0) return true;
  Close();
  return false;
}

TVideoState::~TVideoState() { Close(); }

void TVideoState::Close() {
  if (closed.exchange(true)) return;
  abort_request = 1;
  continue_read_thread.notify_all();
  if (read_tid.joinable()) read_tid.join();
  std::lock_guard g(switch_lock);
  if (audio_stream >= 0) CloseStreamComponent(audio_stream);
  if (video_stream >= 0) CloseStreamComponent(video_stream);
  if (subtitle_stream >= 0) CloseStreamComponent(subtitle_stream);
  ic = nullptr;
  FContext.reset();
  videoq.Flush();
  audioq.Flush();
  subtitleq.Flush();
}

void TVideoState::Report(const std::string& msg, TLogLevel level, bool storeLast) {
  host.ReportError(msg, level, storeLast);
}

int TVideoState::InterruptCallback(void* opaque) {
  auto* is = static_cast<TVideoState*>(opaque);
  if (shutdownRequested()) return 1;
  if (is->abort_request) {
    FFLogger().Log(is->host.LogSender(), llInfo, "connecting/reading broken");
    return 1;
  }
  const std::int64_t since = is->last_read;
  if (since == INT64_MAX || is->settings.ReadTimeout < 1) return 0;
  if (ff::av_gettime_relative() - since > std::int64_t{is->settings.ReadTimeout} * 1000) {
    // A stop before the state was stored zeroes the last read.
    FFLogger().Log(is->host.LogSender(), llInfo,
                   since == 0 ? "connecting/reading canceled" : "connecting/reading timeout");
    return 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Opening the input

int TVideoState::OpenInput() {
  eof = 0;
  int ret = openContext();
  if (ret < 0) return ret;
  if (settings.find_stream_info && (ret = findStreamInfo()) < 0) return ret;
  describeInput();
  int st_index[AVMEDIA_TYPE_NB];
  chooseStreams(st_index);
  if ((ret = openChosen(st_index)) < 0) return ret;
  if (settings.infinite_buffer < 0 && realtime) settings.infinite_buffer = 1;
  host.PictureEvent(true);
  FileOpened = 1;
  // Opened in the caller's thread, the state is not stored yet: the read
  // thread reports the opening once it runs.
  if (!wait_for_stream_opened && !open_in_caller_thread) host.FileOpened(this);
  return 0;
}

// Opens the input with the state's format options; the context is the
// state's from here on.
int TVideoState::openContext() {
  AVFormatContext* ctx = ff::avformat_alloc_context();
  if (!ctx) {
    Report("Could not allocate context.", llFatal);
    return AVERROR(ENOMEM);
  }
  ctx->interrupt_callback.callback = &TVideoState::InterruptCallback;
  ctx->interrupt_callback.opaque = this;
  // The library rewrites the dictionary it is given: the state's stays whole.
  TDictionary opts = format_opts;
  bool scan_all_pmts_set = false;
  if (!opts.find("scan_all_pmts")) {
    opts.set("scan_all_pmts", "1", AV_DICT_DONT_OVERWRITE);
    scan_all_pmts_set = true;
  }
  MarkRead();
  setOpeningInput(true);
  const std::string name = to_library_file_name(filename);
  const int err = ff::avformat_open_input(&ctx, name.c_str(), iformat, opts.address());
  setOpeningInput(false);
  if (err < 0) {
    Report(error_text(filename, err), llError, true);
    return -1;
  }
  FContext.reset(ctx);
  if (abort_request) return -1;
  if (scan_all_pmts_set) opts.erase("scan_all_pmts");
  opts.forEach([this](const char* key, const char*) {
    Report(strprintf("Option %s not found, ignored.", key), llError);
  });
  ic = ctx;
  if (settings.genpts) ic->flags |= AVFMT_FLAG_GENPTS;
  ff::av_format_inject_global_side_data(ic);
  return 0;
}

int TVideoState::findStreamInfo() {
  if (abort_request) return -1;
  host.BeforeFindStreamInfo(ic);
  MarkRead();
  int err = 0;
  try {
    err = find_stream_info(ic, codec_opts);
  } catch (const EOptionError& e) {
    Report(e.what(), llError, true);
    return -1;
  }
  if (err < 0) {
    Report(filename + ": could not find codec parameters", llError, true);
    return -1;
  }
  return abort_request ? -1 : 0;
}

// What the input is, and the start position when one is set.
void TVideoState::describeInput() {
  if (ic->pb) {
    ic->pb->eof_reached = 0;
    ic->pb->error = 0;
  }
  if (settings.seek_by_bytes < 0)
    settings.seek_by_bytes =
        (ic->iformat->flags & AVFMT_TS_DISCONT) && std::strcmp("ogg", ic->iformat->name) != 0;
  max_frame_duration = (ic->iformat->flags & AVFMT_TS_DISCONT) ? 10.0 : 3600.0;
  IsImage2 = ::strcasecmp(ic->iformat->name, "image2") == 0;
  IsDevice = isDevice(ic->iformat);
  StartTime = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
  FileDuration = ic->duration != AV_NOPTS_VALUE ? ic->duration : -1;
  if (settings.start_time != AV_NOPTS_VALUE) {
    std::int64_t ts = settings.start_time;
    if (ic->start_time != AV_NOPTS_VALUE) ts += ic->start_time;
    MarkRead();
    if (ff::avformat_seek_file(ic, -1, INT64_MIN, ts, INT64_MAX, 0) < 0)
      Report(strprintf("%s: could not seek to position %0.3f", filename.c_str(),
                       static_cast<double>(ts) / AV_TIME_BASE),
             llWarning);
  }
  realtime = isRealtime(ic);
}

// A kind that is not played ignores its specifier.
bool TVideoState::specified(int type) const {
  if (type < 0 || type >= AVMEDIA_TYPE_NB || settings.wanted_stream_spec[type].empty())
    return false;
  switch (type) {
    case AVMEDIA_TYPE_VIDEO:
      return !settings.video_disable;
    case AVMEDIA_TYPE_AUDIO:
      return !settings.audio_disable;
    case AVMEDIA_TYPE_SUBTITLE:
      return !settings.video_disable && !settings.subtitle_disable;
    default:
      return true;
  }
}

// The stream of each kind to play (-1: none), by specifier, else the best.
void TVideoState::chooseStreams(int st_index[AVMEDIA_TYPE_NB]) {
  std::fill(st_index, st_index + AVMEDIA_TYPE_NB, -1);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* st = ic->streams[i];
    const AVMediaType type = st->codecpar->codec_type;
    st->discard = AVDISCARD_ALL;
    if (specified(type) && st_index[type] == -1 &&
        ff::avformat_match_stream_specifier(ic, st, settings.wanted_stream_spec[type].c_str()) > 0)
      st_index[type] = static_cast<int>(i);
  }
  for (int t = 0; t < AVMEDIA_TYPE_NB; ++t) {
    if (specified(t) && st_index[t] == -1) {
      Report(strprintf("Stream specifier %s does not match any %s stream",
                       settings.wanted_stream_spec[t].c_str(), media_type_name(t).c_str()),
             llError);
      st_index[t] = INT_MAX;
    }
  }
  int& video = st_index[AVMEDIA_TYPE_VIDEO];
  int& audio = st_index[AVMEDIA_TYPE_AUDIO];
  int& subtitle = st_index[AVMEDIA_TYPE_SUBTITLE];
  if (!settings.video_disable)
    video = ff::av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, video, -1, nullptr, 0);
  if (!settings.audio_disable)
    audio = ff::av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, audio, video, nullptr, 0);
  if (!settings.video_disable && !settings.subtitle_disable)
    subtitle = ff::av_find_best_stream(ic, AVMEDIA_TYPE_SUBTITLE, subtitle,
                                       audio >= 0 ? audio : video, nullptr, 0);
}

// Opens the chosen streams and settles the display mode; -1 when nothing
// plays.
int TVideoState::openChosen(const int st_index[AVMEDIA_TYPE_NB]) {
  const int video = st_index[AVMEDIA_TYPE_VIDEO], audio = st_index[AVMEDIA_TYPE_AUDIO];
  const int subtitle = st_index[AVMEDIA_TYPE_SUBTITLE];
  show_mode = settings.show_mode;
  if (video >= 0) {
    AVStream* st = ic->streams[video];
    if (st->codecpar->width)
      host.DefaultWindowSize(st->codecpar->width, st->codecpar->height,
                             ff::av_guess_sample_aspect_ratio(ic, st, nullptr));
  }
  int ret = -1;
  if (audio >= 0) OpenStreamComponent(audio);
  if (video >= 0) ret = OpenStreamComponent(video);
  if (show_mode == SHOW_MODE_AUTO) {
    if (settings.has_screen)
      show_mode = ret >= 0 ? SHOW_MODE_VIDEO : SHOW_MODE_WAVES;
    else
      show_mode = audio_stream >= 0 ? SHOW_MODE_WAVES : SHOW_MODE_NONE;
  }
  if (subtitle >= 0 && subtitle != INT_MAX) OpenStreamComponent(subtitle);
  if (video_stream >= 0 || audio_stream >= 0) return 0;
  Report(nothingToPlay(), llFatal, true);
  return -1;
}

std::string TVideoState::nothingToPlay() const {
  if (settings.audio_disable && (settings.video_disable || settings.display_disable))
    return "There is not any stream to play while audio and video/display disabled at the same "
           "time.";
  if (settings.audio_disable) return "There is no video stream to play while audio disabled.";
  if (settings.display_disable) return "There is no audio stream to play while display disabled.";
  if (settings.video_disable) return "There is no audio stream to play while video disabled.";
  return strprintf("Failed to open file \"%s\" or configure filtergraph", filename.c_str());
}

// ---------------------------------------------------------------------------
// Stream components

int TVideoState::OpenStreamComponent(int stream_index, bool start_audio) {
  if (!ic || stream_index < 0 || stream_index >= static_cast<int>(ic->nb_streams)) return -1;
  AVStream* st = ic->streams[stream_index];
  CodecContextPtr avctx;
  int ret = openCodec(st, stream_index, avctx);
  if (ret < 0) return ret;
  eof = 0;
  st->discard = AVDISCARD_DEFAULT;
  switch (avctx->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      return startAudio(st, stream_index, std::move(avctx), start_audio);
    case AVMEDIA_TYPE_VIDEO:
      video_stream = stream_index;
      video_st = st;
      sync.SetStreamOpen(AVMEDIA_TYPE_VIDEO, true);
      viddec_width = avctx->width;
      viddec_height = avctx->height;
      if ((ret = viddec.Init(std::move(avctx), &videoq, this)) < 0) return ret;
      if ((ret = viddec.Start([this] { VideoThread(); })) < 0) return ret;
      queue_attachments_req = 1;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      subtitle_stream = stream_index;
      subtitle_st = st;
      if ((ret = subdec.Init(std::move(avctx), &subtitleq, this)) < 0) return ret;
      if ((ret = subdec.Start([this] { SubtitleThread(); })) < 0) return ret;
      break;
    default:
      break;
  }
  return 0;
}

// The decoder of the stream (the forced one when named), opened with the
// stream's codec options.
int TVideoState::openCodec(AVStream* st, int stream_index, CodecContextPtr& avctx) {
  avctx.reset(ff::avcodec_alloc_context3(nullptr));
  if (!avctx) return AVERROR(ENOMEM);
  if (const int ret = ff::avcodec_parameters_to_context(avctx.get(), st->codecpar); ret < 0)
    return ret;
  avctx->pkt_timebase = st->time_base;
  if (avctx->codec_type == AVMEDIA_TYPE_SUBTITLE) {
    const AVCodecDescriptor* d = ff::avcodec_descriptor_get(avctx->codec_id);
    if (!d || !(d->props & AV_CODEC_PROP_BITMAP_SUB))
      Report("Only bitmap based subtitles supported.", llError);
  }
  const AVCodec* codec = findDecoder(avctx.get(), stream_index);
  if (!codec) return AVERROR(EINVAL);
  avctx->codec_id = codec->id;
  int lowres = settings.lowres;
  if (lowres > codec->max_lowres) {
    Report(
        strprintf("The maximum value for lowres supported by the decoder is %d", codec->max_lowres),
        llWarning);
    lowres = codec->max_lowres;
  }
  avctx->lowres = lowres;
  if (settings.fast) avctx->flags2 |= AV_CODEC_FLAG2_FAST;
  TDictionary opts;
  try {
    opts = filter_codec_options(codec_opts, codec->id, ic, st, codec);
  } catch (const EOptionError& e) {
    Report(e.what(), llError);
    return AVERROR(EINVAL);
  }
  if (!opts.contains("threads")) opts.set("threads", "auto");
  if (lowres) opts.set("lowres", std::to_string(lowres));
  if (ff::avcodec_open2(avctx.get(), codec, opts.address()) < 0) {
    Report("avcodec_open2() failed.", llError);
    return AVERROR(EINVAL);
  }
  bool unknown = false;
  opts.forEach([&](const char* key, const char*) {
    Report(strprintf("Option %s not found.", key), llError);
    unknown = true;
  });
  return unknown ? AVERROR_OPTION_NOT_FOUND : 0;
}

const AVCodec* TVideoState::findDecoder(const AVCodecContext* avctx, int stream_index) {
  const std::string* forced = nullptr;
  switch (avctx->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      last_audio_stream = stream_index;
      forced = &settings.audio_codec_name;
      break;
    case AVMEDIA_TYPE_VIDEO:
      last_video_stream = stream_index;
      forced = &settings.video_codec_name;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      last_subtitle_stream = stream_index;
      forced = &settings.subtitle_codec_name;
      break;
    default:
      break;
  }
  const bool named = forced && !forced->empty();
  const AVCodec* codec = named ? ff::avcodec_find_decoder_by_name(forced->c_str())
                               : ff::avcodec_find_decoder(avctx->codec_id);
  if (codec) return codec;
  if (named)
    Report(strprintf("No codec could be found with name \"%s\"", forced->c_str()), llError);
  else
    Report(
        strprintf("No decoder could be found for codec %s", ff::avcodec_get_name(avctx->codec_id)),
        llError);
  return nullptr;
}

// The audio device for the decoder's output (through the audio graph unless
// filters are off), then the decoder thread.
int TVideoState::startAudio(AVStream* st, int stream_index, CodecContextPtr avctx,
                            bool start_audio) {
  AVChannelLayout layout{};
  int sample_rate = 0;
  int ret = 0;
  if (settings.DisableAudioFilter) {
    sample_rate = avctx->sample_rate;
    ff::av_channel_layout_copy(&layout, &avctx->ch_layout);
  } else {
    audio_filter_src.freq = avctx->sample_rate;
    ff::av_channel_layout_uninit(&audio_filter_src.ch_layout);
    ff::av_channel_layout_copy(&audio_filter_src.ch_layout, &avctx->ch_layout);
    audio_filter_src.fmt = avctx->sample_fmt;
    if ((ret = ConfigureAudioFilters(live.AudioFilters(), false)) < 0) return ret;
    sample_rate = ff::av_buffersink_get_sample_rate(out_audio_filter);
    if ((ret = ff::av_buffersink_get_ch_layout(out_audio_filter, &layout)) < 0) return ret;
  }
  ret = openAudioOutput(layout, sample_rate);
  ff::av_channel_layout_uninit(&layout);
  if (ret < 0) return ret;
  audio_stream = stream_index;
  audio_st = st;
  sync.SetStreamOpen(AVMEDIA_TYPE_AUDIO, true);
  AudioDuration = st->duration != AV_NOPTS_VALUE
                      ? ff::av_rescale_q(st->duration, st->time_base, AVRational{1, AV_TIME_BASE})
                      : -1;
  if ((ret = auddec.Init(std::move(avctx), &audioq, this)) < 0) return ret;
  if ((ic->iformat->flags & (AVFMT_NOBINSEARCH | AVFMT_NOGENSEARCH | AVFMT_NO_BYTE_SEEK)) &&
      !ic->iformat->read_seek) {
    auddec.start_pts = st->start_time;
    auddec.start_pts_tb = st->time_base;
  }
  if ((ret = auddec.Start([this] { AudioThread(); })) < 0) return ret;
  if (start_audio) audio->Pause(false);
  return 0;
}

int TVideoState::openAudioOutput(const AVChannelLayout& layout, int sample_rate) {
  audio = std::make_unique<TAudioOutput>(
      TAudioStateLink{sampq, audioq, audclk, extclk, vidclk, sync, paused, seek_paused},
      [this](TLogLevel level, const std::string& m) { Report(m, level); });
  audio->UseControls(live.audio);
  audio->SetStartTime(StartTime);
  if (TAudioHook hook = host.MakeAudioHook()) audio->SetAudioHook(std::move(hook));
  if (!settings.AudioDevice.empty()) audio->SetDeviceName(settings.AudioDevice);
  TAudioParams hw;
  // Open takes the media layer's lock itself.
  const int ret = audio->Open(layout, sample_rate, hw);
  if (ret < 0) audio.reset();
  return ret;
}

void TVideoState::CloseStreamComponent(int stream_index) {
  StopStreamComponent(stream_index);
  ReleaseStreamComponent(stream_index);
}

void TVideoState::StopStreamComponent(int stream_index) {
  if (!ic || stream_index < 0 || stream_index >= static_cast<int>(ic->nb_streams)) return;
  switch (ic->streams[stream_index]->codecpar->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      auddec.Stop(sampq);
      if (audio) audio->Close();
      break;
    case AVMEDIA_TYPE_VIDEO:
      viddec.Stop(pictq);
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      subdec.Stop(subpq);
      break;
    default:
      break;
  }
}

void TVideoState::ReleaseStreamComponent(int stream_index) {
  if (!ic || stream_index < 0 || stream_index >= static_cast<int>(ic->nb_streams)) return;
  AVStream* st = ic->streams[stream_index];
  switch (st->codecpar->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      auddec.Destroy();
      audio.reset();
      audio_stream = -1;
      audio_st = nullptr;
      AudioDuration = -1;
      sync.SetStreamOpen(AVMEDIA_TYPE_AUDIO, false);
      break;
    case AVMEDIA_TYPE_VIDEO:
      viddec.Destroy();
      video_stream = -1;
      video_st = nullptr;
      sync.SetStreamOpen(AVMEDIA_TYPE_VIDEO, false);
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      subdec.Destroy();
      subtitle_stream = -1;
      subtitle_st = nullptr;
      break;
    default:
      break;
  }
  st->discard = AVDISCARD_ALL;
}

// ---------------------------------------------------------------------------
// Requests from the player

void TVideoState::StreamSeek(std::int64_t pos, std::int64_t rel, int flags) {
  if (seek_req) return;
  seek_pos = pos;
  seek_rel = rel;
  seek_flags = flags;
  if (paused) seek_paused = 1;
  seek_req = 1;
  continue_read_thread.notify_all();
}

void TVideoState::RequestFlush() {
  flush_req = 1;
  continue_read_thread.notify_all();
}

void TVideoState::SetPaused(bool p) {
  paused = p ? 1 : 0;
  continue_read_thread.notify_all();
}

// ---------------------------------------------------------------------------
// The read thread

bool TVideoState::StreamHasEnoughPackets(AVStream* st, int stream_id, TPacketQueue& q) {
  return stream_id < 0 || q.abort_request || (st->disposition & AV_DISPOSITION_ATTACHED_PIC) ||
         (q.nb_packets > MIN_FRAMES &&
          (!q.duration || av_q2d(st->time_base) * static_cast<double>(q.duration) > 1.0));
}

void TVideoState::ReadThread() {
  PacketPtr pkt = makePacket();
  int ret = 0;
  if (!pkt) {
    Report("Could not allocate packet.", llFatal);
    ret = AVERROR(ENOMEM);
  } else if (!open_in_caller_thread) {
    ret = OpenInput();
  } else if (!wait_for_stream_opened) {
    host.FileOpened(this);
  }
  if (ret >= 0 && pkt) {
    setReaderSwitches(true);
    try {
      ReadLoop(pkt.get());
    } catch (const std::exception& e) {
      Report(std::string("read thread: ") + e.what(), llError);
      ret = -1;
    }
    setReaderSwitches(false);
  }
  FinishReading(ret);
  read_done = true;
}

void TVideoState::FinishReading(int result) {
  if (FileOpened != 1) FileOpened = -1;
  last_read = INT64_MAX;
  if (ic) ic->interrupt_callback.callback = nullptr;
  if (result != 0) host.PostQuit(this);
  if (FileOpened == -1) {
    FileOpened = -2;
    host.OpenFailed(this, wait_for_stream_opened);
  }
}

void TVideoState::FlushQueues() {
  if (audio) audio->ResetAudioFrameAvailable();
  if (audio_stream >= 0) audioq.Flush();
  if (subtitle_stream >= 0) subtitleq.Flush();
  if (video_stream >= 0) {
    seek_flushed = 0;
    videoq.Flush();
    host.PictureEvent(false);
  }
}

// Closing components is serialised with Close(); a closed state is not switched.
int TVideoState::SwitchStreamComponent(int close, int open) {
  const auto now = [this, close, open] {
    return abort_request || closed ? -1 : switchNow(close, open);
  };
  std::unique_lock g(switch_lock);
  // Outside the read loop (opening, ended) or on the read thread itself the
  // switch runs here; the lock keeps the loop from starting meanwhile.
  if (!reader_switches || std::this_thread::get_id() == read_tid.get_id()) return now();
  const auto wait = [&](auto busy) {
    while (busy() && reader_switches) switch_done.wait_for(g, std::chrono::milliseconds(10));
  };
  wait([&] { return switch_req.pending || switch_req.unread; });
  if (!reader_switches) return now();
  switch_req = {true, false, close, open, 0};
  WakeReader();
  wait([&] { return switch_req.pending; });
  if (switch_req.pending) {  // the read loop ended first
    switch_req.pending = false;
    switch_done.notify_all();
    return now();
  }
  switch_req.unread = false;
  switch_done.notify_all();
  return switch_req.result;
}

void TVideoState::setReaderSwitches(bool on) {
  std::lock_guard g(switch_lock);
  reader_switches = on;
}

// The stopping half runs with no player lock held; the records change under
// the host's stream lock.
int TVideoState::switchNow(int close, int open) {
  StopStreamComponent(close);
  int ret = 0;
  {
    auto streams = host.LockStreams();
    ReleaseStreamComponent(close);
    if (open >= 0) ret = OpenStreamComponent(open, false);
  }
  // The device's callback runs the hook, whose handler may call the player.
  if (ret >= 0 && open >= 0 && open == audio_stream && audio) audio->Pause(false);
  return ret;
}

void TVideoState::serveSwitch() {
  std::lock_guard g(switch_lock);
  if (!switch_req.pending) return;
  switch_req.result = switchNow(switch_req.close, switch_req.open);
  switch_req.pending = false;
  switch_req.unread = true;
  switch_done.notify_all();
}

void TVideoState::ReadLoop(AVPacket* pkt) {
  while (!abort_request) {
    serveSwitch();
    if (followPause()) {
      waitForRead();
      continue;
    }
    if (seek_req)
      serveSeek();
    else if (flush_req)
      serveFlush();
    if (queue_attachments_req && !queueAttachments(pkt)) return;
    if (queuesFull()) {
      waitForRead();
      continue;
    }
    checkEnd();
    Reading = 1;
    MarkRead();
    const int ret = ff::av_read_frame(ic, pkt);
    Reading = 0;
    if (abort_request) {
      if (ret >= 0) ff::av_packet_unref(pkt);
      break;
    }
    if (ret >= 0) {
      queuePacket(pkt);
      continue;
    }
    if (!readFailed(ret, pkt)) break;
    waitForRead();
  }
  seek_paused = 0;
  last_read = INT64_MAX;
}

void TVideoState::waitForRead() {
  std::unique_lock g(wait_mutex);
  continue_read_thread.wait_for(g, std::chrono::milliseconds(10));
}

// Passes a pause or resume to the demuxer; true while a paused network
// stream must not be read.
bool TVideoState::followPause() {
  if (paused != last_paused) {
    last_paused = paused;
    if (paused)
      read_pause_return = ff::av_read_pause(ic);
    else
      ff::av_read_play(ic);
  }
  return paused &&
         (!std::strcmp(ic->iformat->name, "rtsp") || (ic->pb && startsWith(ic->url, "mmsh:")));
}

void TVideoState::serveSeek() {
  const std::int64_t target = seek_pos, rel = seek_rel;
  const std::int64_t min = rel > 0 ? target - rel + 2 : INT64_MIN;
  const std::int64_t max = rel < 0 ? target - rel - 2 : INT64_MAX;
  MarkRead();
  int r = ff::avformat_seek_file(ic, -1, min, target, max, seek_flags);
  if (r < 0) {
    MarkRead();
    r = ff::avformat_seek_file(ic, -1, min, target, max, seek_flags ^ AVSEEK_FLAG_BACKWARD);
  }
  if (r < 0) {
    Report(filename + ": error while seeking", llError);
    seek_paused = 0;
    if (video_stream >= 0) host.PictureEvent(true);
  } else {
    FlushQueues();
    if (seek_flags & AVSEEK_FLAG_BYTE) {
      extclk.Set(NAN, 0);
      accurate_seek_target = NAN;
    } else {
      extclk.Set(static_cast<double>(target) / AV_TIME_BASE, 0);
      accurate_seek_vserial = videoq.serial.load();
      accurate_seek_aserial = audioq.serial.load();
      accurate_seek_target = static_cast<double>(target) / AV_TIME_BASE;
    }
  }
  IOEOFLog = IOERRLog = false;
  EndEventDone = 0;
  seek_done = 1;
  pictq_total_size = 0;
  host.SeekDone(video_stream >= 0);
  seek_req = 0;
  queue_attachments_req = 1;
  eof = 0;
}

void TVideoState::serveFlush() {
  FlushQueues();
  extclk.Set(static_cast<double>(AV_NOPTS_VALUE), 0);
  flush_req = 0;
  seek_done = 1;
}

// An attached picture goes to the video queue again after each seek.
bool TVideoState::queueAttachments(AVPacket* pkt) {
  if (video_st && (video_st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
    PacketPtr copy = makePacket();
    if (!copy || ff::av_packet_ref(copy.get(), &video_st->attached_pic) < 0) return false;
    videoq.Put(copy.get());
    videoq.PutNullPacket(pkt, video_stream);
  }
  queue_attachments_req = 0;
  return true;
}

bool TVideoState::queuesFull() {
  return settings.infinite_buffer < 1 &&
         (audioq.size + videoq.size + subtitleq.size > MAX_QUEUE_SIZE ||
          (StreamHasEnoughPackets(audio_st, audio_stream, audioq) &&
           StreamHasEnoughPackets(video_st, video_stream, videoq) &&
           StreamHasEnoughPackets(subtitle_st, subtitle_stream, subtitleq)));
}

// Every stream has played out its last frame: the end, once per end.
void TVideoState::checkEnd() {
  if (!paused && !IsDevice && !EndEventDone &&
      (!audio_st || (auddec.finished == audioq.serial && sampq.Remaining() == 0)) &&
      (!video_st || (viddec.finished == videoq.serial && pictq.Remaining() == 0))) {
    EndEventDone = 1;
    host.PlaybackEnded(this);
  }
}

void TVideoState::queuePacket(AVPacket* pkt) {
  eof = 0;
  if (pkt->stream_index == audio_stream)
    audioq.Put(pkt);
  else if (pkt->stream_index == video_stream && video_st &&
           !(video_st->disposition & AV_DISPOSITION_ATTACHED_PIC))
    videoq.Put(pkt);
  else if (pkt->stream_index == subtitle_stream)
    subtitleq.Put(pkt);
  else
    ff::av_packet_unref(pkt);
}

// Whether a failed read is the end of the input (taken as so when told).
bool TVideoState::readIsEnd(int ret) {
  const bool endCode = ret == AVERROR_EOF || ret == AVERROR(EPIPE);
  if (ret == AVERROR(EAGAIN) || (ic->pb && ic->pb->error == AVERROR(EAGAIN))) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ic->pb) ic->pb->eof_reached = ic->pb->error = 0;
    return endCode;
  }
  if (endCode) return true;
  if (!ic->pb || !ff::avio_feof(ic->pb)) {
    if (!IsImage2 && !IOERRLog) {
      IOERRLog = true;
      Report("error while reading file " + filename + ": " + error_text(ret), llError);
    }
    // Without an I/O context nothing else reports the error: it is the end.
    return (ret == -1 && settings.NegativeOneAsEOF) || !ic->pb;
  }
  if (settings.CheckIOEOF) return true;
  ic->pb->eof_reached = ic->pb->error = 0;
  return false;
}

// A failed read: at the end each queue gets its drain packet once. False
// when an I/O error ends the reading.
bool TVideoState::readFailed(int ret, AVPacket* pkt) {
  if (video_stream >= 0) host.PictureEvent(true);
  if (readIsEnd(ret)) {
    if (!eof) {
      if (video_stream >= 0) videoq.PutNullPacket(pkt, video_stream);
      if (audio_stream >= 0) audioq.PutNullPacket(pkt, audio_stream);
      if (subtitle_stream >= 0) subtitleq.PutNullPacket(pkt, subtitle_stream);
      eof = 1;
      if (!IsImage2 && !IOEOFLog) {
        IOEOFLog = true;
        Report(strprintf("reach end of file: %s", filename.c_str()), llInfo);
      }
    }
    if (ic->pb) ic->pb->error = 0;
  }
  // The audio output stops waiting once every audio packet is decoded.
  if (eof && audio_stream >= 0 && audioq.nb_packets == 0 && !audioq.eof) {
    audioq.eof = 1;
    sampq.Signal();
  }
  if (ic->pb && ic->pb->error) {
    if (settings.CheckIOERR) return false;
    ic->pb->eof_reached = ic->pb->error = 0;
  }
  return true;
}

}  // namespace corvane
