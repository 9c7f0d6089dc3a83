// Native X11 windows: ids checked before the media layer wraps them, and
// protocol errors that only get logged. The Xcb* tests need an X server
// (they skip without $DISPLAY; ctest runs them under Xvfb as core.xcb).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Logger.h"
#include "foundation/MainThread.h"
#include "player/CustomPlayer.h"
#include "player/NativeWindow.h"
#include "support/EnvVar.h"
#include "testmedia/TestMedia.h"

// Xlib last: its macros clash with ordinary names.
#include <X11/Xlib.h>

using namespace corvane;
namespace media = corvane::testmedia;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

std::string hex(std::uintptr_t id) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(id));
  return buf;
}

TEST(NativeWindow, IdsOutsideTheXidRangeFailWithoutAServer) {
  EnvVar none("DISPLAY", nullptr);
  for (std::uintptr_t id :
       {std::uintptr_t{0}, std::uintptr_t{0x7ffffff0}, std::uintptr_t{1} << 40}) {
    std::string error;
    EXPECT_FALSE(ValidateNativeWindow(id, error)) << hex(id);
    EXPECT_EQ(error, "Invalid window handle " + hex(id) + ": not an X window id");
  }
  // Nothing to check against: the media layer reports its own failure.
  std::string error;
  EXPECT_TRUE(ValidateNativeWindow(0x00400001, error));
  EXPECT_EQ(error, "");
}

// Lines the process logger delivers, on the logging thread.
class LogLines {
 public:
  LogLines() {
    FLogger.SetSynchronous(true);
    FLogger.SetTriggerEventInMainThread(false);
    FLogger.SetOnLog([this](TObject*, std::uint32_t, TLogLevel level, const std::string& line) {
      std::lock_guard g(FLock);
      FLines.push_back({level, line});
    });
  }
  std::vector<std::string> Matching(const std::string& part, TLogLevel level) const {
    std::lock_guard g(FLock);
    std::vector<std::string> out;
    for (const auto& [l, line] : FLines)
      if (l == level && line.find(part) != std::string::npos) out.push_back(line);
    return out;
  }

 private:
  TFFLogger FLogger;
  mutable std::mutex FLock;
  std::vector<std::pair<TLogLevel, std::string>> FLines;
};

class XcbNativeWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    FDisplay = XOpenDisplay(nullptr);
    if (!FDisplay) GTEST_SKIP() << "needs an X server ($DISPLAY)";
  }
  void TearDown() override {
    if (FDisplay) XCloseDisplay(FDisplay);
  }

  Window makeWindow(bool inputOnly = false, int w = 320, int h = 240) {
    const Window root = DefaultRootWindow(FDisplay);
    Window win = 0;
    if (inputOnly) {
      XSetWindowAttributes a{};
      win = XCreateWindow(FDisplay, root, 0, 0, w, h, 0, 0, InputOnly, CopyFromParent, 0, &a);
    } else {
      win = XCreateSimpleWindow(FDisplay, root, 0, 0, w, h, 0, 0, 0);
    }
    XSync(FDisplay, False);
    return win;
  }
  Window destroyedWindow() {
    const Window win = makeWindow();
    XDestroyWindow(FDisplay, win);
    XSync(FDisplay, False);
    return win;
  }

  Display* FDisplay = nullptr;
};

TEST_F(XcbNativeWindow, ChecksTheIdOnTheServer) {
  std::string error;
  const Window live = makeWindow();
  EXPECT_TRUE(ValidateNativeWindow(live, error)) << error;
  EXPECT_EQ(error, "");

  const Window gone = destroyedWindow();
  EXPECT_FALSE(ValidateNativeWindow(gone, error));
  EXPECT_THAT(error, StartsWith("Invalid window handle " + hex(gone) + ": BadWindow"));

  const Window inputOnly = makeWindow(true);
  EXPECT_FALSE(ValidateNativeWindow(inputOnly, error));
  EXPECT_EQ(error, "Invalid window handle " + hex(inputOnly) + ": an input-only window");

  // The same check again, and the live window is still fine.
  EXPECT_FALSE(ValidateNativeWindow(gone, error));
  EXPECT_TRUE(ValidateNativeWindow(live, error)) << error;
  XDestroyWindow(FDisplay, live);
  XDestroyWindow(FDisplay, inputOnly);
  XSync(FDisplay, False);
}

// Once installed, an error on any connection of the process is logged and
// the call that caused it returns; identical repeats are logged at 1, 10,
// 100, ... occurrences.
TEST_F(XcbNativeWindow, ProtocolErrorsAreLoggedNotFatal) {
  LogLines log;
  ASSERT_TRUE(InstallXErrorHandler());
  const Window gone = destroyedWindow();
  for (int i = 0; i < 12; ++i) {
    XWindowAttributes a{};
    EXPECT_EQ(XGetWindowAttributes(FDisplay, gone, &a), 0);
  }
  const std::vector<std::string> lines = log.Matching(hex(gone), llError);
  ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
  EXPECT_THAT(lines[0], HasSubstr("X error: BadWindow"));
  EXPECT_THAT(lines[1], HasSubstr("(10 times)"));
}

// The player on a native window, with the dummy audio driver and the x11
// video driver. SDL's software renderer, and no GL behind the window
// surface: the GL driver is unloaded before the leak check, which then
// cannot tell its allocations apart.
class XcbNativePlayer : public XcbNativeWindow {
 protected:
  EnvVar FRenderDriver{"SDL_RENDER_DRIVER", "software"};
  EnvVar FNoGL{"SDL_FRAMEBUFFER_ACCELERATION", "0"};

  void SetUp() override {
    XcbNativeWindow::SetUp();
    if (IsSkipped()) return;
    setDispatcher(FDispatcher);
    FPlayer.emplace();
    ASSERT_TRUE(FPlayer->LoadAVLib("")) << FPlayer->LastErrMsg();
    FPlayer->SetAudioDriver("dummy");
    FPlayer->SetTriggerEventInMainThread(false);
    FPlayer->OnState = [this](TObject*, TPlayState s) {
      if (s == psStop) ++FStops;
    };
  }
  void TearDown() override {
    if (FPlayer) {
      FPlayer->Stop(true);
      FPlayer.reset();
    }
    setDispatcher(nullptr);
    XcbNativeWindow::TearDown();
  }

  std::shared_ptr<QueueDispatcher> FDispatcher = std::make_shared<QueueDispatcher>();
  std::optional<TRORizozu> FPlayer;
  std::atomic<int> FStops{0};
};

TEST_F(XcbNativePlayer, BadHandleEndsThePlaybackWithTheReason) {
  const std::string clip = media::ensure(media::Kind::Solid1080p);
  const Window gone = destroyedWindow();
  const std::pair<std::uintptr_t, std::string> cases[] = {
      {0x7ffffff0, "Invalid window handle 0x7ffffff0: not an X window id"},
      {gone, "Invalid window handle " + hex(gone) + ": BadWindow"},
  };
  for (const auto& [handle, reason] : cases) {
    const int stops = FStops;
    FPlayer->Open(clip, handle, true);
    ASSERT_TRUE(waitPumping([&] { return FStops > stops; }, std::chrono::seconds(10)))
        << hex(handle) << ": still playing";
    EXPECT_THAT(FPlayer->LastErrMsg(), StartsWith(reason));
    EXPECT_EQ(FPlayer->DisplayRect().w, 0) << "a picture was drawn";
  }
}

// The documented order is to stop the player first; a window that goes
// away under a playing player costs logged X errors and ends the playback,
// not the process.
TEST_F(XcbNativePlayer, WindowDestroyedWhilePlaying) {
  LogLines log;
  const Window win = makeWindow(false, 480, 270);
  XMapWindow(FDisplay, win);
  XSync(FDisplay, False);
  FPlayer->SetRepeatType(rtLoop);
  ASSERT_TRUE(FPlayer->Open(media::ensure(media::Kind::Solid1080p), win, false))
      << FPlayer->LastErrMsg();
  ASSERT_TRUE(waitPumping([&] { return FPlayer->DisplayRect().w > 0; }, std::chrono::seconds(10)))
      << FPlayer->LastErrMsg();
  EXPECT_EQ(FPlayer->DisplayRect(), (TRect{0, 0, 480, 270}));

  XDestroyWindow(FDisplay, win);
  XSync(FDisplay, False);
  // The next drawing fails on the server: the error is logged, not fatal, and
  // the playback ends with the reason.
  FPlayer->ScreenResized(400, 300);
  EXPECT_TRUE(waitPumping([&] { return !log.Matching("X error", llError).empty(); },
                          std::chrono::seconds(5)));
  EXPECT_TRUE(waitPumping([&] { return FStops > 0; }, std::chrono::seconds(5)));
  EXPECT_THAT(FPlayer->LastErrMsg(), StartsWith("The screen window " + hex(win) + " is gone: "));
  FPlayer->Stop(true);

  // Opening on the id again fails on the check before any drawing.
  const int stops = FStops;
  FPlayer->Open(media::ensure(media::Kind::Solid1080p), win, false);
  ASSERT_TRUE(waitPumping([&] { return FStops > stops; }, std::chrono::seconds(10)));
  EXPECT_THAT(FPlayer->LastErrMsg(),
              StartsWith("Invalid window handle " + hex(win) + ": BadWindow"));
}

}  // namespace
