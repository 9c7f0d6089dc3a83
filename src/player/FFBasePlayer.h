// The player component: plays one media file at a time, with its play,
// event and helper threads, and delivers its events to the application.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "decoder/VUZezevud.h"
#include "foundation/BaseComponent.h"
#include "foundation/Bitmap.h"
#include "foundation/FormatConverter.h"
#include "foundation/Library.h"
#include "player/PlayEvents.h"
#include "player/PlayerHost.h"
#include "player/VideoState.h"

namespace corvane {

enum TErrorType { errUnknow, errVideoFilters };

using TFileOpenEvent = std::function<void(TObject* Sender, std::int64_t ADuration, int AFrameWidth,
                                          int AFrameHeight, int& AScreenWidth, int& AScreenHeight)>;
using TPositionEvent = std::function<void(TObject* Sender, std::int64_t APTS)>;
using TPosition2Event =
    std::function<void(TObject* Sender, std::int64_t APTS, std::int64_t ABytes)>;
using TPlayStateEvent = std::function<void(TObject* Sender, TPlayState APlayState)>;
using TErrorNotifyEvent =
    std::function<void(TObject* Sender, TErrorType AError, const std::string& AMessage)>;
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TFrameHookEvent =
    std::function<void(TObject* Sender, const PicturePlanes& APicture, AVPixelFormat APixFmt,
                       int AWidth, int AHeight, std::int64_t APTS)>;
using TVideoHookEvent =
    std::function<void(TObject* Sender, Bitmap& ABitmap, std::int64_t APTS, bool& AUpdate)>;
using TAudioHookEvent =
    std::function<void(TObject* Sender, std::int64_t APTS, const std::uint8_t* ASample, int ASize,
                       int ASampleRate, int AChannels)>;

// A thread of the player. Joining it on the main thread runs the main thread's
// queued calls meanwhile, since the thread may be waiting for one of them.
class TPlayerThread {
 public:
  TPlayerThread() = default;
  ~TPlayerThread() { Join(); }
  TPlayerThread(const TPlayerThread&) = delete;
  TPlayerThread& operator=(const TPlayerThread&) = delete;
  template <class F>
  void Start(F&& body) {
    Join();
    auto done = std::make_shared<std::atomic<bool>>(false);
    FDone = done;
    FThread = std::thread([done, body = std::forward<F>(body)]() mutable {
      body();
      *done = true;
    });
  }
  // A thread never joins itself: it is ending, and is left to finish.
  void Join();

 private:
  std::thread FThread;
  std::shared_ptr<std::atomic<bool>> FDone;
};

class TFFBasePlayer : public TFFBaseComponent, protected TPlayerHost {
 public:
  static constexpr TLibraries LibrarySet = kPlayerLibraries;
  explicit TFFBasePlayer(TComponent* AOwner = nullptr);
  ~TFFBasePlayer() override;
  TFFBasePlayer(const TFFBasePlayer&) = delete;
  TFFBasePlayer& operator=(const TFFBasePlayer&) = delete;
  const char* ClassName() const override { return "TFFBasePlayer"; }

  bool AVLibLoaded();
  bool LoadAVLib(const std::string& APath);
  void UnloadAVLib();
  bool SDLWasInit();
  bool InitSDL();

  // Open waits until the input is open (or failed); TryOpen returns at once
  // and reports through OnFileOpen or OnOpenFailed.
  bool Open(const std::string& AFileName, bool APaused = false);
  bool TryOpen(const std::string& AFileName, bool APaused = false);
  void Stop(bool AWaitForStop = false);
  void Pause();
  void Resume();
  void TogglePause();
  void StepToNextFrame();
  void FlushQueue();
  // Absolute seek (microseconds, or bytes with sfByte).
  void SeekTo(std::int64_t APTS, TSeekFlags ASeekFlags = 0, bool AWaitForSeekEnd = false);
  // Relative seek (seconds, or bytes with sfByte).
  void SeekBy(double ADelta, TSeekFlags ASeekFlags = 0, bool AWaitForSeekEnd = false);
  bool opt_default(const std::string& opt, const std::string& arg);
  bool DefaultOptions(const std::string& AOptions);

  bool SendVideoFilterCommand(const std::string& target, const std::string& cmd,
                              const std::string& arg, int flags = 0);
  bool SendAudioFilterCommand(const std::string& target, const std::string& cmd,
                              const std::string& arg, int flags = 0);
  // At the time ATime (seconds) of the graph's stream.
  bool QueueVideoFilterCommand(const std::string& target, const std::string& cmd,
                               const std::string& arg, int flags, double ATime);
  bool QueueAudioFilterCommand(const std::string& target, const std::string& cmd,
                               const std::string& arg, int flags, double ATime);
  // Video, waves, spectrum, none, video...
  void ToggleAudioDisplay();

  // The picture last released, a reference the caller owns (av_frame_free), or
  // null.
  AVFrame* CurrentAVFrame();

  // Properties.
  const std::string& LastErrMsg() const { return FLastErrMsg; }
  const std::string& FileName() const { return FFileName; }
  TPlayState PlayState() const { return FPlayState; }
  bool Paused() const;
  bool Seeking() const { return FSeeking; }
  std::int64_t CurrentPTS() const { return FCurrentPTS; }
  std::int64_t CurrentPos() const { return FCurrentPos; }
  int FrameWidth() const { return FFrameWidth; }
  int FrameHeight() const { return FFrameHeight; }
  AVFormatContext* FormatContext() const;
  TVUZezevud& Decoder() { return FDecoder; }
  int AudioStreamIndex() const;
  int VideoStreamIndex() const;
  int SubtitleStreamIndex() const;
  bool SetAudioStreamIndex(int AIndex);
  bool SetVideoStreamIndex(int AIndex);
  bool SetSubtitleStreamIndex(int AIndex);
  int AudioQueueSize() const;
  int VideoQueueSize() const;

  // Settings read at the next open (those marked in TPlayerSettings) or
  // applied to the playing file by the setters below.
  TPlayerSettings& Settings() { return FSettings; }
  bool DisableAudio() const { return FSettings.audio_disable; }
  void SetDisableAudio(bool v) { FSettings.audio_disable = v; }
  bool DisableVideo() const { return FSettings.video_disable; }
  void SetDisableVideo(bool v) { FSettings.video_disable = v; }
  bool DisableSubtitle() const { return FSettings.subtitle_disable; }
  void SetDisableSubtitle(bool v) { FSettings.subtitle_disable = v; }
  bool DisableDisplay() const { return FSettings.display_disable; }
  void SetDisableDisplay(bool v) { FSettings.display_disable = v; }
  const std::string& AudioDriver() const { return FAudioDriver; }
  void SetAudioDriver(const std::string& v) { FAudioDriver = v; }
  const std::string& VideoDriver() const { return FVideoDriver; }
  void SetVideoDriver(const std::string& v) { FVideoDriver = v; }
  int AudioVolume() const { return FSettings.AudioVolume; }
  void SetAudioVolume(int v);
  bool Mute() const { return FSettings.Mute; }
  void SetMute(bool v);
  double PlaybackSpeed() const { return FSettings.PlaybackSpeed; }
  void SetPlaybackSpeed(double v);
  float AudioPitch() const { return FSettings.AudioPitch; }
  void SetAudioPitch(float v);
  TRepeatType RepeatType() const { return FSettings.RepeatType; }
  void SetRepeatType(TRepeatType v) { FSettings.RepeatType = v; }
  std::int64_t PlayTime() const { return FPlayTime; }
  void SetPlayTime(std::int64_t v) { FPlayTime = v; }
  std::int64_t StartTime() const { return FSettings.start_time; }
  void SetStartTime(std::int64_t v);
  const std::string& VideoFilters() const { return FSettings.VideoFilters; }
  void SetVideoFilters(const std::string& v);
  const std::string& AudioFilters() const { return FSettings.AudioFilters; }
  void SetAudioFilters(const std::string& v);
  bool TriggerEventInMainThread() const { return FSettings.TriggerEventInMainThread; }
  void SetTriggerEventInMainThread(bool v) { FSettings.TriggerEventInMainThread = v; }
  std::int64_t PositionInterval() const { return FPositionInterval; }
  void SetPositionInterval(std::int64_t v) { FPositionInterval = v; }
  bool UseAudioPosition() const { return FUseAudioPosition; }
  void SetUseAudioPosition(bool v) { FUseAudioPosition = v; }
  // Seconds between two frames of the waves or spectrum display.
  double rdftspeed() const { return Frdftspeed; }
  void Setrdftspeed(double v) { Frdftspeed = v; }
  Tav_sync_type SyncType() const { return FSettings.SyncType; }
  void SetSyncType(Tav_sync_type v);
  // An input format name: the application's own formats first, then the
  // libraries'. Throws ELibraryError when unknown or the libraries are not loaded.
  const std::string& ForceFormat() const { return FForceFormat; }
  void SetForceFormat(const std::string& AName);
  std::vector<std::string> AudioDrivers() const;
  std::vector<std::string> AudioDevices() const;
  bool StepToKeyFrame() const { return FSettings.StepToKeyFrame; }
  void SetStepToKeyFrame(bool v);
  TShowMode ShowMode() const { return FSettings.show_mode; }
  void SetShowMode(TShowMode v);
  bool AudioHook() const { return FAudioHook; }
  void SetAudioHook(bool v) { FAudioHook = v; }
  bool FrameHook() const { return FFrameHook; }
  void SetFrameHook(bool v) { FFrameHook = v; }
  bool VideoHook() const { return FVideoHook; }
  void SetVideoHook(bool v) { FVideoHook = v; }
  // Bits per pixel of the bitmaps of OnVideoHook and CurrentFrame: 8, 15, 16,
  // 24 or 32 (15 reads back as 16). Anything else throws EFormatConverterError.
  int VideoHookBitsPixel() const { return bmpBitsPerPixel(FHookFormat); }
  void SetVideoHookBitsPixel(int v);
  void SetReadTimeout(std::int32_t v) override;

  // Events.
  TFileOpenEvent OnFileOpen;
  TPositionEvent OnPosition;
  TPosition2Event OnPosition2;
  TPlayStateEvent OnState;
  TNotifyEvent OnOpenFailed;
  TErrorNotifyEvent OnError;
  TFrameHookEvent OnFrameHook;
  // Raised on the video decoder thread with the picture as a bitmap; when
  // AUpdate stays true the bitmap is written back into the picture.
  TVideoHookEvent OnVideoHook;
  TAudioHookEvent OnAudioHook;
  std::function<void(TObject*, AVFormatContext*)> OnBeforeFindStreamInfo;

 protected:
  // TPlayerHost
  TObject* LogSender() override { return this; }
  TFFOptions& PlayerOptions() override { return FOptions; }
  void ReportError(const std::string& msg, TLogLevel level, bool storeLast) override;
  void BeforeFindStreamInfo(AVFormatContext* ic) override;
  void FileOpened(TVideoState* is) override;
  void OpenFailed(TVideoState* is, bool waited) override;
  void PostQuit(TVideoState* is) override;
  void PlaybackEnded(TVideoState* is) override;
  void OpenedPaused(TVideoState* is) override;
  // Decoder threads ask for a position update; the play thread runs it.
  void PositionUpdate(TVideoState* is) override;
  void FilterError(const std::string& text) override;
  void HookPicture(TVideoState* is, AVFrame* frame, double pts) override;
  void PictureEvent(bool set) override;
  void SeekDone(bool stillSeeking) override;
  TAudioHook MakeAudioHook() override;

  // Screen hooks of players with a window (nothing here).
  virtual void Refresh(TVideoState* is, double& remaining);
  virtual void Draw(TVideoState* /*is*/) {}
  virtual void ClearScreen() {}
  virtual void RaiseFileOpen(TVideoState* is);
  virtual bool HasScreen() const { return false; }
  // A screen that must exist (the application's window); without one a player
  // whose video output cannot start plays without display.
  virtual bool ScreenRequired() const { return false; }
  // Resize and expose reports of the window, on the play thread.
  virtual void HandleWindowEvent(TVideoState* /*is*/, const TPlayRecord& /*r*/) {}
  // A subtitle leaves the screen (play thread, before its slot is reused).
  virtual void SubtitleExpired(TFFFrame& /*sp*/) {}
  bool NoScreen() const { return FNoScreen; }

  // Computes CurrentPTS/CurrentPos and posts the position (play thread).
  void UpdatePosition(TVideoState* is);
  void PostPlayState(TPlayState s);
  // Closes the file and ends every thread of the player. The threads call the
  // player's virtual methods: each class destructor runs this first.
  void StopPlayerThreads();
  std::unique_lock<std::timed_mutex> LockData() { return std::unique_lock(FDataLock); }
  TVideoState* State() const { return FStatePtr; }
  TEventQueue& EventQueue() { return FEventQueue; }
  bool Loading() const { return FLoading; }

  // The converter of the pictures handed out as bitmaps (CurrentFrame), used
  // under FConvLock; its depth follows VideoHookBitsPixel.
  std::mutex FConvLock;
  TFormatConverter FConverter;

 private:
  bool doOpen(const std::string& AFileName, bool APaused, bool AWait);
  void close();
  void togglePause(TVideoState* is);
  void streamSeek(TVideoState* is, std::int64_t pos, std::int64_t rel, TSeekFlags flags, bool wait);
  void repeatAction(TVideoState* is);
  void waitForSeek(TVideoState* is);
  bool switchStream(AVMediaType kind, int index);
  void playThread();
  void eventThread();
  void stopThreads();
  void report(const std::string& msg, TLogLevel level = llError, bool storeLast = true);
  void deliver(const std::function<void()>& fn);
  double targetDelay(TVideoState* is, double delay);
  // The released picture, held for CurrentAVFrame: its slot goes back to the
  // decoder as soon as the refresh drops past it.
  void keepShownFrame(TFFFrame* vp);
  // Drops the subtitles that have ended or been replaced.
  void expireSubtitles(TVideoState* is);
  void runVideoHook(AVFrame* frame, std::int64_t pts);

  TFFOptions FOptions;
  TVUZezevud FDecoder;
  TPlayerSettings FSettings;
  std::string FAudioDriver, FVideoDriver;
  std::string FForceFormat;
  const AVInputFormat* FForcedFormat = nullptr;
  std::string FLastErrMsg;
  std::string FFileName;
  std::mutex FErrLock;
  std::mutex FShownLock;
  FramePtr FShownFrame;

  std::unique_ptr<TVideoState> FState;
  std::atomic<TVideoState*> FStatePtr{nullptr};  // for threads that only compare
  std::timed_mutex FDataLock;
  TEventQueue FEventQueue;
  TPlayEventRing FPlayEvents;
  TPlayerThread FPlayThread, FEventThread, FFailThread;
  std::atomic<bool> FEventThreadStop{false};
  std::atomic<bool> FLooping{false};
  std::atomic<bool> FStopped{true};
  std::atomic<bool> FPictureReady{true};
  std::atomic<bool> FSeeking{false};
  std::atomic<bool> FTryOpenBusy{false};
  std::atomic<bool> FLoading{false};
  std::atomic<TPlayState> FPlayState{psStop};
  std::atomic<std::int64_t> FCurrentPTS{-1}, FCurrentPos{-1};
  std::atomic<std::int64_t> FLastPTS{AV_NOPTS_VALUE}, FLastPos{-1};
  std::atomic<std::int64_t> FPlayTime{AV_NOPTS_VALUE};
  std::atomic<int> FPlayTimeSerial{-1};
  std::atomic<std::int64_t> FPositionInterval{30000};
  std::atomic<bool> FUseAudioPosition{false};
  std::atomic<double> Frdftspeed{0.02};
  std::atomic<bool> FPositionRequest{false};
  std::atomic<bool> FAudioHook{false}, FFrameHook{false}, FVideoHook{false};
  // The video hook's converter, on the video decoder thread; it takes the
  // depth from FHookFormat before each picture, so that setting the depth
  // never waits for a running handler.
  std::mutex FHookConvLock;
  TFormatConverter FHookConverter;
  std::atomic<BmpFormat> FHookFormat{BmpFormat::pf32bit};
  std::atomic<int> FFrameWidth{0}, FFrameHeight{0};
  std::atomic<bool> FSDLClient{false};
  std::atomic<bool> FNoScreen{false};
};

}  // namespace corvane
