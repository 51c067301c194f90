#include "platform/gui/BitmapImage.h"

#include <QList>

namespace Platform {

namespace {

QImage::Format ImageFormat(const TBitmap& ABitmap) {
  switch (ABitmap.PixelFormat()) {
    case TPixelFormat::pf8bit: return QImage::Format_Indexed8;
    case TPixelFormat::pf15bit: return QImage::Format_RGB555;
    case TPixelFormat::pf16bit: return QImage::Format_RGB16;
    case TPixelFormat::pf24bit: return QImage::Format_BGR888;
    case TPixelFormat::pf32bit: break;
  }
  return ABitmap.AlphaFormat() == TAlphaFormat::afDefined ? QImage::Format_ARGB32
                                                           : QImage::Format_RGB32;
}

}  // namespace

QImage BitmapAsImage(TBitmap& ABitmap) {
  if (ABitmap.Width() == 0 || ABitmap.Height() == 0) return QImage();
  QImage image(ABitmap.ScanLine(0), ABitmap.Width(), ABitmap.Height(), ABitmap.Stride(),
               ImageFormat(ABitmap));
  if (ABitmap.PixelFormat() == TPixelFormat::pf8bit) {
    const auto& palette = TBitmap::Palette();
    image.setColorTable(QList<QRgb>(palette.begin(), palette.end()));
  }
  return image;
}

}  // namespace Platform
