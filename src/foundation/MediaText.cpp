#include "foundation/MediaText.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "foundation/StrFormat.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avutil.h"

namespace corvane {

std::string duration_text(std::int64_t us) {
  if (us == AV_NOPTS_VALUE) return "N/A";
  const std::int64_t t = us + 5000;
  const std::int64_t seconds = t / 1000000;
  const std::int64_t millis = (t % 1000000) * 1000 / 1000000;
  return strprintf("%.2" PRId64 ":%.2" PRId64 ":%.2" PRId64 ".%.3" PRId64, seconds / 3600,
                   (seconds / 60) % 60, seconds % 60, millis);
}

std::string scaled_duration_text(std::int64_t value, AVRational time_base) {
  if (value != AV_NOPTS_VALUE && !(time_base.num == 1 && time_base.den == AV_TIME_BASE))
    value = ff::av_rescale_q(value, time_base, AVRational{1, AV_TIME_BASE});
  return duration_text(value);
}

std::int64_t frame_duration_us(AVRational frame_rate) {
  if (frame_rate.num != 0 && frame_rate.den > 0)
    return static_cast<std::int64_t>(frame_rate.den) * 1000000 / frame_rate.num;
  return 40000;
}

std::string time_zone_text(std::time_t at) {
  std::tm local{};
  localtime_r(&at, &local);
  const long offset = local.tm_gmtoff;
  if (offset == 0) return "UTC";
  const long a = std::labs(offset);
  return strprintf("UTC%s%.2ld:%.2ld", offset < 0 ? "-" : "+", a / 3600, (a % 3600) / 60);
}

double unix_to_local_datetime(std::int64_t seconds) {
  const auto at = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&at, &local);
  return (static_cast<double>(seconds) + static_cast<double>(local.tm_gmtoff)) / 86400.0 + 25569.0;
}

std::string media_type_name(int type) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO:
      return "Video";
    case AVMEDIA_TYPE_AUDIO:
      return "Audio";
    case AVMEDIA_TYPE_DATA:
      return "Data";
    case AVMEDIA_TYPE_SUBTITLE:
      return "Subtitle";
    case AVMEDIA_TYPE_ATTACHMENT:
      return "Attachment";
    default:
      return "Unknown";
  }
}

std::string picture_type_name(int type) {
  switch (type) {
    case AV_PICTURE_TYPE_I:
      return "Intra";
    case AV_PICTURE_TYPE_P:
      return "Predicted";
    case AV_PICTURE_TYPE_B:
      return "Bi-dir predicted";
    case AV_PICTURE_TYPE_S:
      return "S(GMC)-VOP MPEG4";
    case AV_PICTURE_TYPE_SI:
      return "Switching Intra";
    case AV_PICTURE_TYPE_SP:
      return "Switching Predicted";
    case AV_PICTURE_TYPE_BI:
      return "BI type";
    default:
      return "Unknown";
  }
}

std::string codec_display_name(int codec_id, bool encoder, bool long_name, int log_level) {
  const auto id = static_cast<AVCodecID>(codec_id);
  if (id == AV_CODEC_ID_NONE) return "none";
  const auto with_long = [long_name](const char* name, const char* ln) {
    std::string s = name ? name : "";
    if (!long_name || !ln) return s;
    std::string_view t(ln);
    const std::size_t b = t.find_first_not_of(" \t");
    if (b == std::string_view::npos) return s;
    t = t.substr(b, t.find_last_not_of(" \t") - b + 1);
    return s + "(" + std::string(t) + ")";
  };
  if (const AVCodecDescriptor* d = ff::avcodec_descriptor_get(id))
    return with_long(d->name, d->long_name);
  if (ff::av_log)
    ff::av_log(nullptr, log_level, "Codec 0x%x is not in the full list.\n",
               static_cast<unsigned>(id));
  const AVCodec* c = encoder ? ff::avcodec_find_encoder(id) : ff::avcodec_find_decoder(id);
  return c ? with_long(c->name, c->long_name) : "unknown_codec";
}

std::string codec_display_name(const AVCodecContext* ctx, bool encoder, bool long_name) {
  return codec_display_name(ctx ? ctx->codec_id : AV_CODEC_ID_NONE, encoder, long_name,
                            AV_LOG_VERBOSE);
}

std::string dict_value_or(const AVDictionary* dict, const char* key, const std::string& fallback) {
  const AVDictionaryEntry* e = dict ? ff::av_dict_get(dict, key, nullptr, 0) : nullptr;
  return e ? e->value : fallback;
}

std::string pad_text(const std::string& text, std::size_t width, bool at_end) {
  // Width counts characters: UTF-8 continuation bytes do not.
  const std::size_t chars = static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
  if (chars >= width) return text;
  const std::string blanks(width - chars, ' ');
  return at_end ? text + blanks : blanks + text;
}

int median3(int a, int b, int c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

}  // namespace corvane
