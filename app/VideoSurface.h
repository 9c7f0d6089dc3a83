// The video panel: a native child window the player draws into, which Qt
// never paints, inside a panel that shows a caption while no video is shown.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>

namespace corvane::app {

// A native window of its own (winId() is an X11 window under xcb) that Qt
// neither paints nor clears.
class VideoSurface : public QWidget {
 public:
  explicit VideoSurface(QWidget* parent = nullptr);
  QPaintEngine* paintEngine() const override { return nullptr; }

 protected:
  void paintEvent(QPaintEvent*) override {}
};

// Reports what happens to a surface's window to the player: resizes in
// device pixels, exposes (Qt asks the surface to paint) and the close of the
// surface's top-level window.
class ScreenReporter : public QObject {
 public:
  struct TReports {
    std::function<void(int AWidth, int AHeight)> Resized;
    std::function<void()> Exposed;
    std::function<void()> Closed;
  };
  ScreenReporter(VideoSurface& ASurface, TReports AReports);
  ~ScreenReporter() override;

  // The surface's size in device pixels.
  static QSize PixelSize(const QWidget& w);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // As a QWidget: events still arrive while the surface is being destroyed.
  QPointer<QWidget> FSurface;
  QPointer<QWidget> FTopLevel;
  TReports FReports;
};

// The panel: paints its background and centred caption; the surface covers
// it while video is shown.
class VideoPanel : public QWidget {
 public:
  explicit VideoPanel(QWidget* parent = nullptr);

  const QString& Caption() const { return FCaption; }
  void SetCaption(const QString& ACaption);
  VideoSurface& Surface() { return FSurface; }
  void ShowVideo(bool AShow);
  bool VideoShown() const { return !FSurface.isHidden(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QString FCaption;
  VideoSurface FSurface{this};
};

}  // namespace corvane::app
