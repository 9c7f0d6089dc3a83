#include "decoder/CustomDecoder.h"

#include <filesystem>
#include <system_error>

#include "foundation/AppInputFormats.h"
#include "foundation/ErrorText.h"
#include "foundation/FFLoader.h"
#include "foundation/FileNames.h"
#include "foundation/Logger.h"
#include "foundation/MainThread.h"
#include "foundation/MediaText.h"
#include "foundation/OptionString.h"
#include "foundation/OptionValues.h"
#include "foundation/StreamOptions.h"

namespace corvane {
namespace {

std::int32_t clamp32(std::int64_t v) {
  return static_cast<std::int32_t>(v);  // the record keeps 32 bits
}

int metadataInt(const AVDictionary* d, const char* key) {
  const auto v = strict_int(dict_value_or(d, key, ""));
  return v ? *v : 0;
}

// Repairs a time base with denominator 0 as the records promise.
AVRational repairedTimeBase(AVStream* st) {
  if (st->time_base.den == 0) st->time_base.den = st->time_base.num;
  if (st->time_base.den == 0) st->time_base.den = 1;
  return st->time_base;
}

std::int64_t toMicroseconds(std::int64_t v, AVRational tb) {
  return v == AV_NOPTS_VALUE ? -1 : ff::av_rescale_q(v, tb, AVRational{1, AV_TIME_BASE});
}

}  // namespace

TCustomDecoder::TCustomDecoder(TComponent* AOwner) : TFFBaseComponent(AOwner) { RefreshFileInfo(); }

TCustomDecoder::~TCustomDecoder() { TCustomDecoder::CloseFile(); }

bool TCustomDecoder::AVLibLoaded() const { return FFLoader().Loaded(LibrarySet); }

bool TCustomDecoder::LoadAVLib(const std::string& APath) {
  FFLoader().SetLibraryPath(APath);
  if (!FFLoader().Load(LibrarySet)) {
    FLastErrMsg = FFLoader().LastErrMsg();
    return false;
  }
  FOptions.init_opts();
  return true;
}

void TCustomDecoder::UnloadAVLib() { FFLoader().Unload(LibrarySet); }

void TCustomDecoder::ReportError(const std::string& AMsg, int ALevel) {
  FLastErrMsg = AMsg;
  FFLogger().Log(this, logLevelFromAV(ALevel), AMsg);
}

bool TCustomDecoder::CheckFileLoaded() {
  if (FFileHandle) return true;
  ReportError("file not loaded.", AV_LOG_WARNING);
  return false;
}

void TCustomDecoder::MarkRead() { FLastRead = ff::av_gettime_relative(); }

int TCustomDecoder::InterruptCallback(void* opaque) {
  auto* self = static_cast<TCustomDecoder*>(opaque);
  if (shutdownRequested()) return 1;
  const std::int64_t timeout = self->ReadTimeout();
  if (timeout > 0 && ff::av_gettime_relative() - self->FLastRead > timeout * 1000) {
    FFLogger().Log(self, llInfo, "connecting/reading timeout");
    return 1;
  }
  return 0;
}

bool TCustomDecoder::LoadFile(const std::string& AFileName, const std::string& AFormatName) {
  FFLoader().CheckLibAV(LibrarySet);
  CloseFile();
  if (FOptions.sws_dict().empty()) FOptions.init_opts();

  const AVInputFormat* fmt = nullptr;
  if (!AFormatName.empty()) {
    fmt = find_app_input_format(AFormatName.c_str());
    if (!fmt) fmt = ff::av_find_input_format(AFormatName.c_str());
    if (!fmt) {
      ReportError("Unknown input format: " + AFormatName);
      FOptions.init_opts();
      CloseFile();
      return false;
    }
  }

  AVFormatContext* ctx = ff::avformat_alloc_context();
  if (!ctx) {
    ReportError(error_text(AFileName, AVERROR(ENOMEM)));
    FOptions.init_opts();
    return false;
  }
  ctx->interrupt_callback.callback = &TCustomDecoder::InterruptCallback;
  ctx->interrupt_callback.opaque = this;
  FOwnHandle = true;
  MarkRead();
  const std::string name = to_library_file_name(AFileName);
  int ret = ff::avformat_open_input(&ctx, name.c_str(), fmt, FOptions.format_opts().address());
  if (ret < 0) {
    // The library freed the context.
    ReportError(error_text(AFileName, ret));
    FOptions.init_opts();
    CloseFile();
    return false;
  }
  FFileHandle = ctx;
  FOptions.format_opts().forEach([this](const char* key, const char*) {
    FFLogger().Log(this, llError, "Option %s not found, ignored.", key);
  });
  ctx->flags |= AVFMT_FLAG_GENPTS;

  if (FOnBeforeFindStreamInfo) {
    if (FTriggerEventInMainThread)
      callInMainThread([&] { FOnBeforeFindStreamInfo(this, ctx); });
    else
      FOnBeforeFindStreamInfo(this, ctx);
  }

  FLoadCodecOpts = FOptions.codec_opts();
  MarkRead();
  try {
    ret = find_stream_info(ctx, FOptions.codec_opts());
  } catch (const EOptionError& e) {
    ReportError(e.what());
    FOptions.init_opts();
    CloseFile();
    return false;
  }
  if (ret < 0) {
    ReportError(AFileName + ": could not find codec parameters");
    FOptions.init_opts();
    CloseFile();
    return false;
  }
  if (ctx->pb) {
    ctx->pb->eof_reached = 0;
    ctx->pb->error = 0;
  }
  RefreshFileInfo();
  if (FOptions.sws_dict().contains("sws_flags") && FOptions.FetchSwsFlags() >= 0)
    ScalerFlagsChanged(FOptions.sws_flags());
  FOptions.init_opts();
  FForceFormat = AFormatName;
  return true;
}

void TCustomDecoder::closeHandle() {
  if (FFileHandle && FOwnHandle) ff::avformat_close_input(&FFileHandle);
  FFileHandle = nullptr;
  FOwnHandle = false;
}

void TCustomDecoder::CloseFile() {
  closeHandle();
  RefreshFileInfo();
}

void TCustomDecoder::SetFileHandle(AVFormatContext* AValue) {
  if (AValue == FFileHandle) return;
  FFLoader().CheckLibAV(LibrarySet);
  CloseFile();
  FOwnHandle = false;
  FFileHandle = AValue;
  RefreshFileInfo();
}

std::int64_t TCustomDecoder::computeFileSize() const {
  if (!FFileHandle) return -1;
  std::int64_t size = 0;
  if (FFileHandle->iformat && (FFileHandle->iformat->flags & AVFMT_NOFILE)) return 0;
  if (FFileHandle->pb) size = std::max<std::int64_t>(0, ff::avio_size(FFileHandle->pb));
  if (size == 0 && FFileHandle->url) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(from_library_file_name(FFileHandle->url), ec);
    if (!ec) size = static_cast<std::int64_t>(n);
  }
  return size;
}

void TCustomDecoder::RefreshFileInfo() {
  FFileSize = -1;
  FStreamCount = FProgramCount = -1;
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
  FFirstAudioStreamIndex = FFirstVideoStreamIndex = FFirstSubtitleStreamIndex = -1;
  if (!FFileHandle) return;
  FFileSize = computeFileSize();
  FStreamCount = static_cast<int>(FFileHandle->nb_streams);
  FProgramCount = static_cast<int>(FFileHandle->nb_programs);
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
  for (int i = 0; i < FStreamCount; ++i) {
    switch (FFileHandle->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        ++FVideoStreamCount;
        if (FFirstVideoStreamIndex < 0) FFirstVideoStreamIndex = i;
        break;
      case AVMEDIA_TYPE_AUDIO:
        ++FAudioStreamCount;
        if (FFirstAudioStreamIndex < 0) FFirstAudioStreamIndex = i;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ++FSubtitleStreamCount;
        if (FFirstSubtitleStreamIndex < 0) FFirstSubtitleStreamIndex = i;
        break;
      default:
        break;
    }
  }
}

bool TCustomDecoder::opt_default(const std::string& opt, const std::string& arg) {
  if (!AVLibLoaded()) {
    ReportError("FFmpeg libraries not loaded.");
    return false;
  }
  return FOptions.opt_default(opt, arg) >= 0;
}

bool TCustomDecoder::DefaultOptions(const std::string& AOptions) {
  FDefaultOptions = AOptions;
  if (AOptions.empty()) return true;
  FFLogger().Log(this, llInfo, "ParseOptions: " + AOptions);
  const std::vector<std::string> words = split_option_string(AOptions);
  bool ok = true;
  std::size_t i = 0;
  while (i < words.size()) {
    const std::string& w = words[i];
    if (w.empty() || w[0] != '-' || w == "-") {
      FFLogger().Log(this, llError, "Invalid option found while parsing options, ignore");
      ++i;
      continue;
    }
    const std::string opt = w.substr(1);
    const std::string arg = i + 1 < words.size() ? words[i + 1] : "";
    if (!opt_default(opt, arg)) {
      FFLogger().Log(this, llError, "Invalid option -%s %s for VUZezevud, ignore", opt.c_str(),
                     arg.c_str());
      ok = false;
    }
    i += 2;
  }
  return ok;
}

std::string TCustomDecoder::CodecName(AVCodecID id) const {
  return codec_display_name(id, false, FGetLongCodecName, AV_LOG_WARNING);
}

bool TCustomDecoder::IsStreamOfType(int i, AVMediaType type) {
  if (!CheckFileLoaded()) return false;
  if (i < 0 || i >= FStreamCount) {
    ReportError(strprintf("stream index #%d is invalid.", i));
    return false;
  }
  return FFileHandle->streams[i]->codecpar->codec_type == type;
}

bool TCustomDecoder::IsAudioStream(int i) { return IsStreamOfType(i, AVMEDIA_TYPE_AUDIO); }
bool TCustomDecoder::IsVideoStream(int i) { return IsStreamOfType(i, AVMEDIA_TYPE_VIDEO); }
bool TCustomDecoder::IsSubtitleStream(int i) { return IsStreamOfType(i, AVMEDIA_TYPE_SUBTITLE); }

namespace {

// Resolves Index for a stream of the type; -1 after reporting through report.
template <class Report>
int resolveStream(AVFormatContext* ctx, int index, int first, AVMediaType type, const char* name,
                  Report report) {
  if (index < 0) {
    if (first < 0) report(strprintf("no %s stream.", name));
    return first;
  }
  if (index >= static_cast<int>(ctx->nb_streams)) {
    report(strprintf("stream index #%d is invalid.", index));
    return -1;
  }
  if (ctx->streams[index]->codecpar->codec_type != type) {
    report(strprintf("stream #%d is not %s stream.", index, name));
    return -1;
  }
  return index;
}

// The fields audio and video records share.
template <class Info>
void fillTimedStream(Info& r, AVStream* st, std::string codecName) {
  r.Language = dict_value_or(st->metadata, "language", "");
  r.CodecName = std::move(codecName);
  const AVRational tb = repairedTimeBase(st);
  r.StartTime = st->start_time;
  r.Duration = st->duration;
  r.StartTimeScaled = toMicroseconds(st->start_time, tb);
  r.DurationScaled = toMicroseconds(st->duration, tb);
  r.BitRate = clamp32(st->codecpar->bit_rate);
}

}  // namespace

TAudioStreamInfo TCustomDecoder::GetAudioStreamInfos(int Index) {
  TAudioStreamInfo r;
  if (!CheckFileLoaded()) return r;
  const int i = resolveStream(FFileHandle, Index, FFirstAudioStreamIndex, AVMEDIA_TYPE_AUDIO,
                              "audio", [this](const std::string& m) { ReportError(m); });
  if (i < 0) return r;
  AVStream* st = FFileHandle->streams[i];
  const AVCodecParameters* par = st->codecpar;
  fillTimedStream(r, st, CodecName(par->codec_id));
  r.Channels = par->ch_layout.nb_channels;
  r.SampleRate = par->sample_rate;
  r.SampleFormat = static_cast<AVSampleFormat>(par->format);
  return r;
}

TVideoStreamInfo TCustomDecoder::GetVideoStreamInfos(int Index) {
  TVideoStreamInfo r;
  if (!CheckFileLoaded()) return r;
  const int i = resolveStream(FFileHandle, Index, FFirstVideoStreamIndex, AVMEDIA_TYPE_VIDEO,
                              "video", [this](const std::string& m) { ReportError(m); });
  if (i < 0) return r;
  AVStream* st = FFileHandle->streams[i];
  const AVCodecParameters* par = st->codecpar;
  fillTimedStream(r, st, CodecName(par->codec_id));
  r.Width = par->width;
  r.Height = par->height;
  r.PixFmt = static_cast<AVPixelFormat>(par->format);
  r.SAR = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
  if (r.SAR.den == 0) r.SAR = {0, 1};
  r.SampleAspectRatio = static_cast<float>(av_q2d(r.SAR));
  if (r.SAR.num != 0) {
    ff::av_reduce(&r.DAR.num, &r.DAR.den, static_cast<std::int64_t>(r.Width) * r.SAR.num,
                  static_cast<std::int64_t>(r.Height) * r.SAR.den, 1024 * 1024);
    if (r.DAR.den != 0) r.DisplayAspectRatio = static_cast<float>(av_q2d(r.DAR));
  }
  r.FrameRate =
      st->avg_frame_rate.num && st->avg_frame_rate.den ? st->avg_frame_rate : st->r_frame_rate;
  return r;
}

TSubtitleStreamInfo TCustomDecoder::GetSubtitleStreamInfos(int Index) {
  TSubtitleStreamInfo r;
  if (!CheckFileLoaded()) return r;
  const int i = resolveStream(FFileHandle, Index, FFirstSubtitleStreamIndex, AVMEDIA_TYPE_SUBTITLE,
                              "subtitle", [this](const std::string& m) { ReportError(m); });
  if (i < 0) return r;
  AVStream* st = FFileHandle->streams[i];
  r.Language = dict_value_or(st->metadata, "language", "");
  r.CodecName = CodecName(st->codecpar->codec_id);
  if (const AVCodecDescriptor* d = ff::avcodec_descriptor_get(st->codecpar->codec_id)) {
    if (d->props & AV_CODEC_PROP_BITMAP_SUB)
      r.SubFormat = 0;
    else if (d->props & AV_CODEC_PROP_TEXT_SUB)
      r.SubFormat = 1;
  }
  return r;
}

TProgramInfo TCustomDecoder::GetProgrames(int Index) {
  TProgramInfo r;
  if (!CheckFileLoaded()) return r;
  if (FFileHandle->nb_programs == 0) {
    ReportError("no program found.");
    return r;
  }
  if (Index < 0 || Index >= static_cast<int>(FFileHandle->nb_programs)) {
    ReportError(strprintf("program index #%d is invalid.", Index));
    return r;
  }
  const AVProgram* p = FFileHandle->programs[Index];
  r.id = p->id;
  r.flags = p->flags;
  r.discard = p->discard;
  r.program_num = p->program_num;
  r.pmt_pid = p->pmt_pid;
  r.pcr_pid = p->pcr_pid;
  r.stream_index.assign(p->stream_index, p->stream_index + p->nb_stream_indexes);
  const AVDictionaryEntry* e = nullptr;
  while ((e = ff::av_dict_get(p->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
    r.metadata.emplace_back(e->key, e->value);
  return r;
}

TFileStreamInfo TCustomDecoder::FileStreamInfo() {
  TFileStreamInfo r;
  if (!FFileHandle) {
    ReportError("file not loaded.", AV_LOG_WARNING);
    return r;
  }
  const AVDictionary* m = FFileHandle->metadata;
  r.StartTime = FFileHandle->start_time;
  r.Duration = FFileHandle->duration == AV_NOPTS_VALUE ? -1 : FFileHandle->duration;
  r.BitRate = clamp32(FFileHandle->bit_rate);
  r.Year = metadataInt(m, "year");
  r.Track = metadataInt(m, "track");
  r.Title = dict_value_or(m, "title", "");
  r.Author = dict_value_or(m, "author", "");
  r.Copyright = dict_value_or(m, "copyright", "");
  r.Comment = dict_value_or(m, "comment", "");
  r.Album = dict_value_or(m, "album", "");
  r.Genre = dict_value_or(m, "genre", "");
  return r;
}

std::string TCustomDecoder::FormatName() {
  if (!CheckFileLoaded()) return "";
  return FFileHandle->iformat && FFileHandle->iformat->name ? FFileHandle->iformat->name : "";
}

std::string TCustomDecoder::FormatLongName() {
  if (!CheckFileLoaded()) return "";
  return FFileHandle->iformat && FFileHandle->iformat->long_name ? FFileHandle->iformat->long_name
                                                                 : "";
}

std::string TCustomDecoder::FileName() const {
  return FFileHandle && FFileHandle->url ? from_library_file_name(FFileHandle->url) : "";
}

}  // namespace corvane
