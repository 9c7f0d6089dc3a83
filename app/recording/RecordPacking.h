// Video ring records: one displayed picture as one contiguous record of an
// 8-byte timestamp, a 4-byte plane size S and the Y, U and V planes of a
// YUV 4:2:0 picture, rows packed without padding (all integers little-endian).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/FormatConverter.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

struct SwsContext;

namespace corvane {

inline constexpr int kRecordHeaderBytes = 12;

// S = W*H + 2*C with C = ((W+1)/2) * ((H+1)/2); -1 for a size that is not
// positive or does not fit 32 bits.
std::int64_t RecordPlaneBytes(int AWidth, int AHeight);

// yuv420p and yuvj420p are packed as they are, yuva420p without its alpha plane.
bool PackedAsIs(AVPixelFormat AFormat);
// The format of the packed planes: yuvj420p keeps its full range label, every
// other format is packed as (or converted to) yuv420p.
AVPixelFormat RecordFormat(AVPixelFormat AFormat);

// Writes the record of a 4:2:0 picture (any line sizes) to ADst, which holds
// kRecordHeaderBytes + RecordPlaneBytes bytes.
void PackRecord(const std::uint8_t* const AData[3], const int ALinesize[3], int AWidth, int AHeight,
                std::int64_t APTS, std::uint8_t* ADst);

// The record's header fields.
std::int64_t RecordPTS(const std::uint8_t* ARecord);
std::int32_t RecordSize(const std::uint8_t* ARecord);

// Packs pictures into a record buffer that follows size and format changes;
// pictures of other formats are converted to yuv420p first. One thread at a time.
class TRecordPacker {
 public:
  TRecordPacker();
  ~TRecordPacker();
  TRecordPacker(const TRecordPacker&) = delete;
  TRecordPacker& operator=(const TRecordPacker&) = delete;

  // False when the picture can be neither packed nor converted.
  bool Pack(const PicturePlanes& APicture, AVPixelFormat AFormat, int AWidth, int AHeight,
            std::int64_t APTS);
  const std::uint8_t* Data() const { return FRecord.data(); }
  int Size() const { return static_cast<int>(FRecord.size()); }
  // Gives the buffers back.
  void Release();

 private:
  struct SwsFree {
    void operator()(SwsContext* c) const;
  };
  bool convert(const PicturePlanes& APicture, AVPixelFormat AFormat, int AWidth, int AHeight);

  std::vector<std::uint8_t> FRecord;
  std::vector<std::uint8_t> FConverted;  // yuv420p planes of a converted picture
  std::unique_ptr<SwsContext, SwsFree> FSws;
};

}  // namespace corvane
