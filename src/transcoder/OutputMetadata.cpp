#include "transcoder/OutputMetadata.h"

#include <cstdlib>
#include <cstring>

#include "foundation/ErrorText.h"
#include "foundation/StreamOptions.h"
#include "foundation/api/avformat.h"
#include "transcoder/TranscoderOptions.h"

namespace corvane {
namespace {

// Numbers in options: decimal, 0x hexadecimal or leading-0 octal.
long c_integer(const char* text) { return std::strtol(text, nullptr, 0); }

// A library-allocated token.
using Token = AVMemPtr<char>;

class TMetadataWriter {
 public:
  TMetadataWriter(TCustomFFmpegOpt& e, TPerFileOptions& o, int file_index)
      : e_(e), o_(o), of_(*e.Foutput_files[file_index]), oc_(of_.ctx.get()) {}

  int Run();

 private:
  int MapMetadata(const TSpecifierValue& map);
  int CopyMetadata(const std::string& outspec, const std::string& inspec, AVFormatContext* ic);
  AVDictionary** Dictionary(const TMetaSpecifier& m, AVFormatContext* s);
  int MatchFirst(AVFormatContext* s, const std::string& spec, AVStream*& found);
  int CopyChapters();
  int CopyChaptersFrom(const TInputFile& in, bool with_metadata);
  void CopyInputMetadata();
  int AddPrograms();
  int AddProgram(const std::string& text, int default_id);
  int SetMetadata(const TSpecifierValue& entry);
  int SetStreamMetadata(const std::string& spec, const std::string& key, const std::string& val);
  int Error(const std::string& text) { return e_.Fail(-1, llError, text); }

  TCustomFFmpegOpt& e_;
  TPerFileOptions& o_;
  TOutputFile& of_;
  AVFormatContext* oc_;
};

int TMetadataWriter::Run() {
  int ret = 0;
  for (const TSpecifierValue& map : o_.metadata_map)
    if ((ret = MapMetadata(map)) < 0) return ret;
  if ((ret = CopyChapters()) < 0) return ret;
  CopyInputMetadata();
  if ((ret = AddPrograms()) < 0) return ret;
  for (const TSpecifierValue& entry : o_.metadata)
    if ((ret = SetMetadata(entry)) < 0) return ret;
  return 0;
}

int TMetadataWriter::MapMetadata(const TSpecifierValue& map) {
  const std::string& value = map.str;
  const int in_file = static_cast<int>(c_integer(value.c_str()));
  if (in_file >= e_.Fnb_input_files())
    return Error(strprintf("Invalid input file index %d while processing metadata maps", in_file));
  const std::size_t comma = value.find(',');
  const std::string inspec = comma == std::string::npos ? "" : value.substr(comma + 1);
  AVFormatContext* ic = in_file >= 0 ? e_.Finput_files[in_file]->ctx.get() : nullptr;
  return CopyMetadata(map.specifier, inspec, ic);
}

AVDictionary** TMetadataWriter::Dictionary(const TMetaSpecifier& m, AVFormatContext* s) {
  switch (m.type) {
    case 'g':
      return &s->metadata;
    case 'c':
      if (m.index < 0 || m.index >= static_cast<int>(s->nb_chapters)) break;
      return &s->chapters[m.index]->metadata;
    case 'p':
      if (m.index < 0 || m.index >= static_cast<int>(s->nb_programs)) break;
      return &s->programs[m.index]->metadata;
    default:
      return nullptr;
  }
  Error(strprintf("Invalid %s index %d while processing metadata maps.",
                  m.type == 'c' ? "chapter" : "program", m.index));
  return nullptr;
}

// 1 and the first stream of s that the specifier matches, 0 for none, or a
// negative code.
int TMetadataWriter::MatchFirst(AVFormatContext* s, const std::string& spec, AVStream*& found) {
  for (unsigned i = 0; i < s->nb_streams; ++i) {
    const int ret = check_stream_specifier(s, s->streams[i], spec.c_str());
    if (ret < 0) return Error(error_text("check_stream_specifier", ret));
    if (ret > 0) {
      found = s->streams[i];
      return 1;
    }
  }
  return 0;
}

int TMetadataWriter::CopyMetadata(const std::string& outspec, const std::string& inspec,
                                  AVFormatContext* ic) {
  TMetaSpecifier in, out;
  std::string why;
  if (!ParseMetaSpecifier(inspec, in, why) || !ParseMetaSpecifier(outspec, out, why))
    return Error(why);
  if (!ic) {
    if (out.type == 'g' || outspec.empty()) o_.metadata_global_manual = 1;
    if (out.type == 's' || outspec.empty()) o_.metadata_streams_manual = 1;
    if (out.type == 'c' || outspec.empty()) o_.metadata_chapters_manual = 1;
    return 0;
  }
  for (char t : {in.type, out.type}) {
    if (t == 'g') o_.metadata_global_manual = 1;
    if (t == 's') o_.metadata_streams_manual = 1;
    if (t == 'c') o_.metadata_chapters_manual = 1;
  }
  AVDictionary** src = nullptr;
  if (in.type == 's') {
    AVStream* st = nullptr;
    const int ret = MatchFirst(ic, in.stream_spec, st);
    if (ret < 0) return ret;
    if (!st)
      return Error(
          strprintf("Stream specifier %s does not match  any streams.", in.stream_spec.c_str()));
    src = &st->metadata;
  } else if (!(src = Dictionary(in, ic))) {
    return -1;
  }
  if (out.type != 's') {
    AVDictionary** dst = Dictionary(out, oc_);
    if (!dst) return -1;
    ff::av_dict_copy(dst, *src, AV_DICT_DONT_OVERWRITE);
    return 0;
  }
  for (unsigned i = 0; i < oc_->nb_streams; ++i) {
    const int ret = check_stream_specifier(oc_, oc_->streams[i], out.stream_spec.c_str());
    if (ret < 0) return Error(error_text("check_stream_specifier", ret));
    if (ret > 0) ff::av_dict_copy(&oc_->streams[i]->metadata, *src, AV_DICT_DONT_OVERWRITE);
  }
  return 0;
}

int TMetadataWriter::CopyChapters() {
  int index = o_.chapters_input_file;
  if (index == INT_MAX) {
    index = -1;
    for (int i = 0; i < e_.Fnb_input_files(); ++i)
      if (e_.Finput_files[i]->ctx->nb_chapters) {
        index = i;
        break;
      }
  } else if (index >= e_.Fnb_input_files()) {
    return Error(strprintf("Invalid input file index %d in chapter mapping.", index));
  }
  if (index < 0) return 0;
  return CopyChaptersFrom(*e_.Finput_files[index], !o_.metadata_chapters_manual);
}

int TMetadataWriter::CopyChaptersFrom(const TInputFile& in, bool with_metadata) {
  const AVFormatContext* is = in.ctx.get();
  if (!is->nb_chapters) return 0;
  const std::size_t total = oc_->nb_chapters + is->nb_chapters;
  void* grown = ff::av_realloc(oc_->chapters, total * sizeof(AVChapter*));
  if (!grown) return Error(error_text(AVERROR(ENOMEM)));
  oc_->chapters = static_cast<AVChapter**>(grown);
  for (unsigned i = 0; i < is->nb_chapters; ++i) {
    const AVChapter* ch = is->chapters[i];
    const std::int64_t start = of_.start_time == AV_NOPTS_VALUE ? 0 : of_.start_time;
    const std::int64_t offset =
        ff::av_rescale_q(start - in.ts_offset, AV_TIME_BASE_Q, ch->time_base);
    const std::int64_t limit =
        of_.recording_time == INT64_MAX
            ? INT64_MAX
            : ff::av_rescale_q(of_.recording_time, AV_TIME_BASE_Q, ch->time_base);
    if (ch->end < offset) continue;
    if (limit != INT64_MAX && ch->start > limit + offset) break;
    auto* out = static_cast<AVChapter*>(ff::av_mallocz(sizeof(AVChapter)));
    if (!out) return Error(error_text(AVERROR(ENOMEM)));
    out->id = ch->id;
    out->time_base = ch->time_base;
    out->start = std::max<std::int64_t>(0, ch->start - offset);
    out->end = std::min(limit, ch->end - offset);
    if (with_metadata) ff::av_dict_copy(&out->metadata, ch->metadata, 0);
    oc_->chapters[oc_->nb_chapters++] = out;
  }
  return 0;
}

void TMetadataWriter::CopyInputMetadata() {
  if (!o_.metadata_global_manual && e_.Fnb_input_files() > 0) {
    ff::av_dict_copy(&oc_->metadata, e_.Finput_files[0]->ctx->metadata, AV_DICT_DONT_OVERWRITE);
    if (of_.recording_time != INT64_MAX) ff::av_dict_set(&oc_->metadata, "duration", nullptr, 0);
    for (const char* key : {"creation_time", "company_name", "product_name", "product_version"})
      ff::av_dict_set(&oc_->metadata, key, nullptr, 0);
  }
  if (o_.metadata_streams_manual) return;
  for (int i = of_.ost_index; i < e_.Fnb_output_streams(); ++i) {
    TOutputStream& ost = *e_.Foutput_streams[i];
    if (ost.source_index < 0) continue;
    const AVStream* ist = e_.Finput_streams[ost.source_index]->st;
    ff::av_dict_copy(&ost.st->metadata, ist->metadata, AV_DICT_DONT_OVERWRITE);
    if (!ost.stream_copy) ff::av_dict_set(&ost.st->metadata, "encoder", nullptr, 0);
  }
}

int TMetadataWriter::AddPrograms() {
  for (std::size_t i = 0; i < o_.program.size(); ++i) {
    const int ret = AddProgram(o_.program[i].str, static_cast<int>(i) + 1);
    if (ret < 0) return ret;
  }
  return 0;
}

// key=value pairs separated by ':', with the library tokenizer's quoting.
int TMetadataWriter::AddProgram(const std::string& text, int default_id) {
  struct Pair {
    std::string key, value;
    bool has_key = false, has_value = false;
  };
  std::vector<Pair> pairs;
  for (const char* p = text.c_str(); *p;) {
    Token item(ff::av_get_token(&p, ":"));
    if (!item) break;
    if (*p) ++p;
    const char* rest = item.get();
    Token key(ff::av_get_token(&rest, "="));
    Pair pair;
    pair.has_key = key != nullptr;
    if (key) pair.key = key.get();
    pair.has_value = *rest == '=';
    if (pair.has_value) pair.value = rest + 1;
    if (!pair.has_key) pair.value = item.get();
    pairs.push_back(pair);
  }
  int id = default_id;
  for (const Pair& pair : pairs) {
    if (!pair.has_key || !pair.has_value) break;
    if (pair.key == "program_num") id = static_cast<int>(c_integer(pair.value.c_str()));
  }
  AVProgram* program = ff::av_new_program(oc_, id);
  if (!program) return Error(error_text(AVERROR(ENOMEM)));
  for (const Pair& pair : pairs) {
    if (!pair.has_key)
      return Error(strprintf("No \"=\" character in program string %s.", pair.value.c_str()));
    if (!pair.has_value) return Error("program string is empty.");
    if (pair.key == "title")
      ff::av_dict_set(&program->metadata, "title", pair.value.c_str(), 0);
    else if (pair.key == "st")
      ff::av_program_add_stream_index(oc_, id,
                                      static_cast<unsigned>(c_integer(pair.value.c_str())));
    else if (pair.key != "program_num")
      return Error(strprintf("Unknown program key %s.", pair.key.c_str()));
  }
  return 0;
}

int TMetadataWriter::SetMetadata(const TSpecifierValue& entry) {
  const std::size_t eq = entry.str.find('=');
  if (eq == std::string::npos)
    return Error(strprintf("No \"=\" character in metadata string %s.", entry.str.c_str()));
  const std::string key = entry.str.substr(0, eq);
  const std::string val = entry.str.substr(eq + 1);
  TMetaSpecifier m;
  std::string why;
  if (!ParseMetaSpecifier(entry.specifier, m, why)) return Error(why);
  if (m.type == 's') return SetStreamMetadata(m.stream_spec, key, val);
  AVDictionary** dict = nullptr;
  if (m.type == 'g') {
    dict = &oc_->metadata;
  } else if (m.type == 'c') {
    if (m.index < 0 || m.index >= static_cast<int>(oc_->nb_chapters))
      return Error(strprintf("Invalid chapter index %d in metadata specifier.", m.index));
    dict = &oc_->chapters[m.index]->metadata;
  } else {
    if (m.index < 0 || m.index >= static_cast<int>(oc_->nb_programs))
      return Error(strprintf("Invalid program index %d in metadata specifier.", m.index));
    dict = &oc_->programs[m.index]->metadata;
  }
  ff::av_dict_set(dict, key.c_str(), val.empty() ? nullptr : val.c_str(), 0);
  return 0;
}

int TMetadataWriter::SetStreamMetadata(const std::string& spec, const std::string& key,
                                       const std::string& val) {
  for (unsigned i = 0; i < oc_->nb_streams; ++i) {
    AVStream* st = oc_->streams[i];
    const int ret = check_stream_specifier(oc_, st, spec.c_str());
    if (ret < 0) return Error(error_text("check_stream_specifier", ret));
    if (ret == 0) continue;
    if (key != "rotate") {
      ff::av_dict_set(&st->metadata, key.c_str(), val.empty() ? nullptr : val.c_str(), 0);
      continue;
    }
    char* tail = nullptr;
    const double theta = ff::av_strtod(val.c_str(), &tail);
    if (val.empty() || *tail) {
      e_.Log(llWarning, "Ignoring rotate metadata \"%s\": not a number.", val.c_str());
      continue;
    }
    TOutputStream& ost = *e_.Foutput_streams[of_.ost_index + static_cast<int>(i)];
    ost.rotate_overridden = 1;
    ost.rotate_override_value = theta;
  }
  return 0;
}

}  // namespace

bool ParseMetaSpecifier(const std::string& text, TMetaSpecifier& out, std::string& error) {
  out = TMetaSpecifier{};
  if (text.empty()) return true;
  out.type = text[0];
  switch (text[0]) {
    case 'g':
      return true;
    case 's':
      if (text.size() > 1 && text[1] != ':') {
        error = strprintf("Invalid metadata specifier %s.", text.c_str());
        return false;
      }
      out.stream_spec = text.size() > 1 ? text.substr(2) : "";
      return true;
    case 'c':
    case 'p':
      if (text.size() > 1 && text[1] == ':')
        out.index = static_cast<int>(c_integer(text.c_str() + 2));
      return true;
    default:
      error = strprintf("Invalid metadata type %s.", text.c_str());
      return false;
  }
}

int ApplyOutputMetadata(TCustomFFmpegOpt& e, TPerFileOptions& o, int file_index) {
  return TMetadataWriter(e, o, file_index).Run();
}

}  // namespace corvane
