// The hardware device list of an engine: the device string syntax, naming,
// lookups, failures without hardware, handing devices to filter graphs, and
// decoding through a real device where there is one.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/api/avfilter.h"
#include "support/MediaReadBack.h"
#include "support/TranscoderRig.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
namespace media = corvane::testmedia;

namespace {

TEST(DeviceStringTest, Syntax) {
  using K = TDeviceSpec::Kind;
  const struct {
    const char* text;
    const char* type;
    const char* name;  // nullptr: the default name
    K kind;
    const char* device;
    const char* options;
    const char* source;
  } cases[] = {
      {"vaapi", "vaapi", nullptr, K::dsDefault, "", "", ""},
      {"vaapi=gpu", "vaapi", "gpu", K::dsDefault, "", "", ""},
      {"vaapi=gpu:/dev/dri/renderD128", "vaapi", "gpu", K::dsDevice, "/dev/dri/renderD128", "", ""},
      {"vaapi:/dev/x,driver=iHD,kernel_driver=i915", "vaapi", nullptr, K::dsDevice, "/dev/x",
       "driver=iHD,kernel_driver=i915", ""},
      {"cuda:,primary_ctx=1", "cuda", nullptr, K::dsDevice, "", "primary_ctx=1", ""},
      {"cuda:0", "cuda", nullptr, K::dsDevice, "0", "", ""},
      {"opencl@va", "opencl", nullptr, K::dsDerive, "", "", "va"},
      {"opencl=ocl@va", "opencl", "ocl", K::dsDerive, "", "", "va"},
      {"", "", nullptr, K::dsDefault, "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string reason;
    const std::optional<TDeviceSpec> spec = ParseDeviceString(c.text, reason);
    ASSERT_TRUE(spec) << reason;
    EXPECT_EQ(spec->type_name, c.type);
    EXPECT_EQ(spec->name.has_value(), c.name != nullptr);
    if (c.name && spec->name) {
      EXPECT_EQ(*spec->name, c.name);
    }
    EXPECT_EQ(spec->kind, c.kind);
    EXPECT_EQ(spec->device, c.device);
    EXPECT_EQ(spec->options, c.options);
    EXPECT_EQ(spec->source, c.source);
  }
}

TEST(DeviceStringTest, Failures) {
  const std::pair<const char*, const char*> cases[] = {
      {"vaapi=", "parse error"},
      {"vaapi=:/dev/x", "parse error"},
      {"vaapi:/dev/x,driver", "failed to parse options"},
      {"vaapi:/dev/x,=iHD", "failed to parse options"},
      {"vaapi:/dev/x,a=1,", "failed to parse options"},
      {"vaapi@", "invalid source device name"},
  };
  for (const auto& [text, why] : cases) {
    std::string reason;
    EXPECT_FALSE(ParseDeviceString(text, reason)) << text;
    EXPECT_EQ(reason, why) << text;
  }
}

class HWDeviceListTest : public testrig::TranscoderTest {
 protected:
  // A buffer standing in for a device context; only references are taken.
  static BufferRefPtr fakeRef() {
    FramePtr frame = makeFrame();
    frame->format = AV_PIX_FMT_GRAY8;
    frame->width = frame->height = 2;
    if (ff::av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
    return BufferRefPtr(ff::av_buffer_ref(frame->buf[0]));
  }
  THWDevice* add(const char* name, AVHWDeviceType type) {
    return list_.AddDevice(name, type, fakeRef());
  }
  THWDeviceList list_;
};

TEST_F(HWDeviceListTest, DefaultNamesAndAmbiguousTypes) {
  EXPECT_EQ(list_.DefaultDeviceName(AV_HWDEVICE_TYPE_VAAPI), "vaapi0");
  THWDevice* first = add("vaapi0", AV_HWDEVICE_TYPE_VAAPI);
  add("cuda0", AV_HWDEVICE_TYPE_CUDA);
  EXPECT_EQ(list_.DeviceByType(AV_HWDEVICE_TYPE_VAAPI), first);
  EXPECT_EQ(list_.DefaultDeviceName(AV_HWDEVICE_TYPE_VAAPI), "vaapi1");
  add("vaapi1", AV_HWDEVICE_TYPE_VAAPI);
  EXPECT_EQ(list_.DeviceByType(AV_HWDEVICE_TYPE_VAAPI), nullptr) << "two of the type";
  EXPECT_EQ(list_.DeviceByType(AV_HWDEVICE_TYPE_QSV), nullptr);
  EXPECT_EQ(list_.DeviceByName("vaapi0"), first);
  EXPECT_EQ(list_.DeviceByName("vaapi"), nullptr);
  // Gaps are reused; a thousand names are all there is.
  list_.FreeAllDevices();
  EXPECT_EQ(list_.count(), 0);
  for (int i = 0; i < 1000; ++i)
    if (i != 500) add(strprintf("drm%d", i).c_str(), AV_HWDEVICE_TYPE_DRM);
  EXPECT_EQ(list_.DefaultDeviceName(AV_HWDEVICE_TYPE_DRM), "drm500");
  add("drm500", AV_HWDEVICE_TYPE_DRM);
  EXPECT_EQ(list_.DefaultDeviceName(AV_HWDEVICE_TYPE_DRM), std::nullopt);
  EXPECT_EQ(list_.DeviceFromType(AV_HWDEVICE_TYPE_DRM, nullptr, nullptr), AVERROR(ENOMEM));
}

TEST_F(HWDeviceListTest, FailuresAreLoggedAndLeaveTheListAlone) {
  add("va", AV_HWDEVICE_TYPE_VAAPI);
  const std::pair<const char*, const char*> invalid[] = {
      {"nosuchtype", "unknown device type"},          {"vaapi=va", "named device already exists"},
      {"opencl@nodev", "invalid source device name"}, {"vaapi=", "parse error"},
      {"vaapi:/x,opt", "failed to parse options"},
  };
  for (const auto& [text, reason] : invalid) {
    THWDevice* dev = list_.DeviceByName("va");
    EXPECT_EQ(list_.DeviceFromString(text, &dev), AVERROR(EINVAL)) << text;
    EXPECT_EQ(dev, nullptr);
    EXPECT_TRUE(logged(strprintf("Invalid device specification \"%s\": %s", text, reason))) << text;
  }
  // No GPU here: creation fails with the library's code.
  const int ret = list_.DeviceFromString("vaapi:/nonexistent", nullptr);
  EXPECT_LT(ret, 0);
  EXPECT_TRUE(logged(strprintf("Device creation failed: %d.", ret)));
  const int by_type = list_.DeviceFromType(AV_HWDEVICE_TYPE_VAAPI, "/nonexistent", nullptr);
  EXPECT_LT(by_type, 0);
  EXPECT_TRUE(logged(strprintf("Device creation failed: %d.", by_type)));
  EXPECT_EQ(list_.count(), 1);
}

TEST_F(HWDeviceListTest, FiltersGetReferencesToTheDevice) {
  FilterGraphPtr graph(ff::avfilter_graph_alloc());
  ASSERT_TRUE(graph);
  for (const char* name : {"a", "b"})
    ASSERT_TRUE(
        ff::avfilter_graph_alloc_filter(graph.get(), ff::avfilter_get_by_name("null"), name));
  // Without a device nothing happens.
  EXPECT_EQ(list_.SetupFilterDevice(graph.get(), nullptr), 0);
  EXPECT_EQ(graph->filters[0]->hw_device_ctx, nullptr);
  // The only device is used when none is chosen.
  THWDevice* only = add("one", AV_HWDEVICE_TYPE_VAAPI);
  ASSERT_EQ(list_.SetupFilterDevice(graph.get(), nullptr), 0);
  for (unsigned i = 0; i < graph->nb_filters; ++i)
    EXPECT_EQ(graph->filters[i]->hw_device_ctx->data, only->device_ref->data);
  // With two, only a chosen one; references are replaced, not leaked.
  THWDevice* second = add("two", AV_HWDEVICE_TYPE_VAAPI);
  ASSERT_EQ(list_.SetupFilterDevice(graph.get(), second), 0);
  for (unsigned i = 0; i < graph->nb_filters; ++i)
    EXPECT_EQ(graph->filters[i]->hw_device_ctx->data, second->device_ref->data);
  EXPECT_EQ(list_.SetupFilterDevice(graph.get(), nullptr), 0);
  EXPECT_EQ(graph->filters[0]->hw_device_ctx->data, second->device_ref->data) << "ambiguous";
  // The graph keeps its references after the list is freed.
  list_.FreeAllDevices();
  graph.reset();
}

// A generated clip whose video decoder can work on a device of the type.
struct THWCandidate {
  AVHWDeviceType type;
  AVPixelFormat hw_format;
  std::string file;
};

std::optional<THWCandidate> CandidateFor(AVHWDeviceType type) {
  for (media::Kind kind :
       {media::Kind::Mp4H264Aac, media::Kind::TsTwoPrograms, media::Kind::Numbered}) {
    const std::string file = media::ensure(kind);
    const testrig::MediaReadBack probe = testrig::readBack(file);
    const testrig::StreamReadBack* v = probe.first(AVMEDIA_TYPE_VIDEO);
    const AVCodec* dec = v ? ff::avcodec_find_decoder(v->codec) : nullptr;
    for (int i = 0; dec; ++i) {
      const AVCodecHWConfig* c = ff::avcodec_get_hw_config(dec, i);
      if (!c) break;
      if (c->device_type == type && (c->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX))
        return THWCandidate{type, c->pix_fmt, file};
    }
  }
  return std::nullopt;
}

// With a device the libraries can open, video decodes through it: the
// decoder's frames come in the device's format and are downloaded for the
// encoder, and every picture asked for reaches the output. Without such a
// device (no GPU) the test skips.
TEST_F(HWDeviceListTest, DecodingThroughARealDevice) {
  std::vector<THWCandidate> candidates;
  for (AVHWDeviceType type = ff::av_hwdevice_iterate_types(AV_HWDEVICE_TYPE_NONE);
       type != AV_HWDEVICE_TYPE_NONE; type = ff::av_hwdevice_iterate_types(type)) {
    AVBufferRef* raw = nullptr;
    if (ff::av_hwdevice_ctx_create(&raw, type, nullptr, nullptr, 0) < 0) continue;
    BufferRefPtr device(raw);
    if (std::optional<THWCandidate> c = CandidateFor(type)) candidates.push_back(*c);
  }
  if (candidates.empty()) GTEST_SKIP() << "no hardware device that decodes the generated clips";
  for (const THWCandidate& c : candidates) {
    const char* name = ff::av_hwdevice_get_type_name(c.type);
    SCOPED_TRACE(name);
    auto owned = std::make_unique<TCustomFFmpeg>();
    TCustomFFmpeg& task = *owned;
    engine_ = std::move(owned);
    ASSERT_GE(openInput(std::string("-hwaccel ") + name, c.file), 0) << task.FLastErrMsg;
    const std::string out = path(std::string(name) + ".nut");
    ASSERT_GE(openOutput("-map 0:v:0 -c:v mpeg4 -frames:v 10", out), 0) << task.FLastErrMsg;
    AVPixelFormat decoded = AV_PIX_FMT_NONE, retrieved = AV_PIX_FMT_NONE;
    task.FReportInterval = 0;
    task.FOnProgress = [&](TObject*, const TProgressInfo&) {
      for (const auto& ist : task.Finput_streams)
        if (ist->hwaccel_pix_fmt != AV_PIX_FMT_NONE) {
          decoded = ist->hwaccel_pix_fmt;
          retrieved = ist->hwaccel_retrieved_pix_fmt;
        }
    };
    task.StartConvert(false);
    ASSERT_TRUE(task.Finished()) << task.FatalMessage();
    EXPECT_EQ(decoded, c.hw_format) << "decoded in software";
    const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(retrieved);
    ASSERT_NE(desc, nullptr);
    EXPECT_FALSE(desc->flags & AV_PIX_FMT_FLAG_HWACCEL) << "not downloaded";
    const testrig::MediaReadBack back = testrig::readBack(out);
    ASSERT_TRUE(back.opened);
    ASSERT_EQ(back.streams.size(), 1u);
    EXPECT_EQ(back.streams[0].packets, 10);
    EXPECT_GT(back.streams[0].width, 0);
  }
}

// Two engines keep their own devices.
TEST_F(HWDeviceListTest, EachEngineHasItsOwnList) {
  TCustomFFmpegOpt other;
  other.FHWDevices.AddDevice("shared", AV_HWDEVICE_TYPE_VAAPI, fakeRef());
  EXPECT_EQ(engine_->FHWDevices.DeviceByName("shared"), nullptr);
  EXPECT_EQ(engine_->FHWDevices.DefaultDeviceName(AV_HWDEVICE_TYPE_VAAPI), "vaapi0");
}

}  // namespace
