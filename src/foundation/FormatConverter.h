// Conversion between pictures of any pixel format and a packed RGB picture in
// one of the bitmap formats, with copies between that picture and a Bitmap.
//
// The RGB picture lives in a buffer of the converter (rows packed without
// padding); the bitmap pads its rows to 4 bytes, so min(row, stride) bytes
// are copied per row. Scaler contexts and the buffer are reused across calls;
// only a larger picture reallocates the buffer.
//
// Failures of a conversion return false and set LastErrMsg. Invalid settings
// throw EFormatConverterError and keep the previous format. Copies and
// conversions from the RGB picture while none is present are misuse
// (EAssertionFailed). Conversions need avutil and swscale loaded
// (ELibraryError otherwise).
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "foundation/Bitmap.h"
#include "foundation/api/avutil.h"
#include "foundation/api/swscale.h"

namespace corvane {

class EFormatConverterError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Plane pointers and line sizes of a picture; the RGB picture uses plane 0.
struct PicturePlanes {
  std::uint8_t* data[8] = {};
  int linesize[8] = {};
};

class TFormatConverter {
 public:
  TFormatConverter();
  ~TFormatConverter();
  TFormatConverter(const TFormatConverter&) = delete;
  TFormatConverter& operator=(const TFormatConverter&) = delete;

  // Converts an AWidth x AHeight picture into the RGB picture and sizes the
  // bitmap to match; with ACopyToBitmap also copies it into the bitmap. On
  // failure (invalid size, no memory, a conversion the scaler refuses) the RGB
  // picture is absent afterwards.
  bool PictureToRGB(const std::uint8_t* const AData[], const int ALinesize[],
                    AVPixelFormat ASrcFormat, int AWidth, int AHeight, bool ACopyToBitmap);
  // Gives the bitmap the RGB picture's size and format, then copies it in.
  void RGBToBitmap();
  // Copies the bitmap into the RGB picture. Returns false, copying nothing,
  // when the bitmap no longer has the picture's size and format.
  bool BitmapToRGB();
  // Scales the whole RGB picture, at its own size, into an AWidth x AHeight
  // picture of ADstFormat.
  bool RGBToPicture(std::uint8_t* const AData[], const int ALinesize[], AVPixelFormat ADstFormat,
                    int AWidth, int AHeight);

  // 8, 16 (for both 15- and 16-bit formats), 24 or 32.
  int BitsPixel() const { return FBitsPixel; }
  // 8, 15, 16, 24 or 32 select a format; anything else throws.
  void SetBitsPixel(int AValue);
  BmpFormat BMPPixFmt() const { return FBMPPixFmt; }
  void SetBMPPixFmt(BmpFormat AValue);
  AVPixelFormat AVPixFmt() const { return FAVPixFmt; }

  corvane::Bitmap& Bitmap() { return FBitmap; }
  const corvane::Bitmap& Bitmap() const { return FBitmap; }
  const DibInfo& DIB() const { return FDIB; }
  const PicturePlanes& RGBPicture() const { return FRGBPicture; }
  // Null until a conversion to RGB succeeds, and after a format change.
  const PicturePlanes* RGBPictureRef() const { return FRGBPictureRef; }
  int RGBBufSize() const { return FRGBBufSize; }
  int sws_flags() const { return Fsws_flags; }
  void Setsws_flags(int AValue) { Fsws_flags = AValue; }
  const std::string& LastErrMsg() const { return FLastErrMsg; }

 private:
  // A converter may outlive the libraries' last unload: then nothing is freed.
  struct AvFree {
    void operator()(std::uint8_t* p) const {
      if (ff::av_free) ff::av_free(p);
    }
  };
  struct SwsFree {
    void operator()(SwsContext* c) const {
      if (ff::sws_freeContext) ff::sws_freeContext(c);
    }
  };

  void resetFormat();
  void clearPicture();
  bool fail(std::string AMessage);
  bool bitmapMatches() const;

  AVPixelFormat FAVPixFmt = AV_PIX_FMT_BGRA;
  int FBitsPixel = 32;
  corvane::Bitmap FBitmap;
  BmpFormat FBMPPixFmt = BmpFormat::pf32bit;
  DibInfo FDIB;
  std::unique_ptr<std::uint8_t, AvFree> FRGBBuffer;
  int FRGBBufSize = 0;
  PicturePlanes FRGBPicture;
  const PicturePlanes* FRGBPictureRef = nullptr;
  int Fsws_flags = SWS_BICUBIC;
  std::unique_ptr<SwsContext, SwsFree> FtoRGB_convert_ctx;
  std::unique_ptr<SwsContext, SwsFree> FfromRGB_convert_ctx;
  std::string FLastErrMsg;
};

}  // namespace corvane
