#include "recording/RecordingBridge.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <utility>

#include "foundation/Logger.h"
#include "foundation/MainThread.h"
#include "foundation/StrFormat.h"
#include "foundation/UserNotifier.h"

extern "C" {
#include <libavutil/error.h>
}

namespace corvane {

namespace {

constexpr const char* kFailed = "***Failed to record: ";
// The video ring holds a few seconds of small pictures, a few of large ones.
constexpr std::int64_t kVideoRingMax = 64 * 1024 * 1024;
// A stream the file has that delivers nothing this long after the other
// began is left out of the recording.
constexpr std::int64_t kDeclareWait = 500000;
// A jump of the sound's timestamps beyond this is a seek (microseconds).
constexpr std::int64_t kAudioJump = 200000;
// The longest silence put into the sound for one gap (seconds).
constexpr std::int64_t kMaxSilence = 60;
// The pictures keep the timestamps they were shown with, to the microsecond
// (the frame input's time base), not rounded to its nominal frame rate.
constexpr const char* kOutputSync = "-vsync vfr -enc_time_base:v -1";

// Marks the main thread's work on the encoder; calls that arrive while it
// pumps (a posted report, a click) are ignored.
class TControlScope {
 public:
  explicit TControlScope(bool& AFlag) : FFlag(AFlag), FEntered(!AFlag) { FFlag = true; }
  ~TControlScope() {
    if (FEntered) FFlag = false;
  }
  bool Entered() const { return FEntered; }

 private:
  bool& FFlag;
  bool FEntered;
};

std::int64_t samplesToMicroseconds(std::int64_t samples, int rate) {
  return rate > 0 ? samples * 1000000 / rate : 0;
}

std::int64_t microsecondsToSamples(std::int64_t us, int rate) {
  return std::llround(static_cast<double>(us) * rate / 1e6);
}

}  // namespace

TRecordingBridge::TRecordingBridge(TRecordPlayerPort& APlayer, TRecordEncoderPort& AEncoder,
                                   TRecordNotifier ANotify, TPostCall APost)
    : FPlayer(APlayer),
      FEncoder(AEncoder),
      FNotify(std::move(ANotify)),
      FPost(std::move(APost)),
      FAlive(std::make_shared<TRecordingBridge*>(this)),
      FFrameAdapter(std::make_shared<TFrameInputAdapter>()),
      FWaveAdapter(std::make_shared<TWaveInputAdapter>()) {
  if (!FNotify) FNotify = [](const std::string& text) { notifyUser("Error", text); };
  if (!FPost)
    FPost = [](std::function<void()> call) {
      if (auto d = currentDispatcher())
        d->post(std::move(call));
      else
        call();
    };
  for (TCircularBuffer* ring : {&FVideoBuffer, &FAudioBuffer}) {
    ring->SetWaitForData(false);
    ring->SetWaitForSpace(false);
  }
  FVideoBuffer.SetAutoGrowMax(kVideoRingMax);
  FFrameAdapter->SetTriggerEventInMainThread(false);
  FFrameAdapter->SetOnReadFrameYUV([this](TObject*, std::uint8_t* data, TInputFrameInfo* info) {
    return ReadFrameYUV(data, info);
  });
  FWaveAdapter->SetOnReadWaveData([this](TObject*, std::uint8_t* data, TInputWaveInfo* info) {
    return ReadWaveData(data, info);
  });
  FEncoder.SetOnTaskEnded([this](const std::string& error) {
    FTaskEnded = true;
    const unsigned session = FSession;
    post([this, session, error] { onTaskEnded(session, error); });
  });
}

TRecordingBridge::~TRecordingBridge() {
  StopRecording();
  FEncoder.SetOnTaskEnded({});
  FFrameAdapter->SetOnReadFrameYUV({});
  FWaveAdapter->SetOnReadWaveData({});
  FAlive.reset();
}

void TRecordingBridge::post(std::function<void()> ACall) {
  std::weak_ptr<TRecordingBridge*> alive = FAlive;
  FPost([alive, call = std::move(ACall)] {
    if (alive.lock()) call();
  });
}

// ---------------------------------------------------------------------------
// Main thread

void TRecordingBridge::ToggleRecording() {
  if (FState == rsIdle)
    StartRecording();
  else
    StopRecording();
}

void TRecordingBridge::StartRecording() {
  TControlScope scope(FInControl);
  if (!scope.Entered() || FState == rsRecording) return;
  if (FState == rsIdle) {
    ++FSession;
    FState = rsArmed;
  }
  tryStart();
}

// Armed: the hooks are on, so that the first pictures of a file about to
// open are kept; once the file's streams are known and have delivered their
// formats, the task is built (onFormatsKnown).
void TRecordingBridge::tryStart() {
  const bool video = FPlayer.HasVideo(), audio = FPlayer.HasAudio();
  {
    std::lock_guard g(FLock);
    if (!FCapturing) {
      resetCaptureLocked();
      FDrops = {};
      FCapturing = FWantVideo = FWantAudio = true;
    }
    if (video || audio) {
      FWantVideo = video;
      FWantAudio = audio;
      FStreamsKnown = true;
      checkDeclaredLocked();
    }
  }
  FPlayer.SetHooks(true);
}

void TRecordingBridge::OnFileOpen() {
  TControlScope scope(FInControl);
  if (scope.Entered() && FState == rsArmed) tryStart();
}

void TRecordingBridge::OnPlayStateStop() { StopRecording(); }

void TRecordingBridge::StopRecording() {
  TControlScope scope(FInControl);
  if (!scope.Entered()) return;
  const TRecordState was = FState;
  FPlayer.SetHooks(false);
  ++FSession;
  {
    std::lock_guard g(FLock);
    FCapturing = false;
    FEnding = true;
  }
  if (was == rsRecording) waitPumping([this] { return FTaskEnded.load(); }, FStopWait);
  FEncoder.Stop();
  FEncoder.ClearTasks();
  TRecordDrops drops;
  {
    std::lock_guard g(FLock);
    countLeftoversLocked();
    resetCaptureLocked();
    FPacker.Release();
    drops = FDrops;
  }
  FState = rsIdle;
  if (was == rsRecording)
    FFLogger().Log(nullptr, llInfo,
                   "Recording %s stopped: %" PRId64 " pictures and %" PRId64
                   " audio blocks dropped",
                   OutputFileName().c_str(), drops.Video, drops.Audio);
}

// Called once the hooks delivered what the file plays (or a stream stayed silent).
void TRecordingBridge::onFormatsKnown(unsigned ASession) {
  TControlScope scope(FInControl);
  if (!scope.Entered() || ASession != FSession || FState != rsArmed) return;
  FTaskEnded = false;
  if (buildTask()) {
    FState = rsRecording;
    return;
  }
  // The start failed: armed again, for the next file.
  FPlayer.SetHooks(false);
  FEncoder.ClearTasks();
  std::lock_guard g(FLock);
  resetCaptureLocked();
}

void TRecordingBridge::onFormatChanged(unsigned ASession, const std::string& AText) {
  if (FInControl || ASession != FSession || FState == rsIdle) return;
  StopRecording();
  FNotify(kFailed + AText);
}

void TRecordingBridge::onTaskEnded(unsigned ASession, const std::string& AError) {
  if (FInControl || ASession != FSession || FState != rsRecording) return;
  StopRecording();
  FNotify(kFailed + (AError.empty() ? std::string("the recording task ended") : AError));
}

std::string TRecordingBridge::OutputFileName() const {
  std::lock_guard g(FNameLock);
  return FOutputFileName;
}

void TRecordingBridge::SetOutputOptions(const std::string& AOptions) {
  std::lock_guard g(FNameLock);
  FOutputOptions = AOptions;
}

std::string TRecordingBridge::OutputOptions() const {
  std::lock_guard g(FNameLock);
  return FOutputOptions;
}

TRecordDrops TRecordingBridge::Drops() const {
  std::lock_guard g(FLock);
  return FDrops;
}

// ---------------------------------------------------------------------------
// The task

bool TRecordingBridge::buildTask() {
  int width, height, rate, channels;
  {
    std::lock_guard g(FLock);
    width = FWantVideo ? FVideoWidth : 0;
    height = FWantVideo ? FVideoHeight : 0;
    rate = FWantAudio ? FAudioSampleRate : 0;
    channels = FWantAudio ? FAudioChannels : 0;
  }
  FEncoder.ClearTasks();
  int task = -1;
  if (width > 0) {
    task = FEncoder.AddTask(
        FFrameAdapter->RegistryUrl(),
        strprintf("-f frameinput -input_type yuv -pix_fmt yuv420p -s %dx%d", width, height));
    if (task < 0) return fail(-1);
  }
  if (channels > 0) {
    const std::string options =
        strprintf("-f waveinput -ac %d -ar %d -sample_fmt s16", channels, rate);
    if (task < 0) {
      task = FEncoder.AddTask(FWaveAdapter->RegistryUrl(), options);
      if (task < 0) return fail(-1);
    } else if (FEncoder.AddInput(task, FWaveAdapter->RegistryUrl(), options) < 0) {
      return fail(task);
    }
  }
  const std::string name = NewOutputFileName(FPlayer.FileName(), ".mp4");
  {
    std::lock_guard g(FNameLock);
    FOutputFileName = name;
  }
  const std::string options = OutputOptions();
  if (!FEncoder.SetOutput(task, name,
                          options.empty() ? kOutputSync : kOutputSync + (" " + options)))
    return fail(task);
  if (!FEncoder.Start()) return fail(task);
  return true;
}

bool TRecordingBridge::fail(int ATask) {
  const std::string error = FEncoder.LastErrMsg();
  if (ATask >= 0) FEncoder.RemoveTask(ATask);
  FNotify(kFailed + error);
  return false;
}

// ---------------------------------------------------------------------------
// Capture (FLock held)

void TRecordingBridge::resetCaptureLocked() {
  FCapturing = FWantVideo = FWantAudio = FStreamsKnown = false;
  FEnding = false;
  FVideoWidth = FVideoHeight = FAudioSampleRate = FAudioChannels = -1;
  FReadyPosted = FChangePosted = false;
  FLastPTS = FFirstPTS = FAudioStart = FStartPTS = AV_NOPTS_VALUE;
  FAudioHooked = FAudioBytes = FAudioOwed = FAudioBlock = 0;
  FVideoBuffer.Reset();
  FAudioBuffer.Reset();
}

// What the task did not take before it stopped counts as dropped.
void TRecordingBridge::countLeftoversLocked() {
  const std::int64_t record = kRecordHeaderBytes + RecordPlaneBytes(FVideoWidth, FVideoHeight);
  if (FVideoWidth > 0 && record > kRecordHeaderBytes)
    FDrops.Video += FVideoBuffer.DataSize() / record;
  const std::int64_t audio = FAudioBuffer.DataSize();
  if (audio > 0 && FAudioBlock > 0) FDrops.Audio += (audio + FAudioBlock - 1) / FAudioBlock;
}

// Posts the build once every stream the file plays has declared its format,
// or once one has played kDeclareWait while the other stayed silent.
void TRecordingBridge::checkDeclaredLocked() {
  if (FReadyPosted || !FStreamsKnown) return;
  const bool video = FVideoWidth > 0, audio = FAudioChannels > 0;
  if ((FWantVideo && !video) || (FWantAudio && !audio)) {
    if (video && FLastPTS != AV_NOPTS_VALUE && FLastPTS - FFirstPTS >= kDeclareWait)
      FWantAudio = false;
    else if (audio && samplesToMicroseconds(FAudioHooked / (2 * FAudioChannels),
                                            FAudioSampleRate) >= kDeclareWait)
      FWantVideo = false;
    else
      return;
  }
  FReadyPosted = true;
  const unsigned session = FSession;
  post([this, session] { onFormatsKnown(session); });
}

void TRecordingBridge::formatChangedLocked(const std::string& AText) {
  if (FChangePosted) return;
  FChangePosted = true;
  const unsigned session = FSession;
  post([this, session, AText] { onFormatChanged(session, AText); });
}

void TRecordingBridge::FrameHook(const PicturePlanes& APicture, AVPixelFormat APixFmt, int AWidth,
                                 int AHeight, std::int64_t APTS) {
  std::lock_guard g(FLock);
  if (!FCapturing || !FWantVideo) return;
  if (FVideoWidth < 0) {
    FVideoWidth = AWidth;
    FVideoHeight = AHeight;
  } else if (AWidth != FVideoWidth || AHeight != FVideoHeight) {
    ++FDrops.Video;
    formatChangedLocked(strprintf("the picture size changed from %dx%d to %dx%d", FVideoWidth,
                                  FVideoHeight, AWidth, AHeight));
    return;
  }
  if (writePictureLocked(APicture, APixFmt, AWidth, AHeight, APTS)) {
    if (FFirstPTS == AV_NOPTS_VALUE) FFirstPTS = APTS;
    FLastPTS = APTS;
  } else {
    ++FDrops.Video;
  }
  checkDeclaredLocked();
}

// Pictures without a timestamp, or whose timestamp does not advance (a seek
// back, a loop), are not written: the input's timestamps must increase.
bool TRecordingBridge::writePictureLocked(const PicturePlanes& APicture, AVPixelFormat APixFmt,
                                          int AWidth, int AHeight, std::int64_t APTS) {
  if (APTS == AV_NOPTS_VALUE || (FLastPTS != AV_NOPTS_VALUE && APTS <= FLastPTS)) return false;
  if (!FPacker.Pack(APicture, APixFmt, AWidth, AHeight, APTS)) return false;
  return FVideoBuffer.Write(FPacker.Data(), FPacker.Size()) == FPacker.Size();
}

void TRecordingBridge::AudioHook(std::int64_t APTS, const std::uint8_t* ASample, int ASize,
                                 int ASampleRate, int AChannels) {
  std::lock_guard g(FLock);
  if (!FCapturing || !FWantAudio || ASize <= 0 || AChannels <= 0 || ASampleRate <= 0) return;
  if (FAudioChannels < 0) {
    FAudioSampleRate = ASampleRate;
    FAudioChannels = AChannels;
  } else if (ASampleRate != FAudioSampleRate || AChannels != FAudioChannels) {
    ++FDrops.Audio;
    formatChangedLocked(strprintf("the sound changed from %d Hz, %d channels to %d Hz, %d channels",
                                  FAudioSampleRate, FAudioChannels, ASampleRate, AChannels));
    return;
  }
  FAudioBlock = ASize;
  FAudioHooked += ASize;
  writeAudioLocked(APTS, ASample, ASize);
  checkDeclaredLocked();
}

// The sound follows the file's timeline from the first picture on: earlier
// samples are cut, a gap before a later first block is filled with silence,
// and so are jumps of the playing position (a seek forward leaves silence, a
// seek back drops the sound until it passes where it was). A block that finds
// the ring full is dropped and its length owed as silence.
void TRecordingBridge::writeAudioLocked(std::int64_t APTS, const std::uint8_t* ASample, int ASize) {
  const int frameBytes = 2 * FAudioChannels;
  const std::int64_t frames = ASize / frameBytes;
  if (frames <= 0) return;
  if (FAudioStart == AV_NOPTS_VALUE) {
    if (FWantVideo && FFirstPTS == AV_NOPTS_VALUE) return;  // before the first picture
    FAudioStart = FWantVideo ? FFirstPTS : blockStart(APTS, frames);
  }
  const bool first = FAudioBytes + FAudioOwed == 0;
  const std::int64_t gap = audioGapLocked(APTS, frames);
  if (gap <= -frames) {
    if (!first) ++FDrops.Audio;
    return;
  }
  const std::int64_t skip = std::max<std::int64_t>(0, -gap);
  const std::int64_t silence = std::clamp<std::int64_t>(gap, 0, kMaxSilence * FAudioSampleRate);
  const std::int64_t size = (frames - skip) * frameBytes;
  FAudioOwed += silence * frameBytes;
  if (!writeSilenceLocked()) {
    FAudioOwed += size;
    ++FDrops.Audio;
    return;
  }
  if (FAudioBuffer.Write(ASample + skip * frameBytes, static_cast<std::int32_t>(size)) != size) {
    FAudioOwed = size;
    ++FDrops.Audio;
    return;
  }
  FAudioBytes += size;
}

std::int64_t TRecordingBridge::blockStart(std::int64_t APTS, std::int64_t AFrames) const {
  return APTS == AV_NOPTS_VALUE ? 0 : APTS - samplesToMicroseconds(AFrames, FAudioSampleRate);
}

// The block's distance, in sample frames, from where the sound written so far
// ends: > 0 a gap, < 0 an overlap. Small differences are left alone.
std::int64_t TRecordingBridge::audioGapLocked(std::int64_t APTS, std::int64_t AFrames) const {
  if (APTS == AV_NOPTS_VALUE) return 0;
  const std::int64_t written = (FAudioBytes + FAudioOwed) / (2 * FAudioChannels);
  const std::int64_t gap =
      blockStart(APTS, AFrames) - FAudioStart - samplesToMicroseconds(written, FAudioSampleRate);
  if (written > 0 && std::llabs(gap) <= kAudioJump) return 0;
  return microsecondsToSamples(gap, FAudioSampleRate);
}

// Writes the silence owed, in pieces; what does not fit stays owed.
bool TRecordingBridge::writeSilenceLocked() {
  static const std::uint8_t kZeros[65536] = {};
  while (FAudioOwed > 0) {
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(FAudioOwed, sizeof kZeros));
    if (FAudioBuffer.Write(kZeros, n) != n) return false;
    FAudioOwed -= n;
    FAudioBytes += n;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Read handlers (the task's reading thread)

int TRecordingBridge::ReadFrameYUV(std::uint8_t* AData, TInputFrameInfo* AFrameInfo) {
  std::lock_guard g(FLock);
  const std::int32_t size = AFrameInfo->BytesPerFrame;
  const std::int64_t held = FVideoBuffer.DataSize();
  if (held < size + kRecordHeaderBytes) return FEnding && held == 0 ? AVERROR_EOF : AVERROR(EAGAIN);
  std::uint8_t header[kRecordHeaderBytes];
  if (FVideoBuffer.Read(header, kRecordHeaderBytes) != kRecordHeaderBytes) return -1;
  if (RecordSize(header) != size || FVideoBuffer.Read(AData, size) != size) return -1;
  std::int64_t pts = RecordPTS(header);
  if (pts != AV_NOPTS_VALUE) {
    if (FStartPTS == AV_NOPTS_VALUE) FStartPTS = pts;
    pts -= FStartPTS;
  }
  AFrameInfo->TimeStamp = pts;
  return size;
}

int TRecordingBridge::ReadWaveData(std::uint8_t* AData, TInputWaveInfo* AWaveInfo) {
  std::lock_guard g(FLock);
  const int frameBytes = AWaveInfo->Channels * AWaveInfo->SampleFormat / 8;
  const std::int64_t held = FAudioBuffer.DataSize();
  std::int64_t n = std::min<std::int64_t>(held, AWaveInfo->FrameSize);
  if (frameBytes > 0) n -= n % frameBytes;
  if (n <= 0) return FEnding && held == 0 ? AVERROR_EOF : AVERROR(EAGAIN);
  return FAudioBuffer.Read(AData, static_cast<std::int32_t>(n));
}

}  // namespace corvane
