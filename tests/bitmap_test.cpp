// The platform bitmap: row layout, and its pixels seen through the QImage adapter.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <cstring>

#include "platform/Bitmap.h"
#include "platform/Exception.h"
#include "platform/gui/BitmapImage.h"

namespace {

using Platform::TAlphaFormat;
using Platform::TBitmap;
using Platform::TPixelFormat;

TEST(Bitmap, RowsArePaddedToFourBytes) {
  struct TCase {
    TPixelFormat Format;
    int Width;
    int Stride;
    int RowBytes;
  };
  const TCase cases[] = {
      {TPixelFormat::pf8bit, 318, 320, 318},  {TPixelFormat::pf8bit, 320, 320, 320},
      {TPixelFormat::pf15bit, 317, 636, 634}, {TPixelFormat::pf16bit, 318, 636, 636},
      {TPixelFormat::pf24bit, 318, 956, 954}, {TPixelFormat::pf24bit, 1, 4, 3},
      {TPixelFormat::pf32bit, 318, 1272, 1272},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "bits " << TBitmap::BitsPerPixel(c.Format)
                                      << " width " << c.Width);
    TBitmap bitmap;
    bitmap.SetPixelFormat(c.Format);
    bitmap.SetSize(c.Width, 3);
    EXPECT_EQ(bitmap.Stride(), c.Stride);
    EXPECT_EQ(bitmap.RowBytes(), c.RowBytes);
    EXPECT_EQ(bitmap.ScanLine(1) - bitmap.ScanLine(0), c.Stride);
    EXPECT_EQ(bitmap.ScanLine(2) - bitmap.ScanLine(1), c.Stride);
    // every byte of the last row is there
    std::memset(bitmap.ScanLine(2), 0xAB, static_cast<size_t>(c.Stride));
  }
}

TEST(Bitmap, ScanLineOutsideTheRowsIsRefused) {
  TBitmap bitmap;
  EXPECT_THROW(bitmap.ScanLine(0), Platform::Exception);
  bitmap.SetSize(4, 2);
  EXPECT_THROW(bitmap.ScanLine(-1), Platform::Exception);
  EXPECT_THROW(bitmap.ScanLine(2), Platform::Exception);
  try {
    bitmap.ScanLine(2);
  } catch (const Platform::Exception& e) {
    EXPECT_EQ(e.Message(), "Scan line index out of range");
  }
  bitmap.SetSize(-5, 2);
  EXPECT_EQ(bitmap.Width(), 0);
}

// A pixel written in the bitmap's own layout reads back as that colour through the
// adapter, at every depth, without a copy of the pixels.
TEST(Bitmap, QImageAdapterShowsTheBitmapsColours) {
  struct TCase {
    TPixelFormat Format;
    TAlphaFormat Alpha;
    std::uint32_t Red, Green, Blue;  // the pixel values of pure red, green and blue
  };
  const TCase cases[] = {
      {TPixelFormat::pf8bit, TAlphaFormat::afIgnored, 0x07, 0x38, 0xC0},
      {TPixelFormat::pf15bit, TAlphaFormat::afIgnored, 0x7C00, 0x03E0, 0x001F},
      {TPixelFormat::pf16bit, TAlphaFormat::afIgnored, 0xF800, 0x07E0, 0x001F},
      {TPixelFormat::pf24bit, TAlphaFormat::afIgnored, 0xFF0000, 0x00FF00, 0x0000FF},
      {TPixelFormat::pf32bit, TAlphaFormat::afIgnored, 0x00FF0000, 0x0000FF00, 0x000000FF},
      {TPixelFormat::pf32bit, TAlphaFormat::afDefined, 0xFFFF0000, 0xFF00FF00, 0xFF0000FF},
  };
  for (const TCase& c : cases) {
    const int bits = TBitmap::BitsPerPixel(c.Format);
    SCOPED_TRACE(::testing::Message() << "pixel format " << static_cast<int>(c.Format));
    TBitmap bitmap;
    bitmap.SetPixelFormat(c.Format);
    bitmap.SetAlphaFormat(c.Alpha);
    bitmap.SetSize(5, 3);
    const std::uint32_t values[3] = {c.Red, c.Green, c.Blue};
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) {
        // little-endian: the low byte first
        std::uint8_t* p = bitmap.ScanLine(y) + x * (bits / 8);
        for (int b = 0; b < bits / 8; ++b) p[b] = static_cast<std::uint8_t>(values[y] >> (8 * b));
      }
    QImage image = Platform::BitmapAsImage(bitmap);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.constBits(), bitmap.ScanLine(0));
    EXPECT_EQ(image.bytesPerLine(), bitmap.Stride());
    const QColor expected[3] = {QColor(255, 0, 0), QColor(0, 255, 0), QColor(0, 0, 255)};
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) {
        const QColor got = image.pixelColor(x, y);
        EXPECT_EQ(got.red(), expected[y].red()) << x << "," << y;
        EXPECT_EQ(got.green(), expected[y].green()) << x << "," << y;
        EXPECT_EQ(got.blue(), expected[y].blue()) << x << "," << y;
        EXPECT_EQ(got.alpha(), 255);
      }
  }
}

TEST(Bitmap, PaintingThroughTheAdapterWritesTheBitmap) {
  TBitmap bitmap;
  bitmap.SetPixelFormat(TPixelFormat::pf24bit);
  bitmap.SetSize(7, 2);
  QImage image = Platform::BitmapAsImage(bitmap);
  image.setPixelColor(6, 1, QColor(10, 20, 30));
  const std::uint8_t* p = bitmap.ScanLine(1) + 6 * 3;
  EXPECT_EQ(p[0], 30);
  EXPECT_EQ(p[1], 20);
  EXPECT_EQ(p[2], 10);
  TBitmap empty;
  EXPECT_TRUE(Platform::BitmapAsImage(empty).isNull());
}

}  // namespace
