#include "foundation/FormatConverter.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "foundation/Errors.h"
#include "foundation/FFLoader.h"
#include "foundation/StrFormat.h"

namespace corvane {
namespace {

constexpr TLibraries kConverterLibraries{avUtil, swScale};

}  // namespace

TFormatConverter::TFormatConverter() { resetFormat(); }

TFormatConverter::~TFormatConverter() = default;

void TFormatConverter::clearPicture() {
  FDIB = {};
  FRGBPicture = {};
  FRGBPictureRef = nullptr;
}

void TFormatConverter::resetFormat() {
  clearPicture();
  FBitsPixel = bmpBitsPerPixel(FBMPPixFmt);
  FAVPixFmt = bmpPixelFormat(FBMPPixFmt);
  FBitmap.setFormat(FBMPPixFmt);
  FBitmap.alpha_defined = FBitsPixel == 32;
}

bool TFormatConverter::fail(std::string AMessage) {
  FLastErrMsg = std::move(AMessage);
  return false;
}

void TFormatConverter::SetBitsPixel(int AValue) {
  BmpFormat f;
  switch (AValue) {
    case 8:
      f = BmpFormat::pf8bit;
      break;
    case 15:
      f = BmpFormat::pf15bit;
      break;
    case 16:
      f = BmpFormat::pf16bit;
      break;
    case 24:
      f = BmpFormat::pf24bit;
      break;
    case 32:
      f = BmpFormat::pf32bit;
      break;
    default:
      throw EFormatConverterError(strprintf("Invalid BitsPixel %d", AValue));
  }
  SetBMPPixFmt(f);
}

void TFormatConverter::SetBMPPixFmt(BmpFormat AValue) {
  if (AValue == FBMPPixFmt) return;
  if (!isValidBmpFormat(AValue))
    throw EFormatConverterError(strprintf("Invalid PixelFormat %d", static_cast<int>(AValue)));
  FBMPPixFmt = AValue;
  resetFormat();
}

bool TFormatConverter::PictureToRGB(const std::uint8_t* const AData[], const int ALinesize[],
                                    AVPixelFormat ASrcFormat, int AWidth, int AHeight,
                                    bool ACopyToBitmap) {
  FFLoader().CheckLibAV(kConverterLibraries);
  // The buffer may move below: the old picture is gone from here on.
  clearPicture();
  const int size = AWidth > 0 && AHeight > 0
                       ? ff::av_image_get_buffer_size(FAVPixFmt, AWidth, AHeight, 1)
                       : AVERROR(EINVAL);
  if (size < 0) return fail(strprintf("Invalid picture size %dx%d", AWidth, AHeight));

  if (!FRGBBuffer || FRGBBufSize < size) {
    std::unique_ptr<std::uint8_t, AvFree> buffer(
        static_cast<std::uint8_t*>(ff::av_malloc(static_cast<size_t>(size))));
    if (!buffer) return fail(strprintf("Cannot allocate %d bytes for the RGB picture", size));
    FRGBBuffer = std::move(buffer);
    FRGBBufSize = size;
  }
  try {
    FBitmap.setSize(AWidth, AHeight);
  } catch (const std::bad_alloc&) {
    return fail(strprintf("Cannot allocate a bitmap of %dx%d", AWidth, AHeight));
  }
  if (ff::av_image_fill_arrays(FRGBPicture.data, FRGBPicture.linesize, FRGBBuffer.get(), FAVPixFmt,
                               AWidth, AHeight, 1) < 0) {
    FRGBPicture = {};
    return fail(strprintf("Invalid picture size %dx%d", AWidth, AHeight));
  }

  // The scaler aborts on formats it does not know.
  if (ff::sws_isSupportedInput(ASrcFormat) > 0)
    FtoRGB_convert_ctx.reset(ff::sws_getCachedContext(FtoRGB_convert_ctx.release(), AWidth, AHeight,
                                                      ASrcFormat, AWidth, AHeight, FAVPixFmt,
                                                      Fsws_flags, nullptr, nullptr, nullptr));
  else
    FtoRGB_convert_ctx.reset();
  if (!FtoRGB_convert_ctx) {
    FRGBPicture = {};
    return fail("Cannot initialize the toRGB conversion context");
  }
  if (ff::sws_scale(FtoRGB_convert_ctx.get(), AData, ALinesize, 0, AHeight, FRGBPicture.data,
                    FRGBPicture.linesize) < 0) {
    FRGBPicture = {};
    return fail("Cannot convert the picture to RGB");
  }

  FRGBPictureRef = &FRGBPicture;
  FDIB = {.type = 0,
          .width = AWidth,
          .height = AHeight,
          .bytesPerRow = FRGBPicture.linesize[0],
          .planes = 1,
          .bitsPerPixel = static_cast<std::int16_t>(FBitsPixel),
          .bits = FRGBPicture.data[0]};
  if (ACopyToBitmap) RGBToBitmap();
  return true;
}

void TFormatConverter::RGBToBitmap() {
  CORVANE_ASSERT(FRGBPictureRef, "RGBToBitmap without an RGB picture");
  FBitmap.setFormat(FBMPPixFmt);
  FBitmap.setSize(FDIB.width, FDIB.height);
  FBitmap.alpha_defined = FBitsPixel == 32;
  const int line = FRGBPicture.linesize[0];
  const auto n = static_cast<size_t>(std::min(line, FBitmap.stride));
  const std::uint8_t* src = FRGBPicture.data[0];
  for (int y = 0; y < FDIB.height; ++y, src += line) std::memcpy(FBitmap.row(y), src, n);
}

bool TFormatConverter::bitmapMatches() const {
  return FBitmap.width == FDIB.width && FBitmap.height == FDIB.height &&
         FBitmap.format == FBMPPixFmt && FBitmap.consistent();
}

bool TFormatConverter::BitmapToRGB() {
  CORVANE_ASSERT(FRGBPictureRef, "BitmapToRGB without an RGB picture");
  if (!bitmapMatches())
    return fail(
        strprintf("The bitmap (%dx%d, format %d) does not match the RGB picture (%dx%d, "
                  "format %d)",
                  FBitmap.width, FBitmap.height, static_cast<int>(FBitmap.format), FDIB.width,
                  FDIB.height, static_cast<int>(FBMPPixFmt)));
  const int line = FRGBPicture.linesize[0];
  const auto n = static_cast<size_t>(std::min(line, FBitmap.stride));
  std::uint8_t* dst = FRGBPicture.data[0];
  for (int y = 0; y < FDIB.height; ++y, dst += line) std::memcpy(dst, FBitmap.row(y), n);
  return true;
}

bool TFormatConverter::RGBToPicture(std::uint8_t* const AData[], const int ALinesize[],
                                    AVPixelFormat ADstFormat, int AWidth, int AHeight) {
  CORVANE_ASSERT(FRGBPictureRef, "RGBToPicture without an RGB picture");
  FFLoader().CheckLibAV(kConverterLibraries);
  if (AWidth <= 0 || AHeight <= 0)
    return fail(strprintf("Invalid picture size %dx%d", AWidth, AHeight));
  if (ff::sws_isSupportedOutput(ADstFormat) > 0)
    FfromRGB_convert_ctx.reset(ff::sws_getCachedContext(
        FfromRGB_convert_ctx.release(), FDIB.width, FDIB.height, FAVPixFmt, AWidth, AHeight,
        ADstFormat, Fsws_flags, nullptr, nullptr, nullptr));
  else
    FfromRGB_convert_ctx.reset();
  if (!FfromRGB_convert_ctx) return fail("Cannot initialize the fromRGB conversion context");
  if (ff::sws_scale(FfromRGB_convert_ctx.get(), FRGBPicture.data, FRGBPicture.linesize, 0,
                    FDIB.height, AData, ALinesize) < 0)
    return fail("Cannot convert the RGB picture");
  return true;
}

}  // namespace corvane
