// Shared by the capture tests: opening a capture format directly, and
// reading a written file's decoded pictures and samples back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "foundation/AVHandles.h"
#include "support/TranscoderRig.h"

namespace corvane::testrig {

class CaptureTest : public TranscoderTest {
 protected:
  // Opens `url` with `format` and "key=value" options; the result code.
  int openDirect(const AVInputFormat* format, const std::string& url,
                 const std::vector<std::pair<std::string, std::string>>& options) {
    ic_.reset();
    AVDictionary* dict = nullptr;
    for (const auto& [k, v] : options) ff::av_dict_set(&dict, k.c_str(), v.c_str(), 0);
    AVFormatContext* raw = nullptr;
    const int ret = ff::avformat_open_input(&raw, url.c_str(), format, &dict);
    ff::av_dict_free(&dict);
    ic_.reset(raw);
    return ret;
  }
  // The next packet of the open input into pkt_; the read result.
  int read() {
    ff::av_packet_unref(pkt_.get());
    return ff::av_read_frame(ic_.get(), pkt_.get());
  }

  InputContextPtr ic_;
  PacketPtr pkt_ = makePacket();
};

// A decoded picture: its time and plane 0 as rows without padding.
struct Picture {
  std::int64_t us = 0;
  int width = 0, height = 0;
  AVPixelFormat format = AV_PIX_FMT_NONE;
  std::vector<std::vector<std::uint8_t>> rows;  // plane 0, top row first
};

// Every decoded frame of the first stream of `type` in `file`; video frames
// fill `pictures`, audio frames append packed s16 samples to `samples` and
// count in `late_audio` the frames whose time is not the samples before them.
inline bool decodeAll(const std::string& file, AVMediaType type, std::vector<Picture>* pictures,
                      std::vector<std::int16_t>* samples, int* late_audio = nullptr) {
  AVFormatContext* raw = nullptr;
  if (ff::avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return false;
  InputContextPtr ic(raw);
  if (ff::avformat_find_stream_info(raw, nullptr) < 0) return false;
  const int index = ff::av_find_best_stream(raw, type, -1, -1, nullptr, 0);
  if (index < 0) return false;
  const AVStream* st = raw->streams[index];
  const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
  CodecContextPtr dec(ff::avcodec_alloc_context3(codec));
  ff::avcodec_parameters_to_context(dec.get(), st->codecpar);
  dec->pkt_timebase = st->time_base;
  if (ff::avcodec_open2(dec.get(), codec, nullptr) < 0) return false;
  PacketPtr pkt = makePacket();
  FramePtr frame = makeFrame();
  auto take = [&] {
    while (ff::avcodec_receive_frame(dec.get(), frame.get()) == 0) {
      if (type == AVMEDIA_TYPE_VIDEO && pictures) {
        Picture p;
        p.us =
            ff::av_rescale_q(frame->best_effort_timestamp, st->time_base, AVRational{1, 1000000});
        p.width = frame->width;
        p.height = frame->height;
        p.format = static_cast<AVPixelFormat>(frame->format);
        const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(p.format);
        const int bytes = (desc->flags & AV_PIX_FMT_FLAG_PLANAR)
                              ? p.width * ((desc->comp[0].depth + 7) / 8)
                              : (ff::av_get_bits_per_pixel(desc) * p.width + 7) / 8;
        for (int y = 0; y < frame->height; ++y) {
          const std::uint8_t* row =
              frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
          p.rows.emplace_back(row, row + bytes);
        }
        pictures->push_back(std::move(p));
      } else if (type == AVMEDIA_TYPE_AUDIO && samples && frame->format == AV_SAMPLE_FMT_S16) {
        const std::int64_t at = ff::av_rescale_q(frame->best_effort_timestamp, st->time_base,
                                                 AVRational{1, frame->sample_rate});
        const std::int64_t before =
            static_cast<std::int64_t>(samples->size()) / frame->ch_layout.nb_channels;
        if (late_audio && at != before) ++*late_audio;
        const auto* s = reinterpret_cast<const std::int16_t*>(frame->data[0]);
        samples->insert(samples->end(), s, s + frame->nb_samples * frame->ch_layout.nb_channels);
      }
      ff::av_frame_unref(frame.get());
    }
  };
  while (ff::av_read_frame(raw, pkt.get()) >= 0) {
    if (pkt->stream_index == index) ff::avcodec_send_packet(dec.get(), pkt.get());
    ff::av_packet_unref(pkt.get());
    take();
  }
  ff::avcodec_send_packet(dec.get(), nullptr);
  take();
  return true;
}

}  // namespace corvane::testrig
