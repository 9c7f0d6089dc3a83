// Repair of demuxed packet timestamps, as functions of their inputs only:
// counter wrap, offset and scale, jumps between and within streams, and the
// length of one pass of a looped input.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/rational.h>
}

namespace corvane::tsrepair {

// Timestamps of one packet in its stream's time base (AV_NOPTS_VALUE: none).
struct TPacketTs {
  std::int64_t dts = AV_NOPTS_VALUE;
  std::int64_t pts = AV_NOPTS_VALUE;
};

// Undoes a wrap of a wrap_bits-bit timestamp counter: a timestamp more than
// half the counter range above the start (stream time base) lies before the
// wrap. `done` is false while a timestamp still had to be corrected.
struct TWrapResult {
  TPacketTs ts;
  bool done = true;
};
TWrapResult CorrectWrap(TPacketTs ts, std::int64_t start, int wrap_bits);

// (ts + offset) * scale, rounded to nearest with halves to even; none stays none.
std::int64_t OffsetAndScale(std::int64_t ts, std::int64_t offset, double scale);

// Whether |delta| (microseconds) exceeds threshold seconds.
bool ExceedsThreshold(std::int64_t delta, float threshold);

// Jump between streams of a file with discontinuous timestamps: the amount
// (microseconds) to take off the file's offset, or 0 when within threshold.
std::int64_t InterStreamJump(std::int64_t pkt_dts, std::int64_t last_ts, float threshold);

// Whether a jump from next_dts to pkt_dts (microseconds) is better explained
// by a wrap of the packet's wrap_bits-bit counter (dts in time base tb).
bool JumpIsWrap(std::int64_t dts, AVRational tb, int wrap_bits, std::int64_t pkt_dts,
                std::int64_t next_dts);

// What to do with a packet whose DTS strays from the stream's prediction.
struct TIntraStreamFix {
  std::int64_t shift = 0;  // microseconds to take off the offset and timestamps
  bool drop_dts = false;
  bool drop_pts = false;
};
struct TIntraStreamInput {
  std::int64_t pkt_dts;   // microseconds
  std::int64_t pkt_pts;   // microseconds or AV_NOPTS_VALUE
  std::int64_t next_dts;  // prediction, microseconds
  std::int64_t last_pts;  // the stream's current pts and dts, microseconds
  std::int64_t last_dts;
  bool discontinuous;  // the format allows timestamp jumps
  float delta_threshold;
  float error_threshold;
};
TIntraStreamFix CheckIntraStream(const TIntraStreamInput& in);

// Length of a looped file: the longer of the current length (0 = none) and
// a stream's span [min_pts, max_pts] plus its last frame (stream time base).
struct TLength {
  std::int64_t duration = 0;
  AVRational time_base{1, 1};
};
TLength LongerLength(TLength current, std::int64_t min_pts, std::int64_t max_pts,
                     std::int64_t last_frame, AVRational stream_tb);

// "NOPTS" or the integer; "NOPTS" or the time in seconds ("%.6g").
std::string TsText(std::int64_t ts);
std::string TsTimeText(std::int64_t ts, AVRational tb);

}  // namespace corvane::tsrepair
