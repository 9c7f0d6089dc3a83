#include "transcoder/Preview.h"

#include <cinttypes>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "foundation/MainThread.h"
#include "foundation/StrFormat.h"

extern "C" {
#include <libavutil/avutil.h>
}

namespace corvane {

namespace {

std::mutex gFactoryLock;
TPreviewSinkFactory gDefaultFactory;

// Runs on the main thread without waiting for it; inline without a dispatcher.
void PostToMain(std::function<void()> fn) {
  if (auto d = currentDispatcher(); d && !d->isMainThread()) {
    d->post(std::move(fn));
    return;
  }
  fn();
}

}  // namespace

void SetDefaultPreviewSinkFactory(TPreviewSinkFactory AFactory) {
  std::lock_guard g(gFactoryLock);
  gDefaultFactory = std::move(AFactory);
}

TPreviewSinkFactory DefaultPreviewSinkFactory() {
  std::lock_guard g(gFactoryLock);
  return gDefaultFactory;
}

std::string PreviewCaption(std::int64_t APTS) {
  if (APTS == AV_NOPTS_VALUE) return "N/A";
  const char* sign = APTS < 0 ? "-" : "";
  const std::int64_t t = std::llabs(APTS) + 5000;  // rounded to the hundredth
  return strprintf("%s%.2" PRId64 ":%.2" PRId64 ":%.2" PRId64 ".%.3" PRId64, sign, t / 3600000000,
                   t / 60000000 % 60, t / 1000000 % 60, t / 1000 % 1000);
}

struct TPreviewer::TState {
  TPreviewSinkFactory factory;
  std::atomic<bool> closed{false};
  std::mutex lock;  // guards latest and posted
  struct Picture {
    Bitmap bitmap;
    std::int64_t pts;
  };
  std::optional<Picture> latest;
  bool posted = false;
  std::unique_ptr<IPreviewSink> sink;  // main thread only
};

TPreviewer::TPreviewer(TPreviewSinkFactory AFactory) : FState(std::make_shared<TState>()) {
  FState->factory = std::move(AFactory);
}

TPreviewer::~TPreviewer() {
  // The last reference may be the posted paint step, which then frees the
  // sink on the main thread; otherwise the sink goes with this call.
  auto s = std::move(FState);
  s->closed = true;
  PostToMain([s]() mutable { s->sink.reset(); });
}

bool TPreviewer::Closed() const { return FState->closed; }

bool TPreviewer::PaintFrame(const Bitmap& ABitmap, int /*AFrameNumber*/, std::int64_t APTS) {
  const std::shared_ptr<TState>& s = FState;
  if (s->closed) return false;
  {
    std::lock_guard g(s->lock);
    s->latest = TState::Picture{ABitmap, APTS};
    if (s->posted) return true;  // the pending paint takes the newer picture
    s->posted = true;
  }
  PostToMain([s] { PaintStep(s); });
  return !s->closed;
}

void TPreviewer::PaintStep(const std::shared_ptr<TState>& s) {
  std::optional<TState::Picture> pic;
  {
    std::lock_guard g(s->lock);
    pic.swap(s->latest);
    s->posted = false;
  }
  if (s->closed || !pic) return;
  if (!s->sink) {
    if (s->factory) {
      std::weak_ptr<TState> w = s;
      s->sink = s->factory(pic->bitmap.width, pic->bitmap.height, [w] {
        if (auto st = w.lock()) st->closed = true;
      });
    }
    if (!s->sink) {
      s->closed = true;  // nowhere to paint
      return;
    }
  }
  s->sink->Paint(pic->bitmap, PreviewCaption(pic->pts));
}

}  // namespace corvane
