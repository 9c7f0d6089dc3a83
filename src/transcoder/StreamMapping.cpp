// The "Stream mapping:" lines logged when setup ends.
#include "foundation/MediaText.h"
#include "transcoder/Transcoder.h"

namespace corvane {

namespace {

std::string GraphSuffix(const TCustomFFmpeg& e, const TFilterGraph& fg) {
  return e.Fnb_filtergraphs() > 1 ? strprintf(" (graph %d)", fg.index) : std::string();
}

std::string TypeName(const TOutputStream& ost) {
  return media_type_name(ost.enc_ctx ? ost.enc_ctx->codec_type : ost.st->codecpar->codec_type);
}

// "name (codec name)", with "native" for a codec implemented under its own name.
std::string CodecPair(const AVCodec* codec) {
  if (!codec) return "? (?)";
  const AVCodecDescriptor* desc = ff::avcodec_descriptor_get(codec->id);
  const std::string codec_name = desc ? desc->name : "?";
  return strprintf("%s (%s)", codec->name,
                   codec_name == codec->name ? "native" : codec_name.c_str());
}

void LogComplexInputs(TCustomFFmpeg& e) {
  for (auto& ist : e.Finput_streams)
    for (const TInputFilter* ifilter : ist->filters) {
      if (ifilter->graph->simple()) continue;
      e.Log(llInfo, "  Stream #%d:%d (%s) -> %s%s", ist->file_index, ist->st->index,
            ist->avdec ? ist->avdec->name : "?", ifilter->name.c_str(),
            GraphSuffix(e, *ifilter->graph).c_str());
    }
}

void LogOutputStream(TCustomFFmpeg& e, const TOutputStream& ost) {
  if (!ost.attachment_filename.empty()) {
    e.Log(llInfo, "  File %s -> Stream #%d:%d", ost.attachment_filename.c_str(), ost.file_index,
          ost.index);
    return;
  }
  if (ost.filter && !ost.filter->graph->simple()) {
    e.Log(llInfo, "  %s%s -> Stream #%d:%d (%s) (%s)", ost.filter->name.c_str(),
          GraphSuffix(e, *ost.filter->graph).c_str(), ost.file_index, ost.index,
          ost.enc ? ost.enc->name : "?", TypeName(ost).c_str());
    return;
  }
  if (ost.source_index < 0) return;
  const TInputStream& ist = *e.Finput_streams[ost.source_index];
  std::string line = strprintf("  Stream #%d:%d -> #%d:%d", ist.file_index, ist.st->index,
                               ost.file_index, ost.index);
  if (ost.sync_ist && ost.sync_ist != &ist)
    line += strprintf(" [sync #%d:%d]", ost.sync_ist->file_index, ost.sync_ist->st->index);
  if (ost.stream_copy)
    line += " (copy)";
  else
    line += " (" + CodecPair(ist.avdec) + " -> " + CodecPair(ost.enc) + ")";
  e.Log(llInfo, (line + " (" + TypeName(ost) + ")").c_str());
}

}  // namespace

void TCustomFFmpeg::LogStreamMapping() {
  Log(llInfo, "Stream mapping:");
  LogComplexInputs(*this);
  for (auto& ost : Foutput_streams) LogOutputStream(*this, *ost);
}

}  // namespace corvane
