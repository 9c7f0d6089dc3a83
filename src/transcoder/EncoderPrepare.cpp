// Encoder parameters of an output stream, from its buffer sink, the first
// filtered frame and the source stream, before the encoder opens.
#include <algorithm>
#include <cmath>

#include "foundation/ErrorText.h"
#include "foundation/OptionValues.h"
#include "foundation/Options.h"
#include "transcoder/OutputStreamInit.h"
#include "transcoder/Transcoder.h"

namespace corvane {

namespace {

constexpr int kVSyncCfr = 1;
constexpr int kVSyncVsCfr = 0xfe;
constexpr int kVSyncAuto = -1;

const char* const kForcedKeyFrameNames[] = {"n", "n_forced", "prev_forced_n", "prev_forced_t",
                                            "t", nullptr};

TInputStream* SourceOf(TCustomFFmpeg& e, const TOutputStream& ost) {
  return ost.source_index >= 0 ? e.Finput_streams[ost.source_index].get() : nullptr;
}

// Evaluates a flags option of obj given as text in opts into flags.
void EvalFlagsOption(void* obj, const TDictionary& opts, const char* name, int& flags) {
  const char* text = opts.find(name);
  if (!text) return;
  const AVOption* o = ff::av_opt_find(obj, name, nullptr, 0, 0);
  if (o) ff::av_opt_eval_flags(obj, o, text, &flags);
}

// Disposition of a stream fed by a complex graph: default when it is the only
// stream of its kind in the file.
void ChooseGraphDisposition(AVFormatContext* oc, AVStream* st) {
  const AVMediaType type = st->codecpar->codec_type;
  if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO) return;
  for (unsigned i = 0; i < oc->nb_streams; ++i)
    if (oc->streams[i] != st && oc->streams[i]->codecpar->codec_type == type) return;
  st->disposition = AV_DISPOSITION_DEFAULT;
}

void ChooseFrameRate(TCustomFFmpeg& e, TOutputStream& ost, TInputStream* ist,
                     AVFilterContext* sink) {
  if (!ost.frame_rate.num && sink) ost.frame_rate = ff::av_buffersink_get_frame_rate(sink);
  if (!ost.frame_rate.num && ist) ost.frame_rate = ist->framerate;
  if (!ost.frame_rate.num && ist) ost.frame_rate = ist->st->r_frame_rate;
  if (!ost.frame_rate.num && !ost.max_frame_rate.num && ist) {
    ost.frame_rate = AVRational{25, 1};
    e.Log(llWarning,
          "No information about the input framerate is available. Falling back to a default value "
          "of 25fps for output stream #%d:%d. Use the -r option if you want a different "
          "framerate.",
          ost.file_index, ost.index);
  }
  if (ost.max_frame_rate.num &&
      (!ost.frame_rate.den || av_q2d(ost.frame_rate) > av_q2d(ost.max_frame_rate)))
    ost.frame_rate = ost.max_frame_rate;
  if (ost.enc->supported_framerates && !ost.force_fps && ost.frame_rate.den) {
    const int idx = ff::av_find_nearest_q_idx(ost.frame_rate, ost.enc->supported_framerates);
    ost.frame_rate = ost.enc->supported_framerates[idx];
  }
  if (ost.enc->id == AV_CODEC_ID_MPEG4)
    ff::av_reduce(&ost.frame_rate.num, &ost.frame_rate.den, ost.frame_rate.num, ost.frame_rate.den,
                  65535);
}

int PrepareAudio(TCustomFFmpeg& e, TOutputStream& ost, const AVCodecContext* dec,
                 AVFilterContext* sink) {
  AVCodecContext* enc = ost.enc_ctx.get();
  enc->sample_fmt = static_cast<AVSampleFormat>(ff::av_buffersink_get_format(sink));
  enc->sample_rate = ff::av_buffersink_get_sample_rate(sink);
  ff::av_channel_layout_uninit(&enc->ch_layout);
  const int ret = ff::av_buffersink_get_ch_layout(sink, &enc->ch_layout);
  if (ret < 0)
    return e.Fail(ret, llError,
                  error_text(strprintf("Error getting the channel layout of output stream #%d:%d",
                                       ost.file_index, ost.index),
                             ret));
  if (dec)
    enc->bits_per_raw_sample =
        std::min(dec->bits_per_raw_sample, ff::av_get_bytes_per_sample(enc->sample_fmt) << 3);
  enc->time_base = ChooseEncoderTimeBase(e, ost, AVRational{1, enc->sample_rate});
  return 0;
}

// Field order of the encoder from the options and the first frame.
void ChooseFieldOrder(TOutputStream& ost, AVFrame* frame) {
  AVCodecContext* enc = ost.enc_ctx.get();
  if (ost.top_field_first == 0) enc->field_order = AV_FIELD_BB;
  if (ost.top_field_first == 1) enc->field_order = AV_FIELD_TT;
  if (!frame) return;
  if ((enc->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME)) &&
      ost.top_field_first >= 0)
    frame->top_field_first = ost.top_field_first != 0;
  if (!frame->interlaced_frame)
    enc->field_order = AV_FIELD_PROGRESSIVE;
  else if (ost.enc->id == AV_CODEC_ID_MJPEG)
    enc->field_order = frame->top_field_first ? AV_FIELD_TT : AV_FIELD_BB;
  else
    enc->field_order = frame->top_field_first ? AV_FIELD_TB : AV_FIELD_BT;
}

void WarnVeryHighRate(TCustomFFmpeg& e, const TOutputFile& of, AVRational tb) {
  if (av_q2d(tb) >= 0.001) return;
  const int vsync = e.Fvideo_sync_method;
  if (vsync == kVSyncCfr || vsync == kVSyncVsCfr ||
      (vsync == kVSyncAuto && !(of.ctx->oformat->flags & AVFMT_VARIABLE_FPS)))
    ff::av_log(of.ctx.get(), AV_LOG_WARNING,
               "Frame rate very high for a muxer not efficiently supporting it.\n"
               "Please consider specifying a lower framerate, a different muxer or -vsync 2\n");
}

void TakeVideoGeometry(TCustomFFmpeg& e, TOutputStream& ost, const AVCodecContext* dec,
                       AVFilterContext* sink, AVFrame* frame) {
  AVCodecContext* enc = ost.enc_ctx.get();
  enc->width = ff::av_buffersink_get_w(sink);
  enc->height = ff::av_buffersink_get_h(sink);
  AVRational sar = ff::av_buffersink_get_sample_aspect_ratio(sink);
  if (ost.frame_aspect_ratio.num && enc->width > 0)
    sar = ff::av_mul_q(ost.frame_aspect_ratio, AVRational{enc->height, enc->width});
  enc->sample_aspect_ratio = ost.st->sample_aspect_ratio = sar;
  enc->pix_fmt = static_cast<AVPixelFormat>(ff::av_buffersink_get_format(sink));
  const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(enc->pix_fmt);
  if (dec && desc)
    enc->bits_per_raw_sample = std::min(dec->bits_per_raw_sample, desc->comp[0].depth);
  if (frame) {
    enc->color_range = frame->color_range;
    enc->color_primaries = frame->color_primaries;
    enc->color_trc = frame->color_trc;
    enc->colorspace = frame->colorspace;
    enc->chroma_sample_location = frame->chroma_location;
  }
  enc->framerate = ost.frame_rate;
  ost.st->avg_frame_rate = ost.frame_rate;
  if (!dec || enc->width != dec->width || enc->height != dec->height ||
      enc->pix_fmt != dec->pix_fmt)
    enc->bits_per_raw_sample = e.Fframe_bits_per_raw_sample;
}

int PrepareForcedKeyFrames(TCustomFFmpeg& e, TOutputStream& ost) {
  const std::string& text = ost.forced_keyframes;
  if (text.empty() || text.rfind("source", 0) == 0) return 0;
  if (text.rfind("expr:", 0) != 0) {
    ParseForcedKeyFrames(e, text, ost, ost.enc_ctx.get());
    return 0;
  }
  AVExpr* expr = nullptr;
  const int ret = ff::av_expr_parse(&expr, text.c_str() + 5, kForcedKeyFrameNames, nullptr, nullptr,
                                    nullptr, nullptr, 0, nullptr);
  if (ret < 0)
    return e.Fail(ret, llError,
                  strprintf("Invalid force_key_frames expression \"%s\"", text.c_str() + 5));
  ost.forced_keyframes_pexpr.reset(expr);
  ost.forced_keyframes_expr_const_values = {0, 0, NAN, NAN, 0};
  return 0;
}

int PrepareVideo(TCustomFFmpeg& e, TOutputStream& ost, const AVCodecContext* dec,
                 AVFilterContext* sink, AVFrame* frame) {
  AVCodecContext* enc = ost.enc_ctx.get();
  enc->time_base = ChooseEncoderTimeBase(e, ost, av_inv_q(ost.frame_rate));
  if (!(enc->time_base.num && enc->time_base.den))
    enc->time_base = ff::av_buffersink_get_time_base(sink);
  WarnVeryHighRate(e, *e.Foutput_files[ost.file_index], enc->time_base);
  TakeVideoGeometry(e, ost, dec, sink, frame);
  ChooseFieldOrder(ost, frame);
  return PrepareForcedKeyFrames(e, ost);
}

}  // namespace

AVRational ChooseEncoderTimeBase(TCustomFFmpeg& e, const TOutputStream& ost, AVRational def) {
  if (ost.enc_timebase.num > 0) return ost.enc_timebase;
  if (ost.enc_timebase.num < 0) {
    if (const TInputStream* ist = SourceOf(e, ost)) return ist->st->time_base;
    ff::av_log(ost.enc_ctx.get(), AV_LOG_WARNING,
               "Input stream data not available, using default time base\n");
  }
  return def;
}

void TagEncoder(TCustomFFmpeg& e, TOutputFile& of, TOutputStream& ost) {
  if (ff::av_dict_get(ost.st->metadata, "encoder", nullptr, 0)) return;
  int format_flags = 0;
  int codec_flags = ost.enc_ctx->flags;
  EvalFlagsOption(of.ctx.get(), of.opts, "fflags", format_flags);
  EvalFlagsOption(ost.enc_ctx.get(), ost.encoder_opts, "flags", codec_flags);
  const bool bitexact =
      (format_flags & AVFMT_FLAG_BITEXACT) || (codec_flags & AV_CODEC_FLAG_BITEXACT);
  const std::string tag = std::string(bitexact ? "Lavc " : LIBAVCODEC_IDENT " ") + ost.enc->name;
  if (ff::av_dict_set(&ost.st->metadata, "encoder", tag.c_str(), AV_DICT_DONT_OVERWRITE) < 0) {
    e.Log(llFatal, "av_mamocz() failed");
    throw FFmpegException("av_mamocz() failed");
  }
}

void ParseForcedKeyFrames(TCustomFFmpeg& e, const std::string& text, TOutputStream& ost,
                          AVCodecContext* enc) {
  std::vector<std::int64_t> pts;
  const AVFormatContext* oc = e.Foutput_files[ost.file_index]->ctx.get();
  std::size_t start = 0;
  try {
    while (start <= text.size()) {
      const std::size_t comma = std::min(text.find(',', start), text.size());
      const std::string item = text.substr(start, comma - start);
      start = comma + 1;
      if (item.rfind("chapters", 0) == 0) {
        std::int64_t offset = 0;
        if (item.size() > 8)
          offset = ff::av_rescale_q(parse_time_or_raise("force_key_frames", item.substr(8), true),
                                    AV_TIME_BASE_Q, enc->time_base);
        for (unsigned i = 0; i < oc->nb_chapters; ++i)
          pts.push_back(
              ff::av_rescale_q(oc->chapters[i]->start, oc->chapters[i]->time_base, enc->time_base) +
              offset);
        continue;
      }
      pts.push_back(ff::av_rescale_q(parse_time_or_raise("force_key_frames", item, true),
                                     AV_TIME_BASE_Q, enc->time_base));
    }
  } catch (const EOptionError& err) {
    e.Fatal(err.what());
  }
  std::sort(pts.begin(), pts.end());
  ost.forced_kf_pts = std::move(pts);
}

int PrepareEncoder(TCustomFFmpeg& e, TOutputStream& ost, AVFrame* frame) {
  TOutputFile& of = *e.Foutput_files[ost.file_index];
  AVCodecContext* enc = ost.enc_ctx.get();
  TInputStream* ist = SourceOf(e, ost);
  const AVCodecContext* dec = ist && ist->decoding_needed ? ist->dec_ctx.get() : nullptr;
  AVFilterContext* sink = ost.filter ? ost.filter->filter : nullptr;
  TagEncoder(e, of, ost);
  ff::av_dict_set(&ost.st->metadata, "rotate", nullptr, 0);
  if (ist) {
    ost.st->disposition = ist->st->disposition;
    if (dec) enc->chroma_sample_location = dec->chroma_sample_location;
  } else {
    ChooseGraphDisposition(of.ctx.get(), ost.st);
  }
  const bool av = enc->codec_type == AVMEDIA_TYPE_VIDEO || enc->codec_type == AVMEDIA_TYPE_AUDIO;
  if (av && !sink)
    return e.Fail(AVERROR(EINVAL), llError,
                  strprintf("Output stream #%d:%d has no configured filter graph", ost.file_index,
                            ost.index));
  if (enc->codec_type == AVMEDIA_TYPE_VIDEO) ChooseFrameRate(e, ost, ist, sink);
  int ret = 0;
  switch (enc->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      ret = PrepareAudio(e, ost, dec, sink);
      if (ret < 0) return ret;
      break;
    case AVMEDIA_TYPE_VIDEO:
      ret = PrepareVideo(e, ost, dec, sink, frame);
      if (ret < 0) return ret;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      enc->time_base = AV_TIME_BASE_Q;
      if (!enc->width && ist) {
        enc->width = ist->st->codecpar->width;
        enc->height = ist->st->codecpar->height;
      }
      break;
    case AVMEDIA_TYPE_DATA:
      break;
    default:
      return e.Fail(AVERROR(EPERM), llError, "invalid codec_type of output stream");
  }
  ost.mux_timebase = enc->time_base;
  return 0;
}

}  // namespace corvane
