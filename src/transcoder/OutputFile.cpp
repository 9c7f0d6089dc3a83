// Opening one output file of a task: muxer, streams (automatic or mapped),
// attachments, filter graphs, the file itself, then metadata and chapters.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "foundation/ErrorText.h"
#include "foundation/FileNames.h"
#include "foundation/StreamOptions.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avformat.h"
#include "transcoder/OutputMetadata.h"
#include "transcoder/StreamSelection.h"
#include "transcoder/TranscoderOptions.h"

namespace corvane {
namespace {

bool regular_file_exists(const std::string& path, off_t* size = nullptr) {
  struct stat sb {};
  if (::stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) return false;
  if (size) *size = sb.st_size;
  return true;
}

// Builds one output; on failure undoes what it added to the engine.
class TOutputFileOpener {
 public:
  // nb_graphs: the graphs there were before this file's options added any.
  TOutputFileOpener(TCustomFFmpegOpt& e, TPerFileOptions& o, std::string filename, int nb_graphs)
      : e_(e),
        o_(o),
        filename_(std::move(filename)),
        nb_files_(e.Fnb_output_files()),
        nb_streams_(e.Fnb_output_streams()),
        nb_graphs_(nb_graphs) {
    for (const auto& ist : e.Finput_streams)
      inputs_.push_back({ist->discard, ist->decoding_needed, ist->st->discard});
  }

  int Run();
  void Rollback();

 private:
  int CreateMuxer();
  void ConnectUnlabeledGraphOutputs();
  void SelectStreamsAutomatically();
  int SelectMappedStreams();
  int MapOneStream(const TStreamMap& map);
  int AddAttachments();
  int AddAttachment(const std::string& path);
  int ApplyCopyFlags();
  int CheckUnusedEncoderOptions();
  void SetUpFilters();
  void SetUpOutputFilter(TOutputStream& ost);
  int CheckTarget();
  int OpenFile();
  void SetMuxingDelays();

  std::vector<TStreamCandidate> Candidates() const;
  AVFormatContext* oc() const { return e_.Foutput_files.back()->ctx.get(); }
  TOutputFile& of() const { return *e_.Foutput_files.back(); }
  int file_index() const { return nb_files_; }

  TCustomFFmpegOpt& e_;
  TPerFileOptions& o_;
  std::string filename_;
  const int nb_files_;
  const int nb_streams_;
  const int nb_graphs_;
  // What outputs change in the input streams, as it was before this one.
  struct TInputUse {
    int discard, decoding_needed;
    AVDiscard st_discard;
  };
  std::vector<TInputUse> inputs_;
  bool created_file_ = false;
};

int TOutputFileOpener::Run() {
  int ret = CreateMuxer();
  if (ret < 0) return ret;
  ConnectUnlabeledGraphOutputs();
  if (o_.stream_maps.empty())
    SelectStreamsAutomatically();
  else if ((ret = SelectMappedStreams()) < 0)
    return ret;
  if ((ret = AddAttachments()) < 0 || (ret = ApplyCopyFlags()) < 0) return ret;
  if (oc()->nb_streams == 0 && !(oc()->oformat->flags & AVFMT_NOSTREAMS)) {
    ff::av_dump_format(oc(), file_index(), oc()->url, 1);
    return e_.Fail(-1, llError,
                   strprintf("Output file #%d does not contain any stream", file_index()));
  }
  if ((ret = CheckUnusedEncoderOptions()) < 0) return ret;
  SetUpFilters();
  if ((ret = CheckTarget()) < 0 || (ret = OpenFile()) < 0) return ret;
  SetMuxingDelays();
  if ((ret = ApplyOutputMetadata(e_, o_, file_index())) < 0) return ret;
  return file_index();
}

int TOutputFileOpener::CreateMuxer() {
  AVFormatContext* raw = nullptr;
  const int ret = ff::avformat_alloc_output_context2(
      &raw, nullptr, o_.format.empty() ? nullptr : o_.format.c_str(), filename_.c_str());
  if (ret < 0 || !raw) return e_.Fail(-1, llError, error_text(filename_, ret < 0 ? ret : -1));
  auto file = std::make_unique<TOutputFile>();
  file->ctx.reset(raw);
  file->ost_index = e_.Fnb_output_streams();
  file->recording_time = o_.recording_time;
  file->start_time = o_.start_time;
  file->limit_filesize = o_.limit_filesize;
  file->shortest = o_.shortest;
  file->opts = o_.group->format_opts;
  e_.Foutput_files.push_back(std::move(file));

  if (o_.recording_time != INT64_MAX) {
    raw->duration = o_.recording_time;
    e_.FOutputDuration = std::max(e_.FOutputDuration, o_.recording_time);
  }
  raw->interrupt_callback = e_.FWriteCallback;
  int format_flags = 0;
  if (const char* fflags = o_.group->format_opts.find("fflags")) {
    const AVOption* opt = ff::av_opt_find(raw, "fflags", nullptr, 0, 0);
    if (opt) ff::av_opt_eval_flags(raw, opt, fflags, &format_flags);
  }
  if (o_.bitexact) raw->flags |= AVFMT_FLAG_BITEXACT;
  return 0;
}

// Outputs of complex graphs without a label go to this file and take their
// kind away from automatic selection.
void TOutputFileOpener::ConnectUnlabeledGraphOutputs() {
  for (auto& fg : e_.Ffiltergraphs) {
    for (auto& ofilter : fg->outputs) {
      if (ofilter->ost || !ofilter->out_tmp || ofilter->out_tmp->name) continue;
      switch (ofilter->type_) {
        case AVMEDIA_TYPE_VIDEO:
          o_.video_disable = 1;
          break;
        case AVMEDIA_TYPE_AUDIO:
          o_.audio_disable = 1;
          break;
        case AVMEDIA_TYPE_SUBTITLE:
          o_.subtitle_disable = 1;
          break;
        default:
          break;
      }
      e_.InitOutputFilter(*ofilter, o_, oc());
    }
  }
}

std::vector<TStreamCandidate> TOutputFileOpener::Candidates() const {
  std::vector<TStreamCandidate> out;
  for (const auto& ist : e_.Finput_streams) {
    const AVStream* st = ist->st;
    const AVCodecParameters* par = st->codecpar;
    TStreamCandidate c;
    c.type = par->codec_type;
    c.disabled = ist->user_set_discard == AVDISCARD_ALL;
    c.width = par->width;
    c.height = par->height;
    c.channels = par->ch_layout.nb_channels;
    c.new_packets = st->event_flags & AVSTREAM_EVENT_FLAG_NEW_PACKETS;
    c.is_default = st->disposition & AV_DISPOSITION_DEFAULT;
    c.attached_pic = st->disposition & AV_DISPOSITION_ATTACHED_PIC;
    c.codec_id = par->codec_id;
    if (const AVCodecDescriptor* d = ff::avcodec_descriptor_get(par->codec_id)) {
      c.has_descriptor = true;
      c.codec_props = static_cast<unsigned>(d->props);
    }
    out.push_back(c);
  }
  return out;
}

void TOutputFileOpener::SelectStreamsAutomatically() {
  const AVOutputFormat* fmt = oc()->oformat;
  const std::vector<TStreamCandidate> all = Candidates();
  const auto guess = [&](AVMediaType type) {
    return ff::av_guess_codec(fmt, nullptr, filename_.c_str(), nullptr, type);
  };
  if (!o_.video_disable && guess(AVMEDIA_TYPE_VIDEO) != AV_CODEC_ID_NONE) {
    // A muxer that stores pictures as ID3 attached pictures answers with the tag.
    const bool apic = ff::avformat_query_codec(fmt, fmt->video_codec, FF_COMPLIANCE_NORMAL) ==
                      static_cast<int>(MKTAG('A', 'P', 'I', 'C'));
    const int i = BestVideoStream(all, apic);
    if (i >= 0) e_.NewVideoStream(o_, oc(), i);
  }
  if (!o_.audio_disable && guess(AVMEDIA_TYPE_AUDIO) != AV_CODEC_ID_NONE) {
    const int i = BestAudioStream(all);
    if (i >= 0) e_.NewAudioStream(o_, oc(), i);
  }
  if (!o_.subtitle_disable) {
    const AVCodec* enc = ff::avcodec_find_encoder(fmt->subtitle_codec);
    bool named = false;
    for (const TSpecifierValue& v : o_.codec_names)
      if (v.specifier == "s") named = true;
    if (enc || named) {
      const AVCodecDescriptor* d = enc ? ff::avcodec_descriptor_get(enc->id) : nullptr;
      const int i =
          FirstSubtitleStream(all, named, d != nullptr, d ? static_cast<unsigned>(d->props) : 0);
      if (i >= 0) e_.NewSubtitleStream(o_, oc(), i);
    }
  }
  if (!o_.data_disable) {
    const AVCodecID id = guess(AVMEDIA_TYPE_DATA);
    if (id != AV_CODEC_ID_NONE) {
      const int i = FirstDataStream(all, id);
      if (i >= 0) e_.NewDataStream(o_, oc(), i);
    }
  }
}

int TOutputFileOpener::SelectMappedStreams() {
  for (const TStreamMap& map : o_.stream_maps) {
    if (map.disabled) continue;
    const int ret = MapOneStream(map);
    if (ret < 0) return ret;
  }
  return 0;
}

int TOutputFileOpener::MapOneStream(const TStreamMap& map) {
  if (!map.linklabel.empty()) {
    for (auto& fg : e_.Ffiltergraphs)
      for (auto& ofilter : fg->outputs)
        if (!ofilter->ost && ofilter->out_tmp && ofilter->out_tmp->name &&
            map.linklabel == ofilter->out_tmp->name) {
          e_.InitOutputFilter(*ofilter, o_, oc());
          return 0;
        }
    return e_.Fail(-1, llError,
                   strprintf("Output with label \"%s\" does not exist in any defined filter graph, "
                             "or was already used elsewhere.",
                             map.linklabel.c_str()));
  }
  const int src = e_.Finput_files[map.file_index]->ist_index + map.stream_index;
  TInputStream& ist = *e_.Finput_streams[src];
  if (ist.user_set_discard == AVDISCARD_ALL)
    return e_.Fail(-1, llError,
                   strprintf("Stream #%d:%d is disabled and cannot be mapped.", map.file_index,
                             map.stream_index));
  const AVMediaType type = ist.st->codecpar->codec_type;
  if ((o_.video_disable && type == AVMEDIA_TYPE_VIDEO) ||
      (o_.audio_disable && type == AVMEDIA_TYPE_AUDIO) ||
      (o_.subtitle_disable && type == AVMEDIA_TYPE_SUBTITLE) ||
      (o_.data_disable && type == AVMEDIA_TYPE_DATA))
    return 0;
  TOutputStream* ost = nullptr;
  switch (type) {
    case AVMEDIA_TYPE_VIDEO:
      ost = e_.NewVideoStream(o_, oc(), src);
      break;
    case AVMEDIA_TYPE_AUDIO:
      ost = e_.NewAudioStream(o_, oc(), src);
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      ost = e_.NewSubtitleStream(o_, oc(), src);
      break;
    case AVMEDIA_TYPE_DATA:
      ost = e_.NewDataStream(o_, oc(), src);
      break;
    case AVMEDIA_TYPE_ATTACHMENT:
      ost = e_.NewAttachmentStream(o_, oc(), src);
      break;
    default:
      if (type == AVMEDIA_TYPE_UNKNOWN && e_.Fcopy_unknown_streams) {
        ost = e_.NewUnknownStream(o_, oc(), src);
        break;
      }
      if (e_.Fignore_unknown_streams) {
        e_.Log(llWarning, "Cannot map stream #%d:%d - unsupported type.", map.file_index,
               map.stream_index);
        return 0;
      }
      return e_.Fail(
          -1, llFatal,
          strprintf("Cannot map stream #%d:%d - unsupported type.\r\nIf you want unsupported types "
                    "ignored instead of failing, please use the -ignore_unknown option\r\nIf you "
                    "want them copied, please use -copy_unknown",
                    map.file_index, map.stream_index));
  }
  ost->sync_ist =
      e_.Finput_streams[e_.Finput_files[map.sync_file_index]->ist_index + map.sync_stream_index]
          .get();
  return 0;
}

int TOutputFileOpener::AddAttachments() {
  for (const std::string& path : o_.attachments) {
    const int ret = AddAttachment(path);
    if (ret < 0) return ret;
  }
  return 0;
}

int TOutputFileOpener::AddAttachment(const std::string& path) {
  AVIOContext* pb = nullptr;
  e_.FLastRead = ff::av_gettime_relative();
  if (ff::avio_open2(&pb, path.c_str(), AVIO_FLAG_READ, &e_.FReadCallback, nullptr) < 0)
    return e_.Fail(-1, llError, strprintf("Could not open attachment file %s.", path.c_str()));
  struct Closer {
    AVIOContext*& pb;
    ~Closer() { ff::avio_closep(&pb); }
  } closer{pb};
  const std::int64_t size = ff::avio_size(pb);
  if (size <= 0)
    return e_.Fail(-1, llError,
                   strprintf("Could not get size of the attachment %s.", path.c_str()));
  constexpr std::int64_t kMax = INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE;
  AVMemPtr<std::uint8_t> data(
      size > kMax ? nullptr
                  : static_cast<std::uint8_t*>(ff::av_malloc(size + AV_INPUT_BUFFER_PADDING_SIZE)));
  if (!data) return e_.Fail(-1, llError, strprintf("Attachment %s too large.", path.c_str()));
  const int n = static_cast<int>(size);
  if (ff::avio_read(pb, data.get(), n) != n)
    return e_.Fail(-1, llError, strprintf("Could not read the attachment %s.", path.c_str()));
  std::memset(data.get() + n, 0, AV_INPUT_BUFFER_PADDING_SIZE);

  TOutputStream* ost = e_.NewAttachmentStream(o_, oc(), -1);
  ost->attachment_filename = path;
  ost->st->codecpar->extradata = data.release();
  ost->st->codecpar->extradata_size = n;
  std::size_t cut = path.find_last_of('/');
  if (cut == std::string::npos) cut = path.find_last_of('\\');
  const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
  ff::av_dict_set(&ost->st->metadata, "filename", name.c_str(), AV_DICT_DONT_OVERWRITE);
  return 0;
}

// A "flags" codec option applies to copied streams and attachments too.
int TOutputFileOpener::ApplyCopyFlags() {
  const AVDictionaryEntry* e =
      ff::av_dict_get(o_.group->codec_opts.get(), "flags", nullptr, AV_DICT_IGNORE_SUFFIX);
  if (!e) return 0;
  const std::string key = e->key;
  for (int i = nb_streams_; i < e_.Fnb_output_streams(); ++i) {
    TOutputStream& ost = *e_.Foutput_streams[i];
    if (!ost.stream_copy && ost.attachment_filename.empty()) continue;
    if (key.size() > 5 && check_stream_specifier(oc(), ost.st, key.c_str() + 6) == 0) continue;
    if (!ost.enc_ctx || ff::av_opt_set(ost.enc_ctx.get(), "flags", e->value, 0) < 0)
      return e_.Fail(-1, llError, "failed to set flags");
  }
  return 0;
}

int TOutputFileOpener::CheckUnusedEncoderOptions() {
  std::vector<const TDictionary*> taken;
  for (int i = nb_streams_; i < e_.Fnb_output_streams(); ++i)
    taken.push_back(&e_.Foutput_streams[i]->encoder_opts);
  return e_.CheckUnusedCodecOptions(o_.group->codec_opts, taken, true, file_index(), filename_, -1);
}

void TOutputFileOpener::SetUpFilters() {
  for (int i = nb_streams_; i < e_.Fnb_output_streams(); ++i) {
    TOutputStream& ost = *e_.Foutput_streams[i];
    const AVMediaType type = ost.st->codecpar->codec_type;
    if (ost.encoding_needed && ost.source_index >= 0) {
      TInputStream* ist = e_.Finput_streams[ost.source_index].get();
      ist->decoding_needed |= 1;
      if (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO)
        e_.InitSimpleFilterGraph(ist, &ost);
    }
    if (ost.filter) SetUpOutputFilter(ost);
  }
}

template <class T, class End>
std::vector<int> list_until(const T* list, End end) {
  std::vector<int> out;
  for (; list && *list != end; ++list) out.push_back(static_cast<int>(*list));
  return out;
}

// What the encoder accepts becomes what the graph's sink must deliver.
void TOutputFileOpener::SetUpOutputFilter(TOutputStream& ost) {
  TOutputFilter& f = *ost.filter;
  const AVCodecContext* enc = ost.enc_ctx.get();
  const AVCodec* codec = ost.enc;
  if (ost.st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
    f.frame_rate = ost.frame_rate;
    f.width = enc->width;
    f.height = enc->height;
    if (enc->pix_fmt != AV_PIX_FMT_NONE)
      f.format = enc->pix_fmt;
    else if (codec)
      f.formats = list_until(codec->pix_fmts, AV_PIX_FMT_NONE);
  } else if (ost.st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
    if (enc->sample_fmt != AV_SAMPLE_FMT_NONE)
      f.format = enc->sample_fmt;
    else if (codec)
      f.formats = list_until(codec->sample_fmts, AV_SAMPLE_FMT_NONE);
    if (enc->sample_rate)
      f.sample_rate = enc->sample_rate;
    else if (codec)
      f.sample_rates = list_until(codec->supported_samplerates, 0);
    if (enc->ch_layout.nb_channels) {
      f.ch_layout.reset();
      ff::av_channel_layout_default(&f.ch_layout.layout, enc->ch_layout.nb_channels);
    } else if (codec && codec->ch_layouts) {
      for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l)
        if (l->order == AV_CHANNEL_ORDER_NATIVE) f.ch_layouts.push_back(*l);
    }
  }
}

int TOutputFileOpener::CheckTarget() {
  const AVOutputFormat* fmt = oc()->oformat;
  if ((fmt->flags & AVFMT_NEEDNUMBER) && !ff::av_filename_number_test(oc()->url))
    return e_.Fail(-1, llError, error_text(filename_, AVERROR(EINVAL)));
  if (!(fmt->flags & AVFMT_NOSTREAMS) && !e_.Finput_stream_potentially_available)
    return e_.Fail(-1, llError, "No input streams but output needs an input stream");
  if (fmt->flags & AVFMT_NOFILE) return 0;
  if (e_.Ffile_overwrite && e_.Fno_file_overwrite) e_.Fatal("Error, both -y and -n supplied.");
  const char* proto = ff::avio_find_protocol_name(filename_.c_str());
  if (!proto || std::strcmp(proto, "file") != 0) return 0;
  const std::string path = filename_.rfind("file:", 0) == 0 ? filename_.substr(5) : filename_;
  if (e_.Fno_file_overwrite && ::access(path.c_str(), F_OK) == 0)
    return e_.Fail(-1, llError,
                   strprintf("File \"%s\" already exists. Ignored.", filename_.c_str()));
  if (const int i = e_.SameAsInput(filename_); i >= 0)
    return e_.Fail(-1, llError,
                   strprintf("Output %s same as Input #%d - ignored.", filename_.c_str(), i));
  return 0;
}

int TOutputFileOpener::OpenFile() {
  if (oc()->oformat->flags & AVFMT_NOFILE) return 0;
  std::string io_error;
  const int attached = AttachStreamIO(filename_, oc(), true, of().stream_io, io_error);
  if (attached != 0) return attached < 0 ? e_.Fail(-1, llError, io_error) : 0;
  const std::string path = filename_.rfind("file:", 0) == 0 ? filename_.substr(5) : filename_;
  const char* proto = ff::avio_find_protocol_name(filename_.c_str());
  const bool local = proto && std::strcmp(proto, "file") == 0;
  created_file_ = local && ::access(path.c_str(), F_OK) != 0;
  e_.FLastWrite = ff::av_gettime_relative();
  const int ret = ff::avio_open2(&oc()->pb, filename_.c_str(), AVIO_FLAG_WRITE,
                                 &oc()->interrupt_callback, of().opts.address());
  if (ret < 0) return e_.Fail(-1, llError, error_text(filename_, ret));
  of().created = created_file_;
  return 0;
}

void TOutputFileOpener::SetMuxingDelays() {
  if (o_.mux_preload != 0)
    ff::av_dict_set_int(
        of().opts.address(), "preload",
        static_cast<std::int64_t>(static_cast<double>(o_.mux_preload) * AV_TIME_BASE), 0);
  oc()->max_delay = static_cast<int>(static_cast<double>(o_.mux_max_delay) * AV_TIME_BASE);
}

void TOutputFileOpener::Rollback() {
  // Graphs made for this file's streams go first: they point at the streams.
  for (auto& ist : e_.Finput_streams)
    std::erase_if(ist->filters, [&](TInputFilter* f) { return f->graph->index >= nb_graphs_; });
  if (e_.Fnb_filtergraphs() > nb_graphs_) e_.Ffiltergraphs.resize(nb_graphs_);
  for (int i = nb_streams_; i < e_.Fnb_output_streams(); ++i) {
    TOutputStream& ost = *e_.Foutput_streams[i];
    for (auto& fg : e_.Ffiltergraphs)
      for (auto& ofilter : fg->outputs)
        if (ofilter->ost == &ost) ofilter->ost = nullptr;  // waits for another output
    if (ost.logfile) {                                     // a pass-1 log this output created
      std::fclose(std::exchange(ost.logfile, nullptr));
      ::unlink(ost.logfile_name.c_str());
    }
  }
  if (e_.Fnb_output_streams() > nb_streams_) e_.Foutput_streams.resize(nb_streams_);
  for (std::size_t i = 0; i < inputs_.size(); ++i) {
    TInputStream& ist = *e_.Finput_streams[i];
    ist.discard = inputs_[i].discard;
    ist.decoding_needed = inputs_[i].decoding_needed;
    ist.st->discard = inputs_[i].st_discard;
  }
  if (e_.Fnb_output_files() > nb_files_) {
    AVFormatContext* ctx = oc();
    std::string path = ctx->url ? ctx->url : "";
    if (path.rfind("file:", 0) == 0) path = path.substr(5);
    e_.Foutput_files.resize(nb_files_);  // closes the file
    off_t size = 0;
    if (created_file_ && regular_file_exists(path, &size) && size == 0) ::unlink(path.c_str());
  }
}

}  // namespace

// Parses the complex graphs that no output has seen yet.
int TCustomFFmpegOpt::InitComplexGraphs() {
  for (auto& fg : Ffiltergraphs) {
    if (fg->simple() || !fg->inputs.empty() || !fg->outputs.empty()) continue;
    const int ret = InitComplexFilterGraph(*fg);
    if (ret < 0) return Fail(ret, llError, error_text("Error initializing complex filters", ret));
  }
  return 0;
}

int TCustomFFmpegOpt::OpenOutputFile(TPerFileOptions& o, const std::string& options,
                                     const std::string& presets, const std::string& file_name) {
  const std::string filename = to_library_file_name(file_name);
  TOutputFileOpener opener(*this, o, filename, Fnb_filtergraphs());
  int ret = 0;
  try {
    ret = ParseOptions(o, options, presets, "output file", filename, ofOutput);
    if (ret >= 0) ret = InitComplexGraphs();
    if (ret >= 0) ret = ResolveTimeLimits(o, -1);
    if (ret >= 0) ret = opener.Run();
  } catch (...) {
    opener.Rollback();
    throw;
  }
  if (ret < 0) opener.Rollback();
  return ret;
}

}  // namespace corvane
