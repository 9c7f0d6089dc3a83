// The picture preview of a task: pictures go to a toolkit-neutral sink that
// the application supplies (a small always-on-top window) and that lives on
// the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "foundation/Bitmap.h"

namespace corvane {

// A window that shows preview pictures. Created, used and destroyed on the
// main thread only.
class IPreviewSink {
 public:
  virtual ~IPreviewSink() = default;
  // Shows the picture with the caption.
  virtual void Paint(const Bitmap& ABitmap, const std::string& ACaption) = 0;
};

// Creates a sink of a fixed client size; the sink calls AOnClose (on the
// main thread) when the user closes it. Null result: no preview.
using TPreviewSinkFactory = std::function<std::unique_ptr<IPreviewSink>(
    int AWidth, int AHeight, std::function<void()> AOnClose)>;

// The factory of every previewer whose task has none of its own (any thread).
void SetDefaultPreviewSinkFactory(TPreviewSinkFactory AFactory);
TPreviewSinkFactory DefaultPreviewSinkFactory();

// The caption of a previewed picture: "hh:mm:ss.zzz", "N/A" without a timestamp.
std::string PreviewCaption(std::int64_t APTS);

// Hands pictures to the sink without waiting: the latest picture wins, and
// the main thread paints it when it gets to it (at once when no dispatcher
// is installed). Closing the sink stops the preview for good.
class TPreviewer {
 public:
  explicit TPreviewer(TPreviewSinkFactory AFactory);
  // The sink is destroyed on the main thread.
  ~TPreviewer();
  TPreviewer(const TPreviewer&) = delete;
  TPreviewer& operator=(const TPreviewer&) = delete;

  // Any thread, never blocks. False once the sink was closed.
  bool PaintFrame(const Bitmap& ABitmap, int AFrameNumber, std::int64_t APTS);
  bool Closed() const;

 private:
  struct TState;
  static void PaintStep(const std::shared_ptr<TState>& s);
  std::shared_ptr<TState> FState;
};

}  // namespace corvane
