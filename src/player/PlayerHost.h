// What the playback engine needs from the player that owns it: a snapshot of
// the player's settings taken at open, and the callbacks through which the
// engine reports, asks and hands over work.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/Component.h"
#include "foundation/Logger.h"
#include "foundation/Options.h"
#include "player/AudioOutput.h"
#include "player/Clock.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace corvane {

class TVideoState;
struct TFFFrame;

// AUTO: the video when there is one, else the waves.
enum TShowMode : int {
  SHOW_MODE_AUTO = 0,
  SHOW_MODE_VIDEO,
  SHOW_MODE_WAVES,
  SHOW_MODE_RDFT,
  SHOW_MODE_NONE,
  SHOW_MODE_NB,
};

enum TRepeatType { rtNone, rtStop, rtLoop, rtPause, rtRewind, rtEnd };

// Player properties the engine reads; copied into each state when it is
// created (those that act while playing go on in the state's TLiveSettings).
struct TPlayerSettings {
  bool genpts = false;
  int seek_by_bytes = -1;  // -1: chosen from the input format
  std::int64_t start_time = AV_NOPTS_VALUE;
  std::string wanted_stream_spec[AVMEDIA_TYPE_NB];
  bool audio_disable = false;
  bool video_disable = false;
  bool subtitle_disable = false;
  bool display_disable = false;
  bool has_screen = false;
  int infinite_buffer = -1;  // -1: on for real-time sources
  bool find_stream_info = true;
  TShowMode show_mode = SHOW_MODE_AUTO;
  int lowres = 0;
  bool fast = false;
  std::string video_codec_name, audio_codec_name, subtitle_codec_name;
  int decoder_reorder_pts = -1;
  int framedrop = -1;
  bool DisableAudioFilter = false;
  bool DisableVideoFilter = false;
  bool ResetFilterAfterSeeking = false;
  std::string VideoFilters, AudioFilters;
  bool AutoRotate = true;
  bool VerticalFlip = false;
  int FilterThreads = 0;
  std::vector<AVPixelFormat> target_pix_fmts{AV_PIX_FMT_YUV420P};
  bool NegativeOneAsEOF = true;
  bool CheckIOEOF = true;
  bool CheckIOERR = true;
  TRepeatType RepeatType = rtNone;
  bool StepToKeyFrame = false;
  bool CheckReadPause = false;
  bool OpenInCallerThread = false;
  Tav_sync_type SyncType = AV_SYNC_AUDIO_MASTER;
  double PlaybackSpeed = 1.0;
  float AudioPitch = 1.0f;
  int AudioVolume = 128;
  bool Mute = false;
  bool UseSoundTouch = true;
  int SDLAllowedChangesFlag = SDL_AUDIO_ALLOW_FREQUENCY_CHANGE | SDL_AUDIO_ALLOW_CHANNELS_CHANGE;
  std::string AudioDevice;
  int ReadTimeout = 30000;  // milliseconds; below 1: none
  bool TriggerEventInMainThread = true;
};

// Callbacks of the engine into its player. Unless noted they may run on any
// engine thread and must not block on the main thread.
class TPlayerHost {
 public:
  virtual ~TPlayerHost() = default;
  virtual TObject* LogSender() = 0;
  // The player's option dictionaries (format, codec, scaler, resampler).
  virtual TFFOptions& PlayerOptions() = 0;
  // Logs the message; with storeLast it also becomes the player's LastErrMsg.
  virtual void ReportError(const std::string& msg, TLogLevel level, bool storeLast) = 0;
  virtual void BeforeFindStreamInfo(AVFormatContext* /*ic*/) {}
  // A state was created (on the opener), or a failed one is about to be freed
  // (nullptr).
  virtual void StateCreated(TVideoState* /*is*/) {}
  // The input opened with at least one stream (read thread or opener).
  virtual void FileOpened(TVideoState* /*is*/) {}
  // Held while a stream switch changes which streams play: what the refresh
  // reads of the streams stays still meanwhile.
  virtual std::unique_lock<std::timed_mutex> LockStreams() { return {}; }
  // The open failed; the player reports it and frees the state if nobody waits.
  virtual void OpenFailed(TVideoState* /*is*/, bool /*waited*/) {}
  // Ask the player's play thread to close the state.
  virtual void PostQuit(TVideoState* /*is*/) {}
  // End of playback was reached (once per end).
  virtual void PlaybackEnded(TVideoState* /*is*/) {}
  // The file was opened paused and its first picture is queued.
  virtual void OpenedPaused(TVideoState* /*is*/) {}
  // A decoder consumed a packet: a chance to report the position.
  virtual void PositionUpdate(TVideoState* /*is*/) {}
  virtual void FilterError(const std::string& /*text*/) {}
  // A picture is about to be queued (hooks run here, on the video thread).
  virtual void HookPicture(TVideoState* /*is*/, AVFrame* /*frame*/, double /*pts*/) {}
  virtual void PictureEvent(bool /*set*/) {}
  virtual void SeekDone(bool /*stillSeeking*/) {}
  virtual void DefaultWindowSize(int /*w*/, int /*h*/, AVRational /*sar*/) {}
  // The hook the audio output hands the played samples to, or none.
  virtual TAudioHook MakeAudioHook() { return {}; }
};

}  // namespace corvane
