// Steps of output stream creation shared by OutputStream.cpp and
// OutputStreamEncoding.cpp. Every failure is fatal (FFmpegException).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "transcoder/TranscoderOptions.h"

namespace corvane::ost_steps {

// One stream being created: the engine, the file's options, its muxer.
struct TStreamSetup {
  TCustomFFmpegOpt& e;
  TPerFileOptions& o;
  AVFormatContext* oc;
  TOutputStream& ost;

  // The stream's value of a per-stream option, or nullptr.
  const TSpecifierValue* match(const TSpecifierList& list) const {
    return e.MatchPerStream(list, oc, ost.st);
  }
};

// Encoder settings of a video or audio stream that is encoded.
void SetVideoEncoding(const TStreamSetup& s);
void SetAudioEncoding(const TStreamSetup& s);

// 64 comma-separated coefficients into dest.
void ParseMatrix(TCustomFFmpegOpt& e, std::uint16_t* dest, const std::string& text);
// "start,end,q/start,end,q..." into the encoder context's override array.
void ParseRcOverride(TCustomFFmpegOpt& e, AVCodecContext* enc_ctx, const std::string& text);
// Pass flags, the stream's log name, its statistics input or pass-1 log.
void SetupPasses(const TStreamSetup& s);

// The filter description of the stream's simple graph: the script's content,
// the filter text, or the pass-through filter; nothing when the script
// cannot be read.
std::optional<std::string> get_ost_filters(TCustomFFmpegOpt& e, const TOutputStream& ost);

}  // namespace corvane::ost_steps
