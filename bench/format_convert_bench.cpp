// The picture format converter against a bare libswscale conversion of the same kind:
// 1920x1080 YUV420P to the packed picture of every bitmap depth and back.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "BenchLibraries.h"
#include "engine/FormatConvert.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/SwScaleStubs.h"

namespace {

constexpr int CWidth = 1920;
constexpr int CHeight = 1080;

void LoadLibraries() {
  if (!BenchLibraries::Load()) std::exit(1);
  AVUtilStubs::av_log_set_level(AV_LOG_ERROR);
}

// A frame with smooth gradients in every plane.
AVFrame* SourceFrame() {
  using AVUtilStubs::av_frame_alloc;
  using AVUtilStubs::av_frame_get_buffer;
  AVFrame* frame = av_frame_alloc();
  frame->width = CWidth;
  frame->height = CHeight;
  frame->format = AV_PIX_FMT_YUV420P;
  av_frame_get_buffer(frame, 0);
  for (int plane = 0; plane < 3; ++plane) {
    const int w = plane ? CWidth / 2 : CWidth, h = plane ? CHeight / 2 : CHeight;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        frame->data[plane][y * frame->linesize[plane] + x] =
            static_cast<std::uint8_t>(16 + (x * 3 + y * (plane + 1)) % 220);
  }
  return frame;
}

void FreeFrame(AVFrame* AFrame) { AVUtilStubs::av_frame_free(&AFrame); }

AVPixelFormat PackedFormat(int ABitsPixel) {
  FormatConvert::TFormatConverter converter;
  converter.SetBitsPixel(ABitsPixel);
  return converter.PixFmt();
}

void BM_ToRGB(benchmark::State& AState) {
  LoadLibraries();
  AVFrame* source = SourceFrame();
  FormatConvert::TFormatConverter converter;
  converter.SetBitsPixel(static_cast<int>(AState.range(0)));
  const bool copy = AState.range(1) != 0;
  for (auto _ : AState) {
    bool ok = converter.ToRGB(source->data, source->linesize, copy, CHeight, CWidth,
                              AV_PIX_FMT_YUV420P);
    benchmark::DoNotOptimize(ok);
  }
  FreeFrame(source);
}

void BM_BareToRGB(benchmark::State& AState) {
  using AVUtilStubs::av_free;
  using AVUtilStubs::av_image_fill_arrays;
  using AVUtilStubs::av_image_get_buffer_size;
  using AVUtilStubs::av_malloc;
  using SwScaleStubs::sws_freeContext;
  using SwScaleStubs::sws_getContext;
  using SwScaleStubs::sws_scale;
  LoadLibraries();
  AVFrame* source = SourceFrame();
  const AVPixelFormat format = PackedFormat(static_cast<int>(AState.range(0)));
  const int size = av_image_get_buffer_size(format, CWidth, CHeight, 1);
  auto* buffer = static_cast<std::uint8_t*>(av_malloc(size + 1024));
  std::uint8_t* data[4];
  int lines[4];
  av_image_fill_arrays(data, lines, buffer, format, CWidth, CHeight, 1);
  SwsContext* sws = sws_getContext(CWidth, CHeight, AV_PIX_FMT_YUV420P, CWidth, CHeight, format,
                                   SWS_BICUBIC, nullptr, nullptr, nullptr);
  for (auto _ : AState) {
    int rows = sws_scale(sws, source->data, source->linesize, 0, CHeight, data, lines);
    benchmark::DoNotOptimize(rows);
  }
  sws_freeContext(sws);
  av_free(buffer);
  FreeFrame(source);
}

void BM_FromRGB(benchmark::State& AState) {
  LoadLibraries();
  AVFrame* source = SourceFrame();
  AVFrame* target = SourceFrame();
  FormatConvert::TFormatConverter converter;
  converter.SetBitsPixel(static_cast<int>(AState.range(0)));
  converter.ToRGB(source->data, source->linesize, false, CHeight, CWidth, AV_PIX_FMT_YUV420P);
  for (auto _ : AState) {
    bool ok = converter.FromRGB(target->data, target->linesize, CHeight, CWidth,
                                AV_PIX_FMT_YUV420P);
    benchmark::DoNotOptimize(ok);
  }
  FreeFrame(target);
  FreeFrame(source);
}

void BM_BareFromRGB(benchmark::State& AState) {
  using SwScaleStubs::sws_freeContext;
  using SwScaleStubs::sws_getContext;
  using SwScaleStubs::sws_scale;
  LoadLibraries();
  AVFrame* source = SourceFrame();
  AVFrame* target = SourceFrame();
  FormatConvert::TFormatConverter converter;
  converter.SetBitsPixel(static_cast<int>(AState.range(0)));
  converter.ToRGB(source->data, source->linesize, false, CHeight, CWidth, AV_PIX_FMT_YUV420P);
  FormatConvert::PAVPicture packed = converter.GetPicture();
  SwsContext* sws = sws_getContext(CWidth, CHeight, converter.PixFmt(), CWidth, CHeight,
                                   AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
  for (auto _ : AState) {
    int rows = sws_scale(sws, packed->data, packed->linesize, 0, CHeight, target->data,
                         target->linesize);
    benchmark::DoNotOptimize(rows);
  }
  sws_freeContext(sws);
  FreeFrame(target);
  FreeFrame(source);
}

// Arguments: bits per pixel (and for ToRGB whether the bitmap gets a copy).
BENCHMARK(BM_BareToRGB)->DenseRange(8, 32, 8)->Arg(15)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToRGB)
    ->ArgsProduct({{8, 15, 16, 24, 32}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareFromRGB)->DenseRange(8, 32, 8)->Arg(15)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FromRGB)->DenseRange(8, 32, 8)->Arg(15)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
