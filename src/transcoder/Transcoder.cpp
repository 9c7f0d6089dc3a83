// Run control and the task's lifecycle: starting the run on its own thread or
// the caller's, pause/step/resume/stop as state the task thread serves,
// filter commands handed to the task thread, interrupt callbacks, release.
#include "transcoder/Transcoder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <stdexcept>
#include <system_error>

#include "foundation/ErrorText.h"
#include "foundation/Logger.h"
#include "foundation/MainThread.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avfilter.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"

namespace corvane {

namespace {

std::int64_t Now() { return ff::av_gettime_relative(); }

// Whether the path names a regular file of size 0.
bool EmptyRegularFile(const char* path) {
  struct stat sb {};
  return ::stat(path, &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_size == 0;
}

// Frames the run has sent out on its video outputs.
std::int64_t VideoFramesOut(const std::vector<std::unique_ptr<TOutputStream>>& streams) {
  std::int64_t n = 0;
  for (const auto& ost : streams)
    if (ost->st && ost->st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) n += ost->frame_number;
  return n;
}

// The shared body of both interrupt callbacks.
int CheckInterrupt(TCustomFFmpeg& e, bool on_broken, std::int64_t last, int timeout_ms,
                   std::atomic<bool>& logged, const char* timeout_text, const char* canceled_text) {
  if (on_broken && e.FBroken) {
    if (!logged.exchange(true)) e.Log(llInfo, "reading/writing broken");
    return 1;
  }
  if (last == INT64_MAX || timeout_ms < 1) return 0;
  if (Now() - last > static_cast<std::int64_t>(timeout_ms) * 1000) {
    if (!logged.exchange(true)) e.Log(llInfo, last != 0 ? timeout_text : canceled_text);
    return 1;
  }
  return 0;
}

}  // namespace

TCustomFFmpeg::TCustomFFmpeg() {
  if (!ff::av_gettime_relative)
    throw std::logic_error("Assertion failed: the media libraries are not loaded");
  FReadCallback = {&TCustomFFmpeg::ReadInterrupt, this};
  FWriteCallback = {&TCustomFFmpeg::WriteInterrupt, this};
  FLastRead = INT64_MAX;
  FLastWrite = INT64_MAX;
  FInputDuration = -1;
  FOutputDuration = -1;
}

TCustomFFmpeg::~TCustomFFmpeg() {
  StopAtDestruction();
  try {
    ReleaseTask();
  } catch (const std::exception& ex) {
    Log(llError, "%s", ex.what());
  }
}

int TCustomFFmpeg::ReadInterrupt(void* ctx) {
  try {
    auto& e = *static_cast<TCustomFFmpeg*>(ctx);
    return CheckInterrupt(e, true, e.FLastRead, e.FReadTimeout, e.FReadInterruptLogged,
                          "connecting/reading timeout", "connecting/reading canceled");
  } catch (...) {
    return 1;
  }
}

int TCustomFFmpeg::WriteInterrupt(void* ctx) {
  try {
    auto& e = *static_cast<TCustomFFmpeg*>(ctx);
    // A run writes its trailer after a stop; an open before the run gives up.
    return CheckInterrupt(e, !e.FConverting, e.FLastWrite, e.FWriteTimeout, e.FWriteInterruptLogged,
                          "connecting/writing timeout", "connecting/writing canceled");
  } catch (...) {
    return 1;
  }
}

std::string TCustomFFmpeg::FatalMessage() const {
  std::lock_guard<std::mutex> lk(FLock);
  return FFatalMessage;
}

void TCustomFFmpeg::RecordFatal(const std::string& msg) {
  Log(llQuiet, "%s", msg.c_str());
  std::lock_guard<std::mutex> lk(FLock);
  if (!FFatalException || FFatalMessage.empty()) FFatalMessage = msg;
  FFatalException = true;
}

template <class F>
void TCustomFFmpeg::Guarded(F&& step) {
  try {
    step();
  } catch (const std::exception& ex) {
    RecordFatal(ex.what());
  } catch (...) {
    RecordFatal("Unknown exception");
  }
}

bool TCustomFFmpeg::OnRunThread() const {
  return FRunning && FRunThread.load() == std::this_thread::get_id();
}

// Whether the run is blocked on a main-thread call that this thread runs.
bool TCustomFFmpeg::RunWaitsForThisThread() const {
  return FRunning && runningCallFrom(FRunThread.load());
}

namespace {

// Whether joining the thread here would never return: it is this thread, or
// it is blocked on a main-thread call that this thread runs (a termination
// handler moved to the main thread).
bool CannotJoinHere(const std::thread& t) {
  return t.get_id() == std::this_thread::get_id() || runningCallFrom(t.get_id());
}

}  // namespace

// Hooks are virtual: a derived class stops the run in its own destructor.
// Here the run is stopped only as a last resort. Destroyed by its own
// termination handler (on the thread that delivers it, or in a main-thread
// call that thread waits for), the engine lets go of that thread, which
// touches nothing of it afterwards; destroyed by a hook of a running task (or
// a main-thread call such a hook waits for), it cannot go on and aborts.
void TCustomFFmpeg::StopAtDestruction() {
  const std::thread::id self = std::this_thread::get_id();
  if (OnRunThread() || RunWaitsForThisThread()) {
    Log(llFatal, "The task was destroyed by its own run");
    std::abort();
  }
  if (FRunning || FTermPending)
    Log(llError, "The task was destroyed while still running; stop it first");
  if (FThread.joinable() && CannotJoinHere(FThread)) FThread.detach();
  if (FTermThread.joinable() && CannotJoinHere(FTermThread)) FTermThread.detach();
  FOwnerThread = self;
  Stop(true);
  WaitForRunEnd();
  Join();
  JoinTerminateThread();
}

// ---- Starting and stopping

void TCustomFFmpeg::StartConvert(bool AUseThread) {
  if (FConverting || FTerminated || FTermPending) return;
  if (Foutput_files.empty()) {
    ReleaseTask();
    RecordFatal("At least one output file must be specified");
    DoTerminate();
    return;
  }
  Join();  // a previous run's thread, already finished
  FOwnerThread = std::this_thread::get_id();
  FConverting = true;
  FFinished = false;
  FTerminated = false;
  FRunFailed = false;
  FReadInterruptLogged = false;
  FWriteInterruptLogged = false;
  {
    // Together, so that a Stop from another thread either precedes the
    // start (and is reset) or sees the run and is kept.
    std::lock_guard<std::mutex> lk(FLock);
    FBroken = false;
    FSuspended = 0;
    FStep = 0;
    FHold = false;
    FPauseTime = 0;
    FTotalPauseTime = 0;
    FThreadID = 0;
    // Marked running here, not by the new thread, so that a Stop right after
    // this call waits for the run instead of passing by a thread still starting.
    FRunning = true;
  }
  if (!AUseThread) {
    RunBody();  // may end with the engine destroyed by its handler
    return;
  }
  try {
    FThread = std::thread([this] { RunBody(); });
  } catch (const std::system_error& ex) {
    RecordFatal(ex.what());
    EndRun(FRunning);
    return;
  }
  std::unique_lock<std::mutex> lk(FLock);
  FChanged.wait(lk, [this] { return FThreadID != 0 || !FRunning; });
}

void TCustomFFmpeg::RunBody() {
  {
    std::lock_guard<std::mutex> lk(FLock);
    FRunThread = std::this_thread::get_id();
    FThreadID = ::gettid();
    FChanged.notify_all();
  }
  try {
    ExecuteRun();
  } catch (...) {
    // ExecuteRun records its own failures; nothing may leave the thread.
  }
  EndRun(FRunning);  // the owner may destroy the engine from here on
}

// Marks the run (or the pending termination) ended, wakes the waiters, then
// raises FOnTerminate as the very last use of the engine by this thread.
void TCustomFFmpeg::EndRun(std::atomic<bool>& active) {
  FConverting = false;
  FTerminated = true;
  {
    std::lock_guard<std::mutex> lk(FLock);
    active = false;
    FChanged.notify_all();
  }
  NotifyTerminate();
}

void TCustomFFmpeg::NotifyTerminate() {
  const TNotifyEvent handler = FOnTerminate;  // the handler may destroy the engine
  if (!handler) return;
  try {
    handler(this);
  } catch (const std::exception& ex) {
    FFLogger().Log(nullptr, llError, ex.what());
  } catch (...) {
    FFLogger().Log(nullptr, llError, "Unknown exception in the termination handler");
  }
}

void TCustomFFmpeg::WaitForRunEnd() {
  waitPumping([this] { return !FRunning; });
}

// Only the thread that started the run joins it; others only wait for its end.
void TCustomFFmpeg::Join() {
  if (std::this_thread::get_id() != FOwnerThread.load()) return;
  if (!FThread.joinable() || CannotJoinHere(FThread)) return;
  WaitForRunEnd();
  FThread.join();
}

void TCustomFFmpeg::Stop(bool AWaitForStop) {
  bool started = false;
  {
    std::lock_guard<std::mutex> lk(FLock);
    if (FSuspended == 1) FSuspended = 0;
    if (FStep == 1) FStep = 0;
    FBroken = true;
    FHold = false;
    started = FSuspended >= 0 || FStep >= 0;
    FChanged.notify_all();
  }
  // The run cannot wait for its own end (a stop from a hook or OnTerminate),
  // nor can a main-thread call the run is blocked on: both only ask.
  if (!AWaitForStop || !started || OnRunThread() || RunWaitsForThisThread()) return;
  WaitForRunEnd();
  Join();
}

void TCustomFFmpeg::JoinTerminateThread() {
  if (!FTermThread.joinable() || CannotJoinHere(FTermThread)) return;
  waitPumping([this] { return !FTermPending; });
  FTermThread.join();
}

void TCustomFFmpeg::StopOrTerminate(bool AWait) {
  if (FConverting) {
    Stop(AWait);
    return;
  }
  if (FTerminated || FTermPending) {
    if (AWait) JoinTerminateThread();
    return;
  }
  // Marked pending here, so that a wait right after this call cannot miss it.
  FTermPending = true;
  FTermThread = std::thread([this] { EndRun(FTermPending); });
  if (AWait) JoinTerminateThread();
}

// ---- Pause, resume, step

// The preview device is paused and resumed outside the lock: its callback
// runs under the device's own lock.
void TCustomFFmpeg::Pause() {
  {
    std::lock_guard<std::mutex> lk(FLock);
    if (FSuspended != 0 || FStep != 0) return;
    FSuspended = 1;
    FPauseTime = Now();
    FHold = true;
  }
  FAudioPreview.Pause();
}

void TCustomFFmpeg::Resume() {
  {
    std::lock_guard<std::mutex> lk(FLock);
    if (FSuspended != 1 && FStep != 1) return;
    FSuspended = 0;
    FStep = 0;
    if (FHold) FTotalPauseTime += Now() - FPauseTime;
    FHold = false;
    FChanged.notify_all();
  }
  FAudioPreview.Resume();
}

void TCustomFFmpeg::Step() {
  {
    std::lock_guard<std::mutex> lk(FLock);
    if (FStep < 0) return;
    if (FHold) FTotalPauseTime += Now() - FPauseTime;
    FSuspended = 0;
    FStep = 1;
    FHold = false;
    FStepMark = -1;
    FChanged.notify_all();
  }
  FAudioPreview.Resume();
}

void TCustomFFmpeg::ServeCommands() {
  std::unique_lock<std::mutex> lk(FLock);
  for (;;) {
    ApplyCommands(lk);
    if (FStep == 1 && !FHold && !FBroken) {
      const std::int64_t frames = VideoFramesOut(Foutput_streams);
      if (FStepMark < 0) {
        FStepMark = frames;
      } else if (frames > FStepMark) {
        FHold = true;  // one more frame went out: pause again
        FPauseTime = Now();
      }
    }
    if (!FHold || FBroken) return;
    FChanged.wait(
        lk, [this] { return !FHold || FBroken || !FCommands.empty() || FRateEmuRequest >= 0; });
  }
}

// Applies the posted commands with the lock released (they touch the graphs
// and the input records, which belong to this thread).
void TCustomFFmpeg::ApplyCommands(std::unique_lock<std::mutex>& lk) {
  while (!FCommands.empty() || FRateEmuRequest >= 0) {
    const int rate_emu = FRateEmuRequest;
    FRateEmuRequest = -1;
    const std::int64_t pausing = FHold ? Now() - FPauseTime : 0;
    std::deque<TFilterCommand> commands;
    commands.swap(FCommands);
    lk.unlock();
    if (rate_emu >= 0) ApplyRateEmulation(rate_emu != 0, pausing);
    for (const TFilterCommand& c : commands) {
      const bool ok = ApplyFilterCommand(c);
      if (c.done) c.done(ok);
    }
    lk.lock();
  }
}

// ---- Filter commands and rate emulation

bool TCustomFFmpeg::ApplyFilterCommand(const TFilterCommand& c) {
  bool ok = true;
  for (int i = 0; i < Fnb_filtergraphs(); ++i) {
    AVFilterGraph* graph = Ffiltergraphs[i]->graph.get();
    if (!graph) continue;
    int ret;
    if (c.time < 0) {
      char reply[4096] = {0};
      ret = ff::avfilter_graph_send_command(graph, c.target.c_str(), c.command.c_str(),
                                            c.arg.empty() ? nullptr : c.arg.c_str(), reply,
                                            sizeof reply, c.flags);
      if (ret < 0 || reply[0])
        Log(llInfo, "Command reply for stream %d: ret:%d response:%s", i, ret, reply);
      if (ret < 0)
        Log(llError, "%s",
            error_text(strprintf("avfilter_graph_send_command() failed for stream %d", i), ret)
                .c_str());
    } else {
      ret = ff::avfilter_graph_queue_command(graph, c.target.c_str(), c.command.c_str(),
                                             c.arg.c_str(), c.flags, c.time);
      if (ret < 0)
        Log(llError, "%s",
            error_text(strprintf("Queing command failed with error for stream #%d", i), ret)
                .c_str());
    }
    if (ret < 0) ok = false;
  }
  return ok;
}

// Posts a command to the run and waits for its result; applies it at once
// when no run is active, when called by the run itself, or in a main-thread
// call the run is blocked on (the run stands still until it returns).
bool TCustomFFmpeg::PostFilterCommand(TFilterCommand c) {
  if (OnRunThread() || RunWaitsForThisThread()) return ApplyFilterCommand(c);
  auto result = std::make_shared<std::promise<bool>>();
  std::future<bool> done = result->get_future();
  c.done = [result](bool ok) { result->set_value(ok); };
  {
    std::unique_lock<std::mutex> lk(FLock);
    if (!FRunning) {
      lk.unlock();
      return ApplyFilterCommand(c);
    }
    FCommands.push_back(std::move(c));
    FChanged.notify_all();
  }
  bool ready = false;
  waitPumping([&] {
    ready = done.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    return ready || !FRunning;
  });
  return ready && done.get();
}

bool TCustomFFmpeg::SendFilterCommand(const std::string& target, const std::string& cmd,
                                      const std::string& arg, int flags) {
  Log(llVerbose, "Sending filter command target:%s cmd:%s arg:%s flags:%d", target.c_str(),
      cmd.c_str(), arg.c_str(), flags);
  return PostFilterCommand({target, cmd, arg, flags, -1, nullptr});
}

bool TCustomFFmpeg::QueueFilterCommand(const std::string& target, const std::string& cmd,
                                       const std::string& arg, int flags, double time) {
  Log(llVerbose, "Queueing filter command target:%s cmd:%s arg:%s time:%f flags:%d", target.c_str(),
      cmd.c_str(), arg.c_str(), time, flags);
  return PostFilterCommand({target, cmd, arg, flags, time < 0 ? 0 : time, nullptr});
}

// pausing: the part of a pause in progress, which joins FTotalPauseTime when
// the task resumes.
void TCustomFFmpeg::ApplyRateEmulation(bool on, std::int64_t pausing) {
  Frate_emu = on;
  for (auto& f : Finput_files) f->rate_emu = on;
  if (!on) return;
  // Paced reading continues from where the streams are, not from their start.
  const std::int64_t now = Now();
  for (auto& ist : Finput_streams) {
    const std::int64_t dts = ist->dts == AV_NOPTS_VALUE ? 0 : ist->dts;
    ist->start = now - FTotalPauseTime - pausing - dts;
  }
}

void TCustomFFmpeg::SetFrameRateEmulation(bool AValue) {
  std::unique_lock<std::mutex> lk(FLock);
  if (!FRunning || OnRunThread()) {
    lk.unlock();
    ApplyRateEmulation(AValue, 0);
    return;
  }
  FRateEmuRequest = AValue ? 1 : 0;
  FChanged.notify_all();
}

// ---- The run

void TCustomFFmpeg::ExecuteRun() {
  FFinished = false;
  Guarded([this] {
    if (!InitTranscode())
      throw FFmpegException(FLastErrMsg.empty() ? "The task could not be set up" : FLastErrMsg);
    TranscodeLoop();
  });
  // A run that failed on its way is not finished, whatever the loop ended with.
  if (FRunFailed) {
    FFinished = false;
    if (!FFatalException)
      RecordFatal(FLastErrMsg.empty() ? std::string("The task failed") : FLastErrMsg);
  }
  Guarded([this] {
    for (TOutputStream* ost : FEncoderList)
      if (ost->enc_ctx) ff::avcodec_close(ost->enc_ctx.get());
    FEncoderList.clear();
    for (TInputStream* ist : FDecoderList)
      if (ist->dec_ctx) ff::avcodec_close(ist->dec_ctx.get());
    FDecoderList.clear();
  });
  Guarded([this] { ReleaseTask(); });
  ff::av_log(nullptr, AV_LOG_QUIET, "%s", "");
}

// Termination without a run thread (a task that could not start).
void TCustomFFmpeg::DoTerminate() {
  FConverting = false;
  FTerminated = true;
  NotifyTerminate();
}

TProgressInfo TCustomFFmpeg::Progress() const {
  std::lock_guard<std::mutex> lk(FLock);
  return FProgress;
}

void TCustomFFmpeg::SetProgress(const TProgressInfo& info) {
  std::lock_guard<std::mutex> lk(FLock);
  FProgress = info;
}

void TCustomFFmpeg::ReleaseTask() {
  if (FTranscodeInitialized && !FTranscodeCleanuped) CleanupOutputs();
  FreeTaskData();
}

// Closes the output files; a file this task created and left empty is removed
// (never a device, a FIFO or a file that was there before).
static void CloseOutputFiles(TCustomFFmpeg& e) {
  for (auto& of : e.Foutput_files) {
    AVFormatContext* oc = of->ctx.get();
    if (!oc || !oc->oformat || (oc->oformat->flags & AVFMT_NOFILE)) continue;
    if (oc->pb && !(oc->flags & AVFMT_FLAG_CUSTOM_IO)) ff::avio_closep(&oc->pb);
    const char* url = oc->url ? oc->url : "";
    const char* path = std::strncmp(url, "file:", 5) == 0 ? url + 5 : url;
    if (of->created && EmptyRegularFile(path)) ::unlink(path);
  }
}

void TCustomFFmpeg::FreeTaskData() {
  FAudioPreview.Close();
  FHooks.Release();
  // Graphs point at streams, output streams at their files' contexts, input
  // streams at their files' contexts: release in that order.
  for (auto& ist : Finput_streams) ist->filters.clear();
  for (auto& ost : Foutput_streams) ost->filter = nullptr;
  Ffiltergraphs.clear();
  FEncoderList.clear();
  FDecoderList.clear();
  CloseOutputFiles(*this);
  Foutput_streams.clear();
  Foutput_files.clear();
  Finput_streams.clear();
  Finput_files.clear();
  Fhw_device_ctx.reset();
  FreeHWDevices();
  if (Fvstats_file) {
    if (std::fclose(Fvstats_file) != 0)
      Log(llError, "Error closing vstats file, loss of information possible");
    Fvstats_file = nullptr;
  }
}

}  // namespace corvane
