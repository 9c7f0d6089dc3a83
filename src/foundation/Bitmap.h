// Toolkit-neutral bitmap and the description record of a packed RGB picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace corvane {

// Pixel layouts, little-endian, with the matching library pixel format:
//   pf8bit   3:3:2, blue high, red low, no palette    AV_PIX_FMT_BGR8
//   pf15bit  x:5:5:5, red high                        AV_PIX_FMT_RGB555LE
//   pf16bit  5:6:5, red high                          AV_PIX_FMT_RGB565LE
//   pf24bit  B,G,R                                    AV_PIX_FMT_BGR24
//   pf32bit  B,G,R,A                                  AV_PIX_FMT_BGRA
enum class BmpFormat { pf8bit = 3, pf15bit, pf16bit, pf24bit, pf32bit };

bool isValidBmpFormat(BmpFormat f);
// Storage bits per pixel (16 for pf15bit). Asserts a valid format.
int bmpBitsPerPixel(BmpFormat f);
AVPixelFormat bmpPixelFormat(BmpFormat f);

// The lock of a bitmap's pixels, for a bitmap that two threads may reach:
// the engine holds it while it writes a hooked or previewed bitmap and for
// the handler's call; an application that keeps the bitmap takes it to read.
// Recursive, so a handler may take it again; a copy has a lock of its own.
// Never wait for a task (Stop with waiting) while holding a canvas: the task
// thread takes it after the handler returns.
class CanvasLock {
 public:
  CanvasLock() = default;
  CanvasLock(const CanvasLock&) noexcept {}
  CanvasLock& operator=(const CanvasLock&) noexcept { return *this; }
  void lock() { FMutex.lock(); }
  void unlock() { FMutex.unlock(); }
  bool try_lock() { return FMutex.try_lock(); }

 private:
  std::recursive_mutex FMutex;
};

// Rows top first, each padded to a multiple of 4 bytes.
struct Bitmap {
  int width = 0;
  int height = 0;
  BmpFormat format = BmpFormat::pf32bit;
  bool alpha_defined = false;
  int stride = 0;
  std::vector<std::uint8_t> pixels;
  mutable CanvasLock canvas;

  static int strideFor(int width, BmpFormat f);

  // Both keep the pixels when nothing changes and stride and pixels fit the
  // size and format; otherwise the pixels are reallocated and cleared to zero.
  // Negative sizes are asserted.
  void setSize(int w, int h);
  void setFormat(BmpFormat f);
  // Stride and pixel count agree with the size and format.
  bool consistent() const;

  std::uint8_t* row(int y) { return pixels.data() + static_cast<std::size_t>(y) * stride; }
  const std::uint8_t* row(int y) const {
    return pixels.data() + static_cast<std::size_t>(y) * stride;
  }

 private:
  void reallocate();
};

// Description of a packed RGB picture: one plane, rows top first.
struct DibInfo {
  std::int32_t type = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t bytesPerRow = 0;
  std::int16_t planes = 0;  // 1 while a picture is described
  std::int16_t bitsPerPixel = 0;
  std::uint8_t* bits = nullptr;
};

}  // namespace corvane
