#include "foundation/Bitmap.h"

#include <climits>

#include "foundation/Errors.h"

namespace corvane {

bool isValidBmpFormat(BmpFormat f) { return f >= BmpFormat::pf8bit && f <= BmpFormat::pf32bit; }

int bmpBitsPerPixel(BmpFormat f) {
  switch (f) {
    case BmpFormat::pf8bit:
      return 8;
    case BmpFormat::pf15bit:
    case BmpFormat::pf16bit:
      return 16;
    case BmpFormat::pf24bit:
      return 24;
    case BmpFormat::pf32bit:
      return 32;
  }
  CORVANE_ASSERT(false, "Invalid bitmap format");
}

AVPixelFormat bmpPixelFormat(BmpFormat f) {
  switch (f) {
    case BmpFormat::pf8bit:
      return AV_PIX_FMT_BGR8;
    case BmpFormat::pf15bit:
      return AV_PIX_FMT_RGB555LE;
    case BmpFormat::pf16bit:
      return AV_PIX_FMT_RGB565LE;
    case BmpFormat::pf24bit:
      return AV_PIX_FMT_BGR24;
    case BmpFormat::pf32bit:
      return AV_PIX_FMT_BGRA;
  }
  CORVANE_ASSERT(false, "Invalid bitmap format");
}

int Bitmap::strideFor(int width, BmpFormat f) {
  CORVANE_ASSERT(width >= 0, "Negative bitmap width");
  const std::int64_t bytes = (static_cast<std::int64_t>(width) * bmpBitsPerPixel(f) + 31) / 32 * 4;
  CORVANE_ASSERT(bytes <= INT_MAX, "Bitmap row too long");
  return static_cast<int>(bytes);
}

void Bitmap::setSize(int w, int h) {
  CORVANE_ASSERT(w >= 0 && h >= 0, "Negative bitmap size");
  if (w == width && h == height && consistent()) return;
  width = w;
  height = h;
  reallocate();
}

void Bitmap::setFormat(BmpFormat f) {
  CORVANE_ASSERT(isValidBmpFormat(f), "Invalid bitmap format");
  if (f == format && consistent()) return;
  format = f;
  reallocate();
}

bool Bitmap::consistent() const {
  return stride == strideFor(width, format) &&
         pixels.size() == static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
}

void Bitmap::reallocate() {
  stride = strideFor(width, format);
  pixels.assign(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height), 0);
}

}  // namespace corvane
