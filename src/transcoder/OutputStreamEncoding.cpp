// Encoder settings of video and audio output streams: picture and sample
// formats, quantizer matrices, rate-control overrides, two-pass logs, and the
// filter description of the stream's simple graph.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/api/avcodec.h"
#include "transcoder/OutputStreamSteps.h"
#include "transcoder/ReadFile.h"

namespace corvane::ost_steps {

namespace {

constexpr int kMatrixSize = 64;
constexpr const char* kDefaultPassLogPrefix = "dedirerer2pass";

// strtol clamped to int; false when no digits were read.
bool ReadInt(const char*& p, int& value) {
  char* end = nullptr;
  const long v = std::strtol(p, &end, 10);
  if (end == p) return false;
  value = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
  p = end;
  return true;
}

// Three comma-separated integers at p; what follows them is ignored.
bool ReadOverrideEntry(const char* p, int (&v)[3]) {
  for (int i = 0; i < 3; ++i) {
    if (!ReadInt(p, v[i])) return false;
    if (i < 2 && *p++ != ',') return false;
  }
  return true;
}

std::uint16_t* AllocMatrix(TCustomFFmpegOpt& e, const char* message) {
  auto* m = static_cast<std::uint16_t*>(ff::av_mallocz(kMatrixSize * sizeof(std::uint16_t)));
  if (!m) e.Fatal(message);
  return m;
}

// Each matrix belongs to the encoder context as soon as it is allocated.
void SetMatrices(const TStreamSetup& s) {
  AVCodecContext* ctx = s.ost.enc_ctx.get();
  if (const TSpecifierValue* v = s.match(s.o.intra_matrices)) {
    ctx->intra_matrix = AllocMatrix(s.e, "Could not allocate memory for intra matrix.");
    ParseMatrix(s.e, ctx->intra_matrix, v->str);
  }
  if (const TSpecifierValue* v = s.match(s.o.chroma_intra_matrices)) {
    ctx->chroma_intra_matrix = AllocMatrix(s.e, "Could not allocate memory for intra matrix.");
    ParseMatrix(s.e, ctx->chroma_intra_matrix, v->str);
  }
  if (const TSpecifierValue* v = s.match(s.o.inter_matrices)) {
    ctx->inter_matrix = AllocMatrix(s.e, "Could not allocate memory for inter matrix.");
    ParseMatrix(s.e, ctx->inter_matrix, v->str);
  }
}

void SetPixelFormat(const TStreamSetup& s) {
  const TSpecifierValue* v = s.match(s.o.frame_pix_fmts);
  if (!v) return;
  const char* name = v->str.c_str();
  if (*name == '+') {
    s.ost.keep_pix_fmt = 1;
    ++name;
  }
  if (!*name) return;
  s.ost.enc_ctx->pix_fmt = ff::av_get_pix_fmt(name);
  if (s.ost.enc_ctx->pix_fmt == AV_PIX_FMT_NONE)
    s.e.Fatal("Unknown pixel format requested: %s.", name);
}

void SetPictureSettings(const TStreamSetup& s) {
  AVCodecContext* ctx = s.ost.enc_ctx.get();
  const TSpecifierValue* size = s.match(s.o.frame_sizes);
  if (size && ff::av_parse_video_size(&ctx->width, &ctx->height, size->str.c_str()) < 0)
    s.e.Fatal("Invalid frame size: %s.", size->str.c_str());
  ctx->bits_per_raw_sample = s.e.Fframe_bits_per_raw_sample;
  SetPixelFormat(s);
  s.ost.st->sample_aspect_ratio = ctx->sample_aspect_ratio;
  if (s.e.Fintra_only) ctx->gop_size = 0;
}

void SetFilterDescription(const TStreamSetup& s) {
  s.ost.avfilter = get_ost_filters(s.e, s.ost);
  if (!s.ost.avfilter) s.e.Fatal("get_ost_filters() failed");
}

void ReadPassStatistics(const TStreamSetup& s) {
  const std::optional<std::string> stats = read_file(&s.e, s.ost.logfile_name);
  char* copy = stats ? ff::av_strdup(stats->c_str()) : nullptr;
  if (!copy)
    s.e.Fatal("Error reading log file \"%s\" for pass-2 encoding", s.ost.logfile_name.c_str());
  s.ost.enc_ctx->stats_in = copy;
}

// A channel map applies to this stream when its output indices match (-1
// matches any); a real channel must come from the stream's own input.
void MapAudioChannels(const TStreamSetup& s) {
  TOutputStream& ost = s.ost;
  for (const TAudioChannelMap& map : s.o.audio_channel_maps) {
    if ((map.ofile_idx != -1 && map.ofile_idx != ost.file_index) ||
        (map.ostream_idx != -1 && map.ostream_idx != ost.index))
      continue;
    if (map.channel_idx != -1) {
      if (ost.source_index < 0) {
        s.e.Log(llFatal, "Cannot determine input stream for channel mapping %d.%d", ost.file_index,
                ost.index);
        continue;
      }
      const TInputStream& ist = *s.e.Finput_streams.at(static_cast<std::size_t>(ost.source_index));
      if (ist.file_index != map.file_idx || ist.st->index != map.stream_idx) continue;
    }
    ost.audio_channels_map.push_back(map.channel_idx);
  }
}

}  // namespace

void ParseMatrix(TCustomFFmpegOpt& e, std::uint16_t* dest, const std::string& text) {
  const char* p = text.c_str();
  for (int i = 0; i < kMatrixSize; ++i) {
    dest[i] = static_cast<std::uint16_t>(std::strtol(p, nullptr, 10));
    if (i == kMatrixSize - 1) break;
    p = std::strchr(p, ',');
    if (!p) e.Fatal("Syntax error in matrix \"%s\" at coeff %d", text.c_str(), i);
    ++p;
  }
}

void ParseRcOverride(TCustomFFmpegOpt& e, AVCodecContext* enc_ctx, const std::string& text) {
  std::vector<RcOverride> entries;
  for (const char* p = text.c_str(); p;) {
    int v[3];
    if (!ReadOverrideEntry(p, v)) e.Fatal("error parsing rc_override");
    RcOverride entry{};
    entry.start_frame = v[0];
    entry.end_frame = v[1];
    if (v[2] > 0) {
      entry.qscale = v[2];
      entry.quality_factor = 1.0f;
    } else {
      entry.qscale = 0;
      entry.quality_factor = static_cast<float>(-(v[2] / 100.0));
    }
    entries.push_back(entry);
    p = std::strchr(p, '/');
    if (p) ++p;
  }
  auto* array = static_cast<RcOverride*>(ff::av_calloc(entries.size(), sizeof(RcOverride)));
  if (!array) e.Fatal("Could not (re)allocate memory for rc_override.");
  std::copy(entries.begin(), entries.end(), array);
  ff::av_freep(&enc_ctx->rc_override);
  enc_ctx->rc_override = array;
  enc_ctx->rc_override_count = static_cast<int>(entries.size());
}

void SetupPasses(const TStreamSetup& s) {
  TOutputStream& ost = s.ost;
  AVCodecContext* ctx = ost.enc_ctx.get();
  const TSpecifierValue* pass_value = s.match(s.o.passes);
  const int pass = pass_value ? pass_value->i : 0;
  if (pass & 1) {
    ctx->flags |= AV_CODEC_FLAG_PASS1;
    ost.encoder_opts.set("flags", "+pass1", AV_DICT_APPEND);
  }
  if (pass & 2) {
    ctx->flags |= AV_CODEC_FLAG_PASS2;
    ost.encoder_opts.set("flags", "+pass2", AV_DICT_APPEND);
  }
  if (const TSpecifierValue* v = s.match(s.o.passlogfiles)) ost.logfile_prefix = v->str;
  if (!(pass & 3)) return;
  // One log per stream of the task: streams sharing a log would mix their
  // statistics. The same options give the same names in both passes.
  ost.logfile_name = strprintf(
      "%s-%d.log", ost.logfile_prefix.empty() ? kDefaultPassLogPrefix : ost.logfile_prefix.c_str(),
      s.e.Fnb_output_streams() - 1);
  if (std::string(ost.enc->name) == "libx264") {
    ost.encoder_opts.set("stats", ost.logfile_name, AV_DICT_DONT_OVERWRITE);
    return;
  }
  if (pass & 2) ReadPassStatistics(s);
  if (pass & 1) {
    ost.logfile = std::fopen(ost.logfile_name.c_str(), "wb");
    if (!ost.logfile)
      s.e.Fatal("Cannot write log file \"%s\" for pass-1 encoding", ost.logfile_name.c_str());
  }
}

void SetVideoEncoding(const TStreamSetup& s) {
  TOutputStream& ost = s.ost;
  SetPictureSettings(s);
  SetMatrices(s);
  if (const TSpecifierValue* v = s.match(s.o.rc_overrides))
    ParseRcOverride(s.e, ost.enc_ctx.get(), v->str);
  if (s.e.Fdo_psnr) ost.enc_ctx->flags |= AV_CODEC_FLAG_PSNR;
  SetupPasses(s);
  if (const TSpecifierValue* v = s.match(s.o.forced_key_frames)) ost.forced_keyframes = v->str;
  if (const TSpecifierValue* v = s.match(s.o.force_fps)) ost.force_fps = v->i;
  ost.top_field_first = -1;
  if (const TSpecifierValue* v = s.match(s.o.top_field_first)) ost.top_field_first = v->i;
  SetFilterDescription(s);
}

void SetAudioEncoding(const TStreamSetup& s) {
  TOutputStream& ost = s.ost;
  AVCodecContext* ctx = ost.enc_ctx.get();
  if (const TSpecifierValue* v = s.match(s.o.audio_channels)) {
    ff::av_channel_layout_uninit(&ctx->ch_layout);
    ff::av_channel_layout_default(&ctx->ch_layout, v->i);
  }
  if (const TSpecifierValue* v = s.match(s.o.sample_fmts)) {
    ctx->sample_fmt = ff::av_get_sample_fmt(v->str.c_str());
    if (ctx->sample_fmt == AV_SAMPLE_FMT_NONE)
      s.e.Fatal("Invalid sample format \"%s\"", v->str.c_str());
  }
  if (const TSpecifierValue* v = s.match(s.o.audio_sample_rate)) ctx->sample_rate = v->i;
  if (const TSpecifierValue* v = s.match(s.o.apad)) ost.apad = v->str;
  SetFilterDescription(s);
  MapAudioChannels(s);
}

std::optional<std::string> get_ost_filters(TCustomFFmpegOpt& e, const TOutputStream& ost) {
  if (!ost.filters_script.empty() && !ost.filters.empty())
    e.Fatal("Both -filter and -filter_script set for output stream #%d:%d.", ost.file_index,
            ost.index);
  if (!ost.filters_script.empty()) return read_file(&e, ost.filters_script);
  if (!ost.filters.empty()) return ost.filters;
  return std::string(ost.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? "null" : "anull");
}

}  // namespace corvane::ost_steps
