// The settings the engine's threads read while a file plays. The player owns
// them and writes them from any thread, before and during an open; each read
// sees a whole value.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "player/AudioOutput.h"
#include "player/PlayerHost.h"

namespace corvane {

class TLiveSettings {
 public:
  void Load(const TPlayerSettings& s) {
    framedrop = s.framedrop;
    decoder_reorder_pts = s.decoder_reorder_pts;
    AutoRotate = s.AutoRotate;
    VerticalFlip = s.VerticalFlip;
    DisableVideoFilter = s.DisableVideoFilter;
    ResetFilterAfterSeeking = s.ResetFilterAfterSeeking;
    audio->volume = s.AudioVolume;
    audio->mute = s.Mute;
    audio->audio_pitch = s.AudioPitch;
    audio->use_soundtouch = s.UseSoundTouch;
    audio->allowed_changes = s.SDLAllowedChangesFlag;
    std::lock_guard g(lock);
    vfilters = s.VideoFilters;
    afilters = s.AudioFilters;
    pix_fmts = s.target_pix_fmts;
  }

  std::atomic<int> framedrop{-1}, decoder_reorder_pts{-1};
  std::atomic<bool> DisableVideoFilter{false}, ResetFilterAfterSeeking{false};
  // Read by the audio output on every block.
  const std::shared_ptr<TAudioControls> audio = std::make_shared<TAudioControls>();
  // A change of these rebuilds the video graph.
  void SetAutoRotate(bool v) { change(AutoRotate, v); }
  void SetVerticalFlip(bool v) { change(VerticalFlip, v); }
  bool Rotate() const { return AutoRotate; }
  bool Flip() const { return VerticalFlip; }
  // Counts the changes that need a new video graph.
  int GraphSerial() const { return graph_serial; }

  std::string VideoFilters() const {
    std::lock_guard g(lock);
    return vfilters;
  }
  std::string AudioFilters() const {
    std::lock_guard g(lock);
    return afilters;
  }
  std::vector<AVPixelFormat> TargetPixFmts() const {
    std::lock_guard g(lock);
    return pix_fmts;
  }
  void SetVideoFilters(const std::string& v) {
    std::lock_guard g(lock);
    vfilters = v;
  }
  void SetAudioFilters(const std::string& v) {
    std::lock_guard g(lock);
    afilters = v;
  }
  void SetTargetPixFmts(const std::vector<AVPixelFormat>& v) {
    {
      std::lock_guard g(lock);
      pix_fmts = v;
    }
    ++graph_serial;
  }

 private:
  void change(std::atomic<bool>& flag, bool v) {
    if (flag.exchange(v) != v) ++graph_serial;
  }
  std::atomic<bool> AutoRotate{true}, VerticalFlip{false};
  std::atomic<int> graph_serial{0};
  mutable std::mutex lock;
  std::string vfilters, afilters;
  std::vector<AVPixelFormat> pix_fmts;
};

}  // namespace corvane
