// The log worker, driven through the real av_log of the loaded libavutil and through
// its own Log methods.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "LoaderTestSupport.h"
#include "LogRecorder.h"
#include "platform/Dispatcher.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/MessageHook.h"
#include "platform/Object.h"
#include "platform/Time.h"
#include "runtime/FFLoad.h"
#include "MainThreadPump.h"
#include "TempFolder.h"

namespace {

using namespace FFLoad;

using LogRecorder::TRecord;
using TRecorder = LogRecorder::TLogRecorder;

TRecorder& Recorder() { return TRecorder::Get(); }

// FFmpeg-style log contexts: a record whose first field is its class.
struct TContext {
  const AVClass* Class;
  TContext* Parent;
};

const char* DecoderName(void*) { return "dec:h264"; }

AVClass MakeClass(const char* AName, const char* (*AItemName)(void*), int AParentOffset) {
  AVClass c{};
  c.class_name = AName;
  c.item_name = AItemName;
  c.version = LIBAVUTIL_VERSION_INT;
  c.parent_log_context_offset = AParentOffset;
  return c;
}

const AVClass CPlainClass = MakeClass("TestContext", nullptr, 0);
const AVClass CChildClass = MakeClass("ChildContext", nullptr, offsetof(TContext, Parent));
const AVClass COwnClass = MakeClass("LantorObject", DecoderName, 0);

void AvLog(void* AContext, int ALevel, const std::string& AText) {
  AVUtilStubs::av_log(AContext, ALevel, "%s", AText.c_str());
}
void AvLog(const std::string& AText) { AvLog(nullptr, AV_LOG_INFO, AText); }

class TTestObject : public Platform::TObject {};
class TTestComponent : public Platform::TComponent {};

// Loads the libraries, installs the callback again (other tests install their own) and
// sets the worker to deliver bare lines synchronously to the recorder; every setting is
// restored afterwards.
class LogWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(CDecoderLibraries)) << FFLoader->GetLastErrMsg();
    W = VEDovedo;
    W->InstallAVLogCallback();
    W->SetSynchronous(true);
    W->SetTriggerEventInMainThread(false);
    W->SetLogWithTime(false);
    W->SetLogWithThreadID(false);
    W->SetLogFlags(0);
    Recorder().Clear();
    W->SetOnLog(Recorder().Event());
  }
  void TearDown() override {
    // Lines a test left in the queue reach the handler before a marker sent after them.
    W->SetActive(true);
    W->SetOnLog(Recorder().Event());
    W->SetSynchronous(false);
    W->Log("-- drained --");
    EXPECT_TRUE(Recorder().WaitForLine("-- drained --"));
    FSaved.Restore();
    Recorder().Clear();
  }

  TFFLogWorker* W = nullptr;

 private:
  LoaderTestSupport::TLogWorkerSettings FSaved;
};

TEST(LogLevels, MapToFFmpegLevelsAndBack) {
  const struct {
    TLogLevel Level;
    int FFmpeg;
  } levels[] = {{llQuiet, -8}, {llPanic, 0},    {llFatal, 8},  {llError, 16}, {llWarning, 24},
                {llInfo, 32},  {llVerbose, 40}, {llDebug, 48}, {llTrace, 56}};
  for (const auto& l : levels) {
    EXPECT_EQ(LogLevelToInt(l.Level), l.FFmpeg);
    EXPECT_EQ(IntToLogLevel(l.FFmpeg), l.Level);
  }
  const struct {
    int FFmpeg;
    TLogLevel Level;
  } ranges[] = {{-100, llQuiet}, {-9, llQuiet}, {7, llPanic}, {39, llInfo}, {57, llTrace}, {1000, llTrace}};
  for (const auto& r : ranges) EXPECT_EQ(IntToLogLevel(r.FFmpeg), r.Level) << r.FFmpeg;
}

TEST(LogWorker, OnlyOneInstance) {
  try {
    TFFLogWorker second;
    FAIL() << "a second log worker was created";
  } catch (const Platform::EAssertionFailed& e) {
    EXPECT_EQ(e.Message().rfind("Allow creating only one instance of TFFLogWorker.", 0), 0u) << e.Message();
  }
  ASSERT_NE(VEDovedo, nullptr);
}

TEST_F(LogWorkerTest, FragmentsAssembleIntoLines) {
  const std::string longText(20000, 'x');
  const struct {
    const char* Name;
    std::vector<std::string> Fragments;
    std::vector<std::string> Lines;
  } cases[] = {
      {"split fragments join", {"abc", "def\n"}, {"abcdef"}},
      {"several lines in one message", {"one\ntwo\nthree", "\n"}, {"one\r\ntwo", "three"}},
      {"control bytes", {"a\x01" "b\x07" "c\x0e" "d\x1f" "e\tf\x08g\x0bh\x0ci\n"},
       {"a?b?c?d?e\tf\x08g\x0bh\x0ci"}},
      {"empty line", {"\n"}, {""}},
      {"long text grows across fragments", {std::string(3000, 'a'), std::string(3000, 'b') + "\n"},
       {std::string(3000, 'a') + std::string(3000, 'b')}},
      {"over-long text is cut and ends its line", {longText + "\n", "after\n"},
       {std::string(10239, 'x'), "after"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Recorder().Clear();
    for (const std::string& f : c.Fragments) AvLog(f);
    EXPECT_EQ(Recorder().Lines(), c.Lines);
  }
}

TEST_F(LogWorkerTest, JoinedLineKeepsTimeThreadPrefixAndLevelOfItsFirstFragment) {
  W->SetLogWithTime(true);
  W->SetLogWithThreadID(true);
  W->SetLogWithLevel(true);
  TContext first{&CPlainClass, nullptr};
  TContext second{&COwnClass, nullptr};
  AvLog(&first, AV_LOG_ERROR, "abc");
  const std::string afterFirst = Platform::FormatDateTime("hh:nn:ss.zzz", Platform::Now());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  AvLog(&second, AV_LOG_WARNING, "def\n");

  const std::vector<TRecord> records = Recorder().Records();
  ASSERT_EQ(records.size(), 1u);
  const std::string& line = records[0].Msg;
  ASSERT_GT(line.size(), 13u);
  EXPECT_LE(line.substr(0, 12), afterFirst) << line;
  const std::string rest =
      Platform::Format("[%.8x]* [TestContext @ %p] [Error] abcdef",
                       static_cast<unsigned>(Platform::GetCurrentThreadId()), static_cast<void*>(&first));
  EXPECT_EQ(line.substr(13), rest);
  EXPECT_EQ(records[0].Sender, W);
  EXPECT_EQ(records[0].Level, llError);
  EXPECT_EQ(records[0].ThreadID, static_cast<int>(Platform::GetCurrentThreadId()));

  // Another thread's line carries its id without the main-thread mark.
  Recorder().Clear();
  W->SetLogWithTime(false);
  unsigned tid = 0;
  std::thread([&] {
    tid = static_cast<unsigned>(Platform::GetCurrentThreadId());
    AvLog(nullptr, AV_LOG_INFO, "worker\n");
  }).join();
  EXPECT_EQ(Recorder().Lines(), std::vector<std::string>{Platform::Format("[%.8x] [Info] worker", tid)});
}

TEST_F(LogWorkerTest, ContextPrefixes) {
  TContext plain{&CPlainClass, nullptr};
  TContext own{&COwnClass, nullptr};
  TContext child{&CChildClass, &plain};
  TContext orphan{&CChildClass, nullptr};
  TTestObject object;
  TTestComponent component;
  component.SetName("Logger1");
  const struct {
    const char* Name;
    std::function<void()> Log;
    std::string Line;
  } cases[] = {
      {"FFmpeg context", [&] { AvLog(&plain, AV_LOG_INFO, "m\n"); },
       Platform::Format("[TestContext @ %p] m", static_cast<void*>(&plain))},
      {"own FFmpeg-class context", [&] { AvLog(&own, AV_LOG_INFO, "m\n"); }, "[dec:h264] m"},
      {"context with a parent", [&] { AvLog(&child, AV_LOG_INFO, "m\n"); },
       Platform::Format("[TestContext @ %p] [ChildContext @ %p] m", static_cast<void*>(&plain),
                        static_cast<void*>(&child))},
      {"context without its parent", [&] { AvLog(&orphan, AV_LOG_INFO, "m\n"); },
       Platform::Format("[ChildContext @ %p] m", static_cast<void*>(&orphan))},
      {"no context", [&] { AvLog(nullptr, AV_LOG_INFO, "m\n"); }, "m"},
      {"component", [&] { W->Log(&component, llInfo, "m"); }, "[TTestComponent.Logger1] m"},
      {"object, formatted", [&] { W->Log(&object, llWarning, "%s-%d%%", "m", 5); }, "[TTestObject] m-5%"},
      {"no sender", [&] { W->Log(nullptr, llError, "m"); }, "m"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Recorder().Clear();
    c.Log();
    EXPECT_EQ(Recorder().Lines(), std::vector<std::string>{c.Line});
  }
}

TEST_F(LogWorkerTest, LogMethodsSendersAndLevelFilter) {
  W->SetLogWithTime(true);
  W->SetLogWithThreadID(true);
  W->SetLogWithLevel(true);
  TTestObject object;
  W->Log(&object, llVerbose, "hidden at the default level");
  W->Log("bare text");
  W->Log(&object, llInfo, "shown");
  AvLog(nullptr, AV_LOG_VERBOSE, "hidden too\n");
  const std::vector<TRecord> records = Recorder().Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Msg, "bare text");
  EXPECT_EQ(records[0].Sender, nullptr);
  EXPECT_EQ(records[0].Level, llQuiet);
  EXPECT_NE(records[1].Msg.find("[TTestObject] [Info] shown"), std::string::npos) << records[1].Msg;
  EXPECT_EQ(records[1].Sender, &object);

  W->SetLogLevel(llDebug);
  EXPECT_EQ(AVUtilStubs::av_log_get_level(), AV_LOG_DEBUG);
  W->Log(&object, llVerbose, "now shown");
  EXPECT_EQ(Recorder().Records().size(), 3u);
  W->SetLogFlags(1);
  EXPECT_EQ(AVUtilStubs::av_log_get_flags(), 1);
}

TEST_F(LogWorkerTest, RepeatedLinesFold) {
  W->SetLogFlags(1);
  TContext a{&CPlainClass, nullptr};
  TContext b{&CPlainClass, nullptr};
  struct TStep {
    int Thread;  // 0: this thread, 1: another one
    TContext* Context;
    const char* Text;  // nullptr: FlushRepeats
  };
  const struct {
    const char* Name;
    std::vector<TStep> Steps;
    std::vector<std::string> Lines;
  } cases[] = {
      {"four times, then another line",
       {{0, nullptr, "L1"}, {0, nullptr, "L1"}, {0, nullptr, "L1"}, {0, nullptr, "L1"}, {0, nullptr, "M1"}},
       {"L1", "L1 (repeated 3 times)", "M1"}},
      {"twice, then another line", {{0, nullptr, "L2"}, {0, nullptr, "L2"}, {0, nullptr, "M2"}},
       {"L2", "L2", "M2"}},
      {"flushed after three", {{0, nullptr, "L3"}, {0, nullptr, "L3"}, {0, nullptr, "L3"}, {0, nullptr, nullptr}},
       {"L3", "L3 (repeated 2 times)"}},
      {"another thread", {{0, nullptr, "L4"}, {1, nullptr, "L4"}, {0, nullptr, "L4"}}, {"L4", "L4", "L4"}},
      {"another context", {{0, &a, "L5"}, {0, &b, "L5"}, {0, &a, "L5"}}, {"L5", "L5", "L5"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Recorder().Clear();
    for (const TStep& step : c.Steps) {
      if (!step.Text) {
        W->FlushRepeats();
      } else if (step.Thread == 1) {
        std::thread([&] { AvLog(step.Context, AV_LOG_INFO, std::string(step.Text) + "\n"); }).join();
      } else {
        AvLog(step.Context, AV_LOG_INFO, std::string(step.Text) + "\n");
      }
    }
    std::vector<std::string> lines = Recorder().Lines();
    for (std::string& l : lines) {  // drop the context prefixes
      const size_t end = l.rfind("] ");
      if (end != std::string::npos) l = l.substr(end + 2);
    }
    EXPECT_EQ(lines, c.Lines);
  }
  // Without the flag every line goes out.
  W->SetLogFlags(0);
  Recorder().Clear();
  for (int i = 0; i < 3; ++i) AvLog("L6\n");
  EXPECT_EQ(Recorder().Lines(), std::vector<std::string>(3, "L6"));
}

TEST_F(LogWorkerTest, NothingIsKeptWhileNobodyListens) {
  W->SetOnLog(nullptr);
  EXPECT_TRUE(W->Skipping());
  AvLog("abc");  // dropped, not kept as a fragment
  W->SetOnLog(Recorder().Event());
  EXPECT_FALSE(W->Skipping());
  AvLog("def\n");
  W->SetActive(false);
  EXPECT_TRUE(W->Skipping());
  W->Log("inactive");
  W->SetActive(true);
  EXPECT_EQ(Recorder().Lines(), std::vector<std::string>{"def"});
}

TEST_F(LogWorkerTest, AsynchronousRingDropsTheOldestLinesWhileTheHandlerBlocks) {
  W->SetSynchronous(false);
  Recorder().BlockNextCall();
  AvLog("ring 0\n");
  ASSERT_TRUE(Recorder().WaitUntilBlocked());
  // The log thread waits in the handler with line 0; the ring keeps the newest 1,023.
  for (int i = 1; i < 1100; ++i) AvLog(Platform::Format("ring %d\n", i));
  Recorder().Release();
  ASSERT_TRUE(Recorder().WaitForLine("ring 1099"));
  const std::vector<std::string> lines = Recorder().Lines();
  ASSERT_EQ(lines.size(), 1024u);
  EXPECT_EQ(lines[0], "ring 0");
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i], Platform::Format("ring %zu", i + 76));
  W->SetSynchronous(true);
}

TEST_F(LogWorkerTest, EventsOnTheMainThread) {
  W->SetTriggerEventInMainThread(true);
  // Asynchronous: the log thread hands the line to the main thread.
  W->SetSynchronous(false);
  std::thread([] { AvLog("async from a worker\n"); }).join();
  ASSERT_TRUE(Recorder().WaitForLine("async from a worker"));
  W->SetSynchronous(true);

  // Synchronous, from a worker: the worker waits for the main thread without holding the
  // log's locks, so the main thread may log meanwhile.
  std::atomic<bool> done{false};
  std::thread worker([&] {
    AvLog("sync from a worker\n");
    done = true;
  });
  bool queued = false;
  for (int i = 0; i < 1000 && !queued && !done; ++i) queued = Platform::WaitForMainThreadWork(10);
  AvLog("from the main thread\n");
  ASSERT_TRUE(MainThreadPump::PumpUntil([&] { return done.load(); }));
  worker.join();
  const std::vector<TRecord> records = Recorder().Records();
  ASSERT_EQ(records.size(), 3u);
  for (const TRecord& r : records) EXPECT_TRUE(r.OnMainThread) << r.Msg;
  EXPECT_EQ(records[1].Msg, "from the main thread");
  EXPECT_EQ(records[2].Msg, "sync from a worker");
}

std::string ReadFile(const std::string& APath) {
  std::string text;
  if (FILE* f = std::fopen(APath.c_str(), "rb")) {
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
  }
  return text;
}

TEST_F(LogWorkerTest, LogFileAppendsAndClears) {
  const std::string path = TempFolder::PathOf(Platform::Format("ostrevan_ffload_%d.log", static_cast<int>(::getpid())));
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fputs("old line\r\n", f);
    std::fclose(f);
  }
  W->SetOnLog(nullptr);
  W->SetLogFile(path);
  EXPECT_TRUE(W->Skipping()) << "a log file alone does not count while file logging is off";
  W->SetLogToFile(true);
  EXPECT_FALSE(W->Skipping());
  W->Log("bare line");
  AvLog("from FFmpeg\n");
  W->SetLogToFile(false);  // closes the file
  EXPECT_EQ(ReadFile(path), "old line\r\nbare line\r\nfrom FFmpeg\r\n");

  W->SetLogToFile(true);
  W->Log("before clearing");
  W->ClearLogFile();
  W->Log("after clearing");
  W->SetLogToFile(false);
  EXPECT_EQ(ReadFile(path), "after clearing\r\n");

  W->ClearLogFile();  // no file open: the file goes
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

// The log thread writes the file while the main thread renames and clears it: every
// use of the file goes through one lock, so nothing is written to a closed file.
TEST_F(LogWorkerTest, LogFileChangesWhileTheLogThreadWrites) {
  const std::string first = TempFolder::PathOf(Platform::Format("ostrevan_ffload_a_%d.log", static_cast<int>(::getpid())));
  const std::string second = TempFolder::PathOf(Platform::Format("ostrevan_ffload_b_%d.log", static_cast<int>(::getpid())));
  W->SetSynchronous(false);
  W->SetLogFile(first);
  W->SetLogToFile(true);
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    for (int i = 0; !stop; ++i) AvLog(Platform::Format("line %d\n", i));
  });
  // Keep changing the file until the log thread has handled a good number of lines.
  for (int i = 0; Recorder().Count() < 2000 && i < 10000000; ++i) {
    W->SetLogFile(i % 2 ? first : second);
    if (i % 3 == 0) W->ClearLogFile();
    if (i % 7 == 0) W->SetLogToFile(i % 14 != 0);
  }
  stop = true;
  producer.join();
  W->SetLogToFile(true);
  W->SetLogFile(first);
  W->Log("last line");  // queued behind every line before it
  ASSERT_TRUE(Recorder().WaitForLine("last line"));
  W->SetLogToFile(false);
  const std::string text = ReadFile(first);
  EXPECT_GE(text.size(), 11u);
  EXPECT_EQ(text.substr(text.size() - 11), "last line\r\n");
  ::unlink(first.c_str());
  ::unlink(second.c_str());
}

TEST_F(LogWorkerTest, UnwritableLogFileSwitchesFileLoggingOffAndTellsOnce) {
  struct TBox {
    std::string Text, Title;
  };
  static std::vector<TBox> boxes;
  boxes.clear();
  Platform::SetMessageBoxHandler(
      [](const std::string& AText, const std::string& ATitle) { boxes.push_back({AText, ATitle}); });
  W->SetLogFile("/nonexistent-ostrevan-folder/sub/x.log");
  W->SetLogToFile(true);
  W->Log("first");
  AvLog("second\n");
  Platform::SetMessageBoxHandler(nullptr);

  EXPECT_FALSE(W->GetLogToFile());
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Title, "Information");
  EXPECT_NE(boxes[0].Text.find("/nonexistent-ostrevan-folder/sub/x.log"), std::string::npos) << boxes[0].Text;
  // The lines still reach the handler.
  EXPECT_EQ(Recorder().Lines(), (std::vector<std::string>{"first", "second"}));
}

}  // namespace
