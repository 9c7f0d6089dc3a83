// The run half of the transcoding engine: one task converts its inputs to its
// outputs on its own thread (or the caller's), and can be paused, stepped and
// stopped from the owner's thread.
//
// Threads: configuration (the base class) happens on the owner's thread
// before StartConvert. During a run every record belongs to the task thread;
// the owner's calls (Pause, Resume, Step, Stop, filter commands, rate
// emulation) only post commands that the task thread applies.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transcoder/AudioPreview.h"
#include "transcoder/Hooks.h"
#include "transcoder/TranscoderOptions.h"

namespace corvane {

// Progress of a task, as the report shows it.
struct TProgressInfo {
  std::int64_t FrameNumber = 0;  // video frames encoded, of the first video output
  float FPS = 0;
  float Quality = 0;
  std::int64_t BitRate = 0;          // bits per second, -1 unknown
  std::int64_t CurrentSize = 0;      // bytes written so far
  std::int64_t CurrentDuration = 0;  // microseconds of output
  std::int64_t TotalDuration = 0;    // microseconds expected, -1 unknown
  double Speed = -1;                 // media time per wall time, -1 unknown
  std::int64_t FrameDuplicated = 0;
  std::int64_t FrameDropped = 0;
  bool Final = false;
};

using TProgressEvent = std::function<void(TObject* Sender, const TProgressInfo& Info)>;
using TNotifyEvent = std::function<void(TObject* Sender)>;

// A command from the owner's thread, applied by the task thread.
struct TFilterCommand {
  std::string target, command, arg;
  int flags = 0;
  double time = -1;                // < 0: send now; else queue for this time in seconds
  std::function<void(bool)> done;  // told whether every graph accepted it
};

class TCustomFFmpeg : public TCustomFFmpegOpt {
 public:
  TCustomFFmpeg();
  ~TCustomFFmpeg() override;
  const char* ClassName() const override { return "TCustomFFmpeg"; }

  // ---- Run control (Transcoder.cpp). Owner's thread unless noted.
  // Starts the run on a new thread (AUseThread) or runs it on the caller's
  // thread and returns when it ended.
  void StartConvert(bool AUseThread);
  // Asks the run to stop (any thread); with AWaitForStop, waits for its end
  // (pumping the main-thread queue when called on the main thread). Only the
  // thread that started the run joins its thread. Called on the run's own
  // thread, or in a main-thread call the run is blocked on, it only asks.
  void Stop(bool AWaitForStop);
  void Pause();
  void Resume();
  // Lets a paused run produce one more output frame, then pause again.
  void Step();
  bool SendFilterCommand(const std::string& target, const std::string& cmd, const std::string& arg,
                         int flags);
  bool QueueFilterCommand(const std::string& target, const std::string& cmd, const std::string& arg,
                          int flags, double time);
  void SetFrameRateEmulation(bool AValue);
  bool Converting() const { return FConverting; }
  bool Finished() const { return FFinished; }
  bool Terminated() const { return FTerminated; }
  bool FatalException() const { return FFatalException; }
  std::string FatalMessage() const;

  // Task thread: the run body, termination, release of the task's records.
  void ExecuteRun();
  void DoTerminate();
  void ReleaseTask();
  void FreeTaskData();
  // Applies the posted commands; blocks while paused. Task thread.
  void ServeCommands();

  // ---- Setup (Setup.cpp)
  bool InitTranscode();
  int transcode_init();
  int OpenDecoder(int index, std::string& error);
  int WriteHeaderIfReady(TOutputFile& of, int file_index);
  void LogStreamMapping();
  void WriteSdp();
  void SdpFailed(const std::string& text);
  void CleanupOutputs();

  // ---- Output stream initialisation (OutputStreamInit.cpp)
  int EnsureOutputStream(TOutputStream& ost, AVFrame* frame, bool fatal);

  // ---- Hardware acceleration (HWAccel.cpp)
  int SetupDecoderDevice(TInputStream& ist);
  int SetupEncoderDevice(TOutputStream& ost);

  // ---- Packet muxing (Muxer.cpp)
  void SendToMuxer(TOutputFile& of, AVPacket* pkt, TOutputStream& ost, bool eos);
  void MuxPacket(TOutputFile& of, AVPacket* pkt, TOutputStream& ost, bool from_queue);
  bool AcceptsInput(const TInputStream& ist, const TOutputStream& ost) const;
  void CopyPacket(TInputStream& ist, TOutputStream& ost, const AVPacket* pkt);
  void CloseOutputStream(TOutputStream& ost);
  void FinishOutputStream(TOutputStream& ost);
  void MarkAllFinished(TOutputStream& ost, int this_stream, int others);

  // ---- Frame encoding (Encoding.cpp)
  int DrainFilters(bool flush);
  double AdjustFrameTimestamp(TOutputFile& of, TOutputStream& ost, AVFrame* frame);
  void do_video_out(TOutputFile& of, TOutputStream& ost, AVFrame* next);
  void EncodeAudioFrame(TOutputFile& of, TOutputStream& ost, AVFrame* frame);
  void EncodeSubtitle(TOutputFile& of, TOutputStream& ost, AVSubtitle* sub);
  bool WithinRecordingTime(TOutputStream& ost);
  void FlushEncoders();
  // Appends the stream's line to the video statistics file (opened on first use).
  void WriteVideoStats(TOutputStream& ost, int frame_size);
  std::vector<std::uint8_t> Fsubtitle_out;  // subtitle encoding buffer, sized on first use

  // ---- Decoding and filter feeding (Decoding.cpp)
  // False once the decoder reported the end of its stream. pkt nullptr flushes.
  bool DecodeInputPacket(TInputStream& ist, const AVPacket* pkt, bool no_eof);
  void SubtitleHeartbeat(TInputStream& ist, std::int64_t pts);
  // Draws a subtitle (or, without one, a heartbeat's redraw) onto the canvas.
  void SubtitleCanvasUpdate(TInputStream& ist, std::int64_t heartbeat_pts,
                            const AVSubtitle* sub) override;
  // Gives the decoder the default layout of its channel count when it has none.
  bool GuessInputChannelLayout(TInputStream& ist);
  std::array<std::int64_t, 2> Fdecode_error_stat{};  // decodes that succeeded, that failed

  // ---- Input reading (InputReader.cpp)
  int ReadInputFile(int file_index);
  void ClearUnavailable();

  // ---- Progress (Progress.cpp)
  void ReportProgress(bool final, std::int64_t start_time, std::int64_t cur_time);
  void LogFinalStatistics(std::int64_t total_size);

  // ---- Transcode loop (Loop.cpp)
  void TranscodeLoop();
  int TranscodeStep();
  bool HasPendingOutput();
  TOutputStream* PickOutputStream();
  bool AnyOutputUnavailable();
  int PullFromGraph(TFilterGraph& fg, TInputStream*& best_ist);

  // ---- Hook points for pictures and sound (HookPoints.cpp). Task thread:
  // a decoded picture or sound block, and one about to be encoded.
  virtual void InputFrameHook(TInputStream& ist, AVFrame* frame);
  virtual void OutputFrameHook(TOutputStream& ost, AVFrame* frame);
  // Parses the depth and applies it to the hooked bitmaps; -EINVAL, logged, when invalid.
  int SetVideoHookBitsPixel(const std::string& arg) override;
  // Plays the encoded sound while the task runs (any thread).
  void SetPreviewAudio(bool AValue) { FAudioPreview.SetEnabled(AValue); }
  bool PreviewAudio() const { return FAudioPreview.Enabled(); }

  // ---- Events (set before StartConvert; raised on the task thread)
  TProgressEvent FOnProgress;
  TNotifyEvent FOnTerminate;
  // The stats line (-stats) is printed also while FOnProgress takes the reports.
  bool FStatsWithProgressEvent = false;

  // ---- Run state (task thread)
  std::atomic<bool> FConverting{false};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FFatalException{false};
  std::atomic<int> FSuspended{-1};          // -1 before the first run, 0 running, 1 paused
  std::atomic<int> FStep{-1};               // -1 before the first run, 0 normal, 1 stepping
  std::atomic<std::int64_t> FPauseTime{0};  // written by the task thread when a step ends
  std::atomic<std::int64_t> FTotalPauseTime{0};
  bool FTranscodeInitialized = false;
  bool FTranscodeCleanuped = false;
  int Fwant_sdp = 1;
  int Fnb_output_dumped = 0;
  std::vector<TOutputStream*> FEncoderList;  // encoders opened by this run
  std::vector<TInputStream*> FDecoderList;   // decoders opened by this run
  std::int64_t Fnb_frames_dup = 0;
  std::int64_t Fnb_frames_drop = 0;
  std::int64_t Fdup_warning = 1000;
  bool FShowDupOrDrop = false;
  std::FILE* Fvstats_file = nullptr;
  std::int64_t Fcopy_ts_first_pts = AV_NOPTS_VALUE;
  std::int64_t Flast_time = -1;
  int Ffirst_report = 1;
  std::array<int, 52> Fqp_histogram{};
  // The last report (any thread; written by the task thread).
  TProgressInfo Progress() const;

  // ---- Hooks and previews (declared after the run state they read)
  THooks FHooks{this};
  TAudioPreview FAudioPreview{this, [this] { return FTerminated || FFinished || FBroken; }};

  // ---- Run control state (Transcoder.cpp, Loop.cpp)
  // Set by any step whose failure must keep the run from counting as
  // finished (a failed step, a rejected packet, a failed trailer); the run
  // then ends with FFatalException and FLastErrMsg as its message.
  std::atomic<bool> FRunFailed{false};
  std::atomic<long> FThreadID{0};  // kernel id of the thread executing the run
  // Known once StartConvert returned (it waits for a new thread to report it).
  long ThreadID() const { return FThreadID; }
  // Interrupt callbacks installed as FReadCallback/FWriteCallback; 1 aborts
  // the blocked library call (stop requested, or timed out).
  static int ReadInterrupt(void* ctx);
  static int WriteInterrupt(void* ctx);
  // Stops a converting task; a task that never ran still delivers its
  // termination notification, from a thread of its own.
  void StopOrTerminate(bool AWait);

 private:
  void Join();
  void WaitForRunEnd();
  void StopAtDestruction();
  void EndRun(std::atomic<bool>& active);
  void NotifyTerminate();
  void SetProgress(const TProgressInfo& info);

  mutable std::mutex FLock;  // guards the command queue, pause state and FFatalMessage
  std::condition_variable FChanged;
  std::deque<TFilterCommand> FCommands;
  std::string FFatalMessage;
  std::thread FThread;
  std::atomic<std::thread::id> FOwnerThread{};  // the thread that started the last run
  TProgressInfo FProgress;                      // guarded by FLock

  // ---- Run control (Transcoder.cpp)
  void RunBody();
  void ApplyCommands(std::unique_lock<std::mutex>& lk);
  bool ApplyFilterCommand(const TFilterCommand& c);
  bool PostFilterCommand(TFilterCommand c);
  void ApplyRateEmulation(bool on, std::int64_t pausing);
  bool OnRunThread() const;
  bool RunWaitsForThisThread() const;
  template <class F>
  void Guarded(F&& step);
  void RecordFatal(const std::string& msg);
  void JoinTerminateThread();
  std::thread FTermThread;  // delivers the termination of a task that never ran
  std::atomic<bool> FTermPending{false};
  std::atomic<bool> FRunning{false};  // from StartConvert until the run body returned
  std::atomic<std::thread::id> FRunThread{};
  bool FHold = false;           // paused: the task waits in ServeCommands (FLock)
  std::int64_t FStepMark = -1;  // frames out when the current step began (FLock)
  int FRateEmuRequest = -1;     // posted rate emulation switch (FLock)
  std::atomic<bool> FReadInterruptLogged{false};
  std::atomic<bool> FWriteInterruptLogged{false};
};

}  // namespace corvane
