// The refresh on the play thread: which picture is shown when, the waves and
// spectrum pacing, and the position reports.
#include <cmath>

#include "foundation/FFLoader.h"
#include "player/FFBasePlayer.h"

namespace corvane {
namespace {

double nowSeconds() { return static_cast<double>(ff::av_gettime_relative()) / 1e6; }

}  // namespace

double TFFBasePlayer::targetDelay(TVideoState* is, double delay) {
  const Tav_sync_type master = is->MasterSyncType();
  if (master == AV_SYNC_VIDEO_MASTER) return delay;
  return FollowDelay(delay, is->vidclk.Get() - is->MasterClock(), master, is->max_frame_duration,
                     is->extclk.Speed());
}

void TFFBasePlayer::Refresh(TVideoState* is, double& remaining) {
  const bool seekDoneAtEntry = is->seek_done;
  if (!is->paused && is->MasterSyncType() == AV_SYNC_EXTERNAL_CLOCK && is->realtime)
    AdjustExternalClockSpeed(is->extclk, is->video_stream >= 0, is->videoq.nb_packets,
                             is->audio_stream >= 0, is->audioq.nb_packets);
  const bool display = HasScreen() && !NoScreen();
  if (display && is->show_mode != SHOW_MODE_VIDEO && is->audio_st) {
    const double t = nowSeconds();
    if (is->force_refresh || is->last_vis_time + Frdftspeed < t) {
      RequestDraw();
      is->last_vis_time = t;
    }
    remaining = std::min(remaining, is->last_vis_time + Frdftspeed - t);
  }
  const bool released = is->video_st && releasePicture(is, remaining, seekDoneAtEntry);
  if (is->pictq.RIndexShown() == 1) {
    // A seek while paused ends with the first picture of its serial shown;
    // one released before the seek was served does not end it.
    if (released && !is->seek_req && is->shown_serial == is->videoq.serial) is->seek_paused = 0;
    is->open_paused = 0;
    if (is->seek_done && is->seek_flushed) is->seek_done = 0;
  }
  // Audio with another display mode was drawn above.
  if (display && is->force_refresh && (is->show_mode == SHOW_MODE_VIDEO || !is->audio_st) &&
      is->pictq.RIndexShown() == 1)
    RequestDraw();
  UpdatePosition(is);
  is->force_refresh = 0;
}

// A picture too late to show while the next one is due is dropped.
bool TFFBasePlayer::dropLate(TVideoState* is, TFFFrame* vp, double t, bool seekSeen) {
  if (is->pictq.Remaining() <= 1 || is->step) return false;
  TFFFrame* nextvp = is->pictq.PeekNext();
  const double duration = FrameDuration(*vp, *nextvp, is->max_frame_duration);
  const int fd = is->live.framedrop;
  return ((fd > 0 || (fd != 0 && is->MasterSyncType() != AV_SYNC_VIDEO_MASTER)) &&
          t > is->frame_timer + duration && !is->IsDevice) ||
         (seekSeen && is->seek_done);
}

// Releases the picture that is due, if any; true when one was.
bool TFFBasePlayer::releasePicture(TVideoState* is, double& remaining, bool seekDoneAtEntry) {
  const bool stepToKey = StepToKeyFrame();
  bool seekSeen = seekDoneAtEntry;
  for (;;) {
    if (is->pictq.Remaining() == 0) {
      if (is->force_refresh) RequestDraw();
      return false;
    }
    TFFFrame* lastvp = is->pictq.PeekLast();
    TFFFrame* vp = is->pictq.Peek();
    // Paused after a seek: only the new serial's pictures are shown.
    if (is->seek_paused == 1 && vp->serial != is->videoq.serial) vp->serial = -1;
    seekSeen = seekSeen || is->seek_done;
    if ((stepToKey && !(vp->frame->key_frame)) || vp->serial != is->videoq.serial) {
      is->pictq.Next();
      continue;
    }
    if (lastvp->serial != vp->serial) is->frame_timer = nowSeconds();
    if (is->paused && !is->open_paused && !is->seek_paused) {
      is->vidclk.Set(vp->pts, vp->serial);
      is->extclk.SyncToSlave(is->vidclk);
      return false;
    }
    const double delay = targetDelay(is, FrameDuration(*lastvp, *vp, is->max_frame_duration));
    const double t = nowSeconds();
    if (t < is->frame_timer + delay) {
      remaining = std::min(remaining, is->frame_timer + delay - t);
      return false;
    }
    is->frame_timer = is->frame_timer + delay;
    if (delay > 0 && t - is->frame_timer > 0.1) is->frame_timer = t;
    if (!std::isnan(vp->pts)) {
      is->vidclk.Set(vp->pts, vp->serial);
      is->extclk.SyncToSlave(is->vidclk);
    }
    if (dropLate(is, vp, t, seekSeen)) {
      ++is->frame_drops_late;
      is->pictq.Next();
      continue;
    }
    showPicture(is);
    return true;
  }
}

// The picture at the head of the queue goes on screen.
void TFFBasePlayer::showPicture(TVideoState* is) {
  if (is->subtitle_st) expireSubtitles(is);
  is->pictq.Next();
  is->pictq.current = is->pictq.PeekLast();
  is->shown_serial = is->pictq.PeekLast()->serial;
  keepShownFrame(is->pictq.current);
  if (is->step && !is->paused && !is->force_refresh) {
    togglePause(is);
    is->step = 0;  // done: the next StepToNextFrame is a new step
  }
  if (is->step_to_key_frame && !is->paused) {
    is->step_to_key_frame = 0;
    togglePause(is);
    PostPlayState(psPause);
  }
  is->force_refresh = 1;
}

void TFFBasePlayer::expireSubtitles(TVideoState* is) {
  const double clock = is->vidclk.Pts();
  while (is->subpq.Remaining() > 0) {
    TFFFrame* sp = is->subpq.Peek();
    TFFFrame* sp2 = is->subpq.Remaining() > 1 ? is->subpq.PeekNext() : nullptr;
    const bool expired = sp->serial != is->subtitleq.serial ||
                         clock > sp->pts + sp->sub.end_display_time / 1000.0 ||
                         (sp2 && clock > sp2->pts + sp2->sub.start_display_time / 1000.0);
    if (!expired) break;
    if (sp->uploaded) SubtitleExpired(*sp);
    is->subpq.Next();
  }
}

// The state's streams may be closing under a decoder thread: only the play
// thread, holding the data lock, looks at them.
void TFFBasePlayer::PositionUpdate(TVideoState*) { FPositionRequest = true; }

// The clock the position follows, or none yet.
const TClock* TFFBasePlayer::positionClock(TVideoState* is, bool& useVideo) const {
  const bool video = is->video_st != nullptr, audio = is->audio_st != nullptr;
  useVideo = video && !audio;
  if (video && audio) {
    useVideo = is->pictq_total_size >= 2;
    if (FUseAudioPosition)
      useVideo = is->MasterSyncType() == AV_SYNC_EXTERNAL_CLOCK && is->extclk.Speed() != 1.0;
  }
  if (useVideo) {
    if (!std::isnan(is->vidclk.Get())) return &is->vidclk;
    return (!audio || is->MasterSyncType() == AV_SYNC_VIDEO_MASTER) ? &is->extclk : &is->audclk;
  }
  if (audio && is->audio && is->audio->AudioFrameAvailable() == 1) return &is->audclk;
  return nullptr;
}

void TFFBasePlayer::UpdatePosition(TVideoState* is) {
  FPositionRequest = false;
  if (!is || is->IsImage2) return;
  bool useVideo = false;
  const TClock* clock = positionClock(is, useVideo);
  if (!clock) return;
  const double value = clock->Get();
  if (std::isnan(value)) return;
  // Before the device has played the first block the clock lies behind the start.
  std::int64_t pts = std::max<std::int64_t>(0, std::llround(value * 1e6) - is->StartTime);
  if (clock == &is->audclk && is->AudioDuration > 0 && pts >= is->AudioDuration &&
      is->FileDuration > pts)
    pts = is->FileDuration;
  const bool video = is->video_st != nullptr, audio = is->audio_st != nullptr;
  std::int64_t pos = useVideo ? is->pictq.LastShownPos() : is->sampq.LastShownPos();
  if (pos < 0 && video && audio)
    pos = useVideo ? is->sampq.LastShownPos() : is->pictq.LastShownPos();
  if (pos < 0 && is->ic && is->ic->pb) pos = ff::avio_seek(is->ic->pb, 0, SEEK_CUR);
  FCurrentPTS = pts;
  FCurrentPos = pos;
  if (is->FileDuration > 0 && pts >= is->FileDuration) {
    pts = is->FileDuration;
    if (FLastPTS != pts) FLastPTS = 0;
  }
  std::shared_ptr<TPlaySession> s = sessionOf(is);
  if (!s) return;
  reportPosition(*s, pts, pos);
  checkPlayTime(*s, is, pts, clock->Serial());
}

void TFFBasePlayer::reportPosition(TPlaySession& s, std::int64_t pts, std::int64_t pos) {
  const std::int64_t last = FLastPTS;
  if (last == AV_NOPTS_VALUE || std::llabs(pts - last) > FPositionInterval || FLastPos < 0 ||
      FLastPos != pos) {
    FLastPTS = pts;
    FLastPos = pos;
    if (OnPosition || OnPosition2) s.pump.ring.Post({1, pts, pos, {}});
  }
}

// PlayTime reached runs the repeat action, once per serial: the action
// seeks, which starts a new one.
void TFFBasePlayer::checkPlayTime(TPlaySession& s, TVideoState* is, std::int64_t pts, int serial) {
  const std::int64_t playTime = FPlayTime;
  if (playTime == AV_NOPTS_VALUE) return;
  const std::int64_t start = StartTime();
  const bool reached = start != AV_NOPTS_VALUE ? pts >= playTime + start : pts >= playTime;
  if (reached && s.playTimeSerial.exchange(serial) != serial) s.queue.Push({FF_REPEAT_EVENT, is});
}

}  // namespace corvane
