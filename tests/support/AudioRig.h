// An audio output with the queues and clocks of a playing file around it,
// and frames of generated signals to feed it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "foundation/AVHandles.h"
#include "player/AudioOutput.h"

namespace corvane::testaudio {

struct AudioRig {
  TPacketQueue audioq;
  TFrameQueue sampq;
  TClock audclk, vidclk, extclk;
  TMasterSync sync;
  std::atomic<int> paused{0}, seek_paused{0};
  std::mutex lock;
  std::vector<std::pair<TLogLevel, std::string>> messages;
  TAudioOutput out{{sampq, audioq, audclk, extclk, vidclk, sync, paused, seek_paused},
                   [this](TLogLevel level, const std::string& msg) {
                     std::lock_guard g(lock);
                     messages.emplace_back(level, msg);
                   }};
  double nextPts = 0;

  AudioRig() {
    audioq.Start();
    EXPECT_EQ(sampq.Init(&audioq, 9, true), 0);
    audclk.Init(&audioq.serial);
    vidclk.Init(nullptr);
    extclk.Init(nullptr);
    sync.SetStreamOpen(AVMEDIA_TYPE_AUDIO, true);
  }
  ~AudioRig() { out.Close(); }

  bool logged(const std::string& msg) {
    std::lock_guard g(lock);
    for (const auto& m : messages)
      if (m.second == msg) return true;
    return false;
  }

  bool hasRoom() { return sampq.Remaining() + sampq.RIndexShown() < sampq.MaxSize(); }

  // Queues a frame whose sample i of channel c is value(c, i), in [-1, 1].
  void push(AVSampleFormat fmt, int rate, int channels, int nb_samples,
            const std::function<double(int, int)>& value) {
    TFFFrame* vp = sampq.PeekWritable();
    ASSERT_NE(vp, nullptr);
    AVFrame* f = vp->frame.get();
    f->format = fmt;
    f->sample_rate = rate;
    f->nb_samples = nb_samples;
    ff::av_channel_layout_default(&f->ch_layout, channels);
    ASSERT_EQ(ff::av_frame_get_buffer(f, 0), 0);
    for (int i = 0; i < nb_samples; ++i)
      for (int c = 0; c < channels; ++c) {
        const double v = value(c, i);
        if (fmt == AV_SAMPLE_FMT_S16)
          reinterpret_cast<std::int16_t*>(f->data[0])[i * channels + c] =
              static_cast<std::int16_t>(std::lround(v * 32767));
        else
          reinterpret_cast<float*>(f->extended_data[c])[i] = static_cast<float>(v);
      }
    vp->pts = nextPts;
    vp->serial = audioq.serial;
    nextPts += static_cast<double>(nb_samples) / rate;
    sampq.Push();
  }
};

}  // namespace corvane::testaudio
