#include "PlayerTestSupport.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
}

#include "LoaderTestSupport.h"
#include "TestLibraries.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFLoad.h"

namespace PlayerTestSupport {

// The entry points this file calls, bound at run time.
using AVFilterStubs::av_buffersink_get_frame;
using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_free;
using AVFilterStubs::avfilter_graph_alloc;
using AVFilterStubs::avfilter_graph_config;
using AVFilterStubs::avfilter_graph_free;
using AVFilterStubs::avfilter_graph_get_filter;
using AVFilterStubs::avfilter_graph_parse2;
using AVFilterStubs::avfilter_inout_free;

void RequirePlayerLibraries() {
  TestLibraries::RequireFFmpegLibraries();
  if (!LoaderTestSupport::RequireLoaded(FFLoad::TLibraries{FFLoad::SDL2}))
    throw Platform::Exception("Cannot load SDL2: " + FFLoad::FFLoader->GetLastErrMsg());
  // SoundTouch is optional for the player; the tests that need it check it is bound.
  (void)LoaderTestSupport::RequireLoaded(FFLoad::TLibraries{FFLoad::libSoundTouch});
}

std::unique_ptr<FFBasePlay::TVideoState> NewStreamState(FFBasePlay::TPlayerCore* APlayer) {
  auto is = std::make_unique<FFBasePlay::TVideoState>();
  is->owner = APlayer;
  return is;
}

void TFrameDeleter::operator()(AVFrame* AFrame) const { AVUtilStubs::av_frame_free(&AFrame); }

std::vector<TFramePtr> SineFrames(int AFrequency, int ASampleRate, double ADuration,
                                  int ANSamples) {
  std::vector<TFramePtr> frames;
  AVFilterGraph* graph = avfilter_graph_alloc();
  if (!graph) return frames;
  const std::string desc = Platform::Format(
      "sine=frequency=%d:sample_rate=%d:duration=%g,aformat=sample_fmts=s16:channel_layouts=mono,"
      "asetnsamples=n=%d:p=0,abuffersink@out",
      AFrequency, ASampleRate, ADuration, ANSamples);
  AVFilterInOut* inputs = nullptr;
  AVFilterInOut* outputs = nullptr;
  int ret = avfilter_graph_parse2(graph, desc.c_str(), &inputs, &outputs);
  avfilter_inout_free(&inputs);
  avfilter_inout_free(&outputs);
  if (ret >= 0) ret = avfilter_graph_config(graph, nullptr);
  AVFilterContext* sink = ret >= 0 ? avfilter_graph_get_filter(graph, "abuffersink@out") : nullptr;
  while (sink) {
    TFramePtr frame(AVUtilStubs::av_frame_alloc());
    if (!frame || av_buffersink_get_frame(sink, frame.get()) < 0) break;
    frames.push_back(std::move(frame));
  }
  avfilter_graph_free(&graph);
  return frames;
}

}  // namespace PlayerTestSupport
