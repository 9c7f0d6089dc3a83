#include "foundation/StreamOptions.h"

#include <cmath>
#include <string>

#include "foundation/api/avcodec.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"

namespace corvane {

int check_stream_specifier(AVFormatContext* s, AVStream* st, const char* spec) {
  return ff::avformat_match_stream_specifier(s, st, spec);
}

TDictionary filter_codec_options(const TDictionary& opts, int codec_id, AVFormatContext* s,
                                 AVStream* st, const AVCodec* codec) {
  TDictionary ret;
  const bool output = s->oformat != nullptr;
  int flags = output ? AV_OPT_FLAG_ENCODING_PARAM : AV_OPT_FLAG_DECODING_PARAM;
  const auto id = static_cast<AVCodecID>(codec_id);
  if (!codec) codec = output ? ff::avcodec_find_encoder(id) : ff::avcodec_find_decoder(id);
  char prefix = 0;
  switch (st->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      prefix = 'v';
      flags |= AV_OPT_FLAG_VIDEO_PARAM;
      break;
    case AVMEDIA_TYPE_AUDIO:
      prefix = 'a';
      flags |= AV_OPT_FLAG_AUDIO_PARAM;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      prefix = 's';
      flags |= AV_OPT_FLAG_SUBTITLE_PARAM;
      break;
    default:
      break;
  }
  const AVClass* cc = ff::avcodec_get_class();
  const auto known = [&](const AVClass* cls, const std::string& key) {
    return cls && ff::av_opt_find(&cls, key.c_str(), nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ);
  };
  opts.forEach([&](const char* k, const char* value) {
    std::string key = k;
    const std::size_t colon = key.find(':');
    if (colon != std::string::npos) {
      const int m = check_stream_specifier(s, st, key.c_str() + colon + 1);
      if (m < 0) throw EOptionError("invalid stream specification");
      if (m == 0) return;
      key.resize(colon);
    }
    if (known(cc, key) || !codec || known(codec->priv_class, key))
      ret.set(key, value);
    else if (prefix && !key.empty() && key[0] == prefix && known(cc, key.substr(1)))
      ret.set(key.substr(1), value);
  });
  return ret;
}

std::vector<TDictionary> stream_info_options(AVFormatContext* s, const TDictionary& codec_opts) {
  std::vector<TDictionary> result;
  if (!s || s->nb_streams == 0) return result;
  result.reserve(s->nb_streams);
  for (unsigned i = 0; i < s->nb_streams; ++i)
    result.push_back(filter_codec_options(codec_opts, s->streams[i]->codecpar->codec_id, s,
                                          s->streams[i], nullptr));
  return result;
}

int find_stream_info(AVFormatContext* s, const TDictionary& codec_opts) {
  std::vector<TDictionary> perStream = stream_info_options(s, codec_opts);
  std::vector<AVDictionary*> raw;
  for (TDictionary& d : perStream) raw.push_back(d.release());
  const int ret = ff::avformat_find_stream_info(s, raw.empty() ? nullptr : raw.data());
  for (AVDictionary*& d : raw) ff::av_dict_free(&d);
  return ret;
}

double stream_rotation(const AVStream* st) {
  std::size_t size = 0;
  const auto* matrix = reinterpret_cast<const std::int32_t*>(
      ff::av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size));
  double theta = 0;
  if (matrix && size >= 9 * sizeof(std::int32_t)) theta = -ff::av_display_rotation_get(matrix);
  theta -= 360 * std::floor(theta / 360 + 0.0025);
  if (std::fabs(theta - 90 * std::round(theta / 90)) > 2 && ff::av_log)
    ff::av_log(nullptr, AV_LOG_WARNING,
               "Odd rotation angle.\nThe picture is shown unrotated; please report this file "
               "so that its rotation can be handled.\n");
  return theta;
}

}  // namespace corvane
