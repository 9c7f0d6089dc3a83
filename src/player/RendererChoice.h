// Which media-layer renderer draws a player's window. A GL renderer that the
// GL library runs on the CPU (no GPU, a VM, a virtual X server) costs several
// times what SDL2's software renderer costs when it writes the window surface
// straight to the window, so such a GL renderer is replaced by that one.
#pragma once

#include <string>
#include <string_view>

#include "foundation/api/sdl2.h"

namespace corvane {

// True for the renderer text of a GL library that rasterises on the CPU.
bool IsSoftwareRasterizer(std::string_view glRenderer);

struct TRendererChoice {
  SDL_Renderer* renderer = nullptr;
  std::string driver;      // the render driver's name
  std::string glRenderer;  // the GL library's renderer text, when a GL renderer was tried
  std::string warning;     // a fallback that was taken
  std::string error;       // no renderer
};

// Creates the renderer of the window on the calling thread. forced names a
// render driver ("software", "opengl", ...); empty: an accelerated renderer
// with vsync, replaced by the software renderer drawing straight to the
// window surface when the GL library rasterises in software.
TRendererChoice CreateWindowRenderer(SDL_Window* window, const std::string& forced);

}  // namespace corvane
