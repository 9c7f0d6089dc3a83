#include "decoder/VUZezevud.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "foundation/ErrorText.h"
#include "foundation/Errors.h"
#include "foundation/FilterGraph.h"
#include "foundation/Logger.h"
#include "foundation/StrFormat.h"
#include "foundation/StreamOptions.h"

namespace corvane {
namespace {

constexpr AVRational kMicro{1, AV_TIME_BASE};

// Timestamps of damaged files can be anything: arithmetic on them saturates.
std::int64_t satAdd(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  if (!__builtin_add_overflow(a, b, &r)) return r;
  return b > 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min() + 1;
}
std::int64_t satSub(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  if (!__builtin_sub_overflow(a, b, &r)) return r;
  return b < 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min() + 1;
}

std::string sampleFmtName(AVSampleFormat f) {
  const char* n = f == AV_SAMPLE_FMT_NONE ? nullptr : ff::av_get_sample_fmt_name(f);
  return n ? n : "none";
}

}  // namespace

TVUZezevud::TVUZezevud(TComponent* AOwner) : TCustomDecoder(AOwner) {
  resetPicture();
  resetWave();
}

TVUZezevud::~TVUZezevud() { TVUZezevud::CloseFile(); }

std::string TVUZezevud::msg(const char* what, const std::string& text) const {
  return strprintf("%s.%s: %s", ClassName(), what, text.c_str());
}

void TVUZezevud::CloseFile() {
  FSeekIndex = FDesireVideoIndex = FDesireAudioIndex = -1;
  FFrameRate = {0, 0};
  FEOF = FEOFpkt = false;
  FReadError = 0;
  resetPicture();
  FLastPTS = AV_NOPTS_VALUE;
  resetWave();
  FRemainsAudioSize = 0;
  if (ff::av_channel_layout_uninit) ff::av_channel_layout_uninit(&FAudioParam.layout);
  FAudioParam.freq = 0;
  FAudioParam.fmt = AV_SAMPLE_FMT_NONE;
  FreeAudioResampler();
  FVideoCodec.reset();
  FAudioCodec.reset();
  FVideoCodecIndex = FAudioCodecIndex = -1;
  FPacket.reset();
  TCustomDecoder::CloseFile();
}

void TVUZezevud::FreeAudioResampler() { FSwr.reset(); }

void TVUZezevud::resetPicture() {
  if (FPicture.PTS != AV_NOPTS_VALUE) FLastPTS = FPicture.PTS;
  FPicture = TFrameInfo{};
  FPictureFrame.reset();
  Flast_vfilters.clear();
  Ffilter_graph.reset();
  Fbuffersrc_ctx = Fbuffersink_ctx = nullptr;
  FFilterFlushed = false;
}

void TVUZezevud::resetWave() {
  FWaveInfo = TWaveInfo{};
  FAudioBytes = 0;
  FRemainsAudioSize = 0;  // the samples it counted are gone
  FWaveInfo.Channels = FDesireAudioChannels;
  FWaveInfo.SampleRate = FDesireAudioSampleRate;
  FWaveInfo.SampleFormat = FDesireAudioSampleFormat;
  FWaveInfo.BytesPerSample =
      ff::av_get_bytes_per_sample ? ff::av_get_bytes_per_sample(FDesireAudioSampleFormat) : 0;
  FWaveInfo.BytesPerSecond =
      FDesireAudioSampleRate * FDesireAudioChannels * FWaveInfo.BytesPerSample;
}

void TVUZezevud::SetDesireAudioChannels(int v) {
  if (v == FDesireAudioChannels) return;
  FDesireAudioChannels = v;
  resetWave();
  FreeAudioResampler();
}

void TVUZezevud::SetDesireAudioSampleRate(int v) {
  if (v == FDesireAudioSampleRate) return;
  FDesireAudioSampleRate = v;
  resetWave();
  FreeAudioResampler();
}

void TVUZezevud::SetDesireAudioSampleFormat(AVSampleFormat v) {
  v = ff::av_get_packed_sample_fmt(v);
  if (v == FDesireAudioSampleFormat) return;
  FDesireAudioSampleFormat = v;
  resetWave();
  FreeAudioResampler();
}

std::int64_t TVUZezevud::Position() const {
  AVFormatContext* ic = FileHandle();
  return ic && ic->pb ? ff::avio_seek(ic->pb, 0, SEEK_CUR) : -1;
}

bool TVUZezevud::accessCheck() {
  if (!CheckFileLoaded()) return false;
  if (!OwnHandle()) {
    ReportError("file cannot be seeked, handle is readonly.", AV_LOG_WARNING);
    throw EDecoderError("file cannot be seeked, handle is readonly.");
  }
  return true;
}

bool TVUZezevud::isImage2() const {
  const AVFormatContext* ic = FileHandle();
  return ic && ic->iformat && ic->iformat->name && ::strcasecmp(ic->iformat->name, "image2") == 0;
}

std::int64_t TVUZezevud::frameDuration() const {
  if (FFrameRate.num > 0 && FFrameRate.den > 0)
    return static_cast<std::int64_t>(FFrameRate.den) * 1000000 / FFrameRate.num;
  return 40000;
}

int TVUZezevud::selectVideoStream(int index) {
  if (!accessCheck()) return -1;
  AVFormatContext* ic = FileHandle();
  if (index < 0) index = FDesireVideoIndex >= 0 ? FDesireVideoIndex : FirstVideoStreamIndex();
  if (index < 0) {
    ReportError("no video stream.");
    return -1;
  }
  if (index >= StreamCount()) {
    ReportError(strprintf("stream index #%d is invalid.", index));
    return -1;
  }
  AVStream* st = ic->streams[index];
  if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
    ReportError(strprintf("stream #%d is not video stream.", index));
    return -1;
  }
  if (index != FDesireVideoIndex) {
    resetPicture();
    FFrameRate = st->avg_frame_rate.num && st->avg_frame_rate.den
                     ? st->avg_frame_rate
                     : ff::av_guess_frame_rate(ic, st, nullptr);
  }
  FDesireVideoIndex = FSeekIndex = index;
  return index;
}

int TVUZezevud::selectAudioStream(int index) {
  if (!accessCheck()) return -1;
  if (index < 0) index = FDesireAudioIndex >= 0 ? FDesireAudioIndex : FirstAudioStreamIndex();
  if (index < 0) {
    ReportError("no audio stream.");
    return -1;
  }
  if (index >= StreamCount()) {
    ReportError(strprintf("stream index #%d is invalid.", index));
    return -1;
  }
  if (FileHandle()->streams[index]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
    ReportError(strprintf("stream #%d is not audio stream.", index));
    return -1;
  }
  if (index != FDesireAudioIndex) {
    resetWave();
    FRemainsAudioSize = 0;
    FreeAudioResampler();
  }
  FDesireAudioIndex = FSeekIndex = index;
  return index;
}

bool TVUZezevud::openCodec(int index, CodecContextPtr& ctx, AVMediaType type) {
  int& openIndex = type == AVMEDIA_TYPE_VIDEO ? FVideoCodecIndex : FAudioCodecIndex;
  if (ctx && openIndex == index) return true;
  ctx.reset();
  openIndex = -1;
  AVFormatContext* ic = FileHandle();
  AVStream* st = ic->streams[index];
  const AVCodecParameters* par = st->codecpar;
  CORVANE_ASSERT(par->codec_type == type, "the stream is not of the codec's type");
  if (type == AVMEDIA_TYPE_VIDEO && (par->width == 0 || par->height == 0)) {
    ReportError("frame size of codec is invalid.");
    return false;
  }
  const AVCodec* codec = ff::avcodec_find_decoder(par->codec_id);
  if (!codec) {
    ReportError(strprintf("Unsupported codec (id=%d) for input file stream #%d",
                          static_cast<int>(par->codec_id), index));
    return false;
  }
  CodecContextPtr c(ff::avcodec_alloc_context3(codec));
  if (!c || ff::avcodec_parameters_to_context(c.get(), par) < 0) {
    ReportError(strprintf("Error while opening codec for input file stream #%d", index));
    return false;
  }
  c->pkt_timebase = st->time_base;
  c->thread_count = 1;
  TDictionary all = LoadCodecOptions();
  Options().codec_opts().forEach([&](const char* k, const char* v) { all.set(k, v); });
  TDictionary opts;
  try {
    opts = filter_codec_options(all, par->codec_id, ic, st, codec);
  } catch (const EOptionError& e) {
    ReportError(e.what());
    return false;
  }
  if (ff::avcodec_open2(c.get(), codec, opts.address()) < 0) {
    ReportError(strprintf("Error while opening codec for input file stream #%d", index));
    return false;
  }
  ctx = std::move(c);
  openIndex = index;
  (type == AVMEDIA_TYPE_VIDEO ? FVideoDrained : FAudioDrained) = false;
  return true;
}

bool TVUZezevud::Seek(std::int64_t APTS, TSeekFlags ASeekFlags) {
  if (!accessCheck()) return false;
  if (isImage2()) {
    FFLogger().Log(this, llInfo, "\"image2\" format cannot to be seeked.");
    return false;
  }
  AVFormatContext* ic = FileHandle();
  if (ic->pb)
    FFLogger().Log(this, llDebug, "%s.%s: current position %" PRId64 " bytes", ClassName(),
                   "Seek()", Position());
  std::int64_t target = APTS;
  AVStream* st = FSeekIndex >= 0 ? ic->streams[FSeekIndex] : nullptr;
  if (APTS == 0 && FFrameRate.num > 0 && FFrameRate.den > 0 && st &&
      st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
    target = -(frameDuration() / 2);
  if (!(ASeekFlags & sfByte)) {
    if (st) {
      target = ff::av_rescale_q(target, kMicro, st->time_base);
      if (st->start_time != AV_NOPTS_VALUE) target = satAdd(target, st->start_time);
    } else if (ic->start_time != AV_NOPTS_VALUE) {
      target = satAdd(target, ic->start_time);
    }
  }
  if (FVideoCodec) ff::avcodec_flush_buffers(FVideoCodec.get());
  if (FAudioCodec) ff::avcodec_flush_buffers(FAudioCodec.get());
  FEOF = FEOFpkt = false;
  FReadError = 0;
  FVideoDrained = FAudioDrained = false;
  resetPicture();
  resetWave();
  FRemainsAudioSize = 0;

  // By time, a backward seek lands at or before the target, any other at or
  // after it.
  const auto attempt = [&](int flags) {
    MarkRead();
    const bool byTime = !(flags & sfByte);
    const bool backward = flags & sfBackward;
    const std::int64_t minTs =
        byTime && !backward ? target : std::numeric_limits<std::int64_t>::min();
    const std::int64_t maxTs =
        byTime && backward ? target : std::numeric_limits<std::int64_t>::max();
    return ff::avformat_seek_file(ic, FSeekIndex, minTs, target, maxTs, flags);
  };
  int ret = attempt(ASeekFlags);
  if (ret < 0) ret = attempt(ASeekFlags ^ sfBackward);
  if (ret < 0) {
    if (ASeekFlags & sfByte)
      ReportError(msg("Seek()", strprintf("could not seek to position %" PRId64 " bytes", APTS)));
    else
      ReportError(msg("Seek()", strprintf("could not seek to position %0.3f seconds",
                                          static_cast<double>(APTS) / 1000000)));
    return false;
  }
  if (ic->pb)
    FFLogger().Log(this, llDebug, "%s.%s: seek to position %" PRId64 " bytes", ClassName(),
                   "Seek()", Position());
  return true;
}

// ---------------------------------------------------------------------------
// Reading and decoding

int TVUZezevud::configureFilters(const AVFrame* frame) {
  if (Fvfilters == Flast_vfilters) {
    if (Fvfilters.empty()) Ffilter_graph.reset();
    return 0;
  }
  Ffilter_graph.reset();
  Fbuffersrc_ctx = Fbuffersink_ctx = nullptr;
  FFilterFlushed = false;
  if (Fvfilters.empty()) {
    Flast_vfilters.clear();
    return 0;
  }
  AVFormatContext* ic = FileHandle();
  AVStream* st = ic->streams[FDesireVideoIndex];
  FilterGraphPtr graph(ff::avfilter_graph_alloc());
  if (!graph) return AVERROR(ENOMEM);
  AVRational sar = frame->sample_aspect_ratio;
  if (sar.den < 2 && sar.num == 0) sar = {0, 1};
  if (sar.den < 1) sar.den = 1;
  const std::string args =
      filters::video_source_args(frame->width, frame->height, frame->format, st->time_base, sar,
                                 ff::av_guess_frame_rate(ic, st, nullptr));
  AVFilterContext* src = nullptr;
  AVFilterContext* sink = nullptr;
  int ret = filters::create_filter(graph.get(), "buffer", "in", args.c_str(), &src);
  if (ret < 0) {
    FFLogger().Log(this, llError, "Cannot create buffer source");
    return ret;
  }
  ret = filters::create_filter(graph.get(), "buffersink", "out", nullptr, &sink);
  if (ret < 0) {
    FFLogger().Log(this, llError, "Cannot create buffer sink");
    return ret;
  }
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(frame->format);
  ret = ff::av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const std::uint8_t*>(&fmt),
                           sizeof fmt, AV_OPT_SEARCH_CHILDREN);
  if (ret < 0) {
    FFLogger().Log(this, llError, "Cannot set output pixel format");
    return ret;
  }
  ret = filters::link_and_configure(graph.get(), Fvfilters, src, sink);
  if (ret < 0) return ret;
  Ffilter_graph = std::move(graph);
  Fbuffersrc_ctx = src;
  Fbuffersink_ctx = sink;
  Flast_vfilters = Fvfilters;
  return 0;
}

int TVUZezevud::filterAndStore(AVFrame* frame) {
  int ret = configureFilters(frame);
  if (ret < 0) {
    FFLogger().Log(this, llError, "Error while configuring the filtergraph: %s",
                   error_text(ret).c_str());
    Fvfilters.clear();
    Flast_vfilters.clear();
    Ffilter_graph.reset();
    Fbuffersrc_ctx = Fbuffersink_ctx = nullptr;
  }
  if (!Ffilter_graph) {
    storePicture(frame, FileHandle()->streams[FDesireVideoIndex]->time_base);
    return 1;
  }
  ret = ff::av_buffersrc_add_frame_flags(Fbuffersrc_ctx, frame, AV_BUFFERSRC_FLAG_KEEP_REF);
  if (ret < 0) {
    FFLogger().Log(this, llError, "Error while feeding the filtergraph");
    return 0;
  }
  return pullFiltered();
}

int TVUZezevud::pullFiltered() {
  if (!FFilteredFrame) FFilteredFrame = makeFrame();
  const int ret = ff::av_buffersink_get_frame(Fbuffersink_ctx, FFilteredFrame.get());
  if (ret < 0) return ret == AVERROR(EAGAIN) ? 0 : ret;
  storePicture(FFilteredFrame.get(), ff::av_buffersink_get_time_base(Fbuffersink_ctx));
  ff::av_frame_unref(FFilteredFrame.get());
  return 1;
}

void TVUZezevud::storePicture(const AVFrame* frame, AVRational tb) {
  const auto fmt = static_cast<AVPixelFormat>(frame->format);
  if (!FPictureFrame) FPictureFrame = makeFrame();
  ff::av_frame_unref(FPictureFrame.get());
  if (!FPictureFrame || ff::av_frame_ref(FPictureFrame.get(), frame) < 0) {
    ReportError("picture cannot be kept: out of memory");
    return;
  }
  FPicture.PixFmt = fmt;
  FPicture.Width = frame->width;
  FPicture.Height = frame->height;
  FPicture.IsKeyFrame = frame->key_frame != 0;
  FPicture.IsInterlaced = frame->interlaced_frame != 0;
  FPicture.IsTopFieldFirst = frame->top_field_first != 0;
  FPicture.PictureType = frame->pict_type;

  const std::int64_t previous = FPicture.PTS, beforePrevious = FLastPTS;
  if (previous != AV_NOPTS_VALUE) FLastPTS = previous;
  const std::int64_t ts =
      frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
  if (ts == AV_NOPTS_VALUE) {
    // At the end a picture without a time comes one step after the last one.
    if (FEOFpkt && previous != AV_NOPTS_VALUE && beforePrevious != AV_NOPTS_VALUE)
      FPicture.PTS = satSub(satAdd(previous, previous), beforePrevious);
    else
      FPicture.PTS = AV_NOPTS_VALUE;
  } else {
    const AVStream* st = FileHandle()->streams[FDesireVideoIndex];
    std::int64_t t = ts;
    if (st->start_time != AV_NOPTS_VALUE) t -= ff::av_rescale_q(st->start_time, st->time_base, tb);
    FPicture.PTS = ff::av_rescale_q(t, tb, kMicro);
    FFLogger().Log(this, llDebug, "decode PTS: %0.3f", static_cast<double>(FPicture.PTS) / 1e6);
  }
  FPicture.OriginalDTS = frame->pkt_dts;
  FPicture.OriginalPTS = frame->pts;
  FPicture.StreamIndex = FDesireVideoIndex;
  FPicture.Position = frame->pkt_pos;
  // The picture shares the frame's reference-counted buffers: no copy.
  for (int i = 0; i < AV_NUM_DATA_POINTERS && i < 8; ++i) {
    FPicture.Picture.data[i] = FPictureFrame->data[i];
    FPicture.Picture.linesize[i] = FPictureFrame->linesize[i];
  }
  FPicture.Frame = FPictureFrame.get();
  FPicture.Ready = true;
}

int TVUZezevud::receiveVideo() {
  if (!FDecodedFrame) FDecodedFrame = makeFrame();
  AVFrame* f = FDecodedFrame.get();
  while (true) {
    if (Ffilter_graph) {
      const int r = pullFiltered();
      if (r != 0) return r;  // a picture, or the end of the graph
    }
    int ret = ff::avcodec_receive_frame(FVideoCodec.get(), f);
    if (ret == AVERROR(EAGAIN)) return 0;
    if (ret == AVERROR_EOF) {
      if (Ffilter_graph && !FFilterFlushed) {
        FFilterFlushed = true;
        if (ff::av_buffersrc_add_frame_flags(Fbuffersrc_ctx, nullptr, 0) < 0) return AVERROR_EOF;
        continue;
      }
      return AVERROR_EOF;
    }
    if (ret < 0) {
      FFLogger().Log(this, llError, "Error while decoding video stream #%d: %s", FDesireVideoIndex,
                     error_text(ret).c_str());
      return 0;
    }
    f->pts = f->best_effort_timestamp;
    const char type = ff::av_get_picture_type_char(f->pict_type);
    FFLogger().Log(this, llDebug,
                   "pkt.st_idx=%d, dts=%" PRId64 ", pts=%" PRId64 ", flags=%d, pict_type=%d(%c)",
                   FDesireVideoIndex, f->pkt_dts, f->pts, f->flags, static_cast<int>(f->pict_type),
                   type ? type : '?');
    ret = filterAndStore(f);
    ff::av_frame_unref(f);
    if (ret > 0) return 1;
  }
}

int TVUZezevud::receiveAudio() {
  if (!FAudioDecodedFrame) FAudioDecodedFrame = makeFrame();
  AVFrame* f = FAudioDecodedFrame.get();
  int total = 0;
  while (true) {
    const int ret = ff::avcodec_receive_frame(FAudioCodec.get(), f);
    if (ret == AVERROR(EAGAIN)) break;
    if (ret == AVERROR_EOF) {
      if (total == 0) return AVERROR_EOF;
      break;
    }
    if (ret < 0) {
      FFLogger().Log(this, llError, "Error while decoding audio stream #%d: %s", FDesireAudioIndex,
                     error_text(ret).c_str());
      break;
    }
    if (total == 0 && !FWaveInfo.Ready) {
      const AVStream* st = FileHandle()->streams[FDesireAudioIndex];
      std::int64_t ts =
          f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
      if (ts != AV_NOPTS_VALUE) {
        if (st->start_time != AV_NOPTS_VALUE) ts = satSub(ts, st->start_time);
        FWaveInfo.PTS = ff::av_rescale_q(ts, st->time_base, kMicro);
      }
      FWaveInfo.OriginalDTS = f->pkt_dts;
      FWaveInfo.OriginalPTS = f->pts;
      FWaveInfo.StreamIndex = FDesireAudioIndex;
    }
    const int n = appendSamples(f);
    ff::av_frame_unref(f);
    if (n < 0) return n;
    total += n;
  }
  if (total > 0) finishAudio();
  return total;
}

void TVUZezevud::finishAudio() {
  FWaveInfo.Ready = true;
  FWaveInfo.Buffer = FAudioBuffer.data();
  FWaveInfo.Size = FAudioBytes;
  const double perSecond =
      static_cast<double>(FWaveInfo.BytesPerSample) * FDesireAudioSampleRate * FDesireAudioChannels;
  FWaveInfo.Duration =
      perSecond > 0 ? std::llround(static_cast<double>(FAudioBytes) * 1000000.0 / perSecond) : 0;
  FRemainsAudioSize = FAudioBytes;
}

int TVUZezevud::appendSamples(const AVFrame* frame) {
  AVChannelLayout layout{}, want{};
  if (frame->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC && frame->ch_layout.nb_channels > 0)
    ff::av_channel_layout_copy(&layout, &frame->ch_layout);
  else
    ff::av_channel_layout_default(&layout, frame->ch_layout.nb_channels);
  ff::av_channel_layout_default(&want, FDesireAudioChannels);
  struct Layouts {
    AVChannelLayout *a, *b;
    ~Layouts() {
      ff::av_channel_layout_uninit(a);
      ff::av_channel_layout_uninit(b);
    }
  } guard{&layout, &want};

  const auto fmt = static_cast<AVSampleFormat>(frame->format);
  if (ff::av_channel_layout_compare(&layout, &FAudioParam.layout) != 0 ||
      frame->sample_rate != FAudioParam.freq || fmt != FAudioParam.fmt) {
    if (FAudioParam.fmt != AV_SAMPLE_FMT_NONE) {
      FFLogger().Log(this, llInfo,
                     "Audio stream #%d frame changed from %d Hz %s %d channels to %d Hz %s %d "
                     "channels",
                     FDesireAudioIndex, FAudioParam.freq, sampleFmtName(FAudioParam.fmt).c_str(),
                     FAudioParam.layout.nb_channels, frame->sample_rate, sampleFmtName(fmt).c_str(),
                     layout.nb_channels);
      FreeAudioResampler();
    }
    ff::av_channel_layout_uninit(&FAudioParam.layout);
    ff::av_channel_layout_copy(&FAudioParam.layout, &layout);
    FAudioParam.freq = frame->sample_rate;
    FAudioParam.fmt = fmt;
  }

  // The desired format is packed, so one plane holds every channel.
  const int frameBytes =
      FDesireAudioChannels * ff::av_get_bytes_per_sample(FDesireAudioSampleFormat);
  const std::uint8_t* src = nullptr;
  int bytes = 0;
  if (ff::av_channel_layout_compare(&layout, &want) == 0 &&
      frame->sample_rate == FDesireAudioSampleRate && fmt == FDesireAudioSampleFormat) {
    src = frame->extended_data[0];
    bytes = frame->nb_samples * frameBytes;
  } else {
    if (!FSwr) {
      SwrContext* swr = nullptr;
      if (ff::swr_alloc_set_opts2(&swr, &want, FDesireAudioSampleFormat, FDesireAudioSampleRate,
                                  &layout, fmt, frame->sample_rate, 0, nullptr) >= 0 &&
          ff::swr_init(swr) < 0) {
        FFLogger().Log(this, llFatal, "swr_init() failed");
        ff::swr_free(&swr);
      }
      FSwr.reset(swr);
      const std::string change =
          strprintf("%d Hz %s %d channels to %d Hz %s %d channels", frame->sample_rate,
                    sampleFmtName(fmt).c_str(), layout.nb_channels, FDesireAudioSampleRate,
                    sampleFmtName(FDesireAudioSampleFormat).c_str(), FDesireAudioChannels);
      if (!FSwr) {
        ReportError("Can not resample " + change);
        return -1;
      }
      FFLogger().Log(this, llInfo, "need resample " + change);
    }
    const int room = static_cast<int>(static_cast<std::int64_t>(frame->nb_samples) *
                                          FDesireAudioSampleRate / frame->sample_rate +
                                      256);
    const int size = ff::av_samples_get_buffer_size(nullptr, FDesireAudioChannels, room,
                                                    FDesireAudioSampleFormat, 1);
    if (size < 0) {
      ReportError("av_fast_malloc() failed");
      return AVERROR(ENOMEM);
    }
    FResampledBuffer.resize(static_cast<std::size_t>(size));
    std::uint8_t* out[1] = {FResampledBuffer.data()};
    const int n =
        ff::swr_convert(FSwr.get(), out, room,
                        const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
    if (n < 0) {
      ReportError("swr_convert() failed: " + error_text(n));
      return n;
    }
    if (n == room) {
      FFLogger().Log(this, llWarning, "warning: audio buffer is probably too small");
      ff::swr_init(FSwr.get());
    }
    src = FResampledBuffer.data();
    bytes = n * frameBytes;
  }
  if (FAudioBuffer.size() < static_cast<std::size_t>(FAudioBytes + bytes))
    FAudioBuffer.resize(static_cast<std::size_t>(FAudioBytes + bytes));
  if (bytes > 0)
    std::memcpy(FAudioBuffer.data() + FAudioBytes, src, static_cast<std::size_t>(bytes));
  FAudioBytes += bytes;
  return bytes;
}

TVUZezevud::Got TVUZezevud::step(int video, int audio, const char* what) {
  if (video >= 0 && !FVideoDrained) {
    const int r = receiveVideo();
    if (r == 1) return Got::Picture;
    if (r == AVERROR_EOF) FVideoDrained = true;
  }
  if (audio >= 0 && !FAudioDrained) {
    const int r = receiveAudio();
    if (r > 0) return Got::Audio;
    if (r == AVERROR_EOF)
      FAudioDrained = true;
    else if (r < 0)
      return Got::AudioError;
  }
  if (FEOFpkt) {
    // Every delayed frame of the taken streams has come out. A read error
    // other than the end is no end of stream: a seek may read on.
    if (FReadError < 0) {
      FFLogger().Log(this, llInfo, "%s",
                     msg(what, strprintf("unknown error #%d.", FReadError)).c_str());
      return Got::Stop;
    }
    FEOF = true;
    ReportError(msg(what, "stream eof reached."), AV_LOG_INFO);
    return Got::Stop;
  }
  AVFormatContext* ic = FileHandle();
  if (!FPacket) FPacket = makePacket();
  MarkRead();
  const int ret = ff::av_read_frame(ic, FPacket.get());
  if (ret == AVERROR(EAGAIN)) {
    ReportError(msg(what, "no data, please try again."), AV_LOG_INFO);
    return Got::Stop;
  }
  if (ret < 0) {
    const bool end = ret == AVERROR_EOF || ret == AVERROR(EPIPE) || (ic->pb && ic->pb->eof_reached);
    FReadError = end ? 0 : ret;
    FEOFpkt = true;
    if (video >= 0) ff::avcodec_send_packet(FVideoCodec.get(), nullptr);
    if (audio >= 0) ff::avcodec_send_packet(FAudioCodec.get(), nullptr);
    return Got::None;
  }
  if (FPacket->stream_index == video)
    ff::avcodec_send_packet(FVideoCodec.get(), FPacket.get());
  else if (FPacket->stream_index == audio)
    ff::avcodec_send_packet(FAudioCodec.get(), FPacket.get());
  ff::av_packet_unref(FPacket.get());
  return Got::None;
}

bool TVUZezevud::Decode(int AStreamIndex) {
  const int v = selectVideoStream(AStreamIndex);
  if (v < 0) return false;
  if (FPicture.Ready && isImage2()) return true;
  static constexpr const char* kWhat = "Decode() for video";
  if (FEOF && FEOFpkt) {
    ReportError(msg(kWhat, "stream eof reached."), AV_LOG_INFO);
    return false;
  }
  if (!openCodec(v, FVideoCodec, AVMEDIA_TYPE_VIDEO)) return false;
  while (true) {
    const Got g = step(v, -1, kWhat);
    if (g == Got::Picture) return true;
    if (g == Got::Stop) return false;
  }
}

TDecodeResult TVUZezevud::Decode(TDecodeType AType) {
  int v = -1, a = -1;
  if (AType != dtAudio && VideoStreamCount() > 0 && (v = selectVideoStream(-1)) < 0) return drError;
  if (AType != dtVideo && AudioStreamCount() > 0 && (a = selectAudioStream(-1)) < 0) return drError;
  if (v < 0 && a < 0) {
    ReportError(AType == dtAudio ? "no audio stream." : "no video stream.");
    return drError;
  }
  static constexpr const char* kWhat = "Decode() for video and/or audio";
  if (FEOF && FEOFpkt) {
    ReportError(msg(kWhat, "stream eof reached."), AV_LOG_INFO);
    return drError;
  }
  if (v >= 0 && !openCodec(v, FVideoCodec, AVMEDIA_TYPE_VIDEO)) return drError;
  if (a >= 0) {
    if (!openCodec(a, FAudioCodec, AVMEDIA_TYPE_AUDIO)) return drError;
    resetWave();
  }
  while (true) {
    switch (step(v, a, kWhat)) {
      case Got::Picture:
        return drVideo;
      case Got::Audio:
        return drAudio;
      case Got::AudioError:
      case Got::Stop:
        return drError;
      case Got::None:
        break;
    }
  }
}

bool TVUZezevud::DecodeAudio(int AStreamIndex) {
  const int a = selectAudioStream(AStreamIndex);
  if (a < 0) return false;
  static constexpr const char* kWhat = "DecodeAudio()";
  if (FEOF && FEOFpkt) {
    ReportError(msg(kWhat, "stream eof reached."), AV_LOG_INFO);
    return false;
  }
  if (!openCodec(a, FAudioCodec, AVMEDIA_TYPE_AUDIO)) return false;
  resetWave();
  while (true) {
    const Got g = step(-1, a, kWhat);
    if (g == Got::Audio) return true;
    if (g != Got::None) return false;
  }
}

int TVUZezevud::ReadAudio(void* ABuffer, int ACount, int AStreamIndex) {
  if (ACount < 0) return -1;
  if (FRemainsAudioSize <= 0 && !DecodeAudio(AStreamIndex)) return -1;
  const int n = std::min(ACount, FRemainsAudioSize);
  if (ABuffer && n > 0) {
    std::memcpy(ABuffer, FWaveInfo.Buffer + (FWaveInfo.Size - FRemainsAudioSize),
                static_cast<std::size_t>(n));
    FRemainsAudioSize -= n;
  }
  return n;
}

// ---------------------------------------------------------------------------
// Stepping

bool TVUZezevud::DecodeNextKeyFrame(int AStreamIndex) {
  if (selectVideoStream(AStreamIndex) < 0) return false;
  const std::int64_t cur = FPicture.PTS != AV_NOPTS_VALUE && FPicture.PTS > 0 ? FPicture.PTS : 0;
  const bool had = FPicture.PTS != AV_NOPTS_VALUE;
  if (!Seek(satAdd(cur, frameDuration()), 0)) return false;
  // The seek may land on the key frame at or before the target: decode on
  // to the first key frame after the picture we came from.
  while (Decode(AStreamIndex)) {
    if (FPicture.IsKeyFrame && (!had || FPicture.PTS == AV_NOPTS_VALUE || FPicture.PTS > cur))
      return true;
  }
  return false;
}

bool TVUZezevud::DecodePreviousKeyFrame(int AStreamIndex) {
  if (selectVideoStream(AStreamIndex) < 0) return false;
  AVFormatContext* ic = FileHandle();
  std::int64_t ref = FPicture.PTS;
  if (ref == AV_NOPTS_VALUE) ref = FLastPTS;
  if (ref == AV_NOPTS_VALUE) ref = ic->duration != AV_NOPTS_VALUE ? ic->duration : 0;
  const std::int64_t fd = frameDuration();
  const auto giveUp = [this] {
    const std::string previous = LastErrMsg();
    ReportError("Could not seek to the previous key-frame. " + previous);
    return false;
  };
  const std::int64_t start = Position();
  // Where the last seek whose picture was too late landed: -2 before the
  // first seek, -1 not known.
  std::int64_t tried = -2;
  for (std::int64_t n = 1;; ++n) {
    std::int64_t back = 0;
    // Once the target is before the start, the seek lands on the first key frame.
    const bool passed = __builtin_mul_overflow(n, fd, &back) || ref < back;
    const std::int64_t before = Position();
    if (!Seek(passed ? -fd : ref - back, sfBackward)) return false;
    // Demuxers that seek without moving the input (mp4) tell nothing by
    // the position: every seek is then decoded.
    const std::int64_t after = Position();
    const std::int64_t pos = ic->pb && after != before ? after : -1;
    if (pos >= 0) {
      if (pos >= start && start >= 1 && !passed) continue;  // not before the picture we came from
      if (tried == -1)
        tried = pos;
      else if (tried > 0 && pos >= tried && !passed)
        continue;  // the same key frame as the last try
    }
    if (tried == -2) tried = -1;
    if (Decode(AStreamIndex)) {
      const std::int64_t p = FPicture.PTS;
      if (p < ref || p < 1 || (p == ref && passed)) return true;
      if (passed) return giveUp();
      if (pos >= 0 && pos < tried) tried = -1;
      continue;
    }
    if (passed || FEOF) return giveUp();
  }
}

bool TVUZezevud::DecodePreviousFrame(int AStreamIndex) {
  if (selectVideoStream(AStreamIndex) < 0) return false;
  const std::int64_t fd = frameDuration();
  std::int64_t ref = FPicture.PTS;
  if (ref == AV_NOPTS_VALUE) ref = FLastPTS;
  const std::int64_t target = ref == AV_NOPTS_VALUE ? -2 * fd : satSub(ref, 2 * fd);
  if (ref == AV_NOPTS_VALUE) ref = 0;
  std::int64_t remembered = AV_NOPTS_VALUE;
  if (!DecodePreviousKeyFrame(AStreamIndex)) return false;
  while (target >= FPicture.PTS) {
    if (!Decode(AStreamIndex)) return false;
    if (FPicture.PTS < ref) {
      remembered = FPicture.PTS;
    } else if (FPicture.PTS == ref) {
      // No picture between the target and the reference: go back to the key
      // frame and forward to the last picture before the reference.
      if (DecodePreviousKeyFrame(AStreamIndex)) {
        while (remembered != AV_NOPTS_VALUE && FPicture.PTS < remembered && Decode(AStreamIndex)) {
        }
        return true;
      }
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Bitmaps

bool TVUZezevud::CopyToBitmap(Bitmap& ABitmap) {
  if (!FPicture.Ready) {
    ReportError("picture not ready, please decode first");
    return false;
  }
  if (FFormatConv.PictureToRGB(FPicture.Picture.data, FPicture.Picture.linesize, FPicture.PixFmt,
                               FPicture.Width, FPicture.Height, true)) {
    ABitmap = FFormatConv.Bitmap();
    return true;
  }
  ABitmap.setFormat(FFormatConv.BMPPixFmt());
  ABitmap.setSize(std::max(FPicture.Width, 0), std::max(FPicture.Height, 0));
  ReportError(FFormatConv.LastErrMsg());
  return false;
}

const DibInfo* TVUZezevud::GetBitmapPtr() {
  if (!FPicture.Ready) {
    ReportError("picture not ready, please decode first");
    return nullptr;
  }
  if (FFormatConv.PictureToRGB(FPicture.Picture.data, FPicture.Picture.linesize, FPicture.PixFmt,
                               FPicture.Width, FPicture.Height, false))
    return &FFormatConv.DIB();
  ReportError(FFormatConv.LastErrMsg());
  return nullptr;
}

void TVUZezevud::ScalerFlagsChanged(int AFlags) { FFormatConv.Setsws_flags(AFlags); }

}  // namespace corvane
