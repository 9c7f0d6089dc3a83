// The process-wide logger: library and component messages to OnLog and a file.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "foundation/BaseComponent.h"
#include "foundation/StrFormat.h"

namespace corvane {

enum TLogLevel : std::uint8_t {
  llQuiet,
  llPanic,
  llFatal,
  llError,
  llWarning,
  llInfo,
  llVerbose,
  llDebug,
  llTrace,
};

// The libraries' numeric level of V is (V - 1) * 8.
constexpr int logLevelToAV(TLogLevel v) { return (static_cast<int>(v) - 1) * 8; }
TLogLevel logLevelFromAV(int level);
const char* logLevelName(TLogLevel v);

// Sender, thread id, level, the formatted line.
using TLogEvent = std::function<void(TObject* Sender, std::uint32_t AThreadID, TLogLevel ALogLevel,
                                     const std::string& ALogMsg)>;

class TFFLogger : public TFFBaseComponent {
 public:
  explicit TFFLogger(TComponent* AOwner = nullptr);
  ~TFFLogger() override;
  const char* ClassName() const override { return "TFFLogger"; }

  // Installs the library log callback and hands it the current flags and level.
  void InstallAVLogCallback();

  int Log(TObject* Sender, TLogLevel ALogLevel, const std::string& ALogMsg);
  // Formats only when the message would be delivered.
  template <class A, class... R>
  int Log(TObject* Sender, TLogLevel ALogLevel, const char* AFormat, A&& a, R&&... rest) {
    if (!Enabled(ALogLevel)) return 0;
    return Log(Sender, ALogLevel, strprintf(AFormat, a, rest...));
  }
  // Whether a message of the level would reach a handler or the log file.
  bool Enabled(TLogLevel ALogLevel) const;

  // Sets the level from "quiet" .. "trace" (any case) or a decimal number.
  void OptLogLevel(const std::string& arg);
  void ClearLogFile();

  bool Active() const;
  void SetActive(bool AValue);
  TLogLevel LogLevel() const;
  void SetLogLevel(TLogLevel AValue);
  int LogFlags() const;
  void SetLogFlags(int AValue);
  std::string LogFile() const;
  void SetLogFile(const std::string& AValue);
  bool LogToFile() const;
  void SetLogToFile(bool AValue);
  bool Synchronous() const;
  void SetSynchronous(bool AValue);
  bool TriggerEventInMainThread() const { return FTriggerEventInMainThread; }
  void SetTriggerEventInMainThread(bool AValue) { FTriggerEventInMainThread = AValue; }
  TLogEvent OnLog() const;
  void SetOnLog(TLogEvent AValue);

 private:
  friend TFFLogger& FFLogger();
  friend struct LoggerCore;
  struct AutoCreate {};
  explicit TFFLogger(AutoCreate);
  // Recomputes FSkip; the caller holds the registry lock.
  void updateSkip();

  bool FAutoCreated = false;
  // Nothing would receive a message: no handler and no log file, or inactive.
  std::atomic<bool> FSkip{true};
  std::atomic<bool> FTriggerEventInMainThread{true};
  // Guarded by the registry lock; shared so that a delivery keeps its copy cheaply.
  std::shared_ptr<const TLogEvent> FOnLog;
};

// The registered logger, created on first use when the application has none.
TFFLogger& FFLogger();

}  // namespace corvane
