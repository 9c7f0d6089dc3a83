#include "transcoder/ProgressText.h"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>

#include "foundation/StrFormat.h"

extern "C" {
#include <libavutil/avutil.h>
}

namespace corvane::progress {

namespace {

double QualityOf(const TStreamSample& s) {
  return s.stream_copy ? -1.0 : static_cast<double>(s.quality) / FF_QP2LAMBDA;
}

void AppendQpHistogram(TReport& r, TReportState& state, double q) {
  const long qp = std::lrint(q);
  if (qp >= 0 && qp < kQpHistogramSize) ++state.qp_histogram[static_cast<std::size_t>(qp)];
  for (int j = 0; j < 32; ++j) {
    const auto count = static_cast<unsigned>(state.qp_histogram[static_cast<std::size_t>(j)]);
    r.line += strprintf("%X", static_cast<int>(std::bit_width(count + 1u)) - 1);
  }
}

void AppendPsnr(TReport& r, const TStreamSample& s) {
  static const char kUpper[] = "YUV";
  static const char kLower[] = "yuv";
  double error_sum = 0, scale_sum = 0;
  r.line += "PSNR=";
  for (int j = 0; j < 3; ++j) {
    const double error = static_cast<double>(s.error[static_cast<std::size_t>(j)]);
    const double scale = j ? s.plane_scale / 4 : s.plane_scale;
    error_sum += error;
    scale_sum += scale;
    const double p = Psnr(error / scale);
    r.line += strprintf("%c:%2.2f ", kUpper[j], p);
    r.file += strprintf("stream_%d_%d_psnr_%c=%2.2f\n", s.file_index, s.index, kLower[j], p);
  }
  const double all = Psnr(error_sum / scale_sum);
  r.line += strprintf("*:%2.2f ", all);
  r.file += strprintf("stream_%d_%d_psnr_all=%2.2f\n", s.file_index, s.index, all);
}

// The first video stream that has frames: frame count, rate, quality.
void AppendFirstVideo(TReport& r, TReportState& state, const TReportInput& in,
                      const TStreamSample& s, double q) {
  r.frame = s.frame_number;
  r.fps = in.seconds > 1 ? static_cast<double>(s.frame_number) / in.seconds : 0;
  r.line += strprintf("frame=%5" PRId64 " fps=%3.*f q=%3.1f ", s.frame_number, r.fps < 9.95 ? 1 : 0,
                      r.fps, q);
  r.file += strprintf("frame=%" PRId64 "\n", s.frame_number);
  r.file += strprintf("fps=%.2f\n", r.fps);
  r.file += strprintf("stream_%d_%d_q=%.1f\n", s.file_index, s.index, q);
  if (in.final) r.line += "L";
  if (in.qp_hist) AppendQpHistogram(r, state, q);
  if (s.psnr && (s.pict_type || in.final)) AppendPsnr(r, s);
}

// The running end time; with copied timestamps, relative to the first one.
void TakeEndTime(TReport& r, TReportState& state, const TReportInput& in, const TStreamSample& s) {
  if (s.end_pts_us == kNoTime) return;
  r.raw_pts = std::max(r.raw_pts, s.end_pts_us);
  r.pts = r.raw_pts;
  if (in.copy_ts) {
    if (state.copy_ts_first_pts == kNoTime && r.raw_pts > 1) state.copy_ts_first_pts = r.raw_pts;
    if (state.copy_ts_first_pts != kNoTime) r.pts = r.raw_pts - state.copy_ts_first_pts;
  }
}

void AppendStreams(TReport& r, TReportState& state, const TReportInput& in) {
  bool have_first_video = false;
  for (const TStreamSample& s : in.streams) {
    const double q = QualityOf(s);
    r.quality = static_cast<float>(q);
    if (s.video && have_first_video) {
      r.line += strprintf("q=%2.1f ", q);
      r.file += strprintf("stream_%d_%d_q=%.1f\n", s.file_index, s.index, q);
    } else if (s.video) {
      if (s.frame_number == 0) continue;
      have_first_video = true;
      AppendFirstVideo(r, state, in, s, q);
    }
    TakeEndTime(r, state, in, s);
    if (in.final) r.frames_drop += s.last_dropped;
  }
}

void AppendSizeAndTime(TReport& r, const TReportInput& in) {
  if (in.size < 0)
    r.line += "size=N/A time=";
  else
    r.line += strprintf("size=%8.0fkB time=", static_cast<double>(in.size) / 1024);
  r.line += r.pts == kNoTime ? std::string("N/A ") : FormatClock(r.pts, 3) + " ";
  if (r.bitrate < 0) {
    r.line += "bitrate=N/A";
    r.file += "bitrate=N/A\n";
  } else {
    r.line += strprintf("bitrate=%6.1fkbits/s", r.bitrate);
    r.file += strprintf("bitrate=%6.1fkbits/s\n", r.bitrate);
  }
  r.file += in.size < 0 ? std::string("total_size=N/A\n")
                        : strprintf("total_size=%" PRId64 "\n", in.size);
  if (r.pts == kNoTime) {
    r.file += "out_time_us=N/A\nout_time_ms=N/A\nout_time=N/A\n";
  } else {
    r.file += strprintf("out_time_us=%" PRId64 "\n", r.pts);
    r.file += strprintf("out_time_ms=%" PRId64 "\n", r.pts);
    r.file += "out_time=" + FormatClock(r.pts, 6) + "\n";
  }
}

void AppendDupDropAndSpeed(TReport& r, const TReportInput& in) {
  if (in.frames_dup || r.frames_drop) {
    r.line += strprintf(" dup=%" PRId64 " drop=%" PRId64, in.frames_dup, r.frames_drop);
    r.dup_end = r.line.size();
  }
  r.file += strprintf("dup_frames=%" PRId64 "\n", in.frames_dup);
  r.file += strprintf("drop_frames=%" PRId64 "\n", r.frames_drop);
  if (r.speed < 0) {
    r.line += " speed=N/A";
    r.file += "speed=N/A\n";
  } else {
    r.line += strprintf(" speed=%4.3gx", r.speed);
    r.file += strprintf("speed=%4.3gx\n", r.speed);
  }
}

}  // namespace

std::string FormatClock(std::int64_t us, int digits) {
  // |INT64_MIN| does not fit: saturate one below.
  const std::uint64_t a =
      us < 0 ? static_cast<std::uint64_t>(-(us + 1)) + 1u : static_cast<std::uint64_t>(us);
  const std::uint64_t secs = a / 1000000u;
  const std::uint64_t frac = digits == 3 ? (a % 1000000u) / 1000u : a % 1000000u;
  return strprintf("%s%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64 ".%0*" PRIu64, us < 0 ? "-" : "",
                   secs / 3600u, (secs / 60u) % 60u, secs % 60u, digits, frac);
}

double BitRate(std::int64_t size, std::int64_t us) {
  if (us == kNoTime || us == 0 || size < 0) return -1;
  return static_cast<double>(size) * 8 / (static_cast<double>(us) / 1000.0);
}

double Speed(std::int64_t us, double seconds) {
  if (us == kNoTime || seconds == 0) return -1;
  return static_cast<double>(us) / 1000000.0 / seconds;
}

double Psnr(double d) { return -10.0 * std::log10(d); }

TReport BuildReport(const TReportInput& in, TReportState& state) {
  TReport r;
  r.frames_drop = in.frames_drop;
  AppendStreams(r, state, in);
  r.bitrate = BitRate(in.size, r.pts);
  r.speed = Speed(r.pts, in.seconds);
  AppendSizeAndTime(r, in);
  AppendDupDropAndSpeed(r, in);
  return r;
}

std::string FinalSizesLine(const TFinalSizes& s) {
  const std::int64_t data = s.data();
  std::string overhead = "unknown";
  if (data > 0 && s.total_size >= data)
    overhead = strprintf(
        "%f%%", 100.0 * static_cast<double>(s.total_size - data) / static_cast<double>(data));
  auto kb = [](std::int64_t v) { return static_cast<double>(v) / 1024.0; };
  return strprintf(
      "video:%1.0fkB audio:%1.0fkB subtitle:%1.0fkB other streams:%1.0fkB global headers:%1.0fkB "
      "muxing overhead: %s",
      kb(s.video), kb(s.audio), kb(s.subtitle), kb(s.other), kb(s.extradata), overhead.c_str());
}

std::string VideoStatsLine(const TVideoStatsSample& s) {
  const double q = static_cast<double>(s.quality) / FF_QP2LAMBDA;
  std::string line = s.version < 2 ? strprintf("frame= %5" PRId64 " q= %2.1f ", s.frame_number, q)
                                   : strprintf("out= %2d st= %2d frame= %5" PRId64 " q= %2.1f ",
                                               s.file_index, s.index, s.frame_number, q);
  if (s.error0 >= 0 && s.psnr) {
    const double scale = static_cast<double>(s.width) * s.height * 255.0 * 255.0;
    line += strprintf("PSNR= %6.2f ", Psnr(static_cast<double>(s.error0) / scale));
  }
  line += strprintf("f_size= %6d ", s.frame_size);
  const double t = std::max(s.seconds, 0.01);
  const double br = s.time_base > 0 ? s.frame_size * 8 / s.time_base / 1000.0 : 0.0;
  const double avg = static_cast<double>(s.data_size) * 8 / t / 1000.0;
  line += strprintf("s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                    static_cast<double>(s.data_size) / 1024, t, br, avg);
  line += strprintf("type= %c\n", s.pict_type);
  return line;
}

}  // namespace corvane::progress
