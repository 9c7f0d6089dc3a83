// The input stream records of a file being opened: decoder, decoder options
// and the per-stream settings of its option string.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "foundation/StreamOptions.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"
#include "transcoder/InputOpening.h"

namespace corvane {

std::uint32_t parse_codec_tag(const std::string& text) {
  char* next = nullptr;
  errno = 0;
  const long long number = std::strtoll(text.c_str(), &next, 0);
  if (*next == '\0' && errno == 0) return static_cast<std::uint32_t>(number);
  unsigned char fourcc[4] = {};
  std::memcpy(fourcc, text.data(), text.size() < 4 ? text.size() : 4);
  return static_cast<std::uint32_t>(fourcc[0]) | static_cast<std::uint32_t>(fourcc[1]) << 8 |
         static_cast<std::uint32_t>(fourcc[2]) << 16 | static_cast<std::uint32_t>(fourcc[3]) << 24;
}

namespace {

class TStreamSetup {
 public:
  TStreamSetup(TCustomFFmpegOpt& e, TInputOpening& in, AVStream* st)
      : e_(e), in_(in), o_(in.o), ic_(in.ic.get()), st_(st) {}

  std::unique_ptr<TInputStream> Run();

 private:
  const TSpecifierValue* Match(const TSpecifierList& list) {
    return e_.MatchPerStream(list, ic_, st_);
  }
  void ApplyScaleRotationAndTag();
  void ChooseDecoderAndOptions();
  void ApplyDiscard();
  void CreateDecoderContext();
  void SetUpVideo();
  void SetUpHWAccel();
  void SetUpAudio();
  void SetUpSubtitleOrData();

  TCustomFFmpegOpt& e_;
  TInputOpening& in_;
  TPerFileOptions& o_;
  AVFormatContext* ic_;
  AVStream* st_;
  std::unique_ptr<TInputStream> ist_;
};

std::unique_ptr<TInputStream> TStreamSetup::Run() {
  ist_ = std::make_unique<TInputStream>();
  ist_->file_index = in_.file_index;
  ist_->st = st_;
  ist_->discard = 1;
  st_->discard = AVDISCARD_ALL;  // until an output needs the stream
  ApplyScaleRotationAndTag();
  ChooseDecoderAndOptions();
  if (const TSpecifierValue* v = Match(o_.reinit_filters)) ist_->reinit_filters = v->i;
  ApplyDiscard();
  CreateDecoderContext();
  switch (st_->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      SetUpVideo();
      break;
    case AVMEDIA_TYPE_AUDIO:
      SetUpAudio();
      break;
    case AVMEDIA_TYPE_SUBTITLE:
    case AVMEDIA_TYPE_DATA:
      SetUpSubtitleOrData();
      break;
    case AVMEDIA_TYPE_ATTACHMENT:
    case AVMEDIA_TYPE_UNKNOWN:
      break;
    default:
      e_.Fatal("Never occur");
  }
  if (ff::avcodec_parameters_from_context(st_->codecpar, ist_->dec_ctx.get()) < 0)
    e_.Fatal("Error initializing the decoder context.");
  return std::move(ist_);
}

void TStreamSetup::ApplyScaleRotationAndTag() {
  if (const TSpecifierValue* v = Match(o_.ts_scale)) ist_->ts_scale = v->dbl;
  if (const TSpecifierValue* v = Match(o_.autorotate)) ist_->autorotate = v->i;
  if (const TSpecifierValue* v = Match(o_.codec_tags))
    st_->codecpar->codec_tag = parse_codec_tag(v->str);
}

void TStreamSetup::ChooseDecoderAndOptions() {
  ist_->avdec = e_.ChooseDecoder(o_, ic_, st_);
  try {
    ist_->decoder_opts =
        filter_codec_options(in_.group.codec_opts, st_->codecpar->codec_id, ic_, st_, ist_->avdec);
  } catch (const EOptionError& err) {
    e_.Fatal(err.what());
  }
}

void TStreamSetup::ApplyDiscard() {
  const AVMediaType type = st_->codecpar->codec_type;
  const bool disabled = (type == AVMEDIA_TYPE_VIDEO && o_.video_disable) ||
                        (type == AVMEDIA_TYPE_AUDIO && o_.audio_disable) ||
                        (type == AVMEDIA_TYPE_SUBTITLE && o_.subtitle_disable) ||
                        (type == AVMEDIA_TYPE_DATA && o_.data_disable);
  ist_->user_set_discard = disabled ? AVDISCARD_ALL : AVDISCARD_NONE;
  const TSpecifierValue* v = Match(o_.discard);
  if (!v) return;
  // Evaluated on a real context: the library logs a bad value with the
  // object's class, whose item name reads the context.
  CodecContextPtr ctx(ff::avcodec_alloc_context3(nullptr));
  const AVOption* skip_frame =
      ctx ? ff::av_opt_find(ctx.get(), "skip_frame", nullptr, 0, 0) : nullptr;
  if (!skip_frame ||
      ff::av_opt_eval_int(ctx.get(), skip_frame, v->str.c_str(), &ist_->user_set_discard) < 0)
    e_.Fatal("Error parsing discard %s.", v->str.c_str());
}

void TStreamSetup::CreateDecoderContext() {
  ist_->dec_ctx.reset(ff::avcodec_alloc_context3(ist_->avdec));
  if (!ist_->dec_ctx) e_.Fatal("Error allocating the decoder context.");
  if (ff::avcodec_parameters_to_context(ist_->dec_ctx.get(), st_->codecpar) < 0)
    e_.Fatal("Error initializing the decoder context.");
  if (o_.bitexact) ist_->dec_ctx->flags |= AV_CODEC_FLAG_BITEXACT;
}

void TStreamSetup::SetUpVideo() {
  if (!ist_->avdec) ist_->avdec = ff::avcodec_find_decoder(st_->codecpar->codec_id);
  ist_->dec_ctx->framerate = st_->avg_frame_rate;
  if (const TSpecifierValue* v = Match(o_.frame_rates)) {
    if (ff::av_parse_video_rate(&ist_->framerate, v->str.c_str()) < 0)
      e_.Fatal("Error parsing framerate %s.", v->str.c_str());
  }
  if (const TSpecifierValue* v = Match(o_.top_field_first)) ist_->top_field_first = v->i;
  SetUpHWAccel();
  ist_->hwaccel_pix_fmt = AV_PIX_FMT_NONE;
}

void TStreamSetup::SetUpHWAccel() {
  const TSpecifierValue* hw = Match(o_.hwaccels);
  const TSpecifierValue* out = Match(o_.hwaccel_output_formats);
  if (!out && hw && hw->str == "cuvid") {
    e_.Log(llWarning,
           "WARNING: defaulting hwaccel_output_format to cuda for compatibility with old "
           "commandlines. This behaviour is DEPRECATED and will be removed in the future. Please "
           "explicitly set \"-hwaccel_output_format cuda\".");
    ist_->hwaccel_output_format = AV_PIX_FMT_CUDA;
  } else if (out) {
    ist_->hwaccel_output_format = ff::av_get_pix_fmt(out->str.c_str());
    if (ist_->hwaccel_output_format == AV_PIX_FMT_NONE)
      e_.Log(llFatal, "Unrecognised hwaccel output format: %s", out->str.c_str());
  } else {
    ist_->hwaccel_output_format = AV_PIX_FMT_NONE;
  }

  if (hw) {
    std::string name = hw->str;
    if (name == "nvdec" || name == "cuvid") name = "cuda";
    if (name == "none") {
      ist_->hwaccel_id = HWACCEL_NONE;
    } else if (name == "auto") {
      ist_->hwaccel_id = HWACCEL_AUTO;
    } else if (name == "qsv") {
      ist_->hwaccel_id = HWACCEL_QSV;
    } else {
      const AVHWDeviceType type = ff::av_hwdevice_find_type_by_name(name.c_str());
      if (type == AV_HWDEVICE_TYPE_NONE) {
        for (AVHWDeviceType t = ff::av_hwdevice_iterate_types(AV_HWDEVICE_TYPE_NONE);
             t != AV_HWDEVICE_TYPE_NONE; t = ff::av_hwdevice_iterate_types(t))
          e_.Log(llFatal, "%s ", ff::av_hwdevice_get_type_name(t));
        e_.Fatal("Unrecognized hwaccel: %s.\r\nSupported hwaccels:", name.c_str());
      }
      ist_->hwaccel_id = HWACCEL_GENERIC;
      ist_->hwaccel_device_type = type;
    }
  }
  if (const TSpecifierValue* v = Match(o_.hwaccel_devices)) ist_->hwaccel_device = v->str;
}

void TStreamSetup::SetUpAudio() {
  if (const TSpecifierValue* v = Match(o_.guess_layout_max)) ist_->guess_layout_max = v->i;
  AVChannelLayout& layout = ist_->dec_ctx->ch_layout;
  const int channels = layout.nb_channels;
  if (layout.order != AV_CHANNEL_ORDER_UNSPEC || channels <= 0 || channels > ist_->guess_layout_max)
    return;
  TChannelLayout guess;
  ff::av_channel_layout_default(&guess.layout, channels);
  if (guess.layout.order == AV_CHANNEL_ORDER_UNSPEC) return;
  ff::av_channel_layout_uninit(&layout);
  if (ff::av_channel_layout_copy(&layout, &guess.layout) < 0) e_.Fatal("av_mallocz() failed");
  char text[256] = {};
  ff::av_channel_layout_describe(&layout, text, sizeof text);
  e_.Log(llWarning, "Guessed Channel Layout for Input Stream #%d.%d : %s", in_.file_index,
         st_->index, text);
}

void TStreamSetup::SetUpSubtitleOrData() {
  if (!ist_->avdec) ist_->avdec = ff::avcodec_find_decoder(st_->codecpar->codec_id);
  if (const TSpecifierValue* v = Match(o_.fix_sub_duration)) ist_->fix_sub_duration = v->i;
  if (const TSpecifierValue* v = Match(o_.canvas_sizes)) {
    if (ff::av_parse_video_size(&ist_->dec_ctx->width, &ist_->dec_ctx->height, v->str.c_str()) < 0)
      e_.Fatal("Invalid canvas size: %s.", v->str.c_str());
  }
}

}  // namespace

void AddInputStreams(TCustomFFmpegOpt& e, TInputOpening& in) {
  for (unsigned i = 0; i < in.ic->nb_streams; ++i)
    in.streams.push_back(TStreamSetup(e, in, in.ic->streams[i]).Run());
}

}  // namespace corvane
