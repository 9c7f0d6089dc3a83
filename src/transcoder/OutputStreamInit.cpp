// Output stream initialisation: the encoder opened (or the stream-copy
// parameters taken), the container stream's parameters, disposition and
// bitstream filter, then the file's header once all its streams are ready.
#include "transcoder/OutputStreamInit.h"

#include <cstring>

#include "foundation/ErrorText.h"
#include "foundation/MediaText.h"
#include "transcoder/SetupSteps.h"
#include "transcoder/Transcoder.h"

namespace corvane {

namespace {

// avcodec_alloc_context3's bit rate when the encoder brings no defaults.
constexpr std::int64_t kGenericDefaultBitRate = 200000;

TInputStream* SourceOf(TCustomFFmpeg& e, const TOutputStream& ost) {
  return ost.source_index >= 0 ? e.Finput_streams[ost.source_index].get() : nullptr;
}

int CopySubtitleHeader(const AVCodecContext* dec, AVCodecContext* enc, std::string& error) {
  if (!dec || !dec->subtitle_header) return 0;
  enc->subtitle_header = static_cast<std::uint8_t*>(ff::av_mallocz(dec->subtitle_header_size + 1));
  if (!enc->subtitle_header) {
    error = "av_mallocz() failed";
    return AVERROR(ENOMEM);
  }
  std::memcpy(enc->subtitle_header, dec->subtitle_header, dec->subtitle_header_size);
  enc->subtitle_header_size = dec->subtitle_header_size;
  return 0;
}

void SetEncoderDefaults(TOutputStream& ost) {
  TDictionary& opts = ost.encoder_opts;
  if (std::strcmp(ost.enc->name, "mjpeg") == 0) opts.set("threads", "1");
  if (!opts.contains("threads")) opts.set("threads", "auto");
  if (ost.enc->type == AVMEDIA_TYPE_AUDIO && ost.enc_ctx->bit_rate == kGenericDefaultBitRate &&
      !opts.contains("b") && !opts.contains("ab"))
    opts.set("b", "128000");
}

// Text subtitles encode to text, bitmaps to bitmaps.
bool SubtitleKindsDiffer(const AVCodecContext* dec, const AVCodecContext* enc) {
  if (!dec || dec->codec_type != AVMEDIA_TYPE_SUBTITLE || enc->codec_type != AVMEDIA_TYPE_SUBTITLE)
    return false;
  const AVCodecDescriptor* in = ff::avcodec_descriptor_get(dec->codec_id);
  const AVCodecDescriptor* out = ff::avcodec_descriptor_get(enc->codec_id);
  const int kinds = AV_CODEC_PROP_TEXT_SUB | AV_CODEC_PROP_BITMAP_SUB;
  const int in_kind = in ? in->props & kinds : 0;
  const int out_kind = out ? out->props & kinds : 0;
  return in_kind && out_kind && in_kind != out_kind;
}

int OpenEncoder(TCustomFFmpeg& e, TOutputStream& ost, const AVCodecContext* dec,
                std::string& error) {
  AVCodecContext* enc = ost.enc_ctx.get();
  if (SubtitleKindsDiffer(dec, enc)) {
    error = "Subtitle encoding currently only possible from text to text or bitmap to bitmap";
    return AVERROR_INVALIDDATA;
  }
  const int ret = ff::avcodec_open2(enc, ost.enc, ost.encoder_opts.address());
  if (ret < 0) {
    if (ret == AVERROR_EXPERIMENTAL) e.Fatal("abort codec experimental");
    error = strprintf(
        "Error while opening encoder for output stream #%d:%d (%s) - maybe incorrect parameters "
        "such as bit_rate, rate, width or height. Please check error log message(reported by "
        "FFLogger) to find out more detail information.",
        ost.file_index, ost.index, media_type_name(enc->codec_type).c_str());
    return ret;
  }
  ost.is_avcodec_opened = 1;
  AVFilterContext* sink = ost.filter ? ost.filter->filter : nullptr;
  if (enc->codec_type == AVMEDIA_TYPE_AUDIO && sink &&
      !(ost.enc->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE))
    ff::av_buffersink_set_frame_size(sink, enc->frame_size);
  LinkEncoder(e, ost);
  CheckLeftoverOptions(e, ost.encoder_opts);
  if (enc->bit_rate && enc->bit_rate < 1000 && enc->codec_id != AV_CODEC_ID_CODEC2)
    e.Log(llWarning,
          "The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
  return 0;
}

// Side data the encoder produced, then the source's (without CPB properties).
int CopyEncodedSideData(TOutputStream& ost, const AVCodecContext* enc, const TInputStream* ist,
                        std::string& error) {
  auto add = [&](const AVPacketSideData& sd) -> std::uint8_t* {
    std::uint8_t* dst = ff::av_stream_new_side_data(ost.st, sd.type, sd.size);
    if (dst) std::memcpy(dst, sd.data, sd.size);
    return dst;
  };
  bool ok = true;
  for (int i = 0; i < enc->nb_coded_side_data && ok; ++i) ok = add(enc->coded_side_data[i]);
  for (int i = 0; ist && ok && i < ist->st->nb_side_data; ++i) {
    const AVPacketSideData& sd = ist->st->side_data[i];
    if (sd.type == AV_PKT_DATA_CPB_PROPERTIES) continue;
    std::uint8_t* dst = add(sd);
    ok = dst != nullptr;
    if (ok && ist->autorotate && sd.type == AV_PKT_DATA_DISPLAYMATRIX && sd.size >= 36)
      ff::av_display_rotation_set(reinterpret_cast<int32_t*>(dst), 0);
  }
  if (ok) return 0;
  error = "av_stream_new_side_data() failed";
  return AVERROR(ENOMEM);
}

void FillStreamFromEncoder(TCustomFFmpeg& e, TOutputStream& ost, const TInputStream* ist) {
  const AVCodecContext* enc = ost.enc_ctx.get();
  if (ff::avcodec_parameters_from_context(ost.st->codecpar, enc) < 0)
    e.Fatal("Error initializing the output stream codec context.");
  if (ost.st->time_base.num <= 0 || ost.st->time_base.den <= 0) {
    AVRational tb = enc->time_base;
    ff::av_reduce(&tb.num, &tb.den, tb.num, tb.den, INT_MAX);
    ost.st->time_base = tb;
  }
  if (ost.st->duration <= 0 && ist && ist->st->duration > 0)
    ost.st->duration = ff::av_rescale_q(ist->st->duration, ist->st->time_base, ost.st->time_base);
}

int InitEncodedStream(TCustomFFmpeg& e, TOutputStream& ost, AVFrame* frame, std::string& error) {
  int ret = PrepareEncoder(e, ost, frame);
  if (ret < 0) {
    error = e.FLastErrMsg;
    return ret;
  }
  const TInputStream* ist = SourceOf(e, ost);
  const AVCodecContext* dec = ist && ist->dec_ctx ? ist->dec_ctx.get() : nullptr;
  ret = CopySubtitleHeader(dec, ost.enc_ctx.get(), error);
  if (ret < 0) return ret;
  SetEncoderDefaults(ost);
  ret = e.SetupEncoderDevice(ost);
  if (ret < 0) {
    error = error_text(strprintf("Device setup failed for encoder on output stream #%d:%d ",
                                 ost.file_index, ost.index),
                       ret);
    return ret;
  }
  ret = OpenEncoder(e, ost, dec, error);
  if (ret < 0) return ret;
  FillStreamFromEncoder(e, ost, ist);
  ret = CopyEncodedSideData(ost, ost.enc_ctx.get(), ist, error);
  if (ret < 0) return ret;
  return 0;
}

const AVOption* DispositionOptions() {
  static const AVOption options[] = {
      {"disposition", nullptr, 0, AV_OPT_TYPE_FLAGS, {.i64 = 0}, INT_MIN, INT_MAX, 0, "flags"},
#define DISPOSITION(name, flag) \
  {name, nullptr, 0, AV_OPT_TYPE_CONST, {.i64 = flag}, INT_MIN, INT_MAX, 0, "flags"}
      DISPOSITION("default", AV_DISPOSITION_DEFAULT),
      DISPOSITION("dub", AV_DISPOSITION_DUB),
      DISPOSITION("original", AV_DISPOSITION_ORIGINAL),
      DISPOSITION("comment", AV_DISPOSITION_COMMENT),
      DISPOSITION("lyrics", AV_DISPOSITION_LYRICS),
      DISPOSITION("karaoke", AV_DISPOSITION_KARAOKE),
      DISPOSITION("forced", AV_DISPOSITION_FORCED),
      DISPOSITION("hearing_impaired", AV_DISPOSITION_HEARING_IMPAIRED),
      DISPOSITION("visual_impaired", AV_DISPOSITION_VISUAL_IMPAIRED),
      DISPOSITION("clean_effects", AV_DISPOSITION_CLEAN_EFFECTS),
      DISPOSITION("attached_pic", AV_DISPOSITION_ATTACHED_PIC),
      DISPOSITION("captions", AV_DISPOSITION_CAPTIONS),
      DISPOSITION("descriptions", AV_DISPOSITION_DESCRIPTIONS),
      DISPOSITION("dependent", AV_DISPOSITION_DEPENDENT),
      DISPOSITION("metadata", AV_DISPOSITION_METADATA),
#undef DISPOSITION
      {nullptr, nullptr, 0, AV_OPT_TYPE_FLAGS, {.i64 = 0}, 0, 0, 0, nullptr},
  };
  return options;
}

int ApplyDisposition(TOutputStream& ost, std::string& error) {
  if (ost.disposition.empty()) return 0;
  AVClass cls{};
  cls.class_name = "";
  cls.item_name = ff::av_default_item_name;
  cls.option = DispositionOptions();
  cls.version = LIBAVUTIL_VERSION_INT;
  const AVClass* pclass = &cls;
  const int ret =
      ff::av_opt_eval_flags(&pclass, &cls.option[0], ost.disposition.c_str(), &ost.st->disposition);
  if (ret < 0) error = "av_opt_eval_flags() failed()";
  return ret;
}

int InitStreamBitstreamFilter(TCustomFFmpeg& e, TOutputStream& ost, std::string& error) {
  AVBSFContext* bsf = ost.bsf_ctx.get();
  if (!bsf) return 0;
  int ret = ff::avcodec_parameters_copy(bsf->par_in, ost.st->codecpar);
  if (ret < 0) {
    error = "avcodec_parameters_copy() failed";
    return ret;
  }
  bsf->time_base_in = ost.st->time_base;
  ret = ff::av_bsf_init(bsf);
  if (ret < 0) {
    error = strprintf("Error initializing bitstream filter: %s", bsf->filter->name);
    e.Log(llError, error.c_str());
    return ret;
  }
  ret = ff::avcodec_parameters_copy(ost.st->codecpar, bsf->par_out);
  if (ret < 0) {
    error = "avcodec_parameters_copy() failed";
    return ret;
  }
  ost.st->time_base = bsf->time_base_out;
  return 0;
}

int InitOutputStream(TCustomFFmpeg& e, TOutputStream& ost, AVFrame* frame, std::string& error) {
  int ret = 0;
  if (ost.encoding_needed) {
    ret = InitEncodedStream(e, ost, frame, error);
  } else if (ost.stream_copy && ost.source_index >= 0) {
    ret = PrepareStreamCopy(e, ost);
    if (ret < 0) error = e.FLastErrMsg;
  }
  if (ret < 0) return ret;
  ret = ApplyDisposition(ost, error);
  if (ret < 0) return ret;
  ret = InitStreamBitstreamFilter(e, ost, error);
  if (ret < 0) return ret;
  ost.initialized = 1;
  ret = e.WriteHeaderIfReady(*e.Foutput_files[ost.file_index], ost.file_index);
  if (ret < 0) error = e.FLastErrMsg;
  return ret;
}

}  // namespace

int TCustomFFmpeg::EnsureOutputStream(TOutputStream& ost, AVFrame* frame, bool fatal) {
  if (ost.initialized) return 0;
  std::string error;
  const int ret = InitOutputStream(*this, ost, frame, error);
  if (ret >= 0) return ret;
  const std::string text = strprintf("Error initializing output stream %d:%d -- %s", ost.file_index,
                                     ost.index, error.c_str());
  if (fatal) Fatal(text);
  Log(llError, "%s", text.c_str());
  // A step that failed without leaving a text gives the task this one.
  if (FLastErrMsg.empty()) FLastErrMsg = text;
  return ret;
}

}  // namespace corvane
