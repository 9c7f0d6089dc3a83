// Pure arithmetic and copies of the capture inputs: input kinds, bitmap
// layouts, packet rows, and timestamps from frame and sample counts.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "foundation/Bitmap.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

namespace corvane {

// How a frame input receives its pictures. Dc (a platform device context) is
// named but not available here.
enum class TFrameInputKind { Yuv = 0, Bmp = 1, Canvas = 2, Dc = 3 };

// Exact, case-sensitive names; empty means Yuv.
std::optional<TFrameInputKind> frameInputKindFromText(std::string_view text);

// The bitmap layout that holds pictures of a bitmap-kind input:
// bgr24, gray8, pal8, bgra and rgb555le; nothing for other formats.
std::optional<BmpFormat> bitmapFormatFor(AVPixelFormat format);

// A row of `width` pixels padded to whole 4-byte units.
std::int64_t paddedBytesPerLine(std::int64_t width, int bits_per_pixel);

// Copies `height` rows of `bytes_per_line` bytes, the top row first. The
// bitmap must hold at least that many rows of at least that many bytes.
void packBitmapRows(const Bitmap& bitmap, int bytes_per_line, std::uint8_t* dst);

// round(a * b / c), halves away from zero; c must not be 0.
std::int64_t mulDivRound(std::int64_t a, std::int64_t b, std::int64_t c);
// The same, or nothing when the result does not fit in 64 bits.
std::optional<std::int64_t> mulDivRoundChecked(std::int64_t a, std::int64_t b, std::int64_t c);

// Microseconds of a frame clock that counts millionths of a frame, for
// frames lasting `duration` seconds, and the way back; nothing when the
// result does not fit in 64 bits.
std::optional<std::int64_t> frameClockToMicroseconds(std::int64_t clock, AVRational duration);
std::optional<std::int64_t> microsecondsToFrameClock(std::int64_t us, AVRational duration);

// Bits per second of `bytes_per_frame` every `duration` seconds, rounded.
std::int64_t frameBitRate(std::int64_t bytes_per_frame, AVRational duration);

// Microseconds of interleaved samples: `total_bytes` already delivered.
std::int64_t sampleMicroseconds(std::int64_t total_bytes, int bytes_per_sample, int sample_rate,
                                int channels);

}  // namespace corvane
