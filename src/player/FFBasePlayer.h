// The player component: plays one media file at a time, with its play,
// event and helper threads, and delivers its events to the application.
#pragma once

#include <array>
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
#include "foundation/EventSlot.h"
#include "foundation/FormatConverter.h"
#include "foundation/Library.h"
#include "foundation/SDLEventThread.h"
#include "player/PlayEvents.h"
#include "player/PlaySession.h"
#include "player/PlayerHost.h"
#include "player/VideoState.h"

namespace corvane {

enum TErrorType { errUnknow, errVideoFilters };

class TFFBasePlayer : public TFFBaseComponent, protected TPlayerHost {
 public:
  static constexpr TLibraries LibrarySet = kPlayerLibraries;
  explicit TFFBasePlayer(TComponent* AOwner = nullptr);
  ~TFFBasePlayer() override;
  TFFBasePlayer(const TFFBasePlayer&) = delete;
  TFFBasePlayer& operator=(const TFFBasePlayer&) = delete;
  const char* ClassName() const override { return "TFFBasePlayer"; }

  bool AVLibLoaded();
  // Each player holds one load of the libraries from LoadAVLib until
  // UnloadAVLib (which stops the file first; ignored on the player's own
  // threads); other components keep theirs.
  bool LoadAVLib(const std::string& APath);
  void UnloadAVLib();
  bool SDLWasInit();
  bool InitSDL();
  // Stops the file and leaves the media layer, which shuts down when no other
  // player uses it.
  void QuitSDL();

  // Open waits until the input is open (or failed); TryOpen returns at once
  // and reports through OnFileOpen or OnOpenFailed. Any thread but the
  // player's own play, decoder and read threads (hooks, OnVideoRender): false
  // there, and false at once while another open is not over ("Current trying
  // open is not completed.") or while the player is being destroyed. A stop
  // during a waiting open cancels it: false, with OnOpenFailed.
  bool Open(const std::string& AFileName, bool APaused = false);
  bool TryOpen(const std::string& AFileName, bool APaused = false);
  // Any thread. With AWaitForStop it returns once the file playing at the
  // call is closed (a handler that opens the next file meanwhile does not
  // extend the wait); on the player's own threads (hooks, OnVideoRender) and
  // from OnBeforeFindStreamInfo the stop is only requested.
  void Stop(bool AWaitForStop = false);
  // Every control below: any thread; nothing happens without an open file.
  void Pause();
  void Resume();
  void TogglePause();
  void StepToNextFrame();
  void FlushQueue();
  // Absolute seek (microseconds, or bytes with sfByte). AWaitForSeekEnd
  // waits for the first picture at the target, except on the player's own
  // threads (hooks, OnVideoRender), where the seek only starts.
  void SeekTo(std::int64_t APTS, TSeekFlags ASeekFlags = 0, bool AWaitForSeekEnd = false);
  // Relative seek (seconds, or bytes with sfByte); waits as SeekTo.
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
  // The picture being handed to OnFrameHook and OnVideoHook, on the video
  // decoder thread while they run; null otherwise.
  AVFrame* HookingAVFrame() const { return FHookingAVFrame; }

  // Properties. Every one may be read and set from any thread; those the
  // engine reads while playing take effect on the playing file.
  std::string LastErrMsg() const;
  std::string FileName() const;
  TPlayState PlayState() const { return FPlayState; }
  bool Paused() const;
  bool Seeking() const { return FSeeking; }
  std::int64_t CurrentPTS() const { return FCurrentPTS; }
  std::int64_t CurrentPos() const { return FCurrentPos; }
  int FrameWidth() const { return FFrameWidth; }
  int FrameHeight() const { return FFrameHeight; }
  // The open input, valid until the file is closed.
  AVFormatContext* FormatContext() const;
  TVUZezevud& Decoder() { return FDecoder; }
  int AudioStreamIndex() const;
  int VideoStreamIndex() const;
  int SubtitleStreamIndex() const;
  // A hook cannot switch the stream its own thread decodes (OnVideoHook and
  // OnFrameHook the video stream, OnAudioHook the audio stream): false, with
  // LastErrMsg saying so.
  bool SetAudioStreamIndex(int AIndex);
  bool SetVideoStreamIndex(int AIndex);
  bool SetSubtitleStreamIndex(int AIndex);
  // Byte sizes of the packet queues, -1 without a file; QueueSize: audio and
  // video together.
  int QueueSize() const;
  int AudioQueueSize() const;
  int VideoQueueSize() const;
  int SubtitleQueueSize() const;

  // Read at the next open.
  bool DisableAudio() const { return get(&TPlayerSettings::audio_disable); }
  void SetDisableAudio(bool v) { put(&TPlayerSettings::audio_disable, v); }
  bool DisableVideo() const { return get(&TPlayerSettings::video_disable); }
  void SetDisableVideo(bool v) { put(&TPlayerSettings::video_disable, v); }
  bool DisableSubtitle() const { return get(&TPlayerSettings::subtitle_disable); }
  void SetDisableSubtitle(bool v) { put(&TPlayerSettings::subtitle_disable, v); }
  bool DisableDisplay() const { return get(&TPlayerSettings::display_disable); }
  void SetDisableDisplay(bool v) { put(&TPlayerSettings::display_disable, v); }
  bool genpts() const { return get(&TPlayerSettings::genpts); }
  void Setgenpts(bool v) { put(&TPlayerSettings::genpts, v); }
  bool fast() const { return get(&TPlayerSettings::fast); }
  void Setfast(bool v) { put(&TPlayerSettings::fast, v); }
  int lowres() const { return get(&TPlayerSettings::lowres); }
  void Setlowres(int v) { put(&TPlayerSettings::lowres, v); }
  int seek_by_bytes() const { return get(&TPlayerSettings::seek_by_bytes); }
  void Setseek_by_bytes(int v) { put(&TPlayerSettings::seek_by_bytes, v, pfSeekByBytes); }
  int infinite_buffer() const { return get(&TPlayerSettings::infinite_buffer); }
  void Setinfinite_buffer(int v) { put(&TPlayerSettings::infinite_buffer, v); }
  bool FindStreamInfo() const { return get(&TPlayerSettings::find_stream_info); }
  void SetFindStreamInfo(bool v) { put(&TPlayerSettings::find_stream_info, v); }
  bool OpenInCallerThread() const { return get(&TPlayerSettings::OpenInCallerThread); }
  void SetOpenInCallerThread(bool v) { put(&TPlayerSettings::OpenInCallerThread, v); }
  bool NegativeOneAsEOF() const { return get(&TPlayerSettings::NegativeOneAsEOF); }
  void SetNegativeOneAsEOF(bool v) { put(&TPlayerSettings::NegativeOneAsEOF, v); }
  bool CheckIOEOF() const { return get(&TPlayerSettings::CheckIOEOF); }
  void SetCheckIOEOF(bool v) { put(&TPlayerSettings::CheckIOEOF, v); }
  bool CheckIOERR() const { return get(&TPlayerSettings::CheckIOERR); }
  void SetCheckIOERR(bool v) { put(&TPlayerSettings::CheckIOERR, v); }
  bool DisableAudioFilter() const { return get(&TPlayerSettings::DisableAudioFilter); }
  void SetDisableAudioFilter(bool v) { put(&TPlayerSettings::DisableAudioFilter, v); }
  int FilterThreads() const { return get(&TPlayerSettings::FilterThreads); }
  void SetFilterThreads(int v) { put(&TPlayerSettings::FilterThreads, v); }
  std::string wanted_audio_stream_spec() const { return streamSpec(AVMEDIA_TYPE_AUDIO); }
  void Setwanted_audio_stream_spec(const std::string& v) { setStreamSpec(AVMEDIA_TYPE_AUDIO, v); }
  std::string wanted_video_stream_spec() const { return streamSpec(AVMEDIA_TYPE_VIDEO); }
  void Setwanted_video_stream_spec(const std::string& v) { setStreamSpec(AVMEDIA_TYPE_VIDEO, v); }
  std::string wanted_subtitle_stream_spec() const { return streamSpec(AVMEDIA_TYPE_SUBTITLE); }
  void Setwanted_subtitle_stream_spec(const std::string& v) {
    setStreamSpec(AVMEDIA_TYPE_SUBTITLE, v);
  }
  std::string audio_codec_name() const { return get(&TPlayerSettings::audio_codec_name); }
  void Setaudio_codec_name(const std::string& v) {
    put(&TPlayerSettings::audio_codec_name, v, pfCodecNames);
  }
  std::string video_codec_name() const { return get(&TPlayerSettings::video_codec_name); }
  void Setvideo_codec_name(const std::string& v) {
    put(&TPlayerSettings::video_codec_name, v, pfCodecNames);
  }
  std::string subtitle_codec_name() const { return get(&TPlayerSettings::subtitle_codec_name); }
  void Setsubtitle_codec_name(const std::string& v) {
    put(&TPlayerSettings::subtitle_codec_name, v, pfCodecNames);
  }
  // Read: the driver in use; write: the driver for the next initialisation.
  std::string AudioDriver() const;
  void SetAudioDriver(const std::string& v);
  std::string VideoDriver() const;
  void SetVideoDriver(const std::string& v);
  // Read: the device in use; write: the device to open (empty: the default).
  std::string AudioDevice() const;
  void SetAudioDevice(const std::string& v) { put(&TPlayerSettings::AudioDevice, v); }

  // Act while playing.
  int AudioVolume() const { return get(&TPlayerSettings::AudioVolume); }
  void SetAudioVolume(int v);
  bool Mute() const { return get(&TPlayerSettings::Mute); }
  void SetMute(bool v);
  double PlaybackSpeed() const { return get(&TPlayerSettings::PlaybackSpeed); }
  void SetPlaybackSpeed(double v);
  float AudioPitch() const { return get(&TPlayerSettings::AudioPitch); }
  void SetAudioPitch(float v);
  bool UseSoundTouch() const { return get(&TPlayerSettings::UseSoundTouch); }
  void SetUseSoundTouch(bool v);
  // Passed to the audio device open (the next one while playing: a stream switch).
  int SDLAllowedChangesFlag() const { return get(&TPlayerSettings::SDLAllowedChangesFlag); }
  void SetSDLAllowedChangesFlag(int v);
  int framedrop() const { return get(&TPlayerSettings::framedrop); }
  void Setframedrop(int v);
  int decoder_reorder_pts() const { return get(&TPlayerSettings::decoder_reorder_pts); }
  void Setdecoder_reorder_pts(int v);
  // A change of these rebuilds the video graph at the next picture.
  bool AutoRotate() const { return get(&TPlayerSettings::AutoRotate); }
  void SetAutoRotate(bool v);
  bool VerticalFlip() const { return get(&TPlayerSettings::VerticalFlip); }
  void SetVerticalFlip(bool v);
  std::vector<AVPixelFormat> TargetPixFmts() const {
    return get(&TPlayerSettings::target_pix_fmts);
  }
  void SetTargetPixFmts(const std::vector<AVPixelFormat>& v);
  bool DisableVideoFilter() const { return get(&TPlayerSettings::DisableVideoFilter); }
  void SetDisableVideoFilter(bool v);
  bool ResetFilterAfterSeeking() const { return get(&TPlayerSettings::ResetFilterAfterSeeking); }
  void SetResetFilterAfterSeeking(bool v);
  TRepeatType RepeatType() const { return get(&TPlayerSettings::RepeatType); }
  void SetRepeatType(TRepeatType v) { put(&TPlayerSettings::RepeatType, v, pfRepeatType); }
  std::int64_t PlayTime() const { return FPlayTime; }
  void SetPlayTime(std::int64_t v);
  std::int64_t StartTime() const { return get(&TPlayerSettings::start_time); }
  void SetStartTime(std::int64_t v);
  std::string VideoFilters() const { return get(&TPlayerSettings::VideoFilters); }
  void SetVideoFilters(const std::string& v);
  std::string AudioFilters() const { return get(&TPlayerSettings::AudioFilters); }
  void SetAudioFilters(const std::string& v);
  // Applies to the events raised after the change.
  bool TriggerEventInMainThread() const { return FTriggerMain; }
  void SetTriggerEventInMainThread(bool v) { FTriggerMain = v; }
  std::int64_t PositionInterval() const { return FPositionInterval; }
  void SetPositionInterval(std::int64_t v) { FPositionInterval = v; }
  bool UseAudioPosition() const { return FUseAudioPosition; }
  void SetUseAudioPosition(bool v) { FUseAudioPosition = v; }
  // Seconds between two frames of the waves or spectrum display.
  double rdftspeed() const { return Frdftspeed; }
  void Setrdftspeed(double v) { Frdftspeed = v; }
  Tav_sync_type SyncType() const { return get(&TPlayerSettings::SyncType); }
  void SetSyncType(Tav_sync_type v);
  // An input format name: the application's own formats first, then the
  // libraries'. Throws ELibraryError when unknown or the libraries are not loaded.
  std::string ForceFormat() const;
  void SetForceFormat(const std::string& AName);
  std::vector<std::string> AudioDrivers() const;
  std::vector<std::string> AudioDevices() const;
  // Resuming lets the video clock run only when the input accepted the read
  // pause.
  bool CheckReadPause() const { return get(&TPlayerSettings::CheckReadPause); }
  void SetCheckReadPause(bool v) { put(&TPlayerSettings::CheckReadPause, v); }
  bool StepToKeyFrame() const { return get(&TPlayerSettings::StepToKeyFrame); }
  void SetStepToKeyFrame(bool v);
  TShowMode ShowMode() const { return get(&TPlayerSettings::show_mode); }
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

  // Events. A handler may call any method of the player; no engine lock is
  // held while it runs. A handler of OnFileOpen, OnPosition, OnPosition2,
  // OnState, OnError or OnOpenFailed may also destroy the player (not the
  // hooks, OnBeforeFindStreamInfo or OnVideoRender). The destructor
  // unassigns every handler first.
  // Opener (Open) or the open-result thread (TryOpen); main thread when set.
  TEventSlot<void(TObject* Sender, std::int64_t ADuration, int AFrameWidth, int AFrameHeight,
                  int& AScreenWidth, int& AScreenHeight)>
      OnFileOpen{"OnFileOpen", SlotThread::Main, this, &FTriggerMain};
  // Event thread; main thread when set.
  TEventSlot<void(TObject* Sender, std::int64_t APTS)> OnPosition{"OnPosition", SlotThread::Main,
                                                                  this, &FTriggerMain};
  TEventSlot<void(TObject* Sender, std::int64_t APTS, std::int64_t ABytes)> OnPosition2{
      "OnPosition2", SlotThread::Main, this, &FTriggerMain};
  TEventSlot<void(TObject* Sender, TPlayState APlayState)> OnState{"OnState", SlotThread::Main,
                                                                   this, &FTriggerMain};
  TEventSlot<void(TObject* Sender, TErrorType AError, const std::string& AMessage)> OnError{
      "OnError", SlotThread::Main, this, &FTriggerMain};
  // The opener or the open-result thread; main thread when set.
  TEventSlot<void(TObject* Sender)> OnOpenFailed{"OnOpenFailed", SlotThread::Main, this,
                                                 &FTriggerMain};
  // The video decoder thread; the application may write into the planes.
  TEventSlot<void(TObject* Sender, const PicturePlanes& APicture, AVPixelFormat APixFmt, int AWidth,
                  int AHeight, std::int64_t APTS)>
      OnFrameHook{"OnFrameHook", SlotThread::Raiser, this};
  // The video decoder thread, with the picture as a bitmap; when AUpdate
  // stays true the bitmap is written back into the picture.
  TEventSlot<void(TObject* Sender, Bitmap& ABitmap, std::int64_t APTS, bool& AUpdate)> OnVideoHook{
      "OnVideoHook", SlotThread::Raiser, this};
  // The media layer's audio thread.
  TEventSlot<void(TObject* Sender, std::int64_t APTS, const std::uint8_t* ASample, int ASize,
                  int ASampleRate, int AChannels)>
      OnAudioHook{"OnAudioHook", SlotThread::Raiser, this};
  // The read thread (or the opener); main thread when set.
  TEventSlot<void(TObject* Sender, AVFormatContext* AContext)> OnBeforeFindStreamInfo{
      "OnBeforeFindStreamInfo", SlotThread::Main, this, &FTriggerMain};

 protected:
  // The TriggerEventInMainThread switch, for the slots of derived players.
  const std::atomic<bool>* MainSwitch() const { return &FTriggerMain; }
  // TPlayerHost
  TObject* LogSender() override { return this; }
  TFFOptions& PlayerOptions() override { return FOptions; }
  void ReportError(const std::string& msg, TLogLevel level, bool storeLast) override;
  void BeforeFindStreamInfo(AVFormatContext* ic) override;
  void StateCreated(TVideoState* is) override;
  void FileOpened(TVideoState* is) override;
  void OpenFailed(TVideoState* is, bool waited) override;
  void PostQuit(TVideoState* is) override;
  void PlaybackEnded(TVideoState* is) override;
  void OpenedPaused(TVideoState* is) override;
  // Decoder threads ask for a position update; the play thread runs it.
  void PositionUpdate(TVideoState* is) override;
  void FilterError(const std::string& text) override;
  void HookPicture(TVideoState* is, AVFrame* frame, double pts) override;
  std::unique_lock<std::timed_mutex> LockStreams() override { return LockData(); }
  void PictureEvent(bool set) override;
  void SeekDone(bool stillSeeking) override;
  TAudioHook MakeAudioHook() override;

  // Screen hooks of players with a window (nothing here). Refresh runs under
  // the data lock and asks for a draw through RequestDraw; the play thread
  // then raises VideoRender without the lock and draws under it.
  virtual void Refresh(TVideoState* is, double& remaining);
  virtual void Draw(TVideoState* /*is*/) {}
  virtual void VideoRender() {}
  // After a close; AReplaced when the next file opens right away.
  virtual void ClearScreen(bool /*AReplaced*/) {}
  // `gone` is set once a handler destroyed the player: touch nothing then.
  struct TFileOpenInfo {
    std::int64_t duration;  // 0 for a still picture
    int width, height;      // of the video stream, -1 without one
  };
  virtual void RaiseFileOpen(const TFileOpenInfo& info, const std::atomic<bool>& gone);
  virtual bool HasScreen() const { return false; }
  // A screen that must exist (the application's window); without one a player
  // whose video output cannot start plays without display.
  virtual bool ScreenRequired() const { return false; }
  // An event of the media layer's event thread for this player: a quit ends
  // the file; players with a window add its events.
  virtual void MediaEvent(const SDL_Event& e);
  const std::shared_ptr<TSDLEventClient>& EventClient() const { return FEvents; }
  // Resize and expose reports of the window, on the play thread.
  virtual void HandleWindowEvent(TVideoState* /*is*/, const TPlayRecord& /*r*/) {}
  // A subtitle leaves the screen (play thread, before its slot is reused).
  virtual void SubtitleExpired(TFFFrame& /*sp*/) {}
  bool NoScreen() const { return FNoScreen; }
  void RequestDraw() { FDrawWanted = true; }

  // Computes CurrentPTS/CurrentPos and posts the position (play thread).
  void UpdatePosition(TVideoState* is);
  void PostPlayState(TPlayState s);
  // Unassigns every handler, refuses new opens, closes the file and ends
  // every thread of the player, except the thread it runs on and a thread
  // whose main-thread call it runs in: those leave without touching the
  // player. The threads call the player's virtual methods: each class
  // destructor runs this first.
  void StopPlayerThreads();
  // Unassigns the handlers; players with events of their own add theirs.
  virtual void ClearHandlers();
  std::unique_lock<std::timed_mutex> LockData() { return std::unique_lock(FDataLock); }
  // The per-file state, kept alive by the caller's reference.
  std::shared_ptr<TVideoState> State() const;
  // Queues a request for the play thread of the current file.
  void PostRequest(TPlayRecord r);
  // True on the play thread and on the engine threads while they run the
  // player's hooks: waiting for the engine there would wait for oneself.
  bool OnEngineThread() const;

  // The converter of the pictures handed out as bitmaps (CurrentFrame), used
  // under FConvLock; its depth follows VideoHookBitsPixel.
  std::mutex FConvLock;
  TFormatConverter FConverter;

 private:
  // The settings the close resets, unless the next file was set up meanwhile.
  enum TPerFile {
    pfStreamSpecs,
    pfStartTime,
    pfRepeatType,
    pfVerticalFlip,
    pfCodecNames,
    pfForceFormat,
    pfPlayTime,
    pfOptions,
    pfSeekByBytes,
    pfCount
  };
  template <class T>
  T get(T TPlayerSettings::*m) const {
    std::lock_guard g(FSettingsLock);
    return FSettings.*m;
  }
  template <class T, class V>
  void put(T TPlayerSettings::*m, V&& v) {
    std::lock_guard g(FSettingsLock);
    FSettings.*m = std::forward<V>(v);
  }
  template <class T, class V>
  void put(T TPlayerSettings::*m, V&& v, TPerFile f) {
    std::lock_guard g(FSettingsLock);
    FSettings.*m = std::forward<V>(v);
    stamp(f);
  }
  // Under FSettingsLock.
  void stamp(TPerFile f) { FWrittenAt[f] = ++FSettingsClock; }
  std::uint64_t settingsClock() const {
    std::lock_guard g(FSettingsLock);
    return FSettingsClock;
  }
  std::string streamSpec(AVMediaType t) const;
  void setStreamSpec(AVMediaType t, const std::string& v);
  // Applies fn to the playing state, if any.
  template <class F>
  void withState(F&& fn) {
    if (std::shared_ptr<TVideoState> is = State()) fn(*is);
  }

  // Opening and closing.
  bool doOpen(const std::string& AFileName, bool APaused, bool AWait);
  bool openRefused();
  TPlayerSettings openSettings(std::uint64_t& clock, const AVInputFormat*& forced);
  std::shared_ptr<TPlaySession> newSession(std::uint64_t settingsAt);
  bool createState(const std::shared_ptr<TPlaySession>& s, const TPlayerSettings& settings,
                   const std::string& AFileName, const AVInputFormat* forced, bool APaused,
                   bool AWait, bool& cancelled);
  bool startPlayback(const std::shared_ptr<TPlaySession>& s);
  void opened(const std::shared_ptr<TPlaySession>& s, TVideoState* raw);
  void failed(const std::shared_ptr<TPlaySession>& s, TVideoState* raw, bool waited);
  void stopBeforePlay(TPlaySession& s, bool wait);
  void waitForClose(TPlaySession& s);
  void close(TPlaySession& s);
  void resetAfterClose(const TPlaySession& s);
  // The current session, and the session of a state (null when gone).
  std::shared_ptr<TPlaySession> session() const;
  std::shared_ptr<TPlaySession> sessionOf(const TVideoState* is) const;
  bool isCurrent(const TPlaySession& s) const;

  // Controls.
  void togglePause(TVideoState* is);
  void streamSeek(TVideoState* is, std::int64_t pos, std::int64_t rel, TSeekFlags flags);
  void repeatAction(TPlaySession& s, TVideoState* is);
  void waitForSeek(TVideoState* is);
  template <class F>
  bool filterCommand(F&& send);
  bool switchStream(AVMediaType kind, int index);
  // Under the data lock: the request is valid; `current` gets the stream playing.
  bool checkSwitch(AVMediaType kind, int index, int& current);

  // The play thread and the event thread of a session.
  void playThread(const std::shared_ptr<TPlaySession>& s);
  void playLoop(TPlaySession& s);
  bool playStep(TPlaySession& s, double& remaining, bool& running);
  void drawIfWanted(TPlaySession& s);
  bool handleRequest(TPlaySession& s, const TPlayRecord& r);
  void eventThread(const std::shared_ptr<TPlaySession>& s);
  // False once the player is gone (a handler destroyed it).
  bool deliver(const TPlaySession& s, const TPlayEvent& e);
  void postTo(TPlaySession& s, TPlayState st);
  void report(const std::string& msg, TLogLevel level = llError, bool storeLast = true);
  void logDrivers(const char* kind, const std::vector<std::string>& names);
  void logRenderDrivers();

  // Refresh.
  double targetDelay(TVideoState* is, double delay);
  // The released picture, held for CurrentAVFrame: its slot goes back to the
  // decoder as soon as the refresh drops past it.
  void keepShownFrame(TFFFrame* vp);
  // Drops the subtitles that have ended or been replaced.
  void expireSubtitles(TVideoState* is);
  bool releasePicture(TVideoState* is, double& remaining, bool seekDoneAtEntry);
  bool dropLate(TVideoState* is, TFFFrame* vp, double t, bool seekSeen);
  void showPicture(TVideoState* is);
  const TClock* positionClock(TVideoState* is, bool& useVideo) const;
  void reportPosition(TPlaySession& s, std::int64_t pts, std::int64_t pos);
  void checkPlayTime(TPlaySession& s, TVideoState* is, std::int64_t pts, int serial);
  void runVideoHook(AVFrame* frame, std::int64_t pts);
  void runFrameHook(AVFrame* frame, std::int64_t pts);

  TFFOptions FOptions;
  TVUZezevud FDecoder;
  mutable std::mutex FSettingsLock;  // guards FSettings, the strings below and the clock
  TPlayerSettings FSettings;
  std::uint64_t FSettingsClock = 0;  // counts the writes of per-file settings
  std::array<std::uint64_t, pfCount> FWrittenAt{};
  std::string FAudioDriver, FVideoDriver;
  std::string FForceFormat;
  const AVInputFormat* FForcedFormat = nullptr;
  // The settings the engine reads while playing, shared with every state.
  std::shared_ptr<TLiveSettings> FLive = std::make_shared<TLiveSettings>();
  std::string FLastErrMsg;
  std::string FFileName;
  mutable std::mutex FErrLock;  // FLastErrMsg, FFileName
  std::mutex FShownLock;
  FramePtr FShownFrame;

  // Lock order: FDataLock, then FSessionLock. A session's state is stored and
  // taken under both.
  mutable std::mutex FSessionLock;
  std::shared_ptr<TPlaySession> FSession;                // the current file
  std::vector<std::shared_ptr<TPlaySession>> FSessions;  // every one with threads
  std::atomic<TVideoState*> FStatePtr{nullptr};          // the current state
  bool FOpenClaimed = false;                             // under FSessionLock: an open is starting
  mutable std::timed_mutex FDataLock;
  std::atomic<bool> FDestroying{false};
  std::atomic<bool> FLibLoaded{false};
  std::atomic<bool> FPictureReady{true};
  std::atomic<bool> FSeeking{false};
  bool FDrawWanted = false;  // play thread
  std::atomic<TPlayState> FPlayState{psStop};
  std::atomic<std::int64_t> FCurrentPTS{-1}, FCurrentPos{-1};
  std::atomic<std::int64_t> FLastPTS{AV_NOPTS_VALUE}, FLastPos{-1};
  std::atomic<std::int64_t> FPlayTime{AV_NOPTS_VALUE};
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
  std::atomic<AVFrame*> FHookingAVFrame{nullptr};
  std::atomic<bool> FSDLClient{false};
  std::atomic<bool> FNoScreen{false};
  std::atomic<bool> FTriggerMain{true};  // TriggerEventInMainThread
  // Listed with the media layer's event thread from construction on.
  std::shared_ptr<TSDLEventClient> FEvents;
};

}  // namespace corvane
