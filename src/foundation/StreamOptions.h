// Per-stream helpers: stream specifiers, codec options for one stream, rotation.
#pragma once

#include <climits>
#include <cstdint>
#include <new>
#include <vector>

#include "foundation/Dictionary.h"
#include "foundation/OptionValues.h"

extern "C" {
struct AVCodec;
struct AVFormatContext;
struct AVStream;
}

namespace corvane {

// 1 match, 0 no match, negative for an invalid specifier; logs nothing.
int check_stream_specifier(AVFormatContext* s, AVStream* st, const char* spec);

// The entries of opts that apply to the stream's codec, with stream specifiers
// resolved and cut off ("b:v" gives "b"). codec may be nullptr: it is found
// from codec_id (an encoder when s is an output). Raises EOptionError
// "invalid stream specification".
TDictionary filter_codec_options(const TDictionary& opts, int codec_id, AVFormatContext* s,
                                 AVStream* st, const AVCodec* codec);
// One dictionary per stream of s, for avformat_find_stream_info.
std::vector<TDictionary> stream_info_options(AVFormatContext* s, const TDictionary& codec_opts);

// avformat_find_stream_info with the codec options of each stream. Raises
// EOptionError for an invalid stream specifier.
int find_stream_info(AVFormatContext* s, const TDictionary& codec_opts);

// Grows array to new_count value-initialised elements; never shrinks. Raises
// EOptionError "Array too big." or "Could not alloc buffer.".
template <class T>
void enlarge_array(std::vector<T>& array, std::int64_t new_count) {
  if (new_count < 0 || new_count >= static_cast<std::int64_t>(INT_MAX / sizeof(T)))
    throw EOptionError("Array too big.");
  if (static_cast<std::int64_t>(array.size()) >= new_count) return;
  try {
    array.resize(static_cast<std::size_t>(new_count));
  } catch (const std::bad_alloc&) {
    throw EOptionError("Could not alloc buffer.");
  }
}

// Clockwise rotation in degrees, [0, 360), from the stream's display matrix.
double stream_rotation(const AVStream* st);

}  // namespace corvane
