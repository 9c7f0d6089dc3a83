#include "transcoder/OptionHandlers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>

#include "foundation/ErrorText.h"
#include "foundation/Errors.h"
#include "foundation/OptionValues.h"
#include "foundation/StreamOptions.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"
#include "transcoder/ReadFile.h"

namespace corvane::opthandlers {
namespace {

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Puts text into the last option error, logs it and returns code.
int reject(TCustomFFmpegOpt& e, int code, TLogLevel level, const std::string& text) {
  last_error_text() = text;
  e.Log(level, text.c_str());
  return code;
}

TPerFileOptions& record_of(void* o) {
  CORVANE_ASSERT(o != nullptr, "a per-file option needs its record");
  return *static_cast<TPerFileOptions*>(o);
}

// The dictionaries of the file being parsed.
TOptionGroup& group_of(TCustomFFmpegOpt& e, void* o) {
  if (o && static_cast<TPerFileOptions*>(o)->group) return *static_cast<TPerFileOptions*>(o)->group;
  return e.FOptions.OptionParseContext().file_opts;
}

// Text after the first ':' of the option as typed, with the ':' ("" without).
std::string suffix_of(const std::string& opt) {
  const std::size_t colon = opt.find(':');
  return colon == std::string::npos ? std::string() : opt.substr(colon);
}

}  // namespace

// ---- Simple handlers

int ignored_request(TCustomFFmpegOpt& e, void*, const std::string& opt, const std::string&) {
  return reject(e, 0, llWarning, strprintf("options \"%s\" not supported, ignore", opt.c_str()));
}

int unsupported(TCustomFFmpegOpt& e, void*, const std::string& opt, const std::string&) {
  return reject(e, AVERROR(EINVAL), llError,
                strprintf("options \"%s\" not supported", opt.c_str()));
}

int hook_switch(TCustomFFmpegOpt&, void*, const std::string&, const std::string&) { return 0; }

int removed_option(TCustomFFmpegOpt& e, void*, const std::string& opt, const std::string&) {
  return reject(e, AVERROR(EINVAL), llWarning,
                strprintf("Option \"%s\" was removed. If you are looking for an option to "
                          "preserve the quality (which is not what -%s was for), use -qscale 0 "
                          "or an equivalent quality factor option.",
                          opt.c_str(), opt.c_str()));
}

// The deprecated spellings land where the real option would: in the file's group.
int alias_channel(TCustomFFmpegOpt& e, void* o, const std::string&, const std::string& arg) {
  e.Log(llWarning, "This option is deprecated, use -channel.");
  return route_to_group(e, group_of(e, o), "channel", arg);
}

int alias_standard(TCustomFFmpegOpt& e, void* o, const std::string&, const std::string& arg) {
  e.Log(llWarning, "This option is deprecated, use -standard.");
  return route_to_group(e, group_of(e, o), "standard", arg);
}

int parse_as(TCustomFFmpegOpt& e, void* o, const std::string& target, const std::string& arg) {
  const int ret = parse_one_option(o, target, arg.c_str(), e.OptionDef());
  return ret < 0 ? ret : 0;
}

// vtag -> tag:v, absf -> bsf:a; a typed specifier follows the letter.
int letter_form(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg) {
  const std::string base = opt.substr(0, opt.find(':'));
  return parse_as(e, o, base.substr(1) + ":" + base[0] + suffix_of(opt), arg);
}

int bitrate(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg) {
  TDictionary& codec = group_of(e, o).codec_opts;
  if (opt == "ab") {
    codec.set("b:a", arg);
  } else if (opt == "b") {
    e.Log(llWarning, "Please use -b:a or -b:v, -b is ambiguous");
    codec.set("b:v", arg);
  } else {
    codec.set(opt, arg);
  }
  return 0;
}

int qscale(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg) {
  if (opt == "qscale") {
    e.Log(llWarning, "Please use -q:a or -q:v, -qscale is ambiguous");
    return parse_as(e, o, "q:v", arg);
  }
  return parse_as(e, o, "q" + opt.substr(6), arg);
}

int profile(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg) {
  TDictionary& codec = group_of(e, o).codec_opts;
  if (opt == "profile") {
    e.Log(llWarning, "Please use -profile:a or -profile:v, -profile is ambiguous");
    codec.set("profile:v", arg);
  } else {
    codec.set(opt, arg);
  }
  return 0;
}

int channel_layout(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg) {
  TChannelLayout layout;
  if (ff::av_channel_layout_from_string(&layout.layout, arg.c_str()) < 0)
    return reject(e, AVERROR(EINVAL), llError,
                  strprintf("Unknown channel layout: %s", arg.c_str()));
  char described[128] = {};
  const int length = ff::av_channel_layout_describe(&layout.layout, described, sizeof(described));
  const bool named = length > 0 && static_cast<std::size_t>(length) <= sizeof(described);
  const std::string suffix = suffix_of(opt);
  const int ret = route_to_group(e, group_of(e, o), "ch_layout" + suffix, named ? described : arg);
  if (ret < 0) return ret;
  return parse_as(e, o, "ac" + suffix, std::to_string(layout.layout.nb_channels));
}

int timecode(TCustomFFmpegOpt& e, void* o, const std::string&, const std::string& arg) {
  const int ret = parse_as(e, o, "metadata:g", "timecode=" + arg);
  if (ret < 0) return ret;
  group_of(e, o).codec_opts.set("gop_timecode", arg);
  return 0;
}

int vsync(TCustomFFmpegOpt& e, void*, const std::string&, const std::string& arg) {
  static constexpr std::pair<const char*, int> kNames[] = {
      {"cfr", 1}, {"vfr", 2}, {"passthrough", 0}, {"drop", 255}};
  for (const auto& [name, method] : kNames) {
    if (ff::av_strcasecmp(arg.c_str(), name) == 0) {
      e.Fvideo_sync_method = method;
      return 0;
    }
  }
  const int method = strict_int(arg).value_or(INT_MIN);
  if (method == -1 || method == 0 || method == 1 || method == 2 || method == 255) {
    e.Fvideo_sync_method = method;
    return 0;
  }
  return reject(
      e, AVERROR(EINVAL), llError,
      strprintf("The value for \"%s\" was \"%s\" which is invalid", "vsync", arg.c_str()));
}

int stats_period(TCustomFFmpegOpt& e, void*, const std::string&, const std::string& arg) {
  std::int64_t us = 0;
  if (ff::av_parse_time(&us, arg.c_str(), 1) < 0 || us <= 0)
    return reject(e, AVERROR(EINVAL), llError,
                  strprintf("stats_period %s must be positive.", arg.c_str()));
  e.FReportInterval = us;
  e.Log(llInfo, "Statistics report period set to %s seconds.",
        c_number(static_cast<double>(us) / 1e6).c_str());
  return 0;
}

// The creation time in UTC, in a form the libraries' date parser reads back.
int timestamp(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg) {
  std::int64_t us = 0;
  try {
    us = parse_time_or_raise(opt, arg, false);
  } catch (const EOptionError& x) {
    return reject(e, AVERROR(EINVAL), llError, x.what());
  }
  const std::time_t seconds = static_cast<std::time_t>(std::llround(static_cast<double>(us) / 1e6));
  std::tm utc{};
  char text[64] = {};
  if (!gmtime_r(&seconds, &utc) || !std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%SZ", &utc))
    return reject(
        e, AVERROR(EINVAL), llError,
        strprintf("Invalid date specification for \"%s\": \"%s\"", opt.c_str(), arg.c_str()));
  const int ret = parse_as(e, o, "metadata", std::string("creation_time=") + text);
  if (ret < 0) return ret;
  e.Log(llWarning, "%s is deprecated, set the \"creation_time\" metadata tag instead.",
        opt.c_str());
  return 0;
}

int seconds_as(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& target,
               const std::string& arg) {
  double seconds = 0;
  try {
    seconds = parse_double_or_raise(opt, arg);
  } catch (const EOptionError& x) {
    return reject(e, AVERROR(EINVAL), llError, x.what());
  }
  // Halves go to the even neighbour (the default rounding mode).
  const double us = std::nearbyint(seconds * 1e6);
  if (!std::isfinite(us) || std::fabs(us) >= 9.2e18)
    return reject(
        e, AVERROR(EINVAL), llError,
        strprintf("Invalid duration specification for \"%s\": \"%s\"", opt.c_str(), arg.c_str()));
  return parse_as(e, o, target, std::to_string(static_cast<std::int64_t>(us)));
}

int check_integer(TCustomFFmpegOpt& e, const std::string& opt, const std::string& arg) {
  try {
    parse_int_or_raise(opt, arg);
  } catch (const EOptionError& x) {
    return reject(e, AVERROR(EINVAL), llError, x.what());
  }
  return 0;
}

int streamid(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg) {
  const std::size_t colon = arg.find(':');
  const std::string index_text = arg.substr(0, colon);
  const std::string value_text = colon == std::string::npos ? "" : arg.substr(colon + 1);
  const std::optional<int> index = strict_int(index_text);
  const std::optional<int> value = strict_int(value_text);
  if (colon == std::string::npos || !index || !value)
    return reject(e, AVERROR(EINVAL), llError,
                  strprintf("Invalid value \"%s\" for option \"%s\", required syntax is "
                            "\"index:value\"",
                            arg.c_str(), opt.c_str()));
  constexpr const char* kRange = "The value for \"%s\" was \"%s\" which is not within %d - %d";
  if (*index < 0 || *index > 1023)
    return reject(e, AVERROR(EINVAL), llError,
                  strprintf(kRange, "streamid", index_text.c_str(), 0, 1023));
  if (*value < 0)
    return reject(e, AVERROR(EINVAL), llError,
                  strprintf(kRange, "streamid", value_text.c_str(), 0, INT_MAX));
  std::vector<int>& ids = record_of(o).streamid_map;
  if (ids.size() < static_cast<std::size_t>(*index) + 1) ids.resize(*index + 1, 0);
  ids[*index] = *value;
  return 0;
}

// The argument vector is gone once the options are applied: keep a copy.
int attach(TCustomFFmpegOpt&, void* o, const std::string&, const std::string& arg) {
  record_of(o).attachments.push_back(arg);
  return 0;
}

// ---- Filter graphs, files, devices

int filter_complex(TCustomFFmpegOpt& e, void*, const std::string&, const std::string& arg) {
  auto fg = std::make_unique<TFilterGraph>();
  fg->index = e.Fnb_filtergraphs();
  fg->graph_desc = arg;
  e.Ffiltergraphs.push_back(std::move(fg));
  e.Finput_stream_potentially_available = 1;
  return 0;
}

int filter_complex_script(TCustomFFmpegOpt& e, void* o, const std::string& opt,
                          const std::string& arg) {
  const std::optional<std::string> text = read_file(&e, arg);
  if (!text)
    return reject(e, AVERROR(EINVAL), llError,
                  strprintf("Cannot read the filter graph file \"%s\"", arg.c_str()));
  return filter_complex(e, o, opt, *text);
}

int sdp_file(TCustomFFmpegOpt& e, void*, const std::string&, const std::string& arg) {
  e.Fsdp_filename = arg;
  return 0;
}

int vstats_file(TCustomFFmpegOpt& e, void*, const std::string&, const std::string& arg) {
  e.Fvstats_filename = arg;
  return 0;
}

int vstats(TCustomFFmpegOpt& e, void*, const std::string&, const std::string&) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char hhmmss[16] = {};
  localtime_r(&now, &local);
  std::strftime(hhmmss, sizeof(hhmmss), "%H%M%S", &local);
  e.Fvstats_filename = strprintf("vstats_%s.log", hhmmss);
  return 0;
}

int progress(TCustomFFmpegOpt& e, void*, const std::string&, const std::string& arg) {
  const std::string url = arg == "-" ? "pipe:" : arg;
  e.FLastWrite = ff::av_gettime_relative();
  AVIOContext* avio = nullptr;
  const int ret = ff::avio_open2(&avio, url.c_str(), AVIO_FLAG_WRITE, &e.FWriteCallback, nullptr);
  if (ret < 0)
    return reject(
        e, ret, llError,
        strprintf("Failed to open progress URL \"%s\": %s", url.c_str(), error_text(ret).c_str()));
  if (e.Fprogress_avio) ff::avio_closep(&e.Fprogress_avio);
  e.Fprogress_avio = avio;
  return 0;
}

int init_hw_device(TCustomFFmpegOpt& e, void*, const std::string&, const std::string& arg) {
  if (arg == "list") {
    e.Log(llInfo, "Supported hardware device types:");
    for (AVHWDeviceType t = ff::av_hwdevice_iterate_types(AV_HWDEVICE_TYPE_NONE);
         t != AV_HWDEVICE_TYPE_NONE; t = ff::av_hwdevice_iterate_types(t))
      e.Log(llInfo, "%s", ff::av_hwdevice_get_type_name(t));
    return AVERROR(EPERM);  // a listing request ends the file
  }
  return e.FHWDevices.DeviceFromString(arg, nullptr);
}

int filter_hw_device(TCustomFFmpegOpt& e, void*, const std::string&, const std::string& arg) {
  if (e.Ffilter_hw_device) {
    e.Log(llError, "Only one filter device can be used.");
    return AVERROR(EINVAL);
  }
  e.Ffilter_hw_device = e.FHWDevices.DeviceByName(arg);
  if (!e.Ffilter_hw_device) {
    e.Log(llError, "Invalid filter device %s.", arg.c_str());
    return AVERROR(EINVAL);
  }
  return 0;
}

int max_alloc(TCustomFFmpegOpt& e, void*, const std::string&, const std::string& arg) {
  unsigned long long bytes = 0;
  const char* end = arg.data() + arg.size();
  const auto [ptr, ec] = std::from_chars(arg.data(), end, bytes, 10);
  if (arg.empty() || ec != std::errc() || ptr != end)
    return reject(e, AVERROR(EINVAL), llFatal, strprintf("Invalid max_alloc \"%s\".", arg.c_str()));
  ff::av_max_alloc(static_cast<std::size_t>(bytes));
  return 0;
}

int cpuflags(TCustomFFmpegOpt& e, void*, const std::string&, const std::string& arg) {
  unsigned flags = static_cast<unsigned>(ff::av_get_cpu_flags());
  const int ret = ff::av_parse_cpu_caps(&flags, arg.c_str());
  if (ret < 0)
    return reject(
        e, ret, llFatal,
        strprintf("Failed to parse cpu flags \"%s\"", arg.c_str()) + ": " + error_text(ret));
  ff::av_force_cpu_flags(static_cast<int>(flags));
  return 0;
}

int loglevel(TCustomFFmpegOpt&, void*, const std::string& opt, const std::string& arg) {
  return set_loglevel_text(opt, arg.c_str());
}

// ---- Stream maps

namespace {

// Whether the stream matches; a broken specifier is fatal.
bool stream_matches(TCustomFFmpegOpt& e, AVFormatContext* ctx, AVStream* st,
                    const std::string& specifier) {
  const int ret = check_stream_specifier(ctx, st, specifier.c_str());
  if (ret < 0) e.Fatal(error_text("check_stream_specifier", ret));
  return ret > 0;
}

// The input stream record of stream j of input file f, or nullptr.
TInputStream* input_stream(TCustomFFmpegOpt& e, int f, int j) {
  const std::size_t index = static_cast<std::size_t>(e.Finput_files[f]->ist_index) + j;
  return index < e.Finput_streams.size() ? e.Finput_streams[index].get() : nullptr;
}

bool discarded(TCustomFFmpegOpt& e, int f, int j) {
  const TInputStream* ist = input_stream(e, f, j);
  return ist && ist->user_set_discard == AVDISCARD_ALL;
}

struct TSyncStream {
  int file = -1;
  int stream = -1;
};

// "file[:specifier]" after the map's comma.
TSyncStream find_sync_stream(TCustomFFmpegOpt& e, const std::string& map_text,
                             const std::string& sync_text) {
  char* end = nullptr;
  const long file = std::strtol(sync_text.c_str(), &end, 0);
  if (file < 0 || file >= e.Fnb_input_files())
    e.Fatal("Invalid sync file index: %d.", static_cast<int>(file));
  if (*end == ':') ++end;
  const std::string spec = end;
  AVFormatContext* ctx = e.Finput_files[file]->ctx.get();
  for (unsigned j = 0; j < ctx->nb_streams; ++j) {
    if (!stream_matches(e, ctx, ctx->streams[j], spec)) continue;
    if (discarded(e, static_cast<int>(file), static_cast<int>(j)))
      e.Fatal("Sync stream specification in map %s matches a disabled input stream.",
              map_text.c_str());
    return {static_cast<int>(file), static_cast<int>(j)};
  }
  e.Fatal("Sync stream specification in map %s does not match any streams.", map_text.c_str());
}

void add_label_map(TCustomFFmpegOpt& e, TPerFileOptions& rec, const std::string& text) {
  const char* p = text.c_str() + 1;
  AVMemPtr<char> label(ff::av_get_token(&p, "]"));
  if (!label || !*label) e.Fatal("Invalid output link label: %s.", text.c_str());
  TStreamMap m;
  m.linklabel = label.get();
  rec.stream_maps.push_back(std::move(m));
}

// Returns whether a map was added or disabled; only_disabled tells whether
// every matching stream was a discarded one.
bool add_stream_maps(TCustomFFmpegOpt& e, TPerFileOptions& rec, const std::string& text,
                     bool negative, TSyncStream sync, bool& only_disabled) {
  char* end = nullptr;
  const long file = std::strtol(text.c_str(), &end, 0);
  if (file < 0 || file >= e.Fnb_input_files())
    e.Fatal("Invalid input file index: %d.", static_cast<int>(file));
  if (*end == ':') ++end;
  const std::string spec = end;
  AVFormatContext* ctx = e.Finput_files[file]->ctx.get();
  bool changed = false;
  if (negative) {
    // A negative map counts when there are maps of the file to examine:
    // "-map 0 -map -0:s" on a file without subtitles removes nothing and is fine.
    for (TStreamMap& m : rec.stream_maps) {
      if (m.file_index != file || !m.linklabel.empty()) continue;
      changed = true;
      if (stream_matches(e, ctx, ctx->streams[m.stream_index], spec)) m.disabled = 1;
    }
    return changed;
  }
  for (unsigned j = 0; j < ctx->nb_streams; ++j) {
    if (!stream_matches(e, ctx, ctx->streams[j], spec)) continue;
    if (discarded(e, static_cast<int>(file), static_cast<int>(j))) {
      only_disabled = true;
      continue;
    }
    TStreamMap m;
    m.file_index = static_cast<int>(file);
    m.stream_index = static_cast<int>(j);
    m.sync_file_index = sync.file >= 0 ? sync.file : m.file_index;
    m.sync_stream_index = sync.file >= 0 ? sync.stream : m.stream_index;
    rec.stream_maps.push_back(std::move(m));
    changed = true;
  }
  return changed;
}

}  // namespace

int map(TCustomFFmpegOpt& e, void* o, const std::string&, const std::string& arg) {
  TPerFileOptions& rec = record_of(o);
  std::string text = arg;
  TSyncStream sync;
  if (const std::size_t comma = text.find(','); comma != std::string::npos) {
    sync = find_sync_stream(e, arg, text.substr(comma + 1));
    text.resize(comma);
  }
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.erase(0, 1);
  if (!text.empty() && text[0] == '[') {
    add_label_map(e, rec, text);
    return 0;
  }
  const std::size_t question = text.find('?');
  const bool allow_unused = question != std::string::npos;
  if (allow_unused) text.resize(question);
  bool only_disabled = false;
  if (add_stream_maps(e, rec, text, negative, sync, only_disabled)) return 0;
  if (allow_unused) {
    e.Log(llVerbose, "Stream map \"%s\" matches no streams; ignoring.", arg.c_str());
    return 0;
  }
  if (only_disabled)
    e.Fatal(
        "Stream map \"%s\" matches disabled streams.\r\nTo ignore this, add a trailing \"?\" to "
        "the map.",
        arg.c_str());
  e.Fatal(
      "Stream map \"%s\" matches no streams.\r\nTo ignore this, add a trailing \"?\" to the map.",
      arg.c_str());
}

namespace {

// Checks a channel map against the inputs; false for a bad channel that the
// map allows to be dropped.
bool valid_channel_map(TCustomFFmpegOpt& e, const TAudioChannelMap& m, const std::string& arg) {
  if (m.file_idx < 0 || m.file_idx >= e.Fnb_input_files())
    e.Fatal("mapchan: invalid input file index: %d", m.file_idx);
  AVFormatContext* ctx = e.Finput_files[m.file_idx]->ctx.get();
  if (m.stream_idx < 0 || static_cast<unsigned>(m.stream_idx) >= ctx->nb_streams)
    e.Fatal("mapchan: invalid input file stream index #%d.%d", m.file_idx, m.stream_idx);
  const AVCodecParameters* par = ctx->streams[m.stream_idx]->codecpar;
  if (par->codec_type != AVMEDIA_TYPE_AUDIO)
    e.Fatal("mapchan: stream #%d.%d is not an audio stream.", m.file_idx, m.stream_idx);
  if (m.channel_idx >= 0 && m.channel_idx < par->ch_layout.nb_channels &&
      !discarded(e, m.file_idx, m.stream_idx))
    return true;
  const std::string text = strprintf("mapchan: invalid audio channel #%d.%d.%d", m.file_idx,
                                     m.stream_idx, m.channel_idx);
  if (arg.find('?') == std::string::npos) e.Fatal(text);
  e.Log(llVerbose, text.c_str());
  return false;
}

}  // namespace

int map_channel(TCustomFFmpegOpt& e, void* o, const std::string&, const std::string& arg) {
  TPerFileOptions& rec = record_of(o);
  TAudioChannelMap m;
  int n = std::sscanf(arg.c_str(), "%d:%d.%d", &m.channel_idx, &m.ofile_idx, &m.ostream_idx);
  if ((n == 1 || n == 3) && m.channel_idx == -1) {
    m.file_idx = m.stream_idx = -1;
    if (n == 1) m.ofile_idx = m.ostream_idx = -1;
    rec.audio_channel_maps.push_back(m);
    return 0;
  }
  m = TAudioChannelMap{};
  n = std::sscanf(arg.c_str(), "%d.%d.%d:%d.%d", &m.file_idx, &m.stream_idx, &m.channel_idx,
                  &m.ofile_idx, &m.ostream_idx);
  if (n != 3 && n != 5)
    e.Fatal("Syntax error, mapchan usage: [file.stream.channel|-1][:syncfile:syncstream]");
  if (n == 3) m.ofile_idx = m.ostream_idx = -1;
  // A bad channel of an optional map is dropped: the audio filter cannot use it.
  if (valid_channel_map(e, m, arg)) rec.audio_channel_maps.push_back(m);
  return 0;
}

// ---- Target presets

namespace {

enum class TNorm { Unknown, Pal, Ntsc, Film };

TNorm guess_norm(TCustomFFmpegOpt& e) {
  for (const auto& file : e.Finput_files) {
    AVFormatContext* ctx = file->ctx.get();
    for (unsigned j = 0; ctx && j < ctx->nb_streams; ++j) {
      const AVStream* st = ctx->streams[j];
      if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || st->time_base.num <= 0) continue;
      const long long rate = std::llround(st->time_base.den * 1000.0 / st->time_base.num);
      if (rate == 25000) return TNorm::Pal;
      if (rate == 29970 || rate == 23976) return TNorm::Ntsc;
    }
  }
  return TNorm::Unknown;
}

// Applies target settings in order; the first failure sticks.
struct TTargetWriter {
  TCustomFFmpegOpt& e;
  TPerFileOptions& rec;
  int ret = 0;
  void opt(const char* name, const std::string& value) {
    if (ret >= 0) ret = parse_as(e, &rec, name, value);
  }
  void lib(const char* name, const std::string& value) {
    if (ret >= 0) ret = std::min(route_to_group(e, *rec.group, name, value), 0);
  }
};

void vcd_settings(TTargetWriter& w, const char* size, const char* rate, const char* gop) {
  w.opt("c:v", "mpeg1video");
  w.opt("c:a", "mp2");
  w.opt("f", "vcd");
  w.opt("s", size);
  w.opt("r", rate);
  w.lib("g", gop);
  w.lib("b:v", "1150000");
  w.lib("maxrate:v", "1150000");
  w.lib("minrate:v", "1150000");
  w.lib("bufsize:v", "327680");
  w.lib("b:a", "224000");
  w.opt("ar", "44100");
  w.opt("ac", "2");
  w.lib("packetsize", "2324");
  w.lib("muxrate", "1411200");
  w.rec.mux_preload = 0.44f;
}

void svcd_settings(TTargetWriter& w, const char* size, const char* rate, const char* gop) {
  w.opt("c:v", "mpeg2video");
  w.opt("c:a", "mp2");
  w.opt("f", "svcd");
  w.opt("s", size);
  w.opt("r", rate);
  w.opt("pix_fmt", "yuv420p");
  w.lib("g", gop);
  w.lib("b:v", "2040000");
  w.lib("maxrate:v", "2516000");
  w.lib("minrate:v", "0");
  w.lib("bufsize:v", "1835008");
  w.lib("scan_offset", "1");
  w.lib("b:a", "224000");
  w.opt("ar", "44100");
  w.lib("packetsize", "2324");
}

void dvd_settings(TTargetWriter& w, const char* size, const char* rate, const char* gop) {
  w.opt("c:v", "mpeg2video");
  w.opt("c:a", "ac3");
  w.opt("f", "dvd");
  w.opt("s", size);
  w.opt("r", rate);
  w.opt("pix_fmt", "yuv420p");
  w.lib("g", gop);
  w.lib("b:v", "6000000");
  w.lib("maxrate:v", "9000000");
  w.lib("minrate:v", "0");
  w.lib("bufsize:v", "1835008");
  w.lib("packetsize", "2048");
  w.lib("muxrate", "10080000");
  w.lib("b:a", "448000");
  w.opt("ar", "48000");
}

void dv_settings(TTargetWriter& w, const char* size, const char* rate, const char* pix_fmt) {
  w.opt("f", "dv");
  w.opt("s", size);
  w.opt("pix_fmt", pix_fmt);
  w.opt("r", rate);
  w.opt("ar", "48000");
  w.opt("ac", "2");
}

TNorm norm_prefix(std::string& name) {
  static constexpr std::pair<const char*, TNorm> kPrefixes[] = {
      {"pal-", TNorm::Pal}, {"ntsc-", TNorm::Ntsc}, {"film-", TNorm::Film}};
  for (const auto& [prefix, norm] : kPrefixes) {
    if (starts_with(name, prefix)) {
      name.erase(0, std::strlen(prefix));
      return norm;
    }
  }
  return TNorm::Unknown;
}

}  // namespace

int target(TCustomFFmpegOpt& e, void* o, const std::string&, const std::string& arg) {
  TPerFileOptions& rec = record_of(o);
  std::string name = arg;
  TNorm norm = norm_prefix(name);
  if (norm == TNorm::Unknown) {
    norm = guess_norm(e);
    if (norm == TNorm::Unknown)
      e.Fatal(
          "Could not determine norm (PAL/NTSC/NTSC-Film) for target.\r\nPlease prefix target "
          "with \"pal-\", \"ntsc-\" or \"film-\",\r\nor set a framerate with \"-r xxx\".");
    e.Log(llInfo, "Assuming %s for target.", norm == TNorm::Pal ? "PAL" : "NTSC");
  }
  const bool pal = norm == TNorm::Pal;
  const char* rate = pal ? "25" : norm == TNorm::Ntsc ? "30000/1001" : "24000/1001";
  const char* gop = pal ? "15" : "18";
  TTargetWriter w{e, rec};
  if (name == "vcd")
    vcd_settings(w, pal ? "352x288" : "352x240", rate, gop);
  else if (name == "svcd")
    svcd_settings(w, pal ? "480x576" : "480x480", rate, gop);
  else if (name == "dvd")
    dvd_settings(w, pal ? "720x576" : "720x480", rate, gop);
  else if (name == "dv" || name == "dv50")
    dv_settings(w, pal ? "720x576" : "720x480", rate,
                name == "dv50" ? "yuv422p"
                : pal          ? "yuv420p"
                               : "yuv411p");
  else
    return reject(e, AVERROR(EINVAL), llError, strprintf("Unknown target: %s", arg.c_str()));
  return w.ret;
}

// ---- Presets

int preset_file(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg) {
  CORVANE_ASSERT(!opt.empty() && std::string("avsf").find(opt[0]) != std::string::npos,
                 "a preset option starts with a, v, s or f");
  std::ifstream in(arg, std::ios::binary);
  if (!in)
    return reject(e, AVERROR(EINVAL), llError,
                  strprintf("Preset file \"%s\" not found", arg.c_str()));
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  e.Log(llInfo, "Parse preset file: %s", arg.c_str());
  const std::size_t slash = arg.find_last_of('/');
  const std::string base = slash == std::string::npos ? arg : arg.substr(slash + 1);
  return apply_preset_lines(e, record_of(o), text, {arg + ": ", base + ": "});
}

}  // namespace corvane::opthandlers
