#include "player/Clock.h"

#include <algorithm>
#include <cmath>

#include "foundation/api/avutil.h"
#include "player/FrameQueue.h"

namespace corvane {

double SystemClockSeconds() { return static_cast<double>(ff::av_gettime_relative()) / 1000000.0; }

TClock::TClock(TClockSource now) : now_(now ? std::move(now) : TClockSource(SystemClockSeconds)) {}

void TClock::Init(const std::atomic<int>* q) {
  const double t = now_();
  std::lock_guard g(lock);
  speed = 1.0;
  paused = false;
  queue_serial = q;
  check_serial = true;
  setAtLocked(NAN, -1, t);
}

double TClock::getLocked(double t) const {
  if (check_serial && queue_serial && *queue_serial != serial) return NAN;
  if (paused) return pts;
  return pts_drift + t - (t - last_updated) * (1.0 - speed);
}

double TClock::Get() const {
  const double t = now_();
  std::lock_guard g(lock);
  return getLocked(t);
}

void TClock::setAtLocked(double p, int s, double time) {
  pts = p;
  last_updated = time;
  pts_drift = p - time;
  serial = s;
}

void TClock::SetAt(double p, int s, double time) {
  std::lock_guard g(lock);
  setAtLocked(p, s, time);
}

void TClock::Set(double p, int s) {
  const double t = now_();
  std::lock_guard g(lock);
  setAtLocked(p, s, t);
}

void TClock::SetSpeed(double v) {
  const double t = now_();
  std::lock_guard g(lock);
  setAtLocked(getLocked(t), serial, t);
  speed = v;
}

void TClock::SyncToSlave(const TClock& slave) {
  if (&slave == this) return;
  const double t = now_();
  double other;
  int other_serial;
  {
    std::lock_guard g(slave.lock);
    other = slave.getLocked(slave.now_());
    other_serial = slave.serial;
  }
  std::lock_guard g(lock);
  const double own = getLocked(t);
  if (!std::isnan(other) && (std::isnan(own) || std::fabs(own - other) > AV_NOSYNC_THRESHOLD))
    setAtLocked(other, other_serial, t);
}

void TClock::SetPaused(bool p) {
  std::lock_guard g(lock);
  paused = p;
}

bool TClock::Paused() const {
  std::lock_guard g(lock);
  return paused;
}

void TClock::SetCheckSerial(bool c) {
  std::lock_guard g(lock);
  check_serial = c;
}

double TClock::Speed() const {
  std::lock_guard g(lock);
  return speed;
}

double TClock::Pts() const {
  std::lock_guard g(lock);
  return pts;
}

double TClock::LastUpdated() const {
  std::lock_guard g(lock);
  return last_updated;
}

Tav_sync_type ChooseMasterSyncType(Tav_sync_type requested, bool video_open, bool audio_open) {
  switch (requested) {
    case AV_SYNC_VIDEO_MASTER:
      if (video_open) return AV_SYNC_VIDEO_MASTER;
      return audio_open ? AV_SYNC_AUDIO_MASTER : AV_SYNC_EXTERNAL_CLOCK;
    case AV_SYNC_AUDIO_MASTER:
      if (audio_open) return AV_SYNC_AUDIO_MASTER;
      return video_open ? AV_SYNC_VIDEO_MASTER : AV_SYNC_EXTERNAL_CLOCK;
    case AV_SYNC_EXTERNAL_CLOCK:
      break;
  }
  return AV_SYNC_EXTERNAL_CLOCK;
}

void TMasterSync::SetSyncType(Tav_sync_type type) {
  std::lock_guard g(lock);
  av_sync_type = type;
  av_sync_type_ok = false;
}

Tav_sync_type TMasterSync::SyncType() const {
  std::lock_guard g(lock);
  return av_sync_type;
}

void TMasterSync::SetStreamOpen(AVMediaType type, bool open) {
  std::lock_guard g(lock);
  if (type == AVMEDIA_TYPE_VIDEO) video_open = open;
  if (type == AVMEDIA_TYPE_AUDIO) audio_open = open;
  av_sync_type_ok = false;
}

bool TMasterSync::StreamOpen(AVMediaType type) const {
  std::lock_guard g(lock);
  return type == AVMEDIA_TYPE_VIDEO ? video_open : type == AVMEDIA_TYPE_AUDIO && audio_open;
}

Tav_sync_type TMasterSync::MasterSyncType() {
  std::lock_guard g(lock);
  if (!av_sync_type_ok) {
    master_sync_type = ChooseMasterSyncType(av_sync_type, video_open, audio_open);
    av_sync_type_ok = true;
  }
  return master_sync_type;
}

double TMasterSync::MasterClock(const TClock& audclk, const TClock& vidclk, const TClock& extclk) {
  switch (MasterSyncType()) {
    case AV_SYNC_VIDEO_MASTER:
      return vidclk.Get();
    case AV_SYNC_AUDIO_MASTER:
      return audclk.Get();
    case AV_SYNC_EXTERNAL_CLOCK:
      break;
  }
  return extclk.Get();
}

void AdjustExternalClockSpeed(TClock& extclk, bool video_open, int video_packets, bool audio_open,
                              int audio_packets) {
  const double speed = extclk.Speed();
  double next;
  if ((video_open && video_packets <= EXTERNAL_CLOCK_MIN_FRAMES) ||
      (audio_open && audio_packets <= EXTERNAL_CLOCK_MIN_FRAMES)) {
    next = std::max(EXTERNAL_CLOCK_SPEED_MIN, speed - EXTERNAL_CLOCK_SPEED_STEP);
  } else if ((!video_open || video_packets > EXTERNAL_CLOCK_MAX_FRAMES) &&
             (!audio_open || audio_packets > EXTERNAL_CLOCK_MAX_FRAMES)) {
    next = std::min(EXTERNAL_CLOCK_SPEED_MAX, speed + EXTERNAL_CLOCK_SPEED_STEP);
  } else {
    // Steps of 0.001 never add up to exactly 1.0: close to it, land on it.
    const double gap = 1.0 - speed;
    if (gap == 0.0) return;
    next = std::fabs(gap) <= EXTERNAL_CLOCK_SPEED_STEP * 1.5
               ? 1.0
               : speed + EXTERNAL_CLOCK_SPEED_STEP * gap / std::fabs(gap);
  }
  extclk.SetSpeed(next);
}

double FrameDuration(const TFFFrame& vp, const TFFFrame& nextvp, double max_frame_duration) {
  if (vp.serial != nextvp.serial) return 0.0;
  const double d = nextvp.pts - vp.pts;
  if (std::isnan(d) || d <= 0 || d > max_frame_duration) return vp.duration;
  return d;
}

namespace {
double syncThreshold(double delay) { return std::max(0.04, std::min(0.1, delay)); }
}  // namespace

double TargetDelay(double delay, double diff, Tav_sync_type master, double max_frame_duration,
                   double ext_speed) {
  if (master == AV_SYNC_VIDEO_MASTER) return delay;
  if (std::isnan(diff) || std::fabs(diff) >= max_frame_duration) return delay;
  const double threshold = syncThreshold(delay);
  if (diff <= -threshold) return std::max(0.0, delay + diff);
  if (diff >= threshold && delay > 0.1) return delay + diff;
  if (diff >= threshold) {
    if (master == AV_SYNC_EXTERNAL_CLOCK && ext_speed != 1.0) return delay / ext_speed;
    return 2 * delay;
  }
  return delay;
}

double FollowDelay(double delay, double diff, Tav_sync_type master, double max_frame_duration,
                   double ext_speed) {
  if (master == AV_SYNC_VIDEO_MASTER) return delay;
  if (std::isnan(diff) || std::fabs(diff) >= max_frame_duration)
    return TargetDelay(delay, diff, master, max_frame_duration, ext_speed);
  if (master == AV_SYNC_EXTERNAL_CLOCK && ext_speed > 0 && ext_speed != 1.0) {
    delay /= ext_speed;
    diff /= ext_speed;
  }
  const double d = TargetDelay(delay, diff, master, max_frame_duration, 1.0);
  if (std::fabs(diff) >= syncThreshold(delay)) return d;
  return std::max(0.0, d + AV_SYNC_FOLLOW_GAIN * diff);
}

}  // namespace corvane
