// corvane-probe [--json] [--libdir DIR] FILE...: describes media files.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "decoder/CustomDecoder.h"
#include "foundation/Errors.h"
#include "foundation/FFLoader.h"

using corvane::TCustomDecoder;
using nlohmann::json;

namespace {

json metadataOf(const AVDictionary* d) {
  json m = json::object();
  const AVDictionaryEntry* e = nullptr;
  while ((e = ff::av_dict_get(d, "", e, AV_DICT_IGNORE_SUFFIX))) m[e->key] = e->value;
  return m;
}

const char* typeName(AVMediaType t) {
  switch (t) {
    case AVMEDIA_TYPE_VIDEO:
      return "video";
    case AVMEDIA_TYPE_AUDIO:
      return "audio";
    case AVMEDIA_TYPE_SUBTITLE:
      return "subtitle";
    case AVMEDIA_TYPE_ATTACHMENT:
      return "attachment";
    default:
      return "data";
  }
}

json nameOrNull(const char* s) { return s ? json(s) : json(nullptr); }

json describe(TCustomDecoder& dec, const std::string& file) {
  const AVFormatContext* ic = dec.FileHandle();
  json j;
  j["file"] = file;
  j["format_name"] = nameOrNull(ic->iformat->name);
  j["format_long_name"] = nameOrNull(ic->iformat->long_name);
  j["duration_us"] = ic->duration == AV_NOPTS_VALUE ? json(nullptr) : json(ic->duration);
  j["start_time_us"] = ic->start_time == AV_NOPTS_VALUE ? json(nullptr) : json(ic->start_time);
  j["bit_rate"] = ic->bit_rate;
  j["metadata"] = metadataOf(ic->metadata);
  json programs = json::array();
  for (unsigned i = 0; i < ic->nb_programs; ++i) {
    const AVProgram* p = ic->programs[i];
    json streams = json::array();
    for (unsigned k = 0; k < p->nb_stream_indexes; ++k) streams.push_back(p->stream_index[k]);
    programs.push_back({{"id", p->id},
                        {"program_num", p->program_num},
                        {"streams", streams},
                        {"metadata", metadataOf(p->metadata)}});
  }
  j["programs"] = programs;
  json streams = json::array();
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVStream* st = ic->streams[i];
    const AVCodecParameters* par = st->codecpar;
    const AVCodecDescriptor* d = ff::avcodec_descriptor_get(par->codec_id);
    const AVDictionaryEntry* lang = ff::av_dict_get(st->metadata, "language", nullptr, 0);
    json s = {{"index", i},
              {"type", typeName(par->codec_type)},
              {"codec", d ? json(d->name) : json(nullptr)},
              {"codec_long_name", d ? nameOrNull(d->long_name) : json(nullptr)},
              {"bit_rate", par->bit_rate},
              {"language", lang ? json(lang->value) : json(nullptr)},
              {"metadata", metadataOf(st->metadata)}};
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
      const corvane::TVideoStreamInfo v = dec.GetVideoStreamInfos(static_cast<int>(i));
      s["width"] = par->width;
      s["height"] = par->height;
      s["frame_rate"] = v.FrameRate.den ? json(av_q2d(v.FrameRate)) : json(nullptr);
      s["pixel_format"] = nameOrNull(
          par->format < 0 ? nullptr
                          : ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(par->format)));
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
      s["sample_rate"] = par->sample_rate;
      s["channels"] = par->ch_layout.nb_channels;
      s["sample_format"] = nameOrNull(
          par->format < 0 ? nullptr
                          : ff::av_get_sample_fmt_name(static_cast<AVSampleFormat>(par->format)));
    }
    streams.push_back(s);
  }
  j["streams"] = streams;
  return j;
}

int usage() {
  std::fprintf(stderr, "usage: corvane-probe [--json] [--libdir DIR] FILE...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool asJson = false;
  std::string libdir;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--json") {
      asJson = true;
    } else if (a == "--libdir" && i + 1 < argc) {
      libdir = argv[++i];
    } else if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else if (a.rfind("--", 0) == 0) {
      return usage();
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) return usage();

  TCustomDecoder dec;
  if (!dec.LoadAVLib(libdir)) {
    std::fprintf(stderr, "%s\n", dec.LastErrMsg().c_str());
    return 1;
  }
  int status = 0;
  json docs = json::array();
  for (const std::string& f : files) {
    if (!dec.LoadFile(f)) {
      std::fprintf(stderr, "%s\n", dec.LastErrMsg().c_str());
      status = 1;
      continue;
    }
    if (asJson)
      docs.push_back(describe(dec, f));
    else
      std::cout << dec.FileInfoText() << std::flush;
    dec.CloseFile();
  }
  // Text from files is arbitrary bytes: invalid UTF-8 becomes U+FFFD.
  if (asJson)
    std::cout << (files.size() == 1 && docs.size() == 1 ? docs[0] : docs)
                     .dump(2, ' ', false, json::error_handler_t::replace)
              << "\n";
  return status;
}
