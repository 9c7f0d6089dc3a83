// The transcoder's option table: every row against its target, the handlers,
// stream maps against generated inputs, target presets and preset texts.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>

#include "foundation/ErrorText.h"
#include "foundation/api/avformat.h"
#include "support/EnvVar.h"
#include "support/TranscoderRig.h"
#include "testmedia/TestMedia.h"

using namespace corvane;

namespace {

// What a case looks at after parsing.
struct TParsed {
  const TPerFileOptions& o;
  const TCustomFFmpegOpt& e;
  const TOptionGroup& g;
};
constexpr std::uint32_t IN = ofInput;
constexpr std::uint32_t OUT = ofOutput;

bool last_str(const TSpecifierList& l, const char* spec, const char* value) {
  return !l.empty() && l.back().specifier == spec && l.back().str == value;
}
bool last_int(const TSpecifierList& l, const char* spec, int value) {
  return !l.empty() && l.back().specifier == spec && l.back().i == value;
}
std::string dict(const TDictionary& d, const char* key) { return d.value(key, "<none>"); }

class OptionTableTest : public testrig::TranscoderTest {
 protected:
  void TearDown() override {
    release();
    testrig::TranscoderTest::TearDown();
  }
  void release() {
    if (o_) engine_->ReleasePerFileOptions(std::move(o_));
  }
  // Parses into a fresh record; the record stays until the next parse.
  int parse(const std::string& options, std::uint32_t kind = OUT, const std::string& presets = "") {
    release();
    o_ = engine_->NewPerFileOptions();
    return engine_->ParseOptions(*o_, options, presets, kind == IN ? "input file" : "output file",
                                 "file.nut", kind);
  }
  TParsed parsed() const { return {*o_, *engine_, *o_->group}; }

  // An input recorded as the input opener would; by default a filter graph
  // description.
  void addInput(const std::string& url, const char* format = "lavfi") {
    AVFormatContext* ctx = nullptr;
    ASSERT_EQ(ff::avformat_open_input(&ctx, url.c_str(),
                                      format ? ff::av_find_input_format(format) : nullptr, nullptr),
              0);
    auto file = std::make_unique<TInputFile>();
    file->ctx.reset(ctx);
    ASSERT_GE(ff::avformat_find_stream_info(ctx, nullptr), 0);
    file->ist_index = engine_->Fnb_input_streams();
    file->nb_streams = static_cast<int>(ctx->nb_streams);
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
      auto ist = std::make_unique<TInputStream>();
      ist->file_index = engine_->Fnb_input_files();
      ist->st = ctx->streams[i];
      engine_->Finput_streams.push_back(std::move(ist));
    }
    engine_->Finput_files.push_back(std::move(file));
  }
  // File 0: video, mono audio and subtitles (time base 1/1000); file 1:
  // video only, 25 per second in a 1/25 time base.
  void addTwoInputs() {
    addInput(testmedia::ensure(testmedia::Kind::MkvMpeg4VorbisSrt), nullptr);
    addInput("testsrc=size=64x48:rate=25:duration=1");
  }
  // The fatal text of a parse that must throw.
  std::string fatalOf(const std::string& options) {
    try {
      parse(options);
    } catch (const FFmpegException& x) {
      EXPECT_EQ(engine_->FLastErrMsg, x.what());
      return x.what();
    }
    ADD_FAILURE() << options << ": no fatal error";
    return {};
  }

  std::unique_ptr<TPerFileOptions> o_;
};

TEST_F(OptionTableTest, TableHasEveryRowOnceAndEnds) {
  const TOptionTable table = engine_->OptionDef();
  ASSERT_EQ(table.size(), 196u);
  EXPECT_EQ(table.back().name, nullptr);
  EXPECT_STREQ(table.front().name, "L");
  EXPECT_STREQ(table[194].name, "FrameOutputHook");
  EXPECT_EQ(engine_->OptionDef().data(), table.data()) << "built once";
  std::set<std::string> names;
  for (const TOptionDef& row : table.first(195)) EXPECT_TRUE(names.insert(row.name).second);
  EXPECT_NO_THROW(check_option_table(table));
}

// Per-stream rows (and handlers that re-issue one): the last entry of the list.
enum class TMember { Str, Int, I64, Dbl };
using P = TPerFileOptions;
constexpr TMember S = TMember::Str, I = TMember::Int, L = TMember::I64, D = TMember::Dbl;
const struct TListCase {
  const char* options;
  std::uint32_t kind;
  TSpecifierList P::*list;
  const char* spec;
  TMember member;
  const char* value;
} kListCases[] = {
    {"-c:v libx264 -c copy", OUT, &P::codec_names, "", S, "copy"},
    {"-codec:a aac", OUT, &P::codec_names, "a", S, "aac"},
    {"-map_metadata:s:0 1", OUT, &P::metadata_map, "s:0", S, "1"},
    {"-itsscale:v 0.5", IN, &P::ts_scale, "v", D, "0.5"},
    {"-metadata title=x", OUT, &P::metadata, "", S, "title=x"},
    {"-program st=0", OUT, &P::program, "", S, "st=0"},
    {"-apad pad_len=5", OUT, &P::apad, "", S, "pad_len=5"},
    {"-copyinkf:v", OUT, &P::copy_initial_nonkeyframes, "v", I, "1"},
    {"-copypriorss 0", OUT, &P::copy_prior_start, "", I, "0"},
    {"-frames:v 5", OUT, &P::max_frames, "v", L, "5"},
    {"-tag:v hvc1", IN, &P::codec_tags, "v", S, "hvc1"},
    {"-q:v 3.5", OUT, &P::qscale, "v", D, "3.5"},
    {"-filter:v hflip", OUT, &P::filters, "v", S, "hflip"},
    {"-filter_script:a f.txt", OUT, &P::filter_scripts, "a", S, "f.txt"},
    {"-reinit_filter 0", IN, &P::reinit_filters, "", I, "0"},
    {"-dump_attachment:t a.ttf", IN, &P::dump_attachment, "t", S, "a.ttf"},
    {"-discard:a all", IN, &P::discard, "a", S, "all"},
    {"-disposition:s forced", OUT, &P::disposition, "s", S, "forced"},
    {"-r 30000/1001", IN, &P::frame_rates, "", S, "30000/1001"},
    {"-fpsmax 60", OUT, &P::max_frame_rates, "", S, "60"},
    {"-s:v 320x240", IN, &P::frame_sizes, "v", S, "320x240"},
    {"-aspect 16:9", OUT, &P::frame_aspect_ratios, "", S, "16:9"},
    {"-pix_fmt yuv420p", IN, &P::frame_pix_fmts, "", S, "yuv420p"},
    {"-rc_override 0,10,2", OUT, &P::rc_overrides, "", S, "0,10,2"},
    {"-pass 2", OUT, &P::passes, "", I, "2"},
    {"-passlogfile lg", OUT, &P::passlogfiles, "", S, "lg"},
    {"-intra_matrix 1,2", OUT, &P::intra_matrices, "", S, "1,2"},
    {"-inter_matrix 3", OUT, &P::inter_matrices, "", S, "3"},
    {"-chroma_intra_matrix 4", OUT, &P::chroma_intra_matrices, "", S, "4"},
    {"-top 1", IN, &P::top_field_first, "", I, "1"},
    {"-force_fps", OUT, &P::force_fps, "", I, "1"},
    {"-force_key_frames 0,5", OUT, &P::forced_key_frames, "", S, "0,5"},
    {"-hwaccel vaapi", IN, &P::hwaccels, "", S, "vaapi"},
    {"-hwaccel_device /dev/x", IN, &P::hwaccel_devices, "", S, "/dev/x"},
    {"-hwaccel_output_format vaapi", IN, &P::hwaccel_output_formats, "", S, "vaapi"},
    {"-autorotate 0", IN, &P::autorotate, "", I, "0"},
    {"-autoscale 0", IN, &P::autoscale, "", I, "0"},
    {"-autoscale:v 0", OUT, &P::autoscale, "v", I, "0"},
    {"-ar:a:1 44100", OUT, &P::audio_sample_rate, "a:1", I, "44100"},
    {"-ac 2", IN, &P::audio_channels, "", I, "2"},
    {"-sample_fmt s16", OUT, &P::sample_fmts, "", S, "s16"},
    {"-guess_layout_max 2", IN, &P::guess_layout_max, "", I, "2"},
    {"-fix_sub_duration", IN, &P::fix_sub_duration, "", I, "1"},
    {"-canvas_size 720x576", IN, &P::canvas_sizes, "", S, "720x576"},
    {"-time_base 1:48000", OUT, &P::time_bases, "", S, "1:48000"},
    {"-enc_time_base -1", OUT, &P::enc_time_bases, "", S, "-1"},
    {"-bsf:v null", OUT, &P::bitstream_filters, "v", S, "null"},
    {"-max_muxing_queue_size 1024", OUT, &P::max_muxing_queue_size, "", I, "1024"},
    {"-muxing_queue_data_threshold 10", OUT, &P::muxing_queue_data_threshold, "", I, "10"},
    {"-dframes 4", OUT, &P::max_frames, "d", L, "4"},
    {"-vframes 5", OUT, &P::max_frames, "v", L, "5"},
    {"-aframes 6", OUT, &P::max_frames, "a", L, "6"},
    {"-aq 4", OUT, &P::qscale, "a", D, "4"},
    {"-qscale:a 2", OUT, &P::qscale, "a", D, "2"},
    {"-qscale 3", OUT, &P::qscale, "v", D, "3"},
    {"-vf hflip", OUT, &P::filters, "v", S, "hflip"},
    {"-af anull", OUT, &P::filters, "a", S, "anull"},
    {"-vcodec mpeg4", IN, &P::codec_names, "v", S, "mpeg4"},
    {"-acodec mp2", OUT, &P::codec_names, "a", S, "mp2"},
    {"-scodec srt", OUT, &P::codec_names, "s", S, "srt"},
    {"-dcodec copy", OUT, &P::codec_names, "d", S, "copy"},
    {"-vtag xvid", OUT, &P::codec_tags, "v", S, "xvid"},
    {"-atag 0x55", OUT, &P::codec_tags, "a", S, "0x55"},
    {"-stag tx3g", OUT, &P::codec_tags, "s", S, "tx3g"},
    {"-absf aac_adtstoasc", OUT, &P::bitstream_filters, "a", S, "aac_adtstoasc"},
    {"-vbsf:0 null", OUT, &P::bitstream_filters, "v:0", S, "null"},
    {"-timecode 01:00:00:00", OUT, &P::metadata, "g", S, "timecode=01:00:00:00"},
    {"-channel_layout 5.1", OUT, &P::audio_channels, "", I, "6"},
    {"-channel_layout:a stereo", OUT, &P::audio_channels, "a", I, "2"},
};

bool holds(const TSpecifierList& l, const char* spec, TMember member, const char* value) {
  if (l.empty() || l.back().specifier != spec) return false;
  const TSpecifierValue& v = l.back();
  switch (member) {
    case TMember::Str:
      return v.str == value;
    case TMember::Int:
      return v.i == std::atoi(value);
    case TMember::I64:
      return v.i64 == std::atoll(value);
    case TMember::Dbl:
      return v.dbl == std::atof(value);
  }
  return false;
}

// Single values of the record and of the engine.
const struct TValueCase {
  const char* options;
  std::uint32_t kind;
  double (*read)(const TParsed&);
  double expected;
} kValueCases[] = {
    {"-map_chapters 2", OUT, [](auto& p) -> double { return p.o.chapters_input_file; }, 2},
    {"-t 1.5", OUT, [](auto& p) -> double { return p.o.recording_time; }, 1500000},
    {"-t_microsecond 42", IN, [](auto& p) -> double { return p.o.recording_time; }, 42},
    {"-to 00:01:00", OUT, [](auto& p) -> double { return p.o.stop_time; }, 60000000},
    {"-to_microsecond 7", OUT, [](auto& p) -> double { return p.o.stop_time; }, 7},
    {"-fs 1000000", OUT, [](auto& p) -> double { return p.o.limit_filesize; }, 1000000},
    {"-ss 2", IN, [](auto& p) -> double { return p.o.start_time; }, 2000000},
    {"-ss_microsecond 3", OUT, [](auto& p) -> double { return p.o.start_time; }, 3},
    {"-sseof -4", IN, [](auto& p) -> double { return p.o.start_time_eof; }, -4000000},
    {"-seek_timestamp 1", IN, [](auto& p) -> double { return p.o.seek_timestamp; }, 1},
    {"-noaccurate_seek", IN, [](auto& p) -> double { return p.o.accurate_seek; }, 0},
    {"-itsoffset 0.25", IN, [](auto& p) -> double { return p.o.input_ts_offset; }, 250000},
    {"-itsoffset_microsecond 9", IN, [](auto& p) -> double { return p.o.input_ts_offset; }, 9},
    {"-re", IN, [](auto& p) -> double { return p.o.rate_emu; }, 1},
    {"-shortest", OUT, [](auto& p) -> double { return p.o.shortest; }, 1},
    {"-bitexact", IN, [](auto& p) -> double { return p.o.bitexact; }, 1},
    {"-stream_loop -1", IN, [](auto& p) -> double { return p.o.loop; }, -1},
    {"-thread_queue_size 64", IN, [](auto& p) -> double { return p.o.thread_queue_size; }, 64},
    {"-vn", IN, [](auto& p) -> double { return p.o.video_disable; }, 1},
    {"-an", OUT, [](auto& p) -> double { return p.o.audio_disable; }, 1},
    {"-sn", IN, [](auto& p) -> double { return p.o.subtitle_disable; }, 1},
    {"-dn", OUT, [](auto& p) -> double { return p.o.data_disable; }, 1},
    {"-muxdelay 0.25", OUT, [](auto& p) -> double { return p.o.mux_max_delay; }, 0.25},
    {"-muxpreload 0.5", OUT, [](auto& p) -> double { return p.o.mux_preload; }, 0.5},
    {"-TimeStart 1.5", IN, [](auto& p) -> double { return p.o.start_time; }, 1500000},
    {"-timestart 0.0000024", IN, [](auto& p) -> double { return p.o.start_time; }, 2},
    {"-TimeLength 2", OUT, [](auto& p) -> double { return p.o.recording_time; }, 2000000},
    {"-timelength 0.0000036", OUT, [](auto& p) -> double { return p.o.recording_time; }, 4},
    {"-y", OUT, [](auto& p) -> double { return p.e.Ffile_overwrite; }, 1},
    {"-n", OUT, [](auto& p) -> double { return p.e.Fno_file_overwrite; }, 1},
    {"-ignore_unknown", OUT, [](auto& p) -> double { return p.e.Fignore_unknown_streams; }, 1},
    {"-copy_unknown", OUT, [](auto& p) -> double { return p.e.Fcopy_unknown_streams; }, 1},
    {"-dump", OUT, [](auto& p) -> double { return p.e.Fdo_pkt_dump; }, 1},
    {"-hex", OUT, [](auto& p) -> double { return p.e.Fdo_hex_dump; }, 1},
    {"-frame_drop_threshold 1.5", OUT, [](auto& p) -> double { return p.e.Fframe_drop_threshold; },
     1.5},
    {"-async 1", OUT, [](auto& p) -> double { return p.e.Faudio_sync_method; }, 1},
    {"-adrift_threshold 0.25", OUT, [](auto& p) -> double { return p.e.Faudio_drift_threshold; },
     0.25},
    {"-copyts", OUT, [](auto& p) -> double { return p.e.Fcopy_ts; }, 1},
    {"-start_at_zero", OUT, [](auto& p) -> double { return p.e.Fstart_at_zero; }, 1},
    {"-copytb 1", OUT, [](auto& p) -> double { return p.e.Fcopy_tb; }, 1},
    {"-dts_delta_threshold 5", OUT, [](auto& p) -> double { return p.e.Fdts_delta_threshold; }, 5},
    {"-dts_error_threshold 7", OUT, [](auto& p) -> double { return p.e.Fdts_error_threshold; }, 7},
    {"-xerror", OUT, [](auto& p) -> double { return p.e.Fexit_on_error; }, 1},
    {"-filter_threads 3", OUT, [](auto& p) -> double { return p.e.Ffilter_nbthreads; }, 3},
    {"-filter_complex_threads 4", OUT,
     [](auto& p) -> double { return p.e.Ffilter_complex_nbthreads; }, 4},
    {"-noauto_conversion_filters", OUT,
     [](auto& p) -> double { return p.e.Fauto_conversion_filters; }, 0},
    {"-nostats", OUT, [](auto& p) -> double { return p.e.Fprint_stats; }, 0},
    {"-debug_ts", OUT, [](auto& p) -> double { return p.e.Fdebug_ts; }, 1},
    {"-nofind_stream_info", IN, [](auto& p) -> double { return p.e.Ffind_stream_info; }, 0},
    {"-bits_per_raw_sample 10", OUT,
     [](auto& p) -> double { return p.e.Fframe_bits_per_raw_sample; }, 10},
    {"-intra", OUT, [](auto& p) -> double { return p.e.Fintra_only; }, 1},
    {"-deinterlace", OUT, [](auto& p) -> double { return p.e.Fdo_deinterlace; }, 1},
    {"-psnr", OUT, [](auto& p) -> double { return p.e.Fdo_psnr; }, 1},
    {"-vstats_version 1", OUT, [](auto& p) -> double { return p.e.Fvstats_version; }, 1},
    {"-qphist", OUT, [](auto& p) -> double { return p.e.Fqp_hist; }, 1},
    {"-vol 512", OUT, [](auto& p) -> double { return p.e.Faudio_volume; }, 512},
    {"-isync", OUT, [](auto& p) -> double { return p.e.Finput_sync; }, 1},
    {"-vsync drop", OUT, [](auto& p) -> double { return p.e.Fvideo_sync_method; }, 255},
    {"-stats_period 0.25", OUT, [](auto& p) -> double { return p.e.FReportInterval; }, 250000},
    {"-loglevel repeat+warning", OUT, [](auto&) -> double { return FFLogger().LogLevel(); },
     llWarning},
    {"-v error", OUT, [](auto&) -> double { return FFLogger().LogLevel(); }, llError},
};

// Texts, dictionaries and the rest.
const struct TOtherCase {
  const char* options;
  std::uint32_t kind;
  bool (*check)(const TParsed&);
} kOtherCases[] = {
    {"-f mp4", OUT, [](auto& p) { return p.o.format == "mp4"; }},
    {"-c:v libx264 -c copy", OUT,
     [](auto& p) { return p.o.codec_names.size() == 2 && p.o.codec_names[0].str == "libx264"; }},
    {"-qsv_device /dev/dri/x", OUT, [](auto& p) { return p.e.Fqsv_device == "/dev/dri/x"; }},
    {"-b 1M", OUT, [](auto& p) { return dict(p.g.codec_opts, "b:v") == "1M"; }},
    {"-ab 128k", OUT, [](auto& p) { return dict(p.g.codec_opts, "b:a") == "128k"; }},
    {"-b:a:1 96k", OUT, [](auto& p) { return dict(p.g.codec_opts, "b:a:1") == "96k"; }},
    {"-profile high", OUT, [](auto& p) { return dict(p.g.codec_opts, "profile:v") == "high"; }},
    {"-profile:a aac_low", OUT,
     [](auto& p) { return dict(p.g.codec_opts, "profile:a") == "aac_low"; }},
    {"-timecode 01:00:00:00", OUT,
     [](auto& p) { return dict(p.g.codec_opts, "gop_timecode") == "01:00:00:00"; }},
    {"-channel_layout 5.1", OUT,
     [](auto& p) { return dict(p.g.codec_opts, "ch_layout") == "5.1"; }},
    {"-channel_layout:a stereo", OUT,
     [](auto& p) { return dict(p.g.codec_opts, "ch_layout:a") == "stereo"; }},
    {"-tvstd pal", IN, [](auto& p) { return dict(p.g.format_opts, "standard") == "pal"; }},
    {"-vc 1", IN, [](auto& p) { return dict(p.g.format_opts, "channel") == "1"; }},
    {"-attach a.ttf -attach b.ttf", OUT,
     [](auto& p) {
       return p.o.attachments == std::vector<std::string>{"a.ttf", "b.ttf"};
     }},
    {"-streamid 2:7", OUT,
     [](auto& p) {
       return p.o.streamid_map == std::vector<int>{0, 0, 7};
     }},
    {"-filter_complex nullsrc,null -lavfi anullsrc,anull", OUT,
     [](auto& p) {
       return p.e.Ffiltergraphs.size() == 2 && p.e.Ffiltergraphs[1]->index == 1 &&
              p.e.Ffiltergraphs[1]->graph_desc == "anullsrc,anull" &&
              p.e.Finput_stream_potentially_available == 1;
     }},
    {"-sdp_file s.sdp -vstats_file v.log", OUT,
     [](auto& p) { return p.e.Fsdp_filename == "s.sdp" && p.e.Fvstats_filename == "v.log"; }},
    {"-vstats", OUT,
     [](auto& p) {
       return p.e.Fvstats_filename.size() == 17 && p.e.Fvstats_filename.rfind("vstats_", 0) == 0;
     }},
    {"-VideoHookBitsPixel 24", OUT, [](auto&) { return true; }},
    {"-max_alloc 2147483647", OUT, [](auto&) { return true; }},
    {"", IN, [](auto& p) { return p.o.format.empty() && p.g.opts.empty(); }},
};

TEST_F(OptionTableTest, RowsStoreIntoTheirTargets) {
  for (const TListCase& c : kListCases) {
    SCOPED_TRACE(c.options);
    ASSERT_EQ(parse(c.options, c.kind), 0) << engine_->FLastErrMsg;
    EXPECT_TRUE(holds(o_.get()->*c.list, c.spec, c.member, c.value));
  }
  for (const TValueCase& c : kValueCases) {
    SCOPED_TRACE(c.options);
    ASSERT_EQ(parse(c.options, c.kind), 0) << engine_->FLastErrMsg;
    EXPECT_EQ(c.read(parsed()), c.expected);
  }
  for (const TOtherCase& c : kOtherCases) {
    SCOPED_TRACE(c.options);
    ASSERT_EQ(parse(c.options, c.kind), 0) << engine_->FLastErrMsg;
    EXPECT_TRUE(c.check(parsed()));
  }
}

// Requests and hook switches are accepted and change nothing; what is not
// supported fails the file.
TEST_F(OptionTableTest, RequestsAndUnsupportedOptions) {
  for (const char* name :
       {"L",         "h",           "?",      "help",       "-help",   "version",
        "buildconf", "formats",     "muxers", "demuxers",   "devices", "codecs",
        "decoders",  "encoders",    "bsfs",   "protocols",  "filters", "pix_fmts",
        "layouts",   "sample_fmts", "colors", "hide_banner"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(parse(std::string("-") + name), 0);
    EXPECT_TRUE(logged(strprintf("options \"%s\" not supported, ignore", name)));
  }
  EXPECT_EQ(parse("-max_error_rate 0.5 -abort_on empty_output"), 0);
  EXPECT_TRUE(logged("options \"max_error_rate\" not supported, ignore"));
  for (const char* name : {"AudioInputHook", "AudioOutputHook", "VideoInputHook", "VideoOutputHook",
                           "FrameInputHook", "FrameOutputHook"})
    EXPECT_EQ(parse(std::string("-") + name), 0) << name;
  for (const char* name :
       {"report", "pre", "benchmark", "benchmark_all", "stdin", "timelimit", "hwaccels"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(parse(std::string("-") + name), AVERROR(EINVAL));
    EXPECT_EQ(engine_->FLastErrMsg.rfind(strprintf("options \"%s\" not supported\r\n", name), 0),
              0u)
        << engine_->FLastErrMsg;
  }
  EXPECT_EQ(parse("-sameq"), AVERROR(EINVAL));
  EXPECT_NE(engine_->FLastErrMsg.find("Option \"sameq\" was removed."), std::string::npos);
  EXPECT_EQ(parse("-same_quant"), AVERROR(EINVAL));
}

// Handler errors: result, and the reason first in the engine's error text.
TEST_F(OptionTableTest, BadValuesGiveTheirTexts) {
  const struct {
    const char* options;
    std::uint32_t kind;
    const char* text;
  } cases[] = {
      {"-ar x", OUT, "Expected integer for \"ar\" but found \"x\""},
      {"-t abc", OUT, "Invalid duration specification for \"t\": \"abc\""},
      {"-fs 1.5", OUT, "Expected int64 for \"fs\" but found \"1.5\""},
      {"-vframes x", OUT, "Expected int64 for \"frames:v\" but found \"x\""},
      {"-vsync 3", OUT, "The value for \"vsync\" was \"3\" which is invalid"},
      {"-vsync x", OUT, "The value for \"vsync\" was \"x\" which is invalid"},
      {"-stats_period 0", OUT, "stats_period 0 must be positive."},
      {"-stats_period -1", OUT, "stats_period -1 must be positive."},
      {"-streamid 1024:5", OUT,
       "The value for \"streamid\" was \"1024\" which is not within 0 - 1023"},
      {"-streamid 1:-3", OUT,
       "The value for \"streamid\" was \"-3\" which is not within 0 - 2147483647"},
      {"-streamid 1", OUT,
       "Invalid value \"1\" for option \"streamid\", required syntax is \"index:value\""},
      {"-streamid 1:x", OUT,
       "Invalid value \"1:x\" for option \"streamid\", required syntax is \"index:value\""},
      {"-channel_layout bogus", OUT, "Unknown channel layout: bogus"},
      {"-TimeLength x", OUT, "Expected double for \"TimeLength\" but found \"x\""},
      {"-TimeStart 1e300", IN, "Invalid duration specification for \"TimeStart\": \"1e300\""},
      {"-VideoHookBitsPixel 2x", OUT,
       "Expected integer for \"VideoHookBitsPixel\" but found \"2x\""},
      {"-timestamp never", OUT, "Invalid date specification for \"timestamp\": \"never\""},
      {"-target pal-foo", OUT, "Unknown target: pal-foo"},
      {"-max_alloc -5", OUT, "Invalid max_alloc \"-5\"."},
      {"-max_alloc 12k", OUT, "Invalid max_alloc \"12k\"."},
      {"-cpuflags nosuchflag", OUT, "Failed to parse cpu flags \"nosuchflag\": "},
      {"-loglevel loud", OUT, "Invalid loglevel \"loud\"."},
      {"-progress /nonexistent-dir/p.txt", OUT,
       "Failed to open progress URL \"/nonexistent-dir/p.txt\": "},
      {"-filter_complex_script /nonexistent-dir/g.txt", OUT,
       "Cannot read the filter graph file \"/nonexistent-dir/g.txt\""},
      {"-vpre /nonexistent-dir/x.preset", OUT,
       "Preset file \"/nonexistent-dir/x.preset\" not found"},
      {"-re", OUT, "Option re (read at the native rate) cannot be applied to output file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    EXPECT_LT(parse(c.options, c.kind), 0);
    EXPECT_EQ(engine_->FLastErrMsg.rfind(c.text, 0), 0u) << engine_->FLastErrMsg;
  }
}

TEST_F(OptionTableTest, WithoutHaltTheFileGoesOn) {
  engine_->HaltOnInvalidOption = false;
  EXPECT_EQ(parse("-vsync 3 -report"), 0);
  EXPECT_EQ(engine_->FLastErrMsg, "");
}

TEST_F(OptionTableTest, VsyncNamesAndNumbers) {
  const std::pair<const char*, int> cases[] = {{"cfr", 1},    {"VFR", 2}, {"passthrough", 0},
                                               {"drop", 255}, {"2", 2},   {"255", 255},
                                               {"0", 0},      {"-1", -1}};
  for (const auto& [arg, method] : cases) {
    engine_->Fvideo_sync_method = 7;
    EXPECT_EQ(parse(std::string("-vsync ") + arg), 0) << arg;
    EXPECT_EQ(engine_->Fvideo_sync_method, method) << arg;
  }
  // An earlier method does not make a bad value acceptable.
  EXPECT_EQ(parse("-vsync cfr"), 0);
  EXPECT_LT(parse("-vsync 3"), 0);
  EXPECT_EQ(engine_->Fvideo_sync_method, 1);
}

TEST_F(OptionTableTest, StreamIdGrowsTheMap) {
  ASSERT_EQ(parse("-streamid 1:5 -streamid 3:9 -streamid 1:6"), 0);
  EXPECT_EQ(o_->streamid_map, (std::vector<int>{0, 6, 0, 9}));
}

// The creation time must read back as the same instant, whatever the zone.
TEST_F(OptionTableTest, TimestampRoundTripsThroughTheDateParser) {
  for (const char* zone : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0"}) {
    EnvVar tz("TZ", zone);
    tzset();
    for (const char* date : {"2021-03-04T05:06:07Z", "2021-07-01 23:30:00", "20000101T000000"}) {
      SCOPED_TRACE(std::string(zone) + " " + date);
      ASSERT_EQ(parse(std::string("-timestamp \"") + date + "\""), 0) << engine_->FLastErrMsg;
      ASSERT_FALSE(o_->metadata.empty());
      const std::string entry = o_->metadata.back().str;
      ASSERT_EQ(entry.rfind("creation_time=", 0), 0u) << entry;
      std::int64_t given = 0, stored = 0;
      ASSERT_GE(ff::av_parse_time(&given, date, 0), 0);
      ASSERT_GE(ff::av_parse_time(&stored, entry.substr(14).c_str(), 0), 0) << entry;
      EXPECT_EQ(stored, given) << entry;
    }
    EXPECT_TRUE(logged("timestamp is deprecated, set the \"creation_time\" metadata tag instead."));
  }
  tzset();
}

TEST_F(OptionTableTest, SecondsUseThePointUnderACommaLocale) {
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 not installed";
  EXPECT_EQ(parse("-TimeStart 1.5 -TimeLength 0.25", IN), 0) << engine_->FLastErrMsg;
  EXPECT_EQ(o_->start_time, 1500000);
  EXPECT_EQ(o_->recording_time, 250000);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST_F(OptionTableTest, OutputsAcceptAutoscale) {
  ASSERT_EQ(parse("-autoscale 0", OUT), 0) << engine_->FLastErrMsg;
  EXPECT_TRUE(last_int(o_->autoscale, "", 0));
}

// ---- Stream maps

TEST_F(OptionTableTest, MapsOfStreamsAndLabels) {
  addTwoInputs();
  ASSERT_EQ(parse("-map 0 -map 1:v,0:a -map [outv] -map 1:a?"), 0);
  ASSERT_EQ(o_->stream_maps.size(), 5u);
  const auto& m = o_->stream_maps;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m[i].file_index, 0);
    EXPECT_EQ(m[i].stream_index, i);
    EXPECT_EQ(m[i].sync_file_index, 0);
    EXPECT_EQ(m[i].sync_stream_index, i);
  }
  EXPECT_EQ(m[3].file_index, 1);
  EXPECT_EQ(m[3].stream_index, 0);
  EXPECT_EQ(m[3].sync_file_index, 0);
  EXPECT_EQ(m[3].sync_stream_index, 1);
  EXPECT_EQ(m[4].linklabel, "outv");
  EXPECT_TRUE(logged("Stream map \"1:a?\" matches no streams; ignoring."));
}

TEST_F(OptionTableTest, NegativeMapsDisableEarlierMaps) {
  addTwoInputs();
  ASSERT_EQ(parse("-map 0 -map 1 -map -0:v"), 0);
  ASSERT_EQ(o_->stream_maps.size(), 4u);
  EXPECT_EQ(o_->stream_maps[0].disabled, 1);
  EXPECT_EQ(o_->stream_maps[1].disabled, 0);
  EXPECT_EQ(o_->stream_maps[3].disabled, 0) << "another file's video stays";
  // Removing what is not there is fine ("-map 0 -map -0:s" on a file without
  // subtitles); a negative map for a file that has no maps is an error unless
  // marked optional.
  EXPECT_EQ(parse("-map 0:v -map -0:a"), 0);
  EXPECT_EQ(parse("-map 0:v -map -1:a?"), 0);
  EXPECT_EQ(fatalOf("-map 0:v -map -1:a"),
            "Stream map \"-1:a\" matches no streams.\r\nTo ignore this, add a trailing \"?\" to "
            "the map.");
}

TEST_F(OptionTableTest, BadMapsAreFatal) {
  addTwoInputs();
  const std::pair<const char*, const char*> cases[] = {
      {"-map 1:a",
       "Stream map \"1:a\" matches no streams.\r\nTo ignore this, add a trailing \"?\" to the "
       "map."},
      {"-map 7", "Invalid input file index: 7."},
      {"-map 0:a,5", "Invalid sync file index: 5."},
      {"-map 0:v,1:a", "Sync stream specification in map 0:v,1:a does not match any streams."},
      {"-map []", "Invalid output link label: []."},
  };
  for (const auto& [options, text] : cases) EXPECT_EQ(fatalOf(options), text) << options;
}

TEST_F(OptionTableTest, MapsOfDiscardedStreams) {
  addTwoInputs();
  engine_->Finput_streams[1]->user_set_discard = AVDISCARD_ALL;
  EXPECT_EQ(fatalOf("-map 0:a"),
            "Stream map \"0:a\" matches disabled streams.\r\nTo ignore this, add a trailing "
            "\"?\" to the map.");
  EXPECT_EQ(fatalOf("-map 0:v,0:a"),
            "Sync stream specification in map 0:v,0:a matches a disabled input stream.");
  ASSERT_EQ(parse("-map 0"), 0);
  ASSERT_EQ(o_->stream_maps.size(), 2u) << "video and subtitles";
  EXPECT_EQ(o_->stream_maps[1].stream_index, 2);
  EXPECT_EQ(parse("-map 0:a?"), 0);
  EXPECT_TRUE(o_->stream_maps.empty());
}

TEST_F(OptionTableTest, ChannelMaps) {
  addTwoInputs();
  ASSERT_EQ(parse("-map_channel 0.1.0 -map_channel -1 -map_channel 0.1.0:0.1 "
                  "-map_channel -1:0.2 -map_channel 0.1.5?"),
            0);
  const auto& m = o_->audio_channel_maps;
  ASSERT_EQ(m.size(), 4u) << "the bad optional channel is dropped";
  const int expected[4][5] = {
      {0, 1, 0, -1, -1}, {-1, -1, -1, -1, -1}, {0, 1, 0, 0, 1}, {-1, -1, -1, 0, 2}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(m[i].file_idx, expected[i][0]) << i;
    EXPECT_EQ(m[i].stream_idx, expected[i][1]) << i;
    EXPECT_EQ(m[i].channel_idx, expected[i][2]) << i;
    EXPECT_EQ(m[i].ofile_idx, expected[i][3]) << i;
    EXPECT_EQ(m[i].ostream_idx, expected[i][4]) << i;
  }
  EXPECT_TRUE(logged("mapchan: invalid audio channel #0.1.5"));
  const std::pair<const char*, const char*> fatal[] = {
      {"-map_channel 0.1.5", "mapchan: invalid audio channel #0.1.5"},
      {"-map_channel 0.0.0", "mapchan: stream #0.0 is not an audio stream."},
      {"-map_channel 3.0.0", "mapchan: invalid input file index: 3"},
      {"-map_channel 0.9.0", "mapchan: invalid input file stream index #0.9"},
      {"-map_channel x",
       "Syntax error, mapchan usage: [file.stream.channel|-1][:syncfile:syncstream]"},
  };
  for (const auto& [options, text] : fatal) EXPECT_EQ(fatalOf(options), text) << options;
}

// ---- Targets

TEST_F(OptionTableTest, VcdTargetGuessesPalFromTheInput) {
  addTwoInputs();
  ASSERT_EQ(parse("-target vcd"), 0) << engine_->FLastErrMsg;
  EXPECT_TRUE(logged("Assuming PAL for target."));
  EXPECT_EQ(o_->format, "vcd");
  EXPECT_TRUE(last_str(o_->frame_sizes, "", "352x288"));
  EXPECT_TRUE(last_str(o_->frame_rates, "", "25"));
  EXPECT_TRUE(last_int(o_->audio_sample_rate, "", 44100));
  EXPECT_TRUE(last_int(o_->audio_channels, "", 2));
  EXPECT_FLOAT_EQ(o_->mux_preload, 0.44f);
  ASSERT_EQ(o_->codec_names.size(), 2u);
  EXPECT_EQ(o_->codec_names[0].str, "mpeg1video");
  // The library settings reach the file being opened.
  const TOptionGroup& g = *o_->group;
  EXPECT_EQ(dict(g.codec_opts, "g"), "15");
  EXPECT_EQ(dict(g.codec_opts, "b:v"), "1150000");
  EXPECT_EQ(dict(g.codec_opts, "bufsize:v"), "327680");
  EXPECT_EQ(dict(g.codec_opts, "b:a"), "224000");
  EXPECT_EQ(dict(g.format_opts, "packetsize"), "2324");
  EXPECT_EQ(dict(g.format_opts, "muxrate"), "1411200");
  EXPECT_TRUE(engine_->FOptions.codec_opts().empty()) << "engine dictionaries untouched";
}

TEST_F(OptionTableTest, TargetsWithANorm) {
  ASSERT_EQ(parse("-target ntsc-dvd"), 0) << engine_->FLastErrMsg;
  EXPECT_TRUE(last_str(o_->frame_sizes, "", "720x480"));
  EXPECT_TRUE(last_str(o_->frame_rates, "", "30000/1001"));
  EXPECT_EQ(o_->codec_names[1].str, "ac3");
  EXPECT_EQ(dict(o_->group->codec_opts, "g"), "18");
  EXPECT_EQ(dict(o_->group->format_opts, "muxrate"), "10080000");
  ASSERT_EQ(parse("-target film-dv"), 0);
  EXPECT_TRUE(last_str(o_->frame_rates, "", "24000/1001"));
  EXPECT_TRUE(last_str(o_->frame_pix_fmts, "", "yuv411p"));
  ASSERT_EQ(parse("-target pal-dv50"), 0);
  EXPECT_TRUE(last_str(o_->frame_pix_fmts, "", "yuv422p"));
  EXPECT_TRUE(last_str(o_->frame_sizes, "", "720x576"));
  ASSERT_EQ(parse("-target pal-svcd"), 0) << engine_->FLastErrMsg;
  EXPECT_EQ(dict(o_->group->codec_opts, "scan_offset"), "1");
}

TEST_F(OptionTableTest, TargetWithoutNormIsFatal) {
  EXPECT_EQ(fatalOf("-target vcd").rfind("Could not determine norm (PAL/NTSC/NTSC-Film)", 0), 0u);
}

// ---- Presets

TEST_F(OptionTableTest, PresetTextsApplyLineByLine) {
  const std::string presets = "  vcodec=mpeg4\r\n# a comment\n\n  g = 12 <CRLF>ACODEC=mp2\rb=1M  ";
  ASSERT_EQ(parse("", OUT, presets), 0) << engine_->FLastErrMsg;
  EXPECT_TRUE(last_str(o_->codec_names, "a", "mp2"));
  EXPECT_EQ(o_->codec_names.front().str, "mpeg4");
  EXPECT_EQ(dict(o_->group->codec_opts, "g"), "12");
  EXPECT_EQ(dict(o_->group->codec_opts, "b"), "1M");
  // Options and presets together; the options' own dictionaries stay.
  ASSERT_EQ(parse("-ab 64k -f nut", OUT, "g=5"), 0);
  EXPECT_EQ(dict(o_->group->codec_opts, "g"), "5");
  EXPECT_EQ(dict(o_->group->codec_opts, "b:a"), "64k");
  EXPECT_EQ(o_->format, "nut");
}

TEST_F(OptionTableTest, BadPresetLines) {
  EXPECT_EQ(parse("", OUT, "g=3\nnovalue\ng=4"), AVERROR(EINVAL));
  EXPECT_EQ(engine_->FLastErrMsg.rfind("Invalid syntax: \"novalue\"", 0), 0u)
      << engine_->FLastErrMsg;
  EXPECT_EQ(dict(o_->group->codec_opts, "g"), "3") << "stops at the bad line";
  EXPECT_LT(parse("", OUT, "nosuchoption=1"), 0);
  EXPECT_EQ(engine_->FLastErrMsg.rfind("Invalid option or argument: \"nosuchoption=1\", parsed "
                                       "as \"nosuchoption\" = \"1\"",
                                       0),
            0u)
      << engine_->FLastErrMsg;
  engine_->HaltOnInvalidOption = false;
  EXPECT_EQ(parse("", OUT, "novalue\nnosuchoption=1\ng=4"), 0);
  EXPECT_EQ(dict(o_->group->codec_opts, "g"), "4") << "goes on without halting";
}

TEST_F(OptionTableTest, PresetFiles) {
  {
    std::ofstream(path("v.preset")) << "g=9\n# note\nvcodec=mpeg4\n";
    std::ofstream(path("bad.preset")) << "g\n";
  }
  ASSERT_EQ(parse("-vpre " + path("v.preset")), 0) << engine_->FLastErrMsg;
  EXPECT_TRUE(logged("Parse preset file: " + path("v.preset")));
  EXPECT_EQ(dict(o_->group->codec_opts, "g"), "9");
  EXPECT_TRUE(last_str(o_->codec_names, "v", "mpeg4"));
  EXPECT_LT(parse("-fpre " + path("bad.preset")), 0);
  EXPECT_EQ(engine_->FLastErrMsg.rfind(path("bad.preset") + ": Invalid syntax: \"g\"", 0), 0u)
      << engine_->FLastErrMsg;
}

TEST_F(OptionTableTest, ScriptsAndProgressFiles) {
  { std::ofstream(path("graph.txt")) << "nullsrc,null"; }
  ASSERT_EQ(
      parse("-filter_complex_script " + path("graph.txt") + " -progress " + path("progress.txt")),
      0)
      << engine_->FLastErrMsg;
  ASSERT_EQ(engine_->Ffiltergraphs.size(), 1u);
  EXPECT_EQ(engine_->Ffiltergraphs[0]->graph_desc, "nullsrc,null");
  EXPECT_NE(engine_->Fprogress_avio, nullptr);
  EXPECT_TRUE(std::ifstream(path("progress.txt")).good());
}

TEST_F(OptionTableTest, HardwareDeviceOptions) {
  EXPECT_EQ(parse("-init_hw_device list"), AVERROR(EPERM));
  EXPECT_TRUE(logged("Supported hardware device types:"));
  EXPECT_LT(parse("-init_hw_device vaapi:/nonexistent"), 0);
  EXPECT_TRUE(logged("Device creation failed: "));
  EXPECT_EQ(parse("-filter_hw_device nodev"), AVERROR(EINVAL));
  EXPECT_TRUE(logged("Invalid filter device nodev."));
  engine_->FHWDevices.AddDevice("gpu", AV_HWDEVICE_TYPE_VAAPI, nullptr);
  ASSERT_EQ(parse("-filter_hw_device gpu"), 0);
  EXPECT_EQ(engine_->Ffilter_hw_device, engine_->FHWDevices.DeviceByName("gpu"));
  EXPECT_EQ(parse("-filter_hw_device gpu"), AVERROR(EINVAL));
  EXPECT_TRUE(logged("Only one filter device can be used."));
}

}  // namespace
