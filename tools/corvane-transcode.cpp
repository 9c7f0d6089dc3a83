// corvane-transcode [global options] {[input options] -i INPUT}...
//                   {[output options] OUTPUT}...
//        corvane-transcode --batch FILE [--jobs N]
// Converts the inputs to the outputs as one transcoding task of the encoder
// component (a batch: one task per line of FILE). Options before
// each -i belong to that input, options after the last input up to each
// output name to that output; global options may stand in any group.
// `q` on the terminal, SIGINT or SIGTERM ends the task cleanly (status 255).
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "encoder/CustomEncoder.h"
#include "foundation/FFLoader.h"
#include "foundation/Logger.h"
#include "foundation/MainThread.h"
#include "foundation/Options.h"
#include "foundation/ShellWords.h"
#include "foundation/StrFormat.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avdevice.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"
#include "transcoder/Transcoder.h"

using namespace corvane;

namespace {

constexpr int kInterrupted = 255;
// Counted by the handler; the stop watcher acts on it.
std::atomic<int> gSignals{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal count must be signal-safe");
void onSignal(int) { gSignals.fetch_add(1); }

struct FileArgs {
  std::vector<std::string> options;
  std::string name;
};

struct CommandLine {
  std::vector<FileArgs> inputs, outputs;
  std::vector<std::string> trailing;  // options after the last output
  bool nostdin = false;
  bool hide_banner = false;
};

// Quotes an argument so that the engine's option string splitter gives it back.
std::string quote(const std::string& arg) {
  std::string out = "\"";
  std::size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    out.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
    slashes = 0;
    out += c;
  }
  out.append(2 * slashes, '\\');
  return out + "\"";
}

std::string join(const std::vector<std::string>& args) {
  std::string s;
  for (const std::string& a : args) s += (s.empty() ? "" : " ") + quote(a);
  return s;
}

// Whether option (without its dash) takes the next argument as its value.
bool takesArgument(TOptionTable table, const std::string& name) {
  if (const TOptionDef* row = find_option_def(table, name)) return (row->flags & ofHasArg) != 0;
  if (name.rfind("no", 0) == 0)
    if (const TOptionDef* row = find_option_def(table, name.substr(2)))
      if (row->flags & ofBool) return false;
  return true;  // a library (codec, format, scaler...) option
}

// Splits the arguments into the files' option groups; tool-only options are
// applied.
CommandLine split(const std::vector<std::string>& argv, TOptionTable table) {
  CommandLine cl;
  std::vector<std::string> pending;
  const std::size_t argc = argv.size();
  for (std::size_t i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.size() < 2 || a[0] != '-') {
      cl.outputs.push_back({std::move(pending), a});
      pending.clear();
      continue;
    }
    const std::string name = a.substr(1);
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error("option -" + name + " needs a value");
      return argv[++i];
    };
    if (name == "i") {
      const std::string input = value();
      if (!cl.outputs.empty()) throw std::runtime_error("input " + input + " follows an output");
      cl.inputs.push_back({std::move(pending), input});
      pending.clear();
    } else if (name == "nostdin") {
      cl.nostdin = true;
    } else if (name == "hide_banner") {
      cl.hide_banner = true;
    } else if (name == "loglevel" || name == "v") {
      const std::string level = value();
      if (set_loglevel_text(name, level.c_str()) < 0)
        throw std::runtime_error("unknown log level " + level);
    } else {
      pending.push_back(a);
      if (takesArgument(table, name)) pending.push_back(value());
    }
  }
  cl.trailing = std::move(pending);
  return cl;
}

// The message of a logger line: without the time, thread, sender and level.
std::string message(const std::string& line) {
  std::size_t pos = line.size() > 23 ? 23 : 0;
  if (pos && line[pos] == '*') ++pos;
  if (pos) ++pos;
  for (int i = 0; i < 2 && pos < line.size() && line[pos] == '['; ++i) {
    const std::size_t end = line.find("] ", pos);
    if (end == std::string::npos || line.find(' ', pos) < end) break;
    pos = end + 2;
  }
  return line.substr(pos);
}

// Prints the engine's log lines; the progress line rewrites itself until
// another line comes. Remembers the last error so that it is not printed twice.
struct Console {
  std::mutex lock;
  std::string last_error;
  bool on_progress = false;  // the cursor stands after a progress line

  static bool isProgress(const std::string& line) {
    return (line.rfind("frame=", 0) == 0 || line.rfind("size=", 0) == 0) &&
           line.find("time=") != std::string::npos;
  }

  void install() {
    FFLogger().SetSynchronous(true);
    FFLogger().SetOnLog([this](TObject*, std::uint32_t, TLogLevel level, const std::string& raw) {
      std::string line = message(raw);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      std::lock_guard<std::mutex> lk(lock);
      if (level <= llError) last_error = line;
      if (isProgress(line)) {
        std::fprintf(stderr, "%s\r", line.c_str());
        on_progress = true;
      } else {
        std::fprintf(stderr, "%s%s\n", on_progress ? "\n" : "", line.c_str());
        on_progress = false;
      }
      std::fflush(stderr);
    });
  }
  void print(const std::string& msg) {
    std::lock_guard<std::mutex> lk(lock);
    std::fprintf(stderr, "%s%s\n", on_progress ? "\n" : "", msg.c_str());
    on_progress = false;
  }
  void error(const std::string& msg) {
    if (msg.empty() || last_error.find(msg) != std::string::npos) return;
    print(msg);
    std::lock_guard<std::mutex> lk(lock);
    last_error = msg;
  }
  void finish() {
    std::lock_guard<std::mutex> lk(lock);
    if (on_progress) std::fputc('\n', stderr);
    on_progress = false;
  }
};

// The terminal in single-key mode while the task runs, restored afterwards.
class KeyReader {
 public:
  explicit KeyReader(bool enabled) : enabled_(enabled) {
    if (enabled_ && ::isatty(0) && ::tcgetattr(0, &saved_) == 0) {
      termios raw = saved_;
      raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
      raw.c_cc[VMIN] = 0;
      raw.c_cc[VTIME] = 0;
      restore_ = ::tcsetattr(0, TCSANOW, &raw) == 0;
    }
  }
  ~KeyReader() { restore(); }
  void restore() {
    if (restore_) ::tcsetattr(0, TCSANOW, &saved_);
    restore_ = false;
  }
  KeyReader(const KeyReader&) = delete;
  KeyReader& operator=(const KeyReader&) = delete;

  // Waits up to timeout_ms for a key; true when `q` was pressed.
  bool quitPressed(int timeout_ms) {
    if (!enabled_) {
      ::poll(nullptr, 0, timeout_ms);
      return false;
    }
    pollfd p{0, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return false;
    char c = 0;
    const ssize_t n = ::read(0, &c, 1);
    if (n <= 0) enabled_ = false;  // end of input: nothing more to read
    return n == 1 && c == 'q';
  }

 private:
  bool enabled_;
  bool restore_ = false;
  termios saved_{};
};

void banner() {
  const unsigned v = ff::avcodec_version();
  std::fprintf(stderr, "corvane-transcode (Corvane), codec library %u.%u.%u\n", v >> 16,
               (v >> 8) & 0xff, v & 0xff);
}

// Stops the encoder once a signal came or `q` was pressed, also while the
// main thread is blocked opening a file: Stop is repeated until the run is
// over, so that a stop between two opens is not lost.
class StopWatcher {
 public:
  StopWatcher(TDEDirerer& enc, bool read_keys)
      : enc_(enc), keys_(read_keys), thread_([this] { run(); }) {}
  ~StopWatcher() {
    quit_ = true;
    thread_.join();
  }
  StopWatcher(const StopWatcher&) = delete;
  StopWatcher& operator=(const StopWatcher&) = delete;
  bool stopping() const { return stopping_ || gSignals > 0; }

 private:
  void run() {
    while (!quit_) {
      if (keys_.quitPressed(50) || gSignals > 0) stopping_ = true;
      if (stopping_) enc_.Stop(false);
      if (gSignals > 3) {  // tasks that do not stop
        keys_.restore();
        std::_Exit(kInterrupted);
      }
    }
  }

  TDEDirerer& enc_;
  KeyReader keys_;
  std::atomic<bool> quit_{false};
  std::atomic<bool> stopping_{false};
  std::thread thread_;  // last: starts once the rest is ready
};

// Adds the task an argument list describes; its index, or -1 with message set.
int addTask(TDEDirerer& enc, const CommandLine& cl, std::string& message) {
  if (cl.inputs.empty() || cl.outputs.empty()) {
    message = cl.inputs.empty() ? "no input" : "no output";
    return -1;
  }
  const int index = enc.AddTask(cl.inputs[0].name, join(cl.inputs[0].options));
  bool ok = index >= 0;
  for (std::size_t i = 1; ok && i < cl.inputs.size(); ++i)
    ok = enc.AddInput(index, cl.inputs[i].name, join(cl.inputs[i].options)) >= 0;
  for (std::size_t i = 0; ok && i < cl.outputs.size(); ++i)
    ok = enc.SetOutput(index, cl.outputs[i].name, join(cl.outputs[i].options)) >= 0;
  if (ok) return index;
  message = enc.LastErrMsg().empty() ? "cannot be opened" : enc.LastErrMsg();
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  if (index >= 0) enc.RemoveTask(index);
  return -1;
}

// The engine driver of both forms: runs the encoder's tasks on `jobs`
// threads, pumping the main-thread calls, until the final report. Each
// task's report goes to on_task. False when the run could not start.
bool runTasks(TDEDirerer& enc, int jobs, Console& console,
              std::function<void(const TTerminateInfo&)> on_task) {
  std::atomic<bool> ended{false};
  enc.OnTerminate.Set([&](TObject*, const TTerminateInfo& info) {
    if (info.TaskIndex < 0)
      ended = true;
    else
      on_task(info);
  });
  const bool started = enc.Start(jobs);
  if (!started) console.error(enc.LastErrMsg());
  if (started) waitPumping([&] { return ended.load(); });
  enc.OnTerminate.Clear();
  return started;
}

}  // namespace

// ---- Batch: one task per line of a file, run by the encoder component.
namespace {

struct BatchTask {
  int line = 0;
  int index = -1;        // in the encoder; -1: the line could not be made a task
  bool skipped = false;  // not made a task: a stop came first
  bool finished = false;
  std::string message;
};

// Reads the batch file into tasks; false when it cannot be read. Once a stop
// is asked for, the remaining lines are listed without being opened.
bool readBatch(const std::string& file, TDEDirerer& enc, const StopWatcher& watcher,
               std::vector<BatchTask>& tasks) {
  std::ifstream in(file);
  if (!in) return false;
  TCustomFFmpeg table_owner;
  const TOptionTable table = table_owner.OptionDef();
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    const auto words = splitShellWords(text);
    if (words && words->empty()) continue;
    BatchTask t;
    t.line = number;
    if (watcher.stopping()) {
      t.skipped = true;
    } else if (!words) {
      t.message = "unbalanced quotes";
    } else {
      try {
        const CommandLine cl = split(*words, table);
        if (cl.trailing.empty())
          t.index = addTask(enc, cl, t.message);
        else
          t.message = "options after the last output: " + join(cl.trailing);
      } catch (const std::exception& e) {
        t.message = e.what();
      }
    }
    tasks.push_back(std::move(t));
  }
  return true;
}

BatchTask* byIndex(std::vector<BatchTask>& tasks, int index) {
  for (BatchTask& t : tasks)
    if (t.index == index && index >= 0) return &t;
  return nullptr;
}

void printSummary(const std::vector<BatchTask>& tasks, bool interrupted, Console& console) {
  console.print("Summary:");
  for (const BatchTask& t : tasks) {
    std::string state;
    if (t.finished)
      state = "finished";
    else if (interrupted && (t.index >= 0 || t.skipped) && t.message.empty())
      state = "stopped";
    else
      state = "failed: " + (t.message.empty() ? std::string("did not finish") : t.message);
    console.print(strprintf("  line %d: %s", t.line, state.c_str()));
  }
}

}  // namespace

int runBatch(const std::string& file, int jobs, Console& console) {
  FFLogger().SetLogLevel(llWarning);  // the tasks' own progress lines would interleave
  // Declared first: the encoder's handlers refer to the tasks until it goes.
  std::vector<BatchTask> tasks;
  TDEDirerer enc;
  const StopWatcher watcher(enc, false);
  if (!readBatch(file, enc, watcher, tasks)) {
    std::fprintf(stderr, "%s: cannot be read\n", file.c_str());
    return 1;
  }
  enc.SetProgressInterval(1000);
  enc.OnProgress.Set([&](TObject*, TEncProgressInfo* p) {
    const BatchTask* t = byIndex(tasks, p->TaskIndex);
    if (!t) return;
    const double secs = static_cast<double>(p->CurrentDuration) / 1e6;
    console.print(strprintf("line %d: frame=%d fps=%d size=%lldkB time=%.2f", t->line,
                            p->FrameNumber, p->FPS, static_cast<long long>(p->CurrentSize / 1024),
                            secs));
  });
  const auto onTask = [&](const TTerminateInfo& info) {
    BatchTask* t = byIndex(tasks, info.TaskIndex);
    if (!t) return;
    t->finished = info.Finished;
    if (!info.Finished && info.Exception) t->message = info.ExceptionMsg;
  };
  if (enc.TasksCount() > 0 && !watcher.stopping() && !runTasks(enc, jobs, console, onTask))
    return 1;
  const bool interrupted = watcher.stopping();
  console.finish();
  printSummary(tasks, interrupted, console);
  if (interrupted) return kInterrupted;
  for (const BatchTask& t : tasks)
    if (!t.finished) return 1;
  return 0;
}

// Whether an input is read from the standard input, which keys must not take from.
bool readsStdin(const CommandLine& cl) {
  for (const FileArgs& f : cl.inputs)
    for (const char* name : {"-", "pipe:", "pipe:0", "fd:", "fd:0", "/dev/stdin", "file:/dev/stdin",
                             "/proc/self/fd/0"})
      if (f.name == name) return true;
  return false;
}

// One task from the command line, run by the same driver as a batch.
int runSingle(const std::vector<std::string>& args, Console& console) {
  CommandLine cl;
  try {
    TCustomFFmpeg table_owner;
    cl = split(args, table_owner.OptionDef());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  if (!cl.hide_banner) banner();
  if (!cl.trailing.empty())
    std::fprintf(stderr, "corvane-transcode: options after the last output ignored: %s\n",
                 join(cl.trailing).c_str());
  if (cl.outputs.empty()) {
    std::fprintf(stderr,
                 "usage: corvane-transcode [options] {[input options] -i INPUT}... "
                 "{[output options] OUTPUT}...\n");
    return 1;
  }
  TDEDirerer enc;
  const StopWatcher watcher(enc, !cl.nostdin && !readsStdin(cl));
  std::string message;
  const int index = addTask(enc, cl, message);
  if (index >= 0) enc.FFmpegs(index)->FStatsWithProgressEvent = true;
  TTerminateInfo result;
  const bool ran = index >= 0 && !watcher.stopping() &&
                   runTasks(enc, 1, console, [&](const TTerminateInfo& i) { result = i; });
  console.finish();
  // A task that finished before the stop came is complete.
  if (ran && result.Finished) return 0;
  if (watcher.stopping()) {
    console.print("corvane-transcode: stopped on request");
    return kInterrupted;
  }
  if (index < 0) console.error(message);
  if (!ran) return 1;
  const TFFmpeg* task = enc.FFmpegs(index);
  console.error(!result.ExceptionMsg.empty() ? result.ExceptionMsg
                : task                       ? task->FLastErrMsg
                                             : std::string());
  return 1;
}

int main(int argc, char** argv) {
  setDispatcher(std::make_shared<QueueDispatcher>());
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::signal(SIGPIPE, SIG_IGN);

  Console console;
  console.install();
  if (!FFLoader().Load(kEncoderLibraries)) {
    std::fprintf(stderr, "%s\n", FFLoader().LastErrMsg().c_str());
    return 1;
  }
  ff::avdevice_register_all();
  FFLogger().InstallAVLogCallback();

  if (argc >= 3 && std::string(argv[1]) == "--batch") {
    int jobs = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    if (argc == 5 && std::string(argv[3]) == "--jobs") jobs = std::atoi(argv[4]);
    if ((argc != 3 && argc != 5) || jobs < 1) {
      std::fprintf(stderr, "usage: corvane-transcode --batch FILE [--jobs N]\n");
      return 1;
    }
    return runBatch(argv[2], jobs, console);
  }
  return runSingle(std::vector<std::string>(argv + 1, argv + argc), console);
}
