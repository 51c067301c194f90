// What the player's tests share: the libraries a player needs, a stream state on the heap,
// and sample frames of a lavfi sine made through the bound libraries.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "MainThreadPump.h"
#include "components/FFBasePlayState.h"

namespace PlayerTestSupport {

// The FFmpeg libraries, SDL2 and (when present) SoundTouch, bound. Raises
// Platform::Exception when the FFmpeg libraries or SDL2 cannot be loaded.
void RequirePlayerLibraries();

// A zero-state stream state owned by APlayer (the stream state is too large for the stack).
std::unique_ptr<FFBasePlay::TVideoState> NewStreamState(FFBasePlay::TPlayerCore* APlayer);

struct TFrameDeleter {
  void operator()(AVFrame* AFrame) const;
};
using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;

// Signed 16-bit mono frames of ANSamples samples each (the last may be shorter) of the
// lavfi source "sine" at AFrequency Hz and ASampleRate for ADuration seconds; pts in
// 1/ASampleRate. Empty on failure.
std::vector<TFramePtr> SineFrames(int AFrequency, int ASampleRate, double ADuration,
                                  int ANSamples = 1024);

}  // namespace PlayerTestSupport

#include "components/FFBasePlay.h"

namespace PlayerTestSupport {

// A player with a headless output side: pictures are timed against the master clock and
// dropped when shown (nothing is drawn), subtitles are decoded and discarded, and each
// display step reports the position, as a renderer would after presenting.
class THeadlessPlayer : public FFBasePlay::TFFBasePlayer {
 public:
  explicit THeadlessPlayer(Platform::TComponent* AOwner = nullptr) : TFFBasePlayer(AOwner) {}
  ~THeadlessPlayer() override;

  int queue_picture(FFBasePlay::TVideoState* is, AVFrame* src_frame, double pts, double duration,
                    std::int64_t pos, int serial) override;
  int subtitle_thread(FFBasePlay::TVideoState* is) override;
  void video_refresh(FFBasePlay::TVideoState* is, double& remaining_time) override;
  void DoFileOpen() override;
  void SetShowMode(int AMode) override { ShowMode = AMode; }
  bool GetCurrentBitmap(Platform::TBitmap*&, std::int64_t&) override { return false; }

  // Pictures shown so far (play thread).
  std::atomic<int> Shown{0};
};

// Pumps the main thread's queue until APredicate holds or ASeconds pass; the result of
// APredicate at the end.
using MainThreadPump::PumpUntil;

}  // namespace PlayerTestSupport
