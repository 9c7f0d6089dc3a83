// The real player and encoder: a generated clip played headless (SDL's dummy
// drivers) and recorded; the MP4 is decoded back.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "encoder/CustomEncoder.h"
#include "foundation/AVHandles.h"
#include "foundation/MainThread.h"
#include "player/CustomPlayer.h"
#include "recording/PlayerEncoderPorts.h"
#include "recording/RecordPacking.h"
#include "support/Watchdog.h"
#include "testmedia/OutputFile.h"

namespace corvane {
namespace {

constexpr int kFps = 30;
constexpr int kSeconds = 3;
constexpr int kRate = 48000;

// Picture N has luma 16 + 2N; a click of 2 ms opens every whole second.
void writeClip(const std::string& path) {
  testmedia::OutputFile out("recording clip", "matroska", path);
  out.addVideo({.chain = "nullsrc=s=640x360:r=30:d=3,geq=lum=16+2*N:cb=128:cr=128",
                .encoder = "mpeg4",
                .gop = 12,
                .bFrames = 0,
                .qscale = 2});
  out.addAudio({.chain = "aevalsrc=exprs='if(lt(mod(n,48000),96),0.9,0)|if(lt(mod(n,48000),96),"
                         "0.9,0)':c=stereo:s=48000:d=3",
                .encoder = "pcm_s16le",
                .sampleRate = kRate});
  out.write();
}

struct Decoded {
  std::vector<std::int64_t> pictureUs;
  std::vector<int> pictureNumber;
  std::vector<float> sound;  // the first channel
  int rate = 0;
};

float sampleAt(const AVFrame* f, int i) {
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

bool decode(const std::string& file, Decoded& d) {
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
std::vector<std::int64_t> clicks(const std::vector<float>& s, int rate) {
  std::vector<std::int64_t> at;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (std::fabs(s[i]) > 0.5f &&
        (at.empty() || static_cast<std::int64_t>(i) - at.back() > rate / 2))
      at.push_back(static_cast<std::int64_t>(i));
  return at;
}

// Other formats are converted to yuv420p; formats the scaler cannot read are refused.
TEST(RecordingEndToEnd, OtherPictureFormatsConverted) {
  TDEDirerer encoder;
  ASSERT_TRUE(encoder.LoadAVLib("")) << encoder.LastErrMsg();
  constexpr int w = 33, h = 17;
  std::vector<std::uint8_t> planes[3];
  PicturePlanes p;
  for (int i = 0; i < 3; ++i) {
    planes[i].assign(static_cast<std::size_t>(w + 3) * h, static_cast<std::uint8_t>(60 + 40 * i));
    p.data[i] = planes[i].data();
    p.linesize[i] = w + 3;
  }
  TRecordPacker packer;
  ASSERT_TRUE(packer.Pack(p, AV_PIX_FMT_YUV444P, w, h, 0));
  ASSERT_EQ(packer.Size(), kRecordHeaderBytes + RecordPlaneBytes(w, h));
  const std::uint8_t* y = packer.Data() + kRecordHeaderBytes;
  const std::uint8_t* u = y + w * h;
  for (int i = 0; i < w * h; ++i) ASSERT_NEAR(y[i], 60, 1) << i;
  for (int i = 0; i < 17 * 9; ++i) ASSERT_NEAR(u[i], 100, 1) << i;
  EXPECT_FALSE(packer.Pack(p, AV_PIX_FMT_VAAPI, w, h, 0));
  encoder.UnloadAVLib();
}

TEST(RecordingEndToEnd, RecordsWhatPlays) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("corvane-rec-e2e-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string clip = (dir / "clip.mkv").string();

  auto dispatcher = std::make_shared<QueueDispatcher>();
  setDispatcher(dispatcher);
  TDEDirerer encoder;
  TRORizozu player;
  ASSERT_TRUE(encoder.LoadAVLib("")) << encoder.LastErrMsg();
  ASSERT_TRUE(player.LoadAVLib("")) << player.LastErrMsg();
  writeClip(clip);
  RegisterRecordingInputFormats();
  player.SetAudioDriver("dummy");
  player.SetVideoDriver("dummy");
  player.SetRepeatType(rtStop);  // the end of the file stops playback

  TPlayerRecordPort playerPort(player);
  TEncoderRecordPort encoderPort(encoder);
  std::vector<std::string> messages;
  TRecordingBridge bridge(playerPort, encoderPort,
                          [&](const std::string& text) { messages.push_back(text); });
  std::atomic<int> shown{0};
  player.OnFrameHook = [&](TObject*, const PicturePlanes& p, AVPixelFormat f, int w, int h,
                           std::int64_t pts) {
    ++shown;
    bridge.FrameHook(p, f, w, h, pts);
  };
  player.OnAudioHook = [&](TObject*, std::int64_t pts, const std::uint8_t* s, int n, int rate,
                           int channels) { bridge.AudioHook(pts, s, n, rate, channels); };
  player.OnFileOpen = [&](TObject*, std::int64_t, int, int, int&, int&) { bridge.OnFileOpen(); };
  bool stopped = false;
  player.OnState = [&](TObject*, TPlayState s) {
    if (s != psStop) return;
    bridge.OnPlayStateStop();
    stopped = true;
  };

  testrig::withinDeadline(std::chrono::seconds(90), "recording a clip", [&] {
    bridge.StartRecording();
    ASSERT_TRUE(player.Open(clip)) << player.LastErrMsg();
    while (!stopped) {
      dispatcher->waitForWork(std::chrono::milliseconds(20));
      dispatcher->pump();
    }
    player.Stop(true);
  });
  DetachRecordingHooks(player);
  setDispatcher(nullptr);

  EXPECT_TRUE(messages.empty()) << messages.front();
  const std::string out = (dir / "clip_(new).mp4").string();
  EXPECT_EQ(bridge.OutputFileName(), out);
  Decoded d;
  ASSERT_TRUE(decode(out, d));
  ASSERT_FALSE(d.pictureUs.empty());
  EXPECT_EQ(d.pictureUs.front(), 0);
  EXPECT_EQ(d.pictureNumber.front(), 0) << "armed before the open: from the first picture";
  for (std::size_t i = 1; i < d.pictureNumber.size(); ++i)
    ASSERT_GT(d.pictureNumber[i], d.pictureNumber[i - 1]) << "picture " << i;
  EXPECT_EQ(static_cast<std::int64_t>(d.pictureUs.size()) + bridge.Drops().Video, shown.load());

  // Each click plays within a frame of the picture shown with it.
  ASSERT_GT(d.rate, 0);
  const std::vector<std::int64_t> at = clicks(d.sound, d.rate);
  int checked = 0;
  for (const std::int64_t sample : at) {
    const double t = static_cast<double>(sample) / d.rate;
    const int second = static_cast<int>(std::lround(t + d.pictureNumber.front() / double(kFps)));
    for (std::size_t i = 0; i < d.pictureNumber.size(); ++i)
      if (d.pictureNumber[i] == second * kFps) {
        EXPECT_NEAR(t, d.pictureUs[i] / 1e6, 1.0 / kFps) << "click of second " << second;
        ++checked;
      }
  }
  EXPECT_GE(checked, kSeconds - 1);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace corvane
