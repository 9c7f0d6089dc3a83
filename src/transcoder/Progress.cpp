// Progress reports during a run, the progress file, and the final statistics.
#include <cinttypes>
#include <cmath>

#include "foundation/ErrorText.h"
#include "transcoder/ProgressText.h"
#include "transcoder/Transcoder.h"

namespace corvane {

namespace {

using progress::TStreamSample;

// Bytes written to the first output so far, negative when unknown.
std::int64_t OutputSize(const TCustomFFmpeg& e) {
  if (e.Foutput_files.empty() || !e.Foutput_files[0]->ctx) return -1;
  AVIOContext* pb = e.Foutput_files[0]->ctx->pb;
  if (!pb) return -1;
  std::int64_t size = ff::avio_size(pb);
  if (size <= 0) size = ff::avio_seek(pb, 0, SEEK_CUR);
  return size;
}

void SamplePsnr(const TOutputStream& ost, bool final, TStreamSample& s) {
  const AVCodecContext* enc = ost.enc_ctx.get();
  s.psnr = !ost.stream_copy && enc && (enc->flags & AV_CODEC_FLAG_PSNR);
  if (!s.psnr) return;
  s.plane_scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
  for (std::size_t j = 0; j < 3; ++j)
    s.error[j] = final ? static_cast<std::int64_t>(enc->error[j]) : ost.error[j];
  if (final) s.plane_scale *= static_cast<double>(ost.frame_number);
}

TStreamSample Sample(const TOutputStream& ost, bool final) {
  TStreamSample s;
  s.file_index = ost.file_index;
  s.index = ost.index;
  const AVCodecContext* enc = ost.enc_ctx.get();
  s.video = enc && enc->codec_type == AVMEDIA_TYPE_VIDEO;
  s.stream_copy = ost.stream_copy != 0;
  s.quality = ost.quality;
  s.frame_number = ost.frame_number;
  s.pict_type = ost.pict_type;
  s.last_dropped = ost.last_dropped;
  if (ost.st) {
    const std::int64_t end = ff::av_stream_get_end_pts(ost.st);
    if (end != AV_NOPTS_VALUE)
      s.end_pts_us = ff::av_rescale_q(end, ost.st->time_base, AV_TIME_BASE_Q);
  }
  if (s.video) SamplePsnr(ost, final, s);
  return s;
}

// Whether this call makes a report (not final): interval and first-report rules.
bool ReportDue(TCustomFFmpeg& e, std::int64_t now) {
  if (e.Flast_time == -1) e.Flast_time = now;
  if ((now - e.Flast_time < e.FReportInterval && !e.Ffirst_report) ||
      (e.Ffirst_report && e.Fnb_output_dumped < e.Fnb_output_files()))
    return false;
  e.Flast_time = now;
  return true;
}

TProgressInfo ToInfo(const progress::TReport& r, std::int64_t size, std::int64_t total,
                     std::int64_t dup, bool final) {
  TProgressInfo info;
  info.FrameNumber = r.frame;
  info.FPS = r.frame < 0 ? -1.0f : static_cast<float>(std::lrint(r.fps));
  info.Quality = r.quality;
  info.BitRate = r.bitrate < 0 ? -1 : std::llrint(r.bitrate * 1000);
  info.CurrentSize = size < 0 ? 0 : size;
  info.CurrentDuration = r.raw_pts == progress::kNoTime ? 0 : r.raw_pts;
  info.TotalDuration = total;
  info.Speed = r.speed;
  info.FrameDuplicated = dup;
  info.FrameDropped = r.frames_drop;
  info.Final = final;
  return info;
}

void WriteProgressFile(TCustomFFmpeg& e, std::string text, bool final) {
  if (!e.Fprogress_avio) return;
  text += final ? "progress=end\n" : "progress=continue\n";
  e.FLastWrite = ff::av_gettime_relative();
  ff::avio_write(e.Fprogress_avio, reinterpret_cast<const unsigned char*>(text.data()),
                 static_cast<int>(text.size()));
  ff::avio_flush(e.Fprogress_avio);
  if (!final) {
    e.FLastWrite = INT64_MAX;
    return;
  }
  const int ret = ff::avio_closep(&e.Fprogress_avio);
  e.FLastWrite = INT64_MAX;
  if (ret < 0)
    e.Log(llError, "%s",
          error_text("Error closing progress log, loss of information possible", ret).c_str());
}

}  // namespace

void TCustomFFmpeg::ReportProgress(bool final, std::int64_t start_time, std::int64_t cur_time) {
  if (!Fprint_stats && !final && !Fprogress_avio && !FOnProgress) return;
  if (!final && !ReportDue(*this, cur_time)) return;

  progress::TReportInput in;
  in.final = final;
  in.seconds = static_cast<double>(cur_time - start_time) / 1000000.0;
  in.size = OutputSize(*this);
  in.qp_hist = Fqp_hist != 0;
  in.copy_ts = Fcopy_ts != 0;
  in.frames_dup = Fnb_frames_dup;
  in.frames_drop = Fnb_frames_drop;
  for (const auto& ost : Foutput_streams) in.streams.push_back(Sample(*ost, final));

  progress::TReportState state{Fcopy_ts_first_pts, Fqp_histogram};
  const progress::TReport r = progress::BuildReport(in, state);
  Fcopy_ts_first_pts = state.copy_ts_first_pts;
  Fqp_histogram = state.qp_histogram;
  Fnb_frames_drop = r.frames_drop;

  const bool stats_line = Fprint_stats && (!FOnProgress || FStatsWithProgressEvent);
  if (r.dup_end && FShowDupOrDrop && FOnProgress && !stats_line) {
    FShowDupOrDrop = false;
    Log(llInfo, "%s", r.line.substr(0, r.dup_end).c_str());
  }
  const TProgressInfo info = ToInfo(r, in.size, FOutputDuration, Fnb_frames_dup, final);
  SetProgress(info);
  if (FOnProgress) FOnProgress(this, info);
  if (stats_line || final) Log(llInfo, "%s", r.line.c_str());
  WriteProgressFile(*this, r.file, final);
  Ffirst_report = 0;
  if (final) LogFinalStatistics(in.size);
}

namespace {

void LogInputStatistics(TCustomFFmpeg& e) {
  for (std::size_t i = 0; i < e.Finput_files.size(); ++i) {
    const TInputFile& f = *e.Finput_files[i];
    std::int64_t packets = 0, bytes = 0;
    e.Log(llVerbose, "Input file #%d (%s):", static_cast<int>(i), f.ctx ? f.ctx->url : "");
    for (int j = 0; j < f.nb_streams; ++j) {
      const TInputStream& ist = *e.Finput_streams[static_cast<std::size_t>(f.ist_index + j)];
      const AVMediaType type = ist.st->codecpar->codec_type;
      std::string line =
          strprintf("  Input stream #%d:%d (%s): %" PRId64 " packets read (%" PRId64 " bytes); ",
                    static_cast<int>(i), j, ff::av_get_media_type_string(type), ist.nb_packets,
                    ist.data_size);
      if (ist.decoding_needed) {
        line += strprintf("%" PRId64 " frames decoded", ist.frames_decoded);
        if (type == AVMEDIA_TYPE_AUDIO)
          line += strprintf(" (%" PRId64 " samples)", ist.samples_decoded);
        line += "; ";
      }
      e.Log(llVerbose, "%s", line.c_str());
      packets += ist.nb_packets;
      bytes += ist.data_size;
    }
    e.Log(llVerbose, "  Total: %" PRId64 " packets (%" PRId64 " bytes) demuxed", packets, bytes);
  }
}

void LogOutputStatistics(TCustomFFmpeg& e) {
  for (std::size_t i = 0; i < e.Foutput_files.size(); ++i) {
    const TOutputFile& of = *e.Foutput_files[i];
    std::int64_t packets = 0, bytes = 0;
    e.Log(llVerbose, "Output file #%d (%s):", static_cast<int>(i), of.ctx ? of.ctx->url : "");
    const int count = of.ctx ? static_cast<int>(of.ctx->nb_streams) : 0;
    for (int j = 0; j < count; ++j) {
      const TOutputStream& ost = *e.Foutput_streams[static_cast<std::size_t>(of.ost_index + j)];
      const AVMediaType type = ost.enc_ctx ? ost.enc_ctx->codec_type : AVMEDIA_TYPE_UNKNOWN;
      std::string line = strprintf("  Output stream #%d:%d (%s): ", static_cast<int>(i), j,
                                   ff::av_get_media_type_string(type));
      if (ost.encoding_needed) {
        line += strprintf("%" PRId64 " frames encoded", ost.frames_encoded);
        if (type == AVMEDIA_TYPE_AUDIO)
          line += strprintf(" (%" PRId64 " samples)", ost.samples_encoded);
        line += "; ";
      }
      line += strprintf("%" PRId64 " packets muxed (%" PRId64 " bytes); ", ost.packets_written,
                        ost.data_size);
      e.Log(llVerbose, "%s", line.c_str());
      packets += ost.packets_written;
      bytes += ost.data_size;
    }
    e.Log(llVerbose, "  Total: %" PRId64 " packets (%" PRId64 " bytes) muxed", packets, bytes);
  }
}

}  // namespace

void TCustomFFmpeg::LogFinalStatistics(std::int64_t total_size) {
  progress::TFinalSizes sizes;
  sizes.total_size = total_size;
  bool pass1_only = true;
  for (const auto& ost : Foutput_streams) {
    const AVCodecContext* enc = ost->enc_ctx.get();
    const AVMediaType type = enc ? enc->codec_type : AVMEDIA_TYPE_UNKNOWN;
    if (type == AVMEDIA_TYPE_VIDEO)
      sizes.video += ost->data_size;
    else if (type == AVMEDIA_TYPE_AUDIO)
      sizes.audio += ost->data_size;
    else if (type == AVMEDIA_TYPE_SUBTITLE)
      sizes.subtitle += ost->data_size;
    else
      sizes.other += ost->data_size;
    if (enc) sizes.extradata += enc->extradata_size;
    if (!enc || (enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)) != AV_CODEC_FLAG_PASS1)
      pass1_only = false;
  }
  Log(llInfo, "%s", progress::FinalSizesLine(sizes).c_str());
  LogInputStatistics(*this);
  LogOutputStatistics(*this);
  if (sizes.data() + sizes.extradata == 0)
    Log(llWarning, "%s%s", "Output file is empty, nothing was encoded",
        pass1_only ? "" : " (check -ss / -t / -frames parameters if used)");
  Log(llInfo, "%" PRId64 " frames successfully decoded, %" PRId64 " decoding errors",
      Fdecode_error_stat[0], Fdecode_error_stat[1]);
}

}  // namespace corvane
