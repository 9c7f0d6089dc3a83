// Helpers for the logger tests: calling the library log callback and
// collecting what OnLog delivers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Logger.h"
#include "foundation/LoggerInternal.h"

namespace corvane::testlog {

// Calls the logger's library callback as the libraries do.
inline __attribute__((format(printf, 3, 4))) void avlog(void* ctx, int level, const char* fmt,
                                                        ...) {
  va_list ap;
  va_start(ap, fmt);
  logger_internal::avLogCallback()(ctx, level, fmt, ap);
  va_end(ap);
}

// The part of a line after "hh:nn:ss.zzz [xxxxxxxx]* " or "hh:nn:ss.zzz [xxxxxxxx] ".
inline std::string body(const std::string& line) {
  std::size_t pos = 23;
  if (line.size() <= pos) return line;
  if (line[pos] == '*') ++pos;
  return line.substr(pos + 1);
}

struct Entry {
  TObject* sender;
  std::uint32_t threadId;
  TLogLevel level;
  std::string line;
  std::thread::id ranOn;
};

class LogCapture {
 public:
  TLogEvent handler() {
    return [this](TObject* s, std::uint32_t tid, TLogLevel level, const std::string& line) {
      {
        std::lock_guard g(FLock);
        FEntries.push_back({s, tid, level, line, std::this_thread::get_id()});
      }
      FChanged.notify_all();
    };
  }

  bool waitFor(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock g(FLock);
    return FChanged.wait_for(g, timeout, [&] { return FEntries.size() >= n; });
  }

  std::vector<Entry> entries() const {
    std::lock_guard g(FLock);
    return FEntries;
  }

  std::vector<std::string> bodies() const {
    std::lock_guard g(FLock);
    std::vector<std::string> out;
    for (const Entry& e : FEntries) out.push_back(body(e.line));
    return out;
  }

  void clear() {
    std::lock_guard g(FLock);
    FEntries.clear();
  }

 private:
  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<Entry> FEntries;
};

}  // namespace corvane::testlog
