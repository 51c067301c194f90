// What the output side draws: only pictures the picture queue has handed over. On SDL's
// offscreen video and dummy audio drivers; media made at test time.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "PlayerFixture.h"
#include "PlayerTestSupport.h"
#include "components/FFPlay.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/SDL2Stubs.h"

namespace {

using namespace FFBasePlay;
using PlayerTestSupport::PumpUntil;

// A player whose display step a test may run while it holds the play loop. Freed with
// delete, as a host frees its player: its threads end before any destructor runs.
class TDisplayPlayer : public FFPlay::TZAVereve {
 public:
  using TCustomPlayer::video_display;
};

struct TRenderCounter {
  std::atomic<int> Count{0};
  void OnRender(Platform::TObject*) { ++Count; }
};

class FFPlayDisplayTest : public PlayerTestSupport::TPlayerFixture {
 protected:
  static void SetUpTestSuite() {
    MakeClips("ffplay_display");
    ASSERT_EQ(FClips->Write("video.mkv", "v", 1.0), 0);
  }
};

// A refresh forced before the first picture of a stream is shown (a new window, an
// expose, RequestRefresh) finds the size of a picture known while the picture queue has
// handed none over: its first slot is the one the video thread is filling. The display
// shows nothing from it: only a picture the queue has shown is drawn.
TEST_F(FFPlayDisplayTest, ARefreshBeforeTheFirstPictureDrawsNoSlotOfTheQueue) {
  const std::unique_ptr<TDisplayPlayer> owned = std::make_unique<TDisplayPlayer>();
  TDisplayPlayer& player = *owned;
  player.SetAudioDriver("dummy");
  player.SetVideoDriver("offscreen");
  ASSERT_TRUE(player.Open(FClips->Dir() + "/video.mkv", nullptr, "-pause")) << player.LastErrMsg();
  Platform::TBitmap* bmp = nullptr;
  std::int64_t pts = 0;
  // The display is open and a picture of this size has been queued.
  ASSERT_TRUE(PumpUntil([&] { return player.GetCurrentBitmap(bmp, pts); }));
  TRenderCounter renders;
  player.OnVideoRender = TNotifyEvent::Bind<&TRenderCounter::OnRender>(&renders);

  ASSERT_EQ(player.LockStream(Platform::INFINITE), Platform::TWaitResult::wrSignaled);
  struct TUnlock {
    TDisplayPlayer* P;
    ~TUnlock() { P->UnlockStream(); }
  } unlock{&player};
  TVideoState* open = player.Stream();
  ASSERT_NE(open, nullptr);
  // A stream state as it is between the video thread's filling of the first slot and
  // the play loop's showing it: one picture queued, none shown.
  struct TQueues {
    TVideoState* S;
    ~TQueues() {
      frame_queue_destroy(&S->pictq);
      packet_queue_destroy(&S->videoq);
    }
  };
  auto is = PlayerTestSupport::NewStreamState(&player);
  ASSERT_EQ(packet_queue_init(&is->videoq, &player), 0);
  TQueues queues{is.get()};
  packet_queue_start(&is->videoq);
  ASSERT_EQ(frame_queue_init(&is->pictq, &is->videoq, VIDEO_PICTURE_QUEUE_SIZE, 1, &player), 0);
  PlayerTestSupport::TFramePtr frame(AVUtilStubs::av_frame_alloc());
  AVFrame* f = frame.get();
  ASSERT_NE(f, nullptr);
  f->format = AV_PIX_FMT_YUV420P;
  f->width = 64;
  f->height = 48;
  ASSERT_EQ(AVUtilStubs::av_frame_get_buffer(f, 0), 0);
  ASSERT_EQ(frame_queue_put_picture(&is->pictq, f, 0.0, 0.04, -1, 0), 0);
  is->video_st = static_cast<AVStream*>(open->video_st);
  is->show_mode = SHOW_MODE_VIDEO;
  is->width = open->width;
  is->height = open->height;
  const int before = renders.Count;
  player.video_display(is.get());
  EXPECT_EQ(renders.Count, before) << "a picture not yet shown went to the renderer";
  EXPECT_EQ(is->pictq.queue[0].uploaded, 0);
}

}  // namespace
