#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QCoreApplication>

#include "PreviewWindow.h"

using namespace corvane;
using namespace corvane::app;

namespace {

Bitmap Filled(int w, int h, BmpFormat f) {
  Bitmap b;
  b.format = f;
  b.setSize(w, h);
  return b;
}

}  // namespace

// Each layout lands in the image with its colour; rows keep their padding apart.
TEST(PreviewWindowImage, EveryLayoutKeepsItsColours) {
  struct Case {
    BmpFormat format;
    std::vector<std::uint8_t> pixel;  // bytes of pixel (1,1)
    QRgb expected;
  };
  const Case cases[] = {
      {BmpFormat::pf32bit, {0x10, 0x20, 0x30, 0xff}, qRgb(0x30, 0x20, 0x10)},
      {BmpFormat::pf24bit, {0x10, 0x20, 0x30}, qRgb(0x30, 0x20, 0x10)},
      {BmpFormat::pf16bit, {0x00, 0xf8}, qRgb(0xff, 0, 0)},
      {BmpFormat::pf15bit, {0x1f, 0x00}, qRgb(0, 0, 0xff)},
      {BmpFormat::pf8bit, {0x07}, qRgb(0xff, 0, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.format));
    Bitmap b = Filled(3, 2, c.format);  // odd width: padded rows
    std::copy(c.pixel.begin(), c.pixel.end(), b.row(1) + c.pixel.size());
    const QImage img = ToImage(b);
    ASSERT_EQ(img.size(), QSize(3, 2));
    EXPECT_EQ(img.pixel(1, 1) | 0xff000000u, c.expected);
    EXPECT_EQ(img.pixel(0, 0) | 0xff000000u, qRgb(0, 0, 0));
    EXPECT_EQ(img.pixel(2, 1) | 0xff000000u, qRgb(0, 0, 0));
  }
  Bitmap broken = Filled(4, 4, BmpFormat::pf32bit);
  broken.pixels.resize(3);
  EXPECT_TRUE(ToImage(broken).isNull());
}

// The window shows a copy of the picture and the caption; closing it tells the
// preview once, and painting afterwards is harmless.
TEST(PreviewWindowSink, PaintsCopiesAndReportsItsCloseOnce) {
  int closes = 0;
  auto sink = PreviewWindowFactory()(32, 24, [&closes] { ++closes; });
  ASSERT_NE(sink, nullptr);
  auto* window = dynamic_cast<PreviewWindow*>(sink.get());
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->size(), QSize(32, 24));
  EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);

  Bitmap b = Filled(32, 24, BmpFormat::pf32bit);
  b.row(0)[2] = 0xff;  // red at (0,0)
  window->Paint(b, "00:00:01.040");
  b.pixels.assign(b.pixels.size(), 0);  // the window keeps its own copy
  EXPECT_EQ(window->windowTitle(), QString("00:00:01.040"));
  EXPECT_EQ(window->Picture().pixel(0, 0), qRgb(0xff, 0, 0));
  EXPECT_EQ(window->grab().toImage().pixel(0, 0) | 0xff000000u, qRgb(0xff, 0, 0));

  window->close();
  window->close();
  QCoreApplication::processEvents();
  EXPECT_EQ(closes, 1);
  window->Paint(b, "00:00:01.080");
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(PreviewWindowFactory()(0, 10, [] {}), nullptr);
}
