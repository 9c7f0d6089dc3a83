#include "player/AudioDisplay.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "foundation/api/avcodec.h"
#include "foundation/api/avutil.h"

namespace corvane {

int VisBits(int height) {
  int bits = 1;
  while ((std::int64_t{1} << bits) < 2 * static_cast<std::int64_t>(height)) ++bits;
  return bits;
}

int DisplayStart(int ringIndex, int ringSize, const TAudioTiming& t, std::int64_t now,
                 int dataUsed) {
  const int channels = std::max(1, t.channels);
  std::int64_t delay = t.write_buf_size / (2 * channels);
  if (t.callback_time) delay -= (now - t.callback_time) * t.freq / 1000000;
  delay += 2 * static_cast<std::int64_t>(dataUsed);
  delay = std::max<std::int64_t>(delay, dataUsed);
  return TSampleRing::Wrap(ringIndex - delay * channels, ringSize);
}

int WaveStart(const TSampleRing& ring, int start, int channels) {
  int best = start;
  int score = INT_MIN;
  for (int i = 0; i < 1000; i += channels) {
    const std::int64_t idx = static_cast<std::int64_t>(start) - i;
    const int b = ring.at(idx + 4 * channels);
    const int d = ring.at(idx + 5 * channels);
    const int s = ring.at(idx) - ring.at(idx + 9 * channels);
    if ((b < 0) != (d < 0) && s > score) {
      score = s;
      best = TSampleRing::Wrap(idx, ring.size);
    }
  }
  return best;
}

void WaveRects(const TSampleRing& ring, int start, int channels, const TRect& area,
               std::vector<TRect>& bars, std::vector<TRect>& lines) {
  bars.clear();
  lines.clear();
  channels = std::max(1, channels);
  const int h = area.h / channels;
  const int scale = h * 9 / 20;
  for (int ch = 0; ch < channels; ++ch) {
    const int centre = area.y + ch * h + h / 2;
    std::int64_t i = static_cast<std::int64_t>(start) + ch;
    for (int x = 0; x < area.w; ++x, i += channels) {
      const int v = (ring.at(i) * scale) >> 15;
      if (v > 0)
        bars.push_back({area.x + x, centre, 1, v});
      else if (v < 0)
        bars.push_back({area.x + x, centre + v, 1, -v});
    }
  }
  for (int ch = 1; ch < channels; ++ch) lines.push_back({area.x, area.y + ch * h, area.w, 1});
}

TSpectrum::~TSpectrum() {
  if (FRdft) ff::av_rdft_end(FRdft);
}

bool TSpectrum::Column(const TSampleRing& ring, int start, int channels, int height,
                       std::vector<std::uint32_t>& column) {
  const int bits = VisBits(height);
  const int n = 1 << (bits - 1);
  if (bits != FBits || !FRdft) {
    if (FRdft) ff::av_rdft_end(FRdft);
    FRdft = nullptr;
    FBits = 0;
    FData.reset(
        static_cast<float*>(ff::av_malloc(static_cast<std::size_t>(n) * 4 * sizeof(float))));
    FRdft = ff::av_rdft_init(bits, DFT_R2C);
    if (!FRdft || !FData) return false;
    FBits = bits;
  }
  channels = std::max(1, channels);
  const int shown = std::min(channels, 2);
  float* data[2] = {FData.get(), FData.get() + 2 * n};
  for (int ch = 0; ch < shown; ++ch) {
    std::int64_t i = static_cast<std::int64_t>(start) + ch;
    for (int x = 0; x < 2 * n; ++x, i += channels) {
      const double w = static_cast<double>(x - n) / n;
      data[ch][x] = static_cast<float>(ring.at(i) * (1.0 - w * w));
    }
    ff::av_rdft_calc(FRdft, data[ch]);
  }
  // Bin y holds re, im at 2y, 2y + 1 (bin 0: the DC and Nyquist terms).
  const double norm = 1.0 / std::sqrt(static_cast<double>(n));
  const auto magnitude = [&](const float* d, int y) {
    const double a = std::round(std::sqrt(norm * std::hypot(d[2 * y], d[2 * y + 1])));
    return static_cast<std::uint32_t>(std::min(a, 255.0));
  };
  column.assign(static_cast<std::size_t>(height), 0);
  for (int y = 0; y < height; ++y) {
    const std::uint32_t a = magnitude(data[0], y);
    const std::uint32_t b = shown > 1 ? magnitude(data[1], y) : a;
    column[static_cast<std::size_t>(height - 1 - y)] = (a << 16) + (b << 8) + (a + b) / 2;
  }
  return true;
}

}  // namespace corvane
