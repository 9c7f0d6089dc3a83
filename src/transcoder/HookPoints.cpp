// Where the task hands its pictures and sound to the hooks and the previews.
#include "foundation/OptionValues.h"
#include "foundation/api/avutil.h"
#include "transcoder/Transcoder.h"

namespace corvane {

void TCustomFFmpeg::InputFrameHook(TInputStream& ist, AVFrame* frame) {
  switch (ist.dec_ctx->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      ++ist.frame_number;
      FHooks.InputVideo(frame, ist.frame_number, ist.pts);
      break;
    case AVMEDIA_TYPE_AUDIO:
      FHooks.InputAudio(frame, ist.pts);
      break;
    default:
      break;
  }
}

void TCustomFFmpeg::OutputFrameHook(TOutputStream& ost, AVFrame* frame) {
  AVCodecContext* enc = ost.enc_ctx.get();
  const std::int64_t pts = frame->pts == AV_NOPTS_VALUE
                               ? AV_NOPTS_VALUE
                               : ff::av_rescale_q(frame->pts, enc->time_base, AV_TIME_BASE_Q);
  switch (enc->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      FHooks.OutputVideo(frame, ost.frame_number, pts);
      break;
    case AVMEDIA_TYPE_AUDIO:
      FHooks.OutputAudio(frame, pts);
      FAudioPreview.Feed(frame, enc->sample_rate, enc->ch_layout.nb_channels, Frate_emu != 0);
      break;
    default:
      break;
  }
}

int TCustomFFmpeg::SetVideoHookBitsPixel(const std::string& arg) {
  const int ret = TCustomFFmpegOpt::SetVideoHookBitsPixel(arg);
  if (ret < 0) return ret;
  try {
    FHooks.SetHookBitsPixel(parse_int_or_raise("VideoHookBitsPixel", arg));
  } catch (const std::exception& ex) {
    Log(llError, "%s", ex.what());
    return AVERROR(EINVAL);
  }
  return 0;
}

}  // namespace corvane
