// A lavfi source chain ending in a buffersink or abuffersink.
#pragma once

#include <string>

#include "testmedia/Av.h"

namespace corvane::testmedia {

class LavfiSource {
 public:
  // `chain` is a filter chain with no open input ("sine=f=440:d=2,aformat=...").
  // Throws ETestMedia with `what` ("testmedia: <kind>") leading the message.
  LavfiSource(const std::string& what, AVMediaType type, const std::string& chain);

  // The next frame into `frame`; false at the end of the source.
  bool read(AVFrame* frame);
  // Audio: hand out frames of exactly `samples` samples (the last may be shorter).
  void setFrameSize(int samples);

  AVFilterContext* sink() const { return sink_; }
  AVRational timeBase() const { return ff::av_buffersink_get_time_base(sink_); }

 private:
  std::string what_;
  GraphPtr graph_;
  AVFilterContext* sink_ = nullptr;
};

}  // namespace corvane::testmedia
