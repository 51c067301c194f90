// A TBitmap seen as a QImage, for GUI hosts: no pixels are copied.
#pragma once
#include <QImage>

#include "platform/Bitmap.h"

namespace Platform {

// The image paints and reads the bitmap's own memory, so it is valid only while the
// bitmap lives and keeps its size and pixel format. An empty bitmap gives a null image.
// The QImage format by pixel format: pf8bit Indexed8 with the bitmap's palette,
// pf15bit RGB555, pf16bit RGB16, pf24bit BGR888, pf32bit ARGB32 with afDefined and
// RGB32 otherwise.
QImage BitmapAsImage(TBitmap& ABitmap);

}  // namespace Platform
