// Reading one packet of an input file: pacing, looping, end of input, and
// the repair of the packet's timestamps before it goes to decoding.
#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "foundation/ErrorText.h"
#include "transcoder/TimestampMath.h"
#include "transcoder/TimestampRepair.h"
#include "transcoder/Transcoder.h"

namespace corvane {

namespace {

using namespace tsrepair;

constexpr AVRational kMicro{1, AV_TIME_BASE};
constexpr auto kNearPassMinMax = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);

std::int64_t ToMicro(std::int64_t ts, AVRational tb) {
  return ff::av_rescale_q_rnd(ts, tb, kMicro, kNearPassMinMax);
}

bool IsAudioOrVideo(const TInputStream& ist) {
  const AVMediaType type = ist.st->codecpar->codec_type;
  return type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO;
}

bool HasDiscontinuousTs(const AVFormatContext* ic) {
  return ic->iformat && (ic->iformat->flags & AVFMT_TS_DISCONT);
}

const char* MediaTypeText(AVMediaType type) {
  const char* s = ff::av_get_media_type_string(type);
  return s ? s : "unknown";
}

// Takes delta (microseconds) off both timestamps of the packet.
void ShiftPacket(AVPacket* pkt, std::int64_t delta, AVRational tb) {
  const std::int64_t d = ff::av_rescale_q(delta, kMicro, tb);
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts -= d;
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= d;
}

// Releases the file's packet however reading it ends.
struct TPacketRelease {
  AVPacket* pkt;
  ~TPacketRelease() { ff::av_packet_unref(pkt); }
};

// The file's packet, or AVERROR(EAGAIN) while pacing holds it back.
int FetchPacket(TCustomFFmpeg& e, TInputFile& f) {
  if (f.rate_emu) {
    for (int i = 0; i < f.nb_streams; ++i) {
      const TInputStream& ist = *e.Finput_streams[f.ist_index + i];
      const std::int64_t pts = ist.dts;
      if (f.last_pts == AV_NOPTS_VALUE) f.last_pts = pts;
      const std::int64_t now = ff::av_gettime_relative() - ist.start - e.FTotalPauseTime;
      if (now < pts) return AVERROR(EAGAIN);
    }
  } else if (f.last_pts == AV_NOPTS_VALUE) {
    for (int i = 0; i < f.nb_streams; ++i) {
      const TInputStream& ist = *e.Finput_streams[f.ist_index + i];
      if (ist.dts == AV_NOPTS_VALUE) continue;
      f.last_pts = ist.dts;
      break;
    }
  }
  if (!f.pkt && !(f.pkt = makePacket())) return AVERROR(ENOMEM);
  return ff::av_read_frame(f.ctx.get(), f.pkt.get());
}

// Length of the last frame of a stream before a rewind (stream time base),
// or -1 when the stream does not count.
std::int64_t LastFrameLength(const TInputStream& ist, bool has_audio) {
  const AVRational tb = ist.st->time_base;
  if (has_audio) {
    if (ist.st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO || !ist.nb_samples) return -1;
    const int rate = ist.dec_ctx ? ist.dec_ctx->sample_rate : ist.st->codecpar->sample_rate;
    if (rate <= 0) return -1;
    return ff::av_rescale_q(ist.nb_samples, AVRational{1, rate}, tb);
  }
  if (ist.framerate.num) return ff::av_rescale_q(1, av_inv_q(ist.framerate), tb);
  if (ist.st->avg_frame_rate.num) return ff::av_rescale_q(1, av_inv_q(ist.st->avg_frame_rate), tb);
  return 1;
}

// Seeks to the start and grows the file's length by the pass just read.
int RewindInput(TCustomFFmpeg& e, TInputFile& f) {
  AVFormatContext* ic = f.ctx.get();
  const std::int64_t start = ic->start_time == AV_NOPTS_VALUE ? 0 : ic->start_time;
  const int ret = ff::avformat_seek_file(ic, -1, INT64_MIN, start, start, 0);
  if (ret < 0) return ret;

  bool has_audio = false;
  for (int i = 0; i < f.nb_streams; ++i) {
    const TInputStream& ist = *e.Finput_streams[f.ist_index + i];
    if (ist.st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && ist.nb_samples) has_audio = true;
  }
  for (int i = 0; i < f.nb_streams; ++i) {
    const TInputStream& ist = *e.Finput_streams[f.ist_index + i];
    const std::int64_t last = LastFrameLength(ist, has_audio);
    if (last < 0) continue;
    const TLength len = LongerLength(TLength{f.duration, f.time_base}, ist.min_pts, ist.max_pts,
                                     last, ist.st->time_base);
    f.duration = len.duration;
    f.time_base = len.time_base;
  }
  if (f.loop > 0) --f.loop;
  return ret;
}

}  // namespace

void TCustomFFmpeg::ClearUnavailable() {
  for (auto& f : Finput_files) f->eagain = 0;
  for (auto& ost : Foutput_streams) ost->unavailable = 0;
}

namespace {

// Drains the decoders of a file about to be rewound; true while one of them
// still delivers frames (the rewind waits for the next read).
bool DrainBeforeRewind(TCustomFFmpeg& e, TInputFile& f) {
  for (int i = 0; i < f.nb_streams; ++i) {
    TInputStream& ist = *e.Finput_streams[f.ist_index + i];
    if (!ist.decoding_needed) continue;
    if (e.DecodeInputPacket(ist, nullptr, true)) return true;
    ff::avcodec_flush_buffers(ist.dec_ctx.get());
    ist.dts_buffer.clear();  // flush-call timestamps of the pass that ended
  }
  return false;
}

// The file ended (or failed): flush its decoders, finish the outputs fed
// straight from it, and mark it. 0 while a decoder still delivers.
int EndOfInput(TCustomFFmpeg& e, TInputFile& f, int code) {
  if (code != AVERROR_EOF) {
    const std::string text = error_text(std::string(f.ctx->url ? f.ctx->url : ""), code);
    // A stop requested by the owner is not an input failure.
    if (code != AVERROR_EXIT || !e.FBroken) {
      if (e.Fexit_on_error) e.Fatal(text);
      e.FLastErrMsg = text;
      e.FRunFailed = true;
    }
    e.Log(llError, "%s", text.c_str());
  }
  for (int i = 0; i < f.nb_streams; ++i) {
    const int index = f.ist_index + i;
    TInputStream& ist = *e.Finput_streams[index];
    if (ist.decoding_needed && e.DecodeInputPacket(ist, nullptr, false)) return 0;
    for (auto& ost : e.Foutput_streams) {
      const bool direct = ost->stream_copy || (ost->enc && ost->enc->type == AVMEDIA_TYPE_SUBTITLE);
      if (ost->source_index == index && direct) e.FinishOutputStream(*ost);
    }
  }
  f.eof_reached = 1;
  return AVERROR(EAGAIN);
}

void ReportNewStream(TInputFile& f, int file_index, const AVPacket* pkt) {
  if (pkt->stream_index < f.nb_streams_warn) return;
  AVFormatContext* ic = f.ctx.get();
  const AVStream* st = ic->streams[pkt->stream_index];
  ff::av_log(ic, AV_LOG_WARNING, "New %s stream %d:%d at pos:%" PRId64 " and DTS:%ss\n",
             MediaTypeText(st->codecpar->codec_type), file_index, pkt->stream_index, pkt->pos,
             TsTimeText(pkt->dts, st->time_base).c_str());
  f.nb_streams_warn = pkt->stream_index + 1;
}

// A demuxer with jumping timestamps may report a container start later than
// its streams begin: the file's offset then follows the earliest stream.
void CorrectFileStart(TInputFile& f) {
  AVFormatContext* ic = f.ctx.get();
  std::int64_t new_start = INT64_MAX;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVStream* st = ic->streams[i];
    if (st->discard == AVDISCARD_ALL || st->start_time == AV_NOPTS_VALUE) continue;
    new_start = std::min(new_start, ff::av_rescale_q(st->start_time, st->time_base, kMicro));
  }
  if (new_start == INT64_MAX || new_start <= ic->start_time) return;
  ff::av_log(ic, AV_LOG_VERBOSE, "Correcting start time by %" PRId64 "\n",
             new_start - ic->start_time);
  f.ts_offset = -new_start;
}

void CorrectStartWrap(TInputFile& f, TInputStream& ist, AVPacket* pkt) {
  AVFormatContext* ic = f.ctx.get();
  const AVStream* st = ist.st;
  if (ist.wrap_correction_done || ic->start_time == AV_NOPTS_VALUE || st->pts_wrap_bits >= 64)
    return;
  if (ist.next_dts == AV_NOPTS_VALUE && f.ts_offset == -ic->start_time && HasDiscontinuousTs(ic))
    CorrectFileStart(f);
  const std::int64_t stime = ff::av_rescale_q(ic->start_time, kMicro, st->time_base);
  const TWrapResult r = CorrectWrap(TPacketTs{pkt->dts, pkt->pts}, stime, st->pts_wrap_bits);
  pkt->dts = r.ts.dts;
  pkt->pts = r.ts.pts;
  ist.wrap_correction_done = r.done;
}

// The stream's own side data goes with its first packet.
void CopyStreamSideData(TCustomFFmpeg& e, const TInputStream& ist, AVPacket* pkt) {
  for (int i = 0; i < ist.st->nb_side_data; ++i) {
    const AVPacketSideData& sd = ist.st->side_data[i];
    if (sd.type == AV_PKT_DATA_DISPLAYMATRIX) continue;
    if (ff::av_packet_get_side_data(pkt, sd.type, nullptr)) continue;
    std::uint8_t* dst = ff::av_packet_new_side_data(pkt, sd.type, sd.size);
    if (!dst) e.Fatal("av_packet_new_side_data() failed");
    std::memcpy(dst, sd.data, sd.size);
  }
}

void LogDemuxed(TCustomFFmpeg& e, const TInputFile& f, const TInputStream& ist,
                const AVPacket* pkt) {
  const AVRational tb = ist.st->time_base;
  e.Log(llInfo,
        "demuxer -> ist_index:%d type:%s next_dts:%s next_dts_time:%s next_pts:%s "
        "next_pts_time:%s pkt_pts:%s pkt_pts_time:%s pkt_dts:%s pkt_dts_time:%s off:%s "
        "off_time:%s",
        f.ist_index + pkt->stream_index, MediaTypeText(ist.st->codecpar->codec_type),
        TsText(ist.next_dts).c_str(), TsTimeText(ist.next_dts, kMicro).c_str(),
        TsText(ist.next_pts).c_str(), TsTimeText(ist.next_pts, kMicro).c_str(),
        TsText(pkt->pts).c_str(), TsTimeText(pkt->pts, tb).c_str(), TsText(pkt->dts).c_str(),
        TsTimeText(pkt->dts, tb).c_str(), TsText(f.ts_offset).c_str(),
        TsTimeText(f.ts_offset, kMicro).c_str());
}

void LogRepaired(TCustomFFmpeg& e, const TInputFile& f, const TInputStream& ist,
                 const AVPacket* pkt) {
  const AVRational tb = ist.st->time_base;
  e.Log(llInfo,
        "demuxer+dedirerer -> ist_index:%d type:%s pkt_pts:%s pkt_pts_time:%s pkt_dts:%s "
        "pkt_dts_time:%s off:%s off_time:%s",
        f.ist_index + pkt->stream_index, MediaTypeText(ist.st->codecpar->codec_type),
        TsText(pkt->pts).c_str(), TsTimeText(pkt->pts, tb).c_str(), TsText(pkt->dts).c_str(),
        TsTimeText(pkt->dts, tb).c_str(), TsText(f.ts_offset).c_str(),
        TsTimeText(f.ts_offset, kMicro).c_str());
}

// A jump between the streams of a file whose timestamps may jump.
void FixInterStreamJump(TCustomFFmpeg& e, TInputFile& f, const TInputStream& ist, AVPacket* pkt) {
  const AVRational tb = ist.st->time_base;
  const std::int64_t pkt_dts = ToMicro(pkt->dts, tb);
  if (!IsAudioOrVideo(ist) || pkt_dts == AV_NOPTS_VALUE || ist.next_dts != AV_NOPTS_VALUE ||
      e.Fcopy_ts || !HasDiscontinuousTs(f.ctx.get()) || f.last_ts == AV_NOPTS_VALUE)
    return;
  const std::int64_t delta = InterStreamJump(pkt_dts, f.last_ts, e.Fdts_delta_threshold);
  if (!delta) return;
  f.ts_offset -= delta;
  e.Log(llDebug, "Inter stream timestamp discontinuity %" PRId64 ", new offset= %" PRId64, delta,
        f.ts_offset);
  ShiftPacket(pkt, delta, tb);
}

// A packet that strays from its stream's prediction: shifts the file's
// offset (formats with jumping timestamps) or loses its invalid timestamps.
void FixIntraStreamJump(TCustomFFmpeg& e, TInputFile& f, const TInputStream& ist, AVPacket* pkt,
                        int file_index) {
  const AVRational tb = ist.st->time_base;
  const std::int64_t pkt_dts = ToMicro(pkt->dts, tb);
  const bool discont = HasDiscontinuousTs(f.ctx.get());
  bool copy_ts = e.Fcopy_ts;
  if (copy_ts && pkt_dts != AV_NOPTS_VALUE && ist.next_dts != AV_NOPTS_VALUE && discont &&
      JumpIsWrap(pkt->dts, tb, ist.st->pts_wrap_bits, pkt_dts, ist.next_dts))
    copy_ts = false;
  if (!IsAudioOrVideo(ist) || pkt_dts == AV_NOPTS_VALUE || ist.next_dts == AV_NOPTS_VALUE ||
      copy_ts)
    return;
  const TIntraStreamFix fix = CheckIntraStream(
      TIntraStreamInput{pkt_dts, ToMicro(pkt->pts, tb), ist.next_dts, ist.pts, ist.dts, discont,
                        e.Fdts_delta_threshold, e.Fdts_error_threshold});
  if (fix.shift) {
    f.ts_offset -= fix.shift;
    e.Log(llDebug,
          "timestamp discontinuity for stream #%d:%d (id=%d, type=%s): %" PRId64
          ", new offset= %" PRId64,
          file_index, ist.st->index, ist.st->id, MediaTypeText(ist.st->codecpar->codec_type),
          fix.shift, f.ts_offset);
    ShiftPacket(pkt, fix.shift, tb);
  }
  if (fix.drop_dts) {
    e.Log(llWarning, "DTS %" PRId64 ", next:%" PRId64 " st:%d invalid dropping", pkt->dts,
          ist.next_dts, pkt->stream_index);
    pkt->dts = AV_NOPTS_VALUE;
  }
  if (fix.drop_pts) {
    e.Log(llWarning, "PTS %" PRId64 ", next:%" PRId64 " invalid dropping st:%d", pkt->pts,
          ist.next_dts, pkt->stream_index);
    pkt->pts = AV_NOPTS_VALUE;
  }
}

// Offset, scale and the loop offset of later passes.
void ApplyFileTiming(TInputFile& f, TInputStream& ist, AVPacket* pkt) {
  const AVRational tb = ist.st->time_base;
  const std::int64_t offset = ff::av_rescale_q(f.ts_offset, kMicro, tb);
  pkt->dts = OffsetAndScale(pkt->dts, offset, ist.ts_scale);
  pkt->pts = OffsetAndScale(pkt->pts, offset, ist.ts_scale);
}

void AddLoopOffset(const TInputFile& f, TInputStream& ist, AVPacket* pkt) {
  const std::int64_t duration = ff::av_rescale_q(f.duration, f.time_base, ist.st->time_base);
  pkt->pts = tsmath::AddOrNone(pkt->pts, duration);
  pkt->dts = tsmath::AddOrNone(pkt->dts, duration);
  if (pkt->pts == AV_NOPTS_VALUE) return;
  ist.max_pts = std::max(pkt->pts, ist.max_pts);
  ist.min_pts = std::min(pkt->pts, ist.min_pts);
}

// Repairs the timestamps of a packet of a used stream and decodes it.
void DispatchPacket(TCustomFFmpeg& e, TInputFile& f, int file_index, TInputStream& ist,
                    AVPacket* pkt) {
  if (ist.first_dts == AV_NOPTS_VALUE) ist.first_dts = pkt->dts;
  if (pkt->flags & AV_PKT_FLAG_CORRUPT) {
    const std::string text = strprintf("%s: corrupt input packet in stream %d",
                                       f.ctx->url ? f.ctx->url : "", pkt->stream_index);
    if (e.Fexit_on_error) e.Fatal(text);
    e.Log(llWarning, "%s", text.c_str());
  }
  if (e.Fdebug_ts) LogDemuxed(e, f, ist, pkt);
  CorrectStartWrap(f, ist, pkt);
  if (ist.nb_packets == 1) CopyStreamSideData(e, ist, pkt);
  ApplyFileTiming(f, ist, pkt);
  FixInterStreamJump(e, f, ist, pkt);
  AddLoopOffset(f, ist, pkt);
  FixIntraStreamJump(e, f, ist, pkt, file_index);
  if (pkt->dts != AV_NOPTS_VALUE) f.last_ts = ff::av_rescale_q(pkt->dts, ist.st->time_base, kMicro);
  if (e.Fdebug_ts) LogRepaired(e, f, ist, pkt);
  e.SubtitleHeartbeat(ist, pkt->pts);
  e.DecodeInputPacket(ist, pkt, false);
}

}  // namespace

int TCustomFFmpeg::ReadInputFile(int file_index) {
  TInputFile& f = *Finput_files.at(file_index);
  FLastRead = ff::av_gettime_relative();
  int ret = FetchPacket(*this, f);
  if (ret == AVERROR(EAGAIN)) {
    f.eagain = 1;
    return ret;
  }
  if (ret < 0 && f.loop) {
    if (DrainBeforeRewind(*this, f)) return 0;
    ret = RewindInput(*this, f);
    if (ret < 0)
      Log(llWarning, "Seek to start failed.");
    else
      ret = FetchPacket(*this, f);
    if (ret == AVERROR(EAGAIN)) {
      f.eagain = 1;
      return ret;
    }
  }
  if (ret < 0) return EndOfInput(*this, f, ret);

  AVPacket* pkt = f.pkt.get();
  TPacketRelease release{pkt};
  ClearUnavailable();
  AVFormatContext* ic = f.ctx.get();
  if (Fdo_pkt_dump)
    ff::av_pkt_dump_log2(nullptr, AV_LOG_INFO, pkt, Fdo_hex_dump, ic->streams[pkt->stream_index]);
  if (pkt->stream_index >= f.nb_streams) {
    ReportNewStream(f, file_index, pkt);
    return 0;
  }
  TInputStream& ist = *Finput_streams[f.ist_index + pkt->stream_index];
  ist.data_size += pkt->size;
  ++ist.nb_packets;
  if (ist.discard) return 0;
  DispatchPacket(*this, f, file_index, ist, pkt);
  return 0;
}

}  // namespace corvane
