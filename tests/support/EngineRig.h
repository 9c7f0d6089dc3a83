// A player host for the engine tests: it records what the engine reports and
// consumes the picture queue on its own thread, as the refresh loop would.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/FFLoader.h"
#include "foundation/Logger.h"
#include "player/SDLLoader.h"
#include "player/VideoState.h"
#include "support/LogCapture.h"

namespace corvane::testengine {

using namespace std::chrono_literals;

// Polls `done` every 2 ms until it holds or `timeout` passes.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

class EngineHost : public TPlayerHost {
 public:
  TObject* LogSender() override { return &sender_; }
  TFFOptions& PlayerOptions() override {
#if defined(__SANITIZE_THREAD__)
    // The decoders' own worker threads hand frames over through atomics in
    // the uninstrumented libraries, which ThreadSanitizer cannot see.
    std::call_once(single_, [this] { options_.codec_opts().set("threads", "1"); });
#endif
    return options_;
  }
  void ReportError(const std::string& msg, TLogLevel level, bool storeLast) override {
    std::lock_guard g(lock_);
    reports_.emplace_back(level, msg);
    if (storeLast) lastErr_ = msg;
  }
  void FileOpened(TVideoState* is) override {
    if (onFileOpened) onFileOpened(is);
    ++opened;
  }
  void OpenFailed(TVideoState*, bool waited) override {
    failedWaited = waited;
    ++failed;
  }
  void PostQuit(TVideoState*) override { ++quits; }
  void PlaybackEnded(TVideoState*) override { ++ended; }

  std::string lastErr() const {
    std::lock_guard g(lock_);
    return lastErr_;
  }
  bool reported(const std::string& msg) const { return count(msg) > 0; }
  int count(const std::string& msg) const {
    std::lock_guard g(lock_);
    int n = 0;
    for (const auto& r : reports_) n += r.second == msg;
    return n;
  }
  // Reports at error level or worse, one per line, for failure messages.
  std::string errors() const {
    std::lock_guard g(lock_);
    std::string out;
    for (const auto& r : reports_)
      if (r.first <= llError) out += r.second + "\n";
    return out;
  }

  std::atomic<int> opened{0}, failed{0}, quits{0}, ended{0};
  std::atomic<bool> failedWaited{false};
  // Runs inside FileOpened, on the thread that opened the input.
  std::function<void(TVideoState*)> onFileOpened;

 private:
  TObject sender_;
  TFFOptions options_;
  std::once_flag single_;
  mutable std::mutex lock_;
  std::vector<std::pair<TLogLevel, std::string>> reports_;
  std::string lastErr_;
};

// What a consumed picture showed.
struct Picture {
  int serial;
  int queueSerial;  // videoq.serial when it was taken
  double pts;
  int width, height, format;
  int luma;  // at the centre
};

// Takes every picture off `pictq` (Peek, then Next), `pace` apart.
class PictureConsumer {
 public:
  explicit PictureConsumer(TVideoState& is, std::chrono::milliseconds pace = 0ms)
      : is_(is), pace_(pace), thread_([this] { run(); }) {}
  ~PictureConsumer() { stop(); }
  PictureConsumer(const PictureConsumer&) = delete;
  PictureConsumer& operator=(const PictureConsumer&) = delete;

  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<Picture> pictures() const {
    std::lock_guard g(lock_);
    return pictures_;
  }
  std::size_t count() const {
    std::lock_guard g(lock_);
    return pictures_.size();
  }
  // Pictures of `serial` so far.
  std::vector<Picture> ofSerial(int serial) const {
    std::vector<Picture> out;
    for (const Picture& p : pictures())
      if (p.serial == serial) out.push_back(p);
    return out;
  }

 private:
  void run() {
    while (!stop_) {
      if (is_.pictq.Remaining() == 0) {
        std::this_thread::sleep_for(1ms);
        continue;
      }
      TFFFrame* vp = is_.pictq.Peek();
      Picture p{};
      {
        std::lock_guard g(vp->lock);
        const AVFrame* f = vp->frame.get();
        p = {vp->serial, is_.videoq.serial, vp->pts, vp->width, vp->height, vp->format, -1};
        if (f->data[0] && f->width > 0 && f->height > 0)
          p.luma = f->data[0][f->linesize[0] * (f->height / 2) + f->width / 2];
      }
      is_.pictq.Next();
      {
        std::lock_guard g(lock_);
        pictures_.push_back(p);
      }
      if (pace_ > 0ms) std::this_thread::sleep_for(pace_);
    }
  }

  TVideoState& is_;
  std::chrono::milliseconds pace_;
  std::atomic<bool> stop_{false};
  mutable std::mutex lock_;
  std::vector<Picture> pictures_;
  std::thread thread_;
};

// Loads the player's libraries and SoundTouch, sends the logger's lines to
// `log`, and lets SDL's disk driver write what the device plays to `diskFile`.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    diskFile = std::filesystem::temp_directory_path() /
               ("corvane-engine-audio-" + std::to_string(::getpid()));
    ::setenv("SDL_DISKAUDIOFILE", diskFile.c_str(), 1);
    ::unsetenv("SDL_AUDIO_CHANNELS");
    ASSERT_TRUE(FFLoader().Load(kPlayerLibraries)) << FFLoader().LastErrMsg();
    ASSERT_TRUE(FFLoader().Load(libSoundTouch)) << FFLoader().LastErrMsg();
    FFLogger().SetSynchronous(true);
    FFLogger().SetLogLevel(llInfo);
    FFLogger().SetOnLog(log.handler());
  }
  void TearDown() override {
    FFLogger().SetOnLog(nullptr);
    SDLLoader().QuitAll();
    FFLoader().UnloadAll();
    std::error_code ec;
    std::filesystem::remove(diskFile, ec);
  }

  // The disk driver waits `ms` between device buffers (real time: one buffer).
  void startDiskAudio(int ms) {
    ::setenv("SDL_DISKAUDIODELAY", std::to_string(ms).c_str(), 1);
    ASSERT_TRUE(SDLLoader().Init(this, "disk", "", false)) << SDLLoader().LastErrMsg();
  }
  std::vector<std::int16_t> diskSamples() const {
    std::ifstream in(diskFile, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
  }
  // A logged line ends with `text` (after the sender and level fields).
  bool logged(const std::string& text) const {
    for (const std::string& b : log.bodies())
      if (b.size() >= text.size() && b.compare(b.size() - text.size(), text.size(), text) == 0)
        return true;
    return false;
  }

  int loggedCount(const std::string& part) const {
    int n = 0;
    for (const std::string& b : log.bodies()) n += b.find(part) != std::string::npos;
    return n;
  }

  // Settings for a quick headless open: no screen, audio off unless asked.
  static TPlayerSettings quiet(bool audio = false) {
    TPlayerSettings s;
    s.audio_disable = !audio;
#if defined(__SANITIZE_THREAD__)
    s.FilterThreads = 1;
#endif
    return s;
  }

  EngineHost host;
  testlog::LogCapture log;
  std::filesystem::path diskFile;
};

}  // namespace corvane::testengine
