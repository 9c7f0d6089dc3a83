#include "player/Screen.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string_view>

#include "foundation/Logger.h"
#include "foundation/StrFormat.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avutil.h"
#include "player/NativeWindow.h"
#include "player/RendererChoice.h"

namespace corvane {
namespace {

struct FormatEntry {
  AVPixelFormat av;
  std::uint32_t sdl;
};

constexpr FormatEntry kFormats[] = {
    {AV_PIX_FMT_RGB8, SDL_PIXELFORMAT_RGB332},     {AV_PIX_FMT_RGB444LE, SDL_PIXELFORMAT_RGB444},
    {AV_PIX_FMT_RGB555LE, SDL_PIXELFORMAT_RGB555}, {AV_PIX_FMT_BGR555LE, SDL_PIXELFORMAT_BGR555},
    {AV_PIX_FMT_RGB565LE, SDL_PIXELFORMAT_RGB565}, {AV_PIX_FMT_BGR565LE, SDL_PIXELFORMAT_BGR565},
    {AV_PIX_FMT_RGB24, SDL_PIXELFORMAT_RGB24},     {AV_PIX_FMT_BGR24, SDL_PIXELFORMAT_BGR24},
    {AV_PIX_FMT_BGR0, SDL_PIXELFORMAT_RGB888},     {AV_PIX_FMT_RGB0, SDL_PIXELFORMAT_BGR888},
    {AV_PIX_FMT_0BGR, SDL_PIXELFORMAT_RGBX8888},   {AV_PIX_FMT_0RGB, SDL_PIXELFORMAT_BGRX8888},
    {AV_PIX_FMT_BGRA, SDL_PIXELFORMAT_ARGB8888},   {AV_PIX_FMT_ABGR, SDL_PIXELFORMAT_RGBA8888},
    {AV_PIX_FMT_RGBA, SDL_PIXELFORMAT_ABGR8888},   {AV_PIX_FMT_ARGB, SDL_PIXELFORMAT_BGRA8888},
    {AV_PIX_FMT_YUV420P, SDL_PIXELFORMAT_IYUV},    {AV_PIX_FMT_YUYV422, SDL_PIXELFORMAT_YUY2},
    {AV_PIX_FMT_UYVY422, SDL_PIXELFORMAT_UYVY},
};

bool blended(std::uint32_t f) {
  return f == SDL_PIXELFORMAT_ARGB8888 || f == SDL_PIXELFORMAT_RGBA8888 ||
         f == SDL_PIXELFORMAT_ABGR8888 || f == SDL_PIXELFORMAT_BGRA8888;
}

}  // namespace

namespace {

// a * b / c rounded to the nearest, as the libraries' rescale does.
std::int64_t rescale(std::int64_t a, std::int64_t b, std::int64_t c) {
  return static_cast<std::int64_t>((static_cast<__int128>(a) * b + c / 2) / c);
}

}  // namespace

TRect FitPicture(const TRect& area, int width, int height, AVRational sar, double aspect) {
  std::int64_t num = 1, den = 1;
  if (aspect > 0) {
    num = std::llround(aspect * 4096);
    den = 4096;
  } else if (width > 0 && height > 0) {
    if (sar.num <= 0 || sar.den <= 0) sar = {1, 1};
    num = static_cast<std::int64_t>(width) * sar.num;
    den = static_cast<std::int64_t>(height) * sar.den;
  }
  const std::int64_t g = std::gcd(num, den);
  if (g > 0) num /= g, den /= g;
  if (num <= 0 || den <= 0) num = den = 1;
  std::int64_t h = area.h;
  std::int64_t w = rescale(h, num, den) & ~std::int64_t{1};
  if (w > area.w) {
    w = area.w;
    h = rescale(w, den, num) & ~std::int64_t{1};
  }
  TRect r;
  r.x = area.x + static_cast<int>((area.w - w) / 2);
  r.y = area.y + static_cast<int>((area.h - h) / 2);
  r.w = static_cast<int>(std::max<std::int64_t>(w, 1));
  r.h = static_cast<int>(std::max<std::int64_t>(h, 1));
  return r;
}

std::uint32_t TextureFormatFor(int pix_fmt) {
  for (const FormatEntry& e : kFormats)
    if (e.av == pix_fmt) return e.sdl;
  return SDL_PIXELFORMAT_UNKNOWN;
}

bool TScreen::Create(std::uintptr_t handle, int width, int height, const std::string& title,
                     bool fullScreen, std::string& error) {
  if (FWindow && FRenderer) {
    if (FOwnWindow) sdl::SDL_SetWindowSize(FWindow, width, height);
    return true;
  }
  if (!FWindow) {
    if (handle) {
      // The media layer's X11 calls on a bad id would end the process.
      const char* driver = sdl::SDL_GetCurrentVideoDriver();
      if (driver && std::string_view(driver) == "x11" && !ValidateNativeWindow(handle, error))
        return false;
      FWindow = sdl::SDL_CreateWindowFrom(reinterpret_cast<const void*>(handle));
      FOwnWindow = false;
    } else {
      Uint32 flags = SDL_WINDOW_SHOWN | SDL_WINDOW_RESIZABLE | SDL_WINDOW_INPUT_FOCUS |
                     SDL_WINDOW_ALLOW_HIGHDPI;
      if (fullScreen) flags |= SDL_WINDOW_FULLSCREEN_DESKTOP;
      FWindow = sdl::SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_UNDEFINED,
                                      SDL_WINDOWPOS_UNDEFINED, width, height, flags);
      FOwnWindow = true;
    }
    if (!FWindow) {
      error = strprintf("Could not create SDL window: %s", sdl::SDL_GetError());
      return false;
    }
    FHandle = handle;
  }
  sdl::SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
  TRendererChoice choice = CreateWindowRenderer(FWindow, FForcedRenderer);
  if (!choice.warning.empty()) FFLogger().Log(FLogSender, llWarning, choice.warning);
  if (!choice.glRenderer.empty())
    FFLogger().Log(FLogSender, llInfo, "GL renderer: %s%s", choice.glRenderer.c_str(),
                   choice.driver == "software" ? " (rasterises in software: not used)" : "");
  if (!choice.renderer) {
    error = choice.error;
    Destroy();
    return false;
  }
  FRenderer = choice.renderer;
  FRenderDriver = choice.driver;
  return true;
}

void TScreen::Destroy() {
  for (SDL_Texture** t : {&FTexture, &FSubTexture, &FVisTexture}) {
    if (*t) sdl::SDL_DestroyTexture(*t);
    *t = nullptr;
  }
  if (FRenderer) sdl::SDL_DestroyRenderer(FRenderer);
  FRenderer = nullptr;
  if (FWindow) sdl::SDL_DestroyWindow(FWindow);
  FWindow = nullptr;
  for (SwsContext** c : {&FConvert, &FSubConvert}) {
    if (*c && ff::sws_freeContext) ff::sws_freeContext(*c);
    *c = nullptr;
  }
  FOwnWindow = false;
  FHandle = 0;
}

std::uint32_t TScreen::WindowID() const { return FWindow ? sdl::SDL_GetWindowID(FWindow) : 0; }

TRect TScreen::Area() const {
  TRect r;
  if (FRenderer) sdl::SDL_GetRendererOutputSize(FRenderer, &r.w, &r.h);
  return r;
}

void TScreen::SetSize(int width, int height) {
  if (FWindow && width > 0 && height > 0) sdl::SDL_SetWindowSize(FWindow, width, height);
}

void TScreen::Clear(std::uint32_t bgr) {
  if (!FRenderer) return;
  sdl::SDL_SetRenderDrawColor(FRenderer, bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF, 255);
  sdl::SDL_RenderClear(FRenderer);
}

void TScreen::FillRect(const TRect& r, std::uint32_t bgr) {
  if (!FRenderer || r.w <= 0 || r.h <= 0) return;
  sdl::SDL_SetRenderDrawColor(FRenderer, bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF, 255);
  const SDL_Rect rect{r.x, r.y, r.w, r.h};
  sdl::SDL_RenderFillRect(FRenderer, &rect);
}

bool TScreen::reallocTexture(SDL_Texture*& texture, std::uint32_t format, int width, int height,
                             SDL_BlendMode blend, bool clear) {
  Uint32 f = 0;
  int access = 0, w = 0, h = 0;
  if (texture && sdl::SDL_QueryTexture(texture, &f, &access, &w, &h) == 0 && f == format &&
      w == width && h == height)
    return true;
  if (texture) sdl::SDL_DestroyTexture(texture);
  texture = sdl::SDL_CreateTexture(FRenderer, format, SDL_TEXTUREACCESS_STREAMING, width, height);
  if (!texture || sdl::SDL_SetTextureBlendMode(texture, blend) < 0) return false;
  if (clear) {
    void* pixels = nullptr;
    int pitch = 0;
    if (sdl::SDL_LockTexture(texture, nullptr, &pixels, &pitch) < 0) return false;
    std::memset(pixels, 0, static_cast<std::size_t>(pitch) * static_cast<std::size_t>(height));
    sdl::SDL_UnlockTexture(texture);
  }
  FFLogger().Log(FLogSender, llVerbose, "Created %dx%d texture with %s.", width, height,
                 sdl::SDL_GetPixelFormatName(format));
  return true;
}

bool TScreen::Upload(const AVFrame* frame, std::string& error) {
  if (!FRenderer) return false;
  std::uint32_t format = TextureFormatFor(frame->format);
  const bool convert = format == SDL_PIXELFORMAT_UNKNOWN;
  if (convert) format = SDL_PIXELFORMAT_ARGB8888;
  if (!reallocTexture(FTexture, format, frame->width, frame->height,
                      blended(format) ? SDL_BLENDMODE_BLEND : SDL_BLENDMODE_NONE, false)) {
    error = strprintf("SDL texture: %s", sdl::SDL_GetError());
    return false;
  }
  FFlip = frame->linesize[0] < 0;
  if (convert) {
    FConvert = ff::sws_getCachedContext(
        FConvert, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
        frame->width, frame->height, AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!FConvert) {
      error = "Cannot initialize the conversion context";
      return false;
    }
    std::uint8_t* pixels[4] = {};
    int pitch[4] = {};
    if (sdl::SDL_LockTexture(FTexture, nullptr, reinterpret_cast<void**>(pixels), pitch) < 0) {
      error = strprintf("SDL texture: %s", sdl::SDL_GetError());
      return false;
    }
    ff::sws_scale(FConvert, frame->data, frame->linesize, 0, frame->height, pixels, pitch);
    sdl::SDL_UnlockTexture(FTexture);
    FFlip = false;
    return true;
  }
  if (format == SDL_PIXELFORMAT_IYUV) {
    const int* ls = frame->linesize;
    if (ls[0] > 0 && ls[1] > 0 && ls[2] > 0)
      return sdl::SDL_UpdateYUVTexture(FTexture, nullptr, frame->data[0], ls[0], frame->data[1],
                                       ls[1], frame->data[2], ls[2]) == 0;
    if (ls[0] < 0 && ls[1] < 0 && ls[2] < 0) {
      // Rows run upwards: start from the last row of each plane.
      const int ch = (frame->height + 1) / 2;
      return sdl::SDL_UpdateYUVTexture(FTexture, nullptr,
                                       frame->data[0] + ls[0] * (frame->height - 1), -ls[0],
                                       frame->data[1] + ls[1] * (ch - 1), -ls[1],
                                       frame->data[2] + ls[2] * (ch - 1), -ls[2]) == 0;
    }
    error = "Mixed negative and positive linesizes are not supported.";
    return false;
  }
  if (frame->linesize[0] < 0)
    return sdl::SDL_UpdateTexture(FTexture, nullptr,
                                  frame->data[0] + frame->linesize[0] * (frame->height - 1),
                                  -frame->linesize[0]) == 0;
  return sdl::SDL_UpdateTexture(FTexture, nullptr, frame->data[0], frame->linesize[0]) == 0;
}

namespace {

SDL_YUV_CONVERSION_MODE YUVConversionModeFor(const AVFrame* frame) {
  if (!frame || (frame->format != AV_PIX_FMT_YUV420P && frame->format != AV_PIX_FMT_YUYV422 &&
                 frame->format != AV_PIX_FMT_UYVY422))
    return SDL_YUV_CONVERSION_AUTOMATIC;
  if (frame->color_range == AVCOL_RANGE_JPEG) return SDL_YUV_CONVERSION_JPEG;
  switch (frame->colorspace) {
    case AVCOL_SPC_BT709:
      return SDL_YUV_CONVERSION_BT709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_SMPTE240M:
      return SDL_YUV_CONVERSION_BT601;
    default:
      return SDL_YUV_CONVERSION_AUTOMATIC;
  }
}

}  // namespace

void TScreen::DrawPicture(const TRect& r, const AVFrame* frame) {
  if (!FRenderer || !FTexture) return;
  const SDL_Rect rect{r.x, r.y, r.w, r.h};
  sdl::SDL_SetYUVConversionMode(YUVConversionModeFor(frame));
  sdl::SDL_RenderCopyEx(FRenderer, FTexture, nullptr, &rect, 0, nullptr,
                        FFlip ? SDL_FLIP_VERTICAL : SDL_FLIP_NONE);
  sdl::SDL_SetYUVConversionMode(SDL_YUV_CONVERSION_AUTOMATIC);
}

namespace {

// The part of a subtitle rectangle inside the width x height layer.
SDL_Rect clampRect(const AVSubtitleRect& r, int width, int height) {
  SDL_Rect c;
  c.x = std::clamp(r.x, 0, width);
  c.y = std::clamp(r.y, 0, height);
  c.w = std::clamp(r.w, 0, width - c.x);
  c.h = std::clamp(r.h, 0, height - c.y);
  return c;
}

}  // namespace

bool TScreen::UploadSubtitle(const AVSubtitle& sub, int width, int height, std::string& error) {
  if (!FRenderer) return false;
  if (!reallocTexture(FSubTexture, SDL_PIXELFORMAT_ARGB8888, width, height, SDL_BLENDMODE_BLEND,
                      true)) {
    error = strprintf("SDL texture: %s", sdl::SDL_GetError());
    return false;
  }
  for (unsigned i = 0; i < sub.num_rects; ++i) {
    const AVSubtitleRect& r = *sub.rects[i];
    const SDL_Rect c = clampRect(r, width, height);
    if (c.w <= 0 || c.h <= 0 || r.type != SUBTITLE_BITMAP || !r.data[0] || !r.data[1]) continue;
    FSubConvert = ff::sws_getCachedContext(FSubConvert, c.w, c.h, AV_PIX_FMT_PAL8, c.w, c.h,
                                           AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr);
    if (!FSubConvert) {
      error = "Cannot initialize the conversion context";
      return false;
    }
    std::uint8_t* pixels[4] = {};
    int pitch[4] = {};
    if (sdl::SDL_LockTexture(FSubTexture, &c, reinterpret_cast<void**>(pixels), pitch) < 0) {
      error = strprintf("SDL texture: %s", sdl::SDL_GetError());
      return false;
    }
    ff::sws_scale(FSubConvert, r.data, r.linesize, 0, c.h, pixels, pitch);
    sdl::SDL_UnlockTexture(FSubTexture);
  }
  return true;
}

void TScreen::ClearSubtitle(const AVSubtitle& sub) {
  if (!FSubTexture) return;
  int width = 0, height = 0;
  if (sdl::SDL_QueryTexture(FSubTexture, nullptr, nullptr, &width, &height) < 0) return;
  for (unsigned i = 0; i < sub.num_rects; ++i) {
    const SDL_Rect c = clampRect(*sub.rects[i], width, height);
    if (c.w <= 0 || c.h <= 0) continue;
    std::uint8_t* pixels = nullptr;
    int pitch = 0;
    if (sdl::SDL_LockTexture(FSubTexture, &c, reinterpret_cast<void**>(&pixels), &pitch) < 0)
      continue;
    for (int y = 0; y < c.h; ++y, pixels += pitch)
      std::memset(pixels, 0, static_cast<std::size_t>(c.w) * 4);
    sdl::SDL_UnlockTexture(FSubTexture);
  }
}

void TScreen::DrawSubtitle(const TRect& r) {
  if (!FRenderer || !FSubTexture) return;
  const SDL_Rect rect{r.x, r.y, r.w, r.h};
  sdl::SDL_RenderCopy(FRenderer, FSubTexture, nullptr, &rect);
}

bool TScreen::UpdateVisColumn(int width, int height, int x, const std::uint32_t* column) {
  if (!FRenderer || width <= 0 || height <= 0 || x < 0 || x >= width) return false;
  if (!reallocTexture(FVisTexture, SDL_PIXELFORMAT_ARGB8888, width, height, SDL_BLENDMODE_NONE,
                      true))
    return false;
  const SDL_Rect c{x, 0, 1, height};
  std::uint8_t* pixels = nullptr;
  int pitch = 0;
  if (sdl::SDL_LockTexture(FVisTexture, &c, reinterpret_cast<void**>(&pixels), &pitch) < 0)
    return false;
  for (int y = 0; y < height; ++y, pixels += pitch) std::memcpy(pixels, column + y, 4);
  sdl::SDL_UnlockTexture(FVisTexture);
  return true;
}

void TScreen::DrawVis(const TRect& r) {
  if (!FRenderer || !FVisTexture) return;
  const SDL_Rect rect{r.x, r.y, r.w, r.h};
  sdl::SDL_RenderCopy(FRenderer, FVisTexture, nullptr, &rect);
}

void TScreen::DropVis() {
  if (FVisTexture) sdl::SDL_DestroyTexture(FVisTexture);
  FVisTexture = nullptr;
}

void TScreen::Present() {
  if (FRenderer) sdl::SDL_RenderPresent(FRenderer);
}

bool TScreen::ReadPixels(const TRect& r, std::uint32_t* out) {
  if (!FRenderer) return false;
  const SDL_Rect rect{r.x, r.y, r.w, r.h};
  return sdl::SDL_RenderReadPixels(FRenderer, &rect, SDL_PIXELFORMAT_ARGB8888, out, r.w * 4) == 0;
}

}  // namespace corvane
