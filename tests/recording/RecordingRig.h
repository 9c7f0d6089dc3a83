// Shared by the recording tests: fake player and encoder ports, a queue of
// posted main-thread calls the test runs, and pictures to hook.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "recording/RecordPacking.h"
#include "recording/RecordingBridge.h"

namespace corvane::recrig {

struct FakePlayer : TRecordPlayerPort {
  bool video = true, audio = true;
  double speed = 1.0;
  std::string file = "/nonexistent-dir/clip.mkv";
  std::atomic<bool> hooks{false};
  bool HasVideo() const override { return video; }
  bool HasAudio() const override { return audio; }
  std::string FileName() const override { return file; }
  double PlaybackSpeed() const override { return speed; }
  void SetHooks(bool AOn) override { hooks = AOn; }
};

// Records the calls; a call named in failAt fails with "disk on fire".
struct FakeEncoder : TRecordEncoderPort {
  std::vector<std::string> calls;
  std::string failAt;
  std::string stopError;              // the task's report when stopped
  std::function<void()> duringStart;  // a call that arrives while Start pumps
  std::atomic<bool> running{false};
  int tasks = 0;
  TEndedEvent ended;

  void ClearTasks() override {
    calls.push_back("ClearTasks");
    tasks = 0;
  }
  int AddTask(const std::string& AUrl, const std::string& AOptions) override {
    calls.push_back("AddTask " + AUrl + " " + AOptions);
    return failAt == "AddTask" ? -1 : tasks++;
  }
  int AddInput(int ATask, const std::string& AUrl, const std::string& AOptions) override {
    calls.push_back("AddInput " + std::to_string(ATask) + " " + AUrl + " " + AOptions);
    return failAt == "AddInput" ? -1 : 1;
  }
  bool SetOutput(int ATask, const std::string& AFileName, const std::string& AOptions) override {
    calls.push_back("SetOutput " + std::to_string(ATask) + " " + AFileName + " " + AOptions);
    return failAt != "SetOutput";
  }
  void RemoveTask(int ATask) override { calls.push_back("RemoveTask " + std::to_string(ATask)); }
  bool Start() override {
    calls.push_back("Start");
    if (duringStart) duringStart();
    running = failAt != "Start";
    return running;
  }
  void Stop() override {
    calls.push_back("Stop");
    endWith(stopError);
  }
  std::string LastErrMsg() const override { return "disk on fire"; }
  void SetOnTaskEnded(TEndedEvent AHandler) override { ended = std::move(AHandler); }
  // The task ends (by itself when called from a test).
  void endWith(const std::string& AError) {
    if (!running.exchange(false)) return;
    if (ended) ended(AError);
  }
  bool called(const std::string& prefix) const {
    for (const auto& c : calls)
      if (c.rfind(prefix, 0) == 0) return true;
    return false;
  }
};

// Main-thread calls posted from any thread, run by the test.
struct PostQueue {
  std::mutex lock;
  std::deque<std::function<void()>> calls;
  TRecordingBridge::TPostCall poster() {
    return [this](std::function<void()> f) {
      std::lock_guard g(lock);
      calls.push_back(std::move(f));
    };
  }
  void run() {
    for (;;) {
      std::function<void()> f;
      {
        std::lock_guard g(lock);
        if (calls.empty()) return;
        f = std::move(calls.front());
        calls.pop_front();
      }
      f();
    }
  }
};

// A yuv420p picture with padded rows; byte values follow the position.
struct TestPicture {
  int width, height;
  std::vector<std::uint8_t> planes[3];
  PicturePlanes p;
  TestPicture(int w, int h, int pad = 0, std::uint8_t seed = 0) : width(w), height(h) {
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const int lines[3] = {w + pad, cw + pad, cw + pad}, rows[3] = {h, ch, ch};
    for (int i = 0; i < 3; ++i) {
      planes[i].resize(static_cast<std::size_t>(lines[i]) * rows[i]);
      for (std::size_t k = 0; k < planes[i].size(); ++k)
        planes[i][k] = static_cast<std::uint8_t>(k * 7 + i * 31 + seed);
      p.data[i] = planes[i].data();
      p.linesize[i] = lines[i];
    }
  }
};

// A bridge over the fakes whose posted calls wait in `posts`.
struct BridgeRig {
  FakePlayer player;
  FakeEncoder encoder;
  PostQueue posts;
  std::vector<std::string> messages;
  std::function<void()> inBox;  // a call made while the message shows
  TRecordingBridge bridge{player, encoder,
                          [this](const std::string& text) {
                            messages.push_back(text);
                            if (inBox) inBox();
                          },
                          posts.poster()};
  BridgeRig() { bridge.SetStopWait(std::chrono::milliseconds(0)); }
  ~BridgeRig() { bridge.StopRecording(); }

  void hookPicture(int w, int h, std::int64_t pts, std::uint8_t seed = 0,
                   AVPixelFormat format = AV_PIX_FMT_YUV420P) {
    TestPicture pic(w, h, 0, seed);
    bridge.FrameHook(pic.p, format, w, h, pts);
  }
  void hookAudio(std::int64_t endPts, int frames, int rate = 48000, int channels = 2,
                 std::int16_t value = 1000) {
    std::vector<std::int16_t> s(static_cast<std::size_t>(frames) * channels, value);
    bridge.AudioHook(endPts, reinterpret_cast<const std::uint8_t*>(s.data()),
                     static_cast<int>(s.size() * 2), rate, channels);
  }
  // All the sound the ring holds, read as the task reads it (silences included).
  std::vector<std::int16_t> sound(int channels = 2) {
    TInputWaveInfo wave;
    wave.FrameSize = 1 << 16;
    wave.Channels = channels;
    wave.SampleFormat = 16;
    std::vector<std::int16_t> all, block(wave.FrameSize / 2);
    for (int n;
         (n = bridge.ReadWaveData(reinterpret_cast<std::uint8_t*>(block.data()), &wave)) > 0;)
      all.insert(all.end(), block.begin(), block.begin() + n / 2);
    return all;
  }
  // The pictures the ring holds, read as the task reads them: their timestamps.
  std::vector<std::int64_t> pictures(int w, int h) {
    TInputFrameInfo info;
    info.BytesPerFrame = static_cast<std::int32_t>(RecordPlaneBytes(w, h));
    std::vector<std::uint8_t> data(static_cast<std::size_t>(info.BytesPerFrame));
    std::vector<std::int64_t> stamps;
    while (bridge.ReadFrameYUV(data.data(), &info) == info.BytesPerFrame)
      stamps.push_back(info.TimeStamp);
    return stamps;
  }
  // Armed, a 640x360 + 48 kHz stereo file opened, its first hook calls made, and started.
  void startRecording() {
    bridge.StartRecording();
    bridge.OnFileOpen();
    hookPicture(640, 360, 1000000);
    hookAudio(1021333, 1024);  // starts with the picture
    posts.run();
  }
};

}  // namespace corvane::recrig
