// The decoder component's Decode loop on the 1080p clip against a bare
// send/receive loop over the same file in the same run, and the time of one
// DecodePreviousFrame step on a GOP-60 clip. Times are CPU seconds of the
// decoding thread (one decoder thread on both sides).
#include <benchmark/benchmark.h>

#include <ctime>

#include "decoder/VUZezevud.h"
#include "foundation/AVHandles.h"
#include "foundation/FFLoader.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
namespace media = corvane::testmedia;

namespace {

// CPU time of the calling thread: steady under load from other processes.
double cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Decodes every picture of the file's first video stream with one thread.
int bareDecode(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (ff::avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return -1;
  InputContextPtr ic(raw);
  if (ff::avformat_find_stream_info(raw, nullptr) < 0) return -1;
  const int v = ff::av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (v < 0) return -1;
  const AVStream* st = raw->streams[v];
  const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
  CodecContextPtr ctx(ff::avcodec_alloc_context3(codec));
  ff::avcodec_parameters_to_context(ctx.get(), st->codecpar);
  ctx->pkt_timebase = st->time_base;
  ctx->thread_count = 1;
  if (ff::avcodec_open2(ctx.get(), codec, nullptr) < 0) return -1;
  PacketPtr pkt = makePacket();
  FramePtr frame = makeFrame();
  int frames = 0;
  bool eof = false;
  while (true) {
    while (ff::avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
      ++frames;
      ff::av_frame_unref(frame.get());
    }
    if (eof) break;
    if (ff::av_read_frame(raw, pkt.get()) < 0) {
      ff::avcodec_send_packet(ctx.get(), nullptr);
      eof = true;
      continue;
    }
    if (pkt->stream_index == v) ff::avcodec_send_packet(ctx.get(), pkt.get());
    ff::av_packet_unref(pkt.get());
  }
  return frames;
}

int componentDecode(const std::string& path) {
  TVUZezevud dec;
  if (!dec.LoadFile(path)) return -1;
  int frames = 0;
  while (dec.Decode()) ++frames;
  return frames;
}

void BM_DecodeLoop(benchmark::State& state) {
  if (!FFLoader().Load(TCustomDecoder::LibrarySet)) return state.SkipWithError("libraries");
  const std::string path = media::ensure(media::Kind::Bench1080p);
  double bare = 0, component = 0;
  for (auto _ : state) {
    const double t0 = cpuSeconds();
    const int a = componentDecode(path);
    const double t1 = cpuSeconds();
    const int b = bareDecode(path);
    const double t2 = cpuSeconds();
    if (a != b || a <= 0) return state.SkipWithError("frame counts differ");
    component += t1 - t0;
    bare += t2 - t1;
    state.counters["frames"] = a;
  }
  state.counters["component_s"] = component / static_cast<double>(state.iterations());
  state.counters["bare_s"] = bare / static_cast<double>(state.iterations());
  state.counters["component_over_bare"] = component / bare;
}
BENCHMARK(BM_DecodeLoop)->Unit(benchmark::kSecond)->Iterations(3)->UseRealTime();

void BM_DecodePreviousFrameGop60(benchmark::State& state) {
  if (!FFLoader().Load(TCustomDecoder::LibrarySet)) return state.SkipWithError("libraries");
  TVUZezevud dec;
  if (!dec.LoadFile(media::ensure(media::Kind::NumberedGop60)))
    return state.SkipWithError("open");
  for (auto _ : state) {
    state.PauseTiming();
    dec.Seek(0);
    for (int i = 0; i <= 59; ++i) dec.Decode();  // the last picture of the first GOP
    state.ResumeTiming();
    if (!dec.DecodePreviousFrame()) return state.SkipWithError("step");
  }
}
BENCHMARK(BM_DecodePreviousFrameGop60)->Unit(benchmark::kMillisecond);

}  // namespace
