// The sound preview of a task: encoded-side audio frames converted to signed
// 16-bit interleaved samples and played on a device of their own. When the
// task runs faster than real time, sound is skipped rather than delayed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "foundation/AVHandles.h"
#include "foundation/CircularBuffer.h"
#include "foundation/Logger.h"
#include "transcoder/TranscoderTypes.h"
#include "transcoder/WavePlayer.h"

namespace corvane {

// Rate, channels, layout and sample format of a stream of audio frames.
struct TAudioParam {
  int freq = -1;
  int channels = -1;
  TChannelLayout layout;
  AVSampleFormat fmt = AV_SAMPLE_FMT_NONE;
};

class TAudioPreview {
 public:
  // Bytes kept buffered while the device keeps pace; device blocks in a row
  // above that many before the backlog is dropped.
  static constexpr std::int64_t kLowWater = 8192;
  static constexpr int kBacklogBlocks = 8;

  // AStopped (read on the device's thread): the task ended, or a stop was asked.
  TAudioPreview(TObject* ASender, std::function<bool()> AStopped);
  ~TAudioPreview();  // Close
  TAudioPreview(const TAudioPreview&) = delete;
  TAudioPreview& operator=(const TAudioPreview&) = delete;

  // Any thread.
  void SetEnabled(bool AValue) { FEnabled = AValue; }
  bool Enabled() const { return FEnabled; }
  void Pause() { FPlayer.Pause(); }
  void Resume() { FPlayer.Resume(); }
  bool Opened() const { return FPlayer.Opened(); }

  // Task thread. The device driver (empty: SDL's choice) of the next opening.
  void SetDriver(const std::string& ADriver) { FDriver = ADriver; }
  // One frame of the encoder's rate and channel count: opens the device on
  // first use, closes it once the preview is switched off.
  void Feed(const AVFrame* AFrame, int ARate, int AChannels, bool ARateEmu);
  // Opens the device for rate and channels (any count; played as stereo
  // unless 1, 2, 4 or 6); false, logged, on failure.
  bool Open(int ARate, int AChannels);
  // Points AData at the frame's samples in the device format; their size in
  // bytes, or a negative error.
  int ConvertForPreview(const AVFrame* AFrame, const std::uint8_t*& AData);
  // Stops the device; a device waiting for data gives up at once.
  void Close();

  // The device's callback: fills all of ALen bytes.
  void FeedWaveOut(std::uint8_t* ABuffer, int ALen);

 private:
  static void DeviceCallback(void* AUserData, Uint8* ABuffer, int ALen);
  bool SourceChanged(const AVFrame* AFrame, TChannelLayout& ALayout) const;
  bool CreateConverter();
  bool Stopping() const;
  void Log(TLogLevel ALevel, const std::string& AText) const;

  TObject* FSender;
  std::function<bool()> FStopped;
  std::atomic<bool> FEnabled{false};
  std::atomic<bool> FClosing{false};
  std::atomic<int> FWaveCanWrite{0};
  std::string FDriver;
  TWavePlayer FPlayer;
  TCircularBuffer FWaveBuffer;
  TAudioParam FAudioParam;        // the frames being converted
  TAudioParam FDesireAudioParam;  // the device's format
  SwrPtr FConverter;
  AVMemPtr<std::uint8_t> FResampledBuffer;
  unsigned FResampledSize = 0;
};

}  // namespace corvane
