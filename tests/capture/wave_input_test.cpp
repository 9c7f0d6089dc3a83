// The wave input read directly: header checks, the stream it describes,
// timestamps from the bytes delivered, and the handler's results.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "capture/FrameInputAdapter.h"
#include "capture/WaveInputAdapter.h"
#include "capture/WaveInputFormat.h"
#include "capture_rig.h"

using namespace corvane;

namespace {

using Options = std::vector<std::pair<std::string, std::string>>;

class WaveInputTest : public testrig::CaptureTest {
 protected:
  int open(const Options& options) {
    return openDirect(RegisterWaveInputFormat(), adapter_->RegistryUrl(), options);
  }
  std::shared_ptr<TWaveInputAdapter> adapter_ = std::make_shared<TWaveInputAdapter>();
};

TEST_F(WaveInputTest, HeaderFailures) {
  auto frames = std::make_shared<TFrameInputAdapter>();
  const std::string url = adapter_->RegistryUrl();
  struct Case {
    std::string url;
    Options options;
    const char* log;
  } cases[] = {
      {"wave",
       {},
       "Could not parse WaveInputAdapter: \"wave\", it should be address of WaveInputAdapter"},
      {"0", {}, "Invalid WaveInputAdapter"},
      {frames->RegistryUrl(), {}, "Invalid WaveInputAdapter"},
      {url, {{"sample_fmt", "flt"}}, "Invalid sample format: \"flt\", it should be u8, s16 or s32"},
      {url, {{"sample_rate", "0"}}, "Invalid sample rate 0"},
      {url, {{"channels", "0"}}, "Invalid channels 0"},
      {url, {{"channels", "2000000"}, {"sample_fmt", "s32"}}, "Invalid channels 2000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log);
    EXPECT_EQ(openDirect(RegisterWaveInputFormat(), c.url, c.options), AVERROR(EINVAL));
    EXPECT_TRUE(logged(c.log));
  }
  EXPECT_EQ(adapter_->WaveInfo(), nullptr);
}

TEST_F(WaveInputTest, StreamFromOptions) {
  struct Case {
    Options options;
    AVCodecID codec;
    int bits, channels, frame_size;
    std::uint64_t layout;
  } cases[] = {
      {{}, AV_CODEC_ID_PCM_S16LE, 16, 2, 4096, AV_CH_LAYOUT_STEREO},
      {{{"sample_fmt", ""}}, AV_CODEC_ID_PCM_S16LE, 16, 2, 4096, AV_CH_LAYOUT_STEREO},
      {{{"sample_fmt", "u8"}, {"channels", "1"}},
       AV_CODEC_ID_PCM_U8,
       8,
       1,
       1024,
       AV_CH_LAYOUT_MONO},
      {{{"sample_fmt", "s32"}, {"channels", "6"}},
       AV_CODEC_ID_PCM_S32LE,
       32,
       6,
       24576,
       AV_CH_LAYOUT_5POINT1_BACK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame_size);
    ASSERT_EQ(open(c.options), 0);
    const TInputWaveInfo* info = adapter_->WaveInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->SampleFormat, c.bits);
    EXPECT_EQ(info->FrameSize, c.frame_size);
    EXPECT_EQ(info->SampleRate, 44100);
    const AVCodecParameters* par = ic_->streams[0]->codecpar;
    EXPECT_EQ(par->codec_id, c.codec);
    EXPECT_EQ(par->ch_layout.nb_channels, c.channels);
    EXPECT_EQ(par->ch_layout.order, AV_CHANNEL_ORDER_NATIVE);
    EXPECT_EQ(par->ch_layout.u.mask, c.layout);
    EXPECT_EQ(par->block_align, c.frame_size / 1024);
    EXPECT_EQ(par->frame_size, 1024);  // samples, not bytes
    EXPECT_EQ(par->bit_rate, 44100LL * c.channels * c.bits);
  }
}

// What the handler returns decides the packet: whole sample frames up to
// FrameSize become a packet; 0 and -11 are "try again"; a claim beyond
// FrameSize or of part of a sample frame ends the input with an error.
TEST_F(WaveInputTest, HandlerResults) {
  std::vector<int> results{4096, 0, AVERROR(EAGAIN), 8, 4100, 6, 4096, AVERROR_EOF};
  std::size_t call = 0;
  std::vector<std::int32_t> frame_numbers;
  adapter_->SetOnReadWaveData([&](TObject* sender, std::uint8_t* data, TInputWaveInfo* info) {
    EXPECT_EQ(sender, adapter_.get());
    frame_numbers.push_back(info->FrameNumber);
    std::memset(data, 0x11, static_cast<std::size_t>(info->FrameSize));
    return results.at(call++);
  });
  ASSERT_EQ(open({}), 0);
  const TInputWaveInfo* info = adapter_->WaveInfo();
  struct Step {
    int read;
    int size;
    std::int64_t pts;
    std::int64_t total;
  } steps[] = {
      {0, 4096, 0, 4096},     {AVERROR(EAGAIN), 0, 0, 4096}, {AVERROR(EAGAIN), 0, 0, 4096},
      {0, 8, 23219, 4104},    {AVERROR(EINVAL), 0, 0, 4104}, {AVERROR(EINVAL), 0, 0, 4104},
      {0, 4096, 23265, 8200}, {AVERROR_EOF, 0, 0, 8200},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(&s - steps);
    ASSERT_EQ(read(), s.read);
    if (s.read == 0) {
      EXPECT_EQ(pkt_->size, s.size);
      EXPECT_EQ(pkt_->pts, s.pts);
    }
    EXPECT_EQ(info->TotalSize, s.total);
  }
  EXPECT_TRUE(logged("reading wave data return -11"));
  EXPECT_TRUE(logged("reading wave data return 4100, more than the frame size 4096"));
  EXPECT_TRUE(logged("reading wave data return 6, not a whole number of 4-byte sample frames"));
  EXPECT_EQ(frame_numbers.front(), 1);
  EXPECT_EQ(frame_numbers.back(), 8);
}

// The record the handler receives is writable, but the input keeps its own
// sizes and counts: a handler that raises FrameSize cannot claim more than
// the packet holds, and a zero rate or channel count divides nothing.
TEST_F(WaveInputTest, HandlerCannotChangeTheSizes) {
  std::vector<std::int32_t> sizes_seen;
  int call = 0;
  adapter_->SetOnReadWaveData([&](TObject*, std::uint8_t* data, TInputWaveInfo* info) {
    sizes_seen.push_back(info->FrameSize);
    std::memset(data, 0x22, static_cast<std::size_t>(info->FrameSize));
    info->SampleRate = 0;
    info->Channels = 0;
    info->TotalSize = -1;
    info->FrameNumber = 0;
    info->FrameSize = 1 << 20;
    return ++call == 3 ? 8192 : 4096;
  });
  ASSERT_EQ(open({}), 0);
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(pkt_->pts, 0);
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(pkt_->size, 4096);
  EXPECT_EQ(pkt_->pts, 23219);
  EXPECT_EQ(read(), AVERROR(EINVAL));
  EXPECT_TRUE(logged("reading wave data return 8192, more than the frame size 4096"));
  EXPECT_EQ(sizes_seen, (std::vector<std::int32_t>{4096, 4096, 4096}));
  EXPECT_EQ(adapter_->WaveInfo()->TotalSize, 8192);
  EXPECT_EQ(adapter_->WaveInfo()->FrameNumber, 3);
}

}  // namespace
