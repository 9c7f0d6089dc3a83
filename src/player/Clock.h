// Playback clocks and the choice of the master clock.
#pragma once

#include <atomic>
#include <cmath>
#include <functional>
#include <mutex>

extern "C" {
#include <libavutil/avutil.h>
}

namespace corvane {

struct TFFFrame;

// Seconds of a monotonic clock.
using TClockSource = std::function<double()>;
// av_gettime_relative() in seconds.
double SystemClockSeconds();

// Differences beyond this many seconds are not corrected but jumped over.
inline constexpr double AV_NOSYNC_THRESHOLD = 10.0;

// A clock that runs at `speed` from the value it was last set to. It follows
// the serial of a packet queue: once the queue is flushed it reads NaN until
// it is set from a frame of the new serial. Every method may be called from
// any thread; a clock's fields are always read and written together.
class TClock {
 public:
  // An empty source means SystemClockSeconds.
  explicit TClock(TClockSource now = {});
  TClock(const TClock&) = delete;
  TClock& operator=(const TClock&) = delete;

  // Speed 1, running, following `queue_serial` (null: its own serial), then
  // Set(NaN, -1).
  void Init(const std::atomic<int>* queue_serial);
  double Get() const;
  void SetAt(double pts, int serial, double time);
  void Set(double pts, int serial);
  // Re-anchors at the current value, then changes the speed.
  void SetSpeed(double speed);
  // Jumps to the slave's value when that is known and this clock is unknown
  // or more than AV_NOSYNC_THRESHOLD away from it.
  void SyncToSlave(const TClock& slave);

  void SetPaused(bool paused);
  bool Paused() const;
  void SetCheckSerial(bool check);
  double Speed() const;
  int Serial() const { return serial; }
  double Pts() const;
  double LastUpdated() const;
  // The serial this clock was last set with, for clocks that follow it.
  const std::atomic<int>* SerialPtr() const { return &serial; }
  double Now() const { return now_(); }

 private:
  double getLocked(double now) const;
  void setAtLocked(double pts, int serial, double time);

  TClockSource now_;
  mutable std::mutex lock;
  double pts = NAN;
  double pts_drift = NAN;
  double last_updated = 0;
  double speed = 1.0;
  std::atomic<int> serial{-1};
  bool paused = false;
  const std::atomic<int>* queue_serial = nullptr;
  bool check_serial = true;
};

// Order as in the player's SyncType property.
enum Tav_sync_type : int {
  AV_SYNC_AUDIO_MASTER,
  AV_SYNC_VIDEO_MASTER,
  AV_SYNC_EXTERNAL_CLOCK,
};

// The clock that leads, given the requested one and the streams open.
Tav_sync_type ChooseMasterSyncType(Tav_sync_type requested, bool video_open, bool audio_open);

// The requested master clock with the cached choice. The choice depends on
// the streams open, so opening or closing a stream component clears it, as
// does a change of the requested type. Safe from any thread.
class TMasterSync {
 public:
  void SetSyncType(Tav_sync_type type);
  Tav_sync_type SyncType() const;
  // Called whenever a stream component of the type is opened or closed.
  void SetStreamOpen(AVMediaType type, bool open);
  bool StreamOpen(AVMediaType type) const;
  Tav_sync_type MasterSyncType();
  double MasterClock(const TClock& audclk, const TClock& vidclk, const TClock& extclk);

 private:
  mutable std::mutex lock;
  Tav_sync_type av_sync_type = AV_SYNC_AUDIO_MASTER;
  bool video_open = false;
  bool audio_open = false;
  Tav_sync_type master_sync_type = AV_SYNC_AUDIO_MASTER;
  bool av_sync_type_ok = false;
};

// Bounds and step of the external clock's speed on real-time input.
inline constexpr double EXTERNAL_CLOCK_SPEED_MIN = 0.900;
inline constexpr double EXTERNAL_CLOCK_SPEED_MAX = 1.010;
inline constexpr double EXTERNAL_CLOCK_SPEED_STEP = 0.001;
inline constexpr int EXTERNAL_CLOCK_MIN_FRAMES = 2;
inline constexpr int EXTERNAL_CLOCK_MAX_FRAMES = 10;

// Slows the external clock when a queue of an open stream runs low, speeds it
// up when every open stream's queue is well filled, otherwise steps it back
// towards 1.0, reaching 1.0 exactly.
void AdjustExternalClockSpeed(TClock& extclk, bool video_open, int video_packets, bool audio_open,
                              int audio_packets);

// How long `vp` stays on screen before `nextvp`: 0 across serials, else the
// pts difference, or vp's own duration when the difference is not credible.
double FrameDuration(const TFFFrame& vp, const TFFFrame& nextvp, double max_frame_duration);

// The wait before the next picture, from the shown picture's duration `delay`
// and diff = video clock - master clock: shortened while the video is behind,
// lengthened while it is ahead. `ext_speed` is the external clock's speed.
double TargetDelay(double delay, double diff, Tav_sync_type master, double max_frame_duration,
                   double ext_speed);

// Share of the difference from the master taken out on every picture while
// it is within the threshold.
inline constexpr double AV_SYNC_FOLLOW_GAIN = 0.1;

// TargetDelay in the time of the screen: at an external clock's speed other
// than 1 a picture stays 1/speed of its duration; within the threshold a
// share of the difference is taken out, so that pictures follow a master
// whose rate differs from the system clock's (a sound device's own clock)
// closely instead of drifting to the threshold and jumping back.
double FollowDelay(double delay, double diff, Tav_sync_type master, double max_frame_duration,
                   double ext_speed);

}  // namespace corvane
