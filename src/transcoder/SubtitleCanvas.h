// The canvas on which bitmap subtitles are drawn for the filter graphs that
// overlay them.
#pragma once

#include "transcoder/Transcoder.h"

namespace corvane {

// Whether a rectangle lies wholly within a canvas of width x height.
bool RectFitsCanvas(int x, int y, int w, int h, int width, int height);

// Clears the canvas of a subtitle stream that ended and ends its filter inputs.
void SubtitleCanvasFlush(TCustomFFmpeg& e, TInputStream& ist);

}  // namespace corvane
