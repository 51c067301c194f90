#include "engine/FormatConvert.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "platform/Format.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/MyUtils.h"
#include "runtime/SwScaleStubs.h"

namespace FormatConvert {

namespace {

using Platform::TPixelFormat;

struct TDepth {
  int FRequested;
  TPixelFormat FPixelFormat;
  int FBitsPixel;
  AVPixelFormat FPixFmt;
};

// The packed picture has exactly the bitmap's pixel layout (see platform/Bitmap.h):
// 15 and 16 bits keep red in the high bits of the little-endian word.
constexpr TDepth CDepths[] = {
    {8, TPixelFormat::pf8bit, 8, AV_PIX_FMT_BGR8},
    {15, TPixelFormat::pf15bit, 16, AV_PIX_FMT_RGB555LE},
    {16, TPixelFormat::pf16bit, 16, AV_PIX_FMT_RGB565LE},
    {24, TPixelFormat::pf24bit, 24, AV_PIX_FMT_BGR24},
    {32, TPixelFormat::pf32bit, 32, AV_PIX_FMT_BGRA},
};

const TDepth* FindDepth(TPixelFormat AFormat) {
  for (const TDepth& d : CDepths)
    if (d.FPixelFormat == AFormat) return &d;
  return nullptr;
}

const TDepth* FindDepth(int ARequested) {
  for (const TDepth& d : CDepths)
    if (d.FRequested == ARequested) return &d;
  return nullptr;
}

// Pictures whose samples are luma and chroma (or luma alone): they have a colour
// matrix and a range.
bool IsYUVOrGray(AVPixelFormat AFormat) {
  const AVPixFmtDescriptor* d = AVUtilStubs::av_pix_fmt_desc_get(AFormat);
  return d && !(d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BAYER |
                            AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_XYZ));
}

// The formats that are full range by their name.
bool IsJPEGFormat(AVPixelFormat AFormat) {
  return AFormat == AV_PIX_FMT_YUVJ420P || AFormat == AV_PIX_FMT_YUVJ422P ||
         AFormat == AV_PIX_FMT_YUVJ444P || AFormat == AV_PIX_FMT_YUVJ440P ||
         AFormat == AV_PIX_FMT_YUVJ411P;
}

// libswscale reads and writes packed rows in chunks of several pixels, so the last row
// may be touched a little beyond its end: the packed picture gets room behind it.
constexpr size_t CPadding = 1024;

}  // namespace

TFormatConverter::TFormatConverter() {
  FPixelFormat = TPixelFormat::pf32bit;
  FBitmap = new Platform::TBitmap();
  ResetPicture();
  FScaleFlags = 4;  // SWS_BICUBIC
}

TFormatConverter::~TFormatConverter() {
  using AVUtilStubs::av_free;
  using SwScaleStubs::sws_freeContext;
  delete FBitmap;
  if (FBuffer) av_free(FBuffer);
  if (FToRGBContext) sws_freeContext(FToRGBContext);
  if (FFromRGBContext) sws_freeContext(FFromRGBContext);
}

void TFormatConverter::ResetPicture() {
  FBitmapInfo = BITMAP{};
  FPicture = TAVPicture{};
  FAttached = nullptr;
  const TDepth* depth = FindDepth(FPixelFormat);
  FBitsPixel = depth->FBitsPixel;
  FPixFmt = depth->FPixFmt;
  FBitmap->SetPixelFormat(FPixelFormat);
  if (FPixelFormat == TPixelFormat::pf32bit)
    FBitmap->SetAlphaFormat(Platform::TAlphaFormat::afDefined);
}

void TFormatConverter::SetBitsPixel(int ABitsPixel) {
  // 15 and 16 both give 16 bits per pixel: compare with what was asked last time
  if (ABitsPixel == FRequestedBitsPixel) return;
  const TDepth* depth = FindDepth(ABitsPixel);
  if (!depth) throw Platform::Exception(Platform::Format("Invalid BitsPixel %d", ABitsPixel));
  FRequestedBitsPixel = ABitsPixel;
  FPixelFormat = depth->FPixelFormat;
  ResetPicture();
}

bool TFormatConverter::ToRGB(const std::uint8_t* const AData[], const int ALineSize[],
                             bool ACopyToBitmap, int AHeight, int AWidth,
                             AVPixelFormat ASrcFmt, AVColorSpace AColorSpace,
                             AVColorRange AColorRange) {
  using AVUtilStubs::av_free;
  using AVUtilStubs::av_malloc;
  using SwScaleStubs::sws_getCachedContext;
  using SwScaleStubs::sws_isSupportedInput;
  using SwScaleStubs::sws_scale;

  FBitmap->SetSize(AWidth, AHeight);

  const int size = FFUtils::avpicture_get_size(FPixFmt, AWidth, AHeight);
  SwsContext* context = nullptr;
  // libswscale aborts the process on a format it does not know: ask it first
  if (size > 0 && sws_isSupportedInput(ASrcFmt)) {
    context = sws_getCachedContext(FToRGBContext, AWidth, AHeight, ASrcFmt, AWidth, AHeight,
                                   FPixFmt, FScaleFlags, nullptr, nullptr, nullptr);
    // the cached context was freed when another one was made in its place
    FToRGBContext = context;
  }
  if (!context) {
    FAttached = nullptr;
    FLastErrMsg = "Cannot initialize the toRGB conversion context";
    return false;
  }
  // Set on every call: a cached context keeps what the previous picture asked for.
  if (IsYUVOrGray(ASrcFmt)) {
    using SwScaleStubs::sws_getCoefficients;
    const bool full = AColorRange == AVCOL_RANGE_JPEG || IsJPEGFormat(ASrcFmt);
    const int space = AColorSpace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : AColorSpace;
    SwScaleStubs::sws_setColorspaceDetails(FToRGBContext, sws_getCoefficients(space), full ? 1 : 0,
                                           sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
  }

  if (FBuffer && FBufferSize < size) {
    av_free(FBuffer);
    FBuffer = nullptr;
    FBufferSize = 0;
  }
  if (!FBuffer) {
    FBuffer = static_cast<std::uint8_t*>(av_malloc(static_cast<size_t>(size) + CPadding));
    if (!FBuffer) {
      FAttached = nullptr;
      FLastErrMsg = "Out of memory";
      return false;
    }
    FBufferSize = size;
  }
  FFUtils::avpicture_fill(&FPicture, FBuffer, FPixFmt, AWidth, AHeight);

  sws_scale(FToRGBContext, AData, ALineSize, 0, AHeight, FPicture.data, FPicture.linesize);

  FAttached = &FPicture;
  FBitmapInfo.bmType = 0;
  FBitmapInfo.bmWidth = AWidth;
  FBitmapInfo.bmHeight = AHeight;
  FBitmapInfo.bmWidthBytes = FPicture.linesize[0];
  FBitmapInfo.bmPlanes = 1;
  FBitmapInfo.bmBitsPixel = static_cast<std::uint16_t>(FBitsPixel);
  FBitmapInfo.bmBits = FPicture.data[0];

  if (ACopyToBitmap) PictureToBitmap();
  return true;
}

void TFormatConverter::FetchScanLine() {
  FScanLine = FBitmap->Height() > 0 ? FBitmap->ScanLine(0) : nullptr;
}

// Both directions copy row by row, each side with its own stride: the bitmap's rows
// are padded to 4 bytes, the packed picture's are not. A handler may have resized the
// bitmap meanwhile, so only what both sides hold is copied.
void TFormatConverter::PictureToBitmap() {
  Platform::Check(FAttached != nullptr, "FormatConvert", 377);
  MyUtils::MySynchronize(Platform::TThreadMethod::Bind<&TFormatConverter::FetchScanLine>(this));
  if (!FScanLine) return;
  const int rows = std::min(FBitmap->Height(), FBitmapInfo.bmHeight);
  const size_t bytes = static_cast<size_t>(std::min(FBitmap->RowBytes(), FPicture.linesize[0]));
  const std::ptrdiff_t stride = FBitmap->Stride();
  AVUtilStubs::av_image_copy_plane(FScanLine, static_cast<int>(stride), FPicture.data[0],
                                   FPicture.linesize[0], static_cast<int>(bytes), rows);
}

void TFormatConverter::BitmapToPicture() {
  Platform::Check(FAttached != nullptr, "FormatConvert", 460);
  MyUtils::MySynchronize(Platform::TThreadMethod::Bind<&TFormatConverter::FetchScanLine>(this));
  if (!FScanLine) return;
  const int rows = std::min(FBitmap->Height(), FBitmapInfo.bmHeight);
  const size_t bytes = static_cast<size_t>(std::min(FBitmap->RowBytes(), FPicture.linesize[0]));
  const std::ptrdiff_t stride = FBitmap->Stride();
  AVUtilStubs::av_image_copy_plane(FPicture.data[0], FPicture.linesize[0], FScanLine,
                                   static_cast<int>(stride), static_cast<int>(bytes), rows);
}

bool TFormatConverter::FromRGB(std::uint8_t* const AData[], const int ALineSize[], int AHeight,
                               int AWidth, AVPixelFormat ADstFmt) {
  using SwScaleStubs::sws_getCachedContext;
  using SwScaleStubs::sws_isSupportedOutput;
  using SwScaleStubs::sws_scale;
  // the packed picture is read whole: it must be the size that is asked for
  Platform::Check(FAttached != nullptr && AWidth == FBitmapInfo.bmWidth &&
                      AHeight == FBitmapInfo.bmHeight,
                  "FormatConvert", 519);
  SwsContext* context = nullptr;
  if (sws_isSupportedOutput(ADstFmt)) {
    context = sws_getCachedContext(FFromRGBContext, AWidth, AHeight, FPixFmt, AWidth, AHeight,
                                   ADstFmt, FScaleFlags, nullptr, nullptr, nullptr);
    FFromRGBContext = context;
  }
  if (!context) {
    FLastErrMsg = "Cannot initialize the fromRGB conversion context";
    return false;
  }
  sws_scale(FFromRGBContext, FPicture.data, FPicture.linesize, 0, AHeight, AData, ALineSize);
  return true;
}

}  // namespace FormatConvert
