// The player drawing into video surfaces under Xvfb (xcb platform): what the
// X server holds in the surface's window is read back and compared with the
// fitted picture rectangle.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

#include "QtDispatcher.h"
#include "QtWait.h"
#include "VideoSurface.h"
#include "foundation/MainThread.h"
#include "player/CustomPlayer.h"
#include "support/EnvVar.h"
#include "testmedia/TestMedia.h"

// Xlib last: its macros clash with Qt's names.
#include <X11/Xlib.h>

namespace corvane {
void PrintTo(const TRect& r, std::ostream* os) {
  *os << r.x << "," << r.y << " " << r.w << "x" << r.h;
}
}  // namespace corvane

using namespace corvane;
using namespace corvane::app;
namespace media = corvane::testmedia;

namespace {

void settle(int ms) {
  waitUntil([] { return false; }, ms);
}

constexpr std::uint32_t kBackColor = 0x00C08040;  // 0x00BBGGRR
const QRgb kBack = qRgb(0x40, 0x80, 0xC0);
// The solid clip's colour. Its limited-range BT.601 values come out within a
// few steps; a renderer converting with the BT.709 matrix moves green by
// about 25.
const QRgb kPicture = qRgb(0xFF, 0x00, 0x00);
constexpr int kPictureTolerance = 32;
constexpr int kBackTolerance = 2;

bool near(QRgb a, QRgb b, int tolerance) {
  return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
         std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

std::string describe(QRgb c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "#%02x%02x%02x", qRed(c), qGreen(c), qBlue(c));
  return buf;
}

// The fitted rectangle of the 1920x1080 square-pixel clip in a w x h area.
TRect fitted(int w, int h) {
  return FitPicture({0, 0, w, h}, media::solid::kWidth, media::solid::kHeight, {1, 1}, 0);
}

// Empty when every pixel of the image is the picture inside rect and the
// background outside; otherwise the first pixel that is not.
std::string mismatch(const QImage& image, const TRect& rect) {
  if (image.isNull()) return "no image";
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const bool inside = x >= rect.x && x < rect.x + rect.w && y >= rect.y && y < rect.y + rect.h;
      const QRgb got = image.pixel(x, y);
      if (inside ? near(got, kPicture, kPictureTolerance) : near(got, kBack, kBackTolerance))
        continue;
      std::ostringstream s;
      s << "(" << x << ", " << y << ") is " << describe(got) << ", not the "
        << (inside ? "picture " + describe(kPicture) : "background " + describe(kBack))
        << "; picture at " << rect.x << "," << rect.y << " " << rect.w << "x" << rect.h;
      return s.str();
    }
  return {};
}

// A top-level window that one video surface fills.
struct TSurfaceWindow {
  TSurfaceWindow(int w, int h) {
    top.resize(w, h);
    surface.setGeometry(0, 0, w, h);
  }
  QWidget top;
  VideoSurface surface{&top};
};

// SDL's software renderer, and no GL behind the window surface: the GL
// driver is unloaded before the leak check, which then cannot tell its
// allocations apart. (The GL renderer draws the same pictures.)
class XcbPlayerSurface : public ::testing::Test {
 protected:
  EnvVar FRenderDriver{"SDL_RENDER_DRIVER", "software"};
  EnvVar FNoGL{"SDL_FRAMEBUFFER_ACCELERATION", "0"};

  void SetUp() override {
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs the xcb platform";
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    ASSERT_NE(x11, nullptr);
    FDisplay = x11->display();
    setDispatcher(FDispatcher);
    FPlayer.emplace();
    ASSERT_TRUE(FPlayer->LoadAVLib("")) << FPlayer->LastErrMsg();
    FPlayer->SetAudioDriver("dummy");
    FPlayer->SetBackColor(kBackColor);
    FClip = media::ensure(media::Kind::Solid1080p);
  }
  void TearDown() override {
    FReporter.reset();
    FPlayer.reset();
    setDispatcher(nullptr);
  }

  // Resizes and exposes of s go to the player.
  void reportFrom(VideoSurface& s) {
    FReporter.reset();
    FReporter = std::make_unique<ScreenReporter>(
        s, ScreenReporter::TReports{[this](int w, int h) { FPlayer->ScreenResized(w, h); },
                                    [this] { FPlayer->ScreenExposed(); },
                                    {}});
  }

  void showAndWait(QWidget& top, VideoSurface& s) {
    top.show();
    ASSERT_TRUE(waitUntil([&] {
      XWindowAttributes a{};
      return s.isVisible() && XGetWindowAttributes(FDisplay, s.winId(), &a) &&
             a.map_state == IsViewable;
    }));
    settle(100);
  }

  // The surface's pixels as the X server holds them.
  QImage grab(VideoSurface& s) {
    XSync(FDisplay, False);
    return s.screen()->grabWindow(s.winId()).toImage();
  }

  // Waits until the surface shows the picture at rect; the last mismatch otherwise.
  std::string waitForPicture(VideoSurface& s, const TRect& rect, int ms = 5000) {
    std::string why = "not checked";
    waitUntil(
        [&] {
          why = mismatch(grab(s), rect);
          return why.empty();
        },
        ms);
    return why;
  }

  // Stops the player when it leaves the scope: declared after a test's
  // widgets, the player stops before their windows go.
  struct StopFirst {
    std::optional<TRORizozu>& player;
    ~StopFirst() {
      if (player) player->Stop(true);
    }
  };

  Display* FDisplay = nullptr;
  std::shared_ptr<QtDispatcher> FDispatcher = std::make_shared<QtDispatcher>();
  std::string FClip;
  std::optional<TRORizozu> FPlayer;
  std::unique_ptr<ScreenReporter> FReporter;
};

// 1920x1080 in 800x800 device pixels: letterbox rows above 175 and from 625
// down; after resizes the picture fills the new fitted rectangle, and Qt
// repainting the window leaves it in place.
TEST_F(XcbPlayerSurface, PictureFitsTheSurfaceThroughResizesAndRepaints) {
  TSurfaceWindow window(800, 800);
  QWidget& top = window.top;
  VideoSurface& surface = window.surface;
  StopFirst stop{FPlayer};
  reportFrom(surface);
  ASSERT_NO_FATAL_FAILURE(showAndWait(top, surface));
  ASSERT_EQ(ScreenReporter::PixelSize(surface), QSize(800, 800)) << "device pixel ratio not 1";

  ASSERT_TRUE(FPlayer->Open(FClip, surface.winId(), true)) << FPlayer->LastErrMsg();
  ASSERT_EQ(fitted(800, 800), (TRect{0, 175, 800, 450}));
  EXPECT_EQ(waitForPicture(surface, fitted(800, 800)), "");
  EXPECT_EQ(FPlayer->DisplayRect(), fitted(800, 800));

  for (const QSize size : {QSize(1000, 400), QSize(640, 480)}) {
    top.resize(size);
    surface.setGeometry(0, 0, size.width(), size.height());
    const TRect rect = fitted(size.width(), size.height());
    EXPECT_EQ(waitForPicture(surface, rect), "") << size.width() << "x" << size.height();
    EXPECT_EQ(FPlayer->DisplayRect(), rect);
  }

  top.repaint();
  surface.repaint();
  top.update();
  settle(300);
  EXPECT_EQ(mismatch(grab(surface), fitted(640, 480)), "") << "after a repaint";
}

// Changing the screen handle while playing moves the picture to the other
// surface, drawn at that surface's size.
TEST_F(XcbPlayerSurface, ScreenHandleMovesThePicture) {
  QWidget top;
  top.resize(880, 400);
  VideoSurface first(&top), second(&top);
  first.setGeometry(0, 0, 400, 400);
  second.setGeometry(400, 0, 480, 270);
  StopFirst stop{FPlayer};
  reportFrom(first);
  ASSERT_NO_FATAL_FAILURE(showAndWait(top, second));
  ASSERT_TRUE(first.isVisible());

  FPlayer->SetRepeatType(rtLoop);
  ASSERT_TRUE(FPlayer->Open(FClip, first.winId(), false)) << FPlayer->LastErrMsg();
  EXPECT_EQ(waitForPicture(first, fitted(400, 400)), "");
  const QImage before = grab(second);
  ASSERT_FALSE(before.isNull());
  EXPECT_FALSE(near(before.pixel(240, 135), kPicture, kPictureTolerance))
      << "the second surface shows the picture before the change";

  reportFrom(second);
  FPlayer->SetScreenHandle(second.winId());
  EXPECT_EQ(FPlayer->ScreenHandle(), second.winId());
  EXPECT_EQ(waitForPicture(second, TRect{0, 0, 480, 270}), "");
  EXPECT_EQ(FPlayer->DisplayRect(), (TRect{0, 0, 480, 270}));
  EXPECT_EQ(FPlayer->PlayState(), psPlay);
}

// Stop clears the surface to the background by default (ClearScreenAfterStop
// -1); with 0 the last picture stays.
TEST_F(XcbPlayerSurface, StopClearsTheSurfaceUnlessToldNotTo) {
  TSurfaceWindow window(480, 270);
  QWidget& top = window.top;
  VideoSurface& surface = window.surface;
  StopFirst stop{FPlayer};
  reportFrom(surface);
  ASSERT_NO_FATAL_FAILURE(showAndWait(top, surface));
  // -1 first: each open then starts from a surface without the picture.
  for (const int clear : {-1, 0}) {
    SCOPED_TRACE(clear);
    FPlayer->SetClearScreenAfterStop(clear);
    ASSERT_TRUE(FPlayer->Open(FClip, surface.winId(), true)) << FPlayer->LastErrMsg();
    EXPECT_EQ(waitForPicture(surface, fitted(480, 270)), "");
    FPlayer->Stop(true);
    settle(200);
    EXPECT_EQ(mismatch(grab(surface), clear == 0 ? fitted(480, 270) : TRect{}), "");
  }
}

}  // namespace
