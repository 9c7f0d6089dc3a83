// The player's settings that act on the playing file, the option engine,
// filter commands and what the playing file reports.
#include <algorithm>

#include "foundation/AppInputFormats.h"
#include "foundation/ErrorText.h"
#include "foundation/Errors.h"
#include "foundation/FFLoader.h"
#include "foundation/OptionString.h"
#include "foundation/StrFormat.h"
#include "player/FFBasePlayer.h"
#include "player/SDLLoader.h"

namespace corvane {

// The live settings are the player's: a state reads them whenever it needs
// them, from its creation on, so a change at any moment reaches the file.

void TFFBasePlayer::SetAudioVolume(int v) {
  v = std::clamp(v, 0, 128);
  put(&TPlayerSettings::AudioVolume, v);
  FLive->audio->volume = v;
}

void TFFBasePlayer::SetMute(bool v) {
  put(&TPlayerSettings::Mute, v);
  FLive->audio->mute = v;
}

void TFFBasePlayer::SetAudioPitch(float v) {
  put(&TPlayerSettings::AudioPitch, v);
  FLive->audio->audio_pitch = v;
}

void TFFBasePlayer::SetUseSoundTouch(bool v) {
  put(&TPlayerSettings::UseSoundTouch, v);
  FLive->audio->use_soundtouch = v;
}

void TFFBasePlayer::SetSDLAllowedChangesFlag(int v) {
  put(&TPlayerSettings::SDLAllowedChangesFlag, v);
  FLive->audio->allowed_changes = v;  // for the next device open
}

// The clocks belong to the state: a state stored later takes the value then.
void TFFBasePlayer::SetPlaybackSpeed(double v) {
  put(&TPlayerSettings::PlaybackSpeed, v);
  withState([v](TVideoState& is) {
    for (TClock* c : {&is.extclk, &is.vidclk, &is.audclk}) c->SetSpeed(v);
  });
}

void TFFBasePlayer::SetSyncType(Tav_sync_type v) {
  put(&TPlayerSettings::SyncType, v);
  withState([v](TVideoState& is) { is.sync.SetSyncType(v); });
}

void TFFBasePlayer::Setframedrop(int v) {
  put(&TPlayerSettings::framedrop, v);
  FLive->framedrop = v;
}

void TFFBasePlayer::Setdecoder_reorder_pts(int v) {
  put(&TPlayerSettings::decoder_reorder_pts, v);
  FLive->decoder_reorder_pts = v;
}

void TFFBasePlayer::SetAutoRotate(bool v) {
  put(&TPlayerSettings::AutoRotate, v);
  FLive->SetAutoRotate(v);
}

void TFFBasePlayer::SetVerticalFlip(bool v) {
  put(&TPlayerSettings::VerticalFlip, v, pfVerticalFlip);
  FLive->SetVerticalFlip(v);
}

void TFFBasePlayer::SetTargetPixFmts(const std::vector<AVPixelFormat>& v) {
  put(&TPlayerSettings::target_pix_fmts, v);
  FLive->SetTargetPixFmts(v);
}

void TFFBasePlayer::SetDisableVideoFilter(bool v) {
  put(&TPlayerSettings::DisableVideoFilter, v);
  FLive->DisableVideoFilter = v;
}

void TFFBasePlayer::SetResetFilterAfterSeeking(bool v) {
  put(&TPlayerSettings::ResetFilterAfterSeeking, v);
  FLive->ResetFilterAfterSeeking = v;
}

void TFFBasePlayer::SetVideoFilters(const std::string& v) {
  put(&TPlayerSettings::VideoFilters, v);
  FLive->SetVideoFilters(v);
}

void TFFBasePlayer::SetAudioFilters(const std::string& v) {
  put(&TPlayerSettings::AudioFilters, v);
  FLive->SetAudioFilters(v);
}

void TFFBasePlayer::SetStartTime(std::int64_t v) {
  {
    std::lock_guard g(FSettingsLock);
    stamp(pfStartTime);
    if (v == FSettings.start_time) return;
    FSettings.start_time = v;
  }
  if (v != AV_NOPTS_VALUE) SeekTo(v);
}

void TFFBasePlayer::SetPlayTime(std::int64_t v) {
  std::lock_guard g(FSettingsLock);
  stamp(pfPlayTime);
  FPlayTime = v;
}

std::string TFFBasePlayer::streamSpec(AVMediaType t) const {
  std::lock_guard g(FSettingsLock);
  return FSettings.wanted_stream_spec[t];
}

void TFFBasePlayer::setStreamSpec(AVMediaType t, const std::string& v) {
  std::lock_guard g(FSettingsLock);
  FSettings.wanted_stream_spec[t] = v;
  stamp(pfStreamSpecs);
}

std::string TFFBasePlayer::AudioDriver() const {
  if (FSDLClient) return SDLLoader().CurrentAudioDriver();
  std::lock_guard g(FSettingsLock);
  return FAudioDriver;
}

void TFFBasePlayer::SetAudioDriver(const std::string& v) {
  std::lock_guard g(FSettingsLock);
  FAudioDriver = v;
}

std::string TFFBasePlayer::VideoDriver() const {
  if (FSDLClient && HasScreen() && !FNoScreen) return SDLLoader().CurrentVideoDriver();
  std::lock_guard g(FSettingsLock);
  return FVideoDriver;
}

void TFFBasePlayer::SetVideoDriver(const std::string& v) {
  std::lock_guard g(FSettingsLock);
  FVideoDriver = v;
}

std::string TFFBasePlayer::AudioDevice() const {
  if (std::shared_ptr<TVideoState> is = State()) {
    std::unique_lock lock(FDataLock);
    if (is->audio) return is->audio->AudioDevice();
  }
  return get(&TPlayerSettings::AudioDevice);
}

bool TFFBasePlayer::opt_default(const std::string& opt, const std::string& arg) {
  if (!AVLibLoaded()) {
    report("FFmpeg libraries not loaded.");
    return false;
  }
  {
    std::lock_guard g(FSettingsLock);
    stamp(pfOptions);
  }
  if (FOptions.opt_default(opt, arg) < 0) {
    report(last_error_text());
    return false;
  }
  return true;
}

bool TFFBasePlayer::DefaultOptions(const std::string& AOptions) {
  if (AOptions.empty()) return true;
  FFLogger().Log(this, llInfo, "ParseOptions: " + AOptions);
  const std::vector<std::string> words = split_option_string(AOptions);
  bool ok = true;
  for (std::size_t i = 0; i < words.size();) {
    if (words[i].size() > 1 && words[i][0] == '-') {
      const std::string value = i + 1 < words.size() ? words[i + 1] : "";
      if (!opt_default(words[i].substr(1), value)) ok = false;
      i += 2;
    } else {
      FFLogger().Log(this, llError, "Invalid option found while parsing options, ignore");
      ++i;
    }
  }
  return ok;
}

// Runs send(state, error) on the playing file under the data lock; false,
// with the reason, when there is none or the graph refuses.
template <class F>
bool TFFBasePlayer::filterCommand(F&& send) {
  auto lock = LockData();
  std::string error = "filter is not available";
  if (TVideoState* is = FStatePtr; is && send(*is, error)) return true;
  report(error);
  return false;
}

bool TFFBasePlayer::SendVideoFilterCommand(const std::string& target, const std::string& cmd,
                                           const std::string& arg, int flags) {
  return filterCommand([&](TVideoState& is, std::string& error) {
    return is.SendFilterCommand(true, target, cmd, arg, flags, error);
  });
}

bool TFFBasePlayer::SendAudioFilterCommand(const std::string& target, const std::string& cmd,
                                           const std::string& arg, int flags) {
  return filterCommand([&](TVideoState& is, std::string& error) {
    return is.SendFilterCommand(false, target, cmd, arg, flags, error);
  });
}

bool TFFBasePlayer::QueueVideoFilterCommand(const std::string& target, const std::string& cmd,
                                            const std::string& arg, int flags, double ATime) {
  return filterCommand([&](TVideoState& is, std::string& error) {
    return is.QueueFilterCommand(true, target, cmd, arg, flags, ATime, error);
  });
}

bool TFFBasePlayer::QueueAudioFilterCommand(const std::string& target, const std::string& cmd,
                                            const std::string& arg, int flags, double ATime) {
  return filterCommand([&](TVideoState& is, std::string& error) {
    return is.QueueFilterCommand(false, target, cmd, arg, flags, ATime, error);
  });
}

void TFFBasePlayer::ToggleAudioDisplay() {
  auto lock = LockData();
  std::lock_guard g(FSettingsLock);
  TVideoState* is = FStatePtr;
  const int current = is ? is->show_mode : FSettings.show_mode;
  // auto or none -> video -> waves -> spectrum -> none
  const auto next = static_cast<TShowMode>(current % SHOW_MODE_NONE + 1);
  FSettings.show_mode = next;
  if (is) {
    is->show_mode = next;
    is->force_refresh = 1;
  }
}

void TFFBasePlayer::SetShowMode(TShowMode v) {
  put(&TPlayerSettings::show_mode, v);
  auto lock = LockData();
  if (TVideoState* is = FStatePtr) {
    if (v == SHOW_MODE_AUTO) v = is->video_stream >= 0 ? SHOW_MODE_VIDEO : SHOW_MODE_WAVES;
    if (v != is->show_mode) {
      is->show_mode = v;
      is->force_refresh = 1;
    }
  }
}

void TFFBasePlayer::SetStepToKeyFrame(bool v) {
  put(&TPlayerSettings::StepToKeyFrame, v);
  withState([v](TVideoState& is) { is.step_to_key_frame = v ? 1 : 0; });
}

std::string TFFBasePlayer::ForceFormat() const {
  std::lock_guard g(FSettingsLock);
  return FForceFormat;
}

void TFFBasePlayer::SetForceFormat(const std::string& AName) {
  const AVInputFormat* f = nullptr;
  if (!AName.empty()) {
    if (!AVLibLoaded()) throw ELibraryError("FFmpeg libraries not loaded.");
    f = find_app_input_format(AName.c_str());
    if (!f) f = ff::av_find_input_format(AName.c_str());
    if (!f) throw ELibraryError(strprintf("Unknown input format: %s", AName.c_str()));
  }
  std::lock_guard g(FSettingsLock);
  FForceFormat = AName;
  FForcedFormat = f;
  stamp(pfForceFormat);
}

std::vector<std::string> TFFBasePlayer::AudioDrivers() const { return SDLLoader().AudioDrivers(); }
std::vector<std::string> TFFBasePlayer::AudioDevices() const { return SDLLoader().AudioDevices(); }

AVFrame* TFFBasePlayer::CurrentAVFrame() {
  auto lock = LockData();
  TVideoState* is = FStatePtr;
  if (!is || !is->video_st) return nullptr;
  std::lock_guard g(FShownLock);
  return FShownFrame && FShownFrame->buf[0] ? ff::av_frame_clone(FShownFrame.get()) : nullptr;
}

void TFFBasePlayer::keepShownFrame(TFFFrame* vp) {
  std::lock_guard g(FShownLock);
  if (!FShownFrame && !vp) return;
  if (!FShownFrame) FShownFrame = makeFrame();
  if (!FShownFrame) return;
  ff::av_frame_unref(FShownFrame.get());
  if (!vp) return;
  std::lock_guard slot(vp->lock);
  if (vp->frame->buf[0]) ff::av_frame_ref(FShownFrame.get(), vp->frame.get());
}

AVFormatContext* TFFBasePlayer::FormatContext() const {
  // The input closes under the data lock.
  auto lock = std::unique_lock(FDataLock);
  TVideoState* is = FStatePtr;
  return is ? is->ic : nullptr;
}

int TFFBasePlayer::AudioStreamIndex() const {
  std::shared_ptr<TVideoState> is = State();
  return is ? is->audio_stream.load() : -1;
}

int TFFBasePlayer::VideoStreamIndex() const {
  std::shared_ptr<TVideoState> is = State();
  return is ? is->video_stream.load() : -1;
}

int TFFBasePlayer::SubtitleStreamIndex() const {
  std::shared_ptr<TVideoState> is = State();
  return is ? is->subtitle_stream.load() : -1;
}

int TFFBasePlayer::QueueSize() const {
  std::shared_ptr<TVideoState> is = State();
  return is ? is->audioq.size.load() + is->videoq.size.load() : -1;
}

int TFFBasePlayer::AudioQueueSize() const {
  std::shared_ptr<TVideoState> is = State();
  return is ? is->audioq.size.load() : -1;
}

int TFFBasePlayer::VideoQueueSize() const {
  std::shared_ptr<TVideoState> is = State();
  return is ? is->videoq.size.load() : -1;
}

int TFFBasePlayer::SubtitleQueueSize() const {
  std::shared_ptr<TVideoState> is = State();
  return is ? is->subtitleq.size.load() : -1;
}

bool TFFBasePlayer::Paused() const {
  std::shared_ptr<TVideoState> is = State();
  return !is || is->paused;
}

}  // namespace corvane
