// The canvas on which bitmap subtitles are drawn for the filter graphs that
// overlay them.
#pragma once

#include "transcoder/Transcoder.h"

namespace corvane {

// Clears the canvas of a subtitle stream that ended and ends its filter inputs.
void SubtitleCanvasFlush(TCustomFFmpeg& e, TInputStream& ist);

}  // namespace corvane
