// The renderer of a player's window: a GL library that rasterises on the CPU
// is replaced by SDL's software renderer; a named renderer is taken as named.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/FFLoader.h"
#include "foundation/Logger.h"
#include "foundation/MainThread.h"
#include "player/CustomPlayer.h"
#include "player/RendererChoice.h"
#include "player/SDLLoader.h"
#include "support/EnvVar.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
using namespace std::chrono_literals;
namespace media = corvane::testmedia;

namespace {

TEST(RendererChoice, SoftwareRasterizersByTheirRendererText) {
  const std::pair<const char*, bool> cases[] = {
      {"llvmpipe (LLVM 15.0.6, 256 bits)", true},
      {"Mesa softpipe", true},
      {"Software Rasterizer", true},
      {"swrast", true},
      {"D3D12 (Microsoft Basic Render Driver)", true},
      {"zink (llvmpipe (LLVM 15.0.6, 256 bits))", true},
      {"Mesa Intel(R) UHD Graphics 620 (KBL GT2)", false},
      {"NVIDIA GeForce GTX 1060 6GB/PCIe/SSE2", false},
      {"SVGA3D; build: RELEASE; LLVM;", false},
      {"virgl", false},
      {"", false},
  };
  for (const auto& [text, software] : cases)
    EXPECT_EQ(IsSoftwareRasterizer(text), software) << text;
}

// The log lines of one text, as the logger delivers them.
class LogLines {
 public:
  explicit LogLines(std::string key) : FKey(std::move(key)) {
    FLogger.SetSynchronous(true);
    FLogger.SetTriggerEventInMainThread(false);
    FLogger.SetLogLevel(llInfo);
    FLogger.SetOnLog([this](TObject*, std::uint32_t, TLogLevel, const std::string& line) {
      const std::size_t at = line.find(FKey);
      if (at == std::string::npos) return;
      std::lock_guard g(FLock);
      FLines.push_back(line.substr(at + FKey.size()));
    });
  }
  std::vector<std::string> Lines() {
    std::lock_guard g(FLock);
    return FLines;
  }

 private:
  std::string FKey;
  TFFLogger FLogger;
  std::mutex FLock;
  std::vector<std::string> FLines;
};

// A window of the player's own under the x11 video driver (run under Xvfb).
// The GL driver is unloaded before the leak check, which then cannot tell
// its allocations apart: ctest runs these without it.
class XglRendererChoice : public ::testing::Test {
 protected:
  EnvVar FRenderDriver{"SDL_RENDER_DRIVER", nullptr};
  EnvVar FFramebuffer{"SDL_FRAMEBUFFER_ACCELERATION", nullptr};

  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) GTEST_SKIP() << "needs an X server ($DISPLAY)";
    setDispatcher(FDispatcher);
    FPlayer.emplace();
    ASSERT_TRUE(FPlayer->LoadAVLib("")) << FPlayer->LastErrMsg();
    FPlayer->SetAudioDriver("dummy");
    FPlayer->SetVideoDriver("x11");
    FPlayer->SetScreenSize(320, 240);
    FPlayer->SetRepeatType(rtLoop);
  }
  void TearDown() override {
    FPlayer.reset();
    SDLLoader().QuitAll();
    setDispatcher(nullptr);
  }
  // The render driver of the window the player makes for the clip.
  std::string drawWith(const std::string& forced) {
    FPlayer->SetRenderer(forced);
    if (!FPlayer->Open(media::ensure(media::Kind::Numbered), 0, true)) return "open failed";
    waitPumping([&] { return !FPlayer->RenderDriver().empty(); }, 10s, 2ms);
    const std::string driver = FPlayer->RenderDriver();
    FPlayer->Stop(true);
    return driver;
  }

  std::shared_ptr<QueueDispatcher> FDispatcher = std::make_shared<QueueDispatcher>();
  std::optional<TRORizozu> FPlayer;
};

TEST_F(XglRendererChoice, ForcedRendererAndTheSoftwareGLFallback) {
  EXPECT_EQ(drawWith("software"), "software");
  LogLines gl("GL renderer: ");
  const std::string automatic = drawWith("");
  const std::vector<std::string> seen = gl.Lines();
  if (seen.empty()) GTEST_SKIP() << "no GL renderer here; drawn with " << automatic;
  if (IsSoftwareRasterizer(seen.front()))
    EXPECT_EQ(automatic, "software") << "GL renderer: " << seen.front();
  else
    EXPECT_EQ(automatic.rfind("opengl", 0), 0u) << "GL renderer: " << seen.front();
}

}  // namespace
