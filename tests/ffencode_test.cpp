// The encoder component over real conversions: a small NUT file with video and audio
// made from lavfi sources at test time, converted to MP4 by tasks run one after another
// on the caller or N at a time on convert threads, with the start and terminate events,
// the end of the run (index -1), stopping, misuse and the settings copied into tasks.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "components/FFDecode.h"
#include "components/FFEncode.h"
#include "components/FFLog.h"
#include "platform/Dispatcher.h"
#include "platform/Exception.h"
#include "runtime/FFLoad.h"
#include "support/HandlerTestSupport.h"
#include "support/LoaderTestSupport.h"
#include "support/MediaBuilder.h"
#include "MainThreadPump.h"
#include "TempFolder.h"
#include "Watchdog.h"

namespace {

using FFEncode::TCustomEncoder;
using FFEncode::TTerminateInfo;
using FFEncode::TVEDavirev;
using Platform::TObject;

// What the encoder's start and terminate events delivered, in order.
struct TEvent {
  char Kind;  // 'S' start, 'T' terminate
  int Index;
  bool Finished;
  bool HasException;
  std::string Message;
  Platform::TThreadID Thread;
};

class TEventLog {
 public:
  explicit TEventLog(TCustomEncoder& AEncoder) : FEncoder(AEncoder) {
    AEncoder.OnStart = FFEncode::TStartEvent::FromFunction(&OnStart, this);
    AEncoder.OnTerminate = FFEncode::TTerminateEvent::FromFunction(&OnTerminate, this);
  }

  std::vector<TEvent> Events() {
    std::lock_guard<std::mutex> g(FLock);
    return FEvents;
  }
  std::vector<TEvent> Of(char AKind) {
    std::vector<TEvent> r;
    for (const TEvent& e : Events())
      if (e.Kind == AKind) r.push_back(e);
    return r;
  }
  std::vector<int> Indexes(char AKind) {
    std::vector<int> r;
    for (const TEvent& e : Of(AKind)) r.push_back(e.Index);
    return r;
  }
  bool RunEnded() {
    for (const TEvent& e : Of('T'))
      if (e.Index == -1) return true;
    return false;
  }
  // The most tasks found running at any start, the task being started included.
  int MaxRunning() const { return FMaxRunning.load(); }
  // Set before the run when the start handler should count running tasks.
  std::vector<FFEncode::TFFmpeg*> Tasks;
  // Called from the terminate handler (main thread or the reporting thread).
  std::function<void(const TTerminateInfo&)> AfterTerminate;

 private:
  static void OnStart(void* AData, TObject*, int ATaskIndex) {
    auto* self = static_cast<TEventLog*>(AData);
    int running = 1;
    for (FFEncode::TFFmpeg* t : self->Tasks)
      if (t && t->Running()) ++running;
    if (running > self->FMaxRunning.load()) self->FMaxRunning.store(running);
    std::lock_guard<std::mutex> g(self->FLock);
    self->FEvents.push_back({'S', ATaskIndex, false, false, "", Platform::GetCurrentThreadId()});
  }
  static void OnTerminate(void* AData, TObject*, const TTerminateInfo& AInfo) {
    auto* self = static_cast<TEventLog*>(AData);
    {
      std::lock_guard<std::mutex> g(self->FLock);
      self->FEvents.push_back({'T', AInfo.TaskIndex, AInfo.Finished, AInfo.HasException,
                               AInfo.ExceptionMsg, Platform::GetCurrentThreadId()});
    }
    if (self->AfterTerminate) self->AfterTerminate(AInfo);
  }

  TCustomEncoder& FEncoder;
  std::mutex FLock;
  std::vector<TEvent> FEvents;
  std::atomic<int> FMaxRunning{0};
};

// Serves the main thread's queue until APredicate holds or ASeconds passed, then what
// was queued with it.
bool PumpUntil(const std::function<bool()>& APredicate, double ASeconds = 60) {
  if (!MainThreadPump::PumpUntil(APredicate, ASeconds)) return false;
  Platform::ProcessMainThreadQueue();
  return true;
}

bool Exists(const std::string& APath) {
  struct stat st {};
  return stat(APath.c_str(), &st) == 0 && st.st_size > 0;
}

class FFEncodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries))
        << FFLoad::FFLoader->GetLastErrMsg();
    FDir = TempFolder::MakeDir("ostrevan_encode");
    ASSERT_FALSE(FDir.empty());
    MediaBuilder::TMediaSpec spec;
    spec.Streams = "va";
    spec.Duration = 0.5;
    ASSERT_EQ(MediaBuilder::WriteMedia(Path("in.nut"), "nut", spec), 0);
  }
  void TearDown() override { (void)std::system(("rm -rf '" + FDir + "'").c_str()); }

  std::string Path(const std::string& AName) const { return FDir + "/" + AName; }

  // A short conversion of the test input into AOutput (in the test folder).
  std::string Short(const std::string& AOutput) const {
    return "-y -i \"" + Path("in.nut") + "\" -c:a aac -b:a 128k -ar 44100 -c:v mpeg4 -b:v 320k \"" +
           Path(AOutput) + "\"";
  }
  // A conversion that reads a 60 s source at its own rate: it runs until stopped.
  std::string Long(const std::string& AOutput) const {
    return "-y -re -f lavfi -i testsrc2=size=64x48:rate=25:duration=60 -c:v mpeg4 \"" +
           Path(AOutput) + "\"";
  }

  std::string FDir;
};

// ---- Runs ---------------------------------------------------------------------------------

TEST_F(FFEncodeTest, LimitedRunStartsTwoAtATimeAndEndsWithIndexMinusOneLast) {
  TVEDavirev encoder;
  encoder.AutoFreeTask = false;  // the start handler looks at the tasks
  TEventLog log(encoder);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(encoder.AddTask(Short("out" + std::to_string(i) + ".mp4")), i)
        << encoder.LastErrMsg();
    log.Tasks.push_back(encoder.GetTask(i));
  }

  encoder.StartTask(2);
  EXPECT_EQ(log.Indexes('S'), (std::vector<int>{0, 1})) << "the first two start at once";
  ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));

  EXPECT_EQ(log.Indexes('S'), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_LE(log.MaxRunning(), 2);
  const std::vector<TEvent> ends = log.Of('T');
  ASSERT_EQ(ends.size(), 6u);
  std::set<int> seen;
  for (std::size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    seen.insert(ends[i].Index);
    EXPECT_TRUE(ends[i].Finished);
    EXPECT_FALSE(ends[i].HasException) << ends[i].Message;
    EXPECT_EQ(ends[i].Thread, Platform::GetCurrentThreadId()) << "delivered on the main thread";
  }
  EXPECT_EQ(seen, (std::set<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(ends[5].Index, -1);
  EXPECT_TRUE(ends[5].Finished);
  EXPECT_FALSE(ends[5].HasException);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Exists(Path("out" + std::to_string(i) + ".mp4"))) << i;
  EXPECT_TRUE(encoder.Working()) << "a run ends without clearing the working state";
  encoder.ClearTasks();
  EXPECT_FALSE(encoder.Working());
  EXPECT_EQ(encoder.TaskCount(), 0);
}

TEST_F(FFEncodeTest, LimitedRunFreesEachEndedTaskBeforeTheFinalEvent) {
  TVEDavirev encoder;
  TEventLog log(encoder);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(encoder.AddTask(Short("out" + std::to_string(i) + ".mp4")), i);
  std::vector<int> listedAtEnd;
  log.AfterTerminate = [&](const TTerminateInfo& AInfo) {
    if (AInfo.TaskIndex == -1)
      for (int i = 0; i < 3; ++i) listedAtEnd.push_back(encoder.GetTask(i) != nullptr);
  };
  encoder.StartTask(3);
  ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
  EXPECT_EQ(listedAtEnd, (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(encoder.TaskCount(), 3) << "slots keep their places";
}

TEST_F(FFEncodeTest, SynchronousRunRaisesEveryEventOnTheCallerBeforeReturning) {
  TVEDavirev encoder;
  TEventLog log(encoder);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(encoder.AddTask(Short("out" + std::to_string(i) + ".mp4")), i);

  encoder.StartTask(0);

  const std::vector<TEvent> events = log.Events();
  std::vector<std::pair<char, int>> order;
  for (const TEvent& e : events) {
    order.emplace_back(e.Kind, e.Index);
    EXPECT_EQ(e.Thread, Platform::GetCurrentThreadId());
  }
  EXPECT_EQ(order, (std::vector<std::pair<char, int>>{
                       {'S', 0}, {'T', 0}, {'S', 1}, {'T', 1}, {'S', 2}, {'T', 2}, {'T', -1}}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(encoder.GetTask(i)) << "a synchronous run frees nothing";
    EXPECT_TRUE(Exists(Path("out" + std::to_string(i) + ".mp4"))) << i;
  }
}

TEST_F(FFEncodeTest, EmptySlotsCountAsEndedAndAnEmptyListEndsAtOnce) {
  struct TRow {
    const char* Name;
    int Tasks;
    std::vector<int> Freed;  // slots emptied before the run
    int N;
    std::vector<int> Starts;
  };
  const TRow rows[] = {
      {"empty slot in the middle, one at a time", 3, {1}, 1, {0, 2}},
      {"empty slot at the end, one at a time", 2, {1}, 1, {0}},
      {"empty slot at the end, synchronous", 2, {1}, 0, {0}},
      {"every slot empty", 2, {0, 1}, 2, {}},
      {"empty list, limited", 0, {}, 1, {}},
      {"empty list, synchronous", 0, {}, 0, {}},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TVEDavirev encoder;
    TEventLog log(encoder);
    for (int i = 0; i < row.Tasks; ++i)
      ASSERT_EQ(encoder.AddTask(Short("out" + std::to_string(i) + ".mp4")), i);
    for (int i : row.Freed) delete encoder.GetTask(i);
    encoder.StartTask(row.N);
    if (row.N <= 0) {
      EXPECT_TRUE(log.RunEnded()) << "before StartTask returned";
    }
    ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
    EXPECT_EQ(log.Indexes('S'), row.Starts);
    std::vector<int> ends = log.Indexes('T');
    EXPECT_EQ(ends.back(), -1);
    ends.pop_back();
    EXPECT_EQ(ends, row.Starts);
    encoder.ClearTasks();  // the run ended: allowed
  }
}

TEST_F(FFEncodeTest, StopInALimitedRunStartsNothingMoreAndEveryTaskReportsItsEnd) {
  TVEDavirev encoder;
  TEventLog log(encoder);
  std::atomic<int> progress{0};
  struct TProgress {
    static void On(void* AData, TObject*, FFEncode::PProgressInfo AInfo) {
      if (AInfo->TaskIndex == 0) static_cast<std::atomic<int>*>(AData)->fetch_add(1);
    }
  };
  encoder.OnProgress = FFEncode::TEncProgressEvent::FromFunction(&TProgress::On, &progress);
  encoder.SetProgressInterval(20);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(encoder.AddTask(Long("out" + std::to_string(i) + ".mp4")), i);
  encoder.StartTask(1);
  ASSERT_TRUE(PumpUntil([&] { return progress.load() > 0; })) << "task 0 runs";

  encoder.Stop(true);

  ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
  EXPECT_EQ(log.Indexes('S'), (std::vector<int>{0})) << "no task starts after Stop";
  const std::vector<TEvent> ends = log.Of('T');
  ASSERT_EQ(ends.size(), 4u);
  std::set<int> seen;
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    seen.insert(ends[i].Index);
    EXPECT_FALSE(ends[i].Finished);
  }
  EXPECT_EQ(seen, (std::set<int>{0, 1, 2}));
  EXPECT_EQ(ends[3].Index, -1);
  EXPECT_TRUE(ends[3].Finished);
}

// An empty slot that the run had not reached when it was stopped never reports: it
// counts as ended all the same, and the run ends.
TEST_F(FFEncodeTest, StopBeforeAnEmptySlotIsReachedStillEndsTheRun) {
  TVEDavirev encoder;
  TEventLog log(encoder);
  std::atomic<int> progress{0};
  struct TProgress {
    static void On(void* AData, TObject*, FFEncode::PProgressInfo) {
      static_cast<std::atomic<int>*>(AData)->fetch_add(1);
    }
  };
  encoder.OnProgress = FFEncode::TEncProgressEvent::FromFunction(&TProgress::On, &progress);
  encoder.SetProgressInterval(20);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(encoder.AddTask(Long("out" + std::to_string(i) + ".mp4")), i);
  delete encoder.GetTask(1);
  encoder.StartTask(1);
  ASSERT_TRUE(PumpUntil([&] { return progress.load() > 0; })) << "task 0 runs";
  encoder.Stop(true);
  ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); })) << "the run never ended";
  std::vector<int> ends = log.Indexes('T');
  ASSERT_EQ(ends.size(), 3u);
  EXPECT_EQ(ends.back(), -1);
  ends.pop_back();
  EXPECT_EQ(std::set<int>(ends.begin(), ends.end()), (std::set<int>{0, 2}));
}

TEST_F(FFEncodeTest, PauseAndResumeActOnTheRunningTasks) {
  TVEDavirev encoder;
  encoder.AutoFreeTask = false;
  TEventLog log(encoder);
  ASSERT_EQ(encoder.AddTask(Long("out.mp4")), 0);
  FFEncode::TFFmpeg* task = encoder.GetTask(0);
  encoder.Pause();  // not working: nothing
  EXPECT_EQ(task->PauseState(), -1);
  encoder.StartTask(1);
  encoder.Pause();
  EXPECT_EQ(task->PauseState(), 1);
  encoder.Resume();
  EXPECT_EQ(task->PauseState(), 0);
  encoder.Stop(true);
  ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
}

// A pause that comes while the convert thread is still on its way to the scheduler's
// start holds the job all the same. The thread is caught there: its stream mapping line
// goes synchronously to a log handler on the main thread, which pauses the run while
// the thread waits for it. The short conversion then does not end while paused, and
// goes on to its end once resumed.
TEST_F(FFEncodeTest, PauseBeforeTheSchedulerStartsHoldsTheJob) {
  TVEDavirev encoder;
  TEventLog log(encoder);
  ASSERT_EQ(encoder.AddTask(Short("held.mp4")), 0);
  FFLog::TVEDovedo logger;
  logger.SetSynchronous(true);
  logger.SetTriggerEventInMainThread(true);
  struct TCatch {
    TVEDavirev* Encoder;
    bool Paused = false;
    static void OnLog(void* AData, TObject*, int, FFLoad::TLogLevel, const std::string& AMsg) {
      auto* self = static_cast<TCatch*>(AData);
      if (self->Paused || AMsg.find("Stream mapping") == std::string::npos) return;
      EXPECT_TRUE(Platform::IsMainThread());
      self->Encoder->Pause();
      self->Paused = true;
    }
  } catcher{&encoder};
  logger.SetOnLog(FFLoad::TLogEvent::FromFunction(&TCatch::OnLog, &catcher));
  encoder.StartTask(1);
  // Far longer than the whole conversion takes unpaused.
  EXPECT_FALSE(PumpUntil([&] { return log.RunEnded(); }, 1.0)) << "the run ended while paused";
  EXPECT_TRUE(catcher.Paused);
  encoder.Resume();
  ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
  logger.SetOnLog({});
  logger.SetSynchronous(false);
  const std::vector<TEvent> ends = log.Of('T');
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_TRUE(ends[0].Finished);
  EXPECT_FALSE(ends[0].HasException) << ends[0].Message;
}

TEST_F(FFEncodeTest, StopFromAProgressHandlerOfASynchronousRunEndsItBeforeStartTaskReturns) {
  TVEDavirev encoder;
  TEventLog log(encoder);
  struct TStopper {
    TVEDavirev* Encoder;
    int Calls = 0;
    static void On(void* AData, TObject*, FFEncode::PProgressInfo) {
      auto* self = static_cast<TStopper*>(AData);
      if (self->Calls++ == 0) self->Encoder->Stop(true);
    }
  } stopper{&encoder};
  encoder.OnProgress = FFEncode::TEncProgressEvent::FromFunction(&TStopper::On, &stopper);
  encoder.SetProgressInterval(20);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(encoder.AddTask(Long("out" + std::to_string(i) + ".mp4")), i);

  encoder.StartTask(0);

  EXPECT_EQ(log.Indexes('S'), (std::vector<int>{0}));
  const std::vector<TEvent> ends = log.Of('T');
  ASSERT_EQ(ends.size(), 4u);
  std::set<int> seen;
  for (std::size_t i = 0; i < 3; ++i) {
    seen.insert(ends[i].Index);
    EXPECT_FALSE(ends[i].Finished) << i;
  }
  EXPECT_EQ(seen, (std::set<int>{0, 1, 2}));
  EXPECT_EQ(ends[3].Index, -1);
}

// The start handler of a limited run runs on the thread that reported the previous
// task's end while that task's event is delivered and the task freed on a delivery
// thread; it calls the component (2 ms after that delivery: the free is under way
// then). Nothing deadlocks: every task starts and ends and the run ends. A hang fails
// after the bound, and the encoder is then left alone (its destructor would hang too).
TEST_F(FFEncodeTest, StartHandlerOfALimitedRunMayCallTheComponent) {
  struct TRow {
    const char* Name;
    void (*Call)(TVEDavirev&);
  };
  const TRow rows[] = {
      {"progress interval", [](TVEDavirev& e) { e.SetProgressInterval(250); }},
      {"pause and resume", [](TVEDavirev& e) {
         e.Pause();
         e.Resume();
       }},
      {"preview and time-outs", [](TVEDavirev& e) {
         e.SetPreviewInterval(50);
         e.SetReadTimeout(20000);
       }},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    struct TProbe {
      TProbe(TVEDavirev* AEncoder, void (*ACall)(TVEDavirev&)) : Encoder(AEncoder), Call(ACall) {}
      TVEDavirev* Encoder;
      void (*Call)(TVEDavirev&);
      std::mutex Lock;
      std::condition_variable Changed;
      std::vector<int> Starts;
      std::set<int> Delivered;
      bool Ended = false;
      static void OnStart(void* AData, TObject*, int AIndex) {
        auto* self = static_cast<TProbe*>(AData);
        {
          std::unique_lock<std::mutex> g(self->Lock);
          self->Starts.push_back(AIndex);
          if (AIndex > 0)
            self->Changed.wait_for(g, std::chrono::seconds(60),
                                   [&] { return self->Delivered.count(AIndex - 1) > 0; });
        }
        if (AIndex > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        self->Call(*self->Encoder);
      }
      static void OnTerminate(void* AData, TObject*, const TTerminateInfo& AInfo) {
        auto* self = static_cast<TProbe*>(AData);
        std::lock_guard<std::mutex> g(self->Lock);
        if (AInfo.TaskIndex < 0)
          self->Ended = true;
        else
          self->Delivered.insert(AInfo.TaskIndex);
        self->Changed.notify_all();
      }
    };
    auto* encoder = new TVEDavirev;
    encoder->TriggerEventInMainThread = false;
    auto* probe = new TProbe(encoder, row.Call);
    encoder->OnStart = FFEncode::TStartEvent::FromFunction(&TProbe::OnStart, probe);
    encoder->OnTerminate = FFEncode::TTerminateEvent::FromFunction(&TProbe::OnTerminate, probe);
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(encoder->AddTask(Short("out" + std::to_string(i) + ".mp4")), i);
    encoder->StartTask(1);
    if (!PumpUntil([&] {
          std::lock_guard<std::mutex> g(probe->Lock);
          return probe->Ended;
        })) {
      ADD_FAILURE() << "the run hung";
      return;  // the encoder and the probe stay: their threads are stuck in them
    }
    {
      std::lock_guard<std::mutex> g(probe->Lock);
      EXPECT_EQ(probe->Starts, (std::vector<int>{0, 1, 2}));
      EXPECT_EQ(probe->Delivered, (std::set<int>{0, 1, 2}));
    }
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(Exists(Path("out" + std::to_string(i) + ".mp4"))) << i;
    encoder->Stop(true);
    delete encoder;
    delete probe;
  }
}

// Stop(True) on the host's thread while a start handler on a convert thread calls the
// component: the handler is not held up by the waiting Stop, the run ends, and Stop
// returns. The Stop runs on a thread of its own so that a hang fails after the bound.
TEST_F(FFEncodeTest, StopWhileAStartHandlerCallsTheComponentReturns) {
  struct TProbe {
    explicit TProbe(TVEDavirev* AEncoder) : Encoder(AEncoder) {}
    TVEDavirev* Encoder;
    std::mutex Lock;
    std::condition_variable Changed;
    bool InHandler = false;
    bool Stopping = false;
    bool HandlerDone = false;
    bool Ended = false;
    static void OnStart(void* AData, TObject*, int AIndex) {
      auto* self = static_cast<TProbe*>(AData);
      if (AIndex == 0) return;
      {
        std::unique_lock<std::mutex> g(self->Lock);
        self->InHandler = true;
        self->Changed.notify_all();
        self->Changed.wait_for(g, std::chrono::seconds(60), [&] { return self->Stopping; });
      }
      // The Stop is on its way into its wait.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      self->Encoder->SetProgressInterval(300);
      std::lock_guard<std::mutex> g(self->Lock);
      self->HandlerDone = true;
      self->Changed.notify_all();
    }
    static void OnTerminate(void* AData, TObject*, const TTerminateInfo& AInfo) {
      auto* self = static_cast<TProbe*>(AData);
      std::lock_guard<std::mutex> g(self->Lock);
      if (AInfo.TaskIndex < 0) self->Ended = true;
      self->Changed.notify_all();
    }
  };
  auto* encoder = new TVEDavirev;
  encoder->TriggerEventInMainThread = false;
  auto* probe = new TProbe(encoder);
  encoder->OnStart = FFEncode::TStartEvent::FromFunction(&TProbe::OnStart, probe);
  encoder->OnTerminate = FFEncode::TTerminateEvent::FromFunction(&TProbe::OnTerminate, probe);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(encoder->AddTask(Short("out" + std::to_string(i) + ".mp4")), i);
  encoder->StartTask(1);
  {
    std::unique_lock<std::mutex> g(probe->Lock);
    ASSERT_TRUE(probe->Changed.wait_for(g, std::chrono::seconds(60), [&] { return probe->InHandler; }));
  }
  auto* stopped = new std::atomic<bool>(false);
  std::thread stopper([encoder, probe, stopped] {
    {
      std::lock_guard<std::mutex> g(probe->Lock);
      probe->Stopping = true;
      probe->Changed.notify_all();
    }
    encoder->Stop(true);
    stopped->store(true);
  });
  const bool returned = PumpUntil([&] {
    std::lock_guard<std::mutex> g(probe->Lock);
    return stopped->load() && probe->HandlerDone && probe->Ended;
  });
  if (!returned) {
    stopper.detach();
    ADD_FAILURE() << "Stop(True) or the run hung";
    return;  // everything stays: threads are stuck in it
  }
  stopper.join();
  delete encoder;
  delete probe;
  delete stopped;
}

// The setters of the progress and terminate handlers change them under the locks their
// deliveries read them under (a host clears them while the tasks' threads deliver). A
// progress call is held inside the handler while another thread clears it: the clear
// does not return before that call has, and no call comes after it. The end of a task
// still running when its terminate handler is cleared reaches nobody.
TEST_F(FFEncodeTest, HandlerSettersWaitForTheCallUnderWay) {
  TVEDavirev encoder;
  encoder.TriggerEventInMainThread = false;  // progress on the convert thread
  encoder.AutoFreeTask = false;
  struct TProbe {
    std::mutex Lock;
    std::condition_variable Changed;
    int Calls = 0;
    bool Inside = false;
    bool Release = false;
    bool ClearedWhileInside = false;
    std::atomic<bool> Cleared{false};
    std::atomic<int> Ends{0};
    static void OnProgress(void* AData, TObject*, FFEncode::PProgressInfo) {
      auto* self = static_cast<TProbe*>(AData);
      std::unique_lock<std::mutex> g(self->Lock);
      if (++self->Calls > 1) return;
      self->Inside = true;
      self->Changed.notify_all();
      self->Changed.wait_for(g, std::chrono::seconds(60), [&] { return self->Release; });
      self->ClearedWhileInside = self->Cleared.load();
    }
    static void OnTerminate(void* AData, TObject*, const TTerminateInfo&) {
      static_cast<TProbe*>(AData)->Ends.fetch_add(1);
    }
  } probe;
  encoder.SetOnProgress(FFEncode::TEncProgressEvent::FromFunction(&TProbe::OnProgress, &probe));
  encoder.SetOnTerminate(FFEncode::TTerminateEvent::FromFunction(&TProbe::OnTerminate, &probe));
  encoder.SetProgressInterval(20);
  ASSERT_EQ(encoder.AddTask(Long("out.mp4")), 0);
  encoder.StartTask(1);
  {
    std::unique_lock<std::mutex> g(probe.Lock);
    ASSERT_TRUE(probe.Changed.wait_for(g, std::chrono::seconds(60), [&] { return probe.Inside; }));
  }
  std::thread clearer([&] {
    encoder.SetOnProgress({});
    probe.Cleared.store(true);
  });
  // A clear that does not wait shows within this bound; one that waits holds on until
  // the handler is let go.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (!probe.Cleared.load() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  {
    std::lock_guard<std::mutex> g(probe.Lock);
    probe.Release = true;
    probe.Changed.notify_all();
  }
  clearer.join();
  int calls;
  {
    std::lock_guard<std::mutex> g(probe.Lock);
    EXPECT_FALSE(probe.ClearedWhileInside) << "the setter returned while the handler ran";
    calls = probe.Calls;
  }
  encoder.SetOnTerminate({});
  encoder.Stop(true);  // more reports would have come meanwhile: the task ran on
  ASSERT_TRUE(PumpUntil([&] { return encoder.AllDone(); }));
  std::lock_guard<std::mutex> g(probe.Lock);
  EXPECT_EQ(probe.Calls, calls) << "a progress call after the clear";
  EXPECT_EQ(probe.Ends.load(), 0) << "a terminate event after the clear";
}

// The final event waits for every task event handed to a delivery thread before it,
// however late that one is delivered.
TEST_F(FFEncodeTest, FinalEventNeverOvertakesALateTaskEvent) {
  TVEDavirev encoder;
  encoder.TriggerEventInMainThread = false;  // delivered on the delivery threads
  struct TGate {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Open = false;
    bool First = true;
    std::vector<int> Delivered;  // in order of the handlers' returns
    static void On(void* AData, TObject*, const TTerminateInfo& AInfo) {
      auto* self = static_cast<TGate*>(AData);
      std::unique_lock<std::mutex> g(self->Lock);
      if (AInfo.TaskIndex >= 0 && self->First) {
        self->First = false;
        self->Changed.wait(g, [self] { return self->Open; });
      }
      self->Delivered.push_back(AInfo.TaskIndex);
      self->Changed.notify_all();
    }
  } gate;
  encoder.OnTerminate = FFEncode::TTerminateEvent::FromFunction(&TGate::On, &gate);
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(encoder.AddTask(Short("out" + std::to_string(i) + ".mp4")), i);
  encoder.StartTask(2);
  {
    std::unique_lock<std::mutex> g(gate.Lock);
    // The other task's event is delivered and the run has ended while the first one is
    // still held.
    ASSERT_TRUE(gate.Changed.wait_for(g, std::chrono::seconds(60), [&] {
      return gate.Delivered.size() == 1 && encoder.AllDone();
    }));
    EXPECT_NE(gate.Delivered[0], -1);
    gate.Open = true;
    gate.Changed.notify_all();
    ASSERT_TRUE(gate.Changed.wait_for(g, std::chrono::seconds(60),
                                      [&] { return gate.Delivered.size() == 3; }));
    EXPECT_EQ(gate.Delivered[2], -1);
  }
}

// Delivery threads free ended tasks while the main thread walks the list again and
// again (run under the sanitizers).
TEST_F(FFEncodeTest, WalksOverTheListWhileDeliveryThreadsFreeTasks) {
  TVEDavirev encoder;
  TEventLog log(encoder);
  for (int i = 0; i < 6; ++i)
    ASSERT_EQ(encoder.AddTask(Short("out" + std::to_string(i) + ".mp4")), i);
  encoder.StartTask(3);
  int round = 0;
  ASSERT_TRUE(PumpUntil([&] {
    ++round;
    encoder.SetProgressInterval(100 + round % 50);
    encoder.SetPreviewBitmap(round & 1);
    encoder.SetReadTimeout(1000 + round);
    encoder.Pause();
    encoder.Resume();
    return log.RunEnded();
  }));
  EXPECT_GT(round, 1);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(encoder.GetTask(i), nullptr) << i;
  EXPECT_EQ(log.Indexes('S'), (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST_F(FFEncodeTest, EngineEventsCarryTheTaskIndex) {
  TVEDavirev encoder;
  encoder.AutoFreeTask = false;
  TEventLog log(encoder);
  struct TSeen {
    std::mutex Lock;
    std::map<std::string, std::set<int>> Indexes;
    std::map<int, int> VideoOutputCalls;
    bool HookOnMain = false;
    bool ProgressOffMain = false;
    std::vector<std::pair<TObject*, AVFormatContext*>> Opened;
    void Add(const std::string& AKind, int AIndex, bool AHook) {
      std::lock_guard<std::mutex> g(Lock);
      Indexes[AKind].insert(AIndex);
      if (AHook && Platform::IsMainThread()) HookOnMain = true;
      if (!AHook && !Platform::IsMainThread()) ProgressOffMain = true;
    }
    static void Audio(void* AData, TObject*, int ATaskIndex, const std::int64_t&, AVFrame* AFrame,
                      int, int, int, AVSampleFormat) {
      if (AFrame) static_cast<TSeen*>(AData)->Add("audio", ATaskIndex, true);
    }
    static void Video(void* AData, TObject*, FFEncode::PHookInfo AInfo) {
      auto* self = static_cast<TSeen*>(AData);
      self->Add("video", AInfo->TaskIndex, true);
      std::lock_guard<std::mutex> g(self->Lock);
      ++self->VideoOutputCalls[AInfo->TaskIndex];
      AInfo->StopHook = true;  // never again for this task
    }
    static void Frame(void* AData, TObject*, FFEncode::PFrameHookInfo AInfo) {
      if (AInfo->Picture && AInfo->Width > 0)
        static_cast<TSeen*>(AData)->Add("frame", AInfo->TaskIndex, true);
    }
    static void Progress(void* AData, TObject*, FFEncode::PProgressInfo AInfo) {
      static_cast<TSeen*>(AData)->Add("progress", AInfo->TaskIndex, false);
    }
    static void Before(void* AData, TObject* ASender, AVFormatContext* AContext) {
      static_cast<TSeen*>(AData)->Opened.emplace_back(ASender, AContext);
    }
  } seen;
  encoder.OnAudioOutputHook = FFEncode::TEncAudioHookEvent::FromFunction(&TSeen::Audio, &seen);
  encoder.OnVideoOutputHook = FFEncode::TEncVideoHookEvent::FromFunction(&TSeen::Video, &seen);
  encoder.OnFrameInputHook = FFEncode::TEncFrameHookEvent::FromFunction(&TSeen::Frame, &seen);
  encoder.OnProgress = FFEncode::TEncProgressEvent::FromFunction(&TSeen::Progress, &seen);
  encoder.OnBeforeFindStreamInfo =
      FFBaseComponent::TBeforeFindStreamInfoEvent::FromFunction(&TSeen::Before, &seen);
  encoder.SetProgressInterval(10);
  FFEncode::THookChoice hooks{};
  hooks[FFEncode::hkAudioOutput] = true;
  hooks[FFEncode::hkVideoOutput] = true;
  hooks[FFEncode::hkFrameInput] = true;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(encoder.AddTask(Short("out" + std::to_string(i) + ".mp4"), &hooks), i);
    ASSERT_EQ(seen.Opened.size(), static_cast<std::size_t>(i + 1));
    EXPECT_EQ(seen.Opened[i].first, encoder.GetTask(i)) << "Sender is the task";
    EXPECT_NE(seen.Opened[i].second, nullptr);
  }
  encoder.StartTask(2);
  ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
  std::lock_guard<std::mutex> g(seen.Lock);
  for (const char* kind : {"audio", "video", "frame", "progress"}) {
    SCOPED_TRACE(kind);
    EXPECT_EQ(seen.Indexes[kind], (std::set<int>{0, 1}));
  }
  EXPECT_EQ(seen.VideoOutputCalls, (std::map<int, int>{{0, 1}, {1, 1}})) << "StopHook reached the task";
  EXPECT_FALSE(seen.HookOnMain) << "hooks run on the engine's threads";
  EXPECT_FALSE(seen.ProgressOffMain) << "progress is handed to the main thread";
}

// A handler stops the component, waiting or not, whatever the number of tasks and the
// thread it runs on: the main thread while the reporting task's thread waits for it, or
// a task's own thread holding the family's lock that the other tasks' threads wait for.
// The call returns, every task reports its end and the run ends. A hang ends the process
// after the bound, naming the case.
TEST_F(FFEncodeTest, HandlersMayStopTheComponentWaitingOrNot) {
  enum TKind { kProgress, kPreview, kVideoHook };
  struct TRow {
    const char* Name;
    TKind Kind;
    bool Main;  // TriggerEventInMainThread
    int Tasks;
    int N;      // StartTask(N); 0: one after another on this (the main) thread
  };
  const TRow rows[] = {
      {"OnProgress on the main thread, 1 task", kProgress, true, 1, 1},
      {"OnProgress on the main thread, 2 tasks", kProgress, true, 2, 2},
      {"OnProgress on the convert thread, 2 tasks", kProgress, false, 2, 2},
      {"OnPreviewBitmap on the main thread, 1 task", kPreview, true, 1, 1},
      {"OnPreviewBitmap on the main thread, 2 tasks", kPreview, true, 2, 2},
      {"OnPreviewBitmap on an encoder thread, 2 tasks", kPreview, false, 2, 2},
      {"OnVideoOutputHook, 2 tasks", kVideoHook, true, 2, 2},
      {"OnVideoOutputHook, 3 tasks", kVideoHook, true, 3, 3},
      {"OnVideoOutputHook of a synchronous run on the main thread", kVideoHook, true, 1, 0},
  };
  TestWatchdog::TWatchdog watchdog;
  for (const TRow& row : rows) {
    for (bool wait : {true, false}) {
      const std::string name = std::string(row.Name) + (wait ? ", Stop(True)" : ", Stop(False)");
      SCOPED_TRACE(name);
      struct TProbe {
        TVEDavirev* Encoder;
        bool Wait;
        std::atomic<int> Calls{0};
        std::atomic<bool> Returned{false};
        void Once() {
          if (Calls.fetch_add(1) != 0) return;
          Encoder->Stop(Wait);
          Returned.store(true);
        }
        static void Progress(void* AData, TObject*, FFEncode::PProgressInfo) {
          static_cast<TProbe*>(AData)->Once();
        }
        static void Preview(void* AData, TObject*, const FFEncode::TPreviewInfo&) {
          static_cast<TProbe*>(AData)->Once();
        }
        static void Hook(void* AData, TObject*, FFEncode::PHookInfo) {
          static_cast<TProbe*>(AData)->Once();
        }
      };
      auto encoder = std::make_unique<TVEDavirev>();
      TProbe probe{encoder.get(), wait};
      TEventLog log(*encoder);
      encoder->TriggerEventInMainThread = row.Main;
      encoder->SetProgressInterval(20);
      encoder->SetPreviewInterval(10);
      FFEncode::THookChoice hooks{};
      switch (row.Kind) {
        case kProgress:
          encoder->OnProgress = FFEncode::TEncProgressEvent::FromFunction(&TProbe::Progress, &probe);
          break;
        case kPreview:
          encoder->SetPreviewBitmap(true);
          encoder->OnPreviewBitmap =
              FFEncode::TEncPreviewBitmapEvent::FromFunction(&TProbe::Preview, &probe);
          break;
        case kVideoHook:
          hooks[FFEncode::hkVideoOutput] = true;
          encoder->OnVideoOutputHook = FFEncode::TEncVideoHookEvent::FromFunction(&TProbe::Hook, &probe);
          break;
      }
      for (int i = 0; i < row.Tasks; ++i)
        ASSERT_EQ(encoder->AddTask("-re -f lavfi -i testsrc2=s=64x48:r=25:d=20 -c:v mpeg4 -f null -",
                                   &hooks),
                  i);
      watchdog.Arm(name, 120);
      encoder->StartTask(row.N);
      const bool ended = PumpUntil([&] { return log.RunEnded(); }, 110);
      watchdog.Disarm();
      EXPECT_TRUE(probe.Returned.load()) << "the handler's Stop did not return";
      ASSERT_TRUE(ended) << "the run did not end";
      EXPECT_EQ(log.Of('T').size(), static_cast<std::size_t>(row.Tasks) + 1);
      EXPECT_EQ(log.Of('T').back().Index, -1);
      watchdog.Bounded("freeing the encoder: " + name, 120, [&] { encoder.reset(); });
    }
  }
}

// SetOnProgress from inside the progress handler (on the main thread while the task's
// thread waits for it, or on the task's thread itself) applies at once: the later
// reports reach the new handler.
TEST_F(FFEncodeTest, ProgressHandlerMayReplaceItself) {
  TestWatchdog::TWatchdog watchdog;
  for (bool main : {true, false}) {
    SCOPED_TRACE(main ? "on the main thread" : "on the convert thread");
    TVEDavirev encoder;
    TEventLog log(encoder);
    encoder.TriggerEventInMainThread = main;
    struct TProbe {
      TVEDavirev* Encoder;
      std::atomic<int> First{0};
      std::atomic<int> Second{0};
      static void OnFirst(void* AData, TObject*, FFEncode::PProgressInfo) {
        auto* self = static_cast<TProbe*>(AData);
        self->First.fetch_add(1);
        self->Encoder->SetOnProgress(FFEncode::TEncProgressEvent::FromFunction(&OnSecond, self));
      }
      static void OnSecond(void* AData, TObject*, FFEncode::PProgressInfo) {
        static_cast<TProbe*>(AData)->Second.fetch_add(1);
      }
    } probe{&encoder};
    encoder.SetOnProgress(FFEncode::TEncProgressEvent::FromFunction(&TProbe::OnFirst, &probe));
    encoder.SetProgressInterval(20);
    ASSERT_EQ(encoder.AddTask("-re -f lavfi -i testsrc2=s=64x48:r=25:d=20 -c:v mpeg4 -f null -"), 0);
    watchdog.Arm(main ? "progress on the main thread" : "progress on the convert thread", 120);
    encoder.StartTask(1);
    EXPECT_TRUE(PumpUntil([&] { return probe.Second.load() > 0; }, 110));
    encoder.Stop(true);
    EXPECT_TRUE(PumpUntil([&] { return log.RunEnded(); }, 110));
    watchdog.Disarm();
    EXPECT_EQ(probe.First.load(), 1);
  }
}

// Runs one task whose progress or preview event, handed to the main thread, frees the
// task; the process ends with 3 only when the free was not refused, and a hang ends with
// the watchdog's text.
[[noreturn]] void FreeTaskFromMainThreadHandler(bool AProgress) {
  TestWatchdog::TWatchdog watchdog;
  watchdog.Arm("freeing the task from the handler", 60);
  TVEDavirev encoder;
  struct TFree {
    TVEDavirev* Encoder;
    static void Progress(void* AData, TObject*, FFEncode::PProgressInfo AInfo) {
      delete static_cast<TFree*>(AData)->Encoder->GetTask(AInfo->TaskIndex);
    }
    static void Preview(void* AData, TObject*, const FFEncode::TPreviewInfo& AInfo) {
      delete static_cast<TFree*>(AData)->Encoder->GetTask(AInfo.TaskIndex);
    }
  } free{&encoder};
  if (AProgress) {
    encoder.OnProgress = FFEncode::TEncProgressEvent::FromFunction(&TFree::Progress, &free);
    encoder.SetProgressInterval(20);
  } else {
    encoder.SetPreviewBitmap(true);
    encoder.SetPreviewInterval(10);
    encoder.OnPreviewBitmap = FFEncode::TEncPreviewBitmapEvent::FromFunction(&TFree::Preview, &free);
  }
  if (encoder.AddTask("-re -f lavfi -i testsrc2=s=64x48:r=25:d=20 -c:v mpeg4 -f null -") == 0) {
    encoder.StartTask(1);
    (void)MainThreadPump::PumpUntil([] { return false; }, 50);
  }
  std::exit(3);
}

// Freeing a task from its progress or preview event handed to the main thread (the
// task's thread waits for the handler, so it cannot end while the free waits for it) is
// refused with a text that says so, rather than hanging.
TEST_F(FFEncodeTest, FreeingATaskFromItsEventOnTheMainThreadIsRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (bool progress : {true, false}) {
    SCOPED_TRACE(progress ? "OnProgress" : "OnPreviewBitmap");
    EXPECT_DEATH(FreeTaskFromMainThreadHandler(progress),
                 HandlerTestSupport::RefusedFree(
                     "FFEncode", 301, progress ? "progress handler" : "preview handler"));
  }
}

TEST_F(FFEncodeTest, DestroyingDuringALimitedRunStopsTheTasksWithoutEvents) {
  auto encoder = std::make_unique<TVEDavirev>();
  TEventLog log(*encoder);
  std::atomic<int> progress{0};
  struct TProgress {
    static void On(void* AData, TObject*, FFEncode::PProgressInfo) {
      static_cast<std::atomic<int>*>(AData)->fetch_add(1);
    }
  };
  encoder->OnProgress = FFEncode::TEncProgressEvent::FromFunction(&TProgress::On, &progress);
  encoder->SetProgressInterval(20);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(encoder->AddTask(Long("out" + std::to_string(i) + ".mp4")), i);
  encoder->StartTask(2);
  ASSERT_TRUE(PumpUntil([&] { return progress.load() > 0; }));

  encoder.reset();

  EXPECT_EQ(log.Indexes('S'), (std::vector<int>{0, 1}));
  EXPECT_TRUE(log.Of('T').empty()) << "the handlers were cleared before the tasks stopped";
}

// ---- The handler contract ------------------------------------------------------------------

// What a handler of the table below does.
enum TEncCall {
  kTaskStopWait,     // its task's Stop(True)
  kFreeEncoder,      // frees the encoder
  kSetIntervals,     // sets the preview and progress intervals
};
enum TEncEvent { kOnProgress, kOnPreview, kOnVideoHook, kOnTaskEnd, kOnRunEnd, kOnStart };

// One host of the encoder for a row: the encoder on the heap (a handler may free it), the
// handler of one event doing one call, and what reached the host.
struct TContractHost {
  TVEDavirev* Encoder = new TVEDavirev;
  TEncEvent Event = kOnProgress;
  TEncCall Call = kTaskStopWait;
  bool Once = true;  // only the first call of the handler acts
  std::atomic<int> Calls{0};
  std::atomic<int> Returned{0};
  std::atomic<bool> Freed{false};  // the free has returned
  std::atomic<int> EventsAfterFree{0};
  std::atomic<bool> RunEnded{false};

  void Bind() {
    Encoder->OnProgress = FFEncode::TEncProgressEvent::FromFunction(
        [](void* AData, TObject*, FFEncode::PProgressInfo AInfo) {
          static_cast<TContractHost*>(AData)->On(kOnProgress, AInfo->TaskIndex);
        },
        this);
    Encoder->OnPreviewBitmap = FFEncode::TEncPreviewBitmapEvent::FromFunction(
        [](void* AData, TObject*, const FFEncode::TPreviewInfo& AInfo) {
          static_cast<TContractHost*>(AData)->On(kOnPreview, AInfo.TaskIndex);
        },
        this);
    Encoder->OnVideoOutputHook = FFEncode::TEncVideoHookEvent::FromFunction(
        [](void* AData, TObject*, FFEncode::PHookInfo AInfo) {
          static_cast<TContractHost*>(AData)->On(kOnVideoHook, AInfo->TaskIndex);
        },
        this);
    Encoder->OnStart = FFEncode::TStartEvent::FromFunction(
        [](void* AData, TObject*, int AIndex) {
          static_cast<TContractHost*>(AData)->On(kOnStart, AIndex);
        },
        this);
    Encoder->OnTerminate = FFEncode::TTerminateEvent::FromFunction(
        [](void* AData, TObject*, const TTerminateInfo& AInfo) {
          auto* self = static_cast<TContractHost*>(AData);
          if (AInfo.TaskIndex < 0) self->RunEnded.store(true);
          self->On(AInfo.TaskIndex < 0 ? kOnRunEnd : kOnTaskEnd, AInfo.TaskIndex);
        },
        this);
  }

  void On(TEncEvent AEvent, int ATaskIndex) {
    if (Freed.load()) EventsAfterFree.fetch_add(1);
    if (AEvent != Event) return;
    if (Calls.fetch_add(1) != 0 && Once) return;
    switch (Call) {
      case kTaskStopWait:
        if (FFEncode::TFFmpeg* task = Encoder->GetTask(ATaskIndex)) task->Stop(true);
        break;
      case kFreeEncoder:
        delete Encoder;
        Freed.store(true);
        break;
      case kSetIntervals:
        Encoder->SetPreviewInterval(10 + Encoder->GetPreviewInterval() % 7);
        Encoder->SetProgressInterval(10 + Encoder->GetProgressInterval() % 5);
        break;
    }
    Returned.fetch_add(1);
  }
};

// Handler x call x delivery thread: every call returns, the run ends (or, freed, the
// encoder returns at once and no further event reaches the host), and no thread touches
// the freed encoder (AddressSanitizer and ThreadSanitizer runs show it otherwise).
TEST_F(FFEncodeTest, HandlerCallsReturnAndSupportedFreesEndQuietly) {
  struct TRow {
    const char* Name;
    TEncEvent Event;
    TEncCall Call;
    bool Main;       // TriggerEventInMainThread
    int Tasks;
    bool HostStop;   // the host waits in Stop(True) meanwhile (on the main thread)
  };
  const TRow rows[] = {
      {"OnProgress on the main thread: its task's Stop(True)", kOnProgress, kTaskStopWait, true, 1,
       false},
      {"OnPreviewBitmap on the main thread: its task's Stop(True)", kOnPreview, kTaskStopWait, true,
       1, false},
      {"OnProgress on the convert thread: its task's Stop(True)", kOnProgress, kTaskStopWait, false,
       1, false},
      {"final OnTerminate on the main thread frees the encoder", kOnRunEnd, kFreeEncoder, true, 2,
       false},
      {"final OnTerminate on its delivery thread frees the encoder", kOnRunEnd, kFreeEncoder, false,
       2, false},
      {"a task's OnTerminate on the main thread frees the encoder", kOnTaskEnd, kFreeEncoder, true,
       2, false},
      {"a task's OnTerminate on its delivery thread frees the encoder", kOnTaskEnd, kFreeEncoder,
       false, 2, false},
      {"the host waits in Stop(True), a task's OnTerminate on the main thread frees the encoder",
       kOnTaskEnd, kFreeEncoder, true, 2, true},
      {"OnProgress on the convert thread and OnVideoOutputHook set the intervals at once",
       kOnProgress, kSetIntervals, false, 2, false},
  };
  TestWatchdog::TWatchdog watchdog;
  for (const TRow& row : rows) {
    for (int round = 0; round < 2; round++) {
      const std::string name = std::string(row.Name) + ", round " + std::to_string(round);
      SCOPED_TRACE(name);
      TContractHost host;
      host.Event = row.Event;
      host.Call = row.Call;
      host.Once = row.Call != kSetIntervals;
      host.Bind();
      TVEDavirev* encoder = host.Encoder;
      encoder->TriggerEventInMainThread = row.Main;
      encoder->SetProgressInterval(20);
      encoder->SetPreviewInterval(10);
      FFEncode::THookChoice hooks{};
      if (row.Event == kOnPreview) encoder->SetPreviewBitmap(true);
      if (row.Call == kSetIntervals) {
        hooks[FFEncode::hkVideoOutput] = true;
        // the hook sets them too, on an encoder thread, while the progress handler does
        encoder->OnVideoOutputHook = FFEncode::TEncVideoHookEvent::FromFunction(
            [](void* AData, TObject*, FFEncode::PHookInfo) {
              TVEDavirev* encoder = static_cast<TContractHost*>(AData)->Encoder;
              encoder->SetPreviewInterval(11 + encoder->GetPreviewInterval() % 3);
            },
            &host);
      }
      for (int i = 0; i < row.Tasks; ++i)
        ASSERT_EQ(
            encoder->AddTask("-re -f lavfi -i testsrc2=s=64x48:r=25:d=20 -c:v mpeg4 -f null -",
                             &hooks),
            i);
      watchdog.Bounded(name, 120, [&] {
        encoder->StartTask(row.Tasks);
        if (row.Call == kSetIntervals) {
          ASSERT_TRUE(PumpUntil([&] { return host.Calls.load() > 20; }, 110));
          encoder->Stop(true);
        } else if (row.Call == kFreeEncoder || row.HostStop) {
          // the tasks end at once (never waiting for ever on the long job)
          if (row.HostStop)
            encoder->Stop(true);  // returns once the handler freed the encoder meanwhile
          else
            encoder->Stop(false);
        }
        if (row.Call == kFreeEncoder) {
          // the handler's last touch of the host is its count of returned calls
          ASSERT_TRUE(PumpUntil([&] { return host.Returned.load() > 0; }, 110));
        } else {
          ASSERT_TRUE(PumpUntil([&] { return host.RunEnded.load(); }, 110));
          delete encoder;
        }
      });
      EXPECT_GT(host.Returned.load(), 0) << "the handler's call did not return";
      EXPECT_EQ(host.Freed.load(), row.Call == kFreeEncoder);
      // Nothing more reaches the host once the encoder is freed.
      EXPECT_TRUE(MainThreadPump::KeepsHolding([&] { return host.EventsAfterFree.load() == 0; }));
    }
  }
}

// A call of a main-thread handler that serves the main thread's queue (a lock or a wait
// of any object) would run an end event delivered meanwhile inside that handler, where a
// free of the encoder is refused: the end event comes only once the handler returned,
// and frees the encoder there as supported.
TEST_F(FFEncodeTest, AnEndEventOnTheMainThreadWaitsForTheHandlerRunningThere) {
  struct THost {
    TVEDavirev* Encoder = nullptr;
    bool StoppedFirst = false;
    bool InPreviewHandler = false;
    bool Ended = false;
    bool EndedInsidePreview = false;
    bool Freed = false;
  } host;
  host.Encoder = new TVEDavirev;
  host.Encoder->TriggerEventInMainThread = true;
  host.Encoder->SetPreviewBitmap(true);
  host.Encoder->SetPreviewInterval(10);
  host.Encoder->OnPreviewBitmap = FFEncode::TEncPreviewBitmapEvent::FromFunction(
      [](void* AData, TObject*, const FFEncode::TPreviewInfo& AInfo) {
        auto* self = static_cast<THost*>(AData);
        if (self->StoppedFirst || AInfo.TaskIndex != 1) return;
        self->StoppedFirst = true;
        self->InPreviewHandler = true;
        // The first task (audio only: it reports no preview) ends, and its end is
        // delivered, while this handler serves the queue.
        self->Encoder->GetTask(0)->Stop(false);
        (void)MainThreadPump::PumpUntil([self] { return self->Ended; }, 2.0);
        self->InPreviewHandler = false;
      },
      &host);
  host.Encoder->OnTerminate = FFEncode::TTerminateEvent::FromFunction(
      [](void* AData, TObject*, const TTerminateInfo& AInfo) {
        auto* self = static_cast<THost*>(AData);
        if (AInfo.TaskIndex != 0) return;
        self->Ended = true;
        self->EndedInsidePreview = self->InPreviewHandler;
        if (self->EndedInsidePreview) return;
        delete self->Encoder;
        self->Freed = true;
      },
      &host);
  ASSERT_EQ(host.Encoder->AddTask("-y -re -f lavfi -i sine=duration=60 -c:a aac \"" +
                                  Path("first.m4a") + "\""),
            0);
  ASSERT_EQ(host.Encoder->AddTask(Long("second.mp4")), 1);
  TestWatchdog::TWatchdog watchdog;
  watchdog.Bounded("the end event and the free", 120, [&] {
    host.Encoder->StartTask(2);
    ASSERT_TRUE(PumpUntil([&] { return host.Ended && !host.InPreviewHandler; }, 110));
    if (!host.Freed) delete host.Encoder;
  });
  EXPECT_FALSE(host.EndedInsidePreview) << "the end event ran inside the preview handler";
  EXPECT_TRUE(host.Freed);
}

// Runs an encoder whose handler of AEvent frees it; returns (and the process ends with 3)
// only when the free was not refused. A hang ends with the watchdog's text.
[[noreturn]] void FreeEncoderFromHandler(TEncEvent AEvent, bool AMain, int AN) {
  TestWatchdog::TWatchdog watchdog;
  watchdog.Arm("freeing the encoder from its handler", 60);
  TContractHost host;
  host.Event = AEvent;
  host.Call = kFreeEncoder;
  host.Bind();
  FFEncode::THookChoice hooks{};
  hooks[FFEncode::hkVideoOutput] = true;
  host.Encoder->TriggerEventInMainThread = AMain;
  host.Encoder->SetProgressInterval(20);
  // A short task first (a synchronous run reaches its end at once), then one that runs
  // until it is stopped.
  if (host.Encoder->AddTask("-f lavfi -i testsrc2=s=64x48:r=25:d=0.2 -c:v mpeg4 -f null -",
                            &hooks) == 0 &&
      host.Encoder->AddTask("-re -f lavfi -i testsrc2=s=64x48:r=25:d=20 -c:v mpeg4 -f null -",
                            &hooks) == 1) {
    host.Encoder->StartTask(AN);
    (void)MainThreadPump::PumpUntil([] { return false; }, 50);
  }
  std::exit(3);
}

// Freeing the encoder from a handler that runs while a task's thread (or a run on this
// thread) waits for it is refused at once with the one text, rather than hanging or
// crashing.
TEST_F(FFEncodeTest, FreeingTheEncoderFromItsRunningHandlersIsRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct TRow {
    const char* Name;
    TEncEvent Event;
    bool Main;
    int N;
    const char* Handler;
  };
  const TRow rows[] = {
      {"OnProgress on the convert thread", kOnProgress, false, 2, "progress handler"},
      {"OnProgress on the main thread", kOnProgress, true, 2, "progress handler"},
      {"OnVideoOutputHook on an encoder thread", kOnVideoHook, true, 2, "video hook handler"},
      {"OnStart of a limited run", kOnStart, true, 1, "start handler"},
      {"OnTerminate of a synchronous run", kOnTaskEnd, true, 0,
       "terminate handler of a synchronous run"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    EXPECT_DEATH(FreeEncoderFromHandler(row.Event, row.Main, row.N),
                 HandlerTestSupport::RefusedFree("FFEncode", 301, row.Handler));
  }
}

// A host's own subclass of the component that overrides a trampoline, freed while its
// tasks run: they are stopped before any destructor runs, so the override never runs on
// a half-destroyed object (ThreadSanitizer reports a race on the object's class
// otherwise) and a member of the subclass never goes while the tasks may call it.
TEST_F(FFEncodeTest, ASubclassIsStoppedBeforeItsOwnDestructorRuns) {
  struct TMember {
    TCustomEncoder* Owner = nullptr;
    std::atomic<int>* WorkingAtDestruction = nullptr;
    ~TMember() {
      if (Owner->GetTask(0)) WorkingAtDestruction->fetch_add(1);
    }
  };
  struct TCountingEncoder : TCustomEncoder {
    std::atomic<int> Reports{0};
    TMember Member;
    void DoProgress(TObject* Sender, int AFileIndex, int AFrameNumber, int AFPS, float AQuality,
                    float ABitRate, const std::int64_t& ATotalSize,
                    const std::int64_t& ACurrentDuration,
                    const std::int64_t& ATotalDuration) override {
      Reports.fetch_add(1);
      TCustomEncoder::DoProgress(Sender, AFileIndex, AFrameNumber, AFPS, AQuality, ABitRate,
                                 ATotalSize, ACurrentDuration, ATotalDuration);
    }
  };
  std::atomic<int> workingAtDestruction{0};
  TestWatchdog::TWatchdog watchdog;
  for (int round = 0; round < 3; round++) {
    SCOPED_TRACE(round);
    auto* encoder = new TCountingEncoder;
    encoder->Member.Owner = encoder;
    encoder->Member.WorkingAtDestruction = &workingAtDestruction;
    encoder->SetProgressInterval(10);
    ASSERT_EQ(encoder->AddTask(Long("sub.mp4")), 0);
    encoder->StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return encoder->Reports.load() > 2; }));
    watchdog.Bounded("freeing the running subclass", 60,
                     [&] { delete static_cast<TCustomEncoder*>(encoder); });
  }
  EXPECT_EQ(workingAtDestruction.load(), 0) << "the tasks ran on while the subclass was destroyed";
}

// A seeded random host: from random handlers (on the main thread or on the tasks' and
// the delivery threads) it calls random methods of the component and of the task an
// event is about, and from its end events delivered by a delivery thread it sometimes
// frees the component. Every call returns, and once a free has returned no event reaches
// the host any more (a failing seed repeats).
TEST_F(FFEncodeTest, SeededRandomHostCallsAndFreesFromItsHandlers) {
  struct THost {
    TVEDavirev* Encoder = nullptr;
    unsigned Seed = 0;
    std::atomic<unsigned> Draws{0};
    std::atomic<bool> Freeing{false};
    std::atomic<bool> FreeReturned{false};
    std::atomic<bool> FreedFromAHandler{false};
    std::atomic<bool> RunEnded{false};
    std::atomic<int> EventsAfterFree{0};
    std::atomic<int> Calls{0};

    unsigned Roll(unsigned AChoices) {
      std::minstd_rand draw(Seed * 7919u + Draws.fetch_add(1));
      return draw() % AChoices;
    }
    void Act(int ATaskIndex, bool AMayFree) {
      if (FreeReturned.load()) EventsAfterFree.fetch_add(1);
      if (AMayFree && Roll(3) == 0 && !Freeing.exchange(true)) {
        delete Encoder;
        FreedFromAHandler.store(true);
        FreeReturned.store(true);  // the handler's last touch of the host
        return;
      }
      Calls.fetch_add(1);
      switch (Roll(9)) {
        case 0: Encoder->SetPreviewInterval(static_cast<int>(Roll(50))); break;
        case 1: Encoder->SetProgressInterval(static_cast<int>(10 + Roll(40))); break;
        case 2: Encoder->SetPreviewBitmap(Roll(2) == 0); break;
        case 3: Encoder->Stop(false); break;
        case 4: Encoder->Stop(true); break;
        case 5:
          if (FFEncode::TFFmpeg* task = Encoder->GetTask(ATaskIndex)) task->Stop(true);
          break;
        case 6:
          if (FFEncode::TFFmpeg* task = Encoder->GetTask(ATaskIndex)) task->Stop(false);
          break;
        default: break;
      }
    }
  };
  TestWatchdog::TWatchdog watchdog;
  int handlerFrees = 0;
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    THost host;
    host.Seed = seed;
    host.Encoder = new TVEDavirev;
    TVEDavirev& encoder = *host.Encoder;
    encoder.TriggerEventInMainThread = host.Roll(2) == 0;
    encoder.SetProgressInterval(20);
    encoder.SetPreviewInterval(10);
    encoder.SetPreviewBitmap(true);
    encoder.OnProgress = FFEncode::TEncProgressEvent::FromFunction(
        [](void* AData, TObject*, FFEncode::PProgressInfo AInfo) {
          static_cast<THost*>(AData)->Act(AInfo->TaskIndex, false);
        },
        &host);
    encoder.OnPreviewBitmap = FFEncode::TEncPreviewBitmapEvent::FromFunction(
        [](void* AData, TObject*, const FFEncode::TPreviewInfo& AInfo) {
          static_cast<THost*>(AData)->Act(AInfo.TaskIndex, false);
        },
        &host);
    encoder.OnVideoOutputHook = FFEncode::TEncVideoHookEvent::FromFunction(
        [](void* AData, TObject*, FFEncode::PHookInfo AInfo) {
          static_cast<THost*>(AData)->Act(AInfo->TaskIndex, false);
        },
        &host);
    encoder.OnStart = FFEncode::TStartEvent::FromFunction(
        [](void* AData, TObject*, int AIndex) { static_cast<THost*>(AData)->Act(AIndex, false); },
        &host);
    encoder.OnTerminate = FFEncode::TTerminateEvent::FromFunction(
        [](void* AData, TObject*, const TTerminateInfo& AInfo) {
          auto* self = static_cast<THost*>(AData);
          if (AInfo.TaskIndex < 0) self->RunEnded.store(true);
          self->Act(AInfo.TaskIndex, true);
        },
        &host);
    FFEncode::THookChoice hooks{};
    hooks[FFEncode::hkVideoOutput] = true;
    const int tasks = 3;
    for (int i = 0; i < tasks; ++i)
      ASSERT_EQ(encoder.AddTask("-re -f lavfi -i testsrc2=s=64x48:r=25:d=1 -c:v mpeg4 -f null -",
                                &hooks),
                i);
    watchdog.Bounded("seed " + std::to_string(seed), 120, [&] {
      encoder.StartTask(1 + static_cast<int>(host.Roll(tasks)));
      ASSERT_TRUE(PumpUntil([&] { return host.FreeReturned.load() || host.RunEnded.load(); }, 110));
      if (!host.Freeing.exchange(true)) {
        delete host.Encoder;
        host.FreeReturned.store(true);
      }
      // A handler that took the free ends it before the host goes.
      ASSERT_TRUE(PumpUntil([&] { return host.FreeReturned.load(); }, 110));
    });
    EXPECT_TRUE(MainThreadPump::KeepsHolding([&] { return host.EventsAfterFree.load() == 0; }));
    if (host.FreedFromAHandler.load()) ++handlerFrees;
  }
  EXPECT_GT(handlerFrees, 0) << "no seed freed the component from a handler";
}

// ---- Failures -----------------------------------------------------------------------------

TEST_F(FFEncodeTest, CallsWhileWorkingRaiseWithTheOperationsName) {
  TVEDavirev encoder;
  TEventLog log(encoder);
  ASSERT_EQ(encoder.AddTask(Long("long.mp4")), 0);
  encoder.StartTask(1);
  struct TRow {
    const char* Text;
    std::function<void()> Call;
  };
  const TRow rows[] = {
      {"Cannot AddTask while working.", [&] { (void)encoder.AddTask(Short("x.mp4")); }},
      {"Cannot StartTask while working.", [&] { encoder.StartTask(1); }},
      {"Cannot ClearTasks while working.", [&] { encoder.ClearTasks(); }},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Text);
    try {
      row.Call();
      ADD_FAILURE() << "no exception";
    } catch (const Platform::Exception& e) {
      EXPECT_EQ(std::string(e.what()), row.Text);
    }
  }
  EXPECT_EQ(encoder.TaskCount(), 1) << "nothing was listed";
  encoder.Stop(true);
  ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
  // Once the run ended only AddTask and StartTask still raise, until ClearTasks.
  EXPECT_THROW((void)encoder.AddTask(Short("x.mp4")), Platform::Exception);
  encoder.ClearTasks();
  EXPECT_EQ(encoder.AddTask(Short("x.mp4")), 0);
}

[[noreturn]] void AddTaskWithoutLibraries(const std::string& ACommandLine, const std::string& ADir) {
  // This process ends without the fixture's clean-up: the folder its set-up made goes here.
  (void)std::system(("rm -rf '" + ADir + "'").c_str());
  FFLoad::FFLoader->Unload(FFLoad::avDevice);
  TVEDavirev encoder;
  try {
    (void)encoder.AddTask(ACommandLine);
  } catch (const Platform::Exception& e) {
    std::exit(std::string(e.what()) == "FFmpeg libraries not loaded." ? 0 : 2);
  }
  std::exit(1);
}

TEST_F(FFEncodeTest, AddTaskWithoutTheLibrariesRaises) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(AddTaskWithoutLibraries(Short("x.mp4"), FDir), ::testing::ExitedWithCode(0), "");
}

TEST_F(FFEncodeTest, ParseFailureListsNothingAndKeepsTheTasksText) {
  TVEDavirev encoder;
  ASSERT_EQ(encoder.AddTask(Short("first.mp4")), 0);
  struct TRow {
    std::string CommandLine;
    std::string Text;  // the task's own text
  };
  const TRow rows[] = {
      {"-i \"" + Path("missing.nut") + "\" \"" + Path("x.mp4") + "\"",
       "No such file or directory"},
      {"-nosuchoption 1 -i \"" + Path("in.nut") + "\" \"" + Path("x.mp4") + "\"",
       "Option not found"},
      {"-i \"" + Path("in.nut") + "\"", "At least one output file must be specified"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.CommandLine);
    EXPECT_LT(encoder.AddTask(row.CommandLine), 0);
    EXPECT_EQ(encoder.LastErrMsg(), row.Text);
    EXPECT_EQ(encoder.TaskCount(), 1);
  }
  EXPECT_EQ(encoder.AddTask(Short("second.mp4")), 1) << "the list goes on unchanged";
}

TEST_F(FFEncodeTest, FailingTaskReportsItsErrorInTheTerminateEventAndTheRunGoesOn) {
  struct TRow {
    const char* Name;
    int N;
  };
  for (const TRow& row : {TRow{"limited", 1}, TRow{"synchronous", 0}}) {
    SCOPED_TRACE(row.Name);
    TVEDavirev encoder;
    TEventLog log(encoder);
    // The encoder cannot open at that sample rate: the job fails once frames arrive.
    const int index = encoder.AddTask("-y -i \"" + Path("in.nut") +
                                      "\" -vn -c:a aac -ar 1234 \"" + Path("bad.mp4") + "\"");
    ASSERT_EQ(index, 0) << encoder.LastErrMsg();
    ASSERT_EQ(encoder.AddTask(Short("out.mp4")), 1);
    encoder.StartTask(row.N);
    ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
    const std::vector<TEvent> ends = log.Of('T');
    ASSERT_EQ(ends.size(), 3u);
    EXPECT_EQ(ends[0].Index, 0);
    EXPECT_TRUE(ends[0].HasException);
    EXPECT_NE(ends[0].Message.find("Please check error log message(reported by VEDovedo) to "
                                   "find out more detail information."),
              std::string::npos)
        << ends[0].Message;
    EXPECT_EQ(ends[1].Index, 1) << "the next task still runs";
    EXPECT_FALSE(ends[1].HasException) << ends[1].Message;
    EXPECT_EQ(ends[2].Index, -1);
  }
}

// ---- Settings -----------------------------------------------------------------------------

TEST_F(FFEncodeTest, IntervalsAreCopiedIntoEveryTaskInMicroseconds) {
  TVEDavirev encoder;
  EXPECT_EQ(encoder.GetPreviewInterval(), 100);
  EXPECT_EQ(encoder.GetProgressInterval(), 500);
  ASSERT_EQ(encoder.AddTask(Short("a.mp4")), 0);
  ASSERT_EQ(encoder.AddTask(Short("b.mp4")), 1);
  EXPECT_EQ(encoder.GetTask(0)->FPreviewInterval.load(), 100000);
  EXPECT_EQ(encoder.GetTask(0)->Fstats_period.load(), 500000);
  struct TRow {
    int Set;
    int Stored;
  };
  for (const TRow& row : {TRow{5, 10}, TRow{10, 10}, TRow{250, 250}}) {
    SCOPED_TRACE(row.Set);
    encoder.SetPreviewInterval(row.Set);
    encoder.SetProgressInterval(row.Set);
    EXPECT_EQ(encoder.GetPreviewInterval(), row.Stored);
    EXPECT_EQ(encoder.GetProgressInterval(), row.Stored);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(encoder.GetTask(i)->FPreviewInterval.load(), row.Stored * 1000);
      EXPECT_EQ(encoder.GetTask(i)->Fstats_period.load(), row.Stored * 1000);
    }
  }
  encoder.SetPreviewInterval(5);
  ASSERT_EQ(encoder.AddTask(Short("c.mp4")), 2);
  EXPECT_EQ(encoder.GetTask(2)->FPreviewInterval.load(), 10000) << "a new task takes it too";
}

TEST_F(FFEncodeTest, PreviewFlagsTimeoutsAndDecodersReachTheTasks) {
  TVEDavirev encoder;
  encoder.SetPreviewBitmap(true);
  encoder.SetReadTimeout(1234);
  ASSERT_EQ(encoder.AddTask(Short("a.mp4")), 0);
  FFEncode::TFFmpeg* task = encoder.GetTask(0);
  EXPECT_EQ(task->PreviewFlags(), FFmpeg::PREVIEW_BITMAP);
  EXPECT_EQ(task->FReadTimeout.load(), 1234);
  encoder.SetPreviewVideo(true);
  encoder.SetPreviewBitmap(false);
  EXPECT_EQ(task->PreviewFlags(), FFmpeg::PREVIEW_WINDOW);
  encoder.SetPreviewVideo(false);
  EXPECT_EQ(task->PreviewFlags(), 0);
  encoder.SetWriteTimeout(4321);
  EXPECT_EQ(task->FWriteTimeout.load(), 4321);
  encoder.SetPreviewAudio(true);
  EXPECT_TRUE(task->FAudioPreview.load());
  ASSERT_EQ(task->FDecoders.size(), 1u) << "one decoder per input";
  auto* decoder = dynamic_cast<FFDecode::TVIZoravaz*>(task->FDecoders[0]);
  ASSERT_TRUE(decoder);
  EXPECT_EQ(decoder->StreamCount(), 2);
  EXPECT_FALSE(decoder->OwnsContext());
}

}  // namespace
