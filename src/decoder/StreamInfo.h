// Records describing an opened file and its streams.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
}

namespace corvane {

struct TFileStreamInfo {
  std::int64_t StartTime = AV_NOPTS_VALUE;  // microseconds
  std::int64_t Duration = -1;               // microseconds, -1 when unknown
  std::int32_t BitRate = -1;
  std::int32_t Year = -1;
  std::int32_t Track = -1;
  std::string Title, Author, Copyright, Comment, Album, Genre;
};

struct TAudioStreamInfo {
  std::string Language, CodecName;
  std::int64_t StartTime = -1;  // stream time base
  std::int64_t StartTimeScaled = -1;
  std::int64_t Duration = -1;
  std::int64_t DurationScaled = -1;
  std::int32_t BitRate = -1;
  std::int32_t Channels = -1;
  std::int32_t SampleRate = -1;
  AVSampleFormat SampleFormat = AV_SAMPLE_FMT_NONE;
};

struct TVideoStreamInfo {
  std::string Language, CodecName;
  std::int64_t StartTime = -1;
  std::int64_t StartTimeScaled = -1;
  std::int64_t Duration = -1;
  std::int64_t DurationScaled = -1;
  std::int32_t BitRate = -1;
  std::int32_t Height = -1;
  std::int32_t Width = -1;
  float SampleAspectRatio = -1.0f;
  float DisplayAspectRatio = -1.0f;
  AVRational SAR{0, 1};
  AVRational DAR{0, 1};
  AVPixelFormat PixFmt = AV_PIX_FMT_NONE;
  AVRational FrameRate{0, 1};
};

struct TSubtitleStreamInfo {
  std::string Language, CodecName;
  std::int32_t SubFormat = -1;  // 0 bitmap, 1 text, -1 unknown
};

// A copy of a program of the file.
struct TProgramInfo {
  int id = -1;
  int flags = -1;
  int discard = -16;
  int program_num = -1;
  int pmt_pid = -1;
  int pcr_pid = -1;
  std::vector<unsigned> stream_index;
  std::vector<std::pair<std::string, std::string>> metadata;
  unsigned nb_stream_indexes() const { return static_cast<unsigned>(stream_index.size()); }
};

}  // namespace corvane
