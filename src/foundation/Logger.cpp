#include "foundation/Logger.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/Errors.h"
#include "foundation/LoggerInternal.h"
#include "foundation/MainThread.h"
#include "foundation/UserNotifier.h"
#include "foundation/api/avutil.h"
#include "foundation/api/crt.h"

namespace corvane {
namespace {

using Clock = std::chrono::system_clock;

constexpr int kSkipRepeated = 1;
constexpr int kPrintLevel = 2;
static_assert(kSkipRepeated == AV_LOG_SKIP_REPEATED && kPrintLevel == AV_LOG_PRINT_LEVEL);

constexpr std::size_t kRingSize = 128;
constexpr std::size_t kMaxReporterInfo = 255;

constexpr std::array<const char*, llTrace + 1> kLevelNames = {
    "Quiet", "Panic", "Fatal", "Error", "Warning", "Info", "Verbose", "Debug", "Trace"};

// Settings read without a lock on the logging paths; the setters serialise
// on the settings lock.
std::atomic<int> gLevel{logLevelToAV(llInfo)};
std::atomic<int> gFlags{kSkipRepeated | kPrintLevel};
std::atomic<bool> gActive{true};
std::atomic<bool> gSynchronous{false};
std::atomic<bool> gFileTarget{false};  // LogToFile with a non-empty LogFile
std::atomic<bool> gCallbackInstalled{false};

// The process-wide state is created on first use and destroyed at exit. The
// library callback may run after that, and callers are counted so that the
// destruction waits for those inside.
enum Phase : int { kNotCreated, kAlive, kGone };
std::atomic<int> gPhase{kNotCreated};
std::atomic<int> gUsers{0};

class UseScope {
 public:
  UseScope() {
    gUsers.fetch_add(1);
    FOk = gPhase.load() != kGone;
  }
  ~UseScope() { gUsers.fetch_sub(1); }
  UseScope(const UseScope&) = delete;
  UseScope& operator=(const UseScope&) = delete;
  explicit operator bool() const { return FOk; }

 private:
  bool FOk;
};

// Set while this thread runs an OnLog handler.
thread_local bool tInHandler = false;

enum TLogType : std::uint8_t { ltAVLog, ltLogger };

struct TLogItem {
  Clock::time_point LogTime;
  TLogType LogType = ltAVLog;
  const void* Reporter = nullptr;  // library context or sender, for repeat detection
  TObject* Sender = nullptr;       // ltLogger only
  std::uint32_t ThreadID = 0;
  TLogLevel LogLevel = llInfo;
  bool FromMainThread = false;
  int Repeats = 0;
  std::string LogMsg;
  std::string ReporterInfo;

  // Takes over `src`'s text and hands it this item's old buffers, emptied, so
  // that buffer capacity circulates instead of being reallocated.
  void takeFrom(TLogItem& src) {
    copyFields(src);
    LogMsg.swap(src.LogMsg);
    ReporterInfo.swap(src.ReporterInfo);
    src.clearText();
  }
  void copyFrom(const TLogItem& src) {
    copyFields(src);
    LogMsg.assign(src.LogMsg);
    ReporterInfo.assign(src.ReporterInfo);
  }
  void clearText() {
    LogMsg.clear();
    ReporterInfo.clear();
  }

 private:
  void copyFields(const TLogItem& s) {
    LogTime = s.LogTime;
    LogType = s.LogType;
    Reporter = s.Reporter;
    Sender = s.Sender;
    ThreadID = s.ThreadID;
    LogLevel = s.LogLevel;
    FromMainThread = s.FromMainThread;
    Repeats = s.Repeats;
  }
};

std::uint32_t threadId() {
  thread_local const auto id = static_cast<std::uint32_t>(::gettid());
  return id;
}

// Our own formatting goes through the runtime slot when it is bound.
int vformatInto(char* buf, std::size_t size, const char* fmt, va_list ap) {
  if (auto f = crt::vsnprintf) return f(buf, size, fmt, ap);
  return std::vsnprintf(buf, size, fmt, ap);
}

__attribute__((format(printf, 3, 4))) std::size_t formatInto(char* buf, std::size_t size,
                                                             const char* fmt, ...) {
  if (size == 0) return 0;
  va_list ap;
  va_start(ap, fmt);
  const int n = vformatInto(buf, size, fmt, ap);
  va_end(ap);
  if (n < 0) {
    buf[0] = '\0';
    return 0;
  }
  return std::min(static_cast<std::size_t>(n), size - 1);
}

// Appends printf output to `s`; `vl` itself is never consumed.
void appendFormatted(std::string& s, const char* fmt, va_list vl) {
  if (!fmt) return;
  const std::size_t old = s.size();
  const std::size_t room = std::clamp<std::size_t>(s.capacity() - old, 256, 2048);
  s.resize(old + room);
  va_list ap;
  va_copy(ap, vl);
  const int n = vformatInto(s.data() + old, room, fmt, ap);
  va_end(ap);
  if (n < 0) {
    s.resize(old);
    return;
  }
  const auto len = static_cast<std::size_t>(n);
  if (len >= room) {
    s.resize(old + len + 1);
    va_copy(ap, vl);
    vformatInto(s.data() + old, len + 1, fmt, ap);
    va_end(ap);
  }
  s.resize(old + len);
}

void replaceControlBytes(std::string& s, std::size_t from) {
  for (std::size_t i = from; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 8 || (c >= 14 && c < 32)) s[i] = '?';
  }
}

template <class T>
T readAt(const void* base, std::ptrdiff_t offset) {
  T v;
  std::memcpy(&v, static_cast<const char*>(base) + offset, sizeof v);
  return v;
}

const char* itemName(const AVClass* avc, void* ctx) {
  const char* name = avc->item_name ? avc->item_name(ctx) : avc->class_name;
  return name ? name : "NULL";
}

// "[parent @ %p] [item @ %p] " of a library context, or nothing.
void libraryReporter(std::string& out, void* avcl) {
  out.clear();
  if (!avcl) return;
  const auto* avc = readAt<const AVClass*>(avcl, 0);
  if (!avc) return;
  std::array<char, kMaxReporterInfo + 1> buf{};
  std::size_t len = 0;
  if (avc->parent_log_context_offset != 0) {
    auto* parent = readAt<void*>(avcl, avc->parent_log_context_offset);
    const auto* pc = parent ? readAt<const AVClass*>(parent, 0) : nullptr;
    if (pc) len = formatInto(buf.data(), buf.size(), "[%s @ %p] ", itemName(pc, parent), parent);
  }
  len += formatInto(buf.data() + len, buf.size() - len, "[%s @ %p] ", itemName(avc, avcl), avcl);
  out.assign(buf.data(), len);
}

std::string senderReporter(TObject* sender) {
  if (!sender) return {};
  std::string s;
  if (auto* c = dynamic_cast<TComponent*>(sender))
    s = strprintf("[%s.%s] ", c->ClassName(), c->Name().c_str());
  else if (TComponent* p = sender->ParentComponent())
    s = strprintf("[%s.%s] ", p->ClassName(), p->Name().c_str());
  else
    s = strprintf("[%s] ", sender->ClassName());
  if (s.size() > kMaxReporterInfo) s.resize(kMaxReporterInfo);
  return s;
}

// Appends `text` with each CR LF, lone CR or lone LF written as CR LF.
void appendCrlf(std::string& out, const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      out += "\r\n";
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += c;
    }
  }
}

void buildLine(const TLogItem& item, std::string& line) {
  const std::time_t t = Clock::to_time_t(item.LogTime);
  std::tm tm{};
  localtime_r(&t, &tm);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(item.LogTime.time_since_epoch())
          .count() %
      1000;
  std::array<char, 48> head{};
  const std::size_t n = formatInto(
      head.data(), head.size(), "%02d:%02d:%02d.%03d [%.8x]%s ", tm.tm_hour, tm.tm_min, tm.tm_sec,
      static_cast<int>((ms + 1000) % 1000), item.ThreadID, item.FromMainThread ? "*" : "");
  line.assign(head.data(), n);
  line += item.ReporterInfo;
  if (gFlags & kPrintLevel) {
    line += '[';
    line += logLevelName(item.LogLevel);
    line += "] ";
  }
  appendCrlf(line, item.LogMsg);
  if (item.Repeats > 1) line += strprintf(" (repeated %d times)", item.Repeats);
}

std::string errnoText(int err) {
  std::array<char, 128> buf{};
  return strerror_r(err, buf.data(), buf.size());
}

bool writeAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

void safeNotify(const std::string& text) {
  try {
    notifyUser("Information", text);
  } catch (...) {
  }
}

void libraryLogCallback(void* avcl, int level, const char* fmt, va_list vl);

// Waits at process end for threads that may wait on the main thread: pumps,
// and when that does not release them (a dispatcher nobody pumps any more),
// starts the shutdown so that their pending main-thread calls are given up.
void waitAtExit(const std::function<bool()>& done) {
  using std::chrono::milliseconds;
  if (waitPumping(done, milliseconds(1000), milliseconds(1))) return;
  requestShutdown();
  waitPumping(done, milliseconds::max(), milliseconds(1));
}

}  // namespace

// The process-wide logger state: settings beyond the atomics, the registered
// component, the log file, the callback's line assembly and the delivery queue.
struct LoggerCore {
  static LoggerCore& get() {
    static LoggerCore core;
    return core;
  }

  LoggerCore() { gPhase = kAlive; }
  ~LoggerCore();
  LoggerCore(const LoggerCore&) = delete;
  LoggerCore& operator=(const LoggerCore&) = delete;

  void onLibraryLog(void* avcl, int level, const char* fmt, va_list vl);
  void submit(TLogItem& item);
  void enqueue(TLogItem& item);
  void deliver(TLogItem& item, std::string& line);
  void writeFile(std::string& line);
  void raiseOnLog(const TLogItem& item, const std::string& line);
  void run();
  void refreshSkips(TFFLogger* self);
  void closeFileLocked();
  void waitForHandlers();

  // Held by the setters and ClearLogFile; taken before fileLock.
  std::mutex settingsLock;

  // The registered component, the handlers it runs and their count.
  std::mutex registryLock;
  TFFLogger* registered = nullptr;
  std::atomic<int> inHandler{0};

  std::mutex fileLock;
  std::string fileName;
  bool toFile = false;
  int fd = -1;

  // Line assembly of the library callback, under callbackLock: per-thread
  // text without a line end yet, and the last line passed on.
  std::mutex callbackLock;
  std::array<TLogItem, kRingSize> pending;
  std::size_t pendingCount = 0;
  TLogItem work;
  TLogItem rest;
  TLogItem record;
  bool recordValid = false;

  // The delivery ring: empty when head == tail, so it holds 127 items.
  std::mutex queueLock;
  std::condition_variable queueWake;
  std::array<TLogItem, kRingSize> ring;
  std::size_t head = 0;
  std::size_t tail = 0;
  bool stopping = false;
  std::thread thread;
  std::atomic<bool> threadDone{false};
  TLogItem delivering;  // delivery thread only
  std::string line;     // delivery thread only

 private:
  bool registeredSkips();
  bool takePending(std::uint32_t tid, TLogItem& into);
  void putPending(TLogItem& item);
  void startItem(TLogItem& item, void* avcl, std::uint32_t tid, int level);
  void passOn(TLogItem& item, std::vector<TLogItem>* deferred);
  void emit(TLogItem& item, std::vector<TLogItem>* deferred);
};

namespace {
constexpr std::size_t nextIndex(std::size_t i) { return (i + 1) % kRingSize; }
}  // namespace

LoggerCore::~LoggerCore() {
  gPhase = kGone;
  // Library threads may go on logging: hand them back the library's own callback.
  if (gCallbackInstalled && ff::av_log_set_callback && ff::av_log_default_callback)
    ff::av_log_set_callback(ff::av_log_default_callback);
  waitAtExit([] { return gUsers.load() == 0; });
  {
    std::lock_guard g(queueLock);
    stopping = true;
  }
  queueWake.notify_all();
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();  // exit called from a handler
    } else {
      waitAtExit([this] { return threadDone.load(); });
      thread.join();
    }
  }
  std::lock_guard g(fileLock);
  closeFileLocked();
}

bool LoggerCore::registeredSkips() {
  {
    std::lock_guard g(registryLock);
    if (registered) return registered->FSkip;
  }
  return FFLogger().FSkip;  // the auto-created logger lives until exit
}

bool LoggerCore::takePending(std::uint32_t tid, TLogItem& into) {
  for (std::size_t i = 0; i < pendingCount; ++i) {
    if (pending[i].ThreadID != tid) continue;
    into.takeFrom(pending[i]);
    // Keep the order of the others; the emptied slot moves behind them.
    std::rotate(pending.begin() + static_cast<std::ptrdiff_t>(i),
                pending.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                pending.begin() + static_cast<std::ptrdiff_t>(pendingCount));
    --pendingCount;
    return true;
  }
  return false;
}

void LoggerCore::putPending(TLogItem& item) {
  if (pendingCount == kRingSize) {  // full: the oldest thread's text goes
    pending[0].clearText();
    std::rotate(pending.begin(), pending.begin() + 1, pending.end());
    --pendingCount;
  }
  pending[pendingCount++].takeFrom(item);
}

void LoggerCore::startItem(TLogItem& item, void* avcl, std::uint32_t tid, int level) {
  item.LogTime = Clock::now();
  item.LogType = ltAVLog;
  item.Reporter = avcl;
  item.Sender = nullptr;
  item.ThreadID = tid;
  item.LogLevel = logLevelFromAV(level);
  item.FromMainThread = isMainThread();
  item.Repeats = 0;
  item.LogMsg.clear();
  libraryReporter(item.ReporterInfo, avcl);
}

void LoggerCore::onLibraryLog(void* avcl, int level, const char* fmt, va_list vl) {
  // Synchronous delivery runs after the lock is released: it may wait for the
  // main thread, which may itself be logging.
  std::vector<TLogItem> deferred;
  std::vector<TLogItem>* out = gSynchronous ? &deferred : nullptr;
  {
    std::lock_guard g(callbackLock);
    if (registeredSkips()) return;
    const std::uint32_t tid = threadId();
    if (!takePending(tid, work)) startItem(work, avcl, tid, level);
    const std::size_t from = work.LogMsg.size();
    appendFormatted(work.LogMsg, fmt, vl);
    replaceControlBytes(work.LogMsg, from);
    for (;;) {
      const std::size_t lf = work.LogMsg.find('\n');
      if (lf == std::string::npos) {
        putPending(work);
        break;
      }
      rest.LogMsg.assign(work.LogMsg, lf + 1);
      const bool crlf = lf > 0 && work.LogMsg[lf - 1] == '\r';
      work.LogMsg.resize(crlf ? lf - 1 : lf);
      passOn(work, out);
      if (rest.LogMsg.empty()) break;
      startItem(work, avcl, tid, level);
      work.LogMsg.swap(rest.LogMsg);
    }
  }
  for (TLogItem& item : deferred) {
    std::string text;
    deliver(item, text);
  }
}

void LoggerCore::passOn(TLogItem& item, std::vector<TLogItem>* deferred) {
  const int flags = gFlags;
  if ((flags & kSkipRepeated) && recordValid && item.ThreadID == record.ThreadID &&
      item.Reporter == record.Reporter && item.LogMsg == record.LogMsg) {
    ++record.Repeats;
    record.LogTime = Clock::now();
    item.clearText();
    return;
  }
  if (recordValid && record.Repeats > 0) emit(record, deferred);
  recordValid = false;
  if (flags & kSkipRepeated) {
    record.copyFrom(item);
    recordValid = true;
  }
  emit(item, deferred);
}

void LoggerCore::emit(TLogItem& item, std::vector<TLogItem>* deferred) {
  if (deferred) {
    deferred->emplace_back().takeFrom(item);
  } else {
    enqueue(item);
  }
}

void LoggerCore::submit(TLogItem& item) {
  if (gSynchronous) {
    std::string text;
    deliver(item, text);
  } else {
    enqueue(item);
  }
}

void LoggerCore::enqueue(TLogItem& item) {
  bool wake = false;
  {
    std::lock_guard g(queueLock);
    if (stopping) {
      item.clearText();
      return;
    }
    if (!thread.joinable()) thread = std::thread([this] { run(); });
    wake = head == tail;
    ring[tail].takeFrom(item);
    tail = nextIndex(tail);
    if (tail == head) {  // full: drop the oldest
      ring[head].clearText();
      head = nextIndex(head);
    }
  }
  if (wake) queueWake.notify_one();
}

void LoggerCore::run() {
  try {
    for (;;) {
      {
        std::unique_lock lk(queueLock);
        queueWake.wait(lk, [this] { return stopping || head != tail; });
        if (stopping) break;
        delivering.takeFrom(ring[head]);
        head = nextIndex(head);
      }
      deliver(delivering, line);
    }
  } catch (const std::exception& e) {
    safeNotify(e.what());
  } catch (...) {
    safeNotify("The log delivery thread failed.");
  }
  threadDone = true;
}

void LoggerCore::deliver(TLogItem& item, std::string& text) {
  try {
    buildLine(item, text);
    writeFile(text);
    raiseOnLog(item, text);
  } catch (const std::exception& e) {
    safeNotify(e.what());
  } catch (...) {
    safeNotify("Unknown error while delivering a log line.");
  }
  item.clearText();
}

void LoggerCore::closeFileLocked() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void LoggerCore::writeFile(std::string& text) {
  if (!gFileTarget) return;
  std::string error;
  {
    std::lock_guard g(fileLock);
    if (!toFile || fileName.empty()) return;
    if (fd < 0) {
      fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (fd < 0)
        error = strprintf("Cannot open log file \"%s\": %s", fileName.c_str(),
                          errnoText(errno).c_str());
    }
    if (fd >= 0) {
      text += "\r\n";
      const bool ok = writeAll(fd, text.data(), text.size());
      const int err = errno;
      text.resize(text.size() - 2);
      if (!ok)
        error =
            strprintf("Cannot write log file \"%s\": %s", fileName.c_str(), errnoText(err).c_str());
    }
    if (!error.empty()) {
      closeFileLocked();
      toFile = false;
      gFileTarget = false;
    }
  }
  if (!error.empty()) {
    refreshSkips(nullptr);
    safeNotify(error);
  }
}

void LoggerCore::raiseOnLog(const TLogItem& item, const std::string& text) {
  bool inMainThread = false;
  {
    std::lock_guard g(registryLock);
    if (!registered || !registered->FOnLog) return;
    inMainThread = registered->FTriggerEventInMainThread;
  }
  // The handler is looked up again where it runs: the component may have
  // gone while the call waited for the main thread.
  const auto raise = [&] {
    std::shared_ptr<const TLogEvent> handler;
    TFFLogger* logger = nullptr;
    {
      std::lock_guard g(registryLock);
      logger = registered;
      if (!logger || !logger->FOnLog) return;
      handler = logger->FOnLog;
      ++inHandler;
    }
    struct Scope {
      LoggerCore& core;
      bool outer = tInHandler;
      explicit Scope(LoggerCore& c) : core(c) { tInHandler = true; }
      ~Scope() {
        tInHandler = outer;
        --core.inHandler;
      }
    } scope(*this);
    TObject* sender = item.LogType == ltLogger ? item.Sender : logger;
    (*handler)(sender, item.ThreadID, item.LogLevel, text);
  };
  if (inMainThread)
    callInMainThread(raise);
  else
    raise();
}

void LoggerCore::refreshSkips(TFFLogger* self) {
  std::lock_guard g(registryLock);
  if (self) self->updateSkip();
  if (registered && registered != self) registered->updateSkip();
}

void LoggerCore::waitForHandlers() {
  if (tInHandler) return;  // destroyed from a handler
  waitPumping([this] { return inHandler.load() == 0; }, std::chrono::milliseconds::max(),
              std::chrono::milliseconds(1));
}

namespace {

void libraryLogCallback(void* avcl, int level, const char* fmt, va_list vl) {
  try {
    if (level > gLevel.load(std::memory_order_relaxed)) return;
    UseScope use;
    if (!use) return;
    LoggerCore::get().onLibraryLog(avcl, level, fmt, vl);
  } catch (const std::exception&) {
    // Nothing may unwind into the library.
  } catch (...) {
  }
}

}  // namespace

TLogLevel logLevelFromAV(int level) {
  const int q = level / 8;
  if (q < -1) return llQuiet;
  if (q >= 7) return llTrace;
  return static_cast<TLogLevel>(q + 1);
}

const char* logLevelName(TLogLevel v) {
  return static_cast<std::size_t>(v) < kLevelNames.size() ? kLevelNames[v] : "";
}

TFFLogger::TFFLogger(TComponent* AOwner) : TFFBaseComponent(AOwner) {
  LoggerCore& core = LoggerCore::get();
  std::lock_guard g(core.registryLock);
  // An auto-created logger steps aside; it stays alive for references to it.
  if (core.registered && core.registered->FAutoCreated) core.registered = nullptr;
  CORVANE_ASSERT(core.registered == nullptr, "Allow creating only one instance of TFFLogger.");
  FTriggerEventInMainThread = true;
  core.registered = this;
  updateSkip();
}

TFFLogger::TFFLogger(AutoCreate) : TFFBaseComponent(nullptr), FAutoCreated(true) {
  LoggerCore::get();  // created first, so destroyed after this logger
}

TFFLogger::~TFFLogger() {
  LoggerCore& core = LoggerCore::get();
  {
    std::lock_guard g(core.registryLock);
    FOnLog.reset();
    if (core.registered == this) core.registered = nullptr;
  }
  core.waitForHandlers();
  std::lock_guard g(core.fileLock);
  core.closeFileLocked();
}

void TFFLogger::updateSkip() { FSkip = !(gActive && (FOnLog || gFileTarget)); }

void TFFLogger::InstallAVLogCallback() {
  CORVANE_ASSERT(ff::av_log_set_callback && ff::av_log_set_level,
                 "av_log_set_callback and av_log_set_level must be bound.");
  LoggerCore& core = LoggerCore::get();
  std::lock_guard g(core.settingsLock);
  ff::av_log_set_callback(&libraryLogCallback);
  gCallbackInstalled = true;
  if (ff::av_log_set_flags) ff::av_log_set_flags(gFlags);
  ff::av_log_set_level(gLevel);
}

bool TFFLogger::Enabled(TLogLevel ALogLevel) const {
  return !FSkip && gLevel >= logLevelToAV(ALogLevel);
}

int TFFLogger::Log(TObject* Sender, TLogLevel ALogLevel, const std::string& ALogMsg) {
  try {
    UseScope use;
    if (!use || FSkip || gLevel < logLevelToAV(ALogLevel)) return 0;
    TLogItem item;
    item.LogTime = Clock::now();
    item.LogType = ltLogger;
    item.Reporter = Sender;
    item.Sender = Sender;
    item.ThreadID = threadId();
    item.LogLevel = ALogLevel;
    item.FromMainThread = isMainThread();
    item.LogMsg = ALogMsg;
    item.ReporterInfo = senderReporter(Sender);
    LoggerCore::get().submit(item);
  } catch (const std::exception& e) {
    safeNotify(e.what());
  } catch (...) {
  }
  return 0;
}

void TFFLogger::OptLogLevel(const std::string& arg) {
  static constexpr std::pair<const char*, int> kNames[] = {
      {"quiet", -8}, {"panic", 0},    {"fatal", 8},  {"error", 16}, {"warning", 24},
      {"info", 32},  {"verbose", 40}, {"debug", 48}, {"trace", 56}};
  for (const auto& [name, level] : kNames) {
    if (::strcasecmp(arg.c_str(), name) == 0) {
      SetLogLevel(logLevelFromAV(level));
      return;
    }
  }
  int level = 0;
  const char* end = arg.data() + arg.size();
  const auto [p, ec] = std::from_chars(arg.data(), end, level);
  if (arg.empty() || ec != std::errc() || p != end)
    throw std::invalid_argument(strprintf("'%s' is not a valid integer value", arg.c_str()));
  SetLogLevel(logLevelFromAV(level));
}

void TFFLogger::ClearLogFile() {
  LoggerCore& core = LoggerCore::get();
  std::lock_guard s(core.settingsLock);
  std::lock_guard g(core.fileLock);
  if (core.fd >= 0) {
    [[maybe_unused]] const int rc = ::ftruncate(core.fd, 0);  // fails only for non-files
    return;
  }
  struct stat st {};
  if (!core.fileName.empty() && ::stat(core.fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    ::unlink(core.fileName.c_str());
}

bool TFFLogger::Active() const { return gActive; }

void TFFLogger::SetActive(bool AValue) {
  LoggerCore& core = LoggerCore::get();
  std::lock_guard s(core.settingsLock);
  gActive = AValue;
  core.refreshSkips(this);
}

TLogLevel TFFLogger::LogLevel() const { return logLevelFromAV(gLevel); }

void TFFLogger::SetLogLevel(TLogLevel AValue) {
  std::lock_guard s(LoggerCore::get().settingsLock);
  const int level = logLevelToAV(AValue);
  if (gLevel == level) return;
  gLevel = level;
  if (ff::av_log_set_level) ff::av_log_set_level(level);
}

int TFFLogger::LogFlags() const { return gFlags; }

void TFFLogger::SetLogFlags(int AValue) {
  std::lock_guard s(LoggerCore::get().settingsLock);
  if (gFlags == AValue) return;
  gFlags = AValue;
  if (ff::av_log_set_flags) ff::av_log_set_flags(AValue);
}

std::string TFFLogger::LogFile() const {
  LoggerCore& core = LoggerCore::get();
  std::lock_guard g(core.fileLock);
  return core.fileName;
}

void TFFLogger::SetLogFile(const std::string& AValue) {
  LoggerCore& core = LoggerCore::get();
  std::lock_guard s(core.settingsLock);
  {
    std::lock_guard g(core.fileLock);
    if (core.fileName == AValue) return;
    core.fileName = AValue;
    core.closeFileLocked();
    gFileTarget = core.toFile && !core.fileName.empty();
  }
  core.refreshSkips(this);
}

bool TFFLogger::LogToFile() const {
  LoggerCore& core = LoggerCore::get();
  std::lock_guard g(core.fileLock);
  return core.toFile;
}

void TFFLogger::SetLogToFile(bool AValue) {
  LoggerCore& core = LoggerCore::get();
  std::lock_guard s(core.settingsLock);
  {
    std::lock_guard g(core.fileLock);
    if (core.toFile == AValue) return;
    core.toFile = AValue;
    core.closeFileLocked();
    gFileTarget = core.toFile && !core.fileName.empty();
  }
  core.refreshSkips(this);
}

bool TFFLogger::Synchronous() const { return gSynchronous; }

void TFFLogger::SetSynchronous(bool AValue) { gSynchronous = AValue; }

TLogEvent TFFLogger::OnLog() const {
  LoggerCore& core = LoggerCore::get();
  std::lock_guard g(core.registryLock);
  return FOnLog ? *FOnLog : TLogEvent();
}

void TFFLogger::SetOnLog(TLogEvent AValue) {
  LoggerCore& core = LoggerCore::get();
  auto handler = AValue ? std::make_shared<const TLogEvent>(std::move(AValue)) : nullptr;
  std::lock_guard s(core.settingsLock);
  std::lock_guard g(core.registryLock);
  FOnLog = std::move(handler);
  updateSkip();
}

TFFLogger& FFLogger() {
  LoggerCore& core = LoggerCore::get();
  {
    std::lock_guard g(core.registryLock);
    if (core.registered) return *core.registered;
  }
  static TFFLogger autoLogger{TFFLogger::AutoCreate{}};
  std::lock_guard g(core.registryLock);
  if (!core.registered) {
    core.registered = &autoLogger;
    autoLogger.updateSkip();
  }
  return *core.registered;
}

namespace logger_internal {

AVLogCallback avLogCallback() { return &libraryLogCallback; }

std::uint32_t currentThreadId() { return threadId(); }

}  // namespace logger_internal
}  // namespace corvane
