// Controlling a running task from the owner's thread: pause, step, stop,
// time-outs of blocked reads, write failures and the release of outputs.
// Every wait has a deadline, so that a hang fails the test instead.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/MainThread.h"
#include "support/MediaReadBack.h"
#include "support/SilentServer.h"
#include "support/TranscoderRig.h"

using namespace corvane;
using namespace std::chrono_literals;

namespace {

// Counts the video frames handed to the encoders.
class CountingTask : public TCustomFFmpeg {
 public:
  ~CountingTask() override { Stop(true); }  // the hook is gone after this
  void OutputFrameHook(TOutputStream& ost, AVFrame*) override {
    if (ost.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) ++frames;
  }
  std::atomic<int> frames{0};
};

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

using testrig::SilentServer;

// A TCP listener that sends its bytes to the first client, then stays silent
// with the connection open until destroyed.
class FallingSilentServer {
 public:
  explicit FallingSilentServer(std::string bytes) : bytes_(std::move(bytes)) {
    thread_ = std::thread([this] { serve(); });
  }
  ~FallingSilentServer() {
    done_ = true;
    thread_.join();
  }
  FallingSilentServer(const FallingSilentServer&) = delete;
  FallingSilentServer& operator=(const FallingSilentServer&) = delete;
  std::string url() {
    waitUntil([this] { return port_ != 0 || done_; }, 5s);
    return "tcp://127.0.0.1:" + std::to_string(port_);
  }

 private:
  void serve() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ||
        ::listen(fd, 1) < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) < 0) {
      if (fd >= 0) ::close(fd);
      done_ = true;
      return;
    }
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    port_ = ntohs(a.sin_port);
    int client = -1;
    while (!done_ && (client = ::accept(fd, nullptr, nullptr)) < 0)
      std::this_thread::sleep_for(5ms);
    for (std::size_t sent = 0; client >= 0 && sent < bytes_.size();) {
      const ssize_t n = ::send(client, bytes_.data() + sent, bytes_.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    while (!done_) std::this_thread::sleep_for(5ms);
    if (client >= 0) ::close(client);
    ::close(fd);
  }

  std::string bytes_;
  std::atomic<bool> done_{false};
  std::atomic<int> port_{0};
  std::thread thread_;
};

class RunControlTest : public testrig::TranscoderTest {
 protected:
  CountingTask& newCountingTask() {
    auto task = std::make_unique<CountingTask>();
    CountingTask& t = *task;
    engine_ = std::move(task);
    return t;
  }

  // A paced 20-second clip to a nut file: slow enough to control.
  CountingTask& pacedTask() {
    CountingTask& task = newCountingTask();
    EXPECT_GE(openInput("-re -f lavfi", "testsrc=size=160x120:rate=25:duration=20"), 0)
        << task.FLastErrMsg;
    EXPECT_GE(openOutput("-c:v mpeg4", path("paced.nut")), 0) << task.FLastErrMsg;
    return task;
  }

  // Stops a task that outlived its test, so that a failure does not hang.
  static void Watchdog(TCustomFFmpeg& task, std::chrono::milliseconds limit) {
    if (!waitUntil([&] { return !task.Converting(); }, limit)) {
      ADD_FAILURE() << "the task did not end in time";
      task.Stop(true);
    }
  }
};

TEST_F(RunControlTest, PauseFreezesStepGivesOneFrameStopWhilePausedIsPrompt) {
  CountingTask& task = pacedTask();
  task.Pause();  // before the first run: ignored
  task.Step();
  EXPECT_EQ(task.FSuspended, -1);
  EXPECT_EQ(task.FStep, -1);

  task.StartConvert(true);
  ASSERT_TRUE(waitUntil([&] { return task.frames >= 3; }, 10s)) << task.FatalMessage();
  task.Pause();
  std::this_thread::sleep_for(200ms);  // a frame on its way may still land
  const int paused_at = task.frames;
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(task.frames, paused_at) << "frames went out while paused";
  EXPECT_TRUE(task.Converting());

  for (int step = 1; step <= 2; ++step) {
    task.Step();
    EXPECT_TRUE(waitUntil([&] { return task.frames >= paused_at + step; }, 5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(task.frames, paused_at + step) << "one step lets exactly one frame through";
  }
  EXPECT_GT(task.FTotalPauseTime.load(), 500000);

  const auto t0 = std::chrono::steady_clock::now();
  task.Stop(true);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s) << "stop while paused is prompt";
  EXPECT_FALSE(task.Converting());
  EXPECT_FALSE(task.Finished());
  EXPECT_TRUE(task.Terminated());
}

// Filter commands reach the graphs through the task thread, also while the
// task is paused; a command no filter takes fails with the graph's index.
TEST_F(RunControlTest, FilterCommandsReachTheRunningGraph) {
  CountingTask& task = newCountingTask();
  EXPECT_TRUE(task.SendFilterCommand("hue", "h", "90", 0)) << "no graph yet: nothing to refuse";
  ASSERT_GE(openInput("-re -f lavfi", "testsrc=size=160x120:rate=25:duration=20"), 0);
  ASSERT_GE(openOutput("-vf hue -c:v mpeg4", path("hue.nut")), 0) << task.FLastErrMsg;
  task.StartConvert(true);
  ASSERT_TRUE(waitUntil([&] { return task.frames >= 2; }, 10s)) << task.FatalMessage();

  EXPECT_TRUE(task.SendFilterCommand("hue", "h", "90", 0)) << task.FLastErrMsg;
  EXPECT_TRUE(task.QueueFilterCommand("hue", "s", "0", 0, 0.5)) << task.FLastErrMsg;
  task.Pause();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(task.SendFilterCommand("hue", "nosuchcommand", "1", 0));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  EXPECT_TRUE(logged("avfilter_graph_send_command() failed for stream 0"));
  // The task's message belongs to the task thread: a refused command only logs.
  EXPECT_EQ(task.FLastErrMsg.find("avfilter_graph_send_command"), std::string::npos);
  task.Stop(true);
  EXPECT_FALSE(task.Converting());
}

// Rate emulation switched on in a paused run paces the rest of the input in
// real time from where it stands; the pause does not hold it back.
TEST_F(RunControlTest, RateEmulationSwitchedOnDuringARun) {
  CountingTask& task = newCountingTask();
  ASSERT_GE(openInput("-f lavfi", "testsrc=size=64x48:rate=25:duration=600"), 0);
  ASSERT_GE(openOutput("-c:v mpeg4", path("emu.nut")), 0);
  task.StartConvert(true);
  ASSERT_TRUE(waitUntil([&] { return task.frames >= 1; }, 10s));
  task.Pause();
  std::this_thread::sleep_for(1s);
  task.SetFrameRateEmulation(true);
  std::this_thread::sleep_for(100ms);
  const int before = task.frames;
  task.Resume();
  std::this_thread::sleep_for(1s);
  const int paced = task.frames - before;
  task.Stop(true);
  EXPECT_GE(paced, 10);
  EXPECT_LE(paced, 40) << "25 frames a second, not unpaced";
}

// A stop with waiting from the run's own thread cannot wait for the run.
TEST_F(RunControlTest, StopFromTheRunItselfReturns) {
  TCustomFFmpeg& task = newTask();
  std::atomic<bool> returned{false};
  task.FOnTerminate = [&](TObject*) {
    task.Stop(true);
    returned = true;
  };
  ASSERT_GE(openInput("-f lavfi", "testsrc=size=64x48:rate=25:duration=1"), 0);
  ASSERT_GE(openOutput("-c:v mpeg4", path("self.nut")), 0);
  task.StartConvert(true);
  EXPECT_TRUE(waitUntil([&] { return returned.load(); }, 20s));
  task.Stop(true);
}

// Ends the process when a test hangs past its deadline: a deadlock fails
// loudly instead of stalling the run.
class DeadlockWatchdog {
 public:
  DeadlockWatchdog(const char* what, std::chrono::seconds limit)
      : thread_([this, what, limit] {
          std::unique_lock<std::mutex> lk(lock_);
          if (!done_cv_.wait_for(lk, limit, [this] { return done_; })) {
            std::fprintf(stderr, "deadlock: %s\n", what);
            std::abort();
          }
        }) {}
  ~DeadlockWatchdog() {
    {
      std::lock_guard<std::mutex> lk(lock_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }
  DeadlockWatchdog(const DeadlockWatchdog&) = delete;
  DeadlockWatchdog& operator=(const DeadlockWatchdog&) = delete;

 private:
  std::mutex lock_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

// A main-thread queue for the test's thread, removed at the end.
struct MainQueue {
  MainQueue() { setDispatcher(queue); }
  ~MainQueue() {
    queue->pump();
    setDispatcher(nullptr);
  }
  std::shared_ptr<QueueDispatcher> queue = std::make_shared<QueueDispatcher>();
};

// Stops itself with waiting from its output hook after a few frames.
class SelfStoppingTask : public CountingTask {
 public:
  void OutputFrameHook(TOutputStream& ost, AVFrame* frame) override {
    CountingTask::OutputFrameHook(ost, frame);
    if (frames == 3) {
      Stop(true);
      returned = true;
    }
  }
  std::atomic<bool> returned{false};
};

// A stop with waiting from the run's own thread, on a thread of its own or
// on the caller's, only asks: the run ends unfinished instead of hanging.
TEST_F(RunControlTest, StopFromAHookOfTheRunReturns) {
  for (const bool thread : {true, false}) {
    SCOPED_TRACE(thread ? "run thread" : "caller's thread");
    DeadlockWatchdog watchdog("Stop(true) from the run's hook", std::chrono::seconds(60));
    auto owned = std::make_unique<SelfStoppingTask>();
    SelfStoppingTask& task = *owned;
    engine_ = std::move(owned);
    ASSERT_GE(openInput("-f lavfi", "testsrc=size=64x48:rate=25:duration=20"), 0);
    ASSERT_GE(openOutput("-c:v mpeg4", path("hook.nut")), 0);
    task.StartConvert(thread);
    EXPECT_TRUE(waitUntil([&] { return !task.Converting(); }, 30s));
    EXPECT_TRUE(task.returned);
    EXPECT_FALSE(task.Finished());
    EXPECT_LT(task.frames, 25 * 20) << "the run went on to the end";
    task.Stop(true);
  }
}

// The run's progress handler waits for a main-thread call, and that call
// stops the task with waiting: it only asks, the run ends. A stop with
// waiting from the main thread while the run waits for it likewise ends.
TEST_F(RunControlTest, StopInAMainThreadCallTheRunWaitsFor) {
  for (const bool from_call : {true, false}) {
    SCOPED_TRACE(from_call ? "in the call" : "beside the call");
    DeadlockWatchdog watchdog("Stop(true) in a main-thread call", std::chrono::seconds(60));
    MainQueue main;
    CountingTask& task = newCountingTask();
    std::atomic<int> calls{0};
    std::atomic<bool> stop_returned{false};
    task.FOnProgress = [&](TObject*, const TProgressInfo&) {
      callInMainThread([&] {
        if (++calls == 2 && from_call) {
          task.Stop(true);
          stop_returned = true;
        }
      });
    };
    task.FReportInterval = 0;
    ASSERT_GE(openInput("-re -f lavfi", "testsrc=size=64x48:rate=25:duration=20"), 0);
    ASSERT_GE(openOutput("-c:v mpeg4", path("main.nut")), 0);
    task.StartConvert(true);
    if (from_call) {
      EXPECT_TRUE(waitPumping([&] { return !task.Converting(); }, 30s));
      EXPECT_TRUE(stop_returned);
    } else {
      EXPECT_TRUE(waitPumping([&] { return calls >= 2; }, 30s));
      task.Stop(true);
    }
    EXPECT_FALSE(task.Converting());
    EXPECT_FALSE(task.Finished());
    task.Stop(true);
  }
}

// A filter command sent in a main-thread call the run waits for reaches the
// graph at once instead of waiting for the run.
TEST_F(RunControlTest, FilterCommandInAMainThreadCallTheRunWaitsFor) {
  DeadlockWatchdog watchdog("a filter command in a main-thread call", std::chrono::seconds(60));
  MainQueue main;
  CountingTask& task = newCountingTask();
  std::atomic<int> answers{0}, accepted{0};
  task.FReportInterval = 0;
  task.FOnProgress = [&](TObject*, const TProgressInfo& info) {
    if (info.Final || answers > 0) return;
    callInMainThread([&] {
      accepted += task.SendFilterCommand("hue", "h", "90", 0) ? 1 : 0;
      ++answers;
    });
  };
  ASSERT_GE(openInput("-f lavfi", "testsrc=size=64x48:rate=25:duration=2"), 0);
  ASSERT_GE(openOutput("-vf hue -c:v mpeg4", path("cmd.nut")), 0) << task.FLastErrMsg;
  task.StartConvert(true);
  EXPECT_TRUE(waitPumping([&] { return !task.Converting(); }, 30s));
  task.Stop(true);
  EXPECT_EQ(answers, 1);
  EXPECT_EQ(accepted, 1);
  EXPECT_TRUE(task.Finished()) << task.FatalMessage();
}

// The owner moves the termination to the main thread and there stops the
// task with waiting, or destroys it: the thread that delivers the
// termination waits for that call, so it is not joined there.
TEST_F(RunControlTest, TerminationHandledOnTheMainThread) {
  struct Case {
    const char* name;
    bool ran;      // a run, or the termination of a task that never ran
    bool destroy;  // destroy the task, or stop it with waiting
  };
  const Case cases[] = {{"run, stop", true, false},
                        {"run, destroy", true, true},
                        {"never ran, stop", false, false},
                        {"never ran, destroy", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeadlockWatchdog watchdog("termination handled on the main thread", std::chrono::seconds(60));
    MainQueue main;
    TCustomFFmpeg& task = newTask();
    std::atomic<bool> handled{false};
    task.FOnTerminate = [&](TObject*) {
      callInMainThread([&] {
        if (c.destroy)
          engine_.reset();
        else
          task.Stop(true);
        handled = true;
      });
    };
    if (c.ran) {
      ASSERT_GE(openInput("-f lavfi", "testsrc=size=64x48:rate=25:duration=1"), 0);
      ASSERT_GE(openOutput("-c:v mpeg4", path("main-end.nut")), 0);
      task.StartConvert(true);
    } else {
      task.StopOrTerminate(false);
    }
    EXPECT_TRUE(waitPumping([&] { return handled.load(); }, 30s));
    if (!c.destroy) {
      EXPECT_FALSE(task.Converting());
      task.StopOrTerminate(true);
      task.Stop(true);
    }
    engine_.reset();
  }
}

// A task that never ran still tells its owner that it ended, once.
TEST_F(RunControlTest, StopOrTerminateNotifiesATaskThatNeverRan) {
  for (const bool wait : {true, false}) {
    SCOPED_TRACE(wait ? "waiting" : "not waiting");
    TCustomFFmpeg& task = newTask();
    std::atomic<int> terminations{0};
    task.FOnTerminate = [&](TObject*) { ++terminations; };
    task.StopOrTerminate(wait);
    if (wait) {
      EXPECT_EQ(terminations, 1);
    }
    EXPECT_TRUE(waitUntil([&] { return terminations == 1; }, 5s));
    task.StopOrTerminate(true);
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(task.Terminated());
  }
}

// The run may be at any point of its start when the stop comes; the clip is
// long enough that a loaded machine cannot finish it before the stop.
TEST_F(RunControlTest, StopRightAfterStartEndsTheRun) {
  for (int i = 0; i < 100; ++i) {
    TCustomFFmpeg& task = newTask();
    int terminations = 0;
    task.FOnTerminate = [&](TObject*) { ++terminations; };
    ASSERT_GE(openInput("-f lavfi", "testsrc=size=64x48:rate=25:duration=3600"), 0);
    ASSERT_GE(openOutput("-c:v mpeg4", path("s.nut")), 0);
    task.StartConvert(true);
    ASSERT_NE(task.ThreadID(), 0) << "iteration " << i;
    ASSERT_NE(task.ThreadID(), static_cast<long>(::gettid()));
    task.Stop(true);
    ASSERT_FALSE(task.Converting()) << "iteration " << i;
    ASSERT_EQ(terminations, 1) << "iteration " << i;
    EXPECT_FALSE(task.Finished());
  }
}

// The interrupt callbacks: a stop aborts reads (not writes, so that trailers
// still get written); a pending call aborts once it outlived its time-out.
TEST_F(RunControlTest, InterruptCallbacksDecide) {
  struct Case {
    const char* name;
    bool broken, converting;
    std::int64_t started_ago_us;  // -1: no call pending
    int timeout_ms;
    int read, write;
  };
  const Case cases[] = {
      {"idle", false, false, -1, 500, 0, 0},
      {"within time", false, false, 100000, 500, 0, 0},
      {"timed out", false, false, 600000, 500, 1, 1},
      {"time-out off", false, false, 600000, 0, 0, 0},
      {"long time-out", false, false, 600000, 3000000, 0, 0},  // 3000 s: past 32 bits in us
      {"stopped while opening", true, false, -1, 500, 1, 1},
      {"stopped while converting", true, true, -1, 500, 1, 0},  // the trailer still goes out
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TCustomFFmpeg& task = newTask();
    task.FBroken = c.broken;
    task.FConverting = c.converting;
    task.FReadTimeout = task.FWriteTimeout = c.timeout_ms;
    const std::int64_t start =
        c.started_ago_us < 0 ? INT64_MAX : ff::av_gettime_relative() - c.started_ago_us;
    task.FLastRead = task.FLastWrite = start;
    EXPECT_EQ(task.FReadCallback.callback(task.FReadCallback.opaque), c.read);
    EXPECT_EQ(task.FWriteCallback.callback(task.FWriteCallback.opaque), c.write);
    task.FConverting = false;
  }
}

// A blocked read ends by the read time-out, or by a stop request.
TEST_F(RunControlTest, SilentInputTimesOutOrIsBroken) {
  struct Case {
    const char* name;
    int timeout_ms;
    bool stop;
    const char* text;
  };
  const Case cases[] = {
      {"time-out", 500, false, "connecting/reading timeout"},
      {"stop", 0, true, "reading/writing broken"},
  };
  SilentServer server;
  ASSERT_NE(server.port(), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    TCustomFFmpeg& task = newTask();
    task.FReadTimeout = c.timeout_ms;
    std::thread stopper;
    if (c.stop)
      stopper = std::thread([&] {
        std::this_thread::sleep_for(300ms);
        task.Stop(false);
      });
    std::atomic<bool> returned{false};
    std::thread watchdog([&] {
      if (!waitUntil([&] { return returned.load(); }, 10s)) task.Stop(false);
    });
    const auto t0 = std::chrono::steady_clock::now();
    const int ret = openInput("-f mpegts", server.url());
    returned = true;
    watchdog.join();
    if (stopper.joinable()) stopper.join();
    EXPECT_LT(ret, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_TRUE(logged(c.text));
  }
}

TEST_F(RunControlTest, WriteFailureFailsTheTask) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TCustomFFmpeg& task = newTask();
  ASSERT_GE(openInput("-f lavfi", "testsrc=size=160x120:rate=25:duration=2"), 0);
  ASSERT_GE(openOutput("-y -f nut -c:v mpeg4", "/dev/full"), 0) << task.FLastErrMsg;
  std::thread run([&] { task.StartConvert(false); });
  Watchdog(task, 20s);
  run.join();
  EXPECT_FALSE(task.Finished());
  EXPECT_TRUE(task.FatalException());
  EXPECT_NE(task.FatalMessage(), "");
  EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}

// Outputs left empty (here: opened, then released without a run; a FIFO
// always looks empty): removed only when the task created a regular file.
TEST_F(RunControlTest, EmptyOutputsRemovedOnlyWhenCreatedRegularFiles) {
  struct Case {
    const char* name;
    const char* file;
    const char* options;
    int kind;  // 0 new file, 1 existing empty file, 2 FIFO
    bool survives;
  };
  const Case cases[] = {
      {"new file", "new.nut", "-c:v mpeg4", 0, false},
      {"existing file", "old.nut", "-y -c:v mpeg4", 1, true},
      {"fifo", "pipe.nut", "-y -f nut -c:v mpeg4", 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = path(c.file);
    if (c.kind == 1) std::ofstream(out).close();
    if (c.kind == 2) {
      ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
    }
    std::atomic<std::size_t> drained{0};
    std::thread reader;
    if (c.kind == 2)
      reader = std::thread([&] {
        const int fd = ::open(out.c_str(), O_RDONLY);
        char buf[4096];
        ssize_t n;
        while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0)
          drained += static_cast<std::size_t>(n);
        if (fd >= 0) ::close(fd);
      });
    TCustomFFmpeg& task = newTask();
    ASSERT_GE(openInput("-f lavfi", "testsrc=size=64x48:rate=25:duration=1"), 0);
    ASSERT_GE(openOutput(c.options, out), 0) << task.FLastErrMsg;
    ASSERT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(out)));
    if (c.kind == 2) {
      task.StartConvert(true);
      Watchdog(task, 20s);
      task.Stop(true);
    } else {
      task.ReleaseTask();
    }
    if (reader.joinable()) reader.join();
    EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(out)), c.survives);
    if (c.kind == 2) {
      EXPECT_TRUE(task.Finished()) << task.FatalMessage();
      EXPECT_GT(drained.load(), 0u);
      EXPECT_TRUE(std::filesystem::is_fifo(out));
    }
  }
}

// An input that delivers some data, then falls silent: the read time-out
// fails the run; it is not an end of input.
TEST_F(RunControlTest, InputFallingSilentFailsTheRun) {
  TCustomFFmpeg& maker = newTask();
  ASSERT_GE(openInput("-f lavfi", "testsrc=size=64x48:rate=25:duration=30"), 0);
  ASSERT_GE(openOutput("-c:v mpeg4 -f mpegts", path("src.ts")), 0) << maker.FLastErrMsg;
  maker.StartConvert(false);
  ASSERT_TRUE(maker.Finished()) << maker.FatalMessage();
  std::ifstream in(path("src.ts"), std::ios::binary);
  FallingSilentServer server{std::string(std::istreambuf_iterator<char>(in), {})};

  TCustomFFmpeg& task = newTask();
  task.FReadTimeout = 5000;  // the data is all there: only its end waits
  ASSERT_GE(openInput("-f mpegts -analyzeduration 1000000", server.url()), 0) << task.FLastErrMsg;
  ASSERT_GE(openOutput("-c:v mpeg4", path("out.nut")), 0) << task.FLastErrMsg;
  task.FReadTimeout = 500;
  task.StartConvert(true);
  Watchdog(task, 20s);
  task.Stop(true);
  EXPECT_TRUE(logged("connecting/reading timeout"));
  EXPECT_FALSE(task.Finished());
  EXPECT_TRUE(task.FatalException());
  EXPECT_NE(task.FatalMessage(), "");
}

// Between writes no write is pending: a pause longer than the write time-out
// does not make the interrupt callback abort the next one.
TEST_F(RunControlTest, PauseLongerThanTheWriteTimeout) {
  CountingTask& task = pacedTask();
  task.FWriteTimeout = 200;
  task.StartConvert(true);
  ASSERT_TRUE(waitUntil([&] { return task.frames >= 3; }, 10s)) << task.FatalMessage();
  task.Pause();
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(task.FWriteCallback.callback(task.FWriteCallback.opaque), 0);
  task.Resume();
  std::this_thread::sleep_for(300ms);
  task.Stop(true);
  EXPECT_FALSE(logged("connecting/writing timeout"));
  EXPECT_FALSE(task.FatalException()) << task.FatalMessage();
}

// Several threads stopping with waiting: only the owner joins the run thread.
TEST_F(RunControlTest, StopFromSeveralThreadsAtOnce) {
  CountingTask& task = pacedTask();
  task.StartConvert(true);
  ASSERT_TRUE(waitUntil([&] { return task.frames >= 1; }, 10s)) << task.FatalMessage();
  std::vector<std::thread> stoppers;
  std::atomic<int> returned{0};
  for (int i = 0; i < 3; ++i)
    stoppers.emplace_back([&] {
      task.Stop(true);
      if (!task.Converting()) ++returned;
    });
  task.Stop(true);
  for (std::thread& t : stoppers) t.join();
  EXPECT_EQ(returned, 3);
  EXPECT_FALSE(task.Converting());
}

// A start while the termination of a task that never ran is on its way is
// refused: the owner hears of one end only.
TEST_F(RunControlTest, StartWhileTerminationPendingIsRefused) {
  for (int i = 0; i < 50; ++i) {
    TCustomFFmpeg& task = newTask();
    std::atomic<int> terminations{0};
    task.FOnTerminate = [&](TObject*) { ++terminations; };
    task.StopOrTerminate(false);
    task.StartConvert(true);
    task.StopOrTerminate(true);
    ASSERT_EQ(terminations, 1) << "iteration " << i;
  }
}

// The owner may destroy the engine from its termination handler, on the run
// thread or on its own; a running task destroyed by its owner is stopped and
// the mistake reported.
TEST_F(RunControlTest, DestructionFromTheHandlerOrWhileRunning) {
  for (const bool thread : {true, false}) {
    SCOPED_TRACE(thread ? "run thread" : "caller's thread");
    TCustomFFmpeg& task = newTask();
    std::atomic<bool> destroyed{false};
    task.FOnTerminate = [&](TObject*) {
      engine_.reset();
      destroyed = true;
    };
    ASSERT_GE(openInput("-f lavfi", "testsrc=size=64x48:rate=25:duration=1"), 0);
    ASSERT_GE(openOutput("-c:v mpeg4", path("gone.nut")), 0);
    task.StartConvert(thread);
    EXPECT_TRUE(waitUntil([&] { return destroyed.load(); }, 20s));
  }
  EXPECT_FALSE(logged("destroyed while still running"));

  TCustomFFmpeg& task = newTask();
  ASSERT_GE(openInput("-re -f lavfi", "testsrc=size=64x48:rate=25:duration=20"), 0);
  ASSERT_GE(openOutput("-c:v mpeg4", path("running.nut")), 0);
  task.StartConvert(true);
  std::this_thread::sleep_for(200ms);
  const auto t0 = std::chrono::steady_clock::now();
  engine_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  EXPECT_TRUE(logged("destroyed while still running"));
}

}  // namespace
