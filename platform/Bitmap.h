// A device-independent bitmap: rows of pixels in memory, top row first.
//
// Each row starts at a multiple of 4 bytes (Stride), so a row may end with padding
// bytes that belong to no pixel. Pixel layouts, as they lie in memory:
//   pf8bit   one byte per pixel, an index into the 3:3:2 palette: bits 0-2 red,
//            bits 3-5 green, bits 6-7 blue
//   pf15bit  little-endian 16-bit words, bits 10-14 red, 5-9 green, 0-4 blue
//   pf16bit  little-endian 16-bit words, bits 11-15 red, 5-10 green, 0-4 blue
//   pf24bit  bytes blue, green, red
//   pf32bit  bytes blue, green, red, alpha (the alpha byte counts only with afDefined)
// Changing the size or the pixel format gives new memory, cleared to zero.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

namespace Platform {

enum class TPixelFormat { pf8bit, pf15bit, pf16bit, pf24bit, pf32bit };
enum class TAlphaFormat { afIgnored, afDefined };

class TBitmap {
 public:
  TBitmap() = default;
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  // Negative values count as 0.
  void SetSize(int AWidth, int AHeight);

  TPixelFormat PixelFormat() const { return FPixelFormat; }
  void SetPixelFormat(TPixelFormat AValue);
  TAlphaFormat AlphaFormat() const { return FAlphaFormat; }
  void SetAlphaFormat(TAlphaFormat AValue) { FAlphaFormat = AValue; }

  // Bits that one pixel takes in memory: 8, 16, 16, 24 or 32.
  int BitsPerPixel() const { return BitsPerPixel(FPixelFormat); }
  static int BitsPerPixel(TPixelFormat AFormat);
  // Bytes from one row to the next (a multiple of 4).
  int Stride() const { return FStride; }
  // Bytes of one row that hold pixels (Width * BitsPerPixel / 8).
  int RowBytes() const { return FWidth * (BitsPerPixel() / 8); }

  // The first byte of row ARow (0 is the top row); raises Exception
  // "Scan line index out of range" outside 0 .. Height - 1.
  std::uint8_t* ScanLine(int ARow);
  const std::uint8_t* ScanLine(int ARow) const;

  // The 256 colours of pf8bit as 0xAARRGGBB (alpha 0xFF).
  static const std::array<std::uint32_t, 256>& Palette();

 private:
  void Allocate();

  int FWidth = 0;
  int FHeight = 0;
  int FStride = 0;
  TPixelFormat FPixelFormat = TPixelFormat::pf32bit;
  TAlphaFormat FAlphaFormat = TAlphaFormat::afIgnored;
  std::vector<std::uint8_t> FBits;
};

}  // namespace Platform
