#include "player/RendererChoice.h"

#include <SDL_opengl.h>

#include <algorithm>
#include <atomic>
#include <cctype>

#include "foundation/StrFormat.h"

namespace corvane {
namespace {

bool containsNoCase(std::string_view text, std::string_view word) {
  return std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         }) != text.end();
}

// Index of the render driver called name, -1 when there is none.
int renderDriverIndex(const std::string& name) {
  for (int i = 0, n = sdl::SDL_GetNumRenderDrivers(); i < n; ++i) {
    SDL_RendererInfo info{};
    if (sdl::SDL_GetRenderDriverInfo(i, &info) == 0 && info.name &&
        std::string_view(info.name).size() == name.size() && containsNoCase(info.name, name))
      return i;
  }
  return -1;
}

std::string driverName(SDL_Renderer* r) {
  SDL_RendererInfo info{};
  return r && sdl::SDL_GetRendererInfo(r, &info) == 0 && info.name ? info.name : "";
}

// The renderer text of the GL context current on this thread (a GL renderer
// makes its context current when it is created), empty without one.
std::string currentGLRenderer() {
  if (!sdl::SDL_GL_GetCurrentContext()) return {};
  using GetString = const GLubyte*(APIENTRY*)(GLenum);
  const auto getString = reinterpret_cast<GetString>(sdl::SDL_GL_GetProcAddress("glGetString"));
  const GLubyte* text = getString ? getString(GL_RENDERER) : nullptr;
  return text ? reinterpret_cast<const char*>(text) : "";
}

// Once a GL renderer was found to rasterise in software, later windows skip it.
std::atomic<bool> gSoftwareGL{false};

SDL_Renderer* createSoftware(SDL_Window* window) {
  // The window surface goes to the window directly, not through a GL texture;
  // an environment setting still wins.
  sdl::SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  const int index = renderDriverIndex("software");
  return index < 0 ? nullptr : sdl::SDL_CreateRenderer(window, index, 0);
}

SDL_Renderer* createNamed(SDL_Window* window, const std::string& name, std::string& error) {
  const int index = renderDriverIndex(name);
  if (index < 0) {
    error = strprintf("Render driver \"%s\" not available", name.c_str());
    return nullptr;
  }
  SDL_Renderer* r = sdl::SDL_CreateRenderer(window, index, SDL_RENDERER_PRESENTVSYNC);
  return r ? r : sdl::SDL_CreateRenderer(window, index, 0);
}

}  // namespace

bool IsSoftwareRasterizer(std::string_view glRenderer) {
  static constexpr std::string_view kSoftware[] = {"llvmpipe", "softpipe", "swrast",
                                                   "software rasterizer", "basic render driver"};
  return std::any_of(std::begin(kSoftware), std::end(kSoftware),
                     [&](std::string_view w) { return containsNoCase(glRenderer, w); });
}

TRendererChoice CreateWindowRenderer(SDL_Window* window, const std::string& forced) {
  TRendererChoice c;
  if (!forced.empty()) {
    c.renderer = createNamed(window, forced, c.error);
  } else if (gSoftwareGL) {
    c.renderer = createSoftware(window);
  } else {
    c.renderer =
        sdl::SDL_CreateRenderer(window, -1, SDL_RENDERER_ACCELERATED | SDL_RENDERER_PRESENTVSYNC);
    if (!c.renderer) {
      c.warning = strprintf("Failed to initialize a hardware accelerated renderer: %s",
                            sdl::SDL_GetError());
      c.renderer = sdl::SDL_CreateRenderer(window, -1, 0);
    }
    if (driverName(c.renderer).starts_with("opengl")) {
      c.glRenderer = currentGLRenderer();
      if (IsSoftwareRasterizer(c.glRenderer)) {
        // A window has one renderer at a time.
        sdl::SDL_DestroyRenderer(c.renderer);
        c.renderer = createSoftware(window);
        if (c.renderer)
          gSoftwareGL = true;
        else
          c.renderer = sdl::SDL_CreateRenderer(window, -1, 0);
      }
    }
  }
  if (!c.renderer && c.error.empty())
    c.error = strprintf("Could not create SDL renderer: %s", sdl::SDL_GetError());
  c.driver = driverName(c.renderer);
  return c;
}

}  // namespace corvane
