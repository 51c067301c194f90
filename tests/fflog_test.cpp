// The logger component on a host form: lines of FFmpeg (through the real av_log of the
// loaded libavutil) and of the system reach the form's handler on the right thread, the
// level filters, one logger per process, and the removal of its handler.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "LoaderTestSupport.h"
#include "components/FFLog.h"
#include "platform/Dispatcher.h"
#include "platform/Exception.h"
#include "platform/Types.h"
#include "MainThreadPump.h"

namespace {

using FFLoad::TLogEvent;
using FFLoad::TLogLevel;
using FFLoad::VEDovedo;
using FFLog::TVEDovedo;
using namespace FFLoad;  // the log levels

struct TRecord {
  Platform::TObject* Sender;
  int ThreadID;
  TLogLevel Level;
  std::string Msg;
  Platform::TThreadID HandlerThread;
};

// The forms that exist: a handler call that reaches another address counts as reaching
// a freed object (the address itself is never followed then).
std::mutex GFormsLock;
std::set<const void*> GLiveForms;
std::atomic<int> GCallsOnFreedForms{0};

bool Alive(const void* AForm) {
  std::lock_guard<std::mutex> g(GFormsLock);
  return GLiveForms.count(AForm) != 0;
}

// Lets a test hold the next handler call of any form until it is released. Global, so
// that a call that reached a freed form still finds it.
struct TGate {
  std::mutex Lock;
  std::condition_variable Cond;
  bool Block = false;
  bool Blocked = false;

  void Arm() {
    std::lock_guard<std::mutex> g(Lock);
    Block = true;
    Blocked = false;
  }
  bool WaitUntilBlocked() {
    std::unique_lock<std::mutex> g(Lock);
    return Cond.wait_for(g, std::chrono::seconds(10), [this] { return Blocked; });
  }
  void Release() {
    {
      std::lock_guard<std::mutex> g(Lock);
      Block = false;
    }
    Cond.notify_all();
  }
  void Pass() {
    std::unique_lock<std::mutex> g(Lock);
    if (!Block || Blocked) return;
    Blocked = true;
    Cond.notify_all();
    Cond.wait(g, [this] { return !Block; });
  }
};
TGate GGate;

// A host form: it owns the logger and handles its lines.
class TTestForm : public Platform::TComponent {
 public:
  TTestForm() {
    std::lock_guard<std::mutex> g(GFormsLock);
    GLiveForms.insert(this);
  }
  ~TTestForm() override {
    // The logger goes first, while the handler's object is whole.
    DestroyComponents();
    std::lock_guard<std::mutex> g(GFormsLock);
    GLiveForms.erase(this);
  }

  void LogHandler(Platform::TObject* Sender, int AThreadID, TLogLevel ALogLevel,
                  const std::string& ALogMsg) {
    GGate.Pass();
    if (!Alive(this)) {
      ++GCallsOnFreedForms;
      return;
    }
    std::lock_guard<std::mutex> g(FLock);
    FRecords.push_back({Sender, AThreadID, ALogLevel, ALogMsg, Platform::GetCurrentThreadId()});
  }
  TLogEvent Handler() { return TLogEvent::Bind<&TTestForm::LogHandler>(this); }

  std::vector<TRecord> Records() {
    std::lock_guard<std::mutex> g(FLock);
    return FRecords;
  }
  // Waits, serving the main thread's queue, until a line ends with AText (10 s at most).
  bool WaitForLine(const std::string& AText) {
    return MainThreadPump::PumpUntil([&] { return Find(AText) != nullptr; }, 10);
  }
  const TRecord* Find(const std::string& AText) {
    std::lock_guard<std::mutex> g(FLock);
    for (const TRecord& r : FRecords)
      if (r.Msg.size() >= AText.size() &&
          r.Msg.compare(r.Msg.size() - AText.size(), AText.size(), AText) == 0) {
        FFound = r;
        return &FFound;
      }
    return nullptr;
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const TRecord& r : Records()) lines.push_back(r.Msg);
    return lines;
  }

 private:
  std::mutex FLock;
  std::vector<TRecord> FRecords;
  TRecord FFound{};
};

// A form in a designer: what it owns is being designed too.
class TDesignForm : public TTestForm {
 public:
  TDesignForm() { SetDesigning(true); }
};

class TSender : public Platform::TObject {};

// Loads the libraries, installs the log worker's callback again (other tests install
// their own), keeps the worker's settings and restores them afterwards.
class FFLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(CDecoderLibraries)) << FFLoader->GetLastErrMsg();
    W = VEDovedo;
    W->InstallAVLogCallback();
    W->SetOnLog(nullptr);
    W->SetActive(true);
    W->SetLogLevel(llInfo);
    W->SetLogFlags(0);
    W->SetLogWithTime(false);
    W->SetLogWithThreadID(false);
    GCallsOnFreedForms = 0;
  }
  void TearDown() override {
    GGate.Release();
    FSaved.Restore();
    EXPECT_EQ(GCallsOnFreedForms.load(), 0);
  }

  TFFLogWorker* W = nullptr;

 private:
  LoaderTestSupport::TLogWorkerSettings FSaved;
};

void AvLog(int ALevel, const char* AText) {
  AVUtilStubs::av_log(nullptr, ALevel, "%s\n", AText);
}

TEST_F(FFLogTest, LinesReachTheFormOnTheThreadTheSettingsName) {
  struct {
    bool Synchronous;
    bool InMainThread;
    const char* Expected;  // where the handler runs
  } const cases[] = {
      {false, true, "main"},
      {true, true, "main"},
      {false, false, "log thread"},
      {true, false, "producer"},
  };
  const Platform::TThreadID mainThread = Platform::GetCurrentThreadId();
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Expected + std::string(c.Synchronous ? ", synchronous" : ", queued"));
    TTestForm form;
    auto* logger = new TVEDovedo(&form);
    logger->SetSynchronous(c.Synchronous);
    logger->SetTriggerEventInMainThread(c.InMainThread);
    logger->SetOnLog(form.Handler());
    EXPECT_TRUE(logger->GetOnLog() == form.Handler());

    const std::string ffLine = "from FFmpeg " + std::to_string(round);
    const std::string ownLine = "own line " + std::to_string(round++);
    TSender sender;
    std::atomic<Platform::TThreadID> producer{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
      producer = Platform::GetCurrentThreadId();
      AvLog(AV_LOG_WARNING, ffLine.c_str());
      VEDovedo->Log(&sender, llError, ownLine);
      done = true;
    });
    ASSERT_TRUE(form.WaitForLine(ownLine)) << ::testing::PrintToString(form.Lines());
    worker.join();

    const std::vector<TRecord> records = form.Records();
    ASSERT_EQ(records.size(), 2u) << ::testing::PrintToString(form.Lines());
    EXPECT_EQ(records[0].Msg, ffLine);
    EXPECT_EQ(records[0].Sender, VEDovedo);
    EXPECT_EQ(records[0].Level, llWarning);
    EXPECT_EQ(records[1].Msg, "[TSender] " + ownLine);
    EXPECT_EQ(records[1].Sender, &sender);
    EXPECT_EQ(records[1].Level, llError);
    for (const TRecord& r : records) {
      EXPECT_EQ(static_cast<Platform::TThreadID>(r.ThreadID), producer.load()) << r.Msg;
      const std::string where = r.HandlerThread == mainThread      ? "main"
                                : r.HandlerThread == producer.load() ? "producer"
                                                                     : "log thread";
      EXPECT_EQ(where, c.Expected) << r.Msg;
    }
  }
}

TEST_F(FFLogTest, LogLevelFiltersEverySourceAndSetsFFmpegsLevel) {
  TTestForm form;
  auto* logger = new TVEDovedo(&form);
  logger->SetSynchronous(true);
  logger->SetTriggerEventInMainThread(false);
  logger->SetOnLog(form.Handler());

  for (int l = llQuiet; l <= llTrace; ++l) {
    logger->SetLogLevel(static_cast<TLogLevel>(l));
    EXPECT_EQ(logger->GetLogLevel(), l);
    EXPECT_EQ(AVUtilStubs::av_log_get_level(), LogLevelToInt(static_cast<TLogLevel>(l)));
  }

  logger->SetLogLevel(llWarning);
  TSender sender;
  AvLog(AV_LOG_INFO, "ffmpeg info");
  AvLog(AV_LOG_WARNING, "ffmpeg warning");
  AvLog(AV_LOG_ERROR, "ffmpeg error");
  VEDovedo->Log(&sender, llInfo, "own info");
  VEDovedo->Log(&sender, llWarning, "own warning");
  logger->SetLogLevel(llVerbose);
  AvLog(AV_LOG_VERBOSE, "ffmpeg verbose");
  AvLog(AV_LOG_DEBUG, "ffmpeg debug");
  VEDovedo->Log(&sender, llInfo, "own info again");
  EXPECT_EQ(form.Lines(),
            (std::vector<std::string>{"ffmpeg warning", "ffmpeg error", "[TSender] own warning",
                                      "ffmpeg verbose", "[TSender] own info again"}));
}

TEST_F(FFLogTest, PropertiesAreTheWorkersSettings) {
  TTestForm form;
  auto* logger = new TVEDovedo(&form);
  struct {
    const char* Name;
    std::function<void(bool)> Set;
    std::function<bool()> OnLogger;
    std::function<bool()> OnWorker;
  } const cases[] = {
      {"Active", [&](bool v) { logger->SetActive(v); }, [&] { return logger->GetActive(); },
       [] { return VEDovedo->GetActive(); }},
      {"LogWithLevel", [&](bool v) { logger->SetLogWithLevel(v); },
       [&] { return logger->GetLogWithLevel(); }, [] { return VEDovedo->GetLogWithLevel(); }},
      {"LogWithThreadID", [&](bool v) { logger->SetLogWithThreadID(v); },
       [&] { return logger->GetLogWithThreadID(); }, [] { return VEDovedo->GetLogWithThreadID(); }},
      {"LogWithTime", [&](bool v) { logger->SetLogWithTime(v); },
       [&] { return logger->GetLogWithTime(); }, [] { return VEDovedo->GetLogWithTime(); }},
      {"Synchronous", [&](bool v) { logger->SetSynchronous(v); },
       [&] { return logger->GetSynchronous(); }, [] { return VEDovedo->GetSynchronous(); }},
      {"TriggerEventInMainThread", [&](bool v) { logger->SetTriggerEventInMainThread(v); },
       [&] { return logger->GetTriggerEventInMainThread(); },
       [] { return VEDovedo->GetTriggerEventInMainThread(); }},
  };
  for (const auto& c : cases) {
    const bool before = c.OnWorker();
    for (bool v : {!before, before}) {
      c.Set(v);
      EXPECT_EQ(c.OnLogger(), v) << c.Name;
      EXPECT_EQ(c.OnWorker(), v) << c.Name;
    }
  }
  // The inherited properties stay as the base has them.
  EXPECT_EQ(logger->GetVersion(), "10.8");
  EXPECT_EQ(logger->GetAbout(), "");
}

TEST_F(FFLogTest, OnlyOneLoggerAtRunTime) {
  TTestForm form;
  auto* first = new TVEDovedo(&form);
  try {
    new TVEDovedo(&form);
    FAIL() << "a second logger was made";
  } catch (const Platform::EAssertionFailed& e) {
    EXPECT_NE(std::string(e.what()).find("Allow creating only one instance of TVEDovedo."),
              std::string::npos)
        << e.what();
  }
  EXPECT_THROW(TVEDovedo(), Platform::EAssertionFailed) << "without an owner as well";
  // The failed one left nothing behind in its owner.
  ASSERT_EQ(form.ComponentCount(), 1);
  EXPECT_EQ(form.Components(0), first);

  delete first;
  EXPECT_EQ(form.ComponentCount(), 0);
  auto* next = new TVEDovedo(&form);
  EXPECT_EQ(form.Components(0), next);
}

TEST_F(FFLogTest, SeveralLoggersWhileDesigned) {
  {
    TDesignForm designer;
    auto* a = new TVEDovedo(&designer);
    auto* b = new TVEDovedo(&designer);
    EXPECT_TRUE(a->Designing());
    EXPECT_TRUE(b->Designing());
    // Designed loggers count: none can be made at run time meanwhile.
    TTestForm form;
    EXPECT_THROW(new TVEDovedo(&form), Platform::EAssertionFailed);
  }
  TTestForm form;
  auto* logger = new TVEDovedo(&form);
  EXPECT_FALSE(logger->Designing());
}

TEST_F(FFLogTest, DestroyingTheLoggerRemovesOnlyItsOwnHandler) {
  auto other = [](void*, Platform::TObject*, int, TLogLevel, const std::string&) {};
  TTestForm otherForm;
  struct {
    const char* Name;
    bool LoggerSets;
    TLogEvent Later;  // what other code installs afterwards
    TLogEvent Remains;
  } const cases[] = {
      {"its own handler goes", true, nullptr, nullptr},
      {"the same method of another form stays", true, otherForm.Handler(),
       otherForm.Handler()},
      {"a plain function stays", true, TLogEvent::FromFunction(other, nullptr),
       TLogEvent::FromFunction(other, nullptr)},
      {"a logger that set none leaves the handler", false, otherForm.Handler(),
       otherForm.Handler()},
  };
  for (const auto& c : cases) {
    auto* form = new TTestForm;
    auto* logger = new TVEDovedo(form);
    if (c.LoggerSets) logger->SetOnLog(form->Handler());
    if (c.Later.Assigned()) VEDovedo->SetOnLog(c.Later);
    delete form;
    EXPECT_TRUE(VEDovedo->GetOnLog() == c.Remains) << c.Name;
    VEDovedo->SetOnLog(nullptr);
  }

  // The surviving handler keeps receiving.
  auto* form = new TTestForm;
  auto* logger = new TVEDovedo(form);
  logger->SetSynchronous(true);
  logger->SetTriggerEventInMainThread(false);
  logger->SetOnLog(form->Handler());
  VEDovedo->SetOnLog(otherForm.Handler());
  delete form;
  AvLog(AV_LOG_ERROR, "after the logger");
  EXPECT_EQ(otherForm.Lines(), std::vector<std::string>{"after the logger"});
  VEDovedo->SetOnLog(nullptr);
}

// Lines queued for the main thread when the form goes are not delivered to it.
TEST_F(FFLogTest, NoQueuedLineReachesAFreedForm) {
  auto* form = new TTestForm;
  auto* logger = new TVEDovedo(form);
  logger->SetSynchronous(false);
  logger->SetTriggerEventInMainThread(true);
  logger->SetOnLog(form->Handler());
  std::thread worker([] {
    for (int i = 0; i < 20; ++i) AvLog(AV_LOG_INFO, "for the main thread");
  });
  // The log thread has a line waiting for the main thread.
  EXPECT_TRUE(Platform::WaitForMainThreadWork(10000));
  delete form;
  worker.join();

  TTestForm survivor;
  VEDovedo->SetOnLog(survivor.Handler());
  AvLog(AV_LOG_INFO, "marker");
  EXPECT_TRUE(survivor.WaitForLine("marker"));
  VEDovedo->SetOnLog(nullptr);
  EXPECT_EQ(GCallsOnFreedForms.load(), 0);
}

// A line the log thread is handing to the form when the form goes: the destruction waits
// for that call, and no later line reaches the form.
TEST_F(FFLogTest, NoRunningCallReachesAFreedForm) {
  auto* form = new TTestForm;
  auto* logger = new TVEDovedo(form);
  logger->SetSynchronous(false);
  logger->SetTriggerEventInMainThread(false);
  logger->SetOnLog(form->Handler());
  GGate.Arm();
  AvLog(AV_LOG_INFO, "held in the handler");
  for (int i = 0; i < 5; ++i) AvLog(AV_LOG_INFO, "queued behind it");
  ASSERT_TRUE(GGate.WaitUntilBlocked());
  std::thread releaser([] {
    // Give the destruction time to get under way before the call goes on.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    GGate.Release();
  });
  delete form;
  releaser.join();

  TTestForm survivor;
  VEDovedo->SetOnLog(survivor.Handler());
  AvLog(AV_LOG_INFO, "marker");
  EXPECT_TRUE(survivor.WaitForLine("marker"));
  VEDovedo->SetOnLog(nullptr);
  EXPECT_EQ(GCallsOnFreedForms.load(), 0);
  for (const std::string& l : survivor.Lines()) EXPECT_NE(l, "held in the handler");
}

}  // namespace
