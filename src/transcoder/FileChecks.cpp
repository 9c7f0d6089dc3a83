// Checks that input and output files share: time limits, files that are
// inputs, codec options nobody took.
#include <sys/stat.h>

#include <cstring>

#include "foundation/AppInputFormats.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avformat.h"
#include "transcoder/TranscoderOptions.h"

namespace corvane {
namespace {

std::string local_path(const std::string& url) {
  return url.rfind("file:", 0) == 0 ? url.substr(5) : url;
}

bool class_knows(const AVClass* cls, const char* name) {
  constexpr int kSearch = AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ;
  return cls && ff::av_opt_find(&cls, name, nullptr, 0, kSearch);
}

}  // namespace

int TCustomFFmpegOpt::SameAsInput(const std::string& file_name) const {
  const std::string path = local_path(file_name);
  struct stat out {};
  const bool exists = ::stat(path.c_str(), &out) == 0;
  for (int i = 0; i < Fnb_input_files(); ++i) {
    const AVFormatContext* ic = Finput_files[i]->ctx.get();
    if (!ic || !ic->url || (ic->iformat->flags & AVFMT_NOFILE)) continue;
    const std::string in = local_path(ic->url);
    struct stat st {};
    if (in == path || (exists && ::stat(in.c_str(), &st) == 0 && st.st_dev == out.st_dev &&
                       st.st_ino == out.st_ino))
      return i;
  }
  return -1;
}

int TCustomFFmpegOpt::ResolveTimeLimits(TPerFileOptions& o, int code) {
  if (o.stop_time != INT64_MAX && o.recording_time != INT64_MAX) {
    o.stop_time = INT64_MAX;
    Log(llWarning, "-t and -to cannot be used together; using -t.");
  }
  if (o.stop_time != INT64_MAX && o.recording_time == INT64_MAX) {
    const std::int64_t start = o.start_time == AV_NOPTS_VALUE ? 0 : o.start_time;
    if (start >= o.stop_time) return Fail(code, llError, "-to value smaller than -ss; aborting.");
    o.recording_time = o.stop_time - start;
  }
  return 0;
}

int TCustomFFmpegOpt::CheckUnusedCodecOptions(const TDictionary& group_codec_opts,
                                              const std::vector<const TDictionary*>& taken,
                                              bool output, int file_index,
                                              const std::string& file_name, int code) {
  TDictionary unused;
  group_codec_opts.forEach([&](const char* key, const char* value) {
    const std::string k = key;
    unused.set(k.substr(0, k.find(':')), value);
  });
  for (const TDictionary* d : taken)
    d->forEach([&](const char* key, const char*) { unused.erase(key); });

  const char* file = output ? "output" : "input";
  const char* coder = output ? "encoder" : "decoder";
  const int direction = output ? AV_OPT_FLAG_ENCODING_PARAM : AV_OPT_FLAG_DECODING_PARAM;
  const AVClass* cc = ff::avcodec_get_class();
  constexpr int kSearch = AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ;
  int ret = 0;
  unused.forEach([&](const char* key, const char*) {
    if (ret < 0) return;
    const AVOption* option = ff::av_opt_find(&cc, key, nullptr, 0, kSearch);
    if (!option || class_knows(ff::avformat_get_class(), key)) return;
    if (!output)
      for (const AVInputFormat* f : app_input_formats())
        if (class_knows(f->priv_class, key)) return;
    const char* help = option->help ? option->help : "";
    if (!(option->flags & direction)) {
      ret = Fail(code, llError,
                 strprintf("Codec AVOption %s (%s) specified for %s file #%d (%s) is not a%s "
                           "option.",
                           key, help, file, file_index, file_name.c_str(),
                           output ? "n encoding" : " decoding"));
      return;
    }
    if (output && std::strcmp(key, "gop_timecode") == 0) return;
    Log(llWarning,
        "Codec AVOption %s (%s) specified for %s file #%d (%s) has not been used for any "
        "stream. The most likely reason is either wrong type (e.g. a video option with no "
        "video streams) or that it is a private option of some %s which was not actually "
        "used for any stream.",
        key, help, file, file_index, file_name.c_str(), coder);
  });
  return ret;
}

}  // namespace corvane
