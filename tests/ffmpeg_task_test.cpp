// The conversion task object: life cycle and wrong-state calls, the terminate
// notification and error text, the progress report (line, "-progress" block, event), the
// video hooks and the preview (bitmap event, preview window).
#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QWidget>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/FFmpeg.h"
#include "engine/FFmpegInternal.h"
#include "engine/FFmpegMux.h"
#include "engine/FFmpegMuxInit.h"
#include "engine/FFmpegMuxInitInternal.h"
#include "engine/Previewer.h"
#include "engine/PreviewerInternal.h"
#include "engine/gui/PreviewerForm.h"
#include "engine/gui/PreviewerFormInternal.h"
#include "platform/Dispatcher.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFLoad.h"
#include "runtime/MyUtils.h"
#include "support/HandlerTestSupport.h"
#include "support/LoaderTestSupport.h"
#include "support/LogCapture.h"
#include "MainThreadPump.h"
#include "Watchdog.h"

namespace {

using FFmpeg::TCustomFFmpeg;
using FFmpeg::TFFmpeg;
using Platform::TObject;

// ---- Support ------------------------------------------------------------------------------

// Lines of the log worker (the task's own texts), delivered synchronously on the
// logging thread while it lives.
class TWorkerLog {
 public:
  TWorkerLog() {
    FFLoad::TFFLogWorker& w = *FFLoad::VEDovedo;
    w.SetActive(true);
    w.SetLogLevel(FFLoad::llInfo);
    w.SetSynchronous(true);
    w.SetTriggerEventInMainThread(false);
    w.SetOnLog(FFLoad::TLogEvent::FromFunction(&TWorkerLog::OnLog, this));
  }
  ~TWorkerLog() { FSettings.Restore(); }

  bool Has(FFLoad::TLogLevel ALevel, const std::string& AText) {
    std::lock_guard<std::mutex> g(FLock);
    for (const auto& l : FLines)
      if (l.first == ALevel && l.second.find(AText) != std::string::npos) return true;
    return false;
  }
  std::string All() {
    std::lock_guard<std::mutex> g(FLock);
    std::string s;
    for (const auto& l : FLines) s += l.second + "|";
    return s;
  }

 private:
  static void OnLog(void* AData, TObject*, int, FFLoad::TLogLevel ALevel, const std::string& AMsg) {
    auto* self = static_cast<TWorkerLog*>(AData);
    std::lock_guard<std::mutex> g(self->FLock);
    self->FLines.emplace_back(ALevel, AMsg);
  }

  LoaderTestSupport::TLogWorkerSettings FSettings;
  std::mutex FLock;
  std::vector<std::pair<FFLoad::TLogLevel, std::string>> FLines;
};

class TaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries))
        << FFLoad::FFLoader->GetLastErrMsg();
  }
};

// Records terminate notifications: how many, and on which thread.
struct TTerminateProbe {
  std::atomic<int> Count{0};
  std::atomic<Platform::TThreadID> Thread{0};
  std::atomic<bool> HadErrorText{false};
  static void OnTerminate(void* AData, void* ASender) {
    auto* self = static_cast<TTerminateProbe*>(AData);
    auto* task = static_cast<TCustomFFmpeg*>(ASender);
    self->HadErrorText.store(!task->ErrorText().empty());
    self->Thread.store(Platform::GetCurrentThreadId());
    self->Count.fetch_add(1);
  }
  Platform::TNotifyEvent Event() { return Platform::TNotifyEvent::FromFunction(&OnTerminate, this); }
};

// ---- Life cycle ---------------------------------------------------------------------------

TEST_F(TaskTest, StartWithoutOutputFileTerminatesOnTheCallerWithTheErrorText) {
  TWorkerLog log;
  TFFmpeg task;
  TTerminateProbe probe;
  task.FOnTerminate = probe.Event();

  task.Start(false);

  EXPECT_EQ(probe.Count.load(), 1);
  EXPECT_EQ(probe.Thread.load(), Platform::GetCurrentThreadId());
  EXPECT_TRUE(probe.HadErrorText.load()) << "the text is there when the handler runs";
  EXPECT_TRUE(task.HasError());
  EXPECT_EQ(task.ErrorText(), "At least one output file must be specified");
  EXPECT_TRUE(log.Has(FFLoad::llError, "At least one output file must be specified")) << log.All();
  EXPECT_FALSE(task.Running());
  EXPECT_TRUE(task.Terminated());

  // a terminated task neither starts nor terminates again
  task.Start(false);
  task.Start(true);
  task.Terminate(true);
  EXPECT_EQ(probe.Count.load(), 1);
}

TEST_F(TaskTest, WrongStateCallsChangeNothing) {
  struct TRow {
    const char* Name;
    bool Parsed;  // a scheduler exists, as after parsing
    void (*Call)(TCustomFFmpeg&);
    int PauseState;
    bool Broken;
  };
  const TRow rows[] = {
      {"Stop before parsing", false, [](TCustomFFmpeg& t) { t.Stop(true); }, -1, false},
      {"Stop(False) before parsing", false, [](TCustomFFmpeg& t) { t.Stop(false); }, -1, false},
      // a parsed task that never started: the stop is recorded, nothing waits
      {"Stop(True) never started", true, [](TCustomFFmpeg& t) { t.Stop(true); }, -1, true},
      {"Pause never started", true, [](TCustomFFmpeg& t) { t.Pause(); }, -1, false},
      {"Pause before parsing", false, [](TCustomFFmpeg& t) { t.Pause(); }, -1, false},
      {"Resume without pause", true, [](TCustomFFmpeg& t) { t.Resume(); }, -1, false},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TFFmpeg task;
    TTerminateProbe probe;
    task.FOnTerminate = probe.Event();
    if (row.Parsed) task.Fsch = FFmpegSched::sch_alloc(&task);
    row.Call(task);
    EXPECT_EQ(task.PauseState(), row.PauseState);
    EXPECT_EQ(task.FBroken.load(), row.Broken);
    EXPECT_EQ(task.FTotalPauseTime.load(), 0);
    EXPECT_EQ(probe.Count.load(), 0);
    EXPECT_FALSE(task.Running());
    EXPECT_FALSE(task.Terminated());
  }
}

TEST_F(TaskTest, TerminateOfATaskThatNeverRanNotifiesOnAnotherThreadAndWaits) {
  TFFmpeg task;
  TTerminateProbe probe;
  task.FOnTerminate = probe.Event();

  task.Terminate(true);
  EXPECT_EQ(probe.Count.load(), 1) << "Terminate(True) returns after the notification";
  EXPECT_NE(probe.Thread.load(), Platform::GetCurrentThreadId());
  EXPECT_TRUE(task.Terminated());
  EXPECT_FALSE(task.HasError());

  task.Terminate(true);
  task.Start(true);
  EXPECT_EQ(probe.Count.load(), 1);
}

// A terminate notification still under way when the task is destroyed: the destructor
// waits for it (under ASan a use after free shows otherwise).
TEST_F(TaskTest, DestroyRightAfterAnAsynchronousTerminateWaitsForTheNotification) {
  std::atomic<int> delivered{0};
  for (int i = 0; i < 200; i++) {
    auto* task = new TFFmpeg;
    task->FOnTerminate = Platform::TNotifyEvent::FromFunction(
        [](void* AData, void* ASender) {
          // touches the task: it must still be there
          static_cast<TCustomFFmpeg*>(ASender)->FOnProgress = nullptr;
          static_cast<std::atomic<int>*>(AData)->fetch_add(1);
        },
        &delivered);
    task->Terminate(false);
    delete task;
  }
  EXPECT_EQ(delivered.load(), 200);
}

// A task whose job fails at once: one output file (no muxer behind it) and a scheduler
// whose graph does not start (a demuxer stream without a destination).
void MakeFailingJob(TCustomFFmpeg& ATask) {
  ASSERT_NE(FFmpegMuxInit::mux_alloc(&ATask), nullptr);
  ATask.Fsch = FFmpegSched::sch_alloc(&ATask);
  ASSERT_NE(ATask.Fsch, nullptr);
  const int demux = FFmpegSched::sch_add_demux(
      ATask.Fsch, [](void*) { return 0; }, nullptr);
  ASSERT_GE(demux, 0);
  ASSERT_GE(FFmpegSched::sch_add_demux_stream(ATask.Fsch, demux), 0);
}

constexpr const char* kFailedText =
    "Invalid argument\r\nPlease check error log message(reported by VEDovedo) to find out more "
    "detail information.";

TEST_F(TaskTest, FailedJobKeepsItsErrorTextAndStillTerminatesOnTheCaller) {
  TWorkerLog log;
  TFFmpeg task;
  MakeFailingJob(task);
  struct TProbe {
    int Count = 0;
    Platform::TThreadID Thread = 0;
    bool StopReturned = false;
  } probe;
  task.FOnTerminate = Platform::TNotifyEvent::FromFunction(
      [](void* AData, void* ASender) {
        auto* p = static_cast<TProbe*>(AData);
        // on the job's own thread a waiting stop must not wait for itself
        static_cast<TCustomFFmpeg*>(ASender)->Stop(true);
        p->StopReturned = true;
        p->Thread = Platform::GetCurrentThreadId();
        p->Count++;
      },
      &probe);

  task.Start(false);

  EXPECT_EQ(probe.Count, 1);
  EXPECT_TRUE(probe.StopReturned);
  EXPECT_EQ(probe.Thread, Platform::GetCurrentThreadId());
  EXPECT_TRUE(task.HasError());
  EXPECT_EQ(task.ErrorText(), kFailedText);
  EXPECT_TRUE(log.Has(FFLoad::llError, kFailedText)) << log.All();
  EXPECT_FALSE(task.JobFinished());
  EXPECT_FALSE(task.Running());
  EXPECT_TRUE(task.Terminated());
  task.Start(false);
  EXPECT_EQ(probe.Count, 1) << "an ended task does not start again";
}

TEST_F(TaskTest, AsynchronousJobTerminatesOnItsConvertThread) {
  TFFmpeg task;
  MakeFailingJob(task);
  TTerminateProbe probe;
  task.FOnTerminate = probe.Event();
  task.Start(true);
  task.Stop(true);  // waits for the job
  EXPECT_EQ(probe.Count.load(), 1);
  EXPECT_NE(probe.Thread.load(), Platform::GetCurrentThreadId());
  EXPECT_TRUE(probe.HadErrorText.load());
  EXPECT_EQ(task.ErrorText(), kFailedText);
}

// Start(True) and destroy at once: the destroy waits for the convert thread, which
// still reads and writes the task (under ASan and TSan a use after free or a race
// shows otherwise).
TEST_F(TaskTest, DestroyRightAfterAnAsynchronousStart) {
  std::atomic<int> delivered{0};
  for (int i = 0; i < 200; i++) {
    auto* task = new TFFmpeg;
    MakeFailingJob(*task);
    task->FOnTerminate = Platform::TNotifyEvent::FromFunction(
        [](void* AData, void*) { static_cast<std::atomic<int>*>(AData)->fetch_add(1); },
        &delivered);
    task->Start(true);
    delete task;
  }
  EXPECT_EQ(delivered.load(), 200);
}

// One run per task, whatever the order of the calls and the threads they come from: a
// Terminate of a task that never ran, then a Start, or two Starts at once, notify once
// (a second job would notify twice, and two jobs at once on one task may crash).
TEST_F(TaskTest, OneRunPerTaskWhateverTheCallOrder) {
  using TCall = std::function<void(TCustomFFmpeg&)>;
  const TCall startAsync = [](TCustomFFmpeg& T) { T.Start(true); };
  const TCall startSync = [](TCustomFFmpeg& T) { T.Start(false); };
  const TCall terminate = [](TCustomFFmpeg& T) { T.Terminate(false); };
  struct TRow {
    const char* Name;
    TCall First, Second;
    bool AtOnce;  // on two threads at once, else one after the other on this thread
  };
  const TRow rows[] = {
      {"Terminate(False) then Start(True)", terminate, startAsync, false},
      {"Terminate(False) then Start(False)", terminate, startSync, false},
      {"Start(True) on two threads at once", startAsync, startAsync, true},
      {"Start(False) on two threads at once", startSync, startSync, true},
      {"Start(True) and Terminate(False) at once", startAsync, terminate, true},
      {"Start(False) and Terminate(False) at once", startSync, terminate, true},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    int twice = 0;
    for (int round = 0; round < 100; round++) {
      std::atomic<int> notified{0};
      auto* task = new TFFmpeg;
      MakeFailingJob(*task);
      task->FOnTerminate = Platform::TNotifyEvent::FromFunction(
          [](void* AData, void*) { static_cast<std::atomic<int>*>(AData)->fetch_add(1); },
          &notified);
      if (row.AtOnce) {
        std::atomic<int> ready{0};
        auto call = [&](const TCall& ACall) {
          ready.fetch_add(1);
          while (ready.load() < 2) std::this_thread::yield();
          ACall(*task);
        };
        std::thread a(call, std::cref(row.First));
        std::thread b(call, std::cref(row.Second));
        a.join();
        b.join();
      } else {
        row.First(*task);
        row.Second(*task);
      }
      delete task;  // waits for every thread of the task
      if (notified.load() != 1) twice++;
    }
    EXPECT_EQ(twice, 0) << "rounds of 100 that did not notify exactly once";
  }
}

// A terminate handler that frees its own task, on each thread a notification comes on:
// nothing of the task is touched after the handler (under ASan a use after free shows
// otherwise) and nothing waits for itself (the terminate thread would wait for its own
// end: the bound below turns that hang into a failure).
TEST_F(TaskTest, TerminateHandlerMayFreeItsOwnTask) {
  struct TRow {
    const char* Name;
    bool Job;   // a job that fails at once (else a task with no output file)
    int Start;  // 0 Start(False), 1 Start(True), 2 Terminate(False) of a task that never ran
  };
  const TRow rows[] = {
      {"synchronous job", true, 0},
      {"synchronous start without output file", false, 0},
      {"asynchronous job", true, 1},
      {"terminate of a task that never ran", false, 2},
      {"terminate of a parsed task that never ran", true, 2},
  };
  struct TProbe {
    std::mutex Lock;
    std::condition_variable Cond;
    int Freed = 0;
    static void OnTerminate(void* AData, void* ASender) {
      auto* self = static_cast<TProbe*>(AData);
      delete static_cast<TFFmpeg*>(ASender);
      std::lock_guard<std::mutex> g(self->Lock);
      self->Freed++;
      self->Cond.notify_all();
    }
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TProbe probe;
    constexpr int kRounds = 20;
    for (int i = 0; i < kRounds; i++) {
      auto* task = new TFFmpeg;
      if (row.Job) MakeFailingJob(*task);
      task->FOnTerminate = Platform::TNotifyEvent::FromFunction(&TProbe::OnTerminate, &probe);
      if (row.Start == 2)
        task->Terminate(false);
      else
        task->Start(row.Start == 1);
      if (row.Start == 0) {
        std::lock_guard<std::mutex> g(probe.Lock);
        EXPECT_EQ(probe.Freed, i + 1) << "freed before Start returned";
      }
    }
    std::unique_lock<std::mutex> g(probe.Lock);
    // A bound for a hang, not a speed target.
    ASSERT_TRUE(probe.Cond.wait_for(g, std::chrono::seconds(60), [&] { return probe.Freed == kRounds; }))
        << probe.Freed << " of " << kRounds << " tasks freed";
  }
}

// The destroy notification comes first, while the task is whole: its events and
// decoders are still there, and so is what the job built.
TEST_F(TaskTest, DestroyNotificationComesBeforeAnythingIsTornDown) {
  struct TSeen {
    bool Called = false;
    bool TerminateEvent = false;
    std::size_t Decoders = 0;
    bool Scheduler = false;
    int OutputFiles = 0;
  } seen;
  auto* task = new TFFmpeg;
  MakeFailingJob(*task);
  task->FDecoders.push_back(new TObject);
  TTerminateProbe probe;
  task->FOnTerminate = probe.Event();
  task->FOnDestroy = Platform::TNotifyEvent::FromFunction(
      [](void* AData, void* ASender) {
        auto* s = static_cast<TSeen*>(AData);
        auto* t = static_cast<TFFmpeg*>(ASender);
        s->Called = true;
        s->TerminateEvent = t->FOnTerminate.Assigned();
        s->Decoders = t->FDecoders.size();
        s->Scheduler = t->Fsch != nullptr;
        s->OutputFiles = t->Fnb_output_files;
      },
      &seen);
  delete task;
  EXPECT_TRUE(seen.Called);
  EXPECT_TRUE(seen.TerminateEvent);
  EXPECT_EQ(seen.Decoders, 1u);
  EXPECT_TRUE(seen.Scheduler);
  EXPECT_EQ(seen.OutputFiles, 1);
  EXPECT_EQ(probe.Count.load(), 0) << "a task that never ran reports nothing as it goes";
}

// ---- Progress report ------------------------------------------------------------------------

// An output file of two video streams, laid out as the muxer's records, for the report
// to read (no muxer runs).
struct TReportOutputs {
  FFmpegMux::TMux Mux{};
  FFmpegMux::TMuxStream Streams[2]{};
  FFmpegHeader::TEncoder Encoders[2]{};
  FFmpegHeader::TOutputFilter Filter{};
  FFmpegHeader::POutputStream StreamList[2];
  FFmpegHeader::POutputFile FileList[1];
  TCustomFFmpeg* Task;

  explicit TReportOutputs(TCustomFFmpeg* ATask, int ANbStreams) : Task(ATask) {
    for (int i = 0; i < 2; i++) {
      FFmpegHeader::TOutputStream& ost = Streams[i].ost;
      ost.type_ = AVMEDIA_TYPE_VIDEO;
      ost.file_ = &Mux.of;
      ost.index = i;
      ost.enc = &Encoders[i];
      StreamList[i] = &ost;
    }
    Streams[0].ost.filter = &Filter;
    Mux.of.streams = StreamList;
    Mux.of.nb_streams = ANbStreams;
    FileList[0] = &Mux.of;
    Task->Foutput_files = FileList;
    Task->Fnb_output_files = 1;
    Task->Fnb_output_dumped.store(1);
  }
  ~TReportOutputs() {
    Task->Foutput_files = nullptr;
    Task->Fnb_output_files = 0;
  }
};

struct TProgressValues {
  int Count = 0;
  int FileIndex = 0, FrameNumber = 0, FPS = 0;
  float Quality = 0, BitRate = 0;
  std::int64_t TotalSize = 0, CurrentDuration = 0, TotalDuration = 0;
  static void OnProgress(void* AData, TObject*, int AFileIndex, int AFrameNumber, int AFPS,
                         float AQuality, float ABitRate, const std::int64_t& ATotalSize,
                         const std::int64_t& ACurrentDuration,
                         const std::int64_t& ATotalDuration) {
    auto* v = static_cast<TProgressValues*>(AData);
    v->Count++;
    v->FileIndex = AFileIndex;
    v->FrameNumber = AFrameNumber;
    v->FPS = AFPS;
    v->Quality = AQuality;
    v->BitRate = ABitRate;
    v->TotalSize = ATotalSize;
    v->CurrentDuration = ACurrentDuration;
    v->TotalDuration = ATotalDuration;
  }
  FFmpeg::TTaskProgressEvent Event() {
    return FFmpeg::TTaskProgressEvent::FromFunction(&OnProgress, this);
  }
};

std::string ReadFile(const std::string& AName) {
  std::ifstream f(AName, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string TempName(const std::string& ABase) {
  return ::testing::TempDir() + ABase + "_" + std::to_string(::getpid());
}

// Everything the report logged through the FFmpeg log (info level), one string.
std::string InfoLines() {
  std::string s;
  for (const auto& l : TLogCapture::Snapshot())
    if (l.Level == AV_LOG_INFO) s += l.Text;
  return s;
}

TEST_F(TaskTest, ProgressReportFormatsLineBlockAndEvent) {
  constexpr std::int64_t kNoPts = AV_NOPTS_VALUE;
  struct TRow {
    const char* Name;
    int NbStreams;
    std::int64_t Packets;      // of stream 0
    std::int64_t FileSize;     // -1: not known
    std::int64_t Pts;
    bool IsLast;
    bool WithEvent;
    std::int64_t Dup, Drop;
    const char* Line;          // expected in the logged line ("" : nothing logged)
    const char* Block;         // the whole "-progress" block
    int EventFrame;
    int EventFPS;
    float EventBitRate;
    std::int64_t EventSize, EventPts;
  };
  const TRow rows[] = {
      {"before the first packet", 1, 0, -1, kNoPts, false, false, 0, 0,
       "size=N/A time=N/A bitrate=N/A speed=N/A elapsed=0:00:02.00\n",
       "frame=0\nfps=0.00\nstream_0_0_q=3.0\n"
       "bitrate=N/A\ntotal_size=N/A\nout_time_us=N/A\nout_time_ms=N/A\nout_time=N/A\n"
       "dup_frames=0\ndrop_frames=0\nspeed=N/A\nprogress=continue\n",
       0, 0, 0, 0, 0},
      {"event before the first packet, line held back", 1, 0, -1, kNoPts, false, true, 0, 0, "",
       "frame=0\nfps=0.00\nstream_0_0_q=3.0\nbitrate=N/A\ntotal_size=N/A\nout_time_us=N/A\nout_time_ms=N/A\nout_time=N/A\n"
       "dup_frames=0\ndrop_frames=0\nspeed=N/A\nprogress=continue\n",
       -1, 0, -1, 0, 0},
      {"running video", 1, 50, 102400, 2000000, false, true, 0, 0, "",
       "frame=50\nfps=25.00\nstream_0_0_q=3.0\nbitrate= 409.6kbits/s\ntotal_size=102400\n"
       "out_time_us=2000000\nout_time_ms=2000000\nout_time=00:00:02.000000\n"
       "dup_frames=0\ndrop_frames=0\nspeed=   1x\nprogress=continue\n",
       50, 25, 409.6f, 102400, 2000000},
      {"last report, two video streams", 2, 50, 102400, 2000000, true, true, 0, 0,
       "frame=   50 fps= 25 q=3.0 Lq=2.0 size=     100KiB time=00:00:02.000 "
       "bitrate= 409.6kbits/s speed=   1x elapsed=0:00:02.00\n",
       "frame=50\nfps=25.00\nstream_0_0_q=3.0\nstream_0_1_q=2.0\nbitrate= 409.6kbits/s\n"
       "total_size=102400\nout_time_us=2000000\nout_time_ms=2000000\n"
       "out_time=00:00:02.000000\ndup_frames=0\ndrop_frames=0\nspeed=   1x\nprogress=end\n",
       50, 25, 409.6f, 102400, 2000000},
      {"negative time", 1, 0, 1000, -1500000, false, false, 0, 0,
       "size=       1KiB time=-00:00:01.500 bitrate=N/A speed=N/A elapsed=0:00:02.00\n",
       "frame=0\nfps=0.00\nstream_0_0_q=3.0\nbitrate=N/A\ntotal_size=1000\nout_time_us=-1500000\nout_time_ms=-1500000\n"
       "out_time=-00:00:01.500000\ndup_frames=0\ndrop_frames=0\nspeed=N/A\nprogress=continue\n",
       0, 0, 0, 0, 0},
      {"first duplicates are logged even with an event", 1, 10, 2048, 400000, false, true, 2, 1,
       "frame=   10 fps=5.0 q=3.0 size=       2KiB time=00:00:00.400 bitrate=  41.0kbits/s "
       "dup=2 drop=1 speed= 0.2x elapsed=0:00:02.00\n",
       "frame=10\nfps=5.00\nstream_0_0_q=3.0\nbitrate=  41.0kbits/s\ntotal_size=2048\n"
       "out_time_us=400000\nout_time_ms=400000\nout_time=00:00:00.400000\n"
       "dup_frames=2\ndrop_frames=1\nspeed= 0.2x\nprogress=continue\n",
       10, 5, 40.96f, 2048, 400000},
  };
  TLogCapture capture;
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TLogCapture::Clear();
    TFFmpeg task;
    TReportOutputs outputs(&task, row.NbStreams);
    outputs.Mux.last_filesize = row.FileSize;
    outputs.Streams[0].ost.packets_written = row.Packets;
    outputs.Streams[0].ost.quality = 3 * FF_QP2LAMBDA;
    outputs.Streams[1].ost.packets_written = row.Packets;
    outputs.Streams[1].ost.quality = 2 * FF_QP2LAMBDA;
    outputs.Filter.nb_frames_dup = row.Dup;
    outputs.Filter.nb_frames_drop = row.Drop;
    task.FShowDupOrDrop.store(1);
    task.FOutputDuration.store(5000000);
    TProgressValues progress;
    if (row.WithEvent) task.FOnProgress = progress.Event();
    const std::string blockFile = TempName("progress_block");
    ASSERT_GE(AVFormatStubs::avio_open2(&task.Fprogress_avio, blockFile.c_str(), AVIO_FLAG_WRITE,
                                        nullptr, nullptr),
              0);

    FFmpeg::print_report(&task, row.IsLast, row.Pts, 12000000, 10000000);
    if (task.Fprogress_avio) AVFormatStubs::avio_closep(&task.Fprogress_avio);

    EXPECT_EQ(InfoLines(), row.Line);
    EXPECT_EQ(ReadFile(blockFile), row.Block);
    std::remove(blockFile.c_str());
    if (row.WithEvent) {
      EXPECT_EQ(progress.Count, 1);
      EXPECT_EQ(progress.FileIndex, -1);
      EXPECT_EQ(progress.FrameNumber, row.EventFrame);
      EXPECT_EQ(progress.FPS, row.EventFPS);
      EXPECT_NEAR(progress.BitRate, row.EventBitRate, 0.01);
      EXPECT_EQ(progress.TotalSize, row.EventSize);
      EXPECT_EQ(progress.CurrentDuration, row.EventPts);
      EXPECT_EQ(progress.TotalDuration, 5000000);
      EXPECT_FLOAT_EQ(progress.Quality, row.NbStreams == 2 ? 2.0f : 3.0f);
    }
  }
}

TEST_F(TaskTest, ProgressReportsComeOncePerPeriodAndTheLastClosesTheBlock) {
  TLogCapture capture;
  TFFmpeg task;
  TReportOutputs outputs(&task, 1);
  outputs.Streams[0].ost.packets_written = 5;
  TProgressValues progress;
  task.FOnProgress = progress.Event();
  const std::string blockFile = TempName("progress_period");
  ASSERT_GE(AVFormatStubs::avio_open2(&task.Fprogress_avio, blockFile.c_str(), AVIO_FLAG_WRITE,
                                      nullptr, nullptr),
            0);

  const std::int64_t start = 1000000;
  FFmpeg::print_report(&task, false, 100000, start + 100000, start);  // first: reported
  FFmpeg::print_report(&task, false, 200000, start + 400000, start);  // 0.3 s later: skipped
  FFmpeg::print_report(&task, false, 300000, start + 600000, start);  // 0.5 s later: reported
  EXPECT_EQ(progress.Count, 2);
  EXPECT_EQ(progress.CurrentDuration, 300000);
  EXPECT_EQ(InfoLines(), "") << "with an event, the line waits for the end";

  FFmpeg::print_report(&task, true, 400000, start + 700000, start);
  EXPECT_EQ(progress.Count, 3);
  EXPECT_EQ(task.Fprogress_avio, nullptr) << "the last report closes the block's output";
  EXPECT_NE(InfoLines().find("frame=    5"), std::string::npos) << InfoLines();

  const std::string text = ReadFile(blockFile);
  std::remove(blockFile.c_str());
  // three blocks, the keys of each in order, the last one ending the output
  std::vector<std::string> keys;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) keys.push_back(line.substr(0, line.find('=')));
  const std::vector<std::string> one = {"frame", "fps", "stream_0_0_q", "bitrate", "total_size",
                                        "out_time_us", "out_time_ms", "out_time", "dup_frames",
                                        "drop_frames", "speed", "progress"};
  ASSERT_EQ(keys.size(), one.size() * 3) << text;
  for (std::size_t i = 0; i < keys.size(); i++) EXPECT_EQ(keys[i], one[i % one.size()]);
  EXPECT_EQ(text.substr(text.size() - 13), "progress=end\n");
}

// Every "-progress" block carries every key from the first one on: before a video packet
// was written the frame keys say 0 (the line and the event keep waiting for a packet, and
// a second video stream's quality is there too); the rate is given once a second has
// passed, 0 before.
TEST_F(TaskTest, ProgressBlockHasEveryKeyAndTheRateAfterASecond) {
  struct TRow {
    const char* Name;
    std::int64_t Packets0, Packets1;  // of the two video streams
    std::int64_t Elapsed;             // since the timer start, microseconds
    const char* Frames;               // the block's first lines
    int EventFrame, EventFPS;
  } const rows[] = {
      {"nothing written", 0, 0, 500000, "frame=0\nfps=0.00\nstream_0_0_q=3.0\nstream_0_1_q=2.0\n",
       -1, 0},
      {"only the second stream wrote", 0, 8, 2000000,
       "stream_0_0_q=3.0\nframe=8\nfps=4.00\nstream_0_1_q=2.0\n", 8, 4},
      {"within the first second", 20, 20, 500000,
       "frame=20\nfps=0.00\nstream_0_0_q=3.0\nstream_0_1_q=2.0\n", 20, 0},
      {"after a second", 20, 20, 1250000,
       "frame=20\nfps=16.00\nstream_0_0_q=3.0\nstream_0_1_q=2.0\n", 20, 16},
  };
  TLogCapture capture;
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TFFmpeg task;
    TReportOutputs outputs(&task, 2);
    outputs.Streams[0].ost.packets_written = row.Packets0;
    outputs.Streams[0].ost.quality = 3 * FF_QP2LAMBDA;
    outputs.Streams[1].ost.packets_written = row.Packets1;
    outputs.Streams[1].ost.quality = 2 * FF_QP2LAMBDA;
    TProgressValues progress;
    task.FOnProgress = progress.Event();
    const std::string blockFile = TempName("progress_keys");
    ASSERT_GE(AVFormatStubs::avio_open2(&task.Fprogress_avio, blockFile.c_str(), AVIO_FLAG_WRITE,
                                        nullptr, nullptr),
              0);
    FFmpeg::print_report(&task, false, 400000, 10000000 + row.Elapsed, 10000000);
    AVFormatStubs::avio_closep(&task.Fprogress_avio);
    const std::string block = ReadFile(blockFile);
    std::remove(blockFile.c_str());
    EXPECT_EQ(block.substr(0, std::strlen(row.Frames)), row.Frames) << block;
    EXPECT_EQ(progress.FrameNumber, row.EventFrame);
    EXPECT_EQ(progress.FPS, row.EventFPS);
  }
}

// ---- Video hooks ----------------------------------------------------------------------------

// A 64x48 YUV 4:2:0 picture of one grey.
struct TGreyPicture {
  static constexpr int W = 64, H = 48;
  std::uint8_t* Buffer = nullptr;
  FFUtils::TAVPicture Picture{};
  TGreyPicture() {
    const int size = FFUtils::avpicture_get_size(AV_PIX_FMT_YUV420P, W, H);
    Buffer = static_cast<std::uint8_t*>(AVUtilStubs::av_malloc(size));
    FFUtils::avpicture_fill(&Picture, Buffer, AV_PIX_FMT_YUV420P, W, H);
    std::memset(Buffer, 128, size);
    std::memset(Picture.data[0], 200, W * H);
  }
  ~TGreyPicture() { AVUtilStubs::av_free(Buffer); }
  int Luma(int x, int y) const { return Picture.data[0][y * Picture.linesize[0] + x]; }
};

struct THookProbe {
  int Calls = 0;
  bool Paint = false;       // paint the bitmap black
  bool ClearUpdate = false;
  bool StopAfterCall = false;
  bool Throw = false;
  int Width = 0, Height = 0;
  static void OnHook(void* AData, TObject*, Platform::TBitmap* ABitmap, int, const std::int64_t&,
                     bool& AUpdate, bool& AStopHook) {
    auto* p = static_cast<THookProbe*>(AData);
    p->Calls++;
    p->Width = ABitmap->Width();
    p->Height = ABitmap->Height();
    if (p->Paint)
      for (int y = 0; y < ABitmap->Height(); y++)
        std::memset(ABitmap->ScanLine(y), 0, ABitmap->RowBytes());
    if (p->ClearUpdate) AUpdate = false;
    if (p->StopAfterCall) AStopHook = true;
    if (p->Throw) throw Platform::Exception("painting failed");
  }
  FFmpeg::TTaskVideoHookEvent Event() {
    return FFmpeg::TTaskVideoHookEvent::FromFunction(&OnHook, this);
  }
};

TEST_F(TaskTest, VideoHookPaintsKeepsOrStopsAsTheHandlerSays) {
  struct TRow {
    const char* Name;
    bool Paint, ClearUpdate, Stop, Throw;
    int LumaAfter;  // of the picture after the hook
    bool HookKept;
    const char* Logged;
  };
  const TRow rows[] = {
      {"painted black reaches the picture", true, false, false, false, 16, true, nullptr},
      {"cleared update leaves the picture", true, true, false, false, 200, true, nullptr},
      {"stop ends the hook after this frame", true, false, true, false, 16, false, nullptr},
      {"an exception is logged and changes nothing", true, false, false, true, 200, true,
       "Error occurs VideoHook event: painting failed"},
  };
  for (const TRow& row : rows) {
    for (bool input : {true, false}) {
      SCOPED_TRACE(std::string(row.Name) + (input ? " (input side)" : " (output side)"));
      TWorkerLog log;
      TFFmpeg task;
      THookProbe probe;
      probe.Paint = row.Paint;
      probe.ClearUpdate = row.ClearUpdate;
      probe.StopAfterCall = row.Stop;
      probe.Throw = row.Throw;
      (input ? task.FOnVideoInputHook : task.FOnVideoOutputHook) = probe.Event();
      TGreyPicture pic;
      bool converted = false;
      task.DoVideoHook(input, input ? task.FHookConverter.get() : task.FPreviewConverter.get(),
                       converted, 1, 40000, AV_PIX_FMT_YUV420P, pic.W, pic.H, &pic.Picture);
      EXPECT_EQ(probe.Calls, 1);
      EXPECT_TRUE(converted);
      EXPECT_EQ(probe.Width, pic.W);
      EXPECT_EQ(probe.Height, pic.H);
      EXPECT_NEAR(pic.Luma(10, 10), row.LumaAfter, 2);
      EXPECT_EQ((input ? task.FOnVideoInputHook : task.FOnVideoOutputHook).Assigned(),
                row.HookKept);
      if (row.Logged) {
        EXPECT_TRUE(log.Has(FFLoad::llError, row.Logged)) << log.All();
      }
      // the next frame reaches the handler only while the hook is kept
      task.DoVideoHook(input, input ? task.FHookConverter.get() : task.FPreviewConverter.get(),
                       converted, 2, 80000, AV_PIX_FMT_YUV420P, pic.W, pic.H, &pic.Picture);
      EXPECT_EQ(probe.Calls, row.HookKept ? 2 : 1);
    }
  }
}

TEST_F(TaskTest, FailedConversionSkipsTheHandlerLogsAndEndsTheHook) {
  TWorkerLog log;
  TFFmpeg task;
  THookProbe probe;
  task.FOnVideoInputHook = probe.Event();
  TGreyPicture pic;
  bool converted = true;
  // first a good frame, so the bitmap holds an older picture
  task.DoVideoHook(true, task.FHookConverter.get(), converted, 1, 0, AV_PIX_FMT_YUV420P, pic.W,
                   pic.H, &pic.Picture);
  ASSERT_EQ(probe.Calls, 1);
  // a picture no scaler takes
  task.DoVideoHook(true, task.FHookConverter.get(), converted, 2, 0, AV_PIX_FMT_NONE, pic.W, pic.H,
                   &pic.Picture);
  EXPECT_FALSE(converted);
  EXPECT_EQ(probe.Calls, 1) << "the handler never sees a stale bitmap";
  EXPECT_FALSE(task.FOnVideoInputHook.Assigned());
  EXPECT_TRUE(log.Has(FFLoad::llError, "Cannot initialize the toRGB conversion context"))
      << log.All();
}

// ---- Preview --------------------------------------------------------------------------------

struct TPreviewProbe {
  std::atomic<int> Count{0};
  std::int64_t LastPTS = 0;
  int LastFrame = 0;
  static void OnPreview(void* AData, TObject*, Platform::TBitmap*, int AFrameNumber,
                        const std::int64_t& APTS) {
    auto* p = static_cast<TPreviewProbe*>(AData);
    p->LastFrame = AFrameNumber;
    p->LastPTS = APTS;
    p->Count.fetch_add(1);
  }
  FFmpeg::TTaskPreviewEvent Event() {
    return FFmpeg::TTaskPreviewEvent::FromFunction(&OnPreview, this);
  }
};

void Preview(TCustomFFmpeg& ATask, TGreyPicture& APic, int AFrame, std::int64_t APTS) {
  ATask.DoPreview(APic.Picture.data, APic.Picture.linesize, AV_PIX_FMT_YUV420P, APic.W, APic.H,
                  false, AFrame, APTS);
}

TEST_F(TaskTest, PreviewBitmapEventComesAtMostOncePerInterval) {
  TFFmpeg task;
  TPreviewProbe probe;
  task.FOnPreviewBitmap = probe.Event();
  task.SetPreviewFlags(FFmpeg::PREVIEW_BITMAP | FFmpeg::PREVIEW_WINDOW);
  task.FPreviewInterval.store(60 * 1000000LL);
  TGreyPicture pic;
  for (int i = 1; i <= 10; i++) Preview(task, pic, i, i * 40000);
  EXPECT_EQ(probe.Count.load(), 1);
  EXPECT_EQ(probe.LastFrame, 1);
  EXPECT_EQ(probe.LastPTS, 40000);
  // the event wins over the window: no window was made, and the flags stay
  EXPECT_EQ(task.FPreviewer, nullptr);
  EXPECT_EQ(task.PreviewFlags(), FFmpeg::PREVIEW_BITMAP | FFmpeg::PREVIEW_WINDOW);
}

// A worker delivers previews whose conversion and handler hand work to the main thread,
// while the main thread keeps switching the preview flags: neither side may wait for
// the other.
TEST_F(TaskTest, PreviewFlagsSwitchedOnTheMainThreadDuringDeliveryDoNotHang) {
  TFFmpeg task;
  std::atomic<int> delivered{0};
  task.FOnPreviewBitmap = FFmpeg::TTaskPreviewEvent::FromFunction(
      [](void* AData, TObject*, Platform::TBitmap*, int, const std::int64_t&) {
        // what the encoder component does: hand the event to the main thread
        MyUtils::MySynchronize(Platform::TThreadMethod::FromFunction([](void*) {}, nullptr));
        static_cast<std::atomic<int>*>(AData)->fetch_add(1);
      },
      &delivered);
  task.FPreviewInterval.store(-1);  // every frame
  task.SetPreviewFlags(FFmpeg::PREVIEW_BITMAP);
  Previewer::TPreviewWindowFactory saved = Previewer::GetPreviewWindowFactory();
  Previewer::SetPreviewWindowFactory(nullptr);  // bit 0 alone ends at once, headless

  std::atomic<bool> done{false};
  std::thread worker([&] {
    TGreyPicture pic;
    for (int i = 0; i < 200; i++) Preview(task, pic, i, i);
    done.store(true);
    Platform::NotifyMainThread();
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int flips = 0;
  while (!done.load() && std::chrono::steady_clock::now() < deadline) {
    task.SetPreviewFlags((flips++ & 1) ? FFmpeg::PREVIEW_BITMAP
                                       : FFmpeg::PREVIEW_BITMAP | FFmpeg::PREVIEW_WINDOW);
    Platform::ProcessMainThreadQueue();
  }
  const bool finished = done.load();
  if (!finished) {
    // unblock the worker before failing
    while (!MainThreadPump::PumpUntil([&] { return done.load(); })) {
    }
  }
  worker.join();
  Previewer::SetPreviewWindowFactory(saved);
  EXPECT_TRUE(finished) << "the worker and the main thread waited for each other";
  EXPECT_GT(delivered.load(), 0);
  EXPECT_GT(flips, 0);
}

TEST_F(TaskTest, WithoutAWindowTheWindowPreviewEnds) {
  TWorkerLog log;
  TFFmpeg task;
  Previewer::TPreviewWindowFactory saved = Previewer::GetPreviewWindowFactory();
  Previewer::SetPreviewWindowFactory(nullptr);
  task.SetPreviewFlags(FFmpeg::PREVIEW_WINDOW | FFmpeg::PREVIEW_BITMAP);  // no event assigned
  task.FPreviewInterval.store(-1);
  TGreyPicture pic;
  Preview(task, pic, 1, 0);
  Previewer::SetPreviewWindowFactory(saved);
  EXPECT_EQ(task.PreviewFlags(), FFmpeg::PREVIEW_BITMAP) << "bit 0 dropped, bit 1 kept";
  EXPECT_EQ(task.FPreviewer, nullptr);
}

// The Qt window under the offscreen platform.
QApplication& App() {
  static QApplication* app = [] {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "ostrevan_tests";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *app;
}

Previewer::TPreviewerForm* FindForm() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* f = dynamic_cast<Previewer::TPreviewerForm*>(w)) return f;
  return nullptr;
}

// Runs AWork on a worker (as an encoder thread would) while this, the main thread,
// serves the dispatcher and Qt.
void OnWorker(const std::function<void()>& AWork) {
  MainThreadPump::RunPumping(AWork, [] { QApplication::processEvents(); });
}

TEST_F(TaskTest, PreviewWindowShowsTheFrameWithItsTimeUntilTheUserClosesIt) {
  App();
  Previewer::TPreviewWindowFactory saved = Previewer::GetPreviewWindowFactory();
  Previewer::InstallPreviewWindows();
  {
    TFFmpeg task;
    task.SetPreviewFlags(FFmpeg::PREVIEW_WINDOW | FFmpeg::PREVIEW_BITMAP);  // no event: window
    task.FPreviewInterval.store(-1);
    TGreyPicture pic;
    OnWorker([&] { Preview(task, pic, 1, 1000000); });

    Previewer::TPreviewerForm* form = FindForm();
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->windowTitle().toStdString(), "00:00:01.000");
    EXPECT_EQ(form->width(), pic.W);
    EXPECT_EQ(form->height(), pic.H);
    EXPECT_TRUE(form->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(form->windowFlags() & Qt::WindowType_Mask, Qt::Tool);
    const QRgb px = form->Image().pixel(5, 5);
    EXPECT_NEAR(qRed(px), 214, 3);  // studio-range 200 on full-range grey
    EXPECT_EQ(qRed(px), qGreen(px));
    EXPECT_EQ(qGreen(px), qBlue(px));

    OnWorker([&] { Preview(task, pic, 2, AV_NOPTS_VALUE); });
    EXPECT_EQ(FindForm(), form) << "one window for the task";
    EXPECT_EQ(form->windowTitle().toStdString(), "N/A");

    form->close();  // the user closes it
    OnWorker([&] { Preview(task, pic, 3, 3000000); });
    EXPECT_EQ(task.PreviewFlags(), FFmpeg::PREVIEW_BITMAP) << "the window preview ended";
    EXPECT_EQ(FindForm(), nullptr) << "the window was freed";
  }
  Previewer::SetPreviewWindowFactory(saved);
}

TEST_F(TaskTest, SwitchingTheWindowOffClosesItAtOnce) {
  App();
  Previewer::TPreviewWindowFactory saved = Previewer::GetPreviewWindowFactory();
  Previewer::InstallPreviewWindows();
  {
    TFFmpeg task;
    task.SetPreviewFlags(FFmpeg::PREVIEW_WINDOW);
    task.FPreviewInterval.store(-1);
    TGreyPicture pic;
    OnWorker([&] { Preview(task, pic, 1, 0); });
    ASSERT_NE(FindForm(), nullptr);
    task.SetPreviewFlags(0);
    EXPECT_EQ(FindForm(), nullptr);
  }
  Previewer::SetPreviewWindowFactory(saved);
}

// The window is switched off while an encode-side video hook holds the preview work (the
// switch cannot free it then): the encoder frees it with its next frame, long before the
// job ends.
TEST_F(TaskTest, WindowSwitchedOffWhileAHookRunsClosesWithTheNextFrame) {
  App();
  Previewer::TPreviewWindowFactory saved = Previewer::GetPreviewWindowFactory();
  Previewer::InstallPreviewWindows();
  {
    // Steps of the handshake between the hook (encoder thread) and this, the main thread.
    enum : int { kRunning, kAskOff, kSwitchedOff, kAskLook, kLooked, kGaveUp };
    struct TProbe {
      std::atomic<int> Calls{0};
      std::atomic<int> Step{kRunning};
      std::atomic<bool> Terminated{false};
      // The hook waits for the main thread's answer (bounded, so a failure cannot hang).
      void Ask(int AStep, int AAnswer) {
        Step.store(AStep);
        Platform::NotifyMainThread();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (Step.load() != AAnswer && std::chrono::steady_clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (Step.load() != AAnswer) Step.store(kGaveUp);
      }
    } probe;
    TFFmpeg task;
    task.FPreviewInterval.store(-1);  // every frame
    task.SetPreviewFlags(FFmpeg::PREVIEW_WINDOW);
    task.FOnVideoOutputHook = FFmpeg::TTaskVideoHookEvent::FromFunction(
        [](void* AData, TObject*, Platform::TBitmap*, int, const std::int64_t&, bool& AUpdate,
           bool&) {
          auto* p = static_cast<TProbe*>(AData);
          AUpdate = false;
          const int call = p->Calls.fetch_add(1) + 1;
          if (call == 3) p->Ask(kAskOff, kSwitchedOff);  // the window is open by now
          if (call == 8) p->Ask(kAskLook, kLooked);
        },
        &probe);
    task.FOnTerminate = Platform::TNotifyEvent::FromFunction(
        [](void* AData, void*) {
          static_cast<TProbe*>(AData)->Terminated.store(true);
          Platform::NotifyMainThread();
        },
        &probe);
    ASSERT_GE(task.ParseOptions("-f lavfi -i testsrc2=size=160x120:rate=25:duration=1 -an -c:v "
                                "mpeg4 -f null -"),
              0)
        << task.LastErrMsg();
    task.Start(true);

    bool openWhenSwitchedOff = false;
    bool openLater = true;
    const bool ended = MainThreadPump::PumpUntil(
        [&] {
          if (probe.Step.load() == kAskOff) {
            task.SetPreviewFlags(0);
            openWhenSwitchedOff = FindForm() != nullptr;
            probe.Step.store(kSwitchedOff);
          } else if (probe.Step.load() == kAskLook) {
            openLater = FindForm() != nullptr;
            probe.Step.store(kLooked);
          }
          QApplication::processEvents();
          return probe.Terminated.load();
        },
        120);
    ASSERT_TRUE(ended) << "the job did not end";
    EXPECT_EQ(task.ErrorText(), "");
    EXPECT_EQ(probe.Calls.load(), 25);
    EXPECT_NE(probe.Step.load(), static_cast<int>(kGaveUp));
    EXPECT_TRUE(openWhenSwitchedOff) << "the hook held the preview work: the switch could not free";
    EXPECT_FALSE(openLater) << "the window stayed open after it was switched off";
  }
  Previewer::SetPreviewWindowFactory(saved);
}

// Waits (boundedly: a hung run fails the test instead) until APredicate holds.
bool SpinUntil(const std::function<bool()>& APredicate) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!APredicate()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::yield();
  }
  return true;
}

// A parse on another thread that a free overtakes: a hook inside the parse calls Hold,
// which holds the parse until the free has begun (the task's destroy notification).
struct TParseGate {
  std::atomic<bool> Parsing{false};
  std::atomic<bool> Freeing{false};
  void Hold() {
    Parsing.store(true);
    (void)SpinUntil([this] { return Freeing.load(); });
  }
};

// Parses a short job into ATask on a thread of its own, frees the task on this thread once
// the parse holds at AGate, and returns the parse's result.
int FreeDuringParse(TFFmpeg* ATask, TParseGate& AGate, TestWatchdog::TWatchdog& AWatchdog) {
  ATask->FOnDestroy = Platform::TNotifyEvent::FromFunction(
      [](void* AData, void*) { static_cast<TParseGate*>(AData)->Freeing.store(true); }, &AGate);
  std::atomic<int> parsed{1};
  std::thread parser([&] {
    parsed.store(ATask->ParseOptions("-f lavfi -i testsrc2=size=64x48:rate=25:duration=1 -an "
                                     "-c:v mpeg4 -f null -"));
  });
  EXPECT_TRUE(SpinUntil([&] { return AGate.Parsing.load(); })) << "the parse never began";
  AWatchdog.Bounded("freeing the task under its parse", 60, [&] { delete ATask; });
  parser.join();
  return parsed.load();
}

// Runs a task whose handler of AKind frees the task; returns (and the process ends with
// 3) only when the free was not refused. A hang ends with the watchdog's text.
enum TFreeFrom { kFreeFromProgress, kFreeFromSyncProgress, kFreeFromPreview, kFreeFromOutputHook,
                 kFreeFromInputHook, kFreeFromParse };
[[noreturn]] void FreeFromHandler(TFreeFrom AKind) {
  TestWatchdog::TWatchdog watchdog;
  watchdog.Arm("freeing the task from its handler", 60);
  auto* task = new TFFmpeg;
  switch (AKind) {
    case kFreeFromProgress:
    case kFreeFromSyncProgress:
      task->FOnProgress = FFmpeg::TTaskProgressEvent::FromFunction(
          [](void* AData, TObject*, int, int, int, float, float, const std::int64_t&,
             const std::int64_t&, const std::int64_t&) { delete static_cast<TFFmpeg*>(AData); },
          task);
      task->Fstats_period.store(20000);
      break;
    case kFreeFromPreview:
      task->FOnPreviewBitmap = FFmpeg::TTaskPreviewEvent::FromFunction(
          [](void* AData, TObject*, Platform::TBitmap*, int, const std::int64_t&) {
            delete static_cast<TFFmpeg*>(AData);
          },
          task);
      task->FPreviewInterval.store(-1);
      task->SetPreviewFlags(FFmpeg::PREVIEW_BITMAP);
      break;
    case kFreeFromOutputHook:
    case kFreeFromInputHook:
      (AKind == kFreeFromInputHook ? task->FOnVideoInputHook : task->FOnVideoOutputHook) =
          FFmpeg::TTaskVideoHookEvent::FromFunction(
              [](void* AData, TObject*, Platform::TBitmap*, int, const std::int64_t&, bool&,
                 bool&) { delete static_cast<TFFmpeg*>(AData); },
              task);
      break;
    case kFreeFromParse:
      task->FOnBeforeFindStreamInfo = FFmpeg::TBeforeFindStreamInfoEvent::FromFunction(
          [](void* AData, TObject*, AVFormatContext*) { delete static_cast<TFFmpeg*>(AData); },
          task);
      break;
  }
  if (task->ParseOptions("-re -f lavfi -i testsrc2=size=64x48:rate=25:duration=20 -an -c:v "
                         "mpeg4 -f null -") >= 0) {
    task->Start(AKind != kFreeFromSyncProgress);
    (void)MainThreadPump::PumpUntil([] { return false; }, 50);
  }
  std::exit(3);
}

// Freeing a task from one of its handlers other than the terminate handler: the job (or
// the parse) goes on touching the task once the handler returns, and cannot end before,
// so the free is refused with a text that says so (rather than a crash or a hang).
TEST_F(TaskTest, FreeingATaskFromItsRunningHandlersIsRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct TRow {
    const char* Name;
    TFreeFrom Kind;
    const char* Text;
  };
  const TRow rows[] = {
      {"progress handler on the convert thread", kFreeFromProgress, "progress handler"},
      {"progress handler of a synchronous run", kFreeFromSyncProgress, "progress handler"},
      {"preview bitmap handler", kFreeFromPreview, "preview handler"},
      {"encode-side video hook", kFreeFromOutputHook, "video hook handler"},
      {"decode-side video hook", kFreeFromInputHook, "video hook handler"},
      {"before-find-stream-info handler of the parse", kFreeFromParse,
       "handler while it parses its command line"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    EXPECT_DEATH(FreeFromHandler(row.Kind),
                 HandlerTestSupport::RefusedFree("FFmpeg", 866, row.Text));
  }
}

// A task freed on the main thread while another thread parses its command line: the free
// waits for the parse (which reads and builds what the free releases; AddressSanitizer
// reports a use after free otherwise, and a plain build may crash).
TEST_F(TaskTest, FreeingATaskWhileAnotherThreadParsesWaitsForTheParse) {
  TestWatchdog::TWatchdog watchdog;
  for (int round = 0; round < 5; round++) {
    SCOPED_TRACE(round);
    auto* task = new TFFmpeg;
    TParseGate gate;
    task->FOnBeforeFindStreamInfo = FFmpeg::TBeforeFindStreamInfoEvent::FromFunction(
        [](void* AData, TObject*, AVFormatContext*) { static_cast<TParseGate*>(AData)->Hold(); },
        &gate);
    EXPECT_EQ(FreeDuringParse(task, gate, watchdog), 0);
  }
}

// ---- The handler contract ------------------------------------------------------------------

// A job that reads its 20 s source at its own rate: it runs until it is stopped.
constexpr const char* kLongJob =
    "-re -f lavfi -i testsrc2=size=64x48:rate=25:duration=20 -an -c:v mpeg4 -f null -";

// Waits on the task and calls from its terminate handler, with the handler freeing the
// task or not: every call returns, and nothing of the task is touched after the free
// (ASan shows a use after free, the watchdog a wait that never ends).
TEST_F(TaskTest, WaitsAndCallsAroundTheTerminateHandlerReturn) {
  enum TStart { kNeverRan, kAsync, kSync };
  enum TCall { kNone, kStopWait, kStopNoWait, kTerminateWait, kTerminateNoWait };
  struct TRow {
    const char* Name;
    TStart Start;
    TCall Host;      // the host's call once the task is started (or not)
    bool OtherThread;  // the host's call runs on a thread of its own
    TCall Handler;   // the terminate handler's call
    bool Free;       // the terminate handler frees the task
  };
  const TRow rows[] = {
      {"host Stop(True) on the main thread, the handler frees", kAsync, kStopWait, false, kNone,
       true},
      {"host Stop(True) on another thread, the handler frees", kAsync, kStopWait, true, kNone,
       true},
      {"host Terminate(True) on the main thread, the handler frees", kAsync, kTerminateWait, false,
       kNone, true},
      {"host Terminate(True) on another thread, the handler frees", kAsync, kTerminateWait, true,
       kNone, true},
      {"host Terminate(True) of a task that never ran, the handler frees", kNeverRan,
       kTerminateWait, false, kNone, true},
      {"host Terminate(True) of a task that never ran on another thread, the handler frees",
       kNeverRan, kTerminateWait, true, kNone, true},
      {"Terminate(True) in the handler of a task that never ran, the host frees", kNeverRan,
       kTerminateNoWait, false, kTerminateWait, false},
      {"Terminate(True) in the handler of a task that never ran, the host waits and frees",
       kNeverRan, kTerminateWait, false, kTerminateWait, false},
      {"Terminate(True) in the handler of a synchronous job, which frees", kSync, kNone, false,
       kTerminateWait, true},
      {"Stop(True) in the handler on the convert thread, which frees", kAsync, kStopNoWait, false,
       kStopWait, true},
  };
  struct TProbe {
    TCall Call = kNone;
    bool Free = false;
    std::atomic<bool> CallReturned{false};
    std::atomic<bool> Done{false};
    static void OnTerminate(void* AData, void* ASender) {
      auto* self = static_cast<TProbe*>(AData);
      auto* task = static_cast<TFFmpeg*>(ASender);
      if (self->Call == kStopWait) task->Stop(true);
      if (self->Call == kTerminateWait) task->Terminate(true);
      self->CallReturned.store(true);
      if (self->Free) delete task;
      self->Done.store(true);
    }
  };
  TestWatchdog::TWatchdog watchdog;
  for (const TRow& row : rows) {
    for (int round = 0; round < 3; round++) {
      SCOPED_TRACE(std::string(row.Name) + ", round " + std::to_string(round));
      TProbe probe;
      probe.Call = row.Handler;
      probe.Free = row.Free;
      auto* task = new TFFmpeg;
      if (row.Start == kAsync) {
        ASSERT_GE(task->ParseOptions(kLongJob), 0);
      }
      if (row.Start == kSync) MakeFailingJob(*task);
      task->FOnTerminate = Platform::TNotifyEvent::FromFunction(&TProbe::OnTerminate, &probe);
      watchdog.Bounded(row.Name, 60, [&] {
        if (row.Start != kNeverRan) task->Start(row.Start == kAsync);
        auto host = [&] {
          if (row.Host == kStopWait) task->Stop(true);
          if (row.Host == kStopNoWait) task->Stop(false);
          if (row.Host == kTerminateWait) task->Terminate(true);
          if (row.Host == kTerminateNoWait) task->Terminate(false);
        };
        if (row.OtherThread)
          MainThreadPump::RunPumping(host);
        else
          host();
        ASSERT_TRUE(MainThreadPump::PumpUntil([&] { return probe.Done.load(); }));
        if (!row.Free) delete task;
      });
      EXPECT_TRUE(probe.CallReturned.load());
    }
  }
}

// A task freed on the main thread while another thread has begun to parse its command
// line (and has not yet built its scheduler): the free reads nothing that the parse
// builds before the parse has ended (ThreadSanitizer reports a race otherwise).
TEST_F(TaskTest, FreeingATaskDuringItsParseReadsNothingTheParseBuilds) {
  struct TGate : TParseGate {
    static void OnLog(void* AData, TObject*, int, FFLoad::TLogLevel, const std::string& AMsg) {
      if (AMsg.find("ParseOptions: ") != std::string::npos) static_cast<TGate*>(AData)->Hold();
    }
  };
  LoaderTestSupport::TLogWorkerSettings settings;
  FFLoad::TFFLogWorker& w = *FFLoad::VEDovedo;
  w.SetActive(true);
  w.SetLogLevel(FFLoad::llInfo);
  w.SetSynchronous(true);
  w.SetTriggerEventInMainThread(false);
  TestWatchdog::TWatchdog watchdog;
  for (int round = 0; round < 10; round++) {
    SCOPED_TRACE(round);
    TGate gate;
    w.SetOnLog(FFLoad::TLogEvent::FromFunction(&TGate::OnLog, &gate));
    EXPECT_EQ(FreeDuringParse(new TFFmpeg, gate, watchdog), 0);
    w.SetOnLog(FFLoad::TLogEvent());
  }
  settings.Restore();
}

// Frees a task from its terminate handler on the convert thread and ends the process as
// soon as the free is seen, as a host closing its program would.
[[noreturn]] void ExitRightAfterTheTerminateHandlerFrees() {
  struct TProbe {
    std::mutex Lock;
    std::condition_variable Cond;
    bool Freed = false;
    static void OnTerminate(void* AData, void* ASender) {
      delete static_cast<TFFmpeg*>(ASender);
      auto* self = static_cast<TProbe*>(AData);
      std::lock_guard<std::mutex> g(self->Lock);
      self->Freed = true;
      self->Cond.notify_all();
    }
  } probe;
  auto* task = new TFFmpeg;
  if (task->ParseOptions("-f lavfi -i testsrc2=size=64x48:rate=25:duration=0.2 -an -c:v mpeg4 "
                         "-f null -") < 0)
    std::exit(4);
  task->FOnTerminate = Platform::TNotifyEvent::FromFunction(&TProbe::OnTerminate, &probe);
  task->Start(true);
  std::unique_lock<std::mutex> g(probe.Lock);
  probe.Cond.wait(g, [&] { return probe.Freed; });
  std::exit(0);
}

// The process ends right after a terminate handler freed its task: the convert thread
// that ran the handler touches nothing more (ThreadSanitizer reports a race with the
// finalization of the run-time units otherwise, and the process then ends with its code).
TEST_F(TaskTest, ProcessMayEndAsSoonAsTheTerminateHandlerFreedTheTask) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int round = 0; round < 5; round++) {
    SCOPED_TRACE(round);
    EXPECT_EXIT(ExitRightAfterTheTerminateHandlerFrees(), ::testing::ExitedWithCode(0), "");
  }
}

// A host's own subclass, freed while its job runs: the job is stopped before any
// destructor of it runs, so a member of the subclass never goes while the job's threads
// may still call the subclass (its handlers bound to it).
TEST_F(TaskTest, ASubclassIsStoppedBeforeItsOwnDestructorRuns) {
  struct TMember {
    TCustomFFmpeg* Owner = nullptr;
    std::atomic<int>* RunningAtDestruction = nullptr;
    ~TMember() {
      if (Owner->Running()) RunningAtDestruction->fetch_add(1);
    }
  };
  struct TRecordingTask : TFFmpeg {
    TMember Member;
  };
  std::atomic<int> runningAtDestruction{0};
  TestWatchdog::TWatchdog watchdog;
  for (int round = 0; round < 3; round++) {
    SCOPED_TRACE(round);
    auto* task = new TRecordingTask;
    task->Member.Owner = task;
    task->Member.RunningAtDestruction = &runningAtDestruction;
    ASSERT_GE(task->ParseOptions(kLongJob), 0);
    task->Start(true);
    watchdog.Bounded("freeing the running subclass", 60,
                     [&] { delete static_cast<TFFmpeg*>(task); });
  }
  EXPECT_EQ(runningAtDestruction.load(), 0) << "the job ran on while the subclass was destroyed";
}

// The video hook depth reads back as it was set: 15 and 16 are different bitmaps (5-5-5
// and 5-6-5) although both are stored in 16 bits per pixel.
TEST_F(TaskTest, VideoHookBitsPixelReadsBackAsSet) {
  struct TRow {
    int Set;
    int Stored;  // bits per pixel of the converters' packed pictures
  };
  const TRow rows[] = {{8, 8}, {15, 16}, {16, 16}, {24, 24}, {32, 32}, {15, 16}};
  TFFmpeg task;
  EXPECT_EQ(task.VideoHookBitsPixel(), 32);
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Set);
    task.SetVideoHookBitsPixel(row.Set);
    EXPECT_EQ(task.VideoHookBitsPixel(), row.Set);
    EXPECT_EQ(task.FHookConverter->BitsPixel(), row.Stored);
    EXPECT_EQ(task.FPreviewConverter->BitsPixel(), row.Stored);
  }
}

// SetVideoHookBitsPixel on the main thread while a worker holds the hook or preview work
// and hands work to the main thread (as the encoder component hands its events over, and
// as the preview window is painted): the setter serves the main thread while it waits.
TEST_F(TaskTest, VideoHookBitsPixelSetOnTheMainThreadWhileAWorkerHandsOverReturns) {
  enum TSide { kPreview, kInputHook, kOutputHook };
  struct TRow {
    const char* Name;
    TSide Side;
  };
  const TRow rows[] = {
      {"preview bitmap event", kPreview},
      {"decode-side hook", kInputHook},
      {"encode-side hook", kOutputHook},
  };
  TestWatchdog::TWatchdog watchdog;
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TFFmpeg task;
    // The handler holds the work, tells the main thread, and hands a call over once the
    // main thread goes to set the depth.
    struct TGate {
      std::atomic<bool> Inside{false};
      std::atomic<bool> Go{false};
      void HandOver() {
        Inside.store(true);
        (void)SpinUntil([this] { return Go.load(); });
        MyUtils::MySynchronize(Platform::TThreadMethod::FromFunction([](void*) {}, nullptr));
      }
    } gate;
    task.FOnPreviewBitmap = FFmpeg::TTaskPreviewEvent::FromFunction(
        [](void* AData, TObject*, Platform::TBitmap*, int, const std::int64_t&) {
          static_cast<TGate*>(AData)->HandOver();
        },
        &gate);
    (row.Side == kInputHook ? task.FOnVideoInputHook : task.FOnVideoOutputHook) =
        FFmpeg::TTaskVideoHookEvent::FromFunction(
            [](void* AData, TObject*, Platform::TBitmap*, int, const std::int64_t&, bool& AUpdate,
               bool&) {
              AUpdate = false;
              static_cast<TGate*>(AData)->HandOver();
            },
            &gate);
    task.FPreviewInterval.store(-1);
    task.SetPreviewFlags(FFmpeg::PREVIEW_BITMAP);
    std::atomic<bool> done{false};
    std::thread worker([&] {
      TGreyPicture pic;
      bool converted = false;
      if (row.Side == kPreview)
        Preview(task, pic, 1, 0);
      else
        task.DoVideoHook(row.Side == kInputHook,
                         row.Side == kInputHook ? task.FHookConverter.get()
                                                : task.FPreviewConverter.get(),
                         converted, 1, 0, AV_PIX_FMT_YUV420P, pic.W, pic.H, &pic.Picture);
      done.store(true);
      Platform::NotifyMainThread();
    });
    // The conversion into the bitmap hands over too: serve until the handler is reached.
    ASSERT_TRUE(MainThreadPump::PumpUntil([&] { return gate.Inside.load(); }));
    gate.Go.store(true);
    watchdog.Bounded(std::string("SetVideoHookBitsPixel: ") + row.Name, 120,
                     [&] { task.SetVideoHookBitsPixel(24); });
    EXPECT_TRUE(MainThreadPump::PumpUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(task.FHookConverter->BitsPixel(), 24);
    EXPECT_EQ(task.FPreviewConverter->BitsPixel(), 24);
  }
}

// The same while the preview window is shown: the worker converts the frame and paints
// the window through the main thread, holding the preview work all the while. The main
// thread sets the depth as soon as the worker's first hand-over is queued.
TEST_F(TaskTest, VideoHookBitsPixelSetOnTheMainThreadWhileThePreviewWindowShowsReturns) {
  App();
  Previewer::TPreviewWindowFactory saved = Previewer::GetPreviewWindowFactory();
  Previewer::InstallPreviewWindows();
  {
    TestWatchdog::TWatchdog watchdog;
    TFFmpeg task;
    task.SetPreviewFlags(FFmpeg::PREVIEW_WINDOW);
    task.FPreviewInterval.store(-1);
    std::atomic<bool> done{false};
    std::thread worker([&] {
      TGreyPicture pic;
      Preview(task, pic, 1, 0);
      done.store(true);
      Platform::NotifyMainThread();
    });
    ASSERT_TRUE(Platform::WaitForMainThreadWork(60000)) << "the worker handed nothing over";
    watchdog.Bounded("SetVideoHookBitsPixel while the window is shown", 120,
                     [&] { task.SetVideoHookBitsPixel(16); });
    EXPECT_TRUE(MainThreadPump::PumpUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_NE(FindForm(), nullptr) << "the frame was shown";
    EXPECT_EQ(task.VideoHookBitsPixel(), 16);
  }
  Previewer::SetPreviewWindowFactory(saved);
}

// A synchronous run on the main thread with a video hook, stopped (from the hook, or from
// another thread) while the hook's worker still has its bitmap to hand to the main thread:
// the hook returns only once the main thread has left its waiting loop to stop the
// scheduler, so the stop must go on serving the main thread's queue while it joins the
// workers. A hang ends the process after the bound, naming the row.
TEST_F(TaskTest, SynchronousRunOnTheMainThreadStopsWhileAHookWaitsForIt) {
  struct TRow {
    const char* Name;
    bool Input;     // the decode-side hook, else the encode-side one
    bool FromHook;  // Stop(True) from the hook, else from another thread
  };
  const TRow rows[] = {
      {"decode-side hook stops", true, true},
      {"encode-side hook stops", false, true},
      {"another thread stops while the decode-side hook runs", true, false},
      {"another thread stops while the encode-side hook runs", false, false},
  };
  TestWatchdog::TWatchdog watchdog;
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TFFmpeg task;
    struct TProbe {
      TCustomFFmpeg* Task;
      bool FromHook;
      std::atomic<int> Calls{0};
      std::atomic<bool> ReadyForStop{false};
      std::atomic<bool> Gated{true};  // every wait of the hook came true
    } probe{&task, row.FromHook};
    (row.Input ? task.FOnVideoInputHook : task.FOnVideoOutputHook) =
        FFmpeg::TTaskVideoHookEvent::FromFunction(
            [](void* AData, TObject*, Platform::TBitmap*, int, const std::int64_t&, bool&,
               bool&) {
              auto* p = static_cast<TProbe*>(AData);
              if (p->Calls.fetch_add(1) != 0) return;
              // The main thread waits on the scheduler in its serving loop.
              bool ok = SpinUntil([p] { return p->Task->FLooping.load(); });
              if (p->FromHook) {
                p->Task->Stop(true);  // on a worker: asks without waiting
              } else {
                p->ReadyForStop.store(true);
                ok = ok && SpinUntil([p] { return p->Task->FBroken.load(); });
              }
              // Left the loop: the main thread stops the scheduler now. The bitmap goes
              // back into the frame through the main thread once this returns.
              ok = ok && SpinUntil([p] { return !p->Task->FLooping.load(); });
              if (!ok) p->Gated.store(false);
            },
            &probe);
    ASSERT_GE(task.ParseOptions("-f lavfi -i testsrc2=size=64x48:rate=25:duration=3 -an -c:v "
                                "mpeg4 -f null -"),
              0)
        << task.LastErrMsg();
    std::thread stopper;
    if (!row.FromHook)
      stopper = std::thread([&] {
        if (SpinUntil([&] { return probe.ReadyForStop.load(); })) task.Stop(true);
      });
    watchdog.Bounded(std::string("Start(False) on the main thread: ") + row.Name, 120,
                     [&] { task.Start(false); });
    if (stopper.joinable()) stopper.join();
    EXPECT_TRUE(probe.Gated.load());
    EXPECT_GE(probe.Calls.load(), 1);
    EXPECT_TRUE(task.Terminated());
    EXPECT_FALSE(task.JobFinished()) << "stopped";
  }
}

}  // namespace
