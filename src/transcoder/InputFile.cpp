// Opening one input of a task: options, format, probing, the start position,
// the stream records, and the attachment dumps.
//
// Nothing is registered in the engine until every check passed; a failure or
// an exception after that point removes the file's records again, so the
// engine is left as it was.
#include <cstring>

#include "foundation/AppInputFormats.h"
#include "foundation/ErrorText.h"
#include "foundation/FileNames.h"
#include "foundation/StreamOptions.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"
#include "transcoder/InputOpening.h"

namespace corvane {

namespace {

// Back-off of the seek target for formats that cannot seek to a presentation
// time exactly, when B-frames delay the first picture.
constexpr std::int64_t kSeekBackOff = 3 * AV_TIME_BASE / 23;

bool class_has_option(const AVClass* cls, const char* name, int search) {
  return cls && ff::av_opt_find(&cls, name, nullptr, 0, search) != nullptr;
}

// Removes the records of a file being registered unless committed.
class TRegistration {
 public:
  explicit TRegistration(TCustomFFmpegOpt& e)
      : e_(e), files_(e.Finput_files.size()), streams_(e.Finput_streams.size()) {}
  ~TRegistration() {
    if (committed_) return;
    e_.Finput_streams.erase(e_.Finput_streams.begin() + static_cast<std::ptrdiff_t>(streams_),
                            e_.Finput_streams.end());
    e_.Finput_files.erase(e_.Finput_files.begin() + static_cast<std::ptrdiff_t>(files_),
                          e_.Finput_files.end());
  }
  TRegistration(const TRegistration&) = delete;
  TRegistration& operator=(const TRegistration&) = delete;
  void commit() { committed_ = true; }

 private:
  TCustomFFmpegOpt& e_;
  std::size_t files_;
  std::size_t streams_;
  bool committed_ = false;
};

class TInputOpener {
 public:
  TInputOpener(TCustomFFmpegOpt& e, TInputOpening& in) : e_(e), in_(in), o_(in.o) {}

  int Run();

 private:
  int ApplyTimeLimits();
  int FindFormat();
  void SetDemuxerOptions();
  void ForceDecoders();
  int OpenContext();
  void CheckUnknownFormatOptions();
  int FindStreamInfo();
  int ResolveStartPosition();
  void Seek();
  int CheckUnusedCodecOptions();
  void Register();
  void DumpAttachments();
  void DumpAttachment(AVStream* st, std::string file_name);

  TCustomFFmpegOpt& e_;
  TInputOpening& in_;
  TPerFileOptions& o_;
};

int TInputOpener::Run() {
  int ret = ApplyTimeLimits();
  if (ret < 0 || (ret = FindFormat()) < 0) return ret;
  in_.ic.reset(ff::avformat_alloc_context());
  if (!in_.ic) return e_.Fail(AVERROR(ENOMEM), llFatal, "avformat_alloc_context() failed");
  SetDemuxerOptions();
  ForceDecoders();
  if ((ret = OpenContext()) < 0) return ret;
  CheckUnknownFormatOptions();
  for (unsigned i = 0; i < in_.ic->nb_streams; ++i)
    e_.ChooseDecoder(o_, in_.ic.get(), in_.ic->streams[i]);
  if ((ret = FindStreamInfo()) < 0 || (ret = ResolveStartPosition()) < 0) return ret;
  Seek();
  AddInputStreams(e_, in_);
  ff::av_dump_format(in_.ic.get(), in_.file_index, in_.file_name.c_str(), 0);
  if ((ret = CheckUnusedCodecOptions()) < 0) return ret;

  TRegistration registration(e_);
  Register();
  DumpAttachments();
  registration.commit();
  if (e_.FInputDuration < in_.input_duration) e_.FInputDuration = in_.input_duration;
  if (o_.rate_emu) e_.Frate_emu = 1;
  e_.Finput_stream_potentially_available = 1;
  return in_.file_index;
}

int TInputOpener::ApplyTimeLimits() { return e_.ResolveTimeLimits(o_, AVERROR(EINVAL)); }

int TInputOpener::FindFormat() {
  if (o_.format.empty()) return 0;
  in_.iformat = find_app_input_format(o_.format.c_str());
  if (!in_.iformat) in_.iformat = ff::av_find_input_format(o_.format.c_str());
  if (!in_.iformat)
    return e_.Fail(AVERROR(EINVAL), llFatal,
                   strprintf("Unknown input format: \"%s\"", o_.format.c_str()));
  return 0;
}

// The last value of each list, whatever its specifier, as a demuxer option.
void TInputOpener::SetDemuxerOptions() {
  TDictionary& fmt = in_.group.format_opts;
  const AVClass* priv = in_.iformat ? in_.iformat->priv_class : nullptr;
  if (!o_.sample_fmts.empty()) fmt.set("sample_fmt", o_.sample_fmts.back().str);
  if (!o_.audio_sample_rate.empty())
    fmt.set("sample_rate", std::to_string(o_.audio_sample_rate.back().i));
  if (!o_.audio_channels.empty() && class_has_option(priv, "channels", AV_OPT_SEARCH_FAKE_OBJ))
    fmt.set("channels", std::to_string(o_.audio_channels.back().i));
  if (!o_.frame_rates.empty() && class_has_option(priv, "framerate", AV_OPT_SEARCH_FAKE_OBJ))
    fmt.set("framerate", o_.frame_rates.back().str);
  if (!o_.frame_sizes.empty()) fmt.set("video_size", o_.frame_sizes.back().str);
  if (!o_.frame_pix_fmts.empty()) fmt.set("pixel_format", o_.frame_pix_fmts.back().str);
}

// -c:v, -c:a, -c:s and -c:d name the decoders used while probing.
void TInputOpener::ForceDecoders() {
  std::string names[4];
  static const char* const kSpecs[4] = {"v", "a", "s", "d"};
  for (const TSpecifierValue& v : o_.codec_names)
    for (int k = 0; k < 4; ++k)
      if (v.specifier == kSpecs[k]) names[k] = v.str;
  static const AVMediaType kTypes[4] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO,
                                        AVMEDIA_TYPE_SUBTITLE, AVMEDIA_TYPE_DATA};
  const AVCodec* codecs[4] = {};
  for (int k = 0; k < 4; ++k)
    if (!names[k].empty()) codecs[k] = e_.FindCodecOrDie(names[k], kTypes[k], false);
  AVFormatContext* ic = in_.ic.get();
  ic->video_codec = codecs[0];
  ic->audio_codec = codecs[1];
  ic->subtitle_codec = codecs[2];
  ic->data_codec = codecs[3];
  ic->video_codec_id = codecs[0] ? codecs[0]->id : AV_CODEC_ID_NONE;
  ic->audio_codec_id = codecs[1] ? codecs[1]->id : AV_CODEC_ID_NONE;
  ic->subtitle_codec_id = codecs[2] ? codecs[2]->id : AV_CODEC_ID_NONE;
  ic->data_codec_id = codecs[3] ? codecs[3]->id : AV_CODEC_ID_NONE;
}

int TInputOpener::OpenContext() {
  AVFormatContext* ic = in_.ic.get();
  ic->flags |= AVFMT_FLAG_NONBLOCK;
  if (o_.bitexact) ic->flags |= AVFMT_FLAG_BITEXACT;
  ic->interrupt_callback = e_.FReadCallback;

  TDictionary& fmt = in_.group.format_opts;
  const bool scan_all_pmts_set = !fmt.contains("scan_all_pmts");
  if (scan_all_pmts_set) fmt.set("scan_all_pmts", "1", AV_DICT_DONT_OVERWRITE);
  std::string io_error;
  if (const int r = AttachStreamIO(in_.lib_name, ic, false, in_.stream_io, io_error); r < 0)
    return e_.Fail(r, llFatal, io_error);
  e_.FLastRead = ff::av_gettime_relative();
  AVFormatContext* raw = in_.ic.release();  // freed by the library on failure
  const int ret = ff::avformat_open_input(&raw, in_.lib_name.c_str(), in_.iformat, fmt.address());
  in_.ic.reset(raw);
  if (ret < 0) {
    e_.Fail(ret, llFatal, error_text(in_.file_name, ret));
    if (ret == AVERROR_PROTOCOL_NOT_FOUND)
      e_.Log(llError, "Did you mean file:%s?", in_.file_name.c_str());
    return ret;
  }
  if (scan_all_pmts_set) fmt.erase("scan_all_pmts");
  return 0;
}

// Options the demuxer left over are unknown, unless the codec layer has them.
void TInputOpener::CheckUnknownFormatOptions() {
  TDictionary& fmt = in_.group.format_opts;
  std::vector<std::string> shared;
  fmt.forEach([&](const char* key, const char*) {
    if (in_.group.codec_opts.contains(key)) shared.emplace_back(key);
  });
  for (const std::string& key : shared) fmt.erase(key);
  std::string unknown;
  fmt.forEach([&](const char* key, const char*) {
    if (unknown.empty()) unknown = key;
  });
  if (unknown.empty()) return;
  const std::string text = strprintf("Option %s not found.", unknown.c_str());
  if (e_.HaltOnInvalidOption) e_.Fatal(text);
  e_.Fail(0, llError, text);
}

int TInputOpener::FindStreamInfo() {
  if (!e_.Ffind_stream_info) return 0;
  AVFormatContext* ic = in_.ic.get();
  std::vector<TDictionary> opts;
  try {
    opts = stream_info_options(ic, in_.group.codec_opts);
  } catch (const EOptionError& err) {
    e_.Fatal(err.what());
  }
  if (e_.FOnBeforeFindStreamInfo) e_.FOnBeforeFindStreamInfo(&e_, ic);
  // The handler may have added streams: one entry per stream, at least.
  std::vector<AVDictionary*> raw(ic->nb_streams > opts.size() ? ic->nb_streams : opts.size());
  for (std::size_t i = 0; i < opts.size(); ++i) raw[i] = opts[i].release();
  e_.FLastRead = ff::av_gettime_relative();
  const int ret = ff::avformat_find_stream_info(ic, raw.empty() ? nullptr : raw.data());
  for (AVDictionary*& d : raw) ff::av_dict_free(&d);
  if (ret < 0) {
    e_.Fail(ret, llFatal, strprintf("%s: could not find codec parameters", in_.file_name.c_str()));
    if (ic->nb_streams == 0) return ret;
  }
  return 0;
}

int TInputOpener::ResolveStartPosition() {
  const char* name = in_.file_name.c_str();
  const std::int64_t duration = in_.ic->duration;
  if (o_.start_time != AV_NOPTS_VALUE && o_.start_time_eof != AV_NOPTS_VALUE) {
    e_.Log(llWarning, "Cannot use -ss and -sseof both, using -ss for %s", name);
    o_.start_time_eof = AV_NOPTS_VALUE;
  }
  if (o_.start_time_eof != AV_NOPTS_VALUE) {
    if (o_.start_time_eof >= 0)
      return e_.Fail(AVERROR(EINVAL), llError, "-sseof value must be negative; aborting");
    if (duration > 0) {
      o_.start_time = o_.start_time_eof + duration;
      if (o_.start_time < 0) {
        e_.Log(llWarning, "-sseof value seeks to before start of file %s; ignored", name);
        o_.start_time = AV_NOPTS_VALUE;
      }
    } else {
      e_.Log(llWarning, "Cannot use -sseof, duration of %s not known", name);
    }
  }
  // The remaining duration counts from the resolved start (-sseof included).
  const std::int64_t start = o_.start_time == AV_NOPTS_VALUE ? 0 : o_.start_time;
  if (duration != AV_NOPTS_VALUE) in_.input_duration = duration - start;
  in_.timestamp = start;
  if (!o_.seek_timestamp && in_.ic->start_time != AV_NOPTS_VALUE)
    in_.timestamp += in_.ic->start_time;
  return 0;
}

// The back-off moves only the seek target: ts_offset keeps the exact start.
void TInputOpener::Seek() {
  if (o_.start_time == AV_NOPTS_VALUE) return;
  AVFormatContext* ic = in_.ic.get();
  std::int64_t target = in_.timestamp;
  if (!(ic->iformat->flags & AVFMT_SEEK_TO_PTS)) {
    bool delayed = false;
    for (unsigned i = 0; i < ic->nb_streams; ++i)
      delayed = delayed || ic->streams[i]->codecpar->video_delay > 0;
    if (delayed) target -= kSeekBackOff;
  }
  e_.FLastRead = ff::av_gettime_relative();
  if (ff::avformat_seek_file(ic, -1, INT64_MIN, target, target, 0) < 0)
    e_.Log(llWarning, "%s: could not seek to position %0.3f", in_.file_name.c_str(),
           static_cast<double>(target) / AV_TIME_BASE);
}

// Runs before the file is registered.
int TInputOpener::CheckUnusedCodecOptions() {
  std::vector<const TDictionary*> taken;
  for (const auto& ist : in_.streams) taken.push_back(&ist->decoder_opts);
  return e_.CheckUnusedCodecOptions(in_.group.codec_opts, taken, false, in_.file_index,
                                    in_.file_name, AVERROR(EINVAL));
}

void TInputOpener::Register() {
  auto f = std::make_unique<TInputFile>();
  AVFormatContext* ic = in_.ic.get();
  f->ist_index = e_.Fnb_input_streams();
  f->loop = o_.loop;
  f->input_ts_offset = o_.input_ts_offset;
  if (!e_.Fcopy_ts)
    f->ts_offset = o_.input_ts_offset - in_.timestamp;
  else if (e_.Fstart_at_zero && ic->start_time != AV_NOPTS_VALUE)
    f->ts_offset = o_.input_ts_offset - ic->start_time;
  else
    f->ts_offset = o_.input_ts_offset;
  f->start_time = o_.start_time;
  f->recording_time = o_.recording_time;
  f->nb_streams = static_cast<int>(ic->nb_streams);
  f->rate_emu = o_.rate_emu;
  f->accurate_seek = o_.accurate_seek;
  f->pkt = makePacket();
  if (!f->pkt) e_.Fatal("av_packet_alloc() failed");
  f->stream_io = std::move(in_.stream_io);
  f->ctx = std::move(in_.ic);
  e_.Finput_files.push_back(std::move(f));
  for (auto& ist : in_.streams) e_.Finput_streams.push_back(std::move(ist));
  in_.streams.clear();
}

void TInputOpener::DumpAttachments() {
  AVFormatContext* ic = e_.Finput_files.back()->ctx.get();
  for (const TSpecifierValue& v : o_.dump_attachment)
    for (unsigned i = 0; i < ic->nb_streams; ++i)
      if (check_stream_specifier(ic, ic->streams[i], v.specifier.c_str()) == 1)
        DumpAttachment(ic->streams[i], v.str);
}

void TInputOpener::DumpAttachment(AVStream* st, std::string file_name) {
  if (st->codecpar->extradata_size <= 0) {
    e_.Log(llWarning, "No extradata to dump in stream #%d:%d.", in_.file_index, st->index);
    return;
  }
  if (file_name.empty()) {
    if (const AVDictionaryEntry* tag = ff::av_dict_get(st->metadata, "filename", nullptr, 0))
      file_name = tag->value;
  }
  if (file_name.empty()) {
    e_.Log(llError, "No filename specified and no \"filename\" tag in stream #%d:%d.",
           in_.file_index, st->index);
    return;
  }
  if (!e_.CheckOverwrite(file_name)) return;
  AVIOContext* out = nullptr;
  e_.FLastWrite = ff::av_gettime_relative();
  const int ret =
      ff::avio_open2(&out, file_name.c_str(), AVIO_FLAG_WRITE, &e_.FWriteCallback, nullptr);
  e_.FLastWrite = ff::av_gettime_relative();
  if (ret < 0) {
    e_.Log(llError, "Could not open file %s for writing.", file_name.c_str());
    return;
  }
  ff::avio_write(out, st->codecpar->extradata, st->codecpar->extradata_size);
  ff::avio_flush(out);
  ff::avio_closep(&out);
}

}  // namespace

int TCustomFFmpegOpt::OpenInputFile(TPerFileOptions& o, const std::string& options,
                                    const std::string& presets, const std::string& file_name) {
  const std::string lib_name = to_library_file_name(file_name);
  const int ret = ParseOptions(o, options, presets, "input file", lib_name, ofInput);
  if (ret < 0) return ret;
  TOptionGroup fallback;  // a record made without NewPerFileOptions
  TInputOpening in(o, o.group ? *o.group : fallback, file_name, lib_name, Fnb_input_files());
  return TInputOpener(*this, in).Run();
}

bool TCustomFFmpegOpt::CheckOverwrite(const std::string& file_name) {
  const char* proto = ff::avio_find_protocol_name(file_name.c_str());
  if (Ffile_overwrite && Fno_file_overwrite) Fatal("Error, both -y and -n supplied.");
  if (!proto || std::strcmp(proto, "file") != 0) return true;
  if (!Ffile_overwrite && ff::avio_check(file_name.c_str(), 0) == 0) {
    Fail(0, llWarning, strprintf("File \"%s\" already exists. Ignored.", file_name.c_str()));
    return false;
  }
  if (const int i = SameAsInput(file_name); i >= 0) {
    Fail(0, llWarning, strprintf("Output %s same as Input #%d - ignored.", file_name.c_str(), i));
    return false;
  }
  return true;
}

}  // namespace corvane
