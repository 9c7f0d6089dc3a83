#include "capture/FramePacking.h"

#include <cstring>
#include <limits>

namespace corvane {

std::optional<TFrameInputKind> frameInputKindFromText(std::string_view text) {
  if (text.empty() || text == "yuv") return TFrameInputKind::Yuv;
  if (text == "bmp") return TFrameInputKind::Bmp;
  if (text == "canvas") return TFrameInputKind::Canvas;
  if (text == "dc") return TFrameInputKind::Dc;
  return std::nullopt;
}

std::optional<BmpFormat> bitmapFormatFor(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_BGR24:
      return BmpFormat::pf24bit;
    case AV_PIX_FMT_GRAY8:
    case AV_PIX_FMT_PAL8:
      return BmpFormat::pf8bit;
    case AV_PIX_FMT_BGRA:
      return BmpFormat::pf32bit;
    case AV_PIX_FMT_RGB555LE:  // x:5:5:5, the 15-bit layout stored in 16 bits
      return BmpFormat::pf15bit;
    default:
      return std::nullopt;
  }
}

std::int64_t paddedBytesPerLine(std::int64_t width, int bits_per_pixel) {
  return (width * bits_per_pixel + 31) / 32 * 4;
}

void packBitmapRows(const Bitmap& bitmap, int bytes_per_line, std::uint8_t* dst) {
  for (int y = 0; y < bitmap.height; ++y)
    std::memcpy(dst + static_cast<std::size_t>(y) * bytes_per_line, bitmap.row(y),
                static_cast<std::size_t>(bytes_per_line));
}

namespace {

// The exact quotient; |a * b| < 2^126 keeps 2 * n within 128 bits.
__int128 divRound128(std::int64_t a, std::int64_t b, std::int64_t c) {
  __int128 n = static_cast<__int128>(a) * b;
  __int128 d = c;
  if (d < 0) {
    n = -n;
    d = -d;
  }
  return n >= 0 ? (2 * n + d) / (2 * d) : -((-2 * n + d) / (2 * d));
}

}  // namespace

std::int64_t mulDivRound(std::int64_t a, std::int64_t b, std::int64_t c) {
  return static_cast<std::int64_t>(divRound128(a, b, c));
}

std::optional<std::int64_t> mulDivRoundChecked(std::int64_t a, std::int64_t b, std::int64_t c) {
  const __int128 q = divRound128(a, b, c);
  if (q > std::numeric_limits<std::int64_t>::max() || q < std::numeric_limits<std::int64_t>::min())
    return std::nullopt;
  return static_cast<std::int64_t>(q);
}

std::optional<std::int64_t> frameClockToMicroseconds(std::int64_t clock, AVRational duration) {
  return mulDivRoundChecked(clock, duration.num, duration.den);
}

std::optional<std::int64_t> microsecondsToFrameClock(std::int64_t us, AVRational duration) {
  return mulDivRoundChecked(us, duration.den, duration.num);
}

std::int64_t frameBitRate(std::int64_t bytes_per_frame, AVRational duration) {
  return mulDivRound(bytes_per_frame * 8, duration.den, duration.num);
}

std::int64_t sampleMicroseconds(std::int64_t total_bytes, int bytes_per_sample, int sample_rate,
                                int channels) {
  const std::int64_t per_byte = 1000000 / bytes_per_sample;
  return static_cast<std::int64_t>(static_cast<__int128>(per_byte) * total_bytes /
                                   (static_cast<std::int64_t>(sample_rate) * channels));
}

}  // namespace corvane
