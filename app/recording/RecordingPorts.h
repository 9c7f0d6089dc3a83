// What the recording bridge needs from the player, the encoder and the user
// interface; the real implementations are in PlayerEncoderPorts.h, tests use
// fakes.
#pragma once

#include <functional>
#include <string>

namespace corvane {

// The playing file, as the bridge sees it. Main thread.
class TRecordPlayerPort {
 public:
  virtual ~TRecordPlayerPort() = default;
  // The file being played has a video or audio stream that plays.
  virtual bool HasVideo() const = 0;
  virtual bool HasAudio() const = 0;
  // The file being played; empty when none.
  virtual std::string FileName() const = 0;
  // The playback speed (1 normal).
  virtual double PlaybackSpeed() const { return 1.0; }
  // Switches the frame and audio hooks on or off together.
  virtual void SetHooks(bool AOn) = 0;
};

// The encoder that runs the recording task. Main thread, except where said.
class TRecordEncoderPort {
 public:
  // Any thread: a started task ended; AError is empty when it finished
  // without one (for instance after Stop).
  using TEndedEvent = std::function<void(const std::string& AError)>;

  virtual ~TRecordEncoderPort() = default;
  virtual void ClearTasks() = 0;
  // An input from an adapter's registry url and its option text. Results:
  // the task index, or negative with LastErrMsg set.
  virtual int AddTask(const std::string& AUrl, const std::string& AOptions) = 0;
  // AddInput: the input's index in the task, or negative.
  virtual int AddInput(int ATask, const std::string& AUrl, const std::string& AOptions) = 0;
  virtual bool SetOutput(int ATask, const std::string& AFileName, const std::string& AOptions) = 0;
  virtual void RemoveTask(int ATask) = 0;
  // Runs the tasks on one thread of their own; returns at once.
  virtual bool Start() = 0;
  // Stops the running task and waits for it (pumping main-thread calls).
  virtual void Stop() = 0;
  virtual std::string LastErrMsg() const = 0;
  virtual void SetOnTaskEnded(TEndedEvent AHandler) = 0;
};

// Shows a message to the user (a message box, stderr in the tools).
using TRecordNotifier = std::function<void(const std::string& AText)>;

}  // namespace corvane
