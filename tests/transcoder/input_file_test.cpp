// Opening inputs: records, limits, start positions, decoders, per-stream
// settings, failures that leave the engine as it was, attachment dumps.
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "foundation/AppInputFormats.h"
#include "support/TranscoderRig.h"
#include "testmedia/OutputFile.h"
#include "testmedia/TestMedia.h"
#include "transcoder/InputOpening.h"

using namespace corvane;
namespace media = corvane::testmedia;

namespace {

const std::string kVideo = "testsrc=size=320x240:rate=25:duration=1";
const std::string kLavfi = "-f lavfi ";

class InputFileTest : public testrig::TranscoderTest {
 protected:
  // The fatal error's text, or "" when opening did not raise.
  std::string fatalText(const std::string& options, const std::string& file) {
    try {
      openInput(options, file);
    } catch (const FFmpegException& e) {
      return e.what();
    }
    return "";
  }
  TInputFile& file(int i) { return *engine_->Finput_files.at(i); }
  TInputStream& stream(int file_index, int n) {
    return *engine_->Finput_streams.at(file(file_index).ist_index + n);
  }
  static std::string mp4() { return media::ensure(media::Kind::Mp4H264Aac); }  // video + audio
  static std::string m4a() { return media::ensure(media::Kind::Aac60s); }
  static std::string wav() { return media::ensure(media::Kind::Wav); }
};

TEST_F(InputFileTest, RecordsAndIndexesOfSeveralInputs) {
  ASSERT_EQ(openInput("", mp4()), 0) << engine_->FLastErrMsg;
  ASSERT_EQ(openInput(kLavfi, kVideo), 1) << engine_->FLastErrMsg;
  ASSERT_EQ(openInput("", wav()), 2) << engine_->FLastErrMsg;
  ASSERT_EQ(engine_->Fnb_input_streams(), 4);
  EXPECT_EQ(engine_->Finput_stream_potentially_available, 1);
  const int first_stream[] = {0, 2, 3};
  for (int f = 0; f < 3; ++f) {
    SCOPED_TRACE(f);
    const TInputFile& in = file(f);
    EXPECT_EQ(in.ist_index, first_stream[f]);
    EXPECT_EQ(in.nb_streams, static_cast<int>(in.ctx->nb_streams));
    EXPECT_EQ(in.start_time, AV_NOPTS_VALUE);
    EXPECT_TRUE(in.pkt);
    EXPECT_EQ(in.ts_offset, in.ctx->start_time == AV_NOPTS_VALUE ? 0 : -in.ctx->start_time);
    for (int s = 0; s < in.nb_streams; ++s) {
      const TInputStream& ist = stream(f, s);
      EXPECT_EQ(ist.file_index, f);
      EXPECT_EQ(ist.st, in.ctx->streams[s]);
      EXPECT_EQ(ist.st->discard, AVDISCARD_ALL);
      EXPECT_EQ(ist.user_set_discard, AVDISCARD_NONE);
      ASSERT_TRUE(ist.dec_ctx && ist.avdec);
      EXPECT_EQ(ist.dec_ctx->codec_id, ist.avdec->id);
    }
  }
}

// Settings, limits and failures written as option strings. A failed open
// leaves no record behind.
TEST_F(InputFileTest, OptionStrings) {
  using Check = std::function<void(const TInputFile&)>;
  struct Case {
    std::string options;
    std::string file;
    int ret;
    std::string message;  // FLastErrMsg of a failure, else a logged text
    Check check;
  } cases[] = {
      {"-ss 10 -to 5", wav(), AVERROR(EINVAL), "-to value smaller than -ss; aborting.", {}},
      {"-t 1 -to 1.5", wav(), 0, "-t and -to cannot be used together; using -t.",
       [](const TInputFile& f) { EXPECT_EQ(f.recording_time, 1000000); }},
      {"-ss 0.5 -to 1.5", wav(), 0, "",
       [](const TInputFile& f) { EXPECT_EQ(f.recording_time, 1000000); }},
      {"-sseof 2", m4a(), AVERROR(EINVAL), "-sseof value must be negative; aborting", {}},
      {"-sseof -3", m4a(), 0, "",
       [this](const TInputFile& f) {
         EXPECT_EQ(f.start_time, f.ctx->duration - 3000000);
         // The longest remaining input (the others are 2 s) counts from the resolved start.
         EXPECT_EQ(engine_->FInputDuration, 3000000);
       }},
      {"-sseof -100", m4a(), 0, "-sseof value seeks to before start of file",
       [](const TInputFile& f) { EXPECT_EQ(f.start_time, AV_NOPTS_VALUE); }},
      {"-ss 4 -sseof -3", m4a(), 0, "Cannot use -ss and -sseof both, using -ss for",
       [](const TInputFile& f) { EXPECT_EQ(f.start_time, 4000000); }},
      {kLavfi + "-sseof -1",
       kVideo,
       0,
       "Cannot use -sseof, duration of " + kVideo + " not known",
       {}},
      {"-f nosuchfmt", wav(), AVERROR(EINVAL), "Unknown input format: \"nosuchfmt\"", {}},
      {"",
       "nosuchproto://clip",
       AVERROR_PROTOCOL_NOT_FOUND,
       "nosuchproto://clip: Protocol not found",
       {}},
      {"",
       "/nonexistent/clip.wav",
       AVERROR(ENOENT),
       "/nonexistent/clip.wav: No such file or directory",
       {}},
      {"-an -discard:v nokey", mp4(), 0, "",
       [this](const TInputFile& f) {
         const auto& streams = engine_->Finput_streams;
         EXPECT_EQ(streams.at(f.ist_index)->user_set_discard, AVDISCARD_NONKEY);
         EXPECT_EQ(streams.at(f.ist_index + 1)->user_set_discard, AVDISCARD_ALL);
       }},
      {"-c:a pcm_s16be", wav(), 0, "",
       [this](const TInputFile& f) {
         const TInputStream& ist = *engine_->Finput_streams.at(f.ist_index);
         EXPECT_STREQ(ist.avdec->name, "pcm_s16be");
         EXPECT_EQ(ist.st->codecpar->codec_id, AV_CODEC_ID_PCM_S16BE);
         EXPECT_EQ(f.ctx->audio_codec, ist.avdec);
         EXPECT_EQ(f.ctx->audio_codec_id, AV_CODEC_ID_PCM_S16BE);
       }},
      {kLavfi + "-itsoffset 0.5 -stream_loop 2 -re -itsscale:v 2 -tag:v ab -r 30000/1001 -top 1 "
                "-autorotate 0 -bitexact",
       kVideo, 0, "",
       [this](const TInputFile& f) {
         const TInputStream& ist = *engine_->Finput_streams.at(f.ist_index);
         EXPECT_EQ(f.input_ts_offset, 500000);
         EXPECT_EQ(f.loop, 2);
         EXPECT_EQ(f.rate_emu, 1);
         EXPECT_EQ(engine_->Frate_emu, 1);
         EXPECT_DOUBLE_EQ(ist.ts_scale, 2.0);
         EXPECT_EQ(ist.st->codecpar->codec_tag, MKTAG('a', 'b', 0, 0));
         EXPECT_EQ(av_cmp_q(ist.framerate, AVRational{30000, 1001}), 0);
         EXPECT_EQ(ist.top_field_first, 1);
         EXPECT_EQ(ist.autorotate, 0);
         EXPECT_TRUE(ist.dec_ctx->flags & AV_CODEC_FLAG_BITEXACT);
         EXPECT_TRUE(f.ctx->flags & AVFMT_FLAG_BITEXACT);
       }},
      {kLavfi + "-hwaccel cuvid -hwaccel_device 1", kVideo, 0,
       "WARNING: defaulting hwaccel_output_format to cuda",
       [this](const TInputFile& f) {
         const TInputStream& ist = *engine_->Finput_streams.at(f.ist_index);
         EXPECT_EQ(ist.hwaccel_id, HWACCEL_GENERIC);
         EXPECT_EQ(ist.hwaccel_device_type, AV_HWDEVICE_TYPE_CUDA);
         EXPECT_EQ(ist.hwaccel_output_format, AV_PIX_FMT_CUDA);
         EXPECT_EQ(ist.hwaccel_device, "1");
       }},
      {kLavfi + "-hwaccel vaapi -hwaccel_output_format bogus", kVideo, 0,
       "Unrecognised hwaccel output format: bogus",
       [this](const TInputFile& f) {
         EXPECT_EQ(engine_->Finput_streams.at(f.ist_index)->hwaccel_output_format, AV_PIX_FMT_NONE);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options + " " + c.file);
    const int before = engine_->Fnb_input_files();
    const int ret = openInput(c.options, c.file);
    if (c.ret < 0) {
      EXPECT_EQ(ret, c.ret);
      EXPECT_EQ(engine_->FLastErrMsg, c.message);
      EXPECT_EQ(engine_->Fnb_input_files(), before);
      continue;
    }
    ASSERT_EQ(ret, before) << engine_->FLastErrMsg;
    if (!c.message.empty()) {
      EXPECT_TRUE(logged(c.message));
    }
    if (c.check) c.check(file(ret));
  }
  EXPECT_TRUE(logged("Did you mean file:nosuchproto://clip?"));
}

// Fatal set-up errors, before and after the file was opened, leave the
// engine as it was.
TEST_F(InputFileTest, FatalSettings) {
  ASSERT_EQ(openInput("", wav()), 0);
  struct Case {
    std::string options;
    const char* fatal;
  } cases[] = {
      {"-c:v aac", "Invalid decoder type \"aac\""},
      {"-c:v nosuchdecoder", "Unknown decoder \"nosuchdecoder\""},
      {"-c:v:0 aac", "Invalid decoder type \"aac\""},  // resolved per stream, once opened
      {"-discard bogus", "Error parsing discard bogus."},
      {"-r x", "Error parsing framerate x."},
      {"-hwaccel foo", "Unrecognized hwaccel: foo.\r\nSupported hwaccels:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    EXPECT_EQ(fatalText(kLavfi + c.options, kVideo), c.fatal);
    EXPECT_EQ(engine_->Fnb_input_files(), 1);
    EXPECT_EQ(engine_->Fnb_input_streams(), 1);
  }
  EXPECT_TRUE(logged("vaapi "));
  EXPECT_EQ(openInput(kLavfi, kVideo), 1);
}

TEST_F(InputFileTest, CodecOptionsNoStreamTakes) {
  ASSERT_EQ(openInput(kLavfi, kVideo), 0);
  // An encoding option fails the file, which leaves nothing behind.
  EXPECT_EQ(openInput("-g 50", mp4()), AVERROR(EINVAL));
  EXPECT_EQ(engine_->FLastErrMsg.rfind("Codec AVOption g (", 0), 0u) << engine_->FLastErrMsg;
  EXPECT_NE(engine_->FLastErrMsg.find(") specified for input file #1 (" + mp4() +
                                      ") is not a decoding option."),
            std::string::npos)
      << engine_->FLastErrMsg;
  EXPECT_EQ(engine_->Fnb_input_files(), 1);
  EXPECT_EQ(engine_->Fnb_input_streams(), 1);

  ASSERT_EQ(openInput("-skip_frame:v nokey", mp4()), 1) << engine_->FLastErrMsg;
  EXPECT_EQ(file(1).ist_index, 1);
  EXPECT_STREQ(stream(1, 0).decoder_opts.find("skip_frame"), "nokey");
  EXPECT_TRUE(stream(1, 1).decoder_opts.empty());

  // A decoding option no stream takes is only a warning.
  ASSERT_EQ(openInput(kLavfi + "-drc_scale 0", kVideo), 2) << engine_->FLastErrMsg;
  EXPECT_TRUE(logged("Codec AVOption drc_scale ("));
  EXPECT_TRUE(logged("has not been used for any stream."));
}

TEST_F(InputFileTest, LeftoverDemuxerOption) {
  auto open = [&] {
    auto o = engine_->NewPerFileOptions();
    o->format = "lavfi";
    o->group->format_opts.set("nosuchoption", "1");
    return engine_->OpenInputFile(*o, "", "", kVideo);
  };
  EXPECT_THROW(open(), FFmpegException);
  EXPECT_EQ(engine_->FLastErrMsg, "Option nosuchoption not found.");
  EXPECT_TRUE(engine_->Finput_files.empty());
  engine_->HaltOnInvalidOption = false;
  EXPECT_EQ(open(), 0);
  EXPECT_EQ(engine_->FLastErrMsg, "Option nosuchoption not found.");
}

TEST_F(InputFileTest, CodecTagTexts) {
  struct Case {
    const char* text;
    std::uint32_t tag;
  } cases[] = {
      {"avc1", MKTAG('a', 'v', 'c', '1')}, {"ab", MKTAG('a', 'b', 0, 0)},
      {"x", MKTAG('x', 0, 0, 0)},          {"", 0},
      {"0x31637661", 0x31637661},          {"017", 15},
      {"12ab", MKTAG('1', '2', 'a', 'b')},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_codec_tag(c.text), c.tag) << c.text;
}

// A capture format of the application: one data stream, no packets; its
// "channels" option is the demuxer option -ac sets.
struct TestCapture {
  const AVClass* cls;
  int channels;
};

const AVOption kTestCaptureOptions[] = {
    {"channels",
     "",
     offsetof(TestCapture, channels),
     AV_OPT_TYPE_INT,
     {.i64 = 0},
     0,
     64,
     AV_OPT_FLAG_DECODING_PARAM,
     nullptr},
    {},
};

int seen_channels = -1;

const AVInputFormat& testCaptureFormat() {
  static const AVClass cls = [] {
    AVClass c{};
    c.class_name = "corvanetestcapture";
    c.item_name = ff::av_default_item_name;
    c.option = kTestCaptureOptions;
    c.version = LIBAVUTIL_VERSION_INT;
    return c;
  }();
  static const AVInputFormat format = [] {
    AVInputFormat f{};
    f.name = "corvanetestcapture";
    f.flags = AVFMT_NOFILE;
    f.priv_class = &cls;
    f.priv_data_size = sizeof(TestCapture);
    f.read_header = [](AVFormatContext* s) {
      seen_channels = static_cast<TestCapture*>(s->priv_data)->channels;
      AVStream* st = ff::avformat_new_stream(s, nullptr);
      if (!st) return AVERROR(ENOMEM);
      st->codecpar->codec_type = AVMEDIA_TYPE_DATA;
      return 0;
    };
    f.read_packet = [](AVFormatContext*, AVPacket*) { return AVERROR_EOF; };
    return f;
  }();
  return format;
}

TEST_F(InputFileTest, ApplicationFormatsAndTheirOptions) {
  register_app_input_format(&testCaptureFormat());
  ASSERT_EQ(openInput("-f corvanetestcapture -ac 2", "capture"), 0) << engine_->FLastErrMsg;
  EXPECT_EQ(file(0).ctx->iformat, &testCaptureFormat());
  EXPECT_EQ(seen_channels, 2);
  EXPECT_EQ(stream(0, 0).st->codecpar->codec_type, AVMEDIA_TYPE_DATA);
  // A format without the option does not get it.
  ASSERT_EQ(openInput(kLavfi + "-ac 2", kVideo), 1) << engine_->FLastErrMsg;
}

TEST_F(InputFileTest, GuessedChannelLayout) {
  ASSERT_EQ(openInput("", wav()), 0) << engine_->FLastErrMsg;
  ASSERT_EQ(openInput("-guess_layout_max 1", wav()), 1) << engine_->FLastErrMsg;
  if (file(0).ctx->streams[0]->codecpar->ch_layout.order == AV_CHANNEL_ORDER_NATIVE &&
      !logged("Guessed Channel Layout"))
    GTEST_SKIP() << "the wave header names its layout";
  EXPECT_TRUE(logged("Guessed Channel Layout for Input Stream #0.0 : stereo"));
  EXPECT_EQ(stream(0, 0).dec_ctx->ch_layout.order, AV_CHANNEL_ORDER_NATIVE);
  EXPECT_EQ(stream(1, 0).dec_ctx->ch_layout.order, AV_CHANNEL_ORDER_UNSPEC);
}

TEST_F(InputFileTest, FindStreamInfoEvent) {
  for (int find : {1, 0}) {
    engine_->Ffind_stream_info = find;
    int raised = 0;
    engine_->FOnBeforeFindStreamInfo = [&](TObject* sender, AVFormatContext* ic) {
      EXPECT_EQ(sender, engine_.get());
      EXPECT_EQ(ic->nb_streams, 1u);
      ++raised;
    };
    ASSERT_GE(openInput(kLavfi, kVideo), 0) << engine_->FLastErrMsg;
    EXPECT_EQ(raised, find);
  }
}

// On a file with B-frames the seek target is backed off; the file's offset
// keeps the exact start.
TEST_F(InputFileTest, StartOffsetOnDelayedVideo) {
  const std::string ts = path("bframes.ts");
  {
    media::OutputFile out("bframes", "mpegts", ts);
    out.addVideo(
        {.chain = "testsrc=size=320x240:rate=25:duration=3", .encoder = "mpeg4", .bFrames = 2});
    out.write();
  }
  struct Case {
    int copy_ts, start_at_zero;
    std::int64_t offset_without_start;  // ts_offset + the context's start time
  } cases[] = {{0, 0, 500000 - 1000000}, {1, 1, 500000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.copy_ts);
    engine_->Fcopy_ts = c.copy_ts;
    engine_->Fstart_at_zero = c.start_at_zero;
    const int f = openInput("-ss 1 -itsoffset 0.5", ts);
    ASSERT_GE(f, 0) << engine_->FLastErrMsg;
    const AVFormatContext* ic = file(f).ctx.get();
    ASSERT_FALSE(ic->iformat->flags & AVFMT_SEEK_TO_PTS);
    ASSERT_GT(ic->streams[0]->codecpar->video_delay, 0);
    ASSERT_NE(ic->start_time, AV_NOPTS_VALUE);
    EXPECT_EQ(file(f).ts_offset + ic->start_time, c.offset_without_start);
  }
}

TEST_F(InputFileTest, AttachmentDumps) {
  const std::string input = path("input.m4a");
  std::filesystem::copy_file(m4a(), input);
  const std::string target = path("extra.bin");
  auto dump = [&](const std::string& to) { return openInput("-dump_attachment:a " + to, input); };
  auto contents = [](const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  auto extradata = [&](int f) {
    const AVCodecParameters* par = file(f).ctx->streams[0]->codecpar;
    return std::string(reinterpret_cast<const char*>(par->extradata),
                       static_cast<std::size_t>(par->extradata_size));
  };

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

  const std::string before = contents(input);
  ASSERT_EQ(dump(input), 3);
  EXPECT_EQ(engine_->FLastErrMsg, "Output " + input + " same as Input #0 - ignored.");
  EXPECT_EQ(contents(input), before);

  ASSERT_EQ(openInput("-dump_attachment:a \"\"", input), 4);
  EXPECT_TRUE(logged("No filename specified and no \"filename\" tag in stream #4:0."));
  ASSERT_EQ(openInput("-dump_attachment " + path("x.bin"), wav()), 5);
  EXPECT_TRUE(logged("No extradata to dump in stream #5:0."));
  EXPECT_FALSE(std::filesystem::exists(path("x.bin")));

  engine_->Fno_file_overwrite = 1;
  EXPECT_EQ(fatalText("-dump_attachment:a " + target, input), "Error, both -y and -n supplied.");
  EXPECT_EQ(engine_->Fnb_input_files(), 6);
  EXPECT_EQ(engine_->Fnb_input_streams(), 6);
}

}  // namespace
