// Opening inputs: records, time limits, start positions, decoders, per-stream
// settings, failures that leave the engine as it was, attachment dumps.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "support/TranscoderRig.h"
#include "testmedia/OutputFile.h"
#include "testmedia/TestMedia.h"
#include "transcoder/InputOpening.h"

using namespace corvane;
namespace media = corvane::testmedia;

namespace {

const char* const kVideo = "testsrc=size=320x240:rate=25:duration=1";
const char* const kAudio = "sine=frequency=440:duration=1";

using Fill = std::function<void(TPerFileOptions&)>;

TSpecifierValue text(const std::string& spec, const std::string& value) {
  TSpecifierValue v;
  v.specifier = spec;
  v.str = value;
  return v;
}
TSpecifierValue integer(const char* spec, int value) {
  TSpecifierValue v;
  v.specifier = spec;
  v.i = value;
  return v;
}
TSpecifierValue real(const char* spec, double value) {
  TSpecifierValue v;
  v.specifier = spec;
  v.dbl = value;
  return v;
}

class InputFileTest : public testrig::TranscoderTest {
 protected:
  // Opens file with a record filled by fill; the index or a negative code.
  int open(const std::string& file, const Fill& fill = {}) {
    auto o = engine_->NewPerFileOptions();
    if (fill) fill(*o);
    int ret = 0;
    try {
      ret = engine_->OpenInputFile(*o, "", "", file);
    } catch (...) {
      engine_->ReleasePerFileOptions(std::move(o));
      throw;
    }
    engine_->ReleasePerFileOptions(std::move(o));
    return ret;
  }
  // A generated file with a video and an audio stream.
  int openBoth(const Fill& fill = {}) { return open(both(), fill); }
  static std::string both() { return media::ensure(media::Kind::Mp4H264Aac); }
  int openLavfi(const std::string& graph, const Fill& fill = {}) {
    return open(graph, [&](TPerFileOptions& o) {
      o.format = "lavfi";
      if (fill) fill(o);
    });
  }
  // The fatal error's text, or "" when the open did not raise.
  std::string fatalText(const std::function<int()>& openIt) {
    try {
      openIt();
    } catch (const FFmpegException& e) {
      return e.what();
    }
    return "";
  }
  TInputFile& file(int i) { return *engine_->Finput_files.at(i); }
  TInputStream& stream(int i) { return *engine_->Finput_streams.at(i); }
  TInputStream& streamOfType(int file_index, AVMediaType type) {
    const TInputFile& f = file(file_index);
    for (int i = f.ist_index; i < f.ist_index + f.nb_streams; ++i)
      if (stream(i).st->codecpar->codec_type == type) return stream(i);
    throw std::runtime_error("no such stream");
  }
  void expectNoRecords() {
    EXPECT_TRUE(engine_->Finput_files.empty());
    EXPECT_TRUE(engine_->Finput_streams.empty());
  }
};

TEST_F(InputFileTest, RecordsAndIndexesOfTwoInputs) {
  ASSERT_EQ(openBoth(), 0) << engine_->FLastErrMsg;
  ASSERT_EQ(openLavfi(kAudio, [](TPerFileOptions& o) { o.loop = 2; }), 1) << engine_->FLastErrMsg;
  ASSERT_EQ(engine_->Fnb_input_files(), 2);
  ASSERT_EQ(engine_->Fnb_input_streams(), 3);
  EXPECT_EQ(engine_->Finput_stream_potentially_available, 1);

  const int expected_ist_index[] = {0, 2};
  for (int f = 0; f < 2; ++f) {
    SCOPED_TRACE(f);
    const TInputFile& in = file(f);
    ASSERT_TRUE(in.ctx);
    EXPECT_EQ(in.ist_index, expected_ist_index[f]);
    EXPECT_EQ(in.nb_streams, static_cast<int>(in.ctx->nb_streams));
    EXPECT_EQ(in.start_time, AV_NOPTS_VALUE);
    EXPECT_EQ(in.recording_time, INT64_MAX);
    EXPECT_EQ(in.accurate_seek, 1);
    EXPECT_TRUE(in.pkt);
    const std::int64_t start = in.ctx->start_time == AV_NOPTS_VALUE ? 0 : in.ctx->start_time;
    EXPECT_EQ(in.ts_offset, -start);
    for (int s = 0; s < in.nb_streams; ++s) {
      const TInputStream& ist = stream(in.ist_index + s);
      EXPECT_EQ(ist.file_index, f);
      EXPECT_EQ(ist.st, in.ctx->streams[s]);
      EXPECT_EQ(ist.discard, 1);
      EXPECT_EQ(ist.st->discard, AVDISCARD_ALL);
      EXPECT_EQ(ist.user_set_discard, AVDISCARD_NONE);
      ASSERT_TRUE(ist.dec_ctx);
      ASSERT_NE(ist.avdec, nullptr);
      EXPECT_EQ(ist.dec_ctx->codec_id, ist.st->codecpar->codec_id);
      EXPECT_EQ(ist.avdec->id, ist.st->codecpar->codec_id);
    }
  }
  EXPECT_EQ(file(1).loop, 2);
  EXPECT_EQ(streamOfType(0, AVMEDIA_TYPE_VIDEO).hwaccel_pix_fmt, AV_PIX_FMT_NONE);
}

TEST_F(InputFileTest, TimeLimits) {
  const std::string wav = media::ensure(media::Kind::Wav);
  struct Case {
    std::int64_t ss, t, to;
    int ret;
    std::int64_t recording_time;
    const char* message;
  } cases[] = {
      {10000000, INT64_MAX, 5000000, AVERROR(EINVAL), 0, "-to value smaller than -ss; aborting."},
      {AV_NOPTS_VALUE, INT64_MAX, 0, AVERROR(EINVAL), 0, "-to value smaller than -ss; aborting."},
      {AV_NOPTS_VALUE, 5000000, 8000000, 0, 5000000,
       "-t and -to cannot be used together; using -t."},
      {500000, INT64_MAX, 1500000, 0, 1000000, nullptr},
      {AV_NOPTS_VALUE, INT64_MAX, 1500000, 0, 1500000, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    const int before = engine_->Fnb_input_files();
    const int ret = open(wav, [&](TPerFileOptions& o) {
      o.start_time = c.ss;
      o.recording_time = c.t;
      o.stop_time = c.to;
    });
    if (c.message) {
      EXPECT_TRUE(logged(c.message));
    }
    if (c.ret < 0) {
      EXPECT_EQ(ret, c.ret);
      EXPECT_EQ(engine_->FLastErrMsg, c.message);
      EXPECT_EQ(engine_->Fnb_input_files(), before);
      continue;
    }
    ASSERT_EQ(ret, before) << engine_->FLastErrMsg;
    EXPECT_EQ(file(ret).recording_time, c.recording_time);
  }
}

TEST_F(InputFileTest, StartFromTheEnd) {
  const std::string m4a = media::ensure(media::Kind::Aac60s);
  constexpr std::int64_t kNone = AV_NOPTS_VALUE;
  struct Case {
    std::int64_t ss, sseof;
    int ret;
    std::int64_t start_from_end;  // expected start = duration - this; kNone: no start
    const char* message;
  } cases[] = {
      {kNone, -3000000, 0, 3000000, nullptr},
      {kNone, 2000000, AVERROR(EINVAL), 0, "-sseof value must be negative; aborting"},
      {kNone, -100000000, 0, kNone, "-sseof value seeks to before start of file"},
      {4000000, -3000000, 0, kNone, "Cannot use -ss and -sseof both, using -ss for"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sseof);
    engine_->FInputDuration = 0;
    const int ret = open(m4a, [&](TPerFileOptions& o) {
      o.start_time = c.ss;
      o.start_time_eof = c.sseof;
    });
    if (c.message) {
      EXPECT_TRUE(logged(c.message));
    }
    if (c.ret < 0) {
      EXPECT_EQ(ret, c.ret);
      EXPECT_EQ(engine_->FLastErrMsg, c.message);
      continue;
    }
    ASSERT_GE(ret, 0) << engine_->FLastErrMsg;
    const std::int64_t duration = file(ret).ctx->duration;
    ASSERT_GT(duration, 59000000);
    std::int64_t start = c.ss;
    if (c.start_from_end != kNone) start = duration - c.start_from_end;
    EXPECT_EQ(file(ret).start_time, start);
    // The longest remaining input counts from the resolved start.
    EXPECT_EQ(engine_->FInputDuration, duration - (start == kNone ? 0 : start));
  }

  ASSERT_GE(openLavfi(kAudio, [](TPerFileOptions& o) { o.start_time_eof = -1000000; }), 0);
  EXPECT_TRUE(logged("Cannot use -sseof, duration of " + std::string(kAudio) + " not known"));
  EXPECT_EQ(engine_->Finput_files.back()->start_time, AV_NOPTS_VALUE);
}

TEST_F(InputFileTest, FormatAndOpenFailures) {
  struct Case {
    const char* file;
    const char* format;
    int ret;
    std::string message;
    const char* logged_too;
  } cases[] = {
      {"x.wav", "nosuchfmt", AVERROR(EINVAL), "Unknown input format: \"nosuchfmt\"", nullptr},
      {"nosuchproto://clip", "", AVERROR_PROTOCOL_NOT_FOUND,
       "nosuchproto://clip: Protocol not found", "Did you mean file:nosuchproto://clip?"},
      {"/nonexistent/clip.wav", "", AVERROR(ENOENT),
       "/nonexistent/clip.wav: No such file or directory", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(open(c.file, [&](TPerFileOptions& o) { o.format = c.format; }), c.ret);
    EXPECT_EQ(engine_->FLastErrMsg, c.message);
    if (c.logged_too) {
      EXPECT_TRUE(logged(c.logged_too));
    }
  }
  expectNoRecords();
  EXPECT_EQ(openLavfi(kVideo), 0) << engine_->FLastErrMsg;
}

TEST_F(InputFileTest, ForcedDecoders) {
  const std::string wav = media::ensure(media::Kind::Wav);
  ASSERT_EQ(open(wav, [](TPerFileOptions& o) { o.codec_names.push_back(text("a", "pcm_s16be")); }),
            0)
      << engine_->FLastErrMsg;
  const TInputStream& ist = stream(0);
  ASSERT_NE(ist.avdec, nullptr);
  EXPECT_STREQ(ist.avdec->name, "pcm_s16be");
  EXPECT_EQ(ist.st->codecpar->codec_id, AV_CODEC_ID_PCM_S16BE);
  EXPECT_EQ(file(0).ctx->audio_codec, ist.avdec);
  EXPECT_EQ(file(0).ctx->audio_codec_id, AV_CODEC_ID_PCM_S16BE);
  EXPECT_EQ(file(0).ctx->video_codec, nullptr);

  struct Case {
    const char* spec;
    const char* name;
    const char* fatal;
  } cases[] = {
      {"v", "aac", "Invalid decoder type \"aac\""},
      {"v", "nosuchdecoder", "Unknown decoder \"nosuchdecoder\""},
      // Not a plain kind: resolved per stream, after the file was opened.
      {"v:0", "aac", "Invalid decoder type \"aac\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    EXPECT_EQ(fatalText([&] {
                return openBoth(
                    [&](TPerFileOptions& o) { o.codec_names.push_back(text(c.spec, c.name)); });
              }),
              c.fatal);
    EXPECT_EQ(engine_->Fnb_input_files(), 1);
    EXPECT_EQ(engine_->Fnb_input_streams(), 1);
  }
}

TEST_F(InputFileTest, DiscardSettings) {
  struct Case {
    Fill fill;
    int video, audio;
  } cases[] = {
      {[](TPerFileOptions& o) { o.audio_disable = 1; }, AVDISCARD_NONE, AVDISCARD_ALL},
      {[](TPerFileOptions& o) { o.video_disable = 1; }, AVDISCARD_ALL, AVDISCARD_NONE},
      {[](TPerFileOptions& o) { o.discard.push_back(text("v", "nokey")); }, AVDISCARD_NONKEY,
       AVDISCARD_NONE},
      {[](TPerFileOptions& o) {
         o.audio_disable = 1;
         o.discard.push_back(text("a", "default"));
       },
       AVDISCARD_NONE, AVDISCARD_DEFAULT},
  };
  for (const Case& c : cases) {
    const int f = openBoth(c.fill);
    ASSERT_GE(f, 0) << engine_->FLastErrMsg;
    SCOPED_TRACE(f);
    EXPECT_EQ(streamOfType(f, AVMEDIA_TYPE_VIDEO).user_set_discard, c.video);
    EXPECT_EQ(streamOfType(f, AVMEDIA_TYPE_AUDIO).user_set_discard, c.audio);
    EXPECT_EQ(streamOfType(f, AVMEDIA_TYPE_AUDIO).st->discard, AVDISCARD_ALL);
  }
  EXPECT_EQ(fatalText([&] {
              return openLavfi(kVideo,
                               [](TPerFileOptions& o) { o.discard.push_back(text("", "bogus")); });
            }),
            "Error parsing discard bogus.");
  EXPECT_EQ(engine_->Fnb_input_files(), 4);
}

TEST_F(InputFileTest, CodecOptionsNoStreamUsed) {
  ASSERT_EQ(openLavfi(kVideo), 0);
  // g is an encoding option: the file fails and leaves nothing behind.
  EXPECT_EQ(openBoth([](TPerFileOptions& o) { o.group->codec_opts.set("g", "50"); }),
            AVERROR(EINVAL));
  EXPECT_EQ(engine_->FLastErrMsg.rfind("Codec AVOption g (", 0), 0u) << engine_->FLastErrMsg;
  EXPECT_NE(engine_->FLastErrMsg.find(") specified for input file #1 (" + both() +
                                      ") is not a decoding option."),
            std::string::npos)
      << engine_->FLastErrMsg;
  EXPECT_EQ(engine_->Fnb_input_files(), 1);
  EXPECT_EQ(engine_->Fnb_input_streams(), 1);

  // The engine goes on: the next input takes the place.
  ASSERT_EQ(openBoth(), 1) << engine_->FLastErrMsg;
  EXPECT_EQ(file(1).ist_index, 1);
  EXPECT_EQ(engine_->Fnb_input_streams(), 3);

  // A decoding option no stream takes is only a warning.
  ASSERT_EQ(
      openLavfi(kVideo, [](TPerFileOptions& o) { o.group->codec_opts.set("drc_scale", "0"); }), 2)
      << engine_->FLastErrMsg;
  EXPECT_TRUE(logged("Codec AVOption drc_scale ("));
  EXPECT_TRUE(logged("has not been used for any stream."));

  // An option of the video decoders is handed to the video stream only.
  ASSERT_EQ(openBoth([](TPerFileOptions& o) { o.group->codec_opts.set("skip_frame:v", "nokey"); }),
            3);
  EXPECT_STREQ(streamOfType(3, AVMEDIA_TYPE_VIDEO).decoder_opts.find("skip_frame"), "nokey");
  EXPECT_TRUE(streamOfType(3, AVMEDIA_TYPE_AUDIO).decoder_opts.empty());
}

TEST_F(InputFileTest, UnknownDemuxerOption) {
  const Fill fill = [](TPerFileOptions& o) { o.group->format_opts.set("nosuchoption", "1"); };
  EXPECT_EQ(fatalText([&] { return openLavfi(kVideo, fill); }), "Option nosuchoption not found.");
  expectNoRecords();
  engine_->HaltOnInvalidOption = false;
  EXPECT_EQ(openLavfi(kVideo, fill), 0);
  EXPECT_EQ(engine_->FLastErrMsg, "Option nosuchoption not found.");
}

TEST_F(InputFileTest, PerStreamSettings) {
  const Fill fill = [](TPerFileOptions& o) {
    o.ts_scale.push_back(real("v", 2.5));
    o.autorotate.push_back(integer("v", 0));
    o.frame_rates.push_back(text("v", "30000/1001"));
    o.top_field_first.push_back(integer("v", 1));
    o.reinit_filters.push_back(integer("a", 0));
    o.guess_layout_max.push_back(integer("a", 6));
    o.bitexact = 1;
  };
  ASSERT_EQ(openBoth(fill), 0) << engine_->FLastErrMsg;
  const TInputStream& v = streamOfType(0, AVMEDIA_TYPE_VIDEO);
  const TInputStream& a = streamOfType(0, AVMEDIA_TYPE_AUDIO);
  EXPECT_DOUBLE_EQ(v.ts_scale, 2.5);
  EXPECT_DOUBLE_EQ(a.ts_scale, 1.0);
  EXPECT_EQ(v.autorotate, 0);
  EXPECT_EQ(a.autorotate, 1);
  EXPECT_EQ(v.framerate.num, 30000);
  EXPECT_EQ(v.framerate.den, 1001);
  EXPECT_EQ(v.top_field_first, 1);
  EXPECT_EQ(v.reinit_filters, -1);
  EXPECT_EQ(a.reinit_filters, 0);
  EXPECT_EQ(a.guess_layout_max, 6);
  EXPECT_TRUE(v.dec_ctx->flags & AV_CODEC_FLAG_BITEXACT);
  EXPECT_TRUE(file(0).ctx->flags & AVFMT_FLAG_BITEXACT);
  EXPECT_TRUE(file(0).ctx->flags & AVFMT_FLAG_NONBLOCK);

  EXPECT_EQ(fatalText([&] {
              return openLavfi(kVideo,
                               [](TPerFileOptions& o) { o.frame_rates.push_back(text("", "x")); });
            }),
            "Error parsing framerate x.");
  EXPECT_EQ(engine_->Fnb_input_files(), 1);
}

TEST_F(InputFileTest, CodecTags) {
  struct Case {
    const char* text;
    std::uint32_t tag;
  } cases[] = {
      {"avc1", MKTAG('a', 'v', 'c', '1')},
      {"ab", MKTAG('a', 'b', 0, 0)},  // short texts are
                                      // zero-padded
      {"x", MKTAG('x', 0, 0, 0)},
      {"0x31637661", 0x31637661},
      {"017", 15},
      {"42", 42},
      {"12ab", MKTAG('1', '2', 'a', 'b')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_codec_tag(c.text), c.tag);
  }
  ASSERT_EQ(openLavfi(kVideo, [](TPerFileOptions& o) { o.codec_tags.push_back(text("v", "ab")); }),
            0);
  EXPECT_EQ(stream(0).st->codecpar->codec_tag, MKTAG('a', 'b', 0, 0));
}

TEST_F(InputFileTest, HardwareAcceleration) {
  struct Case {
    const char* hwaccel;
    const char* output_format;
    THWAccelID id;
    AVHWDeviceType type;
    AVPixelFormat format;
    const char* message;
  } cases[] = {
      {"cuvid", nullptr, HWACCEL_GENERIC, AV_HWDEVICE_TYPE_CUDA, AV_PIX_FMT_CUDA,
       "WARNING: defaulting hwaccel_output_format to cuda"},
      {"nvdec", nullptr, HWACCEL_GENERIC, AV_HWDEVICE_TYPE_CUDA, AV_PIX_FMT_NONE, nullptr},
      {"vaapi", "nv12", HWACCEL_GENERIC, AV_HWDEVICE_TYPE_VAAPI, AV_PIX_FMT_NV12, nullptr},
      {"auto", nullptr, HWACCEL_AUTO, AV_HWDEVICE_TYPE_NONE, AV_PIX_FMT_NONE, nullptr},
      {"none", nullptr, HWACCEL_NONE, AV_HWDEVICE_TYPE_NONE, AV_PIX_FMT_NONE, nullptr},
      {"qsv", nullptr, HWACCEL_QSV, AV_HWDEVICE_TYPE_NONE, AV_PIX_FMT_NONE, nullptr},
      {"cuda", "bogus", HWACCEL_GENERIC, AV_HWDEVICE_TYPE_CUDA, AV_PIX_FMT_NONE,
       "Unrecognised hwaccel output format: bogus"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hwaccel);
    const int f = openLavfi(kVideo, [&](TPerFileOptions& o) {
      o.hwaccels.push_back(text("", c.hwaccel));
      if (c.output_format) o.hwaccel_output_formats.push_back(text("v", c.output_format));
      o.hwaccel_devices.push_back(text("v", "/dev/dri/renderD128"));
    });
    ASSERT_GE(f, 0) << engine_->FLastErrMsg;
    const TInputStream& ist = stream(file(f).ist_index);
    EXPECT_EQ(ist.hwaccel_id, c.id);
    EXPECT_EQ(ist.hwaccel_device_type, c.type);
    EXPECT_EQ(ist.hwaccel_output_format, c.format);
    EXPECT_EQ(ist.hwaccel_device, "/dev/dri/renderD128");
    if (c.message) {
      EXPECT_TRUE(logged(c.message));
    }
  }
  EXPECT_EQ(fatalText([&] {
              return openLavfi(kVideo,
                               [](TPerFileOptions& o) { o.hwaccels.push_back(text("", "foo")); });
            }),
            "Unrecognized hwaccel: foo.\r\nSupported hwaccels:");
  EXPECT_TRUE(logged("vaapi "));
  EXPECT_EQ(engine_->Fnb_input_files(), static_cast<int>(std::size(cases)));
}

TEST_F(InputFileTest, GuessedChannelLayout) {
  const std::string wav = media::ensure(media::Kind::Wav);
  ASSERT_EQ(open(wav), 0) << engine_->FLastErrMsg;
  const TInputStream& ist = stream(0);
  if (ist.st->codecpar->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
    GTEST_SKIP() << "the probed layout stayed unspecified";
  // The layout a plain wave header leaves open is guessed, unless limited.
  EXPECT_TRUE(logged("Guessed Channel Layout for Input Stream #0.0 : stereo"));
  EXPECT_EQ(ist.dec_ctx->ch_layout.order, AV_CHANNEL_ORDER_NATIVE);
  ASSERT_EQ(open(wav, [](TPerFileOptions& o) { o.guess_layout_max.push_back(integer("", 1)); }), 1);
  EXPECT_EQ(stream(1).dec_ctx->ch_layout.order, AV_CHANNEL_ORDER_UNSPEC);
}

TEST_F(InputFileTest, FindStreamInfoEvent) {
  for (int find : {1, 0}) {
    SCOPED_TRACE(find);
    engine_->Ffind_stream_info = find;
    int raised = 0;
    AVFormatContext* seen = nullptr;
    engine_->FOnBeforeFindStreamInfo = [&](TObject* sender, AVFormatContext* ic) {
      EXPECT_EQ(sender, engine_.get());
      ++raised;
      seen = ic;
    };
    const int f = openLavfi(kVideo);
    ASSERT_GE(f, 0) << engine_->FLastErrMsg;
    EXPECT_EQ(raised, find);
    if (find) {
      EXPECT_EQ(seen, file(f).ctx.get());
    }
  }
}

// A start on a file with B-frames backs the seek off, but the file's offset
// keeps the exact start.
TEST_F(InputFileTest, StartOffsetOnDelayedVideo) {
  const std::string ts = path("bframes.ts");
  {
    media::OutputFile out("bframes", "mpegts", ts);
    out.addVideo({.chain = "testsrc=size=320x240:rate=25:duration=3",
                  .encoder = "mpeg4",
                  .gop = 12,
                  .bFrames = 2,
                  .qscale = 4});
    out.write();
  }
  struct Case {
    int copy_ts, start_at_zero;
    std::int64_t itsoffset;
    bool minus_start;      // ts_offset includes -(ss + context start)
    bool minus_ctx_start;  // ts_offset includes -context start
  } cases[] = {
      {0, 0, 0, true, false},
      {0, 0, 500000, true, false},
      {1, 0, 500000, false, false},
      {1, 1, 500000, false, true},
  };
  constexpr std::int64_t kSs = 1000000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.copy_ts * 10 + c.start_at_zero);
    engine_->Fcopy_ts = c.copy_ts;
    engine_->Fstart_at_zero = c.start_at_zero;
    const int f = open(ts, [&](TPerFileOptions& o) {
      o.start_time = kSs;
      o.input_ts_offset = c.itsoffset;
    });
    ASSERT_GE(f, 0) << engine_->FLastErrMsg;
    const AVFormatContext* ic = file(f).ctx.get();
    ASSERT_FALSE(ic->iformat->flags & AVFMT_SEEK_TO_PTS);
    ASSERT_GT(ic->streams[0]->codecpar->video_delay, 0);
    ASSERT_NE(ic->start_time, AV_NOPTS_VALUE);
    std::int64_t expected = c.itsoffset;
    if (c.minus_start) expected -= kSs + ic->start_time;
    if (c.minus_ctx_start) expected -= ic->start_time;
    EXPECT_EQ(file(f).ts_offset, expected);
    EXPECT_EQ(file(f).start_time, kSs);
  }
}

// The same settings written as option strings.
TEST_F(InputFileTest, OptionStrings) {
  const std::string lavfi = std::string("-f lavfi ");
  const std::string video = kVideo;
  const std::string m4a = media::ensure(media::Kind::Aac60s);
  struct Case {
    std::string options;
    std::string file;
    int ret;
    const char* message;  // FLastErrMsg on failure, else a logged text
    std::function<void(const TInputFile&, const TInputStream&)> check;
  } cases[] = {
      {lavfi + "-ss 10 -to 5", video, AVERROR(EINVAL), "-to value smaller than -ss; aborting.", {}},
      {lavfi + "-t 5 -to 8", video, 0, "-t and -to cannot be used together; using -t.",
       [](const TInputFile& f, const TInputStream&) { EXPECT_EQ(f.recording_time, 5000000); }},
      {"-sseof 2", m4a, AVERROR(EINVAL), "-sseof value must be negative; aborting", {}},
      {"-sseof -3", m4a, 0, nullptr,
       [](const TInputFile& f, const TInputStream&) {
         EXPECT_EQ(f.start_time, f.ctx->duration - 3000000);
       }},
      {"-f nosuchfmt", video, AVERROR(EINVAL), "Unknown input format: \"nosuchfmt\"", {}},
      {lavfi + "-g 50", video, AVERROR(EINVAL), nullptr, {}},
      {lavfi + "-b:v 1M", video, AVERROR(EINVAL), nullptr, {}},
      {lavfi + "-vn", video, 0, nullptr,
       [](const TInputFile&, const TInputStream& ist) {
         EXPECT_EQ(ist.user_set_discard, AVDISCARD_ALL);
       }},
      {lavfi + "-itsoffset 0.5 -stream_loop 2 -re -itsscale:v 2 -tag:v ab", video, 0, nullptr,
       [](const TInputFile& f, const TInputStream& ist) {
         EXPECT_EQ(f.input_ts_offset, 500000);
         EXPECT_EQ(f.loop, 2);
         EXPECT_EQ(f.rate_emu, 1);
         EXPECT_DOUBLE_EQ(ist.ts_scale, 2.0);
         EXPECT_EQ(ist.st->codecpar->codec_tag, MKTAG('a', 'b', 0, 0));
       }},
      {lavfi + "-hwaccel cuvid", video, 0, "WARNING: defaulting hwaccel_output_format to cuda",
       [](const TInputFile&, const TInputStream& ist) {
         EXPECT_EQ(ist.hwaccel_output_format, AV_PIX_FMT_CUDA);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const int before = engine_->Fnb_input_files();
    const int ret = openInput(c.options, c.file);
    if (c.ret < 0) {
      EXPECT_EQ(ret, c.ret);
      if (c.message) {
        EXPECT_EQ(engine_->FLastErrMsg, c.message);
      }
      EXPECT_EQ(engine_->Fnb_input_files(), before);
      continue;
    }
    ASSERT_EQ(ret, before) << engine_->FLastErrMsg;
    if (c.message) {
      EXPECT_TRUE(logged(c.message));
    }
    if (c.check) c.check(file(ret), stream(file(ret).ist_index));
  }
  EXPECT_TRUE(logged("Codec AVOption g (") && logged("is not a decoding option."));
  EXPECT_EQ(engine_->Frate_emu, 1);
  EXPECT_TRUE(logged("cannot be applied to input file"));
  EXPECT_EQ(fatalText([&] { return openInput(lavfi + "-c:v aac", video); }),
            "Invalid decoder type \"aac\"");
}

class AttachmentDumpTest : public InputFileTest {
 protected:
  void SetUp() override {
    InputFileTest::SetUp();
    input_ = path("input.m4a");
    std::filesystem::copy_file(media::ensure(media::Kind::Aac60s), input_);
  }
  // Opens the input dumping the audio stream's extradata to target.
  int dump(const std::string& target, const char* spec = "a") {
    return open(input_,
                [&](TPerFileOptions& o) { o.dump_attachment.push_back(text(spec, target)); });
  }
  static std::string contents(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::string extradata(int f) const {
    const AVCodecParameters* par = engine_->Finput_files.at(f)->ctx->streams[0]->codecpar;
    return {reinterpret_cast<const char*>(par->extradata),
            static_cast<std::size_t>(par->extradata_size)};
  }
  std::string input_;
};

TEST_F(AttachmentDumpTest, OverwriteRules) {
  const std::string target = path("extra.bin");
  ASSERT_EQ(dump(target), 0) << engine_->FLastErrMsg;
  ASSERT_FALSE(extradata(0).empty());
  EXPECT_EQ(contents(target), extradata(0));

  std::ofstream(target) << "keep";
  ASSERT_EQ(dump(target), 1);
  EXPECT_EQ(contents(target), "keep");
  EXPECT_EQ(engine_->FLastErrMsg, "File \"" + target + "\" already exists. Ignored.");

  engine_->Ffile_overwrite = 1;
  ASSERT_EQ(dump(target), 2);
  EXPECT_EQ(contents(target), extradata(2));

  const std::string before = contents(input_);
  ASSERT_EQ(dump(input_), 3);
  EXPECT_EQ(engine_->FLastErrMsg, "Output " + input_ + " same as Input #0 - ignored.");
  EXPECT_EQ(contents(input_), before);

  engine_->Fno_file_overwrite = 1;
  EXPECT_EQ(fatalText([&] { return dump(target); }), "Error, both -y and -n supplied.");
  EXPECT_EQ(engine_->Fnb_input_files(), 4);
  EXPECT_EQ(engine_->Fnb_input_streams(), 4);
}

TEST_F(AttachmentDumpTest, NothingToDump) {
  ASSERT_EQ(dump(""), 0);
  EXPECT_TRUE(logged("No filename specified and no \"filename\" tag in stream #0:0."));
  ASSERT_EQ(open(media::ensure(media::Kind::Wav),
                 [&](TPerFileOptions& o) { o.dump_attachment.push_back(text("", path("x.bin"))); }),
            1);
  EXPECT_TRUE(logged("No extradata to dump in stream #1:0."));
  EXPECT_FALSE(std::filesystem::exists(path("x.bin")));
}

}  // namespace
