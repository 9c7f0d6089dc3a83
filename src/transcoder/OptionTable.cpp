// The transcoder's option table: one row per option, in lookup order. Rows that
// store a value are checked at compile time against the type of their target.
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "transcoder/OptionHandlers.h"

namespace corvane::opthandlers {
namespace {

constexpr std::uint32_t kTypeBits =
    ofString | ofBool | ofInt | ofInt64 | ofTime | ofFloat | ofDouble;

// Whether a value stored by a row with flags F fits a T (in the order the
// engine tests the type bits).
template <class T, std::uint32_t F>
constexpr bool stores() {
  if constexpr ((F & ofSpec) != 0)
    return std::is_same_v<T, TSpecifierList>;
  else if constexpr ((F & ofString) != 0)
    return std::is_same_v<T, std::string>;
  else if constexpr ((F & (ofBool | ofInt)) != 0)
    return std::is_same_v<T, int>;
  else if constexpr ((F & (ofInt64 | ofTime)) != 0)
    return std::is_same_v<T, std::int64_t>;
  else if constexpr ((F & ofFloat) != 0)
    return std::is_same_v<T, float>;
  else if constexpr ((F & ofDouble) != 0)
    return std::is_same_v<T, double>;
  else
    return false;
}

template <std::uint32_t F>
constexpr bool kind_given() {
  return (F & ofPerFile) == 0 || (F & (ofInput | ofOutput)) != 0;
}

template <auto Member>
using member_type =
    std::remove_cvref_t<decltype(std::declval<typename TMemberOf<decltype(Member)>::type&>().*
                                 Member)>;

// A field of the per-file record.
template <std::uint32_t F, auto Member>
TOptionDef field(const char* name, const char* help, const char* argname = nullptr) {
  static_assert(std::is_same_v<typename TMemberOf<decltype(Member)>::type, TPerFileOptions>);
  static_assert((F & (ofOffset | ofSpec)) != 0, "a record field is stored by offset or per stream");
  static_assert((F & kTypeBits) != 0, "a stored value needs a type");
  static_assert(stores<member_type<Member>, F>(), "the row's type does not fit the field");
  static_assert(kind_given<F>(), "a per-file option names its file kind");
  return {name, F, TOptionDefUnion::field(&option_field<Member>), help, argname};
}

// A global setting of the engine.
template <std::uint32_t F, auto Member>
TOptionDef global(TCustomFFmpegOpt& e, const char* name, const char* help,
                  const char* argname = nullptr) {
  static_assert(std::is_same_v<typename TMemberOf<decltype(Member)>::type, TCustomFFmpegOpt>);
  static_assert((F & (ofOffset | ofSpec)) == 0, "a global setting is not in the record");
  static_assert(kind_given<F>(), "a per-file option names its file kind");
  static_assert((F & kTypeBits) != 0, "a stored value needs a type");
  static_assert(stores<member_type<Member>, F>(), "the row's type does not fit the setting");
  return {name, F, TOptionDefUnion::variable(&(e.*Member)), help, argname};
}

// A row whose handler does the work; type bits would bypass it.
template <std::uint32_t F>
TOptionDef handler(const char* name, Tfunc_arg fn, const char* help,
                   const char* argname = nullptr) {
  static_assert((F & (kTypeBits | ofOffset | ofSpec)) == 0, "a handler row stores nothing itself");
  static_assert(kind_given<F>(), "a per-file option names its file kind");
  return {name, F, TOptionDefUnion::handler(std::move(fn)), help, argname};
}

// Binds handlers to the engine.
struct TBinder {
  TCustomFFmpegOpt& e;
  Tfunc_arg operator()(THandler fn) const {
    return [&e = e, fn](void* o, const std::string& opt, const std::string& arg) {
      return fn(e, o, opt, arg);
    };
  }
  Tfunc_arg as(const char* target) const {
    return [&e = e, target](void* o, const std::string&, const std::string& arg) {
      return parse_as(e, o, target, arg);
    };
  }
  Tfunc_arg seconds_as(const char* target) const {
    return [&e = e, target](void* o, const std::string& opt, const std::string& arg) {
      return opthandlers::seconds_as(e, o, opt, target, arg);
    };
  }
  Tfunc_arg hook_depth() const {
    return [&e = e](void*, const std::string&, const std::string& arg) {
      return e.SetVideoHookBitsPixel(arg);
    };
  }
};

}  // namespace

std::vector<TOptionDef> make_option_rows(TCustomFFmpegOpt& e) {
  const TBinder b{e};
  return {
      handler<ofRequest>("L", b(ignored_request), "request: licence"),
      handler<ofRequest>("h", b(ignored_request), "request: help"),
      handler<ofRequest>("?", b(ignored_request), "request: help"),
      handler<ofRequest>("help", b(ignored_request), "request: help"),
      handler<ofRequest>("-help", b(ignored_request), "request: help"),
      handler<ofRequest>("version", b(ignored_request), "request: version"),
      handler<ofRequest>("buildconf", b(ignored_request), "request: build configuration"),
      handler<ofRequest>("formats", b(ignored_request), "request: format list"),
      handler<ofRequest>("muxers", b(ignored_request), "request: muxer list"),
      handler<ofRequest>("demuxers", b(ignored_request), "request: demuxer list"),
      handler<ofRequest>("devices", b(ignored_request), "request: device list"),
      handler<ofRequest>("codecs", b(ignored_request), "request: codec list"),
      handler<ofRequest>("decoders", b(ignored_request), "request: decoder list"),
      handler<ofRequest>("encoders", b(ignored_request), "request: encoder list"),
      handler<ofRequest>("bsfs", b(ignored_request), "request: bitstream filter list"),
      handler<ofRequest>("protocols", b(ignored_request), "request: protocol list"),
      handler<ofRequest>("filters", b(ignored_request), "request: filter list"),
      handler<ofRequest>("pix_fmts", b(ignored_request), "request: pixel format list"),
      handler<ofRequest>("layouts", b(ignored_request), "request: channel layout list"),
      handler<ofRequest>("sample_fmts", b(ignored_request), "request: sample format list"),
      handler<ofRequest>("colors", b(ignored_request), "request: colour name list"),
      handler<ofHasArg>("loglevel", b(loglevel), "library log level and flags", "loglevel"),
      handler<ofHasArg>("v", b(loglevel), "library log level and flags", "loglevel"),
      handler<0u>("report", b(unsupported), "report file (not supported)"),
      handler<ofHasArg>("max_alloc", b(max_alloc), "largest single allocation", "bytes"),
      handler<ofHasArg>("cpuflags", b(cpuflags), "CPU feature flags in use", "flags"),
      handler<ofMinor>("hide_banner", b(ignored_request), "request: no banner"),
      field<ofHasArg | ofString | ofOffset | ofInput | ofOutput, &TPerFileOptions::format>(
          "f", "container format", "fmt"),
      global<ofBool, &TCustomFFmpegOpt::Ffile_overwrite>(e, "y", "overwrite existing outputs"),
      global<ofBool, &TCustomFFmpegOpt::Fno_file_overwrite>(e, "n",
                                                            "never overwrite existing outputs"),
      global<ofBool, &TCustomFFmpegOpt::Fignore_unknown_streams>(e, "ignore_unknown",
                                                                 "skip streams of unknown type"),
      global<ofBool | ofMinor, &TCustomFFmpegOpt::Fcopy_unknown_streams>(
          e, "copy_unknown", "copy streams of unknown type"),
      field<ofHasArg | ofString | ofSpec | ofInput | ofOutput, &TPerFileOptions::codec_names>(
          "c", "codec per stream", "codec"),
      field<ofHasArg | ofString | ofSpec | ofInput | ofOutput, &TPerFileOptions::codec_names>(
          "codec", "codec per stream", "codec"),
      handler<ofRequest>("pre", b(unsupported), "preset (not supported)"),
      handler<ofHasArg | ofMinor | ofPerFile | ofOutput>(
          "map", b(map), "input streams of the output", "[-]file[:spec][?][,sync_file[:spec]]"),
      handler<ofHasArg | ofMinor | ofPerFile | ofOutput>("map_channel", b(map_channel),
                                                         "audio channel of an output stream",
                                                         "file.stream.channel[:ofile.ostream]"),
      field<ofHasArg | ofString | ofSpec | ofOutput, &TPerFileOptions::metadata_map>(
          "map_metadata", "metadata source", "file[,spec]"),
      field<ofHasArg | ofMinor | ofInt | ofOffset | ofOutput,
            &TPerFileOptions::chapters_input_file>("map_chapters", "chapter source input",
                                                   "input_file_index"),
      field<ofHasArg | ofOffset | ofTime | ofInput | ofOutput, &TPerFileOptions::recording_time>(
          "t", "duration", "duration"),
      field<ofHasArg | ofInt64 | ofOffset | ofInput | ofOutput, &TPerFileOptions::recording_time>(
          "t_microsecond", "duration in microseconds", "microseconds"),
      field<ofHasArg | ofOffset | ofTime | ofInput | ofOutput, &TPerFileOptions::stop_time>(
          "to", "end time", "time_stop"),
      field<ofHasArg | ofInt64 | ofOffset | ofOutput, &TPerFileOptions::stop_time>(
          "to_microsecond", "end time in microseconds", "microseconds"),
      field<ofHasArg | ofInt64 | ofOffset | ofOutput, &TPerFileOptions::limit_filesize>(
          "fs", "output size limit in bytes", "limit_size"),
      field<ofHasArg | ofOffset | ofTime | ofInput | ofOutput, &TPerFileOptions::start_time>(
          "ss", "start time", "time_off"),
      field<ofHasArg | ofInt64 | ofOffset | ofInput | ofOutput, &TPerFileOptions::start_time>(
          "ss_microsecond", "start time in microseconds", "microseconds"),
      field<ofHasArg | ofOffset | ofTime | ofInput, &TPerFileOptions::start_time_eof>(
          "sseof", "start time before the end", "time_off"),
      field<ofHasArg | ofInt | ofOffset | ofInput, &TPerFileOptions::seek_timestamp>(
          "seek_timestamp", "seek by time stamp"),
      field<ofBool | ofMinor | ofOffset | ofInput, &TPerFileOptions::accurate_seek>(
          "accurate_seek", "exact start after seeking"),
      field<ofHasArg | ofMinor | ofOffset | ofTime | ofInput, &TPerFileOptions::input_ts_offset>(
          "itsoffset", "input time stamp offset", "time_off"),
      field<ofHasArg | ofMinor | ofInt64 | ofOffset | ofInput, &TPerFileOptions::input_ts_offset>(
          "itsoffset_microsecond", "input time stamp offset in microseconds", "microseconds"),
      field<ofHasArg | ofMinor | ofSpec | ofDouble | ofInput, &TPerFileOptions::ts_scale>(
          "itsscale", "input time stamp scale per stream", "scale"),
      handler<ofHasArg | ofPerFile | ofOutput>("timestamp", b(timestamp),
                                               "creation time of the output", "time"),
      field<ofHasArg | ofString | ofSpec | ofOutput, &TPerFileOptions::metadata>(
          "metadata", "metadata entry", "key=value"),
      field<ofHasArg | ofString | ofSpec | ofOutput, &TPerFileOptions::program>(
          "program", "program of the output", "title=text:st=n..."),
      handler<ofHasArg | ofMinor | ofPerFile | ofOutput>("dframes", b.as("frames:d"),
                                                         "data frame limit", "number"),
      handler<ofRequest>("benchmark", b(unsupported), "timing report (not supported)"),
      handler<ofRequest>("benchmark_all", b(unsupported), "timing report per step (not supported)"),
      handler<ofHasArg | ofMinor>("progress", b(progress), "progress report URL", "url"),
      handler<ofRequest>("stdin", b(unsupported), "console interaction (not supported)"),
      handler<ofRequest>("timelimit", b(unsupported), "run time limit (not supported)"),
      global<ofBool | ofMinor, &TCustomFFmpegOpt::Fdo_pkt_dump>(e, "dump", "dump input packets"),
      global<ofBool | ofMinor, &TCustomFFmpegOpt::Fdo_hex_dump>(e, "hex",
                                                                "dump packet payloads too"),
      field<ofBool | ofMinor | ofOffset | ofInput, &TPerFileOptions::rate_emu>(
          "re", "read at the native rate"),
      handler<ofHasArg | ofPerFile | ofOutput>("target", b(target),
                                               "output preset for disc formats", "type"),
      handler<ofHasArg | ofMinor>("vsync", b(vsync), "video frame sync method"),
      global<ofHasArg | ofMinor | ofFloat, &TCustomFFmpegOpt::Fframe_drop_threshold>(
          e, "frame_drop_threshold", "frame drop threshold"),
      global<ofHasArg | ofMinor | ofInt, &TCustomFFmpegOpt::Faudio_sync_method>(
          e, "async", "audio sync method"),
      global<ofHasArg | ofMinor | ofFloat, &TCustomFFmpegOpt::Faudio_drift_threshold>(
          e, "adrift_threshold", "audio drift threshold", "threshold"),
      global<ofBool | ofMinor, &TCustomFFmpegOpt::Fcopy_ts>(e, "copyts", "keep input time stamps"),
      global<ofBool | ofMinor, &TCustomFFmpegOpt::Fstart_at_zero>(e, "start_at_zero",
                                                                  "kept time stamps start at 0"),
      global<ofHasArg | ofMinor | ofInt, &TCustomFFmpegOpt::Fcopy_tb>(
          e, "copytb", "time base for stream copy", "mode"),
      field<ofBool | ofMinor | ofOffset | ofOutput, &TPerFileOptions::shortest>(
          "shortest", "end with the shortest stream"),
      field<ofBool | ofMinor | ofOffset | ofInput | ofOutput, &TPerFileOptions::bitexact>(
          "bitexact", "reproducible output"),
      field<ofHasArg | ofString | ofSpec | ofOutput, &TPerFileOptions::apad>(
          "apad", "audio padding filter"),
      global<ofHasArg | ofMinor | ofFloat, &TCustomFFmpegOpt::Fdts_delta_threshold>(
          e, "dts_delta_threshold", "time stamp jump threshold", "threshold"),
      global<ofHasArg | ofMinor | ofFloat, &TCustomFFmpegOpt::Fdts_error_threshold>(
          e, "dts_error_threshold", "time stamp error threshold", "threshold"),
      global<ofBool | ofMinor, &TCustomFFmpegOpt::Fexit_on_error>(e, "xerror",
                                                                  "stop on the first error"),
      handler<ofHasArg | ofMinor>("abort_on", b(ignored_request), "abort conditions (ignored)",
                                  "flags"),
      field<ofBool | ofMinor | ofSpec | ofOutput, &TPerFileOptions::copy_initial_nonkeyframes>(
          "copyinkf", "copy leading non-key frames"),
      field<ofHasArg | ofMinor | ofInt | ofSpec | ofOutput, &TPerFileOptions::copy_prior_start>(
          "copypriorss", "copy frames before the start time"),
      field<ofHasArg | ofInt64 | ofSpec | ofOutput, &TPerFileOptions::max_frames>(
          "frames", "frame limit per stream", "number"),
      field<ofHasArg | ofMinor | ofString | ofSpec | ofInput | ofOutput,
            &TPerFileOptions::codec_tags>("tag", "codec tag per stream", "fourcc/tag"),
      field<ofHasArg | ofMinor | ofSpec | ofDouble | ofOutput, &TPerFileOptions::qscale>(
          "q", "fixed quality scale", "q"),
      handler<ofHasArg | ofMinor | ofPerFile | ofOutput>("qscale", b(qscale), "fixed quality scale",
                                                         "q"),
      handler<ofHasArg | ofMinor | ofPerFile | ofOutput>("profile", b(profile), "codec profile",
                                                         "profile"),
      field<ofHasArg | ofString | ofSpec | ofOutput, &TPerFileOptions::filters>(
          "filter", "filter chain per stream", "filter_graph"),
      global<ofHasArg | ofInt, &TCustomFFmpegOpt::Ffilter_nbthreads>(e, "filter_threads",
                                                                     "threads of simple graphs"),
      field<ofHasArg | ofString | ofSpec | ofOutput, &TPerFileOptions::filter_scripts>(
          "filter_script", "file with a filter chain", "filename"),
      field<ofHasArg | ofInt | ofSpec | ofInput, &TPerFileOptions::reinit_filters>(
          "reinit_filter", "rebuild graphs on input changes"),
      handler<ofHasArg | ofMinor>("filter_complex", b(filter_complex), "complex filter graph",
                                  "graph_description"),
      global<ofHasArg | ofInt, &TCustomFFmpegOpt::Ffilter_complex_nbthreads>(
          e, "filter_complex_threads", "threads of complex graphs"),
      handler<ofHasArg | ofMinor>("lavfi", b(filter_complex), "complex filter graph",
                                  "graph_description"),
      handler<ofHasArg | ofMinor>("filter_complex_script", b(filter_complex_script),
                                  "file with a complex filter graph", "filename"),
      global<ofBool | ofMinor, &TCustomFFmpegOpt::Fauto_conversion_filters>(
          e, "auto_conversion_filters", "insert conversion filters"),
      global<ofBool, &TCustomFFmpegOpt::Fprint_stats>(e, "stats", "progress statistics"),
      handler<ofHasArg | ofMinor>("stats_period", b(stats_period), "statistics period", "time"),
      handler<ofHasArg | ofMinor | ofPerFile | ofOutput>("attach", b(attach), "attachment file",
                                                         "filename"),
      field<ofHasArg | ofMinor | ofString | ofSpec | ofInput, &TPerFileOptions::dump_attachment>(
          "dump_attachment", "attachment dump file", "filename"),
      field<ofHasArg | ofMinor | ofInt | ofOffset | ofInput, &TPerFileOptions::loop>(
          "stream_loop", "input loop count", "count"),
      global<ofBool | ofMinor, &TCustomFFmpegOpt::Fdebug_ts>(e, "debug_ts",
                                                             "time stamp debug output"),
      handler<ofHasArg>("max_error_rate", b(ignored_request), "decoding error ratio (ignored)",
                        "ratio"),
      field<ofHasArg | ofString | ofSpec | ofInput, &TPerFileOptions::discard>(
          "discard", "discarded input streams"),
      field<ofHasArg | ofString | ofSpec | ofOutput, &TPerFileOptions::disposition>(
          "disposition", "stream disposition"),
      field<ofHasArg | ofMinor | ofInt | ofOffset | ofInput, &TPerFileOptions::thread_queue_size>(
          "thread_queue_size", "demuxer packet queue size"),
      global<ofBool | ofMinor | ofPerFile | ofInput, &TCustomFFmpegOpt::Ffind_stream_info>(
          e, "find_stream_info", "probe the input streams"),
      handler<ofHasArg | ofVideo | ofPerFile | ofOutput>("vframes", b.as("frames:v"),
                                                         "video frame limit", "number"),
      field<ofHasArg | ofString | ofVideo | ofSpec | ofInput | ofOutput,
            &TPerFileOptions::frame_rates>("r", "frame rate", "rate"),
      field<ofHasArg | ofString | ofVideo | ofSpec | ofOutput, &TPerFileOptions::max_frame_rates>(
          "fpsmax", "highest frame rate", "rate"),
      field<ofHasArg | ofString | ofVideo | ofSubtitle | ofSpec | ofInput | ofOutput,
            &TPerFileOptions::frame_sizes>("s", "frame size", "size"),
      field<ofHasArg | ofString | ofVideo | ofSpec | ofOutput,
            &TPerFileOptions::frame_aspect_ratios>("aspect", "display aspect ratio", "aspect"),
      field<ofHasArg | ofMinor | ofString | ofVideo | ofSpec | ofInput | ofOutput,
            &TPerFileOptions::frame_pix_fmts>("pix_fmt", "pixel format", "format"),
      global<ofHasArg | ofVideo | ofInt, &TCustomFFmpegOpt::Fframe_bits_per_raw_sample>(
          e, "bits_per_raw_sample", "bits per raw sample", "number"),
      global<ofBool | ofMinor | ofVideo, &TCustomFFmpegOpt::Fintra_only>(e, "intra",
                                                                         "intra frames only"),
      field<ofBool | ofVideo | ofOffset | ofInput | ofOutput, &TPerFileOptions::video_disable>(
          "vn", "no video"),
      field<ofHasArg | ofMinor | ofString | ofVideo | ofSpec | ofOutput,
            &TPerFileOptions::rc_overrides>("rc_override", "rate control override", "override"),
      handler<ofHasArg | ofVideo | ofPerFile | ofInput | ofOutput>("vcodec", b.as("codec:v"),
                                                                   "video codec", "codec"),
      handler<ofMinor | ofVideo>("sameq", b(removed_option), "removed"),
      handler<ofMinor | ofVideo>("same_quant", b(removed_option), "removed"),
      handler<ofHasArg | ofVideo | ofPerFile | ofOutput>("timecode", b(timecode), "start time code",
                                                         "hh:mm:ss[:;.]ff"),
      field<ofHasArg | ofVideo | ofInt | ofSpec | ofOutput, &TPerFileOptions::passes>(
          "pass", "encoding pass", "n"),
      field<ofHasArg | ofMinor | ofString | ofVideo | ofSpec | ofOutput,
            &TPerFileOptions::passlogfiles>("passlogfile", "pass log file prefix", "prefix"),
      global<ofBool | ofMinor | ofVideo, &TCustomFFmpegOpt::Fdo_deinterlace>(
          e, "deinterlace", "deinterlace pictures"),
      global<ofBool | ofMinor | ofVideo, &TCustomFFmpegOpt::Fdo_psnr>(e, "psnr", "compute PSNR"),
      handler<ofMinor | ofVideo>("vstats", b(vstats), "video statistics file"),
      handler<ofHasArg | ofMinor | ofVideo>("vstats_file", b(vstats_file),
                                            "video statistics file name", "file"),
      global<ofHasArg | ofMinor | ofVideo | ofInt, &TCustomFFmpegOpt::Fvstats_version>(
          e, "vstats_version", "video statistics format version"),
      handler<ofHasArg | ofVideo | ofPerFile | ofOutput>("vf", b.as("filter:v"),
                                                         "video filter chain", "filter_graph"),
      field<ofHasArg | ofMinor | ofString | ofVideo | ofSpec | ofOutput,
            &TPerFileOptions::intra_matrices>("intra_matrix", "intra quantiser matrix", "matrix"),
      field<ofHasArg | ofMinor | ofString | ofVideo | ofSpec | ofOutput,
            &TPerFileOptions::inter_matrices>("inter_matrix", "inter quantiser matrix", "matrix"),
      field<ofHasArg | ofMinor | ofString | ofVideo | ofSpec | ofOutput,
            &TPerFileOptions::chroma_intra_matrices>("chroma_intra_matrix",
                                                     "chroma intra quantiser matrix", "matrix"),
      field<ofHasArg | ofMinor | ofVideo | ofInt | ofSpec | ofInput | ofOutput,
            &TPerFileOptions::top_field_first>("top", "field order"),
      handler<ofHasArg | ofMinor | ofVideo | ofPerFile | ofOutput>("vtag", b(letter_form),
                                                                   "video codec tag", "fourcc/tag"),
      global<ofBool | ofMinor | ofVideo, &TCustomFFmpegOpt::Fqp_hist>(e, "qphist", "QP histogram"),
      field<ofBool | ofMinor | ofVideo | ofSpec | ofOutput, &TPerFileOptions::force_fps>(
          "force_fps", "keep the given frame rate"),
      handler<ofHasArg | ofMinor | ofVideo | ofPerFile | ofOutput>(
          "streamid", b(streamid), "output stream id", "streamIndex:value"),
      field<ofHasArg | ofMinor | ofString | ofVideo | ofSpec | ofOutput,
            &TPerFileOptions::forced_key_frames>("force_key_frames", "forced key frame times",
                                                 "timestamps"),
      handler<ofHasArg | ofAudio | ofPerFile | ofOutput>("ab", b(bitrate), "audio bit rate",
                                                         "bitrate"),
      handler<ofHasArg | ofVideo | ofPerFile | ofOutput>("b", b(bitrate), "bit rate", "bitrate"),
      field<ofHasArg | ofMinor | ofString | ofVideo | ofSpec | ofInput, &TPerFileOptions::hwaccels>(
          "hwaccel", "hardware decoding method", "name"),
      field<ofHasArg | ofMinor | ofString | ofVideo | ofSpec | ofInput,
            &TPerFileOptions::hwaccel_devices>("hwaccel_device", "hardware decoding device",
                                               "devicename"),
      field<ofHasArg | ofMinor | ofString | ofVideo | ofSpec | ofInput,
            &TPerFileOptions::hwaccel_output_formats>("hwaccel_output_format",
                                                      "hardware decoding output format", "format"),
      handler<ofRequest>("hwaccels", b(unsupported), "hardware method list (not supported)"),
      field<ofHasArg | ofBool | ofMinor | ofSpec | ofInput, &TPerFileOptions::autorotate>(
          "autorotate", "rotate by the display matrix"),
      field<ofHasArg | ofBool | ofMinor | ofSpec | ofInput | ofOutput, &TPerFileOptions::autoscale>(
          "autoscale", "scale to the output size"),
      handler<ofHasArg | ofAudio | ofPerFile | ofOutput>("aframes", b.as("frames:a"),
                                                         "audio frame limit", "number"),
      handler<ofHasArg | ofAudio | ofPerFile | ofOutput>("aq", b.as("q:a"), "audio quality",
                                                         "quality"),
      field<ofHasArg | ofAudio | ofInt | ofSpec | ofInput | ofOutput,
            &TPerFileOptions::audio_sample_rate>("ar", "sample rate", "rate"),
      field<ofHasArg | ofAudio | ofInt | ofSpec | ofInput | ofOutput,
            &TPerFileOptions::audio_channels>("ac", "channel count", "channels"),
      field<ofBool | ofAudio | ofOffset | ofInput | ofOutput, &TPerFileOptions::audio_disable>(
          "an", "no audio"),
      handler<ofHasArg | ofAudio | ofPerFile | ofInput | ofOutput>("acodec", b.as("codec:a"),
                                                                   "audio codec", "codec"),
      handler<ofHasArg | ofMinor | ofAudio | ofPerFile | ofOutput>("atag", b(letter_form),
                                                                   "audio codec tag", "fourcc/tag"),
      global<ofHasArg | ofAudio | ofInt, &TCustomFFmpegOpt::Faudio_volume>(
          e, "vol", "audio volume (256 = unchanged)", "volume"),
      field<ofHasArg | ofMinor | ofString | ofAudio | ofSpec | ofInput | ofOutput,
            &TPerFileOptions::sample_fmts>("sample_fmt", "sample format", "format"),
      handler<ofHasArg | ofMinor | ofAudio | ofPerFile | ofInput | ofOutput>(
          "channel_layout", b(channel_layout), "channel layout", "layout"),
      handler<ofHasArg | ofAudio | ofPerFile | ofOutput>("af", b.as("filter:a"),
                                                         "audio filter chain", "filter_graph"),
      field<ofHasArg | ofMinor | ofAudio | ofInt | ofSpec | ofInput,
            &TPerFileOptions::guess_layout_max>("guess_layout_max",
                                                "most channels to guess a layout for"),
      field<ofBool | ofSubtitle | ofOffset | ofInput | ofOutput,
            &TPerFileOptions::subtitle_disable>("sn", "no subtitles"),
      handler<ofHasArg | ofSubtitle | ofPerFile | ofInput | ofOutput>("scodec", b.as("codec:s"),
                                                                      "subtitle codec", "codec"),
      handler<ofHasArg | ofMinor | ofSubtitle | ofPerFile | ofOutput>(
          "stag", b(letter_form), "subtitle codec tag", "fourcc/tag"),
      field<ofBool | ofMinor | ofSubtitle | ofSpec | ofInput, &TPerFileOptions::fix_sub_duration>(
          "fix_sub_duration", "fix subtitle durations"),
      field<ofHasArg | ofString | ofSubtitle | ofSpec | ofInput, &TPerFileOptions::canvas_sizes>(
          "canvas_size", "subtitle canvas size", "size"),
      handler<ofHasArg | ofMinor | ofVideo>("vc", b(alias_channel), "capture channel", "channel"),
      handler<ofHasArg | ofMinor | ofVideo>("tvstd", b(alias_standard), "TV standard", "standard"),
      global<ofBool | ofMinor, &TCustomFFmpegOpt::Finput_sync>(e, "isync",
                                                               "input sync (no effect)"),
      field<ofHasArg | ofMinor | ofFloat | ofOffset | ofOutput, &TPerFileOptions::mux_max_delay>(
          "muxdelay", "largest demux-decode delay", "seconds"),
      field<ofHasArg | ofMinor | ofFloat | ofOffset | ofOutput, &TPerFileOptions::mux_preload>(
          "muxpreload", "initial demux-decode delay", "seconds"),
      handler<ofHasArg | ofMinor | ofOutput>("sdp_file", b(sdp_file), "SDP output file", "file"),
      field<ofHasArg | ofMinor | ofString | ofSpec | ofOutput, &TPerFileOptions::time_bases>(
          "time_base", "output time base", "ratio"),
      field<ofHasArg | ofMinor | ofString | ofSpec | ofOutput, &TPerFileOptions::enc_time_bases>(
          "enc_time_base", "encoder time base", "ratio"),
      field<ofHasArg | ofMinor | ofString | ofSpec | ofOutput, &TPerFileOptions::bitstream_filters>(
          "bsf", "bitstream filters", "filters"),
      handler<ofHasArg | ofMinor | ofAudio | ofPerFile | ofOutput>(
          "absf", b(letter_form), "audio bitstream filters", "filters"),
      handler<ofHasArg | ofMinor | ofVideo | ofPerFile | ofOutput>(
          "vbsf", b(letter_form), "video bitstream filters", "filters"),
      handler<ofHasArg | ofMinor | ofAudio | ofPerFile | ofOutput>("apre", b(preset_file),
                                                                   "audio preset file", "preset"),
      handler<ofHasArg | ofMinor | ofVideo | ofPerFile | ofOutput>("vpre", b(preset_file),
                                                                   "video preset file", "preset"),
      handler<ofHasArg | ofMinor | ofSubtitle | ofPerFile | ofOutput>(
          "spre", b(preset_file), "subtitle preset file", "preset"),
      handler<ofHasArg | ofMinor | ofPerFile | ofOutput>("fpre", b(preset_file), "preset file",
                                                         "filename"),
      field<ofHasArg | ofMinor | ofInt | ofSpec | ofOutput,
            &TPerFileOptions::max_muxing_queue_size>("max_muxing_queue_size",
                                                     "muxing queue limit in packets", "packets"),
      field<ofHasArg | ofMinor | ofInt | ofSpec | ofOutput,
            &TPerFileOptions::muxing_queue_data_threshold>(
          "muxing_queue_data_threshold", "muxing queue size before the limit applies", "bytes"),
      handler<ofHasArg | ofMinor | ofData | ofPerFile | ofInput | ofOutput>(
          "dcodec", b.as("codec:d"), "data codec", "codec"),
      field<ofBool | ofVideo | ofOffset | ofInput | ofOutput, &TPerFileOptions::data_disable>(
          "dn", "no data"),
      global<ofHasArg | ofMinor | ofString, &TCustomFFmpegOpt::Fqsv_device>(e, "qsv_device",
                                                                            "QSV device", "device"),
      handler<ofHasArg | ofMinor>("init_hw_device", b(init_hw_device), "hardware device to create",
                                  "args"),
      handler<ofHasArg | ofMinor>("filter_hw_device", b(filter_hw_device),
                                  "hardware device of filters", "device"),
      handler<ofHasArg | ofMinor | ofVideo>("VideoHookBitsPixel", b.hook_depth(),
                                            "bit depth of hooked pictures", "bits"),
      handler<ofHasArg | ofMinor | ofPerFile | ofInput | ofOutput>(
          "TimeStart", b.seconds_as("ss_microsecond"), "start time in seconds", "seconds"),
      handler<ofHasArg | ofMinor | ofPerFile | ofInput | ofOutput>(
          "timestart", b.seconds_as("ss_microsecond"), "start time in seconds", "seconds"),
      handler<ofHasArg | ofMinor | ofPerFile | ofInput | ofOutput>(
          "TimeLength", b.seconds_as("t_microsecond"), "duration in seconds", "seconds"),
      handler<ofHasArg | ofMinor | ofPerFile | ofInput | ofOutput>(
          "timelength", b.seconds_as("t_microsecond"), "duration in seconds", "seconds"),
      handler<ofRequest>("AudioInputHook", b(hook_switch), "audio input hook"),
      handler<ofRequest>("AudioOutputHook", b(hook_switch), "audio output hook"),
      handler<ofRequest>("VideoInputHook", b(hook_switch), "video input hook"),
      handler<ofRequest>("VideoOutputHook", b(hook_switch), "video output hook"),
      handler<ofRequest>("FrameInputHook", b(hook_switch), "frame input hook"),
      handler<ofRequest>("FrameOutputHook", b(hook_switch), "frame output hook"),
  };
}

}  // namespace corvane::opthandlers
