// Conversion of decoded pictures into host bitmaps and back, through libswscale.
//
// ToRGB converts a picture of any pixel format into a packed picture that has the
// bitmap's own pixel layout, and (when asked) copies it into the bitmap; a host
// handler may then look at the bitmap or paint on it. BitmapToPicture and FromRGB
// carry the bitmap back into a picture of the source format. The scaling contexts of
// both directions are cached between calls. One thread at a time uses a converter.
#pragma once
#include <cstdint>
#include <string>

#include "platform/Bitmap.h"
#include "runtime/FFUtils.h"

struct SwsContext;

namespace FormatConvert {

using FFUtils::PAVPicture;
using FFUtils::TAVPicture;

// Describes the packed picture: type 0, size, bytes per line, 1 plane, bits per
// pixel and the address of its pixels.
struct BITMAP {
  int bmType;
  int bmWidth;
  int bmHeight;
  int bmWidthBytes;
  std::uint16_t bmPlanes;
  std::uint16_t bmBitsPixel;
  void* bmBits;
};

class TFormatConverter {
 public:
  TFormatConverter();
  ~TFormatConverter();
  TFormatConverter(const TFormatConverter&) = delete;
  TFormatConverter& operator=(const TFormatConverter&) = delete;

  void ResetPicture();
  PAVPicture GetPicture() { return &FPicture; }
  // The packed picture while it holds a converted picture, else nullptr.
  PAVPicture Attached() const { return FAttached; }

  // Bits one pixel of the bitmap takes: 16 for both 15 and 16.
  int BitsPixel() const { return FBitsPixel; }
  // The layout asked for with SetBitsPixel (15 is 5-5-5, 16 is 5-6-5); 32 until then.
  // Another converter set to this value has the same bitmap layout.
  int RequestedBitsPixel() const { return FRequestedBitsPixel; }
  // 8, 15, 16, 24 or 32; any other value raises Platform::Exception
  // "Invalid BitsPixel %d".
  void SetBitsPixel(int ABitsPixel);
  AVPixelFormat PixFmt() const { return FPixFmt; }

  // A YUV or grey source is read with the matrix of AColorSpace (BT.601 when unspecified)
  // and in the range AColorRange (full for the yuvj formats whatever it says).
  bool ToRGB(const std::uint8_t* const AData[], const int ALineSize[], bool ACopyToBitmap,
             int AHeight, int AWidth, AVPixelFormat ASrcFmt,
             AVColorSpace AColorSpace = AVCOL_SPC_UNSPECIFIED,
             AVColorRange AColorRange = AVCOL_RANGE_UNSPECIFIED);
  void PictureToBitmap();
  void BitmapToPicture();
  bool FromRGB(std::uint8_t* const AData[], const int ALineSize[], int AHeight, int AWidth,
               AVPixelFormat ADstFmt);

  Platform::TBitmap* Bitmap() { return FBitmap; }
  const BITMAP& BitmapInfo() const { return FBitmapInfo; }
  int BufferSize() const { return FBufferSize; }
  const std::string& LastErrMsg() const { return FLastErrMsg; }

 private:
  void FetchScanLine();

  AVPixelFormat FPixFmt = AV_PIX_FMT_BGRA;
  int FBitsPixel = 32;
  Platform::TBitmap* FBitmap = nullptr;
  std::uint8_t* FScanLine = nullptr;
  Platform::TPixelFormat FPixelFormat = Platform::TPixelFormat::pf32bit;
  // The value last given to SetBitsPixel (15 and 16 share 16 bits per pixel).
  int FRequestedBitsPixel = 32;
  BITMAP FBitmapInfo{};
  std::uint8_t* FBuffer = nullptr;
  int FBufferSize = 0;
  TAVPicture FPicture{};
  PAVPicture FAttached = nullptr;
  int FScaleFlags = 4;
  SwsContext* FToRGBContext = nullptr;
  SwsContext* FFromRGBContext = nullptr;
  std::string FLastErrMsg;
};

}  // namespace FormatConvert
