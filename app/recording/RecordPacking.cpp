#include "recording/RecordPacking.h"

#include <cstring>
#include <limits>

#include "foundation/api/avutil.h"
#include "foundation/api/swscale.h"

namespace corvane {

namespace {

std::int64_t chromaBytes(int w, int h) {
  return static_cast<std::int64_t>((w + 1) / 2) * ((h + 1) / 2);
}

void putLE(std::uint8_t* dst, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) dst[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint64_t getLE(const std::uint8_t* src, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(src[i]) << (8 * i);
  return v;
}

std::uint8_t* copyPlane(const std::uint8_t* src, int linesize, int row, int rows,
                        std::uint8_t* dst) {
  for (int y = 0; y < rows; ++y, dst += row)
    std::memcpy(dst, src + static_cast<std::ptrdiff_t>(y) * linesize,
                static_cast<std::size_t>(row));
  return dst;
}

}  // namespace

std::int64_t RecordPlaneBytes(int AWidth, int AHeight) {
  if (AWidth <= 0 || AHeight <= 0) return -1;
  const std::int64_t s =
      static_cast<std::int64_t>(AWidth) * AHeight + 2 * chromaBytes(AWidth, AHeight);
  return s + kRecordHeaderBytes > std::numeric_limits<std::int32_t>::max() ? -1 : s;
}

bool PackedAsIs(AVPixelFormat AFormat) {
  return AFormat == AV_PIX_FMT_YUV420P || AFormat == AV_PIX_FMT_YUVJ420P ||
         AFormat == AV_PIX_FMT_YUVA420P;
}

AVPixelFormat RecordFormat(AVPixelFormat AFormat) {
  return AFormat == AV_PIX_FMT_YUVJ420P ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
}

void PackRecord(const std::uint8_t* const AData[3], const int ALinesize[3], int AWidth, int AHeight,
                std::int64_t APTS, std::uint8_t* ADst) {
  putLE(ADst, static_cast<std::uint64_t>(APTS), 8);
  putLE(ADst + 8, static_cast<std::uint32_t>(RecordPlaneBytes(AWidth, AHeight)), 4);
  const int cw = (AWidth + 1) / 2, ch = (AHeight + 1) / 2;
  std::uint8_t* p = copyPlane(AData[0], ALinesize[0], AWidth, AHeight, ADst + kRecordHeaderBytes);
  p = copyPlane(AData[1], ALinesize[1], cw, ch, p);
  copyPlane(AData[2], ALinesize[2], cw, ch, p);
}

std::int64_t RecordPTS(const std::uint8_t* ARecord) {
  return static_cast<std::int64_t>(getLE(ARecord, 8));
}

std::int32_t RecordSize(const std::uint8_t* ARecord) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(getLE(ARecord + 8, 4)));
}

void TRecordPacker::SwsFree::operator()(SwsContext* c) const {
  if (ff::sws_freeContext) ff::sws_freeContext(c);
}

TRecordPacker::TRecordPacker() = default;
TRecordPacker::~TRecordPacker() = default;

bool TRecordPacker::Pack(const PicturePlanes& APicture, AVPixelFormat AFormat, int AWidth,
                         int AHeight, std::int64_t APTS) {
  const std::int64_t s = RecordPlaneBytes(AWidth, AHeight);
  if (s < 0) return false;
  const std::uint8_t* data[3] = {APicture.data[0], APicture.data[1], APicture.data[2]};
  int linesize[3] = {APicture.linesize[0], APicture.linesize[1], APicture.linesize[2]};
  if (!PackedAsIs(AFormat)) {
    if (!convert(APicture, AFormat, AWidth, AHeight)) return false;
    const int cw = (AWidth + 1) / 2;
    data[0] = FConverted.data();
    data[1] = data[0] + static_cast<std::int64_t>(AWidth) * AHeight;
    data[2] = data[1] + chromaBytes(AWidth, AHeight);
    linesize[0] = AWidth;
    linesize[1] = linesize[2] = cw;
  }
  if (!data[0] || !data[1] || !data[2]) return false;
  FRecord.resize(static_cast<std::size_t>(s + kRecordHeaderBytes));
  PackRecord(data, linesize, AWidth, AHeight, APTS, FRecord.data());
  return true;
}

// Into tightly packed yuv420p planes in FConverted.
bool TRecordPacker::convert(const PicturePlanes& APicture, AVPixelFormat AFormat, int AWidth,
                            int AHeight) {
  if (!ff::sws_getCachedContext || AFormat <= AV_PIX_FMT_NONE ||
      ff::sws_isSupportedInput(AFormat) <= 0)
    return false;
  FSws.reset(ff::sws_getCachedContext(FSws.release(), AWidth, AHeight, AFormat, AWidth, AHeight,
                                      AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!FSws) return false;
  FConverted.resize(static_cast<std::size_t>(RecordPlaneBytes(AWidth, AHeight)));
  std::uint8_t* dst[4] = {FConverted.data(), nullptr, nullptr, nullptr};
  dst[1] = dst[0] + static_cast<std::int64_t>(AWidth) * AHeight;
  dst[2] = dst[1] + chromaBytes(AWidth, AHeight);
  const int cw = (AWidth + 1) / 2;
  const int dstLines[4] = {AWidth, cw, cw, 0};
  return ff::sws_scale(FSws.get(), APicture.data, APicture.linesize, 0, AHeight, dst, dstLines) ==
         AHeight;
}

void TRecordPacker::Release() {
  std::vector<std::uint8_t>().swap(FRecord);
  std::vector<std::uint8_t>().swap(FConverted);
  FSws.reset();
}

}  // namespace corvane
