// The task preview's window: a small always-on-top tool window of a fixed
// client size that shows the latest picture with its time as the title.
#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>

#include "transcoder/Preview.h"

namespace corvane::app {

class PreviewWindow : public QWidget, public IPreviewSink {
 public:
  PreviewWindow(int AWidth, int AHeight, std::function<void()> AOnClose);

  void Paint(const Bitmap& ABitmap, const std::string& ACaption) override;
  const QImage& Picture() const { return FPicture; }

 protected:
  void paintEvent(QPaintEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  std::function<void()> FOnClose;
  QImage FPicture;
};

// The process-wide preview factory for tasks: shows each sink as it is made.
TPreviewSinkFactory PreviewWindowFactory();

// A deep copy of the bitmap in a Qt image format (pf8bit expanded to RGB32).
QImage ToImage(const Bitmap& ABitmap);

}  // namespace corvane::app
