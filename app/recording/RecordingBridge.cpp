#include "recording/RecordingBridge.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <utility>

#include "foundation/Logger.h"
#include "foundation/MainThread.h"
#include "foundation/StrFormat.h"
#include "foundation/UserNotifier.h"
#include "foundation/api/avutil.h"

extern "C" {
#include <libavutil/error.h>
}

namespace corvane {

namespace {

constexpr const char* kFailed = "***Failed to record: ";
// The video ring holds a few seconds of small pictures, a few of large ones.
constexpr std::int64_t kVideoRingMax = 64 * 1024 * 1024;
constexpr std::int64_t kVideoRingRecords = 150;
// The audio ring holds this many seconds of sound.
constexpr std::int64_t kAudioRingSeconds = 10;
// A stream the file has that delivers nothing this long after the other
// began is left out of the recording.
constexpr std::int64_t kDeclareWait = 500000;
// A jump of the sound's timestamps beyond this is a seek (microseconds).
constexpr std::int64_t kAudioJump = 200000;
// Until the sound's format is known the audio ring holds this much.
constexpr std::int64_t kAudioRingStartBytes = kAudioRingSeconds * 48000 * 2 * 2 + 1;
// The pictures keep the timestamps they were shown with, to the microsecond
// (the frame input's time base), not rounded to its nominal frame rate.
constexpr const char* kOutputSync = "-vsync vfr -enc_time_base:v -1";

std::int64_t samplesToMicroseconds(std::int64_t samples, int rate) {
  return rate > 0 ? samples * 1000000 / rate : 0;
}

std::int64_t microsecondsToSamples(std::int64_t us, int rate) {
  return std::llround(static_cast<double>(us) * rate / 1e6);
}

std::string formatName(AVPixelFormat AFormat) {
  const char* name = ff::av_get_pix_fmt_name ? ff::av_get_pix_fmt_name(AFormat) : nullptr;
  return name ? name : std::to_string(static_cast<int>(AFormat));
}

std::int64_t videoRecordBytes(int AWidth, int AHeight) {
  return kRecordHeaderBytes + RecordPlaneBytes(AWidth, AHeight);
}

}  // namespace

std::string FormatDrops(const TRecordDrops& ADrops) {
  return strprintf("%" PRId64 " pictures and %" PRId64 " audio blocks dropped, %" PRId64
                   " pictures and %" PRId64 " audio blocks skipped",
                   ADrops.Video, ADrops.Audio, ADrops.SkippedVideo, ADrops.SkippedAudio);
}

// Marks the main thread's work on the encoder; see leaveControl.
class TRecordingBridge::TControl {
 public:
  explicit TControl(TRecordingBridge& ABridge) : FBridge(ABridge) { FBridge.FInControl = true; }
  ~TControl() { FBridge.leaveControl(); }
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;

 private:
  TRecordingBridge& FBridge;
};

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
  FOwnPost = static_cast<bool>(FPost);
  if (!FPost)
    FPost = [](std::function<void()> call) {
      if (auto d = currentDispatcher())
        d->post(std::move(call));
      else
        FFLogger().Log(nullptr, llWarning, "Recording: no dispatcher, a report is lost");
    };
  for (TCircularBuffer* ring : {&FVideoBuffer, &FAudioBuffer}) {
    ring->SetWaitForData(false);
    ring->SetWaitForSpace(false);
    ring->SetAutoGrow(false);
    ring->SetCapacity(TCircularBuffer::CapacityGranule);
  }
  FFrameAdapter->SetTriggerEventInMainThread(false);
  FFrameAdapter->SetOnReadFrameYUV([this](TObject*, std::uint8_t* data, TInputFrameInfo* info) {
    return ReadFrameYUV(data, info);
  });
  FWaveAdapter->SetOnReadWaveData([this](TObject*, std::uint8_t* data, TInputWaveInfo* info) {
    return ReadWaveData(data, info);
  });
  FEncoder.SetOnTaskEnded([this](const std::string& error) {
    if (!error.empty()) {
      std::lock_guard g(FNameLock);
      FTaskError = error;
    }
    FTaskEnded = true;
    const unsigned session = FSession;
    post([this, session] { onTaskEnded(session); });
  });
}

TRecordingBridge::~TRecordingBridge() {
  // Destroyed from inside one of its calls (a pump): stop directly.
  FDeferred.clear();
  FInControl = FNotifying = false;
  StopRecording();
  if (FState != rsIdle) StopRecording();  // a start that came while it pumped
  FDeferred.clear();
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

void TRecordingBridge::sendPosts(const TPosts& APosts, unsigned ASession) {
  if (APosts.Ready) post([this, ASession] { onFormatsKnown(ASession); });
  if (!APosts.Change.empty())
    post([this, ASession, text = APosts.Change] { onFormatChanged(ASession, text); });
  if (!APosts.Message.empty())
    post([this, ASession, text = APosts.Message] { onMessage(ASession, text); });
}

// ---------------------------------------------------------------------------
// Main thread

bool TRecordingBridge::deferred(std::function<void()> ACall) {
  if (!FInControl && !FNotifying) return false;
  FDeferred.push_back(std::move(ACall));
  return true;
}

// Runs ABody in control of the encoder; a call that arrives while the bridge
// is in control (it pumps) or tells its messages runs after that, in order.
void TRecordingBridge::controlled(std::function<void()> ABody) {
  if (deferred([this, ABody] { controlled(ABody); })) return;
  TControl control(*this);
  ABody();
}

void TRecordingBridge::stopReporting(bool APlaybackStopped) {
  const std::string error = stop(APlaybackStopped);
  if (!error.empty()) report(error);
}

// The messages first (a modal box may call back in: such calls queue behind
// the deferred ones), then what arrived while the bridge pumped, in order.
void TRecordingBridge::leaveControl() {
  FInControl = false;
  FNotifying = true;
  std::vector<std::string> messages;
  messages.swap(FMessages);
  for (const std::string& m : messages) FNotify(m);
  messages.clear();
  messages.swap(FNotices);
  for (const std::string& m : messages) (FOnNotice ? FOnNotice : FNotify)(m);
  if (std::exchange(FStoppedPending, false) && FOnStopped) FOnStopped();
  FNotifying = false;
  while (!FInControl && !FDeferred.empty()) {
    std::function<void()> call = std::move(FDeferred.front());
    FDeferred.pop_front();
    call();
  }
}

void TRecordingBridge::report(const std::string& AError) {
  {
    std::lock_guard g(FNameLock);
    FLastError = AError;
  }
  FMessages.push_back(kFailed + AError);
}

void TRecordingBridge::ToggleRecording() {
  if (deferred([this] { ToggleRecording(); })) return;
  if (FState == rsIdle)
    StartRecording();
  else
    StopRecording();
}

void TRecordingBridge::StartRecording() {
  controlled([this] { startInControl(); });
}

void TRecordingBridge::startInControl() {
  if (FState == rsRecording) return;
  if (FState == rsIdle) {
    if (!FOwnPost && !currentDispatcher()) {
      report("no main-thread dispatcher is installed");
      return;
    }
    {
      std::lock_guard g(FNameLock);
      FLastError.clear();
    }
    for (auto* n : {&FDroppedVideo, &FDroppedAudio, &FSkippedVideo, &FSkippedAudio}) *n = 0;
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
  FNormalSpeed = FPlayer.PlaybackSpeed() == 1.0;
  if (!FCapturing) {
    resetCapture();
    std::lock_guard a(FAudioLock);
    FAudioBuffer.SetCapacity(kAudioRingStartBytes);
  }
  TPosts posts;
  {
    std::lock_guard g(FStateLock);
    if (!FCapturing) {
      FDeclared.WantVideo = FDeclared.WantAudio = true;
      FCapturing = true;
    }
    if (video || audio) {
      FDeclared.WantVideo = video;
      FDeclared.WantAudio = audio;
      FDeclared.StreamsKnown = true;
      checkDeclaredLocked(posts);
    }
  }
  sendPosts(posts, FSession);
  FPlayer.SetHooks(true);
}

void TRecordingBridge::OnFileOpen() {
  controlled([this] {
    if (FState == rsArmed) tryStart();
  });
}

void TRecordingBridge::OnPlayStateStop() {
  controlled([this] { stopReporting(true); });
}

void TRecordingBridge::OnFileReplaced() {
  controlled([this] {
    if (FState != rsArmed) return stopReporting(false);
    stop();  // nothing was recorded of this file; the next one may be
    ++FSession;
    FState = rsArmed;
    tryStart();
  });
}

void TRecordingBridge::StopRecording() {
  controlled([this] { stopReporting(false); });
}

// Ends the recording; the task's error, why the file was cut short, or, when
// playback stopped, that a file played but its recording never started and
// no failure said why.
std::string TRecordingBridge::stop(bool APlaybackStopped) {
  const TRecordState was = FState;
  bool opened;
  {
    std::lock_guard g(FStateLock);
    opened = FDeclared.StreamsKnown;
  }
  FPlayer.SetHooks(false);
  ++FSession;
  FCapturing = false;
  FEnding = true;
  bool drained = true;
  if (was == rsRecording) drained = waitPumping([this] { return FTaskEnded.load(); }, FStopWait);
  FEncoder.Stop();
  FEncoder.ClearTasks();
  const bool leftovers = countLeftovers();
  resetCapture();
  {
    std::lock_guard p(FPackLock);
    FPacker.Release();
  }
  FState = rsIdle;
  if (was == rsArmed && opened && APlaybackStopped && LastRecordError().empty())
    return "nothing was recorded";
  if (was != rsRecording) return {};
  FFLogger().Log(nullptr, llInfo, "Recording %s stopped: %s", OutputFileName().c_str(),
                 FormatDrops(Drops()).c_str());
  FStoppedPending = true;
  std::lock_guard g(FNameLock);
  if (FTaskError.empty() && !drained && leftovers)
    return "the encoder did not finish in time; the end of the recording is cut short";
  return std::exchange(FTaskError, {});
}

// Called once the hooks delivered what the file plays (or a stream stayed silent).
void TRecordingBridge::onFormatsKnown(unsigned ASession) {
  controlled([this, ASession] { buildWhenArmed(ASession); });
}

void TRecordingBridge::buildWhenArmed(unsigned ASession) {
  if (ASession != FSession || FState != rsArmed) return;
  sizeAudioRing();
  FTaskEnded = false;
  {
    std::lock_guard g(FNameLock);
    FTaskError.clear();
  }
  if (buildTask()) {
    FState = rsRecording;
    return;
  }
  // The start failed: armed again, for the next file; what the hooks posted
  // meanwhile is stale.
  ++FSession;
  FPlayer.SetHooks(false);
  FEncoder.ClearTasks();
  FCapturing = false;
  resetCapture();
}

void TRecordingBridge::onFormatChanged(unsigned ASession, const std::string& AText) {
  controlled([this, ASession, AText] {
    if (ASession != FSession || FState == rsIdle) return;
    stopReporting(false);
    report(AText);
  });
}

void TRecordingBridge::onTaskEnded(unsigned ASession) {
  controlled([this, ASession] {
    if (ASession != FSession || FState != rsRecording) return;
    const std::string error = stop();
    report(error.empty() ? std::string("the recording task ended") : error);
  });
}

void TRecordingBridge::onMessage(unsigned ASession, const std::string& AText) {
  controlled([this, ASession, AText] {
    if (ASession == FSession && FState != rsIdle) FNotices.push_back(kFailed + AText);
  });
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

std::string TRecordingBridge::LastRecordError() const {
  std::lock_guard g(FNameLock);
  return FLastError;
}

TRecordDrops TRecordingBridge::Drops() const {
  return {FDroppedVideo.load(), FDroppedAudio.load(), FSkippedVideo.load(), FSkippedAudio.load()};
}

// ---------------------------------------------------------------------------
// The task

bool TRecordingBridge::buildTask() {
  TDeclared d;
  {
    std::lock_guard g(FStateLock);
    d = FDeclared;
  }
  FEncoder.ClearTasks();
  int task = -1;
  if (d.WantVideo && d.Width > 0) {
    task = FEncoder.AddTask(
        FFrameAdapter->RegistryUrl(),
        strprintf("-f frameinput -input_type yuv -pix_fmt %s -s %dx%d",
                  d.Format == AV_PIX_FMT_YUVJ420P ? "yuvj420p" : "yuv420p", d.Width, d.Height));
    if (task < 0) return fail(-1);
  }
  if (d.WantAudio && d.Channels > 0) {
    const std::string options =
        strprintf("-f waveinput -ac %d -ar %d -sample_fmt s16", d.Channels, d.SampleRate);
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
  FMessages.push_back(kFailed + error);
  return false;
}

// ---------------------------------------------------------------------------
// Capture

// Grows the audio ring to kAudioRingSeconds of the declared sound (growth
// keeps what the hook wrote meanwhile).
void TRecordingBridge::sizeAudioRing() {
  std::lock_guard a(FAudioLock);
  std::lock_guard g(FStateLock);
  if (FDeclared.Channels <= 0) return;
  const std::int64_t bytes = kAudioRingSeconds * FDeclared.SampleRate * 2 * FDeclared.Channels + 1;
  if (bytes > FAudioBuffer.Capacity()) FAudioBuffer.SetCapacity(bytes);
}

void TRecordingBridge::resetCapture() {
  std::lock_guard v(FVideoLock);
  std::lock_guard a(FAudioLock);
  std::lock_guard g(FStateLock);
  FEnding = false;
  FDeclared = {};
  FStartPTS = AV_NOPTS_VALUE;
  FVideoBuffer.SetCapacity(TCircularBuffer::CapacityGranule);
  FVideoBuffer.Reset();
  resetAudioLocked();
  FAudioBuffer.SetCapacity(TCircularBuffer::CapacityGranule);
}

void TRecordingBridge::resetAudioLocked() {
  FAudioStart = AV_NOPTS_VALUE;
  FAudioBytes = FAudioBlock = FAudioRead = 0;
  FAudioRate = FAudioFrame = 0;
  FSilences.clear();
  FAudioBuffer.Reset();
}

// What the task did not take before it stopped counts as dropped; true when
// there was some.
bool TRecordingBridge::countLeftovers() {
  std::lock_guard v(FVideoLock);
  std::lock_guard a(FAudioLock);
  std::lock_guard g(FStateLock);
  const std::int64_t record = videoRecordBytes(FDeclared.Width, FDeclared.Height);
  if (FDeclared.Width > 0 && record > kRecordHeaderBytes)
    FDroppedVideo += FVideoBuffer.DataSize() / record;
  const std::int64_t audio = FAudioBuffer.DataSize();
  if (audio > 0 && FAudioBlock > 0) FDroppedAudio += (audio + FAudioBlock - 1) / FAudioBlock;
  return FVideoBuffer.DataSize() > 0 || audio > 0 || !FSilences.empty();
}

// Posts the build once every stream the file plays has declared its format,
// or once one has played kDeclareWait while the other stayed silent.
void TRecordingBridge::checkDeclaredLocked(TPosts& APosts) {
  TDeclared& d = FDeclared;
  if (d.ReadyPosted || !d.StreamsKnown) return;
  const bool video = d.Width > 0, audio = d.Channels > 0;
  if ((d.WantVideo && !video) || (d.WantAudio && !audio)) {
    if (video && d.LastPTS != AV_NOPTS_VALUE && d.LastPTS - d.FirstPTS >= kDeclareWait)
      d.WantAudio = false;
    else if (audio &&
             samplesToMicroseconds(d.AudioHooked / (2 * d.Channels), d.SampleRate) >= kDeclareWait)
      d.WantVideo = false;
    else
      return;
  }
  d.ReadyPosted = true;
  APosts.Ready = true;
}

void TRecordingBridge::formatChangedLocked(const std::string& AText, TPosts& APosts) {
  if (std::exchange(FDeclared.ChangePosted, true)) return;
  APosts.Change = AText;
}

// ---------------------------------------------------------------------------
// The video hook: pictures are packed outside the locks the sound takes.

void TRecordingBridge::FrameHook(const PicturePlanes& APicture, AVPixelFormat APixFmt, int AWidth,
                                 int AHeight, std::int64_t APTS) {
  const unsigned session = FSession;
  if (!FCapturing || !videoWanted(APTS)) return;
  std::lock_guard p(FPackLock);
  if (!FCapturing || FSession != session) return;  // stopped: the packer is released
  if (!FPacker.Pack(APicture, APixFmt, AWidth, AHeight, APTS)) {
    packFailed(APixFmt);
    return;
  }
  writePicture(session, RecordFormat(APixFmt), AWidth, AHeight, APTS);
}

// Pictures without a timestamp, or whose timestamp does not advance (a seek
// back, a loop), are skipped: the input's timestamps must increase.
bool TRecordingBridge::videoWanted(std::int64_t APTS) {
  std::lock_guard g(FStateLock);
  if (!FDeclared.WantVideo) return false;
  if (APTS != AV_NOPTS_VALUE && (FDeclared.LastPTS == AV_NOPTS_VALUE || APTS > FDeclared.LastPTS))
    return true;
  ++FSkippedVideo;
  return false;
}

void TRecordingBridge::packFailed(AVPixelFormat AFormat) {
  ++FDroppedVideo;
  TPosts posts;
  {
    std::lock_guard g(FStateLock);
    if (std::exchange(FDeclared.PackFailPosted, true)) return;
  }
  posts.Message = "pictures in the " + formatName(AFormat) + " format cannot be recorded";
  sendPosts(posts, FSession);
}

void TRecordingBridge::writePicture(unsigned ASession, AVPixelFormat AFormat, int AWidth,
                                    int AHeight, std::int64_t APTS) {
  TPosts posts;
  {
    std::lock_guard v(FVideoLock);
    if (ASession == FSession && declarePictureLocked(AWidth, AHeight, AFormat, posts)) {
      const bool written = FVideoBuffer.Write(FPacker.Data(), FPacker.Size()) == FPacker.Size();
      if (!written) ++FDroppedVideo;
      std::lock_guard a(FAudioLock);
      std::lock_guard g(FStateLock);
      if (written) {
        if (FDeclared.FirstPTS == AV_NOPTS_VALUE) {
          FDeclared.FirstPTS = APTS;
          alignAudioLocked(APTS);
        }
        FDeclared.LastPTS = APTS;
      }
      checkDeclaredLocked(posts);
    }
  }
  sendPosts(posts, ASession);
}

// FVideoLock held. The first picture written declares the input; a size
// that changes before the task is built starts the capture again.
bool TRecordingBridge::declarePictureLocked(int AWidth, int AHeight, AVPixelFormat AFormat,
                                            TPosts& APosts) {
  {
    std::lock_guard g(FStateLock);
    if (!FCapturing || !FDeclared.WantVideo) return false;
    const TDeclared& d = FDeclared;
    if (d.Width == AWidth && d.Height == AHeight && d.Format == AFormat) return true;
    if (d.Width > 0 && d.ReadyPosted) {
      ++FDroppedVideo;
      formatChangedLocked(d.Width == AWidth && d.Height == AHeight
                              ? strprintf("the picture format changed from %s to %s",
                                          formatName(d.Format).c_str(), formatName(AFormat).c_str())
                              : strprintf("the picture size changed from %dx%d to %dx%d", d.Width,
                                          d.Height, AWidth, AHeight),
                          APosts);
      return false;
    }
  }
  {
    std::lock_guard a(FAudioLock);
    std::lock_guard g(FStateLock);
    TDeclared& d = FDeclared;
    if (d.ReadyPosted) {  // declared meanwhile: the next picture reports the change
      ++FDroppedVideo;
      return false;
    }
    if (d.Width > 0) {
      FDroppedVideo += FVideoBuffer.DataSize() / videoRecordBytes(d.Width, d.Height);
      resetAudioLocked();
    }
    d.Width = AWidth;
    d.Height = AHeight;
    d.Format = AFormat;
    d.FirstPTS = d.LastPTS = AV_NOPTS_VALUE;
  }
  const std::int64_t record = videoRecordBytes(AWidth, AHeight);
  const std::int64_t records =
      std::clamp<std::int64_t>(kVideoRingMax / record, 2, kVideoRingRecords);
  FVideoBuffer.SetCapacity(record * records + 1);
  FVideoBuffer.Reset();
  return true;
}

// ---------------------------------------------------------------------------
// The audio hook (inside the device's callback): short locks only.

void TRecordingBridge::AudioHook(std::int64_t APTS, const std::uint8_t* ASample, int ASize,
                                 int ASampleRate, int AChannels) {
  if (!FCapturing || ASize <= 0 || AChannels <= 0 || ASampleRate <= 0) return;
  TPosts posts;
  const unsigned session = FSession;
  bool write = false;
  {
    std::lock_guard g(FStateLock);
    write = declareAudioLocked(ASampleRate, AChannels, ASize, posts);
    checkDeclaredLocked(posts);
  }
  if (write) {
    std::lock_guard a(FAudioLock);
    if (FCapturing && FSession == session)
      writeAudioLocked(APTS, ASample, ASize, ASampleRate, AChannels);
  }
  sendPosts(posts, session);
}

bool TRecordingBridge::declareAudioLocked(int ASampleRate, int AChannels, int ASize,
                                          TPosts& APosts) {
  TDeclared& d = FDeclared;
  if (!FCapturing || !d.WantAudio) return false;
  if (d.Channels < 0) {
    d.SampleRate = ASampleRate;
    d.Channels = AChannels;
  } else if (ASampleRate != d.SampleRate || AChannels != d.Channels) {
    ++FDroppedAudio;
    formatChangedLocked(strprintf("the sound changed from %d Hz, %d channels to %d Hz, %d channels",
                                  d.SampleRate, d.Channels, ASampleRate, AChannels),
                        APosts);
    return false;
  }
  d.AudioHooked += ASize;
  return true;
}

// The sound follows the file's timeline from the first picture on (or from
// its first block while there is none): earlier samples are cut, a gap
// before a later first block is filled with silence,
// and so are jumps of the playing position (a seek forward leaves silence, a
// seek back skips the sound until it passes where it was). A block that finds
// the ring full is dropped and its length owed as silence.
void TRecordingBridge::writeAudioLocked(std::int64_t APTS, const std::uint8_t* ASample, int ASize,
                                        int ASampleRate, int AChannels) {
  const int frameBytes = 2 * AChannels;
  const std::int64_t frames = ASize / frameBytes;
  if (frames <= 0) return;
  if (FAudioStart == AV_NOPTS_VALUE) {
    std::int64_t firstPicture;
    bool wantVideo;
    {
      std::lock_guard g(FStateLock);
      firstPicture = FDeclared.FirstPTS;
      wantVideo = FDeclared.WantVideo;
    }
    FAudioRate = ASampleRate;
    FAudioFrame = frameBytes;
    // Before the first picture the sound starts with its block; the picture
    // aligns it when it comes (alignAudioLocked).
    FAudioStart =
        wantVideo && firstPicture != AV_NOPTS_VALUE ? firstPicture : blockStart(APTS, frames);
  }
  FAudioBlock = ASize;
  const bool first = FAudioBytes == 0;
  const std::int64_t gap = audioGapLocked(APTS, frames);
  if (gap <= -frames) {
    if (!first) ++FSkippedAudio;
    return;
  }
  const std::int64_t skip = std::max<std::int64_t>(0, -gap);
  oweSilenceLocked(std::max<std::int64_t>(gap, 0) * frameBytes);
  const std::int64_t size = (frames - skip) * frameBytes;
  if (FAudioBuffer.Write(ASample + skip * frameBytes, static_cast<std::int32_t>(size)) != size) {
    oweSilenceLocked(size);
    ++FDroppedAudio;
    return;
  }
  FAudioBytes += size;
}

// The first picture moves the start of the sound written before it to its
// own time: earlier sound is cut, a later start gets silence in front.
void TRecordingBridge::alignAudioLocked(std::int64_t APicturePTS) {
  if (FAudioStart == AV_NOPTS_VALUE || FAudioRead > 0) return;
  const std::int64_t bytes =
      microsecondsToSamples(APicturePTS - FAudioStart, FAudioRate) * FAudioFrame;
  FAudioStart = APicturePTS;
  if (bytes > 0) {
    dropAudioFrontLocked(std::min(bytes, FAudioBytes));
  } else if (bytes < 0) {
    for (TSilence& s : FSilences) s.At -= bytes;
    if (!FSilences.empty() && FSilences.front().At == -bytes)
      FSilences.front() = {0, FSilences.front().Bytes - bytes};
    else
      FSilences.push_front({0, -bytes});
    FAudioBytes -= bytes;
  }
}

// Removes the first ABytes of the sound stream, silences and ring data alike.
void TRecordingBridge::dropAudioFrontLocked(std::int64_t ABytes) {
  std::int64_t pos = 0, fromRing = 0;
  while (pos < ABytes) {
    if (!FSilences.empty() && FSilences.front().At <= pos) {
      TSilence& s = FSilences.front();
      const std::int64_t n = std::min(s.At + s.Bytes, ABytes) - pos;
      s.At += n;
      if ((s.Bytes -= n) == 0) FSilences.pop_front();
      pos += n;
    } else {
      const std::int64_t end = FSilences.empty() ? ABytes : std::min(ABytes, FSilences.front().At);
      fromRing += end - pos;
      pos = end;
    }
  }
  FAudioBuffer.Discard(static_cast<std::int32_t>(fromRing));
  for (TSilence& s : FSilences) s.At -= ABytes;
  FAudioBytes -= ABytes;
}

void TRecordingBridge::oweSilenceLocked(std::int64_t ABytes) {
  if (ABytes <= 0) return;
  if (!FSilences.empty() && FSilences.back().At + FSilences.back().Bytes == FAudioBytes)
    FSilences.back().Bytes += ABytes;
  else
    FSilences.push_back({FAudioBytes, ABytes});
  FAudioBytes += ABytes;
}

std::int64_t TRecordingBridge::blockStart(std::int64_t APTS, std::int64_t AFrames) const {
  return APTS == AV_NOPTS_VALUE ? 0 : APTS - samplesToMicroseconds(AFrames, FAudioRate);
}

// The block's distance, in sample frames, from where the sound written so far
// ends: > 0 a gap, < 0 an overlap. Small differences are left alone, and so is
// every difference once the sound plays faster or slower than the file.
std::int64_t TRecordingBridge::audioGapLocked(std::int64_t APTS, std::int64_t AFrames) const {
  if (APTS == AV_NOPTS_VALUE) return 0;
  const std::int64_t written = FAudioBytes / FAudioFrame;
  if (written > 0 && !FNormalSpeed) return 0;
  const std::int64_t gap =
      blockStart(APTS, AFrames) - FAudioStart - samplesToMicroseconds(written, FAudioRate);
  if (written > 0 && std::llabs(gap) <= kAudioJump) return 0;
  return microsecondsToSamples(gap, FAudioRate);
}

// ---------------------------------------------------------------------------
// Read handlers (the task's reading thread)

int TRecordingBridge::ReadFrameYUV(std::uint8_t* AData, TInputFrameInfo* AFrameInfo) {
  std::lock_guard g(FVideoLock);
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

// Silence owed at the read position comes as zeros; data is read up to the
// next silence.
int TRecordingBridge::ReadWaveData(std::uint8_t* AData, TInputWaveInfo* AWaveInfo) {
  std::lock_guard g(FAudioLock);
  const int frameBytes = AWaveInfo->Channels * AWaveInfo->SampleFormat / 8;
  std::int64_t want = AWaveInfo->FrameSize;
  if (frameBytes > 0) want -= want % frameBytes;
  if (!FSilences.empty() && FSilences.front().At == FAudioRead && want > 0) {
    const std::int64_t n = std::min(want, FSilences.front().Bytes);
    std::memset(AData, 0, static_cast<std::size_t>(n));
    FSilences.front().At += n;
    if ((FSilences.front().Bytes -= n) == 0) FSilences.pop_front();
    FAudioRead += n;
    return static_cast<int>(n);
  }
  const std::int64_t held = FAudioBuffer.DataSize();
  std::int64_t n = std::min(held, want);
  if (!FSilences.empty()) n = std::min(n, FSilences.front().At - FAudioRead);
  if (frameBytes > 0) n -= n % frameBytes;
  if (n <= 0) return FEnding && held == 0 && FSilences.empty() ? AVERROR_EOF : AVERROR(EAGAIN);
  const int read = FAudioBuffer.Read(AData, static_cast<std::int32_t>(n));
  if (read > 0) FAudioRead += read;
  return read;
}

}  // namespace corvane
