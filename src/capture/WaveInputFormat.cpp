// The library calls these operations on the task's reading thread. The
// private state is a plain record the library allocates and fills with the
// option values; the session behind it is created by the header read and
// released by the close.
#include "capture/WaveInputFormat.h"

#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "capture/FramePacking.h"
#include "capture/InputFormatRecord.h"
#include "capture/WaveInputAdapter.h"
#include "foundation/AppInputFormats.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"

namespace corvane {
namespace {

constexpr int kSamplesPerPacket = 1024;

struct TWaveInputSession {
  std::shared_ptr<TWaveInputAdapter> adapter;
  // Shared with the handler, which may write into it; the input's own
  // values are restored around each call and never read back.
  TInputWaveInfo info;
  TInputWaveInfo own;  // the sizes fixed by the header, the counts kept here
  AVCodecID codec_id = AV_CODEC_ID_NONE;
  AVSampleFormat sample_format = AV_SAMPLE_FMT_NONE;
  int bytes_per_sample = 0;
  int block_align = 0;
};

struct TWaveInputPriv {
  const AVClass* av_class;
  int sample_rate;
  int channels;
  char* sample_fmt;
  TWaveInputSession* session;  // owned from the header read to the close
};

TWaveInputPriv* priv(AVFormatContext* s) { return static_cast<TWaveInputPriv*>(s->priv_data); }

// ---- Header steps; each logs its own failure.

int findAdapter(AVFormatContext* s, TWaveInputSession& ses) {
  const char* url = s->url ? s->url : "";
  const auto id = parseRegistryId(url);
  if (!id) {
    ff::av_log(s, AV_LOG_ERROR,
               "Could not parse WaveInputAdapter: \"%s\", it should be address of "
               "WaveInputAdapter\n",
               url);
    return AVERROR(EINVAL);
  }
  ses.adapter = findRegisteredAs<TWaveInputAdapter>(*id);
  if (!ses.adapter) {
    ff::av_log(s, AV_LOG_ERROR, "Invalid WaveInputAdapter\n");
    return AVERROR(EINVAL);
  }
  return 0;
}

int parseSampleFormat(AVFormatContext* s, TWaveInputSession& ses) {
  const char* text = priv(s)->sample_fmt ? priv(s)->sample_fmt : "";
  const AVSampleFormat format = *text ? ff::av_get_sample_fmt(text) : AV_SAMPLE_FMT_S16;
  switch (format) {
    case AV_SAMPLE_FMT_U8:
      ses.codec_id = AV_CODEC_ID_PCM_U8;
      break;
    case AV_SAMPLE_FMT_S16:
      ses.codec_id = AV_CODEC_ID_PCM_S16LE;
      break;
    case AV_SAMPLE_FMT_S32:
      ses.codec_id = AV_CODEC_ID_PCM_S32LE;
      break;
    default:
      ff::av_log(s, AV_LOG_ERROR, "Invalid sample format: \"%s\", it should be u8, s16 or s32\n",
                 text);
      return AVERROR(EINVAL);
  }
  ses.sample_format = format;
  ses.bytes_per_sample = ff::av_get_bytes_per_sample(format);
  ses.info.SampleFormat = ses.bytes_per_sample * 8;
  return 0;
}

// Rate and channel count above 0; a channel count whose packet size does
// not fit is refused as well.
int checkRateAndChannels(AVFormatContext* s, TWaveInputSession& ses) {
  ses.info.SampleRate = priv(s)->sample_rate;
  ses.info.Channels = priv(s)->channels;
  if (ses.info.SampleRate <= 0) {
    ff::av_log(s, AV_LOG_ERROR, "Invalid sample rate %d\n", ses.info.SampleRate);
    return AVERROR(EINVAL);
  }
  const int max_channels =
      (INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE) / (kSamplesPerPacket * ses.bytes_per_sample);
  if (ses.info.Channels <= 0 || ses.info.Channels > max_channels) {
    ff::av_log(s, AV_LOG_ERROR, "Invalid channels %d\n", ses.info.Channels);
    return AVERROR(EINVAL);
  }
  ses.block_align = ses.bytes_per_sample * ses.info.Channels;
  ses.info.FrameSize = ses.block_align * kSamplesPerPacket;
  return 0;
}

int createStream(AVFormatContext* s, TWaveInputSession& ses) {
  AVStream* st = ff::avformat_new_stream(s, nullptr);
  if (!st) return AVERROR(ENOMEM);
  AVCodecParameters* par = st->codecpar;
  par->codec_type = AVMEDIA_TYPE_AUDIO;
  par->codec_id = ses.codec_id;
  par->format = ses.sample_format;
  par->sample_rate = ses.info.SampleRate;
  ff::av_channel_layout_default(&par->ch_layout, ses.info.Channels);
  par->bits_per_coded_sample = ses.info.SampleFormat;
  par->block_align = ses.block_align;
  par->bit_rate =
      static_cast<std::int64_t>(ses.info.SampleRate) * ses.info.Channels * ses.info.SampleFormat;
  par->frame_size = kSamplesPerPacket;  // samples per channel, as the field counts them
  st->time_base = AVRational{1, 1000000};
  st->pts_wrap_bits = 64;
  s->flags |= AVFMT_FLAG_NOPARSE;
  s->probesize = 0;  // the stream is fully described: nothing to probe
  return 0;
}

int readHeader(AVFormatContext* s) {
  auto ses = std::make_unique<TWaveInputSession>();
  int ret = findAdapter(s, *ses);
  if (ret < 0 || (ret = parseSampleFormat(s, *ses)) < 0 ||
      (ret = checkRateAndChannels(s, *ses)) < 0 || (ret = createStream(s, *ses)) < 0)
    return ret;
  ses->own = ses->info;
  TWaveInputSession* opened = ses.release();
  priv(s)->session = opened;
  opened->adapter->ReadHeader(&opened->info);
  return 0;
}

// ---- Packets

// A claim beyond the packet, or of part of a sample frame, would hand the
// decoder bytes nobody wrote or shift every later sample: both end the input.
int checkDelivered(AVFormatContext* s, const TWaveInputSession& ses, int delivered) {
  if (delivered > ses.own.FrameSize) {
    ff::av_log(s, AV_LOG_ERROR, "reading wave data return %d, more than the frame size %d\n",
               delivered, ses.own.FrameSize);
    return AVERROR(EINVAL);
  }
  if (delivered % ses.block_align) {
    ff::av_log(s, AV_LOG_ERROR,
               "reading wave data return %d, not a whole number of %d-byte sample frames\n",
               delivered, ses.block_align);
    return AVERROR(EINVAL);
  }
  return 0;
}

// The shared record as the handler is to see it.
void publishInfo(TWaveInputSession& ses) {
  TInputWaveInfo& info = ses.info;
  const TInputWaveInfo& own = ses.own;
  capture::RestoreShared(info.FrameSize, own.FrameSize);
  capture::RestoreShared(info.SampleRate, own.SampleRate);
  capture::RestoreShared(info.SampleFormat, own.SampleFormat);
  capture::RestoreShared(info.Channels, own.Channels);
  capture::RestoreShared(info.TotalSize, own.TotalSize);
  capture::RestoreShared(info.FrameNumber, own.FrameNumber);
  info.TimeStamp = own.TimeStamp;
}

int readPacket(AVFormatContext* s, AVPacket* pkt) {
  TWaveInputSession* ses = priv(s)->session;
  if (!ses) return AVERROR(EINVAL);
  TInputWaveInfo& own = ses->own;
  if (ff::av_new_packet(pkt, own.FrameSize) < 0) return AVERROR(ENOMEM);
  ++own.FrameNumber;
  own.TimeStamp =
      sampleMicroseconds(own.TotalSize, ses->bytes_per_sample, own.SampleRate, own.Channels);
  publishInfo(*ses);
  pkt->pts = pkt->dts = own.TimeStamp;
  pkt->stream_index = 0;
  const int ret = ses->adapter->ReadWaveData(pkt->data, &ses->info);
  publishInfo(*ses);  // readers of the record between calls see the input's values too
  if (ret < 0) {
    ff::av_log(s, AV_LOG_INFO, "reading wave data return %d\n", ret);
    return ret;  // the library releases the packet
  }
  // An empty packet would read as a flush to the decoder: ask again later.
  if (ret == 0) return AVERROR(EAGAIN);
  if (const int bad = checkDelivered(s, *ses, ret); bad < 0) return bad;
  own.TotalSize += ret;
  capture::RestoreShared(ses->info.TotalSize, own.TotalSize);
  pkt->size = ret;
  std::memset(pkt->data + ret, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  return ret;
}

int readClose(AVFormatContext* s) {
  std::unique_ptr<TWaveInputSession> ses(priv(s)->session);
  priv(s)->session = nullptr;
  if (ses) ses->adapter->ReadClose(&ses->info);
  return 0;
}

const AVOption kOptions[] = {
    capture::IntOption("sample_rate", "set audio sampling rate (in Hz)",
                       offsetof(TWaveInputPriv, sample_rate), 44100),
    capture::IntOption("channels", "set number of audio channels",
                       offsetof(TWaveInputPriv, channels), 2),
    capture::TextOption("sample_fmt", "set sample format", offsetof(TWaveInputPriv, sample_fmt),
                        "s16"),
    {},
};

const AVClass kClass = capture::OptionClass("WaveInputFormat", kOptions);

const AVInputFormat kFormat = capture::NoFileInputFormat<readHeader, readPacket, readClose>(
    "waveinput", "Wave input", &kClass, sizeof(TWaveInputPriv));

}  // namespace

const AVInputFormat* RegisterWaveInputFormat() {
  register_app_input_format(&kFormat);
  return &kFormat;
}

}  // namespace corvane
