#include "PlayerTestSupport.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
}

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "LoaderTestSupport.h"
#include "MediaBuilder.h"
#include "TempFolder.h"
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
  // Through the loader, which the player asks whether its libraries are there.
  const FFLoad::TLibraries player{FFLoad::avUtil,  FFLoad::swScale,  FFLoad::swResample,
                                  FFLoad::avCodec, FFLoad::avFormat, FFLoad::avFilter,
                                  FFLoad::avDevice, FFLoad::myUtil,  FFLoad::SDL2};
  if (!LoaderTestSupport::RequireLoaded(player))
    throw Platform::Exception("Cannot load the player's libraries: " +
                              FFLoad::FFLoader->GetLastErrMsg());
  TestLibraries::RequireFFmpegLibraries();
  // SoundTouch is optional for the player; the tests that need it check it is bound.
  (void)LoaderTestSupport::RequireLoaded(FFLoad::TLibraries{FFLoad::libSoundTouch});
}

TClips::TClips(const std::string& APrefix) {
  FDir = TempFolder::MakeDir(APrefix);
}

TClips::~TClips() {
  if (FDir.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(FDir, ignored);
}

int TClips::Write(const std::string& AName, const std::string& AStreams, double ADuration,
                  double AAudioDuration) {
  MediaBuilder::TMediaSpec spec;
  spec.Streams = AStreams;
  spec.Duration = ADuration;
  spec.AudioDuration = AAudioDuration;
  return MediaBuilder::WriteMedia(FDir + "/" + AName, nullptr, spec);
}

std::unique_ptr<FFBasePlay::TVideoState> NewStreamState(FFBasePlay::TPlayerCore* APlayer) {
  auto is = std::make_unique<FFBasePlay::TVideoState>();
  is->owner = APlayer;
  return is;
}

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

#include <chrono>

#include "components/FFBasePlayClock.h"
#include "components/FFPlay.h"
#include "runtime/AVCodecStubs.h"

namespace PlayerTestSupport {

using namespace FFBasePlay;

THeadlessPlayer::~THeadlessPlayer() {
  // The engine's threads end before the output side goes, and no event reaches the host
  // from here on.
  ShutDown();
}

int THeadlessPlayer::queue_picture(TVideoState* is, AVFrame* src_frame, double pts, double duration,
                                   std::int64_t pos, int serial) {
  DoFrameHook(src_frame, pts);
  return frame_queue_put_picture(&is->pictq, src_frame, pts, duration, pos, serial);
}

int THeadlessPlayer::subtitle_thread(TVideoState* is) {
  for (;;) {
    TFrame* sp = frame_queue_peek_writable(&is->subpq);
    if (!sp) return 0;
    const int got = decoder_decode_frame(&is->subdec, nullptr, &sp->sub);
    if (got < 0) return 0;
    if (got) AVCodecStubs::avsubtitle_free(&sp->sub);
  }
}

void THeadlessPlayer::video_refresh(TVideoState* is, double& remaining_time) {
  if (is->video_st) {
    for (;;) {
      if (frame_queue_nb_remaining(&is->pictq) == 0) break;
      TFrame* lastvp = frame_queue_peek_last(&is->pictq);
      TFrame* vp = frame_queue_peek(&is->pictq);
      if (vp->serial != is->videoq.serial) {
        frame_queue_next(&is->pictq);
        continue;
      }
      const double now = AVUtilStubs::av_gettime_relative() / 1000000.0;
      if (lastvp->serial != vp->serial) is->frame_timer = now;
      if (is->paused) break;
      // The output side's timing, without late dropping.
      const FFPlay::TRefreshTiming t = FFPlay::ComputeRefreshTiming(
          is->frame_timer, compute_target_delay(vp_duration(is, lastvp, vp), is), now, NAN, false);
      if (!t.Show) {
        remaining_time = std::min(t.Wait, remaining_time);
        break;
      }
      is->frame_timer = t.FrameTimer;
      if (!std::isnan(vp->pts)) update_video_pts(is, vp->pts, vp->serial);
      frame_queue_next(&is->pictq);
      is->pictures_since_seek += 1;
      ++Shown;
      break;
    }
  }
  ReportPosition();
  is->force_refresh = 0;
}

void THeadlessPlayer::DoFileOpen() {
  TVideoState* is = Stream();
  if (!is || !OnFileOpen.Assigned()) return;
  int w = ScreenWidth, h = ScreenHeight;
  const std::int64_t duration = is->duration > 0 ? is->duration : 0;
  const int fw = is->video_st ? is->video_st->codecpar->width : -1;
  const int fh = is->video_st ? is->video_st->codecpar->height : -1;
  if (!RaiseFileOpen(duration, fw, fh, w, h)) return;  // the handler freed the player
  ScreenWidth = w;
  ScreenHeight = h;
}

}  // namespace PlayerTestSupport
