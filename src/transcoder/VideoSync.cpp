#include "transcoder/VideoSync.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>

extern "C" {
#include <libavformat/avformat.h>
}

namespace corvane {

namespace {

// Nearest integer, saturated to the 64-bit range (NaN gives 0).
std::int64_t RoundToInt64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2e18) return INT64_MAX;
  if (v <= -9.2e18) return INT64_MIN;
  return std::llrint(v);
}

// Frame counts of one frame for the chosen method (steps with a frame).
void DecideWithFrame(const TVideoSyncInput& in, TVideoSyncDecision& d) {
  double delta0 = d.sync_ipts - static_cast<double>(d.sync_opts);
  double duration = in.duration;
  double delta = delta0 + duration;
  d.nb0 = 0;
  d.nb = 1;
  if (delta0 < 0 && delta > 0 && in.method != VSYNC_PASSTHROUGH && in.method != VSYNC_DROP) {
    d.note = delta0 < -0.6 ? TVideoSyncNote::PastDuration : TVideoSyncNote::Clipped;
    d.clip_amount = -delta0;
    d.sync_ipts = static_cast<double>(d.sync_opts);
    duration += delta0;
    delta0 = 0;
  }
  switch (in.method) {
    case VSYNC_VSCFR:
      if (in.frame_number == 0 && delta0 >= 0.5) {
        d.note = TVideoSyncNote::InitialSkip;
        d.initial_frames = RoundToInt64(delta0);
        delta = duration;
        delta0 = 0;
        d.sync_opts = RoundToInt64(d.sync_ipts);
      }
      [[fallthrough]];
    case VSYNC_CFR:
      if (in.frame_drop_threshold != 0 && delta < in.frame_drop_threshold && in.frame_number > 0) {
        d.nb = 0;
      } else if (delta < -1.1) {
        d.nb = 0;
      } else if (delta > 1.1) {
        d.nb = RoundToInt64(delta);
        if (delta0 > 1.1) d.nb0 = RoundToInt64(delta0 - 0.6);
      }
      break;
    case VSYNC_VFR:
      if (delta <= -0.6)
        d.nb = 0;
      else if (delta > 0.6)
        d.sync_opts = RoundToInt64(d.sync_ipts);
      break;
    case VSYNC_DROP:
    case VSYNC_PASSTHROUGH:
      d.sync_opts = RoundToInt64(d.sync_ipts);
      break;
    default:
      d.nb = -1;
      break;
  }
}

// Limits the counts and records the copy count in the history.
void LimitAndRecord(const TVideoSyncInput& in, TVideoSyncDecision& d) {
  const std::int64_t room = in.max_frames > in.frame_number ? in.max_frames - in.frame_number : 0;
  d.nb = std::clamp<std::int64_t>(d.nb, 0, room);
  d.nb0 = std::clamp<std::int64_t>(d.nb0, 0, d.nb);
  d.last_nb0_frames = {static_cast<int>(std::min<std::int64_t>(d.nb0, INT_MAX)),
                       in.last_nb0_frames[0], in.last_nb0_frames[1]};
}

// Duplication and drop bookkeeping.
void Account(const TVideoSyncInput& in, TVideoSyncDecision& d) {
  d.dropped_previous = d.nb0 == 0 && in.last_dropped;
  const int refill = (d.nb0 > 0 && in.last_dropped) ? 1 : 0;
  const int fresh = d.nb > d.nb0 ? 1 : 0;
  if (d.nb > refill + fresh) {
    if (static_cast<double>(d.nb) > in.max_duplicates) {
      d.too_many_duplicates = true;
      return;
    }
    d.duplicated = d.nb - refill - fresh;
  }
  d.last_dropped = (d.nb == d.nb0 && in.have_frame) ? 1 : 0;
}

}  // namespace

int ChooseVideoSync(const TVideoSyncContext& c) {
  int method = c.configured;
  if (method == VSYNC_AUTO) {
    if (c.muxer_is_avi)
      method = VSYNC_VFR;
    else if (!(c.muxer_flags & AVFMT_VARIABLE_FPS))
      method = VSYNC_CFR;
    else
      method = (c.muxer_flags & AVFMT_NOTIMESTAMPS) ? VSYNC_PASSTHROUGH : VSYNC_VFR;
    if (method == VSYNC_CFR && (c.single_plain_input || c.copy_ts)) method = VSYNC_VSCFR;
  }
  return method;
}

int MedianOf3(const std::array<int, 3>& v) {
  return std::max(std::min(v[0], v[1]), std::min(std::max(v[0], v[1]), v[2]));
}

double DuplicationCap(double seconds, AVRational time_base) {
  if (time_base.num <= 0 || time_base.den <= 0) return seconds;
  return seconds / av_q2d(time_base);
}

std::int64_t RescaleQ(std::int64_t a, AVRational b, AVRational c) {
  __extension__ typedef __int128 Wide;
  const Wide num = static_cast<Wide>(a) * b.num * c.den;
  const Wide den = static_cast<Wide>(b.den) * c.num;
  if (den <= 0) return INT64_MIN;
  const bool negative = num < 0;
  const Wide q = ((negative ? -num : num) + den / 2) / den;
  const Wide limit = INT64_MAX;
  const Wide r = q > limit ? limit : q;
  return static_cast<std::int64_t>(negative ? -r : r);
}

double ExactFrameTimestamp(std::int64_t pts, AVRational filter_tb, AVRational enc_tb,
                           std::int64_t start_us) {
  const int log2_den = enc_tb.den > 0 ? std::bit_width(static_cast<unsigned>(enc_tb.den)) - 1 : 0;
  const int extra = std::clamp(29 - log2_den, 0, 16);
  AVRational tb = enc_tb;
  tb.den = static_cast<int>(static_cast<unsigned>(tb.den) << extra);
  double exact = static_cast<double>(RescaleQ(pts, filter_tb, tb)) -
                 static_cast<double>(RescaleQ(start_us, AVRational{1, 1000000}, tb));
  exact /= static_cast<double>(1 << extra);
  exact += (exact > 0 ? 1.0 : -1.0) / (1 << 17);
  return exact;
}

TVideoSyncDecision DecideVideoSync(const TVideoSyncInput& in) {
  TVideoSyncDecision d;
  d.sync_opts = in.sync_opts;
  d.sync_ipts = in.sync_ipts;
  d.last_dropped = in.last_dropped;
  if (!in.have_frame) {
    d.nb0 = d.nb = MedianOf3(in.last_nb0_frames);
  } else {
    DecideWithFrame(in, d);
    if (d.nb < 0) return d;
  }
  LimitAndRecord(in, d);
  Account(in, d);
  return d;
}

}  // namespace corvane
