#include "transcoder/WavePlayer.h"

#include "foundation/SDLLoader.h"
#include "foundation/StrFormat.h"
#include "foundation/api/sdl2.h"

namespace corvane {

bool CompleteAudioSpec(SDL_AudioSpec& s, std::string& AError) {
  if (s.freq == 0) s.freq = 22050;
  if (s.format == 0) s.format = AUDIO_S16LSB;
  if (s.channels == 0) s.channels = 2;
  if (s.channels != 1 && s.channels != 2 && s.channels != 4 && s.channels != 6) {
    AError = strprintf("%d channels not support.", s.channels);
    return false;
  }
  if (s.samples == 0) {
    const int least = s.freq / 1000 * 46;
    int n = 1;
    while (n < least && n < 32768) n <<= 1;
    s.samples = static_cast<Uint16>(n);
  }
  s.silence = 0;
  s.size = static_cast<Uint32>(SDL_AUDIO_BITSIZE(s.format) / 8 * s.channels * s.samples);
  return true;
}

TWavePlayer::~TWavePlayer() { Close(); }

std::string TWavePlayer::LastErrMsg() const {
  std::lock_guard g(FLock);
  return FLastErrMsg;
}

bool TWavePlayer::Fail(const std::string& AMessage) {
  FLastErrMsg = AMessage;
  return false;
}

bool TWavePlayer::Open(const SDL_AudioSpec& ADesired, SDL_AudioSpec& AObtained,
                       const std::string& ADriver) {
  Close();
  std::lock_guard g(FLock);
  if (!FSDLClient) FSDLClient = SDLLoader().Init(this, ADriver, "", false);
  if (!FSDLClient) return Fail("No wave audio playing devices found.");
  SDL_AudioSpec spec = ADesired;
  std::string error;
  if (!CompleteAudioSpec(spec, error)) return Fail(error);
  auto held = SDLLoader().Lock();
  if (sdl::SDL_GetNumAudioDevices(0) == 0) return Fail("No wave audio playing devices found.");
  const SDL_AudioDeviceID dev = sdl::SDL_OpenAudioDevice(nullptr, 0, &spec, &AObtained, 0);
  if (dev == 0) return Fail(sdl::SDL_GetError());
  FDevice = dev;
  FPaused = true;  // devices open paused
  return true;
}

void TWavePlayer::Close() {
  std::lock_guard g(FLock);
  const SDL_AudioDeviceID dev = FDevice.exchange(0);
  if (dev) sdl::SDL_CloseAudioDevice(dev);
  FPaused = false;
  if (FSDLClient) SDLLoader().Quit(this);
  FSDLClient = false;
}

void TWavePlayer::Pause() {
  std::lock_guard g(FLock);
  if (!FDevice || FPaused) return;
  sdl::SDL_PauseAudioDevice(FDevice, 1);
  FPaused = true;
}

void TWavePlayer::Resume() {
  std::lock_guard g(FLock);
  if (!FDevice || !FPaused) return;
  sdl::SDL_PauseAudioDevice(FDevice, 0);
  FPaused = false;
}

}  // namespace corvane
