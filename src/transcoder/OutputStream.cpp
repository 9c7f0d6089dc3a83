// Output streams: the muxer stream, its record, the encoder or stream copy,
// and the settings every stream type shares.
#include <algorithm>
#include <climits>
#include <cstdlib>

#include "foundation/ErrorText.h"
#include "foundation/OptionValues.h"
#include "foundation/StreamOptions.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avformat.h"
#include "transcoder/OutputStreamSteps.h"

namespace corvane {

using ost_steps::TStreamSetup;

namespace {

AVStream* NewMuxerStream(TCustomFFmpegOpt& e, const TPerFileOptions& o, AVFormatContext* oc) {
  AVStream* st = ff::avformat_new_stream(oc, nullptr);
  if (!st) e.Fatal("Could not alloc stream.");
  if (st->index < static_cast<int>(o.streamid_map.size())) st->id = o.streamid_map[st->index];
  return st;
}

void AllocEncoderContext(TCustomFFmpegOpt& e, TOutputStream& ost, AVMediaType type) {
  ost.enc_ctx.reset(ff::avcodec_alloc_context3(ost.enc));
  if (!ost.enc_ctx) e.Fatal("Error allocating the encoding context.");
  ost.enc_ctx->codec_type = type;
  ost.ref_par.reset(ff::avcodec_parameters_alloc());
  if (!ost.ref_par) e.Fatal("Error allocating the encoding parameters.");
}

void SelectEncoderOptions(const TStreamSetup& s) {
  TOutputStream& ost = s.ost;
  try {
    ost.encoder_opts = filter_codec_options(
        s.o.group->codec_opts, ost.enc ? ost.enc->id : AV_CODEC_ID_NONE, s.oc, ost.st, ost.enc);
  } catch (const EOptionError& err) {
    s.e.Fatal(err.what());
  }
  ost.is_filter_codec_opts = 1;
  if (ost.enc) {
    ost.autoscale = 1;
    if (const TSpecifierValue* v = s.match(s.o.autoscale)) ost.autoscale = v->i;
  }
  if (s.o.bitexact) ost.enc_ctx->flags |= AV_CODEC_FLAG_BITEXACT;
}

// numerator_min: the smallest numerator accepted (enc_time_base allows 0 and -1).
AVRational ParseTimeBase(TCustomFFmpegOpt& e, const std::string& text, int numerator_min) {
  AVRational q{0, 0};
  if (ff::av_parse_ratio(&q, text.c_str(), INT_MAX, 0, nullptr) < 0 || q.num < numerator_min ||
      q.den < 1)
    e.Fatal("Invalid time base: %s", text.c_str());
  return q;
}

void SetTimeBases(const TStreamSetup& s) {
  if (const TSpecifierValue* v = s.match(s.o.time_bases))
    s.ost.st->time_base = ParseTimeBase(s.e, v->str, 1);
  if (const TSpecifierValue* v = s.match(s.o.enc_time_bases))
    s.ost.enc_timebase = ParseTimeBase(s.e, v->str, INT_MIN);
}

void SetFrameLimit(const TStreamSetup& s, AVMediaType type) {
  s.ost.max_frames = INT64_MAX;
  if (const TSpecifierValue* v = s.match(s.o.max_frames)) s.ost.max_frames = v->i64;
  if (type == AVMEDIA_TYPE_VIDEO) return;
  const bool unspecific = std::any_of(s.o.max_frames.begin(), s.o.max_frames.end(),
                                      [](const TSpecifierValue& v) { return v.specifier.empty(); });
  if (unspecific)
    s.e.Log(llWarning,
            "Applying unspecific -frames to non video streams, maybe you meant -vframes ?");
}

void SetBitstreamFilters(const TStreamSetup& s) {
  const TSpecifierValue* v = s.match(s.o.bitstream_filters);
  if (!v || v->str.empty()) return;
  AVBSFContext* bsf = nullptr;
  const int ret = ff::av_bsf_list_parse_str(v->str.c_str(), &bsf);
  if (ret < 0)
    s.e.Fatal("Error parsing bitstream filter sequence \"%s\": %s", v->str.c_str(),
              error_text(ret).c_str());
  s.ost.bsf_ctx.reset(bsf);
}

// A number, or up to four characters read little-endian (missing ones are 0).
std::uint32_t CodecTagValue(const std::string& text) {
  char* end = nullptr;
  const long long number = std::strtoll(text.c_str(), &end, 0);
  if (*end == '\0') return static_cast<std::uint32_t>(number);
  std::uint32_t tag = 0;
  for (std::size_t i = 0; i < 4 && i < text.size(); ++i)
    tag |= static_cast<std::uint32_t>(static_cast<unsigned char>(text[i])) << (8 * i);
  return tag;
}

void SetCodecTagAndQuality(const TStreamSetup& s) {
  TOutputStream& ost = s.ost;
  if (const TSpecifierValue* v = s.match(s.o.codec_tags)) {
    const std::uint32_t tag = CodecTagValue(v->str);
    ost.st->codecpar->codec_tag = tag;
    ost.enc_ctx->codec_tag = tag;
  }
  const TSpecifierValue* q = s.match(s.o.qscale);
  if (q && q->dbl >= 0) {
    ost.enc_ctx->flags |= AV_CODEC_FLAG_QSCALE;
    ost.enc_ctx->global_quality = static_cast<int>(FF_QP2LAMBDA * q->dbl);
  }
}

void SetMuxingSettings(const TStreamSetup& s) {
  TOutputStream& ost = s.ost;
  ost.copy_prior_start = -1;
  if (const TSpecifierValue* v = s.match(s.o.copy_prior_start)) ost.copy_prior_start = v->i;
  if (const TSpecifierValue* v = s.match(s.o.disposition)) ost.disposition = v->str;
  ost.max_muxing_queue_size = 128;
  if (const TSpecifierValue* v = s.match(s.o.max_muxing_queue_size))
    ost.max_muxing_queue_size = v->i;
  ost.muxing_queue_data_size = 0;
  ost.muxing_queue_data_threshold = 52428800;
  if (const TSpecifierValue* v = s.match(s.o.muxing_queue_data_threshold))
    ost.muxing_queue_data_threshold = static_cast<std::size_t>(std::max(0, v->i));
  if (s.oc->oformat->flags & AVFMT_GLOBALHEADER) ost.enc_ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
}

void CopyConversionOptions(const TStreamSetup& s) {
  TOutputStream& ost = s.ost;
  ost.sws_dict = s.o.group->sws_dict;
  ost.swr_opts = s.o.group->swr_opts;
  if (ost.enc && ff::av_get_exact_bits_per_sample(ost.enc->id) == 24)
    ost.swr_opts.set("output_sample_bits", "24");
}

void AttachSource(TCustomFFmpegOpt& e, TOutputStream& ost, int source_index) {
  ost.source_index = source_index;
  if (source_index < 0) return;
  TInputStream* ist = e.Finput_streams.at(static_cast<std::size_t>(source_index)).get();
  ost.sync_ist = ist;
  ist->discard = 0;
  ist->st->discard = static_cast<AVDiscard>(ist->user_set_discard);
}

void ReadFilterOptions(const TStreamSetup& s) {
  if (const TSpecifierValue* v = s.match(s.o.filter_scripts)) s.ost.filters_script = v->str;
  if (const TSpecifierValue* v = s.match(s.o.filters)) s.ost.filters = v->str;
}

// Filters need decoded frames, which stream copy never has.
void CheckStreamCopyFilters(const TStreamSetup& s, AVMediaType type) {
  const TOutputStream& ost = s.ost;
  if (ost.filters.empty() && ost.filters_script.empty()) return;
  const bool script = !ost.filters_script.empty();
  s.e.Fatal(
      "%s \"%s\" was defined for %s output stream %d:%d but codec copy was selected.\r\n"
      "Filtering and streamcopy cannot be used together.",
      script ? "Filtergraph script" : "Filtergraph",
      script ? ost.filters_script.c_str() : ost.filters.c_str(), ff::av_get_media_type_string(type),
      ost.file_index, ost.index);
}

void ReadCopyInitialNonkeyframes(const TStreamSetup& s) {
  if (const TSpecifierValue* v = s.match(s.o.copy_initial_nonkeyframes))
    s.ost.copy_initial_nonkeyframes = v->i;
}

void ReadFrameSize(const TStreamSetup& s) {
  const TSpecifierValue* v = s.match(s.o.frame_sizes);
  if (v &&
      ff::av_parse_video_size(&s.ost.enc_ctx->width, &s.ost.enc_ctx->height, v->str.c_str()) < 0)
    s.e.Fatal("Invalid frame size: %s.", v->str.c_str());
}

AVRational ParseRate(TCustomFFmpegOpt& e, const TSpecifierValue* v, const char* message) {
  AVRational rate{0, 0};
  if (v && ff::av_parse_video_rate(&rate, v->str.c_str()) < 0) e.Fatal(message, v->str.c_str());
  return rate;
}

void ReadVideoRates(const TStreamSetup& s) {
  TOutputStream& ost = s.ost;
  const TSpecifierValue* r = s.match(s.o.frame_rates);
  const TSpecifierValue* fpsmax = s.match(s.o.max_frame_rates);
  ost.frame_rate = ParseRate(s.e, r, "Invalid framerate value: %s");
  ost.max_frame_rate = ParseRate(s.e, fpsmax, "Invalid maximum framerate value: %s");
  if (r && fpsmax) s.e.Fatal("Only one of -fpsmax and -r can be set for a stream.");
  if ((r || fpsmax) && s.e.Fvideo_sync_method == 0)
    s.e.Log(llError, "Using -vsync 0 and -r/-fpsmax can produce invalid output files");
  if (const TSpecifierValue* v = s.match(s.o.frame_aspect_ratios)) {
    AVRational q{0, 0};
    if (ff::av_parse_ratio(&q, v->str.c_str(), 255, 0, nullptr) < 0 || q.num <= 0 || q.den <= 0)
      s.e.Fatal("Invalid aspect ratio: %s", v->str.c_str());
    ost.frame_aspect_ratio = q;
  }
}

// Video, audio and subtitle streams: the named encoder, "copy", or the
// muxer's default for the file name. Other types are copied; only a codec
// named for data streams in particular (-c:d, -dcodec) asks to encode one,
// which their creation refuses.
int ChooseEncoder(TCustomFFmpegOpt& e, TPerFileOptions& o, AVFormatContext* oc,
                  TOutputStream& ost) {
  const AVMediaType type = ost.st->codecpar->codec_type;
  const TSpecifierValue* name = e.MatchPerStream(o.codec_names, oc, ost.st);
  const bool encodable =
      type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_SUBTITLE;
  if (encodable && !name) {
    const AVCodecID id = ff::av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, type);
    ost.st->codecpar->codec_id = id;
    ost.enc = ff::avcodec_find_encoder(id);
    if (!ost.enc) {
      e.Log(llFatal,
            "Automatic encoder selection failed for output stream #%d:%d. Default encoder for "
            "format %s (codec %s) is probably disabled. Please choose an encoder manually.",
            ost.file_index, ost.index, oc->oformat->name, ff::avcodec_get_name(id));
      return AVERROR_ENCODER_NOT_FOUND;
    }
  } else if (encodable && name->str != "copy") {
    ost.enc = e.FindCodecOrDie(name->str, type, true);
    ost.st->codecpar->codec_id = ost.enc->id;
  } else if (encodable || type != AVMEDIA_TYPE_DATA || !name || name->str == "copy" ||
             name->specifier.rfind('d', 0) != 0) {
    ost.stream_copy = 1;
  }
  ost.encoding_needed = !ost.stream_copy;
  return 0;
}

}  // namespace

TOutputStream* TCustomFFmpegOpt::NewOutputStream(TPerFileOptions& o, AVFormatContext* oc,
                                                 AVMediaType type, int source_index) {
  AVStream* st = NewMuxerStream(*this, o, oc);
  Foutput_streams.push_back(std::make_unique<TOutputStream>());
  TOutputStream& ost = *Foutput_streams.back();
  ost.file_index = Fnb_output_files() - 1;
  ost.index = st->index;
  ost.st = st;
  ost.forced_kf_ref_pts = AV_NOPTS_VALUE;
  st->codecpar->codec_type = type;

  if (ChooseEncoder(*this, o, oc, ost) < 0)
    Fatal("Error selecting an encoder for stream %d:%d", ost.file_index, ost.index);
  AllocEncoderContext(*this, ost, type);

  const TStreamSetup s{*this, o, oc, ost};
  SelectEncoderOptions(s);
  SetTimeBases(s);
  SetFrameLimit(s, type);
  SetBitstreamFilters(s);
  SetCodecTagAndQuality(s);
  SetMuxingSettings(s);
  CopyConversionOptions(s);
  AttachSource(*this, ost, source_index);
  ost.last_mux_dts = AV_NOPTS_VALUE;
  return &ost;
}

TOutputStream* TCustomFFmpegOpt::NewVideoStream(TPerFileOptions& o, AVFormatContext* oc,
                                                int source_index) {
  TOutputStream* ost = NewOutputStream(o, oc, AVMEDIA_TYPE_VIDEO, source_index);
  const TStreamSetup s{*this, o, oc, *ost};
  ReadVideoRates(s);
  ReadFilterOptions(s);
  if (ost->stream_copy) {
    ReadCopyInitialNonkeyframes(s);
    CheckStreamCopyFilters(s, AVMEDIA_TYPE_VIDEO);
  } else {
    ost_steps::SetVideoEncoding(s);
  }
  return ost;
}

TOutputStream* TCustomFFmpegOpt::NewAudioStream(TPerFileOptions& o, AVFormatContext* oc,
                                                int source_index) {
  TOutputStream* ost = NewOutputStream(o, oc, AVMEDIA_TYPE_AUDIO, source_index);
  const TStreamSetup s{*this, o, oc, *ost};
  ReadFilterOptions(s);
  if (ost->stream_copy)
    CheckStreamCopyFilters(s, AVMEDIA_TYPE_AUDIO);
  else
    ost_steps::SetAudioEncoding(s);
  return ost;
}

TOutputStream* TCustomFFmpegOpt::NewSubtitleStream(TPerFileOptions& o, AVFormatContext* oc,
                                                   int source_index) {
  TOutputStream* ost = NewOutputStream(o, oc, AVMEDIA_TYPE_SUBTITLE, source_index);
  const TStreamSetup s{*this, o, oc, *ost};
  ReadCopyInitialNonkeyframes(s);
  if (!ost->stream_copy) ReadFrameSize(s);
  return ost;
}

TOutputStream* TCustomFFmpegOpt::NewDataStream(TPerFileOptions& o, AVFormatContext* oc,
                                               int source_index) {
  TOutputStream* ost = NewOutputStream(o, oc, AVMEDIA_TYPE_DATA, source_index);
  if (!ost->stream_copy) Fatal("Data stream encoding not supported yet (only streamcopy)");
  return ost;
}

TOutputStream* TCustomFFmpegOpt::NewUnknownStream(TPerFileOptions& o, AVFormatContext* oc,
                                                  int source_index) {
  TOutputStream* ost = NewOutputStream(o, oc, AVMEDIA_TYPE_UNKNOWN, source_index);
  if (!ost->stream_copy) Fatal("Unknown stream encoding not supported yet (only streamcopy)");
  return ost;
}

TOutputStream* TCustomFFmpegOpt::NewAttachmentStream(TPerFileOptions& o, AVFormatContext* oc,
                                                     int source_index) {
  TOutputStream* ost = NewOutputStream(o, oc, AVMEDIA_TYPE_ATTACHMENT, source_index);
  ost->stream_copy = 1;
  ost->finished = 1;
  return ost;
}

void TCustomFFmpegOpt::FreeOutputStreams() {
  // In creation order; each record releases its library objects.
  for (std::unique_ptr<TOutputStream>& ost : Foutput_streams) ost.reset();
  Foutput_streams.clear();
}

}  // namespace corvane
