// The media-layer window and renderer a player draws into, used on the play
// thread only: picture upload in the texture formats the renderer takes (the
// scaler for the rest), fitting with the aspect ratio, clearing, presenting.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/api/sdl2.h"
#include "foundation/api/swscale.h"

extern "C" {
struct AVFrame;
struct AVSubtitle;
}

namespace corvane {

class TObject;

struct TRect {
  int x = 0, y = 0, w = 0, h = 0;
  bool operator==(const TRect&) const = default;
};

// The picture (width x height, sample aspect ratio sar) fitted into the area,
// centred, with even sizes; aspect > 0 replaces the picture's own ratio.
TRect FitPicture(const TRect& area, int width, int height, AVRational sar, double aspect);

// The texture format for a library pixel format, SDL_PIXELFORMAT_UNKNOWN when
// the picture must be converted first.
std::uint32_t TextureFormatFor(int pix_fmt);

class TScreen {
 public:
  // Texture creation is logged for ALogSender.
  explicit TScreen(TObject* ALogSender = nullptr) : FLogSender(ALogSender) {}
  ~TScreen() { Destroy(); }
  TScreen(const TScreen&) = delete;
  TScreen& operator=(const TScreen&) = delete;

  // A window of the screen's own (handle 0) or one wrapping the native
  // window; false with error set.
  bool Create(std::uintptr_t handle, int width, int height, const std::string& title,
              bool fullScreen, std::string& error);
  void Destroy();
  bool Ready() const { return FRenderer != nullptr; }
  std::uintptr_t Handle() const { return FHandle; }
  bool OwnWindow() const { return FOwnWindow; }
  std::uint32_t WindowID() const;
  const std::string& RenderDriver() const { return FRenderDriver; }
  // A render driver to use at the next Create ("software", "opengl", ...);
  // empty: chosen as CreateWindowRenderer does.
  void SetForcedRenderer(const std::string& name) { FForcedRenderer = name; }
  // The drawing area in pixels.
  TRect Area() const;
  void SetSize(int width, int height);

  void Clear(std::uint32_t bgr);                        // 0x00BBGGRR
  void FillRect(const TRect& rect, std::uint32_t bgr);  // skips empty rectangles
  // Uploads the frame (false with error set).
  bool Upload(const AVFrame* frame, std::string& error);
  // Copies the uploaded picture into rect, flipped when its rows run upwards,
  // converting YUV with the frame's colour space and range.
  void DrawPicture(const TRect& rect, const AVFrame* frame);

  // Bitmap subtitles: the rectangles of sub on a transparent width x height
  // layer that is drawn over the picture.
  bool UploadSubtitle(const AVSubtitle& sub, int width, int height, std::string& error);
  // Clears the rectangles of sub from the layer again.
  void ClearSubtitle(const AVSubtitle& sub);
  void DrawSubtitle(const TRect& rect);

  // The spectrum: a width x height layer of 0x00RRGGBB pixels, one column
  // written at a time (created black when the size changes).
  bool UpdateVisColumn(int width, int height, int x, const std::uint32_t* column);
  void DrawVis(const TRect& rect);
  void DropVis();
  void Present();
  // Reads the drawn pixels as 0xAARRGGBB values (for tests and snapshots).
  bool ReadPixels(const TRect& rect, std::uint32_t* out);

 private:
  bool reallocTexture(SDL_Texture*& texture, std::uint32_t format, int width, int height,
                      SDL_BlendMode blend, bool clear);

  TObject* FLogSender;
  SDL_Window* FWindow = nullptr;
  SDL_Renderer* FRenderer = nullptr;
  SDL_Texture* FTexture = nullptr;
  SDL_Texture* FSubTexture = nullptr;
  SDL_Texture* FVisTexture = nullptr;
  SwsContext* FConvert = nullptr;
  SwsContext* FSubConvert = nullptr;
  std::uintptr_t FHandle = 0;
  bool FOwnWindow = false;
  bool FFlip = false;
  std::string FRenderDriver;
  std::string FForcedRenderer;
};

}  // namespace corvane
