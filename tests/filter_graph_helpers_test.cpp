// The shared filter-graph building blocks.
#include <gtest/gtest.h>

#include <clocale>

#include "foundation/AVHandles.h"
#include "foundation/FFLoader.h"
#include "foundation/FilterGraph.h"

using namespace corvane;

namespace {

class FilterGraphHelpers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(kDecoderLibraries)) << FFLoader().LastErrMsg();
  }
};

TEST_F(FilterGraphHelpers, RotationFilters) {
  using Filters = std::vector<std::pair<std::string, std::string>>;
  const auto names = [](double theta) {
    Filters out;
    for (const auto& [f, a] : filters::rotation_filters(theta)) out.emplace_back(f, a);
    return out;
  };
  EXPECT_EQ(names(0), Filters{});
  EXPECT_EQ(names(0.9), Filters{});
  EXPECT_EQ(names(90.5), (Filters{{"transpose", "clock"}}));
  EXPECT_EQ(names(180), (Filters{{"hflip", ""}, {"vflip", ""}}));
  EXPECT_EQ(names(269.2), (Filters{{"transpose", "cclock"}}));
  // Free angles in the C locale, whatever the process uses.
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  EXPECT_EQ(names(45.5), (Filters{{"rotate", "45.500000*PI/180"}}));
  std::setlocale(LC_NUMERIC, "C");
}

TEST_F(FilterGraphHelpers, SourceArguments) {
  EXPECT_EQ(filters::video_source_args(320, 240, AV_PIX_FMT_YUV420P, {1, 25}, {1, 1}, {25, 1}),
            "video_size=320x240:pix_fmt=0:time_base=1/25:pixel_aspect=1/1:frame_rate=25/1");
  EXPECT_EQ(filters::video_source_args(16, 16, AV_PIX_FMT_GRAY8, {1, 90000}, {0, 1}, {0, 0}),
            "video_size=16x16:pix_fmt=8:time_base=1/90000:pixel_aspect=0/1");
  AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
  EXPECT_EQ(filters::audio_source_args({1, 48000}, 48000, AV_SAMPLE_FMT_FLTP, stereo),
            "time_base=1/48000:sample_rate=48000:sample_fmt=fltp:channel_layout=stereo");
  AVChannelLayout unknown{};
  unknown.order = AV_CHANNEL_ORDER_UNSPEC;
  unknown.nb_channels = 3;
  EXPECT_EQ(filters::audio_source_args({1, 8000}, 8000, AV_SAMPLE_FMT_S16, unknown),
            "time_base=1/8000:sample_rate=8000:sample_fmt=s16:channels=3");
  TDictionary d;
  d.set("sws_flags", "bicubic");
  d.set("dither", "none");
  EXPECT_EQ(filters::join_options(d, true), "flags=bicubic:dither=none");
  EXPECT_EQ(filters::join_options(d), "sws_flags=bicubic:dither=none");
  EXPECT_EQ(filters::join_options(TDictionary{}), "");
}

// A chain built forwards and backwards runs: testsrc -> hflip -> vflip -> sink.
TEST_F(FilterGraphHelpers, ChainsLinkAndConfigure) {
  FilterGraphPtr graph(ff::avfilter_graph_alloc());
  AVFilterContext* src = nullptr;
  AVFilterContext* sink = nullptr;
  ASSERT_EQ(filters::create_filter(graph.get(), "testsrc", "src", "size=32x32:duration=0.2", &src),
            0);
  ASSERT_EQ(filters::create_filter(graph.get(), "buffersink", "sink", nullptr, &sink), 0);
  AVFilterContext* last = src;
  unsigned pad = 0;
  ASSERT_EQ(filters::append_filter(graph.get(), last, pad, "hflip", "h", nullptr), 0);
  AVFilterContext* next = sink;
  ASSERT_EQ(filters::prepend_filter(graph.get(), next, "vflip", "v", nullptr), 0);
  EXPECT_EQ(filters::create_filter(graph.get(), "no-such-filter", "x", nullptr, &next),
            AVERROR_FILTER_NOT_FOUND);
  ASSERT_EQ(filters::link_and_configure(graph.get(), "scale=16:8", last, next), 0);
  EXPECT_EQ(filters::attach_hw_device(graph.get(), nullptr), 0);
  FramePtr frame = makeFrame();
  int frames = 0;
  while (ff::av_buffersink_get_frame(sink, frame.get()) >= 0) {
    EXPECT_EQ(frame->width, 16);
    EXPECT_EQ(frame->height, 8);
    ++frames;
    ff::av_frame_unref(frame.get());
  }
  EXPECT_EQ(frames, 5);
}

}  // namespace
