// Drives inputs through reading, decoding and the filter graphs of a task
// whose decoders the test opens itself, and collects what the sinks deliver.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/TranscoderRig.h"
#include "testmedia/OutputFile.h"

namespace corvane::testrig {

struct TSinkFrame {
  int output = 0;  // index in Foutput_streams
  int width = 0, height = 0, samples = 0;
  std::int64_t pts = AV_NOPTS_VALUE;
  AVRational tb{0, 1};
  int luma = -1;   // first byte of plane 0 (video)
  int probe = -1;  // plane 0 at the test's probe point (video)
  double seconds() const { return pts * av_q2d(tb); }
};

class DecodeTest : public TranscoderTest {
 protected:
  TCustomFFmpeg& task() { return static_cast<TCustomFFmpeg&>(*engine_); }

  // The run's setup: decoders, and the outputs not fed by graphs.
  void openDecoders() { ASSERT_EQ(task().transcode_init(), 0) << task().FLastErrMsg; }

  // Everything the configured sinks hold now.
  void pullSinks() {
    FramePtr frame = makeFrame();
    auto& outs = task().Foutput_streams;
    for (std::size_t i = 0; i < outs.size(); ++i) {
      TOutputFilter* of = outs[i]->filter;
      if (!of || !of->filter) continue;
      while (ff::av_buffersink_get_frame_flags(of->filter, frame.get(), 0) >= 0) {
        TSinkFrame f{static_cast<int>(i), frame->width,
                     frame->height,       frame->nb_samples,
                     frame->pts,          ff::av_buffersink_get_time_base(of->filter)};
        if (frame->width && frame->data[0]) {
          f.luma = frame->data[0][0];
          if (probe_x_ < frame->width && probe_y_ < frame->height)
            f.probe = frame->data[0][probe_y_ * frame->linesize[0] + probe_x_];
        }
        frames_.push_back(f);
        ff::av_frame_unref(frame.get());
      }
    }
  }

  // Reads the file to its end (or `reads` times), pulling the sinks after
  // every read.
  void readFile(int file, int reads = 1 << 20) {
    TInputFile& f = *task().Finput_files[file];
    for (int i = 0; i < reads && !f.eof_reached; ++i) {
      const int ret = task().ReadInputFile(file);
      ASSERT_TRUE(ret == 0 || ret == AVERROR(EAGAIN)) << ret;
      pullSinks();
    }
  }

  std::vector<TSinkFrame> framesOf(int output) const {
    std::vector<TSinkFrame> out;
    for (const TSinkFrame& f : frames_)
      if (f.output == output) out.push_back(f);
    return out;
  }

  // A transport stream of MPEG-2 video (no B-frames) whose timestamps start
  // at offset microseconds.
  std::string tsClip(const std::string& name, const char* size, std::int64_t offset) {
    const std::string file = path(name);
    testmedia::OutputFile out("ts clip", "mpegts", file);
    testmedia::VideoSpec spec;
    spec.chain = std::string("testsrc=size=") + size + ":rate=25:duration=1";
    spec.encoder = "mpeg2video";
    spec.bFrames = 0;
    spec.qscale = 3;
    out.addVideo(spec);
    out.context()->output_ts_offset = offset;
    out.write();
    return file;
  }

  // A transport stream of two segments: 320x240 from 0 s, then 160x120
  // whose timestamps jump forward by jump_seconds (MPEG-2, no B-frames).
  std::string sizeChangeStream(int jump_seconds) {
    const std::string out = path("change.ts");
    std::ofstream joined(out, std::ios::binary);
    const char* sizes[] = {"320x240", "160x120"};
    for (int i = 0; i < 2; ++i) {
      const std::int64_t offset = i ? std::int64_t{jump_seconds} * AV_TIME_BASE : 0;
      std::ifstream in(tsClip("part" + std::to_string(i) + ".ts", sizes[i], offset),
                       std::ios::binary);
      joined << in.rdbuf();
    }
    return out;
  }

  std::vector<TSinkFrame> frames_;
  int probe_x_ = 0, probe_y_ = 0;
};

}  // namespace corvane::testrig
