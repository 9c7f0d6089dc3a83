// Reads a written media file back through the libraries: its streams, their
// packet counts, picture sizes, packet times and time spans.
#pragma once

#include <string>
#include <vector>

#include "foundation/AVHandles.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"

namespace corvane::testrig {

struct StreamReadBack {
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  AVCodecID codec = AV_CODEC_ID_NONE;
  int packets = 0;
  int width = 0, height = 0, sample_rate = 0;
  double first = 0, end = 0;  // seconds: first timestamp, last timestamp + duration
  std::vector<double> times;  // seconds: each packet's timestamp, in file order

  double span() const { return end - first; }
};

struct MediaReadBack {
  bool opened = false;
  std::vector<StreamReadBack> streams;

  const StreamReadBack* first(AVMediaType type) const {
    for (const auto& s : streams)
      if (s.type == type) return &s;
    return nullptr;
  }
};

inline MediaReadBack readBack(const std::string& file) {
  MediaReadBack r;
  AVFormatContext* raw = nullptr;
  if (ff::avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return r;
  InputContextPtr ic(raw);
  if (ff::avformat_find_stream_info(ic.get(), nullptr) < 0) return r;
  r.opened = true;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVCodecParameters* par = ic->streams[i]->codecpar;
    StreamReadBack s;
    s.type = par->codec_type;
    s.codec = par->codec_id;
    s.width = par->width;
    s.height = par->height;
    s.sample_rate = par->sample_rate;
    s.first = 1e300;
    r.streams.push_back(s);
  }
  PacketPtr pkt = makePacket();
  while (ff::av_read_frame(ic.get(), pkt.get()) >= 0) {
    StreamReadBack& s = r.streams[static_cast<std::size_t>(pkt->stream_index)];
    const double tb = av_q2d(ic->streams[pkt->stream_index]->time_base);
    ++s.packets;
    s.times.push_back(pkt->pts == AV_NOPTS_VALUE ? -1 : static_cast<double>(pkt->pts) * tb);
    if (pkt->pts != AV_NOPTS_VALUE) {
      s.first = std::min(s.first, static_cast<double>(pkt->pts) * tb);
      s.end = std::max(s.end, static_cast<double>(pkt->pts + pkt->duration) * tb);
    }
    ff::av_packet_unref(pkt.get());
  }
  for (auto& s : r.streams)
    if (s.first > s.end) s.first = s.end;
  return r;
}

}  // namespace corvane::testrig
