#include "transcoder/TimestampRepair.h"

#include <cmath>
#include <cstdlib>

#include "foundation/StrFormat.h"
#include "foundation/api/avutil.h"
#include "transcoder/TimestampMath.h"

namespace corvane::tsrepair {

namespace {

// One timestamp against the wrap limit, in 128 bits so that 63-bit counters
// cannot overflow.
bool Unwrap(std::int64_t& ts, __int128 limit, __int128 range) {
  if (ts == AV_NOPTS_VALUE || static_cast<__int128>(ts) <= limit) return false;
  ts = static_cast<std::int64_t>(ts - range);
  return true;
}

}  // namespace

TWrapResult CorrectWrap(TPacketTs ts, std::int64_t start, int wrap_bits) {
  TWrapResult r{ts, true};
  if (wrap_bits <= 0 || wrap_bits >= 64) return r;
  const __int128 range = static_cast<__int128>(1) << wrap_bits;
  // A counter range that does not fit above the start cannot have wrapped.
  if (start + range > INT64_MAX) return r;
  const __int128 limit = start + (range >> 1);
  if (Unwrap(r.ts.dts, limit, range)) r.done = false;
  if (Unwrap(r.ts.pts, limit, range)) r.done = false;
  return r;
}

std::int64_t OffsetAndScale(std::int64_t ts, std::int64_t offset, double scale) {
  const std::int64_t sum = tsmath::AddOrNone(ts, offset);
  if (sum == AV_NOPTS_VALUE) return sum;
  return tsmath::RoundOrNone(static_cast<double>(sum) * scale);
}

bool ExceedsThreshold(std::int64_t delta, float threshold) {
  const double limit = static_cast<double>(threshold) * AV_TIME_BASE;
  const double d = static_cast<double>(delta);
  return d < -limit || d > limit;
}

std::int64_t InterStreamJump(std::int64_t pkt_dts, std::int64_t last_ts, float threshold) {
  if (pkt_dts == AV_NOPTS_VALUE || last_ts == AV_NOPTS_VALUE) return 0;
  const std::int64_t delta = tsmath::SatSub(pkt_dts, last_ts);
  return ExceedsThreshold(delta, threshold) ? delta : 0;
}

bool JumpIsWrap(std::int64_t dts, AVRational tb, int wrap_bits, std::int64_t pkt_dts,
                std::int64_t next_dts) {
  if (wrap_bits <= 0 || wrap_bits >= 60 || dts == AV_NOPTS_VALUE) return false;
  using tsmath::SatAbs, tsmath::SatSub;
  const std::int64_t wrapped = tsmath::SatAdd(dts, std::int64_t{1} << wrap_bits);
  const std::int64_t wrap_dts = ff::av_rescale_q(wrapped, tb, AVRational{1, AV_TIME_BASE});
  return SatAbs(SatSub(wrap_dts, next_dts)) < SatAbs(SatSub(pkt_dts, next_dts)) / 10;
}

TIntraStreamFix CheckIntraStream(const TIntraStreamInput& in) {
  TIntraStreamFix fix;
  const std::int64_t delta = tsmath::SatSub(in.pkt_dts, in.next_dts);
  if (in.discontinuous) {
    if (ExceedsThreshold(delta, in.delta_threshold) ||
        tsmath::SatAdd(in.pkt_dts, AV_TIME_BASE / 10) < std::max(in.last_pts, in.last_dts))
      fix.shift = delta;
    return fix;
  }
  fix.drop_dts = ExceedsThreshold(delta, in.error_threshold);
  fix.drop_pts = in.pkt_pts != AV_NOPTS_VALUE &&
                 ExceedsThreshold(tsmath::SatSub(in.pkt_pts, in.next_dts), in.error_threshold);
  return fix;
}

TLength LongerLength(TLength current, std::int64_t min_pts, std::int64_t max_pts,
                     std::int64_t last_frame, AVRational stream_tb) {
  std::int64_t length = last_frame;
  if (max_pts > min_pts && static_cast<__int128>(max_pts) - min_pts + length < INT64_MAX)
    length += max_pts - min_pts;
  if (current.duration == 0 ||
      ff::av_compare_ts(current.duration, current.time_base, length, stream_tb) < 0)
    return TLength{length, stream_tb};
  return current;
}

std::string TsText(std::int64_t ts) {
  return ts == AV_NOPTS_VALUE ? std::string("NOPTS") : strprintf("%" PRId64, ts);
}

std::string TsTimeText(std::int64_t ts, AVRational tb) {
  return ts == AV_NOPTS_VALUE ? std::string("NOPTS") : strprintf("%.6g", av_q2d(tb) * ts);
}

}  // namespace corvane::tsrepair
