// Controls of the playing file: pause, step, seek, the repeat action and
// stream switching.
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "foundation/FFLoader.h"
#include "player/EngineScope.h"
#include "player/FFBasePlayer.h"

namespace corvane {
namespace {

double nowSeconds() { return static_cast<double>(ff::av_gettime_relative()) / 1e6; }

// Waits up to 250 ms for done, without pumping: the caller holds the data lock.
bool waitBriefly(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace

// A seek under way and a picture being queued are given a moment to finish,
// so that the pause takes the picture they bring.
void TFFBasePlayer::togglePause(TVideoState* is) {
  if (!waitBriefly([this] { return !FSeeking; })) FSeeking = false;
  if (is->paused) {
    const double lu =
        std::isnan(is->vidclk.Get()) ? is->extclk.LastUpdated() : is->vidclk.LastUpdated();
    is->frame_timer = is->frame_timer + nowSeconds() - lu;
    if (CheckReadPause() && is->read_pause_return != AVERROR(ENOSYS)) is->vidclk.SetPaused(false);
    is->vidclk.Set(is->vidclk.Get(), is->vidclk.Serial());
    is->SetPaused(false);
  } else {
    if (is->video_st && !waitBriefly([this] { return FPictureReady.load(); })) FPictureReady = true;
    is->SetPaused(true);
  }
  is->extclk.Set(is->extclk.Get(), is->extclk.Serial());
  for (TClock* c : {&is->vidclk, &is->audclk, &is->extclk}) c->SetPaused(is->paused);
}

void TFFBasePlayer::Pause() {
  auto lock = LockData();
  TVideoState* is = FStatePtr;
  if (!is || is->paused) return;
  togglePause(is);
  is->step = 0;
  PostPlayState(psPause);
}

void TFFBasePlayer::Resume() {
  auto lock = LockData();
  TVideoState* is = FStatePtr;
  // A step still pending is not a pause to come: it ends, and play goes on.
  if (!is || (!is->paused && !is->step)) return;
  if (is->paused) togglePause(is);
  is->step = 0;
  PostPlayState(psResume);
}

void TFFBasePlayer::TogglePause() {
  auto lock = LockData();
  TVideoState* is = FStatePtr;
  if (!is) return;
  togglePause(is);
  is->step = 0;
  PostPlayState(is->paused ? psPause : psResume);
}

void TFFBasePlayer::StepToNextFrame() {
  auto lock = LockData();
  TVideoState* is = FStatePtr;
  if (!is) return;
  is->open_paused = 0;
  is->seek_paused = 0;
  if (is->paused) togglePause(is);
  if (!is->step.exchange(1)) PostPlayState(psStep);
}

void TFFBasePlayer::FlushQueue() {
  auto lock = LockData();
  if (TVideoState* is = FStatePtr) is->RequestFlush();
}

void TFFBasePlayer::streamSeek(TVideoState* is, std::int64_t pos, std::int64_t rel,
                               TSeekFlags flags) {
  if (is->seek_req) return;
  FSeeking = true;
  is->step = 0;
  FPictureReady = false;
  is->StreamSeek(pos, rel, flags);
  if (FPlayState == psEnd) PostPlayState(psPlay);
}

void TFFBasePlayer::waitForSeek(TVideoState* is) {
  // The state is looked at under the data lock only: a close may free it.
  waitFor([&] {
    if (shutdownRequested()) return true;
    std::unique_lock lock(FDataLock, std::try_to_lock);
    if (!lock) return false;
    // Done once the first picture of the new position is on screen, or once
    // the video ended without one (a target past the last picture).
    if (FStatePtr != is) return true;
    if (is->seek_req) return false;
    const int serial = is->videoq.serial;
    return is->video_stream < 0 || is->shown_serial == serial ||
           (is->viddec.finished == serial && is->pictq.Remaining() == 0);
  });
}

void TFFBasePlayer::SeekTo(std::int64_t APTS, TSeekFlags ASeekFlags, bool AWaitForSeekEnd) {
  TVideoState* is = nullptr;
  {
    auto lock = LockData();
    is = FStatePtr;
    if (!is || APTS == AV_NOPTS_VALUE) return;
    if (!(ASeekFlags & sfByte) && is->ic && is->ic->start_time != AV_NOPTS_VALUE)
      APTS += is->ic->start_time;
    streamSeek(is, APTS, 0, ASeekFlags);
  }
  // The player's own threads deliver the picture waited for: they only start
  // the seek.
  if (AWaitForSeekEnd && !OnEngineThread()) waitForSeek(is);
}

void TFFBasePlayer::SeekBy(double ADelta, TSeekFlags ASeekFlags, bool AWaitForSeekEnd) {
  TVideoState* is = nullptr;
  {
    auto lock = LockData();
    is = FStatePtr;
    if (!is) return;
    std::int64_t target = 0, rel = 0;
    if (ASeekFlags & sfByte) {
      std::int64_t pos = is->video_stream >= 0 ? is->pictq.LastShownPos() : -1;
      if (pos < 0 && is->audio_stream >= 0) pos = is->sampq.LastShownPos();
      if (pos < 0 && is->ic && is->ic->pb) pos = ff::avio_seek(is->ic->pb, 0, SEEK_CUR);
      const double delta =
          ADelta *
          (is->ic && is->ic->bit_rate ? static_cast<double>(is->ic->bit_rate) / 8.0 : 180000.0);
      target = std::llround(static_cast<double>(pos) + delta);
      rel = std::llround(delta);
    } else {
      double pos = NAN;
      if (is->video_stream >= 0) pos = is->vidclk.Get();
      if (std::isnan(pos))
        pos = is->MasterSyncType() != AV_SYNC_AUDIO_MASTER ? is->extclk.Get() : is->audclk.Get();
      if (std::isnan(pos)) pos = static_cast<double>(is->seek_pos) / AV_TIME_BASE;
      target = std::llround((pos + ADelta) * AV_TIME_BASE);
      rel = std::llround(ADelta * AV_TIME_BASE);
    }
    streamSeek(is, target, rel, ASeekFlags);
  }
  if (AWaitForSeekEnd && !OnEngineThread()) waitForSeek(is);
}

void TFFBasePlayer::repeatAction(TPlaySession& s, TVideoState* is) {
  switch (RepeatType()) {
    case rtStop: {
      // The end began when it was reported: what a handler set since stays.
      std::uint64_t none = 0;
      const std::uint64_t ended = s.EndedAt;
      s.EndAt.compare_exchange_strong(none, ended ? ended : settingsClock());
      s.queue.Push({FF_STOP_EVENT, is});
      break;
    }
    case rtPause:
      if (!is->paused) {
        togglePause(is);
        PostPlayState(psPause);
      }
      break;
    case rtRewind:
      if (!is->paused) {
        togglePause(is);
        PostPlayState(psPause);
      }
      [[fallthrough]];
    case rtLoop: {
      const std::int64_t start = StartTime();
      std::int64_t pos = start != AV_NOPTS_VALUE ? start : 0;
      if (is->ic && is->ic->start_time != AV_NOPTS_VALUE) pos += is->ic->start_time;
      streamSeek(is, pos, 0, start != AV_NOPTS_VALUE ? 0 : sfBackward);
      break;
    }
    case rtEnd:
      PostPlayState(psEnd);
      break;
    case rtNone:
      break;
  }
}

// Checks the request under the data lock, then lets it go: stopping a stream's
// decoder or device waits for handlers that may call the player. The switch
// takes the lock again to change the streams.
bool TFFBasePlayer::switchStream(AVMediaType kind, int index) {
  // Its decoder would wait for its own hook to return.
  if (EngineScope::Serves(this, kind)) {
    report(kind == AVMEDIA_TYPE_VIDEO ? "Cannot switch the video stream from a video hook."
                                      : "Cannot switch the audio stream from the audio hook.");
    return false;
  }
  std::shared_ptr<TVideoState> held;
  int current = -1;
  {
    auto lock = LockData();
    if (!checkSwitch(kind, index, current)) return false;
    if (index == current) return true;
    held = State();
  }
  return held && held->SwitchStreamComponent(current, index) >= 0;
}

bool TFFBasePlayer::checkSwitch(AVMediaType kind, int index, int& current) {
  TVideoState* is = FStatePtr;
  current = !is                          ? -1
            : kind == AVMEDIA_TYPE_VIDEO ? is->video_stream.load()
            : kind == AVMEDIA_TYPE_AUDIO ? is->audio_stream.load()
                                         : is->subtitle_stream.load();
  if (!is || (current < 0 && kind != AVMEDIA_TYPE_SUBTITLE)) {
    report("the current stream is invalid.");
    return false;
  }
  const int n = static_cast<int>(is->ic->nb_streams);
  if (index >= n || index < (kind == AVMEDIA_TYPE_SUBTITLE ? -1 : 0)) {
    report("the stream index is invalid.");
    return false;
  }
  if (index == current) return true;
  if (index >= 0) {
    const AVCodecParameters* par = is->ic->streams[index]->codecpar;
    if (par->codec_type != kind) {
      report("the stream type is not matched.");
      return false;
    }
    if (kind == AVMEDIA_TYPE_AUDIO && (par->sample_rate == 0 || par->ch_layout.nb_channels == 0)) {
      report("the audio stream is invalid.");
      return false;
    }
  }
  return true;
}

bool TFFBasePlayer::SetAudioStreamIndex(int AIndex) {
  return switchStream(AVMEDIA_TYPE_AUDIO, AIndex);
}
bool TFFBasePlayer::SetVideoStreamIndex(int AIndex) {
  return switchStream(AVMEDIA_TYPE_VIDEO, AIndex);
}
bool TFFBasePlayer::SetSubtitleStreamIndex(int AIndex) {
  return switchStream(AVMEDIA_TYPE_SUBTITLE, AIndex);
}

}  // namespace corvane
