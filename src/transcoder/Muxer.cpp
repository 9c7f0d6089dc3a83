// Packet muxing: bitstream filters, the queue that holds packets until the
// file's header exists, timestamp sanity fixes and the interleaved write;
// stream copy of input packets; the finished marks of output streams.
#include <algorithm>
#include <cinttypes>

extern "C" {
#include <libavutil/timestamp.h>
}

#include "foundation/ErrorText.h"
#include "transcoder/Muxing.h"
#include "transcoder/TimestampMath.h"
#include "transcoder/Transcoder.h"

namespace corvane {

namespace {

constexpr int kEncoderFinished = 1;
constexpr int kMuxerFinished = 2;
constexpr const char* kSeeLog =
    "Please check error log message(reported by FFLogger) to find out more detail information.";

std::uint64_t ReadLE(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Drops the packet's timestamps when the sync settings ask for it.
void DropTimestampsIfAsked(const TCustomFFmpeg& e, AVPacket* pkt, AVMediaType type) {
  if ((type == AVMEDIA_TYPE_VIDEO && e.Fvideo_sync_method == kVSyncDrop) ||
      (type == AVMEDIA_TYPE_AUDIO && e.Faudio_sync_method < 0))
    pkt->pts = pkt->dts = AV_NOPTS_VALUE;
}

// Video: the encoder's statistics, then the duration forced by a constant rate.
void TakeVideoPacketInfo(TCustomFFmpeg& e, TOutputStream& ost, AVPacket* pkt) {
  std::size_t size = 0;
  const std::uint8_t* sd = ff::av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &size);
  ReadQualityStats(sd, size, ost.quality, ost.pict_type, ost.error);
  if (ost.frame_rate.num && ost.is_cfr) {
    if (pkt->duration > 0)
      e.Log(llWarning, "Overriding packet duration by frame rate, this should not happen");
    pkt->duration = ff::av_rescale_q(1, av_inv_q(ost.frame_rate), ost.mux_timebase);
  }
}

// Replaces timestamps that would make the muxer fail: DTS after PTS, DTS going back.
void FixMuxTimestamps(TCustomFFmpeg& e, AVFormatContext* s, TOutputStream& ost, AVPacket* pkt) {
  if (s->oformat->flags & AVFMT_NOTIMESTAMPS) return;
  if (pkt->dts != AV_NOPTS_VALUE && pkt->pts != AV_NOPTS_VALUE && pkt->dts > pkt->pts) {
    ff::av_log(s, AV_LOG_WARNING,
               "Invalid DTS: %" PRId64 " PTS: %" PRId64
               " in output stream %d:%d, replacing by guess\n",
               pkt->dts, pkt->pts, ost.file_index, ost.st->index);
    pkt->pts = pkt->dts = GuessInvalidDts(pkt->pts, pkt->dts, ost.last_mux_dts);
  }
  const AVMediaType type = ost.st->codecpar->codec_type;
  const bool checked =
      type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_SUBTITLE;
  const bool vp9_copy = ost.st->codecpar->codec_id == AV_CODEC_ID_VP9 && ost.stream_copy;
  if (!checked || vp9_copy || pkt->dts == AV_NOPTS_VALUE || ost.last_mux_dts == AV_NOPTS_VALUE)
    return;
  const std::int64_t max =
      tsmath::SatAdd(ost.last_mux_dts, (s->oformat->flags & AVFMT_TS_NONSTRICT) ? 0 : 1);
  if (pkt->dts >= max) return;
  int level = (tsmath::SatSub(max, pkt->dts) > 2 || type == AVMEDIA_TYPE_VIDEO) ? AV_LOG_WARNING
                                                                                : AV_LOG_DEBUG;
  if (e.Fexit_on_error) level = AV_LOG_ERROR;
  ff::av_log(s, level,
             "Non-monotonous DTS in output stream %d:%d; previous: %" PRId64 ", current: %" PRId64
             "; ",
             ost.file_index, ost.st->index, ost.last_mux_dts, pkt->dts);
  if (e.Fexit_on_error) {
    ff::av_log(nullptr, AV_LOG_FATAL, "aborting.\n");
    e.Fatal("Non-monotonous DTS in output stream %d:%d; previous: %" PRId64 ", current: %" PRId64,
            ost.file_index, ost.st->index, ost.last_mux_dts, pkt->dts);
  }
  ff::av_log(s, level,
             "changing to %" PRId64
             ". This may result in incorrect timestamps in the output file.\n",
             max);
  if (pkt->pts >= pkt->dts) pkt->pts = std::max(pkt->pts, max);
  pkt->dts = max;
}

// Packets before the header: kept in the stream's queue, within its limits.
void QueuePacket(TCustomFFmpeg& e, TOutputStream& ost, AVPacket* pkt) {
  const std::size_t size = QueuedPacketCharge(pkt->size);
  if (MuxingQueueFull(ost.muxing_queue.size(), ost.muxing_queue_data_size, size,
                      ost.muxing_queue_data_threshold, ost.max_muxing_queue_size))
    e.Fatal("Too many packets buffered for output stream %d:%d.", ost.file_index, ost.st->index);
  if (ff::av_packet_make_refcounted(pkt) < 0) e.Fatal("av_packet_make_refcounted() failed.");
  PacketPtr queued = makePacket();
  if (!queued) e.Fatal("av_packet_alloc() failed.");
  ff::av_packet_move_ref(queued.get(), pkt);
  ost.muxing_queue_data_size += size;
  ost.muxing_queue.push_back(std::move(queued));
}

void LogMuxerTimestamps(TCustomFFmpeg& e, const TOutputStream& ost, const AVPacket* pkt) {
  char pts[AV_TS_MAX_STRING_SIZE], pts_time[AV_TS_MAX_STRING_SIZE];
  char dts[AV_TS_MAX_STRING_SIZE], dts_time[AV_TS_MAX_STRING_SIZE];
  AVRational tb = ost.st->time_base;
  av_ts_make_string(pts, pkt->pts);
  av_ts_make_time_string(pts_time, pkt->pts, &tb);
  av_ts_make_string(dts, pkt->dts);
  av_ts_make_time_string(dts_time, pkt->dts, &tb);
  const char* type = ff::av_get_media_type_string(ost.st->codecpar->codec_type);
  e.Log(llInfo, "muxer <- type:%s pkt_pts:%s pkt_pts_time:%s pkt_dts:%s pkt_dts_time:%s size:%d",
        type ? type : "?", pts, pts_time, dts, dts_time, pkt->size);
}

// The interleaved write; a failure finishes this stream and every encoder,
// and marks the run as failed.
void WritePacket(TCustomFFmpeg& e, TOutputFile& of, TOutputStream& ost, AVPacket* pkt) {
  e.FLastWrite = ff::av_gettime_relative();
  const int ret = ff::av_interleaved_write_frame(of.ctx.get(), pkt);
  if (ret >= 0) return;
  const std::string text = error_text("av_interleaved_write_frame()", ret) + ". " + kSeeLog;
  e.FRunFailed = true;
  e.Fail(ret, llError, text);
  e.MarkAllFinished(ost, kEncoderFinished | kMuxerFinished, kEncoderFinished);
}

}  // namespace

void ReadQualityStats(const std::uint8_t* sd, std::size_t size, int& quality, int& pict_type,
                      std::array<std::int64_t, 4>& error) {
  const bool valid = sd && size >= 6;
  quality = valid ? static_cast<std::int32_t>(ReadLE(sd, 4)) : -1;
  pict_type = valid ? sd[4] : 0;
  std::size_t count = valid ? sd[5] : 0;
  count = std::min(count, error.size());
  if (count > 0) count = std::min(count, size >= 8 ? (size - 8) / 8 : 0);
  for (std::size_t i = 0; i < error.size(); ++i)
    error[i] = i < count ? static_cast<std::int64_t>(ReadLE(sd + 8 + 8 * i, 8)) : -1;
}

std::int64_t GuessInvalidDts(std::int64_t pts, std::int64_t dts, std::int64_t last_mux_dts) {
  if (last_mux_dts == AV_NOPTS_VALUE || last_mux_dts == INT64_MAX) return std::min(pts, dts);
  const std::int64_t next = last_mux_dts + 1;
  return std::max(std::min(pts, dts), std::min(std::max(pts, dts), next));
}

std::size_t QueuedPacketCharge(int payload) {
  return kQueuedPacketOverhead + (payload > 0 ? static_cast<std::size_t>(payload) : 0);
}

bool MuxingQueueFull(std::size_t queued, std::size_t queued_bytes, std::size_t packet_bytes,
                     std::size_t data_threshold, int max_packets) {
  if (queued_bytes + packet_bytes <= data_threshold) return false;
  return queued >= static_cast<std::size_t>(std::max(max_packets, 0));
}

void TCustomFFmpeg::SendToMuxer(TOutputFile& of, AVPacket* pkt, TOutputStream& ost, bool eos) {
  int ret = 0;
  if (AVBSFContext* bsf = ost.bsf_ctx.get()) {
    ret = ff::av_bsf_send_packet(bsf, eos ? nullptr : pkt);
    while (ret >= 0) {
      ret = ff::av_bsf_receive_packet(bsf, pkt);
      if (ret >= 0) MuxPacket(of, pkt, ost, false);
    }
    if (ret == AVERROR(EAGAIN)) ret = 0;
  } else if (!eos) {
    MuxPacket(of, pkt, ost, false);
  }
  if (ret >= 0 || ret == AVERROR_EOF) return;
  const std::string text =
      strprintf("Error applying bitstream filters to an output packet for stream #%d:%d.",
                ost.file_index, ost.index);
  if (Fexit_on_error) Fatal(text);
  Log(llError, text.c_str());
}

void TCustomFFmpeg::MuxPacket(TOutputFile& of, AVPacket* pkt, TOutputStream& ost, bool from_queue) {
  AVFormatContext* s = of.ctx.get();
  const AVMediaType type = ost.st->codecpar->codec_type;
  // Encoded video frames are counted by the encoding step.
  if (!from_queue && !(type == AVMEDIA_TYPE_VIDEO && ost.encoding_needed)) {
    if (ost.frame_number >= ost.max_frames) {
      ff::av_packet_unref(pkt);
      return;
    }
    ++ost.frame_number;
  }
  if (!of.header_written) {
    QueuePacket(*this, ost, pkt);
    return;
  }
  DropTimestampsIfAsked(*this, pkt, type);
  if (type == AVMEDIA_TYPE_VIDEO) TakeVideoPacketInfo(*this, ost, pkt);
  ff::av_packet_rescale_ts(pkt, ost.mux_timebase, ost.st->time_base);
  FixMuxTimestamps(*this, s, ost, pkt);
  // A packet without DTS keeps the stream's place in the read order.
  if (pkt->dts != AV_NOPTS_VALUE) ost.last_mux_dts = pkt->dts;
  ost.data_size += pkt->size;
  ++ost.packets_written;
  pkt->stream_index = ost.index;
  if (Fdebug_ts) LogMuxerTimestamps(*this, ost, pkt);
  WritePacket(*this, of, ost, pkt);
  ff::av_packet_unref(pkt);
}

bool TCustomFFmpeg::AcceptsInput(const TInputStream& ist, const TOutputStream& ost) const {
  if (ost.source_index < 0 || ost.source_index >= Fnb_input_streams() ||
      Finput_streams[ost.source_index].get() != &ist)
    return false;
  if (ost.finished) return false;
  const TOutputFile& of = *Foutput_files[ost.file_index];
  return of.start_time == AV_NOPTS_VALUE || ist.pts >= of.start_time;
}

namespace {

// Whether a copied packet comes before the output's start and must go.
bool BeforeOutputStart(const TCustomFFmpeg& e, const TInputStream& ist, const TOutputStream& ost,
                       const AVPacket* pkt, std::int64_t start) {
  if (ost.frame_number != 0 || ost.copy_prior_start) return false;
  const TInputFile& f = *e.Finput_files[ist.file_index];
  std::int64_t comp_start = start;
  if (e.Fcopy_ts && f.start_time != AV_NOPTS_VALUE)
    comp_start = std::max(start, f.start_time + f.ts_offset);
  if (pkt->pts == AV_NOPTS_VALUE) return ist.pts < comp_start;
  return pkt->pts < ff::av_rescale_q(comp_start, AV_TIME_BASE_Q, ist.st->time_base);
}

// Whether a copied packet lies past the output's or the input's time limit.
bool PastRecordingTime(const TCustomFFmpeg& e, const TInputStream& ist, const TOutputFile& of,
                       std::int64_t start) {
  if (of.recording_time != INT64_MAX && ist.pts >= of.recording_time + start) return true;
  const TInputFile& f = *e.Finput_files[ist.file_index];
  if (f.recording_time == INT64_MAX) return false;
  std::int64_t ref = f.ctx->start_time == AV_NOPTS_VALUE ? 0 : f.ctx->start_time;
  if (f.start_time != AV_NOPTS_VALUE && e.Fcopy_ts) ref += f.start_time;
  return ist.pts >= f.recording_time + ref;
}

// Input timestamps into the output's mux time base, less the output start.
void RescaleCopiedPacket(TInputStream& ist, const TOutputStream& ost, const AVPacket* in,
                         AVPacket* out, std::int64_t start_tb) {
  const AVRational itb = ist.st->time_base;
  const AVRational otb = ost.mux_timebase;
  if (in->pts != AV_NOPTS_VALUE) out->pts = ff::av_rescale_q(in->pts, itb, otb) - start_tb;
  const AVCodecContext* dec = ist.dec_ctx.get();
  if (in->dts == AV_NOPTS_VALUE) {
    out->dts = ff::av_rescale_q(ist.dts, AV_TIME_BASE_Q, otb);
  } else if (ist.st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && dec && dec->sample_rate > 0) {
    int duration = ff::av_get_audio_frame_duration(ist.dec_ctx.get(), in->size);
    if (!duration) duration = dec->frame_size;
    out->dts = ff::av_rescale_delta(itb, in->dts, AVRational{1, dec->sample_rate}, duration,
                                    &ist.filter_in_rescale_delta_last, otb);
    out->pts = out->dts - start_tb;
  } else {
    out->dts = ff::av_rescale_q(in->dts, itb, otb);
  }
  out->dts -= start_tb;
  out->duration = ff::av_rescale_q(in->duration, itb, otb);
}

}  // namespace

void TCustomFFmpeg::CopyPacket(TInputStream& ist, TOutputStream& ost, const AVPacket* pkt) {
  TOutputFile& of = *Foutput_files[ost.file_index];
  const std::int64_t start = of.start_time == AV_NOPTS_VALUE ? 0 : of.start_time;
  const std::int64_t start_tb = ff::av_rescale_q(start, AV_TIME_BASE_Q, ost.mux_timebase);
  if (!ost.pkt) ost.pkt = makePacket();
  if (!ost.pkt) Fatal("av_packet_alloc() failed.");
  AVPacket* opkt = ost.pkt.get();
  ff::av_packet_unref(opkt);
  if (!pkt) {
    SendToMuxer(of, opkt, ost, true);
    return;
  }
  if (ost.frame_number == 0 && !(pkt->flags & AV_PKT_FLAG_KEY) && !ost.copy_initial_nonkeyframes)
    return;
  if (BeforeOutputStart(*this, ist, ost, pkt, start)) return;
  if (PastRecordingTime(*this, ist, of, start)) {
    CloseOutputStream(ost);
    return;
  }
  if (ost.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) ++ost.sync_opts;
  if (ff::av_packet_ref(opkt, pkt) < 0) Fatal("av_packet_ref() failed");
  RescaleCopiedPacket(ist, ost, pkt, opkt, start_tb);
  SendToMuxer(of, opkt, ost, false);
}

void TCustomFFmpeg::CloseOutputStream(TOutputStream& ost) {
  TOutputFile& of = *Foutput_files[ost.file_index];
  ost.finished |= kEncoderFinished;
  const AVRational tb = ost.enc_ctx ? ost.enc_ctx->time_base : AVRational{0, 0};
  if (of.shortest && tb.num > 0 && tb.den > 0) {
    const std::int64_t end = ff::av_rescale_q(ost.sync_opts - ost.first_pts, tb, AV_TIME_BASE_Q);
    of.recording_time = std::min(of.recording_time, end);
  }
}

void TCustomFFmpeg::FinishOutputStream(TOutputStream& ost) {
  const TOutputFile& of = *Foutput_files[ost.file_index];
  ost.finished = kEncoderFinished | kMuxerFinished;
  if (!of.shortest) return;
  for (auto& other : Foutput_streams)
    if (other->file_index == ost.file_index) other->finished = kEncoderFinished | kMuxerFinished;
}

void TCustomFFmpeg::MarkAllFinished(TOutputStream& ost, int this_stream, int others) {
  for (auto& other : Foutput_streams) other->finished |= other.get() == &ost ? this_stream : others;
}

}  // namespace corvane
