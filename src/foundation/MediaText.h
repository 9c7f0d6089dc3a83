// Small texts about media: durations, time zones, type names, codec names.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

extern "C" {
struct AVCodecContext;
struct AVDictionary;
struct AVRational;
}

namespace corvane {

// "hh:mm:ss.mmm", rounded to 10 ms below; "N/A" for AV_NOPTS_VALUE.
std::string duration_text(std::int64_t us);
// The value in time_base units, as duration_text.
std::string scaled_duration_text(std::int64_t value, AVRational time_base);
// One frame at the rate, in microseconds; 40000 for an unusable rate.
std::int64_t frame_duration_us(AVRational frame_rate);
// "UTC" or "UTC+hh:mm" / "UTC-hh:mm" for the local zone at the instant,
// daylight saving included.
std::string time_zone_text(std::time_t at = std::time(nullptr));
// Days since 1899-12-30 in local time.
double unix_to_local_datetime(std::int64_t seconds);
std::string media_type_name(int type);
std::string picture_type_name(int type);
// The codec's name, with its long name in parentheses when asked for;
// "none" for no codec, "unknown_codec" when the libraries do not know it.
std::string codec_display_name(const AVCodecContext* ctx, bool encoder, bool long_name);
// The same by codec id; an id without descriptor is logged at log_level.
std::string codec_display_name(int codec_id, bool encoder, bool long_name, int log_level);
std::string dict_value_or(const AVDictionary* dict, const char* key, const std::string& fallback);
// Blanks after the text when at_end is set, else before it; longer texts unchanged.
std::string pad_text(const std::string& text, std::size_t width, bool at_end);
int median3(int a, int b, int c);

}  // namespace corvane
