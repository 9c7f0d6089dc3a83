#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <chrono>
#include <functional>
#include <vector>

#include "MainForm.h"
#include "QtWait.h"
#include "VideoSurface.h"

// Xlib last: its macros clash with Qt's names.
#include <X11/Xlib.h>

using namespace corvane::app;

namespace {

struct Recorded {
  std::vector<QSize> sizes;
  int exposes = 0;
  int closes = 0;
};

ScreenReporter::TReports recordInto(Recorded& r) {
  return {[&r](int w, int h) { r.sizes.emplace_back(w, h); }, [&r] { ++r.exposes; },
          [&r] { ++r.closes; }};
}

}  // namespace

TEST(ScreenReporterTest, ReportsResizeExposeAndTopLevelClose) {
  QWidget top;
  top.resize(400, 300);
  VideoSurface surface(&top);
  surface.setGeometry(10, 10, 200, 100);
  Recorded r;
  auto reporter = std::make_unique<ScreenReporter>(surface, recordInto(r));
  top.show();
  ASSERT_TRUE(waitUntil([&] { return r.exposes > 0; })) << "no expose after show";

  const qreal dpr = surface.devicePixelRatio();
  surface.resize(321, 123);
  ASSERT_TRUE(waitUntil([&] { return !r.sizes.empty(); }));
  EXPECT_EQ(r.sizes.back(), QSize(qRound(321 * dpr), qRound(123 * dpr)));

  const int exposes = r.exposes;
  surface.update();
  EXPECT_TRUE(waitUntil([&] { return r.exposes > exposes; }));

  top.close();
  EXPECT_EQ(r.closes, 1);

  // Nothing is reported once the reporter is gone.
  reporter.reset();
  const std::size_t reported = r.sizes.size();
  surface.resize(50, 50);
  QCoreApplication::processEvents();
  EXPECT_EQ(r.sizes.size(), reported);
}

// Under Xvfb: the panel's surface is an X window of its own inside the
// window, and what is drawn into it (as the player does) survives Qt
// repainting the window.
TEST(XcbSurfaceTest, NativeChildWindowThatQtDoesNotPaintOver) {
  if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs the xcb platform";
  auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
  ASSERT_NE(x11, nullptr);
  Display* dpy = x11->display();

  TfrmCorvane form;
  form.show();
  auto* panel = form.findChild<VideoPanel*>("Panel1");
  ASSERT_NE(panel, nullptr);
  panel->ShowVideo(true);
  ASSERT_TRUE(waitUntil([&] { return panel->Surface().isVisible(); }));
  QCoreApplication::processEvents(QEventLoop::AllEvents, 200);

  const Window surface = panel->Surface().winId();
  const Window top = form.winId();
  ASSERT_NE(surface, top);
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  ASSERT_NE(XQueryTree(dpy, surface, &root, &parent, &children, &count), 0);
  if (children) XFree(children);
  EXPECT_EQ(parent, top) << "the surface is not a child window of the form";

  // Wait until the window is mapped and drawn, then fill the surface.
  ASSERT_TRUE(waitUntil([&] {
    XWindowAttributes a{};
    return XGetWindowAttributes(dpy, surface, &a) && a.map_state == IsViewable;
  }));
  QCoreApplication::processEvents(QEventLoop::AllEvents, 200);
  GC gc = XCreateGC(dpy, surface, 0, nullptr);
  XSetForeground(dpy, gc, 0xff0000);
  XFillRectangle(dpy, surface, gc, 0, 0, panel->width(), panel->height());
  XFreeGC(dpy, gc);
  XSync(dpy, False);

  form.repaint();
  panel->repaint();
  panel->Surface().repaint();
  QCoreApplication::processEvents(QEventLoop::AllEvents, 200);
  XSync(dpy, False);

  const QImage shot = form.screen()->grabWindow(surface).toImage();
  ASSERT_FALSE(shot.isNull());
  const QRgb centre = shot.pixel(shot.width() / 2, shot.height() / 2);
  EXPECT_EQ(qRed(centre), 255);
  EXPECT_EQ(qGreen(centre), 0);
  EXPECT_EQ(qBlue(centre), 0);
}
