// The player with a screen: it draws into a window of its own or into the
// application's native window (an X11 window id). The host reports resize,
// expose and close of a native window through the Screen* calls; the play
// thread applies them, and all window, renderer and texture work stays there.
#pragma once

#include <atomic>
#include <concepts>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/Bitmap.h"
#include "foundation/SDLEventThread.h"
#include "player/AudioDisplay.h"
#include "player/FFBasePlayer.h"
#include "player/Screen.h"

namespace corvane {

class TCustomPlayer : public TFFBasePlayer {
 public:
  explicit TCustomPlayer(TComponent* AOwner = nullptr);
  ~TCustomPlayer() override;
  const char* ClassName() const override { return "TCustomPlayer"; }

  using TFFBasePlayer::Open;
  using TFFBasePlayer::TryOpen;
  // AScreenHandle: 0 for a window of the player's own, else the native window.
  bool Open(const std::string& AFileName, std::uintptr_t AScreenHandle, bool APaused = false);
  bool TryOpen(const std::string& AFileName, std::uintptr_t AScreenHandle, bool APaused = false);
  // Open(file, 0) and the like: any integer but a bool is a screen handle.
  template <std::integral H>
  requires(!std::same_as<H, bool> &&
           !std::same_as<H, std::uintptr_t>) bool Open(const std::string& AFileName,
                                                       H AScreenHandle, bool APaused = false) {
    return Open(AFileName, static_cast<std::uintptr_t>(AScreenHandle), APaused);
  }
  template <std::integral H>
  requires(!std::same_as<H, bool> &&
           !std::same_as<H, std::uintptr_t>) bool TryOpen(const std::string& AFileName,
                                                          H AScreenHandle, bool APaused = false) {
    return TryOpen(AFileName, static_cast<std::uintptr_t>(AScreenHandle), APaused);
  }

  std::uintptr_t ScreenHandle() const { return FScreenHandle; }
  // Takes effect at the next picture, on the play thread.
  void SetScreenHandle(std::uintptr_t AHandle);
  void ScreenResized(int AWidth, int AHeight);
  void ScreenExposed();
  void ScreenClosed();

  // Colours are 0x00BBGGRR: the background, the lines between the channels
  // of the waves display and the waves.
  std::uint32_t BackColor() const { return FBackColor; }
  void SetBackColor(std::uint32_t v);
  std::uint32_t LineColor() const { return FLineColor; }
  void SetLineColor(std::uint32_t v) { FLineColor = v; }
  std::uint32_t WaveColor() const { return FWaveColor; }
  void SetWaveColor(std::uint32_t v) { FWaveColor = v; }
  double AspectRatio() const { return FAspectRatio; }
  // 0: the picture's own, > 0: this width/height, < 0: fill the area.
  void SetAspectRatio(double v);
  int ClearScreenAfterStop() const { return FClearScreenAfterStop; }
  void SetClearScreenAfterStop(int v) { FClearScreenAfterStop = v; }
  std::string WindowTitle() const {
    std::lock_guard g(FTitleLock);
    return FWindowTitle;
  }
  void SetWindowTitle(const std::string& v) {
    std::lock_guard g(FTitleLock);
    FWindowTitle = v;
  }
  // A window of the player's own fills the screen; a change while playing
  // makes the window again.
  bool is_full_screen() const { return FFullScreen; }
  void Setis_full_screen(bool v);
  int ScreenWidth() const { return FScreenWidth; }
  int ScreenHeight() const { return FScreenHeight; }
  void SetScreenSize(int w, int h) {
    FScreenWidth = w;
    FScreenHeight = h;
  }
  // The rectangle of the last drawn picture in the window.
  TRect DisplayRect() const;
  // A rectangle of the window in picture coordinates.
  TRect DisplayToActualRect(const TRect& ADisplayRect) const;
  // The picture on screen as a bitmap, with its timestamp (microseconds from the start).
  bool CurrentFrame(Bitmap& ABitmap, std::int64_t& APTS);
  // A render driver for the player's window ("software", "opengl", ...),
  // used from the next window on; empty: an accelerated one, or the software
  // renderer when GL rasterises on the CPU.
  std::string Renderer() const;
  void SetRenderer(const std::string& v);
  // The render driver of the window, once one was made.
  std::string RenderDriver() const;
  // The media layer's id of the window drawn into, 0 without one.
  std::uint32_t ScreenWindowID() const { return EventClient()->WindowID(); }

  // A key pressed in the player's window (an SDL key code). With
  // TriggerEventInMainThread and a dispatcher it is posted to the main
  // thread, otherwise raised on the media layer's event thread.
  TEventSlot<void(TObject* Sender, int AKey)> OnKeyDown{"OnKeyDown", SlotThread::Main, this,
                                                        MainSwitch()};
  // Raised on the play thread before each picture is drawn, with no lock held.
  TEventSlot<void(TObject* Sender)> OnVideoRender{"OnVideoRender", SlotThread::Raiser, this};

  // The window's pixels in the drawn rectangle r, 0xAARRGGBB, read on the play thread.
  bool ReadScreen(const TRect& r, std::vector<std::uint32_t>& out);

 protected:
  bool HasScreen() const override { return !DisableDisplay(); }
  bool ScreenRequired() const override { return FScreenHandle != 0; }
  void Draw(TVideoState* is) override;
  void VideoRender() override;
  void RaiseFileOpen(const TFileOpenInfo& info, const std::atomic<bool>& gone) override;
  void ClearScreen(bool AReplaced) override;
  void ClearHandlers() override;
  void HandleWindowEvent(TVideoState* is, const TPlayRecord& r) override;
  void MediaEvent(const SDL_Event& e) override;
  void SubtitleExpired(TFFFrame& sp) override;

 private:
  void keyDown(const SDL_Event& e);
  void destroyScreen();
  void drawPicture(TVideoState* is, const TRect& area);
  void drawAudio(TVideoState* is, const TRect& area);

  // Play thread only.
  TScreen FScreen{this};
  TSpectrum FSpectrum;
  int FLastWaveStart = 0;
  std::vector<TRect> FBars, FLines;
  std::vector<std::uint32_t> FColumn;

  std::atomic<std::uintptr_t> FScreenHandle{0};
  std::atomic<bool> FHandleChanged{false};
  std::atomic<bool> FNoScreenNow{false};  // the window could not be created
  std::atomic<std::uint32_t> FBackColor{0};
  std::atomic<std::uint32_t> FLineColor{0xFF0000};
  std::atomic<std::uint32_t> FWaveColor{0xFFFFFF};
  std::atomic<double> FAspectRatio{0};
  std::atomic<int> FClearScreenAfterStop{-1};
  std::atomic<int> FScreenWidth{0}, FScreenHeight{0};
  mutable std::mutex FTitleLock;
  std::string FWindowTitle;
  mutable std::mutex FRendererLock;
  std::string FRenderer, FRenderDriver;
  std::atomic<bool> FFullScreen{false}, FFullScreenChanged{false};
  mutable std::mutex FDisplayRectLock;
  TRect FDisplayRect;
  std::mutex FReadLock;
  std::condition_variable FReadDone;
  bool FReadWanted = false, FReadOk = false;
  TRect FReadRect;
  std::vector<std::uint32_t> FReadBuf;
};

class TRORizozu : public TCustomPlayer {
 public:
  using TCustomPlayer::TCustomPlayer;
  ~TRORizozu() override { StopPlayerThreads(); }
  const char* ClassName() const override { return "TRORizozu"; }
};

}  // namespace corvane
