// Parameters of a stream-copy output stream, taken from its source stream.
#include <cstring>

#include "transcoder/OutputStreamInit.h"
#include "transcoder/Transcoder.h"

namespace corvane {

namespace {

// The output's own tag, else the source's unless the muxer maps it elsewhere.
unsigned ChooseCodecTag(const AVOutputFormat* ofmt, const AVCodecParameters* dst,
                        const AVCodecParameters* src) {
  if (dst->codec_tag) return dst->codec_tag;
  const AVCodecTag* const* tags = ofmt->codec_tag;
  if (!tags || ff::av_codec_get_id(tags, src->codec_tag) == src->codec_id ||
      ff::av_codec_get_tag(tags, src->codec_id) == 0)
    return src->codec_tag;
  return 0;
}

// Side data of the source stream, and the rotation asked for.
int CopySideData(TCustomFFmpeg& e, TOutputStream& ost, const AVStream* src) {
  for (int i = 0; i < src->nb_side_data; ++i) {
    const AVPacketSideData& sd = src->side_data[i];
    std::uint8_t* dst = ff::av_stream_new_side_data(ost.st, sd.type, sd.size);
    if (!dst) return e.Fail(AVERROR(ENOMEM), llFatal, "av_stream_new_side_data() failed");
    std::memcpy(dst, sd.data, sd.size);
  }
  if (ost.rotate_overridden) {
    std::uint8_t* sd = ff::av_stream_new_side_data(ost.st, AV_PKT_DATA_DISPLAYMATRIX, 36);
    if (sd) ff::av_display_rotation_set(reinterpret_cast<int32_t*>(sd), -ost.rotate_override_value);
  }
  return 0;
}

// Codec parameters and tag, rates, time base, duration, disposition.
int CopyParameters(TCustomFFmpeg& e, TOutputStream& ost, TInputStream& ist) {
  AVCodecParameters* par_src = ost.ref_par.get();
  AVCodecParameters* par_dst = ost.st->codecpar;
  AVCodecContext* ctx = ost.enc_ctx.get();
  int ret = ff::avcodec_parameters_to_context(ctx, ist.st->codecpar);
  if (ret >= 0) ret = ff::av_opt_set_dict(ctx, ost.encoder_opts.address());
  if (ret < 0) return e.Fail(ret, llFatal, "Error setting up codec context options.");
  ret = ff::avcodec_parameters_from_context(par_src, ctx);
  if (ret < 0) return e.Fail(ret, llFatal, "Error getting reference codec parameters.");
  const AVFormatContext* oc = e.Foutput_files[ost.file_index]->ctx.get();
  const unsigned tag = ChooseCodecTag(oc->oformat, par_dst, par_src);
  ret = ff::avcodec_parameters_copy(par_dst, par_src);
  if (ret < 0) return e.Fail(ret, llFatal, "avcodec_parameters_copy() failed");
  par_dst->codec_tag = tag;
  if (!ost.frame_rate.num) ost.frame_rate = ist.framerate;
  ost.st->avg_frame_rate = ost.frame_rate;
  ret = ff::avformat_transfer_internal_stream_timing_info(
      oc->oformat, ost.st, ist.st, static_cast<AVTimebaseSource>(e.Fcopy_tb));
  if (ret < 0)
    return e.Fail(ret, llFatal, "avformat_transfer_internal_stream_timing_info() failed");
  if (ost.st->time_base.num <= 0 || ost.st->time_base.den <= 0) {
    AVRational tb = ff::av_stream_get_codec_timebase(ost.st);
    ff::av_reduce(&tb.num, &tb.den, tb.num, tb.den, INT_MAX);
    ost.st->time_base = tb;
  }
  if (ost.st->duration <= 0 && ist.st->duration > 0)
    ost.st->duration = ff::av_rescale_q(ist.st->duration, ist.st->time_base, ost.st->time_base);
  ost.st->disposition = ist.st->disposition;
  return CopySideData(e, ost, ist.st);
}

int CopyAudio(TCustomFFmpeg& e, TOutputStream& ost) {
  if (e.Faudio_volume != 256)
    return e.Fail(AVERROR(EINVAL), llError,
                  "-acodec/-c:audio copy and -vol are incompatible (frames are not decoded)");
  AVCodecParameters* par = ost.st->codecpar;
  const int ba = par->block_align;
  if ((par->codec_id == AV_CODEC_ID_MP3 && (ba == 1 || ba == 1152 || ba == 576)) ||
      par->codec_id == AV_CODEC_ID_AC3)
    par->block_align = 0;
  return 0;
}

void CopyVideo(TCustomFFmpeg& e, TOutputStream& ost, const TInputStream& ist) {
  AVCodecParameters* par = ost.st->codecpar;
  AVRational sar;
  if (ost.frame_aspect_ratio.num && par->width > 0) {
    sar = ff::av_mul_q(ost.frame_aspect_ratio, AVRational{par->height, par->width});
    e.Log(llWarning, "Overriding aspect ratio with stream copy may produce invalid files");
  } else if (ist.st->sample_aspect_ratio.num) {
    sar = ist.st->sample_aspect_ratio;
  } else {
    sar = ost.ref_par->sample_aspect_ratio;
  }
  ost.st->sample_aspect_ratio = par->sample_aspect_ratio = sar;
  ost.st->avg_frame_rate = ist.st->avg_frame_rate;
  ost.st->r_frame_rate = ist.st->r_frame_rate;
}

}  // namespace

int PrepareStreamCopy(TCustomFFmpeg& e, TOutputStream& ost) {
  if (ost.source_index < 0 || ost.filter)
    return e.Fail(AVERROR_BUG, llFatal, "stream copy without a single source stream");
  TInputStream& ist = *e.Finput_streams[ost.source_index];
  int ret = CopyParameters(e, ost, ist);
  if (ret < 0) return ret;
  switch (ost.st->codecpar->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      ret = CopyAudio(e, ost);
      if (ret < 0) return ret;
      break;
    case AVMEDIA_TYPE_VIDEO:
      CopyVideo(e, ost, ist);
      break;
    default:
      break;
  }
  ost.mux_timebase = ist.st->time_base;
  return 0;
}

}  // namespace corvane
