// The waves and the scrolling spectrum shown while audio plays without a
// picture, computed from the ring of the last played 16-bit samples.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/AVHandles.h"
#include "player/Screen.h"

extern "C" {
struct RDFTContext;
}

namespace corvane {

// Interleaved samples in a ring; indexes wrap both ways.
struct TSampleRing {
  const std::int16_t* data = nullptr;
  int size = 0;
  static int Wrap(std::int64_t i, int size) {
    const std::int64_t m = i % size;
    return static_cast<int>(m < 0 ? m + size : m);
  }
  std::int16_t at(std::int64_t i) const { return data[Wrap(i, size)]; }
};

// What the audio output reports for the display.
struct TAudioTiming {
  int channels = 1;
  int freq = 0;
  int write_buf_size = 0;          // bytes not yet handed to the device
  std::int64_t callback_time = 0;  // microseconds, 0 when no callback ran
};

// Smallest b >= 1 with 2^b >= 2 * height: the spectrum has 2^(b-1) bins.
int VisBits(int height);

// Index of the first sample shown: what the device plays now, dataUsed
// samples per channel of the display back (ring index = next write).
int DisplayStart(int ringIndex, int ringSize, const TAudioTiming& t, std::int64_t now,
                 int dataUsed);

// The waves start where the signal falls through zero: among the positions up to 1000 samples
// before start where the samples 4 and 5 frames later differ in sign, the one
// whose sample most exceeds the one 9 frames later; start when none does.
int WaveStart(const TSampleRing& ring, int start, int channels);

// The filled rectangles of the waves in area: one vertical bar per column
// and channel from the channel's centre line, and the lines between channels.
void WaveRects(const TSampleRing& ring, int start, int channels, const TRect& area,
               std::vector<TRect>& bars, std::vector<TRect>& lines);

// One column of the spectrum at a time, from a real transform of 2^bits samples.
class TSpectrum {
 public:
  TSpectrum() = default;
  ~TSpectrum();
  TSpectrum(const TSpectrum&) = delete;
  TSpectrum& operator=(const TSpectrum&) = delete;

  // The column of `height` pixels, top row first, 0x00RRGGBB: red the first
  // channel's magnitude, green the second's (or the first's), blue their
  // mean. Only the first two of `channels` are shown. False when the
  // transform cannot be set up.
  bool Column(const TSampleRing& ring, int start, int channels, int height,
              std::vector<std::uint32_t>& column);

  int xpos = 0;  // the next column to write

 private:
  RDFTContext* FRdft = nullptr;
  int FBits = 0;
  AVMemPtr<float> FData;
};

}  // namespace corvane
