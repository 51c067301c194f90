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
#include "runtime/FFPtr.h"

namespace PlayerTestSupport {

// The FFmpeg libraries, SDL2 and (when present) SoundTouch, bound. Raises
// Platform::Exception when the FFmpeg libraries or SDL2 cannot be loaded.
void RequirePlayerLibraries();

// A directory of clips generated for a suite (lavfi testsrc2 pictures, sine audio), made
// under /tmp and removed with its clips when the object goes.
class TClips {
 public:
  // Makes APrefix_XXXXXX in the temporary folder; Dir() is empty when that fails. The
  // folder goes with everything in it.
  explicit TClips(const std::string& APrefix);
  ~TClips();
  TClips(const TClips&) = delete;
  TClips& operator=(const TClips&) = delete;

  const std::string& Dir() const { return FDir; }
  // Writes the clip AName in Dir(), its container guessed from the extension, with the
  // streams AStreams ("a", "v", "va") of ADuration seconds; the audio ends after
  // AAudioDuration seconds when that is above 0. 0, or the writer's error code.
  int Write(const std::string& AName, const std::string& AStreams, double ADuration,
            double AAudioDuration = 0);

 private:
  std::string FDir;
};

// A zero-state stream state owned by APlayer (the stream state is too large for the stack).
std::unique_ptr<FFBasePlay::TVideoState> NewStreamState(FFBasePlay::TPlayerCore* APlayer);

// A frame freed through the bound av_frame_free.
using FFPtr::TFramePtr;

// Signed 16-bit mono frames of ANSamples samples each (the last may be shorter) of the
// lavfi source "sine" at AFrequency Hz and ASampleRate for ADuration seconds; pts in
// 1/ASampleRate. Empty on failure.
std::vector<TFramePtr> SineFrames(int AFrequency, int ASampleRate, double ADuration,
                                  int ANSamples = 1024);

}  // namespace PlayerTestSupport

#include "components/FFBasePlay.h"

namespace PlayerTestSupport {

// A player with a headless output side: the frame hook runs on each decoded picture,
// pictures are timed against the master clock and dropped when shown (nothing is drawn), subtitles are decoded and discarded, and each
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
