// One transcoding task against a bare decode-encode-mux loop over the same
// libraries with the same encoder settings, in the same run: the generated
// 1920x1080 30 fps H.264 + AAC clip to H.264 (preset veryfast) + AAC in MP4,
// and the same clip copied (-c copy) against a bare read-write loop. Process
// CPU seconds and wall seconds of each side (the transcode as the median of
// three alternating rounds), their ratios, and the peak resident memory
// after the first task (measured first).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "BenchTask.h"
#include "foundation/AVHandles.h"
#include "foundation/FFLoader.h"
#include "foundation/Logger.h"
#include "foundation/api/avdevice.h"
#include "testmedia/TestMedia.h"
#include "transcoder/Transcoder.h"

using namespace corvane;
using namespace corvane::bench;
namespace media = corvane::testmedia;

namespace {

// ---- The bare loops

struct BareStream {
  CodecContextPtr dec, enc;
  AVStream* out = nullptr;
  int index = -1;
};

bool openDecoder(AVFormatContext* ic, BareStream& s) {
  const AVStream* st = ic->streams[s.index];
  const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
  s.dec.reset(ff::avcodec_alloc_context3(codec));
  ff::avcodec_parameters_to_context(s.dec.get(), st->codecpar);
  s.dec->pkt_timebase = st->time_base;
  TDictionary opts;
  opts.set("threads", "auto");  // as the task opens its decoders
  return ff::avcodec_open2(s.dec.get(), codec, opts.address()) >= 0;
}

bool openEncoder(AVFormatContext* oc, BareStream& s, const AVStream* in) {
  const bool video = in->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
  const AVCodec* codec = ff::avcodec_find_encoder_by_name(video ? "libx264" : "aac");
  if (!codec) return false;
  s.enc.reset(ff::avcodec_alloc_context3(codec));
  AVCodecContext* e = s.enc.get();
  TDictionary opts;
  if (video) {
    e->width = s.dec->width;
    e->height = s.dec->height;
    e->pix_fmt = s.dec->pix_fmt;
    e->sample_aspect_ratio = s.dec->sample_aspect_ratio;
    e->framerate = in->avg_frame_rate;
    e->time_base = AVRational{in->avg_frame_rate.den, in->avg_frame_rate.num};
    opts.set("preset", "veryfast");
  } else {
    e->sample_rate = s.dec->sample_rate;
    e->sample_fmt = codec->sample_fmts[0];
    ff::av_channel_layout_copy(&e->ch_layout, &s.dec->ch_layout);
    e->time_base = AVRational{1, e->sample_rate};
  }
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (ff::avcodec_open2(e, codec, opts.address()) < 0) return false;
  s.out = ff::avformat_new_stream(oc, nullptr);
  s.out->time_base = e->time_base;
  return ff::avcodec_parameters_from_context(s.out->codecpar, e) >= 0;
}

void drainEncoder(AVFormatContext* oc, BareStream& s, AVPacket* pkt) {
  while (ff::avcodec_receive_packet(s.enc.get(), pkt) == 0) {
    ff::av_packet_rescale_ts(pkt, s.enc->time_base, s.out->time_base);
    pkt->stream_index = s.out->index;
    ff::av_interleaved_write_frame(oc, pkt);
  }
}

void encodeDecoded(AVFormatContext* oc, BareStream& s, AVFrame* frame, AVPacket* pkt) {
  while (ff::avcodec_receive_frame(s.dec.get(), frame) == 0) {
    frame->pts =
        ff::av_rescale_q(frame->best_effort_timestamp, s.dec->pkt_timebase, s.enc->time_base);
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    ff::avcodec_send_frame(s.enc.get(), frame);
    ff::av_frame_unref(frame);
    drainEncoder(oc, s, pkt);
  }
}

// The probed input and an output context for the file name.
bool openPair(const std::string& in, const std::string& out, InputContextPtr& ic,
              OutputContextPtr& oc) {
  AVFormatContext* raw = nullptr;
  if (ff::avformat_open_input(&raw, in.c_str(), nullptr, nullptr) < 0) return false;
  ic.reset(raw);
  if (ff::avformat_find_stream_info(raw, nullptr) < 0) return false;
  AVFormatContext* rawOut = nullptr;
  if (ff::avformat_alloc_output_context2(&rawOut, nullptr, nullptr, out.c_str()) < 0) return false;
  oc.reset(rawOut);
  return true;
}

bool bareTranscode(const std::string& in, const std::string& out) {
  InputContextPtr ic;
  OutputContextPtr oc;
  if (!openPair(in, out, ic, oc)) return false;
  AVFormatContext* raw = ic.get();
  AVFormatContext* rawOut = oc.get();
  BareStream streams[2];
  streams[0].index = ff::av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  streams[1].index = ff::av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  for (BareStream& s : streams)
    if (s.index < 0 || !openDecoder(raw, s) || !openEncoder(rawOut, s, raw->streams[s.index]))
      return false;
  if (ff::avio_open(&rawOut->pb, out.c_str(), AVIO_FLAG_WRITE) < 0 ||
      ff::avformat_write_header(rawOut, nullptr) < 0)
    return false;
  PacketPtr pkt = makePacket(), opkt = makePacket();
  FramePtr frame = makeFrame();
  while (ff::av_read_frame(raw, pkt.get()) >= 0) {
    for (BareStream& s : streams)
      if (pkt->stream_index == s.index) {
        ff::avcodec_send_packet(s.dec.get(), pkt.get());
        encodeDecoded(rawOut, s, frame.get(), opkt.get());
      }
    ff::av_packet_unref(pkt.get());
  }
  for (BareStream& s : streams) {
    ff::avcodec_send_packet(s.dec.get(), nullptr);
    encodeDecoded(rawOut, s, frame.get(), opkt.get());
    ff::avcodec_send_frame(s.enc.get(), nullptr);
    drainEncoder(rawOut, s, opkt.get());
  }
  return ff::av_write_trailer(rawOut) >= 0;
}

bool bareCopy(const std::string& in, const std::string& out) {
  InputContextPtr ic;
  OutputContextPtr oc;
  if (!openPair(in, out, ic, oc)) return false;
  AVFormatContext* raw = ic.get();
  AVFormatContext* rawOut = oc.get();
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    AVStream* st = ff::avformat_new_stream(rawOut, nullptr);
    ff::avcodec_parameters_copy(st->codecpar, raw->streams[i]->codecpar);
    st->codecpar->codec_tag = 0;
    st->time_base = raw->streams[i]->time_base;
  }
  if (ff::avio_open(&rawOut->pb, out.c_str(), AVIO_FLAG_WRITE) < 0 ||
      ff::avformat_write_header(rawOut, nullptr) < 0)
    return false;
  PacketPtr pkt = makePacket();
  while (ff::av_read_frame(raw, pkt.get()) >= 0) {
    const AVStream* in_st = raw->streams[pkt->stream_index];
    ff::av_packet_rescale_ts(pkt.get(), in_st->time_base,
                             rawOut->streams[pkt->stream_index]->time_base);
    pkt->pos = -1;
    ff::av_interleaved_write_frame(rawOut, pkt.get());
  }
  return ff::av_write_trailer(rawOut) >= 0;
}

long peakResidentKiB() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

void report(benchmark::State& state, const Cost& task, const Cost& bare) {
  state.counters["task_cpu_s"] = task.cpu;
  state.counters["bare_cpu_s"] = bare.cpu;
  state.counters["cpu_ratio"] = bare.cpu > 0 ? task.cpu / bare.cpu : 0;
  state.counters["task_wall_s"] = task.wall;
  state.counters["bare_wall_s"] = bare.wall;
  state.counters["wall_ratio"] = bare.wall > 0 ? task.wall / bare.wall : 0;
}

bool setUp(benchmark::State& state) {
  if (!FFLoader().Load(kEncoderLibraries)) {
    state.SkipWithError("libraries");
    return false;
  }
  ff::avdevice_register_all();
  FFLogger().SetLogLevel(llError);
  return true;
}

// The median of three rounds, task and bare loop alternating: one round of
// each on two cores varies by more than the difference measured.
void BM_Transcode1080p(benchmark::State& state) {
  if (!setUp(state)) return;
  if (!media::haveH264Encoder()) return state.SkipWithError("no H.264 encoder");
  const std::string in = media::ensure(media::Kind::Bench1080p);
  const std::string a = scratch("task.mp4"), b = scratch("bare.mp4");
  std::vector<Cost> task, bare;
  for (auto _ : state) {
    bool ok = true;
    for (int round = 0; round < 3 && ok; ++round) {
      task.push_back(
          measure([&] { ok = runTask(in, a, "-y -c:v libx264 -preset veryfast -c:a aac"); }));
      if (round == 0)
        state.counters["task_peak_rss_MiB"] = static_cast<double>(peakResidentKiB()) / 1024;
      bare.push_back(measure([&] { ok = bareTranscode(in, b) && ok; }));
    }
    if (!ok) return state.SkipWithError("a transcode failed");
  }
  report(state, median(task), median(bare));
  std::filesystem::remove(a);
  std::filesystem::remove(b);
}
BENCHMARK(BM_Transcode1080p)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_StreamCopy1080p(benchmark::State& state) {
  if (!setUp(state)) return;
  const std::string in = media::ensure(media::Kind::Bench1080p);
  const std::string a = scratch("copy-task.mp4"), b = scratch("copy-bare.mp4");
  Cost task, bare;
  for (auto _ : state) {
    bool ok = true;
    // Repeated so that the copy, which takes milliseconds, is measurable.
    task = measure([&] {
      for (int i = 0; i < 20; ++i) ok = runTask(in, a, "-y -c copy") && ok;
    });
    bare = measure([&] {
      for (int i = 0; i < 20; ++i) ok = bareCopy(in, b) && ok;
    });
    if (!ok) return state.SkipWithError("a copy failed");
  }
  report(state, task, bare);
  std::filesystem::remove(a);
  std::filesystem::remove(b);
}
BENCHMARK(BM_StreamCopy1080p)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
