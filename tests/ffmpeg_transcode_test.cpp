// Conversion tasks running real jobs: lavfi sources through the whole engine into
// files, synchronously and on convert threads, with progress, pause, stop, preview and
// several tasks side by side.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/FFmpeg.h"
#include "engine/FFmpegOpt.h"
#include "platform/Dispatcher.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/MemoryProtocol.h"
#include "runtime/MyUtils.h"
#include "support/LoaderTestSupport.h"
#include "support/LogCapture.h"
#include "support/LogRecorder.h"
#include "support/MediaProbe.h"
#include "MainThreadPump.h"
#include "Watchdog.h"

namespace {

using FFmpeg::TCustomFFmpeg;
using FFmpeg::TFFmpeg;
using Platform::TObject;

// ABase's extension stays last: it picks the muxer.
std::string TempName(const std::string& ABase) {
  const std::size_t dot = ABase.rfind('.');
  return ::testing::TempDir() + "task_" + ABase.substr(0, dot) + "_" +
         std::to_string(::getpid()) + (dot == std::string::npos ? "" : ABase.substr(dot));
}

// What a probe of a written file shows.
struct TProbe {
  int Result = -1;
  int Streams = 0;
  std::string VideoCodec;
  int Width = 0, Height = 0;
  std::int64_t Duration = 0;  // microseconds
  std::int64_t Frames = 0;    // video packets read
};

TProbe ProbeFile(const std::string& AName) {
  TProbe p;
  AVFormatContext* fc = nullptr;
  p.Result = AVFormatStubs::avformat_open_input(&fc, AName.c_str(), nullptr, nullptr);
  if (p.Result < 0) return p;
  p.Result = AVFormatStubs::avformat_find_stream_info(fc, nullptr);
  if (p.Result >= 0) {
    p.Streams = int(fc->nb_streams);
    p.Duration = fc->duration;
    int video = -1;
    for (unsigned i = 0; i < fc->nb_streams; i++) {
      const AVCodecParameters* par = fc->streams[i]->codecpar;
      if (par->codec_type == AVMEDIA_TYPE_VIDEO && video < 0) {
        video = int(i);
        const AVCodecDescriptor* d = AVCodecStubs::avcodec_descriptor_get(par->codec_id);
        p.VideoCodec = d ? d->name : "";
        p.Width = par->width;
        p.Height = par->height;
      }
    }
    AVPacket* pkt = AVCodecStubs::av_packet_alloc();
    while (AVFormatStubs::av_read_frame(fc, pkt) >= 0) {
      if (pkt->stream_index == video) p.Frames++;
      AVCodecStubs::av_packet_unref(pkt);
    }
    AVCodecStubs::av_packet_free(&pkt);
  }
  AVFormatStubs::avformat_close_input(&fc);
  return p;
}

std::string ReadFile(const std::string& AName) {
  std::ifstream f(AName, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class TranscodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries))
        << FFLoad::FFLoader->GetLastErrMsg();
  }
  void TearDown() override {
    for (const std::string& f : FFiles) std::remove(f.c_str());
  }
  std::string Output(const std::string& ABase) {
    FFiles.push_back(TempName(ABase));
    return FFiles.back();
  }

  // Parses ALine into ATask; a failure fails the test.
  bool Parse(TCustomFFmpeg& ATask, const std::string& ALine) {
    const int ret = ATask.ParseOptions(ALine);
    EXPECT_GE(ret, 0) << ATask.LastErrMsg();
    return ret >= 0;
  }

  // Runs ALine, a job that makes a test's input, to its end: whether it parsed and ran
  // without an error (a failure fails the test).
  bool RunJob(const std::string& ALine) {
    TFFmpeg job;
    if (!Parse(job, ALine)) return false;
    job.Start(false);
    EXPECT_FALSE(job.HasError()) << job.ErrorText();
    return !job.HasError();
  }

 private:
  std::vector<std::string> FFiles;
};

#define PARSE_OR_RETURN(task, line) \
  do {                              \
    if (!Parse(task, line)) return; \
  } while (0)

struct TProgressLog {
  std::mutex Lock;
  std::vector<std::int64_t> Durations;
  std::vector<int> Frames;
  std::atomic<int> Count{0};
  std::int64_t TotalDuration = 0;
  static void OnProgress(void* AData, TObject*, int, int AFrameNumber, int, float, float,
                         const std::int64_t&, const std::int64_t& ACurrentDuration,
                         const std::int64_t& ATotalDuration) {
    auto* p = static_cast<TProgressLog*>(AData);
    std::lock_guard<std::mutex> g(p->Lock);
    p->Durations.push_back(ACurrentDuration);
    p->Frames.push_back(AFrameNumber);
    p->TotalDuration = ATotalDuration;
    p->Count.fetch_add(1);
  }
  FFmpeg::TTaskProgressEvent Event() {
    return FFmpeg::TTaskProgressEvent::FromFunction(&OnProgress, this);
  }
};

struct TTerminateProbe {
  std::atomic<int> Count{0};
  std::atomic<Platform::TThreadID> Thread{0};
  static void OnTerminate(void* AData, void*) {
    auto* self = static_cast<TTerminateProbe*>(AData);
    self->Thread.store(Platform::GetCurrentThreadId());
    self->Count.fetch_add(1);
  }
  Platform::TNotifyEvent Event() {
    return Platform::TNotifyEvent::FromFunction(&OnTerminate, this);
  }
};

// A host stream over a file's bytes that hands out only the first Limit of them: the
// read that reaches the limit holds there (Held) until Release, then ends the stream.
// The reader can only be stopped while it waits for bytes, as a stop finds a reader
// waiting on a slow source; the test decides where.
class TGatedStream : public Platform::TStream {
 public:
  TGatedStream(std::vector<std::uint8_t> AData, std::int64_t ALimit)
      : FData(std::move(AData)), FLimit(ALimit) {
    MemoryProtocol::RegisterStream(this);
  }
  ~TGatedStream() override { MemoryProtocol::UnregisterStream(this); }

  std::int64_t Read(void* ABuffer, std::int64_t ACount) override {
    if (FPosition >= FLimit) {
      std::unique_lock<std::mutex> guard(FLock);
      FHeld = true;
      FCond.notify_all();
      FCond.wait(guard, [this] { return FReleased; });
      return 0;
    }
    const std::int64_t n = std::min(ACount, FLimit - FPosition);
    std::memcpy(ABuffer, FData.data() + FPosition, static_cast<std::size_t>(n));
    FPosition += n;
    return n;
  }
  std::int64_t Write(const void*, std::int64_t) override { return -1; }
  std::int64_t Seek(std::int64_t, Platform::TSeekOrigin) override { return -1; }
  void SetSize(std::int64_t) override {}

  // Waits until the reader holds at the limit; False when the guard ran out.
  bool WaitHeld() {
    std::unique_lock<std::mutex> guard(FLock);
    return FCond.wait_for(guard, std::chrono::seconds(60), [this] { return FHeld; });
  }
  void Release() {
    std::lock_guard<std::mutex> guard(FLock);
    FReleased = true;
    FCond.notify_all();
  }
  std::string Address() const {
    return std::to_string(reinterpret_cast<std::intptr_t>(static_cast<const Platform::TStream*>(this)));
  }

 private:
  const std::vector<std::uint8_t> FData;
  const std::int64_t FLimit;
  std::int64_t FPosition = 0;  // the reader's thread only
  std::mutex FLock;
  std::condition_variable FCond;
  bool FHeld = false;
  bool FReleased = false;
};

// Where each packet of a file lies, in the order the demuxer returns them.
struct TPacketPlace {
  std::int64_t Pos, Size, Pts, Dts;
};
std::vector<TPacketPlace> PacketPlaces(const std::string& AFile) {
  std::vector<TPacketPlace> places;
  AVFormatContext* fc = nullptr;
  if (AVFormatStubs::avformat_open_input(&fc, AFile.c_str(), nullptr, nullptr) < 0) return places;
  AVPacket* pkt = AVCodecStubs::av_packet_alloc();
  while (AVFormatStubs::av_read_frame(fc, pkt) >= 0) {
    places.push_back(TPacketPlace{pkt->pos, pkt->size, pkt->pts, pkt->dts});
    AVCodecStubs::av_packet_unref(pkt);
  }
  AVCodecStubs::av_packet_free(&pkt);
  AVFormatStubs::avformat_close_input(&fc);
  return places;
}

const char* const kTwoSeconds = "-f lavfi -i testsrc2=duration=2:size=320x240:rate=25 -c:v mpeg4 ";

TEST_F(TranscodeTest, SynchronousRunReportsProgressAndTerminatesOnTheCaller) {
  TLogCapture capture;
  const std::string out = Output("sync.mp4");
  TFFmpeg task;
  TProgressLog progress;
  TTerminateProbe terminate;
  task.FOnProgress = progress.Event();
  task.FOnTerminate = terminate.Event();
  task.Fstats_period.store(100000);
  PARSE_OR_RETURN(task, std::string(kTwoSeconds) + "-y " + out);

  task.Start(false);

  EXPECT_EQ(terminate.Count.load(), 1) << "Start(False) returns after the notification";
  EXPECT_EQ(terminate.Thread.load(), Platform::GetCurrentThreadId());
  EXPECT_FALSE(task.HasError()) << task.ErrorText();
  EXPECT_TRUE(task.JobFinished());
  ASSERT_GE(progress.Count.load(), 1);
  {
    std::lock_guard<std::mutex> g(progress.Lock);
    for (std::size_t i = 1; i < progress.Durations.size(); i++)
      EXPECT_GE(progress.Durations[i], progress.Durations[i - 1]) << "the time only grows";
    EXPECT_NEAR(double(progress.Durations.back()), 2000000.0, 100000.0);
    EXPECT_NEAR(progress.Frames.back(), 50, 1);
  }
  // with a progress handler only the last report's line is logged
  int lines = 0;
  for (const auto& l : TLogCapture::Snapshot())
    if (l.Level == AV_LOG_INFO && l.Text.find("frame=") == 0 && l.Text.find("elapsed=") != std::string::npos)
      lines++;
  EXPECT_EQ(lines, 1) << TLogCapture::All();

  const TProbe p = ProbeFile(out);
  ASSERT_GE(p.Result, 0);
  EXPECT_EQ(p.VideoCodec, "mpeg4");
  EXPECT_EQ(p.Width, 320);
  EXPECT_EQ(p.Height, 240);
  EXPECT_EQ(p.Frames, 50);
}

TEST_F(TranscodeTest, ProgressOutputGetsOneBlockPerReportEndingWithEnd) {
  const std::string out = Output("progress.mp4");
  const std::string blocks = Output("progress.txt");
  TFFmpeg task;
  // read in real time from the first frame (no initial burst), so the job outlasts
  // several report periods
  task.Fstats_period.store(50000);
  PARSE_OR_RETURN(task, "-re -readrate_initial_burst 0 -f lavfi "
                        "-i testsrc2=duration=0.6:size=160x120:rate=25 -c:v mpeg4 "
                      "-progress file:" + blocks + " -y " + out);
  task.Start(false);
  ASSERT_FALSE(task.HasError()) << task.ErrorText();

  const std::string text = ReadFile(blocks);
  std::istringstream in(text);
  std::vector<std::string> keys;
  for (std::string line; std::getline(in, line);) keys.push_back(line.substr(0, line.find('=')));
  const std::vector<std::string> block = {"frame", "fps", "stream_0_0_q", "bitrate", "total_size",
                                          "out_time_us", "out_time_ms", "out_time",
                                          "dup_frames", "drop_frames", "speed", "progress"};
  // every block has every key, also one made before the first packet, and ends with progress
  int ends = 0, continues = 0;
  ASSERT_EQ(keys.size() % block.size(), 0u) << text;
  for (std::size_t i = 0; i < keys.size(); i++) {
    SCOPED_TRACE(text);
    ASSERT_EQ(keys[i], block[i % block.size()]);
  }
  for (std::istringstream again(text); ;) {
    std::string line;
    if (!std::getline(again, line)) break;
    if (line == "progress=end") ends++;
    if (line == "progress=continue") continues++;
  }
  EXPECT_EQ(ends, 1);
  EXPECT_GE(continues, 1);
  EXPECT_EQ(text.substr(text.size() - 13), "progress=end\n");
}

// A long real-time job, stopped in mid-run: the file is still finished (trailer) and
// the job does not count as finished.
TEST_F(TranscodeTest, StopInMidRunStillWritesAPlayableFile) {
  const std::string out = Output("stopped.mp4");
  TFFmpeg task;
  TProgressLog progress;
  TTerminateProbe terminate;
  task.FOnProgress = progress.Event();
  task.FOnTerminate = terminate.Event();
  task.Fstats_period.store(50000);
  PARSE_OR_RETURN(task, "-re -f lavfi -i testsrc2=duration=60:size=160x120:rate=25 -c:v mpeg4 -y " +
                          out);
  task.Start(true);
  // handshake: wait for output time to pass 0.5 s
  (void)MainThreadPump::PumpUntil([&] {
    std::lock_guard<std::mutex> g(progress.Lock);
    return (!progress.Durations.empty() && progress.Durations.back() > 500000) ||
           terminate.Count.load() != 0;
  }, 30);
  task.Stop(true);
  EXPECT_EQ(terminate.Count.load(), 1);
  EXPECT_FALSE(task.JobFinished());
  EXPECT_FALSE(task.Running());
  EXPECT_FALSE(task.HasError()) << task.ErrorText();

  const TProbe p = ProbeFile(out);
  ASSERT_GE(p.Result, 0) << "the trailer was written";
  EXPECT_GE(p.Frames, 12);
  EXPECT_LT(p.Frames, 60 * 25);
  EXPECT_GT(p.Duration, 400000);
}

TEST_F(TranscodeTest, PauseIsCountedAndWrongStateCallsOnARunningTaskChangeNothing) {
  const std::string out = Output("paused.mp4");
  TFFmpeg task;
  TProgressLog progress;
  task.FOnProgress = progress.Event();
  task.Fstats_period.store(50000);
  PARSE_OR_RETURN(task, "-re -f lavfi -i testsrc2=duration=60:size=160x120:rate=25 -c:v mpeg4 -y " +
                          out);
  task.Start(true);
  ASSERT_EQ(task.PauseState(), 0);

  task.Resume();  // without a pause
  EXPECT_EQ(task.PauseState(), 0);
  EXPECT_EQ(task.FTotalPauseTime.load(), 0);

  const auto t0 = std::chrono::steady_clock::now();
  task.Pause();
  task.Pause();  // twice
  EXPECT_EQ(task.PauseState(), 1);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  task.Resume();
  const auto paused =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_EQ(task.PauseState(), 0);
  EXPECT_GE(task.FTotalPauseTime.load(), 2000000);
  EXPECT_LE(task.FTotalPauseTime.load(), paused);

  task.Stop(true);
  EXPECT_FALSE(task.HasError()) << task.ErrorText();
}

// A synchronous run on the main thread whose preview events hand work to the main
// thread (as the encoder component's do): the run serves them and ends.
TEST_F(TranscodeTest, SynchronousRunOnTheMainThreadServesMainThreadCalls) {
  const std::string out = Output("served.mp4");
  TFFmpeg task;
  std::atomic<int> previews{0};
  task.FOnPreviewBitmap = FFmpeg::TTaskPreviewEvent::FromFunction(
      [](void* AData, TObject*, Platform::TBitmap*, int, const std::int64_t&) {
        MyUtils::MySynchronize(Platform::TThreadMethod::FromFunction([](void*) {}, nullptr));
        static_cast<std::atomic<int>*>(AData)->fetch_add(1);
      },
      &previews);
  task.SetPreviewFlags(FFmpeg::PREVIEW_BITMAP);
  task.FPreviewInterval.store(-1);
  PARSE_OR_RETURN(task, std::string(kTwoSeconds) + "-y " + out);
  ASSERT_TRUE(Platform::IsMainThread());
  task.Start(false);
  EXPECT_FALSE(task.HasError()) << task.ErrorText();
  EXPECT_EQ(previews.load(), 50);
}

// Start(True) and destroy at once with a real job: the destroy waits for the convert
// thread and the scheduler's workers (run under ThreadSanitizer and AddressSanitizer; the
// task tests repeat the same with a job that fails at once, 200 times).
TEST_F(TranscodeTest, DestroyRightAfterAnAsynchronousStart) {
  const std::string out = Output("destroyed.mp4");
  for (int i = 0; i < 20; i++) {
    auto task = std::make_unique<TFFmpeg>();
    TTerminateProbe terminate;
    task->FOnTerminate = terminate.Event();
    task->Fstats_period.store(10000);  // a stop is seen within one report period
    PARSE_OR_RETURN(*task, "-f lavfi -i testsrc2=duration=0.2:size=64x48:rate=25 -c:v mpeg4 -y " + out);
    task->Start(true);
    task.reset();
    EXPECT_EQ(terminate.Count.load(), 1);
  }
}

TEST_F(TranscodeTest, FourTasksAtOnceEachWriteTheirOwnFile) {
  constexpr int kTasks = 4;
  std::vector<std::unique_ptr<TFFmpeg>> tasks;
  std::vector<std::string> outs;
  TTerminateProbe terminate[kTasks];
  for (int i = 0; i < kTasks; i++) {
    outs.push_back(Output("four_" + std::to_string(i) + ".mp4"));
    tasks.push_back(std::make_unique<TFFmpeg>());
    tasks[i]->FOnTerminate = terminate[i].Event();
    // different sizes and lengths, so a mix-up between tasks shows
    const int w = 64 + 32 * i, frames = 10 + 5 * i;
    PARSE_OR_RETURN(*tasks[i], "-f lavfi -i testsrc2=size=" + std::to_string(w) + "x48:rate=25 "
                             "-frames:v " + std::to_string(frames) + " -c:v mpeg4 -y " + outs[i]);
  }
  for (auto& t : tasks) t->Start(true);
  (void)MainThreadPump::PumpUntil([&] {
    int ended = 0;
    for (int i = 0; i < kTasks; i++) ended += terminate[i].Count.load();
    return ended == kTasks;
  }, 120);
  for (int i = 0; i < kTasks; i++) {
    SCOPED_TRACE(i);
    TFFmpeg& t = *tasks[i];
    EXPECT_EQ(terminate[i].Count.load(), 1);
    EXPECT_FALSE(t.HasError()) << t.ErrorText();
    EXPECT_TRUE(t.JobFinished());
    const TProbe p = ProbeFile(outs[i]);
    ASSERT_GE(p.Result, 0);
    EXPECT_EQ(p.Width, 64 + 32 * i);
    EXPECT_EQ(p.Frames, 10 + 5 * i);
  }
  tasks.clear();
}

// ---- Stop ----------------------------------------------------------------------------------

// Runs AStep on a thread of its own and serves the main thread's queue until it is done;
// false when it has not returned within ABound (the process is then ended, since the
// step's thread still holds objects the test would free).
bool FinishesWithin(std::function<void()> AStep, std::chrono::seconds ABound) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([AStep = std::move(AStep), done] {
    AStep();
    done->set_value();
  }).detach();
  return MainThreadPump::PumpUntil(
      [&] { return finished.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; },
      double(ABound.count()));
}

#define EXPECT_FINISHES_OR_EXIT(step, what)                                                    \
  do {                                                                                         \
    if (!FinishesWithin(step, std::chrono::seconds(120))) {                                    \
      ADD_FAILURE() << what << " did not return";                                              \
      std::fprintf(stderr, "%s did not return within the bound: ending the process\n", what); \
      std::fflush(stderr);                                                                     \
      std::_Exit(1);                                                                           \
    }                                                                                          \
  } while (0)

// A source that feeds a sink of its own never ends and has nothing to do with the
// outputs: Stop, and the deletion of the task, still end every thread of the task.
TEST_F(TranscodeTest, StopEndsATaskWhoseGraphHoldsASourceFeedingItsOwnSink) {
  const char* const graphs[] = {"[0:v]null[v];nullsrc,nullsink", "[0:v]null[v];sine,anullsink",
                                "[0:v]null[v];nullsrc=s=16x16,split[a][b];[a]nullsink;[b]nullsink"};
  for (const char* graph : graphs) {
    SCOPED_TRACE(graph);
    const std::string out = Output("own_sink.mp4");
    auto* task = new TFFmpeg;
    TTerminateProbe terminate;
    task->FOnTerminate = terminate.Event();
    task->Fstats_period.store(50000);
    if (!Parse(*task, std::string("-re -f lavfi -i testsrc2=duration=60:size=64x48:rate=25 ") +
                          "-filter_complex \"" + graph + "\" -map [v] -c:v mpeg4 -y " + out)) {
      delete task;
      return;
    }
    task->Start(true);
    // handshake: the transcode loop runs (the graph's thread has started with it)
    EXPECT_TRUE(MainThreadPump::PumpUntil(
        [&] { return task->FLooping.load() || terminate.Count.load() > 0; }));
    EXPECT_TRUE(task->FLooping.load());
    EXPECT_FINISHES_OR_EXIT([task] { task->Stop(true); }, "Stop(True)");
    EXPECT_EQ(terminate.Count.load(), 1);
    EXPECT_FALSE(task->Running());
    EXPECT_FINISHES_OR_EXIT([task] { delete task; }, "deleting the task");
  }
}

// A muxer starts once every stream is ready; until then packets wait in its queues, at
// most as many as -max_muxing_queue_size past -muxing_queue_data_threshold. The video
// encoder opens with its first picture, which the reverse filter holds to the end of the
// input, so the audio overflows its queue every time: that is an error that ends the
// task with it, and the task ends (the muxer does not wait for an audio end that never
// came).
TEST_F(TranscodeTest, AMuxingQueueOverflowEndsTheTaskWithItsError) {
  const char* const audio_codecs[] = {"aac", "pcm_s16le", "ac3"};
  TestWatchdog::TWatchdog watchdog;
  for (const char* codec : audio_codecs) {
    SCOPED_TRACE(codec);
    const std::string in = Output("overflow_in.mp4");
    ASSERT_TRUE(RunJob("-f lavfi -i testsrc2=d=4 -f lavfi -i sine=d=4 -c:v mpeg4 -bf 2 -c:a " +
                       std::string(codec) + " -y " + in));
    const std::string out = Output("overflow_out.mkv");
    TFFmpeg task;
    TTerminateProbe terminate;
    task.FOnTerminate = terminate.Event();
    PARSE_OR_RETURN(task, "-y -i " + in + " -muxing_queue_data_threshold 0 "
                          "-max_muxing_queue_size 1 -vf reverse -t 1 " + out);
    watchdog.Bounded(std::string("a task whose muxing queue overflows: ") + codec, 120,
                     [&] { task.Start(false); });
    EXPECT_EQ(terminate.Count.load(), 1);
    EXPECT_TRUE(task.HasError());
    // the error's text, then the pointer to the log
    EXPECT_EQ(task.ErrorText().rfind(CmdUtils::print_error(AVERROR_BUFFER_TOO_SMALL), 0), 0u)
        << task.ErrorText();
  }
}

// -shortest keeps the streams of an output in step, letting one run ahead of the others
// by at most -shortest_buf_duration. A small buffer (or none) moves the heads of the
// streams that lag, video here, which has no picture out yet when the audio runs ahead:
// the video still ends with the audio, at -t, not before its first picture.
TEST_F(TranscodeTest, ASmallShortestBufferStillEndsTheVideoWithTheAudio) {
  const std::string in = Output("shortest_in.mp4");
  ASSERT_TRUE(RunJob("-f lavfi -i testsrc2=d=4 -f lavfi -i sine=d=4 -c:v mpeg4 -bf 2 -c:a aac -y " +
                     in));
  const char* const buffers[] = {"0", "-1", "0.0001", "0.01"};
  for (const char* buffer : buffers) {
    SCOPED_TRACE(buffer);
    const std::string out = Output("shortest_out.mkv");
    TFFmpeg task;
    PARSE_OR_RETURN(task, "-y -i " + in + " -shortest -shortest_buf_duration " +
                          std::string(buffer) + " -t 1 " + out);
    task.Start(false);
    EXPECT_FALSE(task.HasError()) << task.ErrorText();
    const TProbe p = ProbeFile(out);
    ASSERT_GE(p.Result, 0);
    EXPECT_EQ(p.Streams, 2);
    EXPECT_EQ(p.Frames, 25) << "one second of pictures at 25 a second";
  }
}

// Packets arrive in decoding order, pictures leave in presentation order: an input with
// B pictures that a stop cuts after a P picture has not yet given the B pictures shown
// before it. The output still holds an unbroken run of pictures from the start: the
// pictures shown after a gap never reach it. Containers that give presentation times
// and inputs that carry decoding times only (AVI, raw MPEG-4 and MPEG-2 video) alike.
TEST_F(TranscodeTest, AStopBetweenAPPictureAndItsBPicturesLeavesNoGap) {
  struct TContainer {
    const char* Name;
    const char* Codec;
    const char* File;    // its extension picks the muxer
    const char* Parsed;  // an elementary stream cut into pictures by a parser: its demuxer
  } const containers[] = {
      {"MP4", "mpeg4 -movflags +faststart", "reordered.mp4", nullptr},
      {"AVI", "mpeg4", "reordered.avi", nullptr},
      {"raw MPEG-4 video", "mpeg4 -f m4v", "reordered.m4v", "m4v"},  // .m4v alone: iPod MP4
      {"MPEG-2 video", "mpeg2video", "reordered.m2v", "mpegvideo"},
  };
  // the input ends Extra packets after a P picture that two B pictures follow
  struct TCase {
    const char* Name;
    std::size_t Extra;
  } const cases[] = {
      {"after the P picture", 0},
      {"after its first B picture", 1},
  };
  // a B picture is shown as soon as it is decoded: its times agree
  const auto is_b = [](const TPacketPlace& APlace) {
    return APlace.Pts != AV_NOPTS_VALUE && APlace.Pts == APlace.Dts;
  };
  for (const TContainer& container : containers) {
    SCOPED_TRACE(container.Name);
    const std::string in = Output(container.File);
    ASSERT_TRUE(RunJob("-f lavfi -i testsrc2=size=64x48:rate=25:duration=10 -c:v " +
                       std::string(container.Codec) + " -bf 2 -g 12 -y " + in));
    const MediaProbe::TProbe source = MediaProbe::ProbeFile(in, true);
    ASSERT_GE(source.Result, 0);
    const std::vector<std::uint32_t>& source_sums = source.Find(AVMEDIA_TYPE_VIDEO)->FrameSums;
    const std::vector<TPacketPlace> places = PacketPlaces(in);
    ASSERT_EQ(places.size(), source_sums.size());
    std::vector<std::uint8_t> bytes;
    {
      const std::string text = ReadFile(in);
      bytes.assign(text.begin(), text.end());
    }

    std::size_t p = places.size() / 2;
    while (p + 3 < places.size() && !(!is_b(places[p]) && is_b(places[p + 1]) && is_b(places[p + 2])))
      p++;
    ASSERT_LT(p + 3, places.size()) << "no P picture with two B pictures";
    for (const TCase& c : cases) {
      SCOPED_TRACE(c.Name);
      const std::size_t last = p + c.Extra;
      // Stored one after the other in decoding order: the limit is the end of the last
      // one. A parser gives a picture once it sees where the next one starts: its start
      // code is there too (the cut picture after it is dropped, as read after the stop).
      const std::int64_t limit = container.Parsed ? places[last + 1].Pos + 4
                                                  : places[last].Pos + places[last].Size;
      TGatedStream stream(bytes, limit);

      const std::string out = Output("reordered_out.nut");
      TFFmpeg task;
      TTerminateProbe terminate;
      task.FOnTerminate = terminate.Event();
      // (a parsed stream is named: probing its format would read on to the limit)
      PARSE_OR_RETURN(task, "-memory " + stream.Address() +
                                (container.Parsed ? " -f " + std::string(container.Parsed) : "") +
                                " -i host" + std::strrchr(container.File, '.') +
                                " -c:v rawvideo -y " + out);
      task.Start(true);
      ASSERT_TRUE(stream.WaitHeld());
      task.Stop(false);  // the stop is asked for while the reader waits for bytes
      stream.Release();
      task.Stop(true);
      EXPECT_EQ(terminate.Count.load(), 1);
      EXPECT_FALSE(task.HasError()) << task.ErrorText();

      // every picture read but the P picture, which waits for the B pictures before it
      const MediaProbe::TProbe written = MediaProbe::ProbeFile(out, true);
      ASSERT_GE(written.Result, 0);
      const std::vector<std::uint32_t>& sums = written.Find(AVMEDIA_TYPE_VIDEO)->FrameSums;
      EXPECT_EQ(sums.size(), last);
      ASSERT_LT(sums.size(), source_sums.size());
      for (std::size_t i = 0; i < sums.size(); i++)
        EXPECT_EQ(sums[i], source_sums[i]) << "picture " << i << " of " << sums.size();
    }
  }
}

// Lines of the libraries and the engine from llInfo up go to the log recorder, on the
// thread that logs them (the caller keeps a TLogWorkerSettings to restore the worker).
void RecordLogOnTheCallingThread() {
  FFLoad::TFFLogWorker& worker = *FFLoad::VEDovedo;
  worker.SetActive(true);
  worker.SetSynchronous(true);
  worker.SetTriggerEventInMainThread(false);
  worker.SetLogLevel(FFLoad::llInfo);
  worker.SetOnLog(LogRecorder::TLogRecorder::Get().Event());
  worker.InstallAVLogCallback();
}

// A stop that finds the reader inside a packet: the demuxer may return what had arrived
// as a shorter packet, flagged corrupt or not (NUT does not flag it). Nothing read after
// the stop was asked for goes on: the output holds whole pictures of the input only, and
// the stop logs no error.
TEST_F(TranscodeTest, APacketCutShortByAStopIsNeverDecoded) {
  LoaderTestSupport::TLogWorkerSettings settings;
  RecordLogOnTheCallingThread();

  struct TCase {
    const char* Name;
    const char* Codec;  // of the NUT input
  } const cases[] = {
      {"raw pictures", "rawvideo"},
      {"MPEG-4 pictures", "mpeg4 -q:v 1 -g 1"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string in = Output("cut.nut");
    ASSERT_TRUE(RunJob("-f lavfi -i testsrc2=size=160x120:rate=25:duration=2,noise=alls=60:allf=t "
                       "-c:v " + std::string(c.Codec) + " -y " + in));
    const MediaProbe::TProbe source = MediaProbe::ProbeFile(in, true);
    ASSERT_GE(source.Result, 0);
    const std::vector<std::uint32_t>& source_sums = source.Find(AVMEDIA_TYPE_VIDEO)->FrameSums;
    const std::vector<TPacketPlace> places = PacketPlaces(in);
    ASSERT_GT(places.size(), 30u);
    const std::string text = ReadFile(in);
    // the bytes end in the middle of a packet
    const TPacketPlace& cut = places[places.size() / 2];
    TGatedStream stream(std::vector<std::uint8_t>(text.begin(), text.end()), cut.Pos + cut.Size / 2);

    LogRecorder::TLogRecorder::Get().Clear();
    const std::string out = Output("cut_out.nut");
    TFFmpeg task;
    TTerminateProbe terminate;
    task.FOnTerminate = terminate.Event();
    PARSE_OR_RETURN(task, "-memory " + stream.Address() + " -i host.nut -c:v rawvideo -y " + out);
    task.Start(true);
    ASSERT_TRUE(stream.WaitHeld());
    task.Stop(false);  // the stop is asked for while the reader waits inside the packet
    stream.Release();
    task.Stop(true);
    EXPECT_EQ(terminate.Count.load(), 1);
    EXPECT_FALSE(task.HasError()) << task.ErrorText();
    for (const LogRecorder::TRecord& r : LogRecorder::TLogRecorder::Get().Records())
      EXPECT_FALSE(r.Level >= FFLoad::llPanic && r.Level <= FFLoad::llError) << "an error line: " << r.Msg;

    const MediaProbe::TProbe written = MediaProbe::ProbeFile(out, true);
    ASSERT_GE(written.Result, 0);
    const std::vector<std::uint32_t>& sums = written.Find(AVMEDIA_TYPE_VIDEO)->FrameSums;
    ASSERT_LT(sums.size(), source_sums.size());
    for (std::size_t i = 0; i < sums.size(); i++)
      EXPECT_EQ(sums[i], source_sums[i]) << "picture " << i << " of " << sums.size();
  }
  settings.Restore();
}

// A stop interrupts the reader: a picture far larger than one read is cut short in the
// middle more often than not, or the read fails outright. The part that had arrived must
// not be decoded into a last picture with concealed errors: every picture written is one
// of the input, in order, and a stop logs no error. The task is paused before the stop,
// so that the reader holds a packet and reads the next one right after the stop.
TEST_F(TranscodeTest, StopWritesOnlyWholePicturesAndLogsNoError) {
  const std::string in = Output("stop_source.mp4");
  // noisy pictures, each a key frame at the finest quantiser: ~60 KB a packet, with a
  // tone between them; the index first, so that reading starts in the middle of a buffer
  ASSERT_TRUE(RunJob("-f lavfi -i testsrc2=size=320x240:rate=10:duration=30,noise=alls=60:allf=t "
                     "-f lavfi -i sine=duration=30 -c:v mpeg4 -q:v 1 -g 1 -c:a pcm_s16le "
                     "-movflags +faststart -y " + in));
  const MediaProbe::TProbe source = MediaProbe::ProbeFile(in, true);
  ASSERT_GE(source.Result, 0);
  const MediaProbe::TProbedStream* source_video = source.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(source_video, nullptr);
  ASSERT_GE(source_video->FrameSums.size(), 300u);

  LoaderTestSupport::TLogWorkerSettings settings;
  RecordLogOnTheCallingThread();

  for (int run = 0; run < 5; run++) {
    SCOPED_TRACE(run);
    LogRecorder::TLogRecorder::Get().Clear();
    const std::string out = Output("stop_" + std::to_string(run) + ".nut");
    TFFmpeg task;
    TProgressLog progress;
    TTerminateProbe terminate;
    task.FOnProgress = progress.Event();
    task.FOnTerminate = terminate.Event();
    task.Fstats_period.store(20000);
    PARSE_OR_RETURN(task, "-threads 1 -i " + in + " -map 0:v -threads 1 -c:v rawvideo -y " + out);
    task.Start(true);
    // handshake: some pictures are out, then the task holds
    (void)MainThreadPump::PumpUntil([&] {
      std::lock_guard<std::mutex> g(progress.Lock);
      return (!progress.Frames.empty() && progress.Frames.back() >= 2) || terminate.Count.load() > 0;
    });
    ASSERT_EQ(terminate.Count.load(), 0) << "the job ended before the stop";
    task.Pause();
    task.Stop(true);
    EXPECT_EQ(terminate.Count.load(), 1);
    EXPECT_FALSE(task.HasError()) << task.ErrorText();

    for (const LogRecorder::TRecord& r : LogRecorder::TLogRecorder::Get().Records())
      EXPECT_GT(r.Level, FFLoad::llError) << "an error line: " << r.Msg;
    EXPECT_FALSE(LogRecorder::TLogRecorder::Get().Contains("corrupt input packet"));

    const MediaProbe::TProbe written = MediaProbe::ProbeFile(out, true);
    ASSERT_GE(written.Result, 0);
    const MediaProbe::TProbedStream* video = written.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    ASSERT_LT(video->FrameSums.size(), source_video->FrameSums.size());
    for (std::size_t i = 0; i < video->FrameSums.size(); i++)
      EXPECT_EQ(video->FrameSums[i], source_video->FrameSums[i])
          << "picture " << i << " of " << video->FrameSums.size();
  }
  settings.Restore();
}

}  // namespace
