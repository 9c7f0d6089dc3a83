// Records what the player shows and plays: its frame and audio hooks fill two
// rings, and one encoder task reads them back through a frame input and a
// wave input and writes an MP4 next to the played file.
//
// Threads. The main thread owns the record state and is the only one that
// drives the encoder and the player port: StartRecording, StopRecording and
// the OnFileOpen/OnPlayStateStop handlers run there, and what the hook and
// task threads learn (the streams' formats are known, a format changed, the
// task ended) is posted to it, after the poster left its locks. Posting needs
// a dispatcher (or a poster given to the constructor): without one,
// StartRecording refuses, so encoder work never runs on a hook thread.
//
// The hooks never block on each other or on the task: the video hook packs a
// picture outside any lock the audio side takes, the audio ring is sized on
// the main thread (when arming, grown once the sound's format is known), the
// video ring when the picture size is declared, and silence owed to
// the sound (seeks, dropped blocks) is a count that ReadWaveData turns into
// zeros. A record that does not fit is dropped and counted. The read handlers
// run on the task's reading thread (the frame adapter's
// TriggerEventInMainThread is off), so a Stop that waits for the task cannot
// deadlock against them.
//
// Main-thread calls that arrive while the bridge waits for the encoder
// (pumping) are deferred and run once the bridge's own call returns; the
// notifier is called only after that call, so a modal box may call back.
//
// The inputs are declared from the first pictures and sound blocks written
// (the picture size as shown, the device's rate and channels), so the task is
// built once every stream the file plays has delivered; a picture size that
// changes before then starts the capture again, a later change of either
// format stops the recording with a message, as does a task that ends by
// itself or with an error while stopping; playback goes on. A failed start
// stays armed (the next file opened retries); the stop of playback disarms.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/FrameInputAdapter.h"
#include "capture/WaveInputAdapter.h"
#include "foundation/CircularBuffer.h"
#include "foundation/FormatConverter.h"
#include "recording/RecordPacking.h"
#include "recording/RecordingPorts.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace corvane {

// -1 idle, 0 armed (waiting for a file, or for its first hook calls), 1 recording.
enum TRecordState : int { rsIdle = -1, rsArmed = 0, rsRecording = 1 };

// Records of the current (or last) recording that are not in it.
struct TRecordDrops {
  // Dropped: the ring was full, the picture could not be packed, or the task
  // stopped before it took them.
  std::int64_t Video = 0;  // pictures
  std::int64_t Audio = 0;  // audio blocks
  // Skipped: pictures without a timestamp or whose timestamp did not advance,
  // sound blocks that went back (a seek back, a loop).
  std::int64_t SkippedVideo = 0;
  std::int64_t SkippedAudio = 0;
};

// "N pictures and N audio blocks dropped, N pictures and N audio blocks skipped"
std::string FormatDrops(const TRecordDrops& ADrops);

// "clip.mkv" -> "clip_(new).mp4", or "clip_(new_N).mp4" with the first N
// from 1 whose file does not exist. AExt includes its dot.
std::string NewOutputFileName(const std::string& AFileName, const std::string& AExt);

class TRecordingBridge {
 public:
  // Queues a call for the main thread.
  using TPostCall = std::function<void(std::function<void()>)>;

  // ANotify defaults to notifyUser("Error", ...); APost to the installed
  // dispatcher's post (recording refuses to start when there is none).
  TRecordingBridge(TRecordPlayerPort& APlayer, TRecordEncoderPort& AEncoder,
                   TRecordNotifier ANotify = {}, TPostCall APost = {});
  // Stops any recording. Main thread.
  ~TRecordingBridge();
  TRecordingBridge(const TRecordingBridge&) = delete;
  TRecordingBridge& operator=(const TRecordingBridge&) = delete;

  // ---- Main thread
  // Arms and switches the hooks on; the recording starts once a file plays
  // and its streams delivered their first picture and sound block.
  void StartRecording();
  // Hooks off; the task takes what the rings still hold (within the stop
  // wait), then is stopped and waited for; what it did not take counts as
  // dropped, and the counts are logged. Idle afterwards. An error of the
  // task, a file cut short because the wait ran out, or a file that played
  // while the recording never started ("nothing was recorded") is reported
  // through the notifier and kept in LastRecordError.
  void StopRecording();
  // The Record button: StartRecording when idle, else StopRecording.
  void ToggleRecording();
  // The player opened a file: an armed bridge starts.
  void OnFileOpen();
  // Playback stopped (psStop): recording ends and the bridge is idle.
  void OnPlayStateStop();
  // The file playing stopped for the next one: a recording ends; armed stays
  // armed for the next file, without a message.
  void OnFileReplaced();

  TRecordState Recording() const { return FState.load(); }
  // The file the current or last recording writes.
  std::string OutputFileName() const;
  TRecordDrops Drops() const;
  // Why the current or last recording failed (mid-way or at its stop); empty
  // when it did not. Cleared by StartRecording.
  std::string LastRecordError() const;
  // Main thread: called after each recording stopped (the notifier first).
  void SetOnStopped(std::function<void()> AHandler) { FOnStopped = std::move(AHandler); }
  // Main thread: what the recording leaves out while it goes on (a picture
  // format it cannot pack); through the notifier when not set.
  void SetOnNotice(TRecordNotifier AHandler) { FOnNotice = std::move(AHandler); }
  // Output options of the next recordings (command-line form), e.g. "-preset veryfast".
  void SetOutputOptions(const std::string& AOptions);
  std::string OutputOptions() const;
  // How long StopRecording lets the task write what the rings still hold
  // before it stops the task (default 5 s).
  void SetStopWait(std::chrono::milliseconds AWait) { FStopWait = AWait; }

  // ---- The player's threads (its OnFrameHook and OnAudioHook). The bridge must
  // outlive these calls: stop the player or detach its hooks before destroying it.
  void FrameHook(const PicturePlanes& APicture, AVPixelFormat APixFmt, int AWidth, int AHeight,
                 std::int64_t APTS);
  // APTS is the player's audio clock after the block, in microseconds.
  void AudioHook(std::int64_t APTS, const std::uint8_t* ASample, int ASize, int ASampleRate,
                 int AChannels);

  // ---- The task's reading thread (the adapters' read handlers)
  // A picture: its size in bytes; AVERROR(EAGAIN) when none is there yet; -1
  // on a record of the wrong size; AVERROR_EOF once the recording stops and
  // the ring is empty. The first picture's timestamp becomes 0.
  int ReadFrameYUV(std::uint8_t* AData, TInputFrameInfo* AFrameInfo);
  // Up to FrameSize bytes of whole sample frames (zeros where silence is
  // owed), AVERROR(EAGAIN) when none (AVERROR_EOF once the recording stops
  // and the ring is empty).
  int ReadWaveData(std::uint8_t* AData, TInputWaveInfo* AWaveInfo);

  const std::shared_ptr<TFrameInputAdapter>& FrameAdapter() const { return FFrameAdapter; }
  const std::shared_ptr<TWaveInputAdapter>& WaveAdapter() const { return FWaveAdapter; }

 private:
  class TControl;
  // What a hook learned under a lock, posted after the lock is left.
  struct TPosts {
    bool Ready = false;
    std::string Change;   // stops the recording
    std::string Message;  // only told
  };
  // Shared by both hooks and the main thread (FStateLock).
  struct TDeclared {
    bool StreamsKnown = false;  // a file is open: WantVideo and WantAudio hold
    bool WantVideo = false, WantAudio = false;
    int Width = -1, Height = -1;  // the first picture written; -1 unknown
    AVPixelFormat Format = AV_PIX_FMT_NONE;
    std::int64_t FirstPTS = AV_NOPTS_VALUE, LastPTS = AV_NOPTS_VALUE;
    int SampleRate = -1, Channels = -1;  // the first sound block
    std::int64_t AudioHooked = 0;        // bytes the audio hook delivered
    bool ReadyPosted = false, ChangePosted = false, PackFailPosted = false;
  };
  // Silence owed at a position of the audio ring's byte stream.
  struct TSilence {
    std::int64_t At, Bytes;
  };

  void post(std::function<void()> ACall);
  void sendPosts(const TPosts& APosts, unsigned ASession);
  // Main-thread entry: false (and the call deferred) while the bridge pumps.
  bool deferred(std::function<void()> ACall);
  void controlled(std::function<void()> ABody);
  void leaveControl();
  void startInControl();
  void buildWhenArmed(unsigned ASession);
  void stopReporting(bool APlaybackStopped);
  // Keeps AError as LastRecordError and queues its message.
  void report(const std::string& AError);
  void tryStart();
  std::string stop(bool APlaybackStopped = false);
  bool buildTask();
  // Removes a partly built task and queues the encoder's error; false.
  bool fail(int ATask);
  void onFormatsKnown(unsigned ASession);
  void onFormatChanged(unsigned ASession, const std::string& AText);
  void onTaskEnded(unsigned ASession);
  void onMessage(unsigned ASession, const std::string& AText);
  void resetCapture();
  void resetAudioLocked();
  bool countLeftovers();
  void checkDeclaredLocked(TPosts& APosts);
  void formatChangedLocked(const std::string& AText, TPosts& APosts);
  bool videoWanted(std::int64_t APTS);
  bool declarePictureLocked(int AWidth, int AHeight, AVPixelFormat AFormat, TPosts& APosts);
  void writePicture(unsigned ASession, AVPixelFormat AFormat, int AWidth, int AHeight,
                    std::int64_t APTS);
  void packFailed(AVPixelFormat AFormat);
  bool declareAudioLocked(int ASampleRate, int AChannels, int ASize, TPosts& APosts);
  void writeAudioLocked(std::int64_t APTS, const std::uint8_t* ASample, int ASize, int ASampleRate,
                        int AChannels);
  void oweSilenceLocked(std::int64_t ABytes);
  void alignAudioLocked(std::int64_t APicturePTS);
  void dropAudioFrontLocked(std::int64_t ABytes);
  void sizeAudioRing();
  std::int64_t blockStart(std::int64_t APTS, std::int64_t AFrames) const;
  std::int64_t audioGapLocked(std::int64_t APTS, std::int64_t AFrames) const;

  TRecordPlayerPort& FPlayer;
  TRecordEncoderPort& FEncoder;
  TRecordNotifier FNotify;
  TPostCall FPost;
  bool FOwnPost = false;  // APost was given
  std::function<void()> FOnStopped;
  TRecordNotifier FOnNotice;
  // Posted calls of a destroyed bridge do nothing.
  std::shared_ptr<TRecordingBridge*> FAlive;
  std::shared_ptr<TFrameInputAdapter> FFrameAdapter;
  std::shared_ptr<TWaveInputAdapter> FWaveAdapter;

  std::atomic<TRecordState> FState{rsIdle};
  // Changes with every arming and stop; posted calls of an older one are ignored.
  std::atomic<unsigned> FSession{0};
  std::atomic<bool> FTaskEnded{false};
  std::chrono::milliseconds FStopWait{5000};
  // Main thread: inside a call that drives the encoder; calls and messages
  // that wait for it to return.
  bool FInControl = false;
  bool FNotifying = false;  // in leaveControl's notifier calls
  bool FStoppedPending = false;
  std::deque<std::function<void()>> FDeferred;
  std::vector<std::string> FMessages, FNotices;
  std::string FOutputFileName, FOutputOptions, FLastError;  // main thread
  std::string FTaskError;                                   // FNameLock
  mutable std::mutex FNameLock;  // FOutputFileName, FOutputOptions, FLastError, FTaskError

  // Hooks accept records; the stop makes empty rings end the inputs.
  std::atomic<bool> FCapturing{false};
  std::atomic<bool> FEnding{false};
  // Playback speed of the file (read on the main thread): at 1 the sound's
  // timestamps are followed across seeks.
  std::atomic<bool> FNormalSpeed{true};

  // Lock order: FPackLock, FVideoLock, FAudioLock, FStateLock (innermost,
  // held briefly). The audio hook never waits on the first two.
  mutable std::mutex FStateLock;
  TDeclared FDeclared;
  std::atomic<std::int64_t> FDroppedVideo{0}, FDroppedAudio{0};
  std::atomic<std::int64_t> FSkippedVideo{0}, FSkippedAudio{0};

  std::mutex FPackLock;  // the video hook's packer
  TRecordPacker FPacker;

  mutable std::mutex FVideoLock;            // the video ring and its read side
  std::int64_t FStartPTS = AV_NOPTS_VALUE;  // first picture read
  TCircularBuffer FVideoBuffer;

  mutable std::mutex FAudioLock;              // the audio ring, its silences, its timeline
  std::int64_t FAudioStart = AV_NOPTS_VALUE;  // the audio written starts here
  std::int64_t FAudioBytes = 0;               // written to the stream, silence included
  std::int64_t FAudioBlock = 0;               // bytes of the last audio block
  int FAudioRate = 0, FAudioFrame = 0;        // of the sound written
  std::deque<TSilence> FSilences;             // FAudioBytes positions
  std::int64_t FAudioRead = 0;                // read from the stream, silence included
  TCircularBuffer FAudioBuffer;
};

}  // namespace corvane
