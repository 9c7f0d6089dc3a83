// The multi-line description of an opened file.
#include <cmath>
#include <cstring>
#include <vector>

#include "decoder/CustomDecoder.h"
#include "foundation/FileNames.h"
#include "foundation/MediaText.h"
#include "foundation/StrFormat.h"

namespace corvane {
namespace {

using Lines = std::vector<std::string>;

std::string sizeText(std::int64_t size) {
  const auto d = static_cast<double>(size);
  if (size > 1073741824) return strprintf("%.2f GB", d / 1073741824);
  if (size > 1048576) return strprintf("%.2f MB", d / 1048576);
  if (size <= 1024) return strprintf("%" PRId64 " Byte", size);
  return strprintf("%.2f KB", d / 1024);
}

std::string rateText(double v, const char* unit) {
  const auto r = std::llround(v * 100);
  if (r == 0) return strprintf("%1.4f %s", v, unit);
  if (r % 100) return strprintf("%3.2f %s", v, unit);
  if (r % 100000) return strprintf("%1.0f %s", v, unit);
  return strprintf("%1.0fk %s", v / 1000, unit);
}

std::string startText(std::int64_t t, AVRational tb) {
  if (t == AV_NOPTS_VALUE) return "";
  if (!(tb.num == 1 && tb.den == AV_TIME_BASE))
    t = ff::av_rescale_q(t, tb, AVRational{1, AV_TIME_BASE});
  const std::uint64_t a = t < 0 ? 0 - static_cast<std::uint64_t>(t) : static_cast<std::uint64_t>(t);
  return strprintf("%s%" PRIu64 ".%.6" PRIu64, t < 0 ? "-" : "", a / AV_TIME_BASE,
                   a % AV_TIME_BASE);
}

void metadataBlock(Lines& out, const AVDictionary* m, const std::string& indent) {
  if (!m) return;
  const int n = ff::av_dict_count(m);
  if (n == 0 || (n == 1 && ff::av_dict_get(m, "language", nullptr, 0))) return;
  out.push_back(indent + "Metadata:");
  const AVDictionaryEntry* e = nullptr;
  while ((e = ff::av_dict_get(m, "", e, AV_DICT_IGNORE_SUFFIX))) {
    if (std::strcmp(e->key, "language") == 0) continue;
    std::string line = strprintf("%s  %-16s: ", indent.c_str(), e->key);
    for (const char* p = e->value; *p; ++p) {
      const char c = *p;
      if (c == '\b' || c == '\n' || c == '\v' || c == '\f' || c == '\r') {
        if (c == '\r') line += ' ';
        if (c == '\n') {
          out.push_back(line);
          line = strprintf("%s  %-16s: ", indent.c_str(), "");
        }
        continue;
      }
      line += c;
    }
    out.push_back(line);
  }
}

std::string reducedDar(int w, int h, AVRational sar) {
  int num = 0, den = 0;
  ff::av_reduce(&num, &den, static_cast<std::int64_t>(w) * sar.num,
                static_cast<std::int64_t>(h) * sar.den, 1024 * 1024);
  return strprintf("%d:%d", num, den);
}

void streamLine(Lines& out, AVFormatContext* ic, int i) {
  AVStream* st = ic->streams[i];
  CodecContextPtr avctx(ff::avcodec_alloc_context3(nullptr));
  if (!avctx || ff::avcodec_parameters_to_context(avctx.get(), st->codecpar) < 0) return;
  const char* sep = ic->dump_separator ? reinterpret_cast<const char*>(ic->dump_separator) : ", ";
  ff::av_opt_set(avctx.get(), "dump_separator", sep, 0);
  char desc[256] = {};
  ff::avcodec_string(desc, sizeof desc, avctx.get(), 0);

  std::string line = strprintf("  Stream #%d", i);
  if (ic->iformat && (ic->iformat->flags & AVFMT_SHOW_IDS)) line += strprintf("[0x%x]", st->id);
  const AVDictionaryEntry* lang = ff::av_dict_get(st->metadata, "language", nullptr, 0);
  if (lang) line += strprintf("(%s)", lang->value);
  line += strprintf(", %d/%d", st->time_base.num, st->time_base.den);
  line += std::string(": ") + desc;
  const AVCodecParameters* par = st->codecpar;
  if (st->sample_aspect_ratio.num &&
      av_cmp_q(st->sample_aspect_ratio, par->sample_aspect_ratio) != 0) {
    line +=
        strprintf(", SAR %d:%d DAR %s", st->sample_aspect_ratio.num, st->sample_aspect_ratio.den,
                  reducedDar(par->width, par->height, st->sample_aspect_ratio).c_str());
  }
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    const AVRational ctb = ff::av_stream_get_codec_timebase(st);
    if (st->avg_frame_rate.num && st->avg_frame_rate.den)
      line += sep + rateText(av_q2d(st->avg_frame_rate), "fps");
    if (st->r_frame_rate.num && st->r_frame_rate.den)
      line += sep + rateText(av_q2d(st->r_frame_rate), "tbr");
    if (st->time_base.num && st->time_base.den)
      line += sep + rateText(1 / av_q2d(st->time_base), "tbn");
    if (ctb.num && ctb.den) line += sep + rateText(1 / av_q2d(ctb), "tbc");
  }
  static constexpr std::pair<int, const char*> kDispositions[] = {
      {AV_DISPOSITION_DEFAULT, " (default)"},
      {AV_DISPOSITION_DUB, " (dub)"},
      {AV_DISPOSITION_ORIGINAL, " (original)"},
      {AV_DISPOSITION_COMMENT, " (comment)"},
      {AV_DISPOSITION_LYRICS, " (lyrics)"},
      {AV_DISPOSITION_KARAOKE, " (karaoke)"},
      {AV_DISPOSITION_FORCED, " (forced)"},
      {AV_DISPOSITION_HEARING_IMPAIRED, " (hearing impaired)"},
      {AV_DISPOSITION_VISUAL_IMPAIRED, " (visual impaired)"},
      {AV_DISPOSITION_CLEAN_EFFECTS, " (clean effects)"},
  };
  for (const auto& [bit, text] : kDispositions)
    if (st->disposition & bit) line += text;
  if (st->start_time != AV_NOPTS_VALUE)
    line += ", start: " + startText(st->start_time, st->time_base);
  if (st->duration != AV_NOPTS_VALUE)
    line += ", duration: " + scaled_duration_text(st->duration, st->time_base);
  out.push_back(line);
  metadataBlock(out, st->metadata, "  ");
}

}  // namespace

std::string TCustomDecoder::FileInfoText() {
  if (!CheckFileLoaded()) return "";
  AVFormatContext* ic = FileHandle();
  Lines out;
  out.push_back("File Name: " + FileName());
  if (ic->iformat) {
    out.push_back(strprintf("Format Name: %s", ic->iformat->name));
    if (ic->iformat->long_name)
      out.push_back(strprintf("Format Long Name: %s", ic->iformat->long_name));
  }
  out.push_back("File Size: " + sizeText(computeFileSize()));
  metadataBlock(out, ic->metadata, "");

  std::string d = "Duration: " + duration_text(ic->duration);
  if (ic->start_time != AV_NOPTS_VALUE)
    d += ", start: " + startText(ic->start_time, AVRational{1, AV_TIME_BASE});
  d += ", bitrate: ";
  d += ic->bit_rate <= 0 ? std::string("N/A") : strprintf("%" PRId64 " kb/s", ic->bit_rate / 1000);
  out.push_back(d);

  for (unsigned i = 0; i < ic->nb_chapters; ++i) {
    const AVChapter* ch = ic->chapters[i];
    out.push_back(strprintf("Chapter #%u: start %.6f, end %.6f", i,
                            static_cast<double>(ch->start) * av_q2d(ch->time_base),
                            static_cast<double>(ch->end) * av_q2d(ch->time_base)));
    metadataBlock(out, ch->metadata, "  ");
  }

  std::vector<bool> printed(ic->nb_streams, false);
  if (ic->nb_programs) {
    unsigned listed = 0;
    for (unsigned j = 0; j < ic->nb_programs; ++j) {
      const AVProgram* p = ic->programs[j];
      const AVDictionaryEntry* name = ff::av_dict_get(p->metadata, "name", nullptr, 0);
      out.push_back(strprintf("Program %d %s", p->id, name ? name->value : ""));
      metadataBlock(out, p->metadata, "  ");
      for (unsigned k = 0; k < p->nb_stream_indexes; ++k) {
        const unsigned s = p->stream_index[k];
        if (s >= ic->nb_streams) continue;
        streamLine(out, ic, static_cast<int>(s));
        printed[s] = true;
      }
      listed += p->nb_stream_indexes;
    }
    if (listed < ic->nb_streams) out.push_back("No Program");
  }
  for (unsigned i = 0; i < ic->nb_streams; ++i)
    if (!printed[i]) streamLine(out, ic, static_cast<int>(i));

  std::string text;
  for (const std::string& l : out) text += l + "\r\n";
  return text;
}

}  // namespace corvane
