// Records what the player shows and plays: its frame and audio hooks fill two
// rings, and one encoder task reads them back through a frame input and a
// wave input and writes an MP4 next to the played file.
//
// Threads. The main thread owns the record state and is the only one that
// drives the encoder and the player port: StartRecording, StopRecording and
// the OnFileOpen/OnPlayStateStop handlers run there, and what the hook and
// task threads learn (the streams' formats are known, a format changed, the
// task ended by itself) is posted to it. The hooks run on the player's
// threads and never block: a record that does not fit is dropped and
// counted. The read handlers run on the task's reading thread (the frame
// adapter's TriggerEventInMainThread is off) and take only the bridge's ring
// lock, so a Stop that waits for the task cannot deadlock against them. Main
// thread calls that arrive while the bridge itself waits for the encoder
// (pumping) are ignored.
//
// The inputs are declared from the first hook calls (the picture size as
// shown, the device's rate and channels), so the task is built once every
// stream the file plays has delivered; a later change of either format stops
// the recording with a message, as does a task that ends by itself; playback
// goes on. A failed start stays armed (the next file opened retries); the
// stop of playback disarms.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

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

// Records of the current (or last) recording that did not reach the rings.
struct TRecordDrops {
  std::int64_t Video = 0;  // pictures
  std::int64_t Audio = 0;  // audio blocks
};

// "clip.mkv" -> "clip_(new).mp4", or "clip_(new_N).mp4" with the first N
// from 1 whose file does not exist. AExt includes its dot.
std::string NewOutputFileName(const std::string& AFileName, const std::string& AExt);

class TRecordingBridge {
 public:
  // Queues a call for the main thread.
  using TPostCall = std::function<void(std::function<void()>)>;

  // ANotify defaults to notifyUser("Error", ...); APost to the installed
  // dispatcher's post (the call runs at once when there is none).
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
  // dropped, and the counts are logged. Idle afterwards.
  void StopRecording();
  // The Record button: StartRecording when idle, else StopRecording.
  void ToggleRecording();
  // The player opened a file: an armed bridge starts.
  void OnFileOpen();
  // Playback stopped (psStop): recording ends and the bridge is idle.
  void OnPlayStateStop();

  TRecordState Recording() const { return FState.load(); }
  // The file the current or last recording writes.
  std::string OutputFileName() const;
  TRecordDrops Drops() const;
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
  // Up to FrameSize bytes of whole sample frames, AVERROR(EAGAIN) when none
  // (AVERROR_EOF once the recording stops and the ring is empty).
  int ReadWaveData(std::uint8_t* AData, TInputWaveInfo* AWaveInfo);

  const std::shared_ptr<TFrameInputAdapter>& FrameAdapter() const { return FFrameAdapter; }
  const std::shared_ptr<TWaveInputAdapter>& WaveAdapter() const { return FWaveAdapter; }

 private:
  void post(std::function<void()> ACall);
  void tryStart();
  bool buildTask();
  // Removes a partly built task and shows the encoder's error; false.
  bool fail(int ATask);
  void onFormatsKnown(unsigned ASession);
  void onFormatChanged(unsigned ASession, const std::string& AText);
  void onTaskEnded(unsigned ASession, const std::string& AError);
  void resetCaptureLocked();
  void checkDeclaredLocked();
  void countLeftoversLocked();
  void formatChangedLocked(const std::string& AText);
  bool writePictureLocked(const PicturePlanes& APicture, AVPixelFormat APixFmt, int AWidth,
                          int AHeight, std::int64_t APTS);
  void writeAudioLocked(std::int64_t APTS, const std::uint8_t* ASample, int ASize);
  std::int64_t blockStart(std::int64_t APTS, std::int64_t AFrames) const;
  std::int64_t audioGapLocked(std::int64_t APTS, std::int64_t AFrames) const;
  bool writeSilenceLocked();

  TRecordPlayerPort& FPlayer;
  TRecordEncoderPort& FEncoder;
  TRecordNotifier FNotify;
  TPostCall FPost;
  // Posted calls of a destroyed bridge do nothing.
  std::shared_ptr<TRecordingBridge*> FAlive;
  std::shared_ptr<TFrameInputAdapter> FFrameAdapter;
  std::shared_ptr<TWaveInputAdapter> FWaveAdapter;

  std::atomic<TRecordState> FState{rsIdle};
  // Changes with every arming and stop; posted calls of an older one are ignored.
  std::atomic<unsigned> FSession{0};
  std::atomic<bool> FTaskEnded{false};
  std::chrono::milliseconds FStopWait{5000};
  bool FInControl = false;  // main thread: inside a call that drives the encoder
  std::string FOutputFileName, FOutputOptions;  // main thread
  mutable std::mutex FNameLock;                 // FOutputFileName, FOutputOptions

  // The capture: hooks and read handlers, under FLock.
  mutable std::mutex FLock;
  bool FCapturing = false;     // hooks accept records
  bool FStreamsKnown = false;  // a file is open: FWantVideo and FWantAudio hold
  bool FWantVideo = false;     // the file plays a video stream
  bool FWantAudio = false;
  int FVideoWidth = -1;  // declared by the first picture; -1 unknown
  int FVideoHeight = -1;
  int FAudioSampleRate = -1;  // declared by the first audio block
  int FAudioChannels = -1;
  bool FEnding = false;  // stopping: empty rings end the inputs
  bool FReadyPosted = false;
  bool FChangePosted = false;
  std::int64_t FLastPTS = AV_NOPTS_VALUE;     // of the last picture written
  std::int64_t FFirstPTS = AV_NOPTS_VALUE;    // of the first picture written
  std::int64_t FAudioStart = AV_NOPTS_VALUE;  // the audio written starts here
  std::int64_t FStartPTS = AV_NOPTS_VALUE;    // first picture read (read side)
  std::int64_t FAudioBytes = 0;               // written to the audio ring
  std::int64_t FAudioOwed = 0;                // silence owed (gaps, dropped blocks)
  std::int64_t FAudioBlock = 0;               // bytes of the last audio block
  std::int64_t FAudioHooked = 0;              // bytes the audio hook delivered
  TRecordDrops FDrops;
  TRecordPacker FPacker;
  TCircularBuffer FVideoBuffer;
  TCircularBuffer FAudioBuffer;
};

}  // namespace corvane
