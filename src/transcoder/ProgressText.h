// Texts of the progress report, the progress file, the final statistics and
// the video statistics file, built from plain values (no library state).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane::progress {

inline constexpr std::int64_t kNoTime = INT64_MIN;  // the libraries' "no timestamp"
inline constexpr int kQpHistogramSize = 52;

// One output stream as a progress report reads it.
struct TStreamSample {
  int file_index = 0;
  int index = 0;
  bool video = false;
  bool stream_copy = false;
  int quality = 0;  // lambda units
  std::int64_t frame_number = 0;
  int pict_type = 0;
  bool psnr = false;                    // the encoder computes PSNR
  std::array<std::int64_t, 3> error{};  // per-plane squared error of the report
  double plane_scale = 0;               // luma samples × 255², × frames in the final report
  std::int64_t end_pts_us = kNoTime;    // end of the data written, microseconds
  int last_dropped = 0;
};

struct TReportInput {
  bool final = false;
  double seconds = 0;      // wall time since the start
  std::int64_t size = -1;  // bytes of the first output, negative unknown
  bool qp_hist = false;
  bool copy_ts = false;
  std::int64_t frames_dup = 0;
  std::int64_t frames_drop = 0;
  std::vector<TStreamSample> streams;
};

// Carried from one report of a run to the next.
struct TReportState {
  std::int64_t copy_ts_first_pts = kNoTime;
  std::array<int, kQpHistogramSize> qp_histogram{};
};

struct TReport {
  std::string line;         // the log line
  std::string file;         // key=value lines, without the final "progress=" line
  std::size_t dup_end = 0;  // length of line up to the dup/drop part (0 when absent)
  std::int64_t frame = -1;  // first video stream, -1 without
  double fps = -1;
  float quality = 0;    // of the last stream examined
  double bitrate = -1;  // kbit/s, -1 unknown
  double speed = -1;
  std::int64_t pts = kNoTime;      // reported time, microseconds
  std::int64_t raw_pts = kNoTime;  // uncorrected for copied timestamps
  std::int64_t frames_drop = 0;    // drop counter after the report
};

TReport BuildReport(const TReportInput& in, TReportState& state);

// "hh:mm:ss.fff" (digits = 3) or "hh:mm:ss.ffffff" (digits = 6) of |us|,
// preceded by "-" when negative.
std::string FormatClock(std::int64_t us, int digits);
// kbit/s of size bytes over us microseconds, -1 when unknown.
double BitRate(std::int64_t size, std::int64_t us);
// Media time per wall time, -1 when unknown.
double Speed(std::int64_t us, double seconds);
// -10·log10(d)
double Psnr(double d);

struct TFinalSizes {
  std::int64_t video = 0, audio = 0, subtitle = 0, other = 0, extradata = 0;
  std::int64_t total_size = -1;  // bytes of the output, negative unknown
  std::int64_t data() const { return video + audio + subtitle + other; }
};
// "video:...kB audio:... muxing overhead: ..."
std::string FinalSizesLine(const TFinalSizes& s);

struct TVideoStatsSample {
  int version = 2;
  int file_index = 0;
  int index = 0;
  std::int64_t frame_number = 0;
  int quality = 0;  // lambda units
  bool psnr = false;
  std::int64_t error0 = 0;
  int width = 0, height = 0;
  int frame_size = 0;
  std::int64_t data_size = 0;
  double seconds = 0;    // end of the stream written so far
  double time_base = 0;  // encoder time base as a number
  char pict_type = '?';
};
std::string VideoStatsLine(const TVideoStatsSample& s);

}  // namespace corvane::progress
