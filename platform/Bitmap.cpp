#include "platform/Bitmap.h"

#include "platform/Exception.h"

namespace Platform {

namespace {

std::array<std::uint32_t, 256> MakePalette() {
  std::array<std::uint32_t, 256> palette{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    const std::uint32_t r = ((i & 7) * 255 + 3) / 7;
    const std::uint32_t g = (((i >> 3) & 7) * 255 + 3) / 7;
    const std::uint32_t b = (i >> 6) * 255 / 3;
    palette[i] = 0xFF000000u | (r << 16) | (g << 8) | b;
  }
  return palette;
}

}  // namespace

int TBitmap::BitsPerPixel(TPixelFormat AFormat) {
  switch (AFormat) {
    case TPixelFormat::pf8bit: return 8;
    case TPixelFormat::pf15bit:
    case TPixelFormat::pf16bit: return 16;
    case TPixelFormat::pf24bit: return 24;
    case TPixelFormat::pf32bit: return 32;
  }
  return 32;
}

void TBitmap::SetSize(int AWidth, int AHeight) {
  if (AWidth < 0) AWidth = 0;
  if (AHeight < 0) AHeight = 0;
  if (AWidth == FWidth && AHeight == FHeight) return;
  FWidth = AWidth;
  FHeight = AHeight;
  Allocate();
}

void TBitmap::SetPixelFormat(TPixelFormat AValue) {
  if (AValue == FPixelFormat) return;
  FPixelFormat = AValue;
  Allocate();
}

void TBitmap::Allocate() {
  const std::int64_t rowBits = static_cast<std::int64_t>(FWidth) * BitsPerPixel();
  const std::int64_t stride = (rowBits + 31) / 32 * 4;
  if (stride > INT32_MAX) throw Exception("Bitmap too large");
  FStride = static_cast<int>(stride);
  FBits.assign(static_cast<std::size_t>(stride * FHeight), 0);
  FBits.shrink_to_fit();
}

std::uint8_t* TBitmap::ScanLine(int ARow) {
  if (ARow < 0 || ARow >= FHeight) throw Exception("Scan line index out of range");
  return FBits.data() + static_cast<std::size_t>(ARow) * static_cast<std::size_t>(FStride);
}

const std::uint8_t* TBitmap::ScanLine(int ARow) const {
  return const_cast<TBitmap*>(this)->ScanLine(ARow);
}

const std::array<std::uint32_t, 256>& TBitmap::Palette() {
  static const std::array<std::uint32_t, 256> palette = MakePalette();
  return palette;
}

}  // namespace Platform
