#include "VideoSurface.h"

#include <QCloseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <cmath>

namespace corvane::app {

VideoSurface::VideoSurface(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_NativeWindow);
  setAttribute(Qt::WA_DontCreateNativeAncestors);
  setAttribute(Qt::WA_PaintOnScreen);
  setAttribute(Qt::WA_NoSystemBackground);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAutoFillBackground(false);
  setFocusPolicy(Qt::NoFocus);
}

ScreenReporter::ScreenReporter(VideoSurface& ASurface, TReports AReports)
    : FSurface(&ASurface), FTopLevel(ASurface.window()), FReports(std::move(AReports)) {
  ASurface.installEventFilter(this);
  if (FTopLevel && FTopLevel != FSurface) FTopLevel->installEventFilter(this);
}

ScreenReporter::~ScreenReporter() {
  if (FSurface) FSurface->removeEventFilter(this);
  if (FTopLevel) FTopLevel->removeEventFilter(this);
}

QSize ScreenReporter::PixelSize(const QWidget& w) {
  const qreal dpr = w.devicePixelRatio();
  return {static_cast<int>(std::lround(w.width() * dpr)),
          static_cast<int>(std::lround(w.height() * dpr))};
}

bool ScreenReporter::eventFilter(QObject* watched, QEvent* event) {
  if (watched == FSurface.data()) {
    switch (event->type()) {
      case QEvent::Resize:
        if (FReports.Resized) {
          const QSize s = PixelSize(*FSurface);
          FReports.Resized(s.width(), s.height());
        }
        break;
      case QEvent::Paint:
        if (FReports.Exposed) FReports.Exposed();
        break;
      default:
        break;
    }
  }
  if (watched == FTopLevel.data() && event->type() == QEvent::Close && FReports.Closed)
    FReports.Closed();
  return false;
}

VideoPanel::VideoPanel(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::NoFocus);
  FSurface.hide();
}

void VideoPanel::SetCaption(const QString& ACaption) {
  FCaption = ACaption;
  update();
}

void VideoPanel::ShowVideo(bool AShow) {
  FSurface.setVisible(AShow);
  if (!AShow) update();
}

void VideoPanel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().window());
  p.setPen(palette().light().color());
  p.drawLine(0, 0, width() - 1, 0);
  p.drawLine(0, 0, 0, height() - 1);
  p.setPen(palette().dark().color());
  p.drawLine(0, height() - 1, width() - 1, height() - 1);
  p.drawLine(width() - 1, 0, width() - 1, height() - 1);
  p.setPen(palette().windowText().color());
  p.drawText(rect().adjusted(4, 4, -4, -4), Qt::AlignCenter | Qt::TextWordWrap, FCaption);
}

void VideoPanel::resizeEvent(QResizeEvent* event) {
  FSurface.setGeometry(QRect(QPoint(0, 0), event->size()));
}

}  // namespace corvane::app
