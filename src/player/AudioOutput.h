// Audio output: the SDL2 device, its callback fed from the sample queue,
// resampling, tempo and pitch, volume and mute, and the audio clock.
#pragma once

#include <SDL_audio.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/AVHandles.h"
#include "foundation/Logger.h"
#include "player/Clock.h"
#include "player/FrameQueue.h"
#include "player/PacketQueue.h"

namespace corvane {

struct TAudioParams {
  int freq = 0;
  AVChannelLayout ch_layout{};
  AVSampleFormat fmt = AV_SAMPLE_FMT_NONE;
  int frame_size = 0;  // bytes of one sample of every channel
  int bytes_per_sec = 0;

  TAudioParams() = default;
  TAudioParams(const TAudioParams& o);
  TAudioParams& operator=(const TAudioParams& o);
  ~TAudioParams();
  int channels() const { return ch_layout.nb_channels; }
};

// What the audio output shares with the per-file state that owns it.
struct TAudioStateLink {
  TFrameQueue& sampq;
  TPacketQueue& audioq;
  TClock& audclk;
  TClock& extclk;
  TClock& vidclk;
  TMasterSync& sync;
  std::atomic<int>& paused;
  // 1: a seek was requested while paused; set to 2 here once audio alone
  // has played the first block after it.
  std::atomic<int>& seek_paused;
};

// Application hook: pts of the block's end in microseconds from the input's
// start, interleaved signed 16-bit samples, their size in bytes, rate, channels.
using TAudioHook = std::function<void(std::int64_t pts, const std::uint8_t* sample, int size,
                                      int sample_rate, int channels)>;
// What the output reads on every block; shared with the player, which
// changes it from any thread.
struct TAudioControls {
  std::atomic<int> volume{SDL_MIX_MAXVOLUME};
  std::atomic<bool> mute{false};
  std::atomic<float> audio_pitch{1.0f};
  std::atomic<bool> use_soundtouch{true};
  std::atomic<int> allowed_changes{SDL_AUDIO_ALLOW_FREQUENCY_CHANGE |
                                   SDL_AUDIO_ALLOW_CHANNELS_CHANGE};
};

// Where the output's messages go; by default the logger.
using TAudioReport = std::function<void(TLogLevel level, const std::string& msg)>;

class TAudioOutput {
 public:
  static constexpr int SAMPLE_ARRAY_SIZE = 8 * 65536;
  static constexpr int AUDIO_DIFF_AVG_NB = 20;
  static constexpr int SDL_AUDIO_MIN_BUFFER_SIZE = 512;
  static constexpr int SDL_AUDIO_MAX_CALLBACKS_PER_SEC = 30;

  explicit TAudioOutput(TAudioStateLink link, TAudioReport report = {});
  ~TAudioOutput();  // Close
  TAudioOutput(const TAudioOutput&) = delete;
  TAudioOutput& operator=(const TAudioOutput&) = delete;

  // Opens the device (empty name: the system default) for about the wanted
  // layout and rate, falling back through channel counts and rates, and
  // fills `audio_hw_params`. The device starts paused. Returns the device
  // buffer size in bytes, or -1.
  int Open(const AVChannelLayout& wanted_channel_layout, int wanted_sample_rate,
           TAudioParams& audio_hw_params);
  void Pause(bool pause);
  // Closes the device and frees the resampler and the tempo processor.
  void Close();
  SDL_AudioDeviceID DeviceID() const { return audio_dev; }
  // The device in use: the one asked for, or the only one there is.
  std::string AudioDevice() const;

  // The device's callback: fills all of `len` bytes.
  void Callback(std::uint8_t* stream, int len);

  // Settings, read on every block.
  void SetVolume(int v) { controls->volume = v; }
  void SetMute(bool m) { controls->mute = m; }
  void SetAudioPitch(float p) { controls->audio_pitch = p; }
  void SetUseSoundTouch(bool u) { controls->use_soundtouch = u; }
  // Reads its settings from the given controls from now on (before Open).
  void UseControls(std::shared_ptr<TAudioControls> shared) { controls = std::move(shared); }
  void SetAudioHook(TAudioHook hook);
  void SetCaptureSamples(bool c) { capture_samples = c; }
  void SetStartTime(std::int64_t us) { start_time = us; }
  void SetDeviceName(const std::string& name);
  void SetAllowedChanges(int flags) { controls->allowed_changes = flags; }

  const TAudioParams& Target() const { return audio_tgt; }
  int HwBufSize() const { return audio_hw_buf_size; }
  double AudioClock() const { return audio_clock; }
  int AudioFrameAvailable() const { return audio_frame_available; }
  void ResetAudioFrameAvailable() { audio_frame_available = -1; }
  std::int64_t CallbackTime() const { return audio_callback_time; }
  // Copies the newest `n` captured samples (oldest first).
  std::vector<std::int16_t> LastSamples(int n) const;
  // f(ring, ring size, index of the next write) under the ring's lock.
  template <class F>
  void ReadSamples(F&& f) const {
    std::lock_guard g(sample_lock);
    f(sample_array.data(), SAMPLE_ARRAY_SIZE, sample_array_index);
  }
  // Output channels and rate, bytes still to play from the buffer, callback time.
  void Timing(int& channels, int& freq, int& writeBufSize, std::int64_t& callbackTime) const {
    channels = tgt_channels;
    freq = tgt_freq;
    writeBufSize = audio_write_buf_size;
    callbackTime = audio_callback_time;
  }

  // Parts of the callback, exposed for the refresh loop and for tests.
  int DecodeAudioBlock();
  int Synchronize(int nb_samples);

 private:
  struct SoundTouchDeleter {
    void operator()(void* h) const;
  };
  static void sdlCallback(void* opaque, Uint8* stream, int len);
  SDL_AudioDeviceID openDevice(const std::string& name, TAudioParams& wanted,
                               int wanted_nb_channels, int wanted_sample_rate,
                               SDL_AudioSpec& obtained, int& asked_channels);
  bool hardwareParams(const SDL_AudioSpec& obtained, int asked_channels, TAudioParams& wanted,
                      TAudioParams& hw);
  void noteDevice(const std::unique_lock<std::mutex>& held, const std::string& name,
                  SDL_AudioDeviceID dev);
  void startOutput(SDL_AudioDeviceID dev, const TAudioParams& hw, int hwBufSize);
  void report(TLogLevel level, const std::string& msg) const;
  bool tempoUsable() const;
  int applyTempo(int size, bool external_speed, double speed);
  double tempoBufferedSeconds() const;
  void captureSamples(const std::uint8_t* buf, int size);

  TAudioStateLink s;
  TAudioReport FReport;

  SDL_AudioDeviceID audio_dev = 0;
  std::string wanted_device;
  std::string current_device;
  mutable std::mutex device_lock;  // guards the two names

  std::shared_ptr<TAudioControls> controls = std::make_shared<TAudioControls>();
  std::atomic<bool> capture_samples{true};
  std::atomic<std::int64_t> start_time{0};
  std::mutex hook_lock;
  std::shared_ptr<const TAudioHook> hook;

  // Written by the callback; the clock fields are read by other threads.
  std::atomic<double> audio_clock{NAN};
  std::atomic<int> audio_clock_serial{-1};
  // Of the last block: media seconds the tempo processor still holds, and
  // media seconds per second of output.
  double audio_clock_lag = 0;
  double audio_out_speed = 1.0;
  double audio_diff_cum = 0;
  double audio_diff_avg_coef = 0;
  double audio_diff_threshold = 0;
  int audio_diff_avg_count = 0;
  int audio_hw_buf_size = 0;
  std::uint8_t* audio_buf = nullptr;
  AVMemPtr<std::uint8_t> audio_buf1;
  AVMemPtr<std::uint8_t> audio_buf2;
  unsigned audio_buf_size = 0;
  unsigned audio_buf1_size = 0;
  unsigned audio_buf2_size = 0;
  int audio_buf_index = 0;
  std::atomic<int> audio_write_buf_size{0};
  std::atomic<int> tgt_channels{0}, tgt_freq{0};  // for the display thread
  TAudioParams audio_src;
  TAudioParams audio_tgt;
  SwrPtr swr_ctx;
  std::unique_ptr<void, SoundTouchDeleter> soundtouch;
  int st_channels = 0;
  int st_sample_rate = 0;
  double st_tempo = 1.0;
  float st_pitch = 1.0f;
  std::atomic<int> audio_frame_available{0};
  std::atomic<std::int64_t> audio_callback_time{0};
  mutable std::mutex sample_lock;  // the display reads the ring
  std::vector<std::int16_t> sample_array;
  int sample_array_index = 0;
};

}  // namespace corvane
