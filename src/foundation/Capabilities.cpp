// Capability listings of the loaded media libraries.
#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/FFLoader.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avfilter.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"
#include "foundation/api/swscale.h"

namespace corvane {
namespace {

using Lines = std::vector<std::string>;

std::string padRight(std::string s, std::size_t n) {
  if (s.size() < n) s.append(n - s.size(), ' ');
  return s;
}

std::string padLeft(const std::string& s, std::size_t n) {
  return s.size() < n ? std::string(n - s.size(), ' ') + s : s;
}

char mediaLetter(AVMediaType type) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO:
      return 'V';
    case AVMEDIA_TYPE_AUDIO:
      return 'A';
    case AVMEDIA_TYPE_DATA:
      return 'D';
    case AVMEDIA_TYPE_SUBTITLE:
      return 'S';
    case AVMEDIA_TYPE_ATTACHMENT:
      return 'T';
    default:
      return '?';
  }
}

char mark(bool set, char letter) { return set ? letter : '.'; }

// " " + long name when the library supplies one.
std::string longNameSuffix(const char* longName) {
  return longName ? std::string(" ") + longName : std::string();
}

void addAll(Lines& out, std::initializer_list<const char*> texts) {
  out.insert(out.end(), texts.begin(), texts.end());
}

// Moves the finished lines to the caller's list in one step.
int appendTo(std::vector<std::string>& list, Lines&& lines, int count) {
  list.insert(list.end(), std::make_move_iterator(lines.begin()),
              std::make_move_iterator(lines.end()));
  return count;
}

// Codec descriptors ordered by media type, then case-insensitively by name.
std::vector<const AVCodecDescriptor*> sortedDescriptors() {
  std::vector<const AVCodecDescriptor*> result;
  for (const AVCodecDescriptor* d = nullptr; (d = ff::avcodec_descriptor_next(d));)
    result.push_back(d);
  std::stable_sort(result.begin(), result.end(), [](auto* a, auto* b) {
    if (a->type != b->type) return a->type < b->type;
    return ff::av_strcasecmp(a->name, b->name) < 0;
  });
  return result;
}

// Decoders or encoders per codec id, in the library's iteration order.
using CodecsById = std::map<AVCodecID, std::vector<const AVCodec*>>;

CodecsById codecsById(bool encoders) {
  CodecsById result;
  void* opaque = nullptr;
  while (const AVCodec* c = ff::av_codec_iterate(&opaque)) {
    const bool wanted = encoders ? ff::av_codec_is_encoder(c) : ff::av_codec_is_decoder(c);
    if (wanted) result[c->id].push_back(c);
  }
  return result;
}

const std::vector<const AVCodec*>& codecsFor(const CodecsById& map, AVCodecID id) {
  static const std::vector<const AVCodec*> kNone;
  const auto it = map.find(id);
  return it == map.end() ? kNone : it->second;
}

// " (decoders: a b )" when some codec of the id is named unlike its descriptor.
std::string implementationsSuffix(const char* label, const std::vector<const AVCodec*>& codecs,
                                  std::string_view descriptorName) {
  const bool differs = std::any_of(codecs.begin(), codecs.end(),
                                   [&](const AVCodec* c) { return c->name != descriptorName; });
  if (!differs) return {};
  std::string s = std::string(" (") + label + ": ";
  for (const AVCodec* c : codecs) s.append(c->name).append(" ");
  return s + ")";
}

int listCodecImplementations(std::vector<std::string>& list, bool encoders) {
  const auto descriptors = sortedDescriptors();
  const CodecsById codecs = codecsById(encoders);
  Lines lines;
  lines.emplace_back(encoders ? "Encoders:" : "Decoders:");
  addAll(lines, {" V..... = Video", " A..... = Audio", " S..... = Subtitle",
                 " .F.... = Frame-level multithreading", " ..S... = Slice-level multithreading",
                 " ...X.. = Codec is experimental", " ....B. = Supports draw_horiz_band",
                 " .....D = Supports direct rendering method 1", " ------"});
  for (const AVCodecDescriptor* d : descriptors) {
    for (const AVCodec* c : codecsFor(codecs, d->id)) {
      const int caps = c->capabilities;
      std::string line = " ";
      line += mediaLetter(c->type);
      line += mark(caps & AV_CODEC_CAP_FRAME_THREADS, 'F');
      line += mark(caps & AV_CODEC_CAP_SLICE_THREADS, 'S');
      line += mark(caps & AV_CODEC_CAP_EXPERIMENTAL, 'X');
      line += mark(caps & AV_CODEC_CAP_DRAW_HORIZ_BAND, 'B');
      line += mark(caps & AV_CODEC_CAP_DR1, 'D');
      line += " " + padRight(c->name, 20) + longNameSuffix(c->long_name);
      if (std::string_view(c->name) != d->name) line += std::string(" (codec ") + d->name + ")";
      lines.push_back(std::move(line));
    }
  }
  return appendTo(list, std::move(lines), static_cast<int>(descriptors.size()));
}

enum class FormatKinds { All, Demuxers, Muxers, Devices };

bool isDevice(const AVClass* cls) {
  return cls && (AV_IS_INPUT_DEVICE(cls->category) || AV_IS_OUTPUT_DEVICE(cls->category));
}

int listFormats(std::vector<std::string>& list, FormatKinds kinds) {
  struct Entry {
    bool demuxing = false;
    bool muxing = false;
    const char* longName = nullptr;  // of the first muxer, else the first demuxer
  };
  const bool devicesOnly = kinds == FormatKinds::Devices;
  // Names at or below this bound are never listed.
  constexpr std::string_view kBound = "000";
  std::map<std::string, Entry> entries;  // byte order, as strcmp

  auto add = [&](const char* name, const char* longName, const AVClass* cls) -> Entry* {
    if (devicesOnly && !isDevice(cls)) return nullptr;
    if (std::string_view(name) <= kBound) return nullptr;
    auto [it, inserted] = entries.try_emplace(name);
    if (inserted) it->second.longName = longName;
    return &it->second;
  };
  if (kinds != FormatKinds::Demuxers) {
    void* opaque = nullptr;
    while (const AVOutputFormat* f = ff::av_muxer_iterate(&opaque))
      if (Entry* e = add(f->name, f->long_name, f->priv_class)) e->muxing = true;
  }
  if (kinds != FormatKinds::Muxers) {
    void* opaque = nullptr;
    while (const AVInputFormat* f = ff::av_demuxer_iterate(&opaque))
      if (Entry* e = add(f->name, f->long_name, f->priv_class)) e->demuxing = true;
  }

  Lines lines;
  lines.emplace_back(devicesOnly ? "Devices:" : "File formats:");
  addAll(lines, {" D. = Demuxing supported", " .E = Muxing supported", " --"});
  for (const auto& [name, e] : entries) {
    std::string line = " ";
    line += e.demuxing ? 'D' : ' ';
    line += e.muxing ? 'E' : ' ';
    line += " " + padRight(name, 15) + longNameSuffix(e.longName);
    lines.push_back(std::move(line));
  }
  return appendTo(list, std::move(lines), static_cast<int>(entries.size()));
}

// Pad column part: one letter per pad, else "N" (dynamic) or "|".
std::string padLetters(const AVFilter* f, bool outputs) {
  const unsigned count = ff::avfilter_filter_pad_count(f, outputs ? 1 : 0);
  const AVFilterPad* pads = outputs ? f->outputs : f->inputs;
  std::string s;
  for (unsigned i = 0; i < count; ++i)
    s += mediaLetter(ff::avfilter_pad_get_type(pads, static_cast<int>(i)));
  if (count == 0) {
    const int dynamic = outputs ? AVFILTER_FLAG_DYNAMIC_OUTPUTS : AVFILTER_FLAG_DYNAMIC_INPUTS;
    s = (f->flags & dynamic) ? "N" : "|";
  }
  return s;
}

// Channel name or description through one of the library's buffer functions.
template <class F>
std::string channelText(F fn, int channel) {
  std::array<char, 128> buf{};
  if (fn(buf.data(), buf.size(), static_cast<AVChannel>(channel)) < 0) return {};
  return buf.data();
}

}  // namespace

int TFFLoader::GetCodecs(std::vector<std::string>& AList) const {
  CheckLibAV(kEncoderLibraries);
  const auto descriptors = sortedDescriptors();
  const CodecsById decoders = codecsById(false);
  const CodecsById encoders = codecsById(true);
  Lines lines;
  if (!descriptors.empty())
    addAll(lines, {"Codecs:", " D..... = Decoding supported", " .E.... = Encoding supported",
                   " ..V... = Video codec", " ..A... = Audio codec", " ..S... = Subtitle codec",
                   " ...I.. = Intra frame-only codec", " ....L. = Lossy compression",
                   " .....S = Lossless compression", " -------"});
  for (const AVCodecDescriptor* d : descriptors) {
    const auto& decs = codecsFor(decoders, d->id);
    const auto& encs = codecsFor(encoders, d->id);
    std::string line = " ";
    line += mark(!decs.empty(), 'D');
    line += mark(!encs.empty(), 'E');
    line += mediaLetter(d->type);
    line += mark(d->props & AV_CODEC_PROP_INTRA_ONLY, 'I');
    line += mark(d->props & AV_CODEC_PROP_LOSSY, 'L');
    line += mark(d->props & AV_CODEC_PROP_LOSSLESS, 'S');
    line += " " + padRight(d->name, 20) + longNameSuffix(d->long_name);
    line += implementationsSuffix("decoders", decs, d->name);
    line += implementationsSuffix("encoders", encs, d->name);
    lines.push_back(std::move(line));
  }
  return appendTo(AList, std::move(lines), static_cast<int>(descriptors.size()));
}

int TFFLoader::GetDecoders(std::vector<std::string>& AList) const {
  CheckLibAV(kEncoderLibraries);
  return listCodecImplementations(AList, false);
}

int TFFLoader::GetEncoders(std::vector<std::string>& AList) const {
  CheckLibAV(kEncoderLibraries);
  return listCodecImplementations(AList, true);
}

int TFFLoader::GetFormats(std::vector<std::string>& AList) const {
  CheckLibAV(kEncoderLibraries);
  return listFormats(AList, FormatKinds::All);
}

int TFFLoader::GetDemuxers(std::vector<std::string>& AList) const {
  CheckLibAV(kEncoderLibraries);
  return listFormats(AList, FormatKinds::Demuxers);
}

int TFFLoader::GetMuxers(std::vector<std::string>& AList) const {
  CheckLibAV(kEncoderLibraries);
  return listFormats(AList, FormatKinds::Muxers);
}

int TFFLoader::GetDevices(std::vector<std::string>& AList) const {
  CheckLibAV(kEncoderLibraries);
  return listFormats(AList, FormatKinds::Devices);
}

int TFFLoader::GetFilters(std::vector<std::string>& AList) const {
  CheckLibAV(kEncoderLibraries);
  Lines lines;
  addAll(lines,
         {"Filters:", "  T.. = Timeline support", "  .S. = Slice threading",
          "  ..C = Command support", "  A = Audio input/output", "  V = Video input/output",
          "  N = Dynamic number and/or type of input/output", "  | = Source or sink filter"});
  int count = 0;
  void* opaque = nullptr;
  while (const AVFilter* f = ff::av_filter_iterate(&opaque)) {
    std::string line = " ";
    line += (f->flags & AVFILTER_FLAG_SUPPORT_TIMELINE) ? 'T' : '.';
    line += mark(f->flags & AVFILTER_FLAG_SLICE_THREADS, 'S');
    line += mark(f->process_command != nullptr, 'C');
    line += " " + padRight(f->name, 18);
    line += padRight(padLetters(f, false) + "->" + padLetters(f, true), 10);
    line += std::string(" ") + (f->description ? f->description : "");
    lines.push_back(std::move(line));
    ++count;
  }
  return appendTo(AList, std::move(lines), count);
}

int TFFLoader::GetProtocols(std::vector<std::string>& AList) const {
  CheckLibAV(kEncoderLibraries);
  Lines lines{"Supported file protocols:"};
  int count = 0;
  for (const int output : {0, 1}) {
    lines.emplace_back(output ? "Output:" : "Input:");
    void* opaque = nullptr;
    while (const char* name = ff::avio_enum_protocols(&opaque, output)) {
      lines.push_back(std::string("  ") + name);
      ++count;
    }
  }
  return appendTo(AList, std::move(lines), count);
}

int TFFLoader::GetLayouts(std::vector<std::string>& AList) const {
  CheckLibAV(kEncoderLibraries);
  Lines lines{"Individual channels:", "NAME           DESCRIPTION"};
  for (int ch = 0; ch <= 62; ++ch) {
    const std::string name = channelText(ff::av_channel_name, ch);
    // The library names channels it does not know "USR<n>".
    if (name.empty() || name.starts_with("USR")) continue;
    lines.push_back(padRight(name, 14) + " " + channelText(ff::av_channel_description, ch));
  }
  lines.emplace_back();
  lines.emplace_back("Standard channel layouts:");
  lines.emplace_back("NAME           DECOMPOSITION");
  int count = 0;
  void* opaque = nullptr;
  while (const AVChannelLayout* layout = ff::av_channel_layout_standard(&opaque)) {
    std::array<char, 128> buf{};
    if (ff::av_channel_layout_describe(layout, buf.data(), buf.size()) < 0 || !buf[0]) continue;
    std::vector<int> channels;
    if (layout->order == AV_CHANNEL_ORDER_NATIVE) {
      for (int bit = 0; bit < 64; ++bit)
        if (layout->u.mask & (std::uint64_t{1} << bit)) channels.push_back(bit);
    } else {
      for (int i = 0; i < layout->nb_channels; ++i)
        channels.push_back(ff::av_channel_layout_channel_from_index(layout, i));
    }
    std::string decomposition;
    for (const int ch : channels) {
      if (!decomposition.empty()) decomposition += '+';
      decomposition += channelText(ff::av_channel_name, ch);
    }
    lines.push_back(padRight(buf.data(), 15) + decomposition);
    ++count;
  }
  return appendTo(AList, std::move(lines), count);
}

int TFFLoader::GetPixFmts(std::vector<std::string>& AList) const {
  CheckLibAV(kEncoderLibraries);
  Lines lines;
  addAll(lines,
         {"Pixel formats:", "I.... = Supported Input  format for conversion",
          ".O... = Supported Output format for conversion", "..H.. = Hardware accelerated format",
          "...P. = Paletted format", "....B = Bitstream format",
          "FLAGS NAME            NB_COMPONENTS BITS_PER_PIXEL", "-----"});
  int count = 0;
  for (const AVPixFmtDescriptor* d = nullptr; (d = ff::av_pix_fmt_desc_next(d));) {
    const AVPixelFormat fmt = ff::av_pix_fmt_desc_get_id(d);
    std::string line;
    line += mark(ff::sws_isSupportedInput(fmt) > 0, 'I');
    line += mark(ff::sws_isSupportedOutput(fmt) > 0, 'O');
    line += mark(d->flags & AV_PIX_FMT_FLAG_HWACCEL, 'H');
    line += mark(d->flags & AV_PIX_FMT_FLAG_PAL, 'P');
    line += mark(d->flags & AV_PIX_FMT_FLAG_BITSTREAM, 'B');
    line += " " + padRight(d->name, 16) + "       " + std::to_string(d->nb_components) +
            "           " + padLeft(std::to_string(ff::av_get_bits_per_pixel(d)), 3);
    lines.push_back(std::move(line));
    ++count;
  }
  return appendTo(AList, std::move(lines), count);
}

int TFFLoader::GetSampleFmts(std::vector<std::string>& AList) const {
  CheckLibAV(kEncoderLibraries);
  std::array<char, 128> buf{};
  auto text = [&](int fmt) {
    buf[0] = '\0';
    ff::av_get_sample_fmt_string(buf.data(), static_cast<int>(buf.size()),
                                 static_cast<AVSampleFormat>(fmt));
    return std::string(buf.data());
  };
  Lines lines{text(-1)};
  int count = 0;
  for (int fmt = 0; ff::av_get_sample_fmt_name(static_cast<AVSampleFormat>(fmt)); ++fmt) {
    lines.push_back(text(fmt));
    ++count;
  }
  return appendTo(AList, std::move(lines), count);
}

}  // namespace corvane
