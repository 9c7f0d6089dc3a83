// A sound output device fed by a callback on the device's own thread.
#pragma once

#include <SDL_audio.h>

#include <atomic>
#include <mutex>
#include <string>

namespace corvane {

// The device request with defaults applied and the buffer sized: rate 0 gives
// 22050 Hz, format 0 signed 16-bit, channels 0 two; samples 0 the smallest
// power of two not below (rate div 1000) x 46 frames. False with the message
// for a channel count other than 1, 2, 4 or 6.
bool CompleteAudioSpec(SDL_AudioSpec& ASpec, std::string& AError);

// Any thread; the device calls the SDL_AudioSpec's callback on its own thread.
class TWavePlayer {
 public:
  TWavePlayer() = default;
  ~TWavePlayer();  // Close
  TWavePlayer(const TWavePlayer&) = delete;
  TWavePlayer& operator=(const TWavePlayer&) = delete;

  // Opens the default device of the driver (empty: SDL's choice) paused,
  // exactly in the desired format; false with LastErrMsg.
  bool Open(const SDL_AudioSpec& ADesired, SDL_AudioSpec& AObtained,
            const std::string& ADriver = "");
  // Waits for a running callback to return; the callback must not wait for
  // anything this call holds up.
  void Close();
  void Pause();
  void Resume();
  bool Opened() const { return FDevice != 0; }
  bool Paused() const { return FPaused; }
  std::string LastErrMsg() const;

 private:
  bool Fail(const std::string& AMessage);
  mutable std::mutex FLock;  // guards the device's opening, closing and pausing
  std::atomic<SDL_AudioDeviceID> FDevice{0};
  std::atomic<bool> FPaused{false};
  bool FSDLClient = false;
  std::string FLastErrMsg;
};

}  // namespace corvane
