// Decodes a written file back: the luma planes of its first video stream, or
// the samples of its first audio stream as signed 16-bit values.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/AVHandles.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"

namespace corvane::testrig {

struct LumaPicture {
  int width = 0, height = 0;
  std::vector<std::uint8_t> y;  // rows packed
  // Mean luma of the w x h block at (x, y).
  double mean(int x0, int y0, int w, int h) const {
    double sum = 0;
    for (int r = y0; r < y0 + h; ++r)
      for (int c = x0; c < x0 + w; ++c) sum += y[static_cast<std::size_t>(r * width + c)];
    return sum / (w * h);
  }
};

// Calls f(frame) for every decoded frame of the first stream of the type.
template <class F>
bool decodeStream(const std::string& file, AVMediaType type, F&& f) {
  AVFormatContext* raw = nullptr;
  if (ff::avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return false;
  InputContextPtr ic(raw);
  if (ff::avformat_find_stream_info(ic.get(), nullptr) < 0) return false;
  const int index = ff::av_find_best_stream(ic.get(), type, -1, -1, nullptr, 0);
  if (index < 0) return false;
  const AVCodecParameters* par = ic->streams[index]->codecpar;
  CodecContextPtr dec(ff::avcodec_alloc_context3(ff::avcodec_find_decoder(par->codec_id)));
  if (!dec || ff::avcodec_parameters_to_context(dec.get(), par) < 0 ||
      ff::avcodec_open2(dec.get(), dec->codec, nullptr) < 0)
    return false;
  PacketPtr pkt = makePacket();
  FramePtr frame = makeFrame();
  auto drain = [&] {
    while (ff::avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
      f(static_cast<const AVFrame*>(frame.get()));
      ff::av_frame_unref(frame.get());
    }
  };
  while (ff::av_read_frame(ic.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == index) ff::avcodec_send_packet(dec.get(), pkt.get());
    ff::av_packet_unref(pkt.get());
    drain();
  }
  ff::avcodec_send_packet(dec.get(), nullptr);
  drain();
  return true;
}

inline std::vector<LumaPicture> decodeLuma(const std::string& file) {
  std::vector<LumaPicture> out;
  decodeStream(file, AVMEDIA_TYPE_VIDEO, [&](const AVFrame* f) {
    LumaPicture p{f->width, f->height, {}};
    p.y.resize(static_cast<std::size_t>(f->width * f->height));
    for (int r = 0; r < f->height; ++r)
      std::memcpy(&p.y[static_cast<std::size_t>(r * f->width)], f->data[0] + r * f->linesize[0],
                  static_cast<std::size_t>(f->width));
    out.push_back(std::move(p));
  });
  return out;
}

// Packed signed 16-bit audio only; other formats give nothing.
inline std::vector<std::int16_t> decodeS16(const std::string& file) {
  std::vector<std::int16_t> out;
  decodeStream(file, AVMEDIA_TYPE_AUDIO, [&](const AVFrame* f) {
    if (f->format != AV_SAMPLE_FMT_S16) return;
    const auto* s = reinterpret_cast<const std::int16_t*>(f->data[0]);
    out.insert(out.end(), s, s + f->nb_samples * f->ch_layout.nb_channels);
  });
  return out;
}

}  // namespace corvane::testrig
