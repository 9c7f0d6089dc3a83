// Shared by the recording tests and benchmark: a clip with a numbered
// picture per frame and a click every whole second, and a recording decoded
// back.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/AVHandles.h"
#include "foundation/StrFormat.h"
#include "testmedia/OutputFile.h"

namespace corvane::recrig {

// 30 fps; picture N has luma 16 + 2N (N up to 119); a click of 2 ms opens
// every whole second of the 48 kHz stereo sound.
inline void writeClickClip(const std::string& path, int width, int height, int seconds,
                           const char* videoEncoder = "mpeg4") {
  testmedia::OutputFile out("recording clip", "matroska", path);
  out.addVideo({.chain = strprintf("nullsrc=s=%dx%d:r=30:d=%d,geq=lum=16+2*N:cb=128:cr=128", width,
                                   height, seconds),
                .encoder = videoEncoder,
                .gop = 12,
                .bFrames = 0,
                .qscale = 2});
  out.addAudio({.chain = strprintf("aevalsrc=exprs='if(lt(mod(n,48000),96),0.9,0)|"
                                   "if(lt(mod(n,48000),96),0.9,0)':c=stereo:s=48000:d=%d",
                                   seconds),
                .encoder = "pcm_s16le",
                .sampleRate = 48000});
  out.write();
}

struct Decoded {
  std::vector<std::int64_t> pictureUs;
  std::vector<int> pictureNumber;
  std::vector<float> sound;  // the first channel
  int rate = 0;
};

inline float sampleAt(const AVFrame* f, int i) {
  switch (f->format) {
    case AV_SAMPLE_FMT_FLTP:
    case AV_SAMPLE_FMT_FLT:
      return reinterpret_cast<const float*>(
          f->data[0])[f->format == AV_SAMPLE_FMT_FLT ? i * f->ch_layout.nb_channels : i];
    case AV_SAMPLE_FMT_S16P:
    case AV_SAMPLE_FMT_S16:
      return reinterpret_cast<const std::int16_t*>(
                 f->data[0])[f->format == AV_SAMPLE_FMT_S16 ? i * f->ch_layout.nb_channels : i] /
             32768.0f;
    default:
      return 0;
  }
}

inline bool decode(const std::string& file, Decoded& d) {
  AVFormatContext* raw = nullptr;
  if (ff::avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return false;
  InputContextPtr ic(raw);
  if (ff::avformat_find_stream_info(raw, nullptr) < 0) return false;
  std::vector<CodecContextPtr> dec(raw->nb_streams);
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    const AVCodec* codec = ff::avcodec_find_decoder(raw->streams[i]->codecpar->codec_id);
    dec[i].reset(ff::avcodec_alloc_context3(codec));
    ff::avcodec_parameters_to_context(dec[i].get(), raw->streams[i]->codecpar);
    dec[i]->pkt_timebase = raw->streams[i]->time_base;
    if (ff::avcodec_open2(dec[i].get(), codec, nullptr) < 0) return false;
  }
  FramePtr f = makeFrame();
  PacketPtr pkt = makePacket();
  const auto take = [&](unsigned i) {
    while (ff::avcodec_receive_frame(dec[i].get(), f.get()) == 0) {
      if (dec[i]->codec_type == AVMEDIA_TYPE_VIDEO) {
        d.pictureUs.push_back(ff::av_rescale_q(f->best_effort_timestamp, raw->streams[i]->time_base,
                                               AVRational{1, 1000000}));
        const int luma = f->data[0][(f->height / 2) * f->linesize[0] + f->width / 2];
        d.pictureNumber.push_back(static_cast<int>(std::lround((luma - 16) / 2.0)));
      } else if (dec[i]->codec_type == AVMEDIA_TYPE_AUDIO) {
        d.rate = f->sample_rate;
        for (int k = 0; k < f->nb_samples; ++k) d.sound.push_back(sampleAt(f.get(), k));
      }
      ff::av_frame_unref(f.get());
    }
  };
  while (ff::av_read_frame(raw, pkt.get()) >= 0) {
    const unsigned i = static_cast<unsigned>(pkt->stream_index);
    ff::avcodec_send_packet(dec[i].get(), pkt.get());
    ff::av_packet_unref(pkt.get());
    take(i);
  }
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    ff::avcodec_send_packet(dec[i].get(), nullptr);
    take(i);
  }
  return true;
}

// Sample positions where a click opens.
inline std::vector<std::int64_t> clicks(const std::vector<float>& s, int rate) {
  std::vector<std::int64_t> at;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (std::fabs(s[i]) > 0.5f &&
        (at.empty() || static_cast<std::int64_t>(i) - at.back() > rate / 2))
      at.push_back(static_cast<std::int64_t>(i));
  return at;
}

// For each click: its time minus the time of the picture shown with it, in
// seconds. That picture's time is taken from the nearest recorded one (the
// player may have skipped it), a whole number of frames away.
inline std::vector<double> clickOffsets(const Decoded& d, int fps) {
  std::vector<double> offsets;
  if (d.rate <= 0 || d.pictureNumber.empty()) return offsets;
  for (const std::int64_t sample : clicks(d.sound, d.rate)) {
    const double t = static_cast<double>(sample) / d.rate;
    const long wanted = std::lround(t + static_cast<double>(d.pictureNumber.front()) / fps) * fps;
    std::size_t nearest = 0;
    for (std::size_t i = 1; i < d.pictureNumber.size(); ++i)
      if (std::labs(d.pictureNumber[i] - wanted) < std::labs(d.pictureNumber[nearest] - wanted))
        nearest = i;
    const double shown =
        d.pictureUs[nearest] / 1e6 + static_cast<double>(wanted - d.pictureNumber[nearest]) / fps;
    offsets.push_back(t - shown);
  }
  return offsets;
}

}  // namespace corvane::recrig
