// A 1080p YUV 4:2:0 picture to BGRA through TFormatConverter::PictureToRGB,
// against a bare sws_scale of the same conversion measured in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "foundation/FFLoader.h"
#include "foundation/FormatConverter.h"

using namespace corvane;

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

struct AvFree {
  void operator()(std::uint8_t* p) const { ff::av_free(p); }
};
struct SwsFree {
  void operator()(SwsContext* c) const { ff::sws_freeContext(c); }
};
using Buffer = std::unique_ptr<std::uint8_t, AvFree>;

// A picture buffer laid out with `align`, plane pointers in data/linesize.
Buffer allocPicture(AVPixelFormat f, int align, std::uint8_t* data[4], int linesize[4]) {
  const int size = ff::av_image_get_buffer_size(f, kWidth, kHeight, align);
  Buffer buf(static_cast<std::uint8_t*>(ff::av_malloc(static_cast<size_t>(size))));
  if (buf) ff::av_image_fill_arrays(data, linesize, buf.get(), f, kWidth, kHeight, align);
  return buf;
}

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Arg: copy to the bitmap. Each iteration converts one picture both ways, in
// turn. Counters: milliseconds per picture of each, and conv_time_over_bare,
// converter time / bare time (1.0 = no overhead).
void BM_PictureToBGRA(benchmark::State& state) {
  const bool copy = state.range(0) != 0;
  if (!FFLoader().Load(kEncoderLibraries)) {
    state.SkipWithError(FFLoader().LastErrMsg().c_str());
    return;
  }
  std::uint8_t* src[4];
  int srcLines[4];
  Buffer srcBuf = allocPicture(AV_PIX_FMT_YUV420P, 32, src, srcLines);  // as decoders align
  std::uint8_t* dst[4];
  int dstLines[4];
  Buffer dstBuf = allocPicture(AV_PIX_FMT_BGRA, 1, dst, dstLines);
  if (!srcBuf || !dstBuf) {
    state.SkipWithError("no memory");
    return;
  }
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      src[0][y * srcLines[0] + x] = static_cast<std::uint8_t>(x + y);
      if (x < kWidth / 2 && y < kHeight / 2) {
        src[1][y * srcLines[1] + x] = static_cast<std::uint8_t>(x);
        src[2][y * srcLines[2] + x] = static_cast<std::uint8_t>(y);
      }
    }
  std::unique_ptr<SwsContext, SwsFree> bare(
      ff::sws_getCachedContext(nullptr, kWidth, kHeight, AV_PIX_FMT_YUV420P, kWidth, kHeight,
                               AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr));
  TFormatConverter conv;
  double convTime = 0, bareTime = 0;

  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!conv.PictureToRGB(src, srcLines, AV_PIX_FMT_YUV420P, kWidth, kHeight, copy)) {
      state.SkipWithError(conv.LastErrMsg().c_str());
      break;
    }
    benchmark::ClobberMemory();
    const auto t1 = std::chrono::steady_clock::now();
    ff::sws_scale(bare.get(), src, srcLines, 0, kHeight, dst, dstLines);
    benchmark::ClobberMemory();
    const auto t2 = std::chrono::steady_clock::now();
    convTime += seconds(t1 - t0);
    bareTime += seconds(t2 - t1);
  }
  const auto n = static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations());
  state.counters["conv_ms"] = convTime / n * 1e3;
  state.counters["bare_ms"] = bareTime / n * 1e3;
  state.counters["conv_time_over_bare"] = convTime / bareTime;
}

BENCHMARK(BM_PictureToBGRA)
    ->ArgName("copy")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
