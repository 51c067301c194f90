// The picture format converter: decoded pictures into bitmaps of every depth and back.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "TestLibraries.h"
#include "engine/FormatConvert.h"
#include "platform/Dispatcher.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/gui/BitmapImage.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFPtr.h"
#include "runtime/SwScaleStubs.h"
#include "MainThreadPump.h"

namespace {

using FormatConvert::TFormatConverter;
using Platform::TPixelFormat;

using PFrame = FFPtr::TFramePtr;

class FormatConvertTest : public ::testing::Test {
 protected:
  void SetUp() override { TestLibraries::RequireFFmpegLibraries(); }

  static PFrame NewFrame(int AWidth, int AHeight, AVPixelFormat AFormat) {
    PFrame frame(AVUtilStubs::av_frame_alloc());
    frame->width = AWidth;
    frame->height = AHeight;
    frame->format = AFormat;
    EXPECT_GE(AVUtilStubs::av_frame_get_buffer(frame.get(), 0), 0);
    return frame;
  }

  // The first picture of lavfi's testsrc2 pattern as YUV420P.
  static PFrame TestPicture(int AWidth, int AHeight) {
    using AVFilterStubs::av_buffersink_get_frame;
    using AVFilterStubs::avfilter_graph_alloc;
    using AVFilterStubs::avfilter_graph_config;
    using AVFilterStubs::avfilter_graph_free;
    using AVFilterStubs::avfilter_graph_get_filter;
    using AVFilterStubs::avfilter_graph_parse2;
    using AVFilterStubs::avfilter_inout_free;
    AVFilterGraph* graph = avfilter_graph_alloc();
    const std::string desc = Platform::Format(
        "testsrc2=size=%dx%d:rate=25,format=yuv420p,buffersink@out", AWidth, AHeight);
    AVFilterInOut* inputs = nullptr;
    AVFilterInOut* outputs = nullptr;
    PFrame frame(AVUtilStubs::av_frame_alloc());
    int ret = avfilter_graph_parse2(graph, desc.c_str(), &inputs, &outputs);
    if (ret >= 0) ret = avfilter_graph_config(graph, nullptr);
    if (ret >= 0) ret = av_buffersink_get_frame(avfilter_graph_get_filter(graph, "buffersink@out"),
                                                frame.get());
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    avfilter_graph_free(&graph);
    EXPECT_GE(ret, 0) << desc;
    return frame;
  }

  // A YUV420P picture of one colour (limited range).
  static PFrame PlainPicture(int AWidth, int AHeight, int AY, int AU, int AV) {
    PFrame frame = NewFrame(AWidth, AHeight, AV_PIX_FMT_YUV420P);
    const int values[3] = {AY, AU, AV};
    for (int plane = 0; plane < 3; ++plane) {
      const int rows = plane == 0 ? AHeight : (AHeight + 1) / 2;
      for (int y = 0; y < rows; ++y)
        std::memset(frame->data[plane] + y * frame->linesize[plane], values[plane],
                    static_cast<size_t>(frame->linesize[plane]));
    }
    return frame;
  }

  // The packed picture that a bare sws_scale makes of AFrame in AFormat (alignment 1).
  struct TPacked {
    std::uint8_t* data[4] = {};
    int linesize[4] = {};
    ~TPacked() { AVUtilStubs::av_freep(&data[0]); }
  };
  static void BareConvert(const AVFrame* AFrame, AVPixelFormat AFormat, TPacked& APacked) {
    using SwScaleStubs::sws_freeContext;
    using SwScaleStubs::sws_getContext;
    using SwScaleStubs::sws_scale;
    // swscale may write a little beyond the last packed row
    const int size =
        AVUtilStubs::av_image_get_buffer_size(AFormat, AFrame->width, AFrame->height, 1);
    ASSERT_GT(size, 0);
    auto* buffer = static_cast<std::uint8_t*>(AVUtilStubs::av_malloc(size + 1024));
    AVUtilStubs::av_image_fill_arrays(APacked.data, APacked.linesize, buffer, AFormat,
                                      AFrame->width, AFrame->height, 1);
    SwsContext* sws = sws_getContext(AFrame->width, AFrame->height,
                                     static_cast<AVPixelFormat>(AFrame->format), AFrame->width,
                                     AFrame->height, AFormat, SWS_BICUBIC, nullptr, nullptr,
                                     nullptr);
    ASSERT_NE(sws, nullptr);
    sws_scale(sws, AFrame->data, AFrame->linesize, 0, AFrame->height, APacked.data,
              APacked.linesize);
    sws_freeContext(sws);
  }

  static double MeanAbsDiff(const AVFrame* A, const AVFrame* B, int APlane) {
    const int w = APlane == 0 ? A->width : (A->width + 1) / 2;
    const int h = APlane == 0 ? A->height : (A->height + 1) / 2;
    double sum = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        sum += std::abs(A->data[APlane][y * A->linesize[APlane] + x] -
                        B->data[APlane][y * B->linesize[APlane] + x]);
    return sum / (w * h);
  }

  static std::string ErrorText(const std::exception& AError) { return AError.what(); }
};

constexpr int CDepths[] = {8, 15, 16, 24, 32};

TEST_F(FormatConvertTest, DepthsSelectTheBitmapLayout) {
  struct TCase {
    int Requested;
    int BitsPixel;
    TPixelFormat PixelFormat;
    AVPixelFormat PixFmt;
  };
  // in this order 16 follows 15: both have 16 bits per pixel, yet 16 must give 5-6-5
  const TCase cases[] = {
      {8, 8, TPixelFormat::pf8bit, AV_PIX_FMT_BGR8},
      {15, 16, TPixelFormat::pf15bit, AV_PIX_FMT_RGB555LE},
      {16, 16, TPixelFormat::pf16bit, AV_PIX_FMT_RGB565LE},
      {24, 24, TPixelFormat::pf24bit, AV_PIX_FMT_BGR24},
      {32, 32, TPixelFormat::pf32bit, AV_PIX_FMT_BGRA},
      {15, 16, TPixelFormat::pf15bit, AV_PIX_FMT_RGB555LE},
  };
  TFormatConverter converter;
  EXPECT_EQ(converter.BitsPixel(), 32);
  EXPECT_EQ(converter.PixFmt(), AV_PIX_FMT_BGRA);
  EXPECT_EQ(converter.Bitmap()->PixelFormat(), TPixelFormat::pf32bit);
  EXPECT_EQ(converter.Bitmap()->AlphaFormat(), Platform::TAlphaFormat::afDefined);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Requested);
    converter.SetBitsPixel(c.Requested);
    EXPECT_EQ(converter.BitsPixel(), c.BitsPixel);
    EXPECT_EQ(converter.PixFmt(), c.PixFmt);
    EXPECT_EQ(converter.Bitmap()->PixelFormat(), c.PixelFormat);
    EXPECT_EQ(converter.Bitmap()->BitsPerPixel(), c.BitsPixel);
  }

  try {
    converter.SetBitsPixel(12);
    ADD_FAILURE() << "12 bits per pixel accepted";
  } catch (const Platform::Exception& e) {
    EXPECT_EQ(ErrorText(e), "Invalid BitsPixel 12");
  }
  EXPECT_EQ(converter.PixFmt(), AV_PIX_FMT_RGB555LE);

  // asking again for the depth in use keeps the converted picture
  PFrame source = PlainPicture(16, 8, 81, 90, 240);
  ASSERT_TRUE(converter.ToRGB(source->data, source->linesize, false, 8, 16, AV_PIX_FMT_YUV420P));
  converter.SetBitsPixel(15);
  EXPECT_NE(converter.Attached(), nullptr);
  converter.SetBitsPixel(16);
  EXPECT_EQ(converter.Attached(), nullptr);
}

// Every depth, with rows of a multiple of 4 bytes (320) and not (318 at 8 and 24 bits):
// the bitmap holds exactly what swscale makes of the picture, row for row; the bitmap
// goes back into the packed picture unchanged, and from there into the source format.
TEST_F(FormatConvertTest, RoundTripThroughTheBitmapAtEveryDepth) {
  struct TTolerance {
    int Depth;
    double Luma, Chroma;  // mean absolute difference per sample
  };
  const TTolerance tolerances[] = {{8, 4, 4}, {15, 4.5, 4}, {16, 4, 4}, {24, 2, 1.5},
                                   {32, 1.5, 1.5}};
  for (const int width : {320, 318}) {
    const int height = 240;
    PFrame source = TestPicture(width, height);
    for (const TTolerance& t : tolerances) {
      SCOPED_TRACE(::testing::Message() << "width " << width << " depth " << t.Depth);
      TFormatConverter converter;
      converter.SetBitsPixel(t.Depth);
      ASSERT_TRUE(converter.ToRGB(source->data, source->linesize, true, height, width,
                                  AV_PIX_FMT_YUV420P))
          << converter.LastErrMsg();

      TPacked reference;
      BareConvert(source.get(), converter.PixFmt(), reference);
      Platform::TBitmap& bitmap = *converter.Bitmap();
      ASSERT_EQ(bitmap.Width(), width);
      ASSERT_EQ(bitmap.Height(), height);
      const FormatConvert::BITMAP& info = converter.BitmapInfo();
      EXPECT_EQ(info.bmWidth, width);
      EXPECT_EQ(info.bmHeight, height);
      EXPECT_EQ(info.bmBitsPixel, converter.BitsPixel());
      EXPECT_EQ(info.bmWidthBytes, reference.linesize[0]);
      EXPECT_EQ(info.bmBits, converter.GetPicture()->data[0]);
      const size_t rowBytes = static_cast<size_t>(reference.linesize[0]);
      ASSERT_EQ(static_cast<size_t>(bitmap.RowBytes()), rowBytes);
      int badRows = 0;
      for (int y = 0; y < height; ++y)
        if (std::memcmp(bitmap.ScanLine(y), reference.data[0] + y * rowBytes, rowBytes) != 0)
          ++badRows;
      EXPECT_EQ(badRows, 0) << "bitmap rows differ from the conversion";

      FormatConvert::PAVPicture picture = converter.GetPicture();
      std::memset(picture->data[0], 0, rowBytes * height);
      converter.BitmapToPicture();
      badRows = 0;
      for (int y = 0; y < height; ++y)
        if (std::memcmp(picture->data[0] + y * picture->linesize[0],
                        reference.data[0] + y * rowBytes, rowBytes) != 0)
          ++badRows;
      EXPECT_EQ(badRows, 0) << "picture rows differ after the copy back";

      PFrame back = NewFrame(width, height, AV_PIX_FMT_YUV420P);
      ASSERT_TRUE(converter.FromRGB(back->data, back->linesize, height, width,
                                    AV_PIX_FMT_YUV420P))
          << converter.LastErrMsg();
      EXPECT_LT(MeanAbsDiff(source.get(), back.get(), 0), t.Luma);
      EXPECT_LT(MeanAbsDiff(source.get(), back.get(), 1), t.Chroma);
      EXPECT_LT(MeanAbsDiff(source.get(), back.get(), 2), t.Chroma);
    }
  }
}

TEST_F(FormatConvertTest, PureRedReadsRedThroughTheQImageAdapter) {
  const int width = 318, height = 10;
  PFrame red = PlainPicture(width, height, 81, 90, 240);
  for (const int depth : CDepths) {
    SCOPED_TRACE(::testing::Message() << "depth " << depth);
    TFormatConverter converter;
    converter.SetBitsPixel(depth);
    ASSERT_TRUE(converter.ToRGB(red->data, red->linesize, true, height, width,
                                AV_PIX_FMT_YUV420P));
    QImage image = Platform::BitmapAsImage(*converter.Bitmap());
    ASSERT_EQ(image.width(), width);
    ASSERT_EQ(image.height(), height);
    int wrong = 0;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const QColor c = image.pixelColor(x, y);
        // 3:3:2 dithers the red of a YUV picture between its two highest steps
        if (c.red() < 200 || c.green() > 24 || c.blue() > 24 || c.alpha() != 255) {
          if (wrong++ == 0)
            ADD_FAILURE() << "pixel " << x << "," << y << " is " << c.red() << "," << c.green()
                          << "," << c.blue() << "," << c.alpha();
        }
      }
    EXPECT_EQ(wrong, 0);
  }
}

TEST_F(FormatConvertTest, BufferIsReusedForSmallerPicturesAndGrowsForLarger) {
  TFormatConverter converter;
  PFrame large = PlainPicture(320, 240, 128, 128, 128);
  PFrame small = PlainPicture(160, 120, 128, 128, 128);
  PFrame larger = PlainPicture(640, 480, 128, 128, 128);
  ASSERT_TRUE(converter.ToRGB(large->data, large->linesize, true, 240, 320, AV_PIX_FMT_YUV420P));
  const std::uint8_t* buffer = converter.GetPicture()->data[0];
  EXPECT_EQ(converter.BufferSize(), 320 * 240 * 4);
  ASSERT_TRUE(converter.ToRGB(small->data, small->linesize, true, 120, 160, AV_PIX_FMT_YUV420P));
  EXPECT_EQ(converter.GetPicture()->data[0], buffer);
  EXPECT_EQ(converter.BufferSize(), 320 * 240 * 4);
  EXPECT_EQ(converter.GetPicture()->linesize[0], 160 * 4);
  EXPECT_EQ(converter.Bitmap()->Width(), 160);
  ASSERT_TRUE(
      converter.ToRGB(larger->data, larger->linesize, true, 480, 640, AV_PIX_FMT_YUV420P));
  EXPECT_EQ(converter.BufferSize(), 640 * 480 * 4);
}

TEST_F(FormatConvertTest, CopiesWithoutAConvertedPictureFailTheAssertion) {
  struct TCase {
    const char* Name;
    void (*Call)(TFormatConverter&);
    const char* Message;
  };
  const TCase cases[] = {
      {"PictureToBitmap", [](TFormatConverter& c) { c.PictureToBitmap(); },
       "Assertion failure (FormatConvert, line 377)"},
      {"BitmapToPicture", [](TFormatConverter& c) { c.BitmapToPicture(); },
       "Assertion failure (FormatConvert, line 460)"},
      {"FromRGB",
       [](TFormatConverter& c) {
         std::uint8_t* data[4] = {};
         int lines[4] = {};
         c.FromRGB(data, lines, 2, 2, AV_PIX_FMT_YUV420P);
       },
       "Assertion failure (FormatConvert, line 519)"},
  };
  PFrame source = PlainPicture(16, 8, 81, 90, 240);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TFormatConverter fresh;
    try {
      c.Call(fresh);
      ADD_FAILURE() << "no assertion";
    } catch (const Platform::EAssertionFailed& e) {
      EXPECT_EQ(ErrorText(e), c.Message);
    }
    // a change of depth lets the converted picture go
    TFormatConverter reset;
    ASSERT_TRUE(reset.ToRGB(source->data, source->linesize, false, 8, 16, AV_PIX_FMT_YUV420P));
    reset.SetBitsPixel(24);
    EXPECT_THROW(c.Call(reset), Platform::EAssertionFailed);
  }
  // the picture going back must be the size of the converted one
  TFormatConverter converter;
  ASSERT_TRUE(converter.ToRGB(source->data, source->linesize, false, 8, 16, AV_PIX_FMT_YUV420P));
  PFrame bigger = NewFrame(32, 16, AV_PIX_FMT_YUV420P);
  EXPECT_THROW(converter.FromRGB(bigger->data, bigger->linesize, 16, 32, AV_PIX_FMT_YUV420P),
               Platform::EAssertionFailed);
}

TEST_F(FormatConvertTest, ConversionsThatCannotBeSetUpReportTheirText) {
  PFrame source = PlainPicture(16, 8, 81, 90, 240);
  struct TCase {
    const char* Name;
    int Width;
    AVPixelFormat Format;
  };
  const TCase cases[] = {{"no width", 0, AV_PIX_FMT_YUV420P},
                         {"no format", 16, AV_PIX_FMT_NONE},
                         {"hardware format", 16, AV_PIX_FMT_VAAPI}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TFormatConverter converter;
    ASSERT_TRUE(converter.ToRGB(source->data, source->linesize, true, 8, 16, AV_PIX_FMT_YUV420P));
    EXPECT_FALSE(converter.ToRGB(source->data, source->linesize, true, 8, c.Width, c.Format));
    EXPECT_EQ(converter.LastErrMsg(), "Cannot initialize the toRGB conversion context");
    EXPECT_EQ(converter.Attached(), nullptr);
  }
  TFormatConverter converter;
  ASSERT_TRUE(converter.ToRGB(source->data, source->linesize, true, 8, 16, AV_PIX_FMT_YUV420P));
  std::uint8_t* data[4] = {};
  int lines[4] = {};
  EXPECT_FALSE(converter.FromRGB(data, lines, 8, 16, AV_PIX_FMT_NONE));
  EXPECT_EQ(converter.LastErrMsg(), "Cannot initialize the fromRGB conversion context");
}

// A worker converts while the main thread keeps processing its queue: the bitmap's
// address is fetched there.
TEST_F(FormatConvertTest, ConvertsOnAWorkerThread) {
  PFrame source = TestPicture(318, 120);
  TFormatConverter converter;
  converter.SetBitsPixel(24);
  bool result = false;
  MainThreadPump::RunPumping([&] {
    result = converter.ToRGB(source->data, source->linesize, true, 120, 318, AV_PIX_FMT_YUV420P);
    if (result) converter.BitmapToPicture();
  });
  ASSERT_TRUE(result);
  TPacked reference;
  BareConvert(source.get(), AV_PIX_FMT_BGR24, reference);
  for (int y = 0; y < 120; ++y)
    ASSERT_EQ(std::memcmp(converter.Bitmap()->ScanLine(y), reference.data[0] + y * 318 * 3,
                          318 * 3),
              0)
        << "row " << y;
}

}  // namespace
