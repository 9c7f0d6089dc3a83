#include "PreviewWindow.h"

#include <QCloseEvent>
#include <QPainter>

namespace corvane::app {
namespace {

// 3:3:2 with red in the low bits: each field widened to 8 bits.
QImage Expand332(const Bitmap& b) {
  QImage img(b.width, b.height, QImage::Format_RGB32);
  for (int y = 0; y < b.height; ++y) {
    const std::uint8_t* src = b.row(y);
    auto* dst = reinterpret_cast<QRgb*>(img.scanLine(y));
    for (int x = 0; x < b.width; ++x) {
      const int v = src[x];
      dst[x] = qRgb((v & 7) * 255 / 7, ((v >> 3) & 7) * 255 / 7, (v >> 6) * 255 / 3);
    }
  }
  return img;
}

}  // namespace

QImage ToImage(const Bitmap& b) {
  if (b.width <= 0 || b.height <= 0 || !b.consistent()) return {};
  QImage::Format f = QImage::Format_Invalid;
  switch (b.format) {
    case BmpFormat::pf8bit:
      return Expand332(b);
    case BmpFormat::pf15bit:
      f = QImage::Format_RGB555;
      break;
    case BmpFormat::pf16bit:
      f = QImage::Format_RGB16;
      break;
    case BmpFormat::pf24bit:
      f = QImage::Format_BGR888;
      break;
    case BmpFormat::pf32bit:
      f = b.alpha_defined ? QImage::Format_ARGB32 : QImage::Format_RGB32;
      break;
  }
  return QImage(b.pixels.data(), b.width, b.height, b.stride, f).copy();
}

PreviewWindow::PreviewWindow(int AWidth, int AHeight, std::function<void()> AOnClose)
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint), FOnClose(std::move(AOnClose)) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFixedSize(AWidth, AHeight);
}

void PreviewWindow::Paint(const Bitmap& ABitmap, const std::string& ACaption) {
  FPicture = ToImage(ABitmap);
  setWindowTitle(QString::fromStdString(ACaption));
  update();
}

void PreviewWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (FPicture.isNull())
    p.fillRect(rect(), Qt::black);
  else
    p.drawImage(rect(), FPicture);
}

void PreviewWindow::closeEvent(QCloseEvent* e) {
  // The task goes on; only its preview ends.
  if (auto onClose = std::exchange(FOnClose, nullptr)) onClose();
  e->accept();
}

TPreviewSinkFactory PreviewWindowFactory() {
  return [](int w, int h, std::function<void()> onClose) -> std::unique_ptr<IPreviewSink> {
    if (w <= 0 || h <= 0) return nullptr;
    auto window = std::make_unique<PreviewWindow>(w, h, std::move(onClose));
    window->show();
    return window;
  };
}

}  // namespace corvane::app
