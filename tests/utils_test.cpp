// Process utilities: command-line splitting, main-thread hand-over, message windows,
// and the path, time, text and integer routines.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"
#include "Watchdog.h"
#include "platform/Application.h"
#include "platform/Dispatcher.h"
#include "platform/Sync.h"
#include "platform/Time.h"
#include "runtime/MyUtils.h"

namespace {

using Platform::TDateTime;

// ---- parse_cmdline ---------------------------------------------------------------------

struct TCapture {
  int Argc = -1;
  char** Argv = nullptr;
  static int Callback(void* AData, int argc, char** argv) {
    auto* self = static_cast<TCapture*>(AData);
    self->Argc = argc;
    self->Argv = argv;
    return 1000 + argc;
  }
};

TEST(ParseCmdline, SplitsByTheRulesOfTheCRunTime) {
  struct {
    const char* Name;
    std::string Line;
    std::vector<std::string> Args;
  } const cases[] = {
      {"quoted file name with a blank", R"(-i "C:\My Videos\in put.mp4" out.mp4)",
       {"-i", R"(C:\My Videos\in put.mp4)", "out.mp4"}},
      {"blanks and tabs separate", " a \t b\tc  ", {"a", "b", "c"}},
      {"backslash pair before a quote toggles quoting", R"(a\\"b c" d)", {R"(a\b c)", "d"}},
      {"four backslashes before a quote", R"(a\\\\"b c")", {R"(a\\b c)"}},
      {"three backslashes before a quote", R"(a\\\"b c)", {R"(a\"b)", "c"}},
      {"one backslash before a quote", R"(\"x\")", {R"("x")"}},
      {"backslashes without a quote are literal", R"(a\b\\c d\)", {R"(a\b\\c)", R"(d\)"}},
      {"doubled quote inside quotes gives one and ends the quoted part", R"("a""b c")",
       {R"(a"b)", "c"}},
      {"doubled quote outside quotes opens and closes", R"(a""b)", {"ab"}},
      {"empty quotes are an empty argument", R"(x "" y)", {"x", "", "y"}},
      {"unclosed quote runs to the end", R"("a b)", {"a b"}},
      {"two-byte character before a quote", "\xC3\xA9\"x y\"", {"\xC3\xA9x y"}},
      {"three-byte character before a quote", "\xE3\x81\x82\"b c\" d", {"\xE3\x81\x82" "b c", "d"}},
      {"multi-byte characters before blanks", "\xC3\xA9 \xE6\x97\xA5\t\xF0\x9D\x84\x9E z",
       {"\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9D\x84\x9E", "z"}},
      {"empty line", "", {}},
      {"only blanks", " \t  ", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TCapture capture;
    char** argv = nullptr;
    const int result = MyUtils::parse_cmdline(
        c.Line, argv, MyUtils::Tparse_cmdline_callback::FromFunction(&TCapture::Callback, &capture));
    ASSERT_NE(argv, nullptr);
    const int argc = static_cast<int>(c.Args.size());
    EXPECT_EQ(result, 1000 + argc);
    EXPECT_EQ(capture.Argc, argc);
    EXPECT_EQ(capture.Argv, argv);
    std::vector<std::string> got;
    for (int i = 0; i < capture.Argc && argv[i]; ++i) got.push_back(argv[i]);
    EXPECT_EQ(got, c.Args);
    EXPECT_EQ(argv[argc], nullptr);
    // One block: the pointers, then the texts one after the other.
    const char* text = reinterpret_cast<const char*>(argv + argc + 1);
    for (int i = 0; i < argc; ++i) {
      EXPECT_EQ(argv[i], text) << "argument " << i;
      text += c.Args[i].size() + 1;
    }
    MyUtils::free_cmdline(argv);
  }
}

TEST(ParseCmdline, WithoutCallbackReturnsTheCount) {
  char** argv = nullptr;
  EXPECT_EQ(MyUtils::parse_cmdline("-y -i in.wav out.mp3", argv, {}), 4);
  ASSERT_NE(argv, nullptr);
  EXPECT_STREQ(argv[3], "out.mp3");
  MyUtils::free_cmdline(argv);
  MyUtils::free_cmdline(nullptr);
}

// ---- Main thread hand-over ---------------------------------------------------------------

// Pumps the main thread's queue until ADone is set, then once more.
void PumpUntil(const std::atomic<bool>& ADone) {
  while (!ADone.load()) {
    Platform::WaitForMainThreadWork(20);
    MyUtils::MyProcessMessages();
  }
  MyUtils::MyProcessMessages();
}

struct TCounter {
  int Count = 0;  // touched only where the method runs
  int OnMain = 0;
  Platform::TThreadID Thread = 0;
  void Run() {
    ++Count;
    if (Platform::IsMainThread()) ++OnMain;
    Thread = Platform::GetCurrentThreadId();
  }
};

// ---- Handlers and the serving wait -------------------------------------------------------

// WaitServing on the main thread runs what other threads queue for it while it waits. It
// ends with True once its condition holds (an event's too), or with False, without
// looking at the condition again, once a handler run meanwhile freed the object waited
// for; on another thread it simply blocks until the condition holds. A wait that did not
// end would be stopped by the watchdog.
TEST(WaitServing, ServesTheQueueAndEndsWhenDoneOrWhenTheObjectIsFreed) {
  struct TRow {
    const char* Name;
    bool Event;   // the TEvent overload
    bool Free;    // the queued call frees the object instead of ending the wait
    bool Worker;  // the wait runs on a thread of its own
  };
  const TRow rows[] = {
      {"condition, done", false, false, false},
      {"condition, freed", false, true, false},
      {"event, done", true, false, false},
      {"event, freed", true, true, false},
      {"condition on another thread", false, false, true},
      {"event on another thread", true, false, true},
  };
  TestWatchdog::TWatchdog watchdog;
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    int object = 0;  // what the wait is about
    Platform::TEvent event(true, false);
    std::atomic<bool> done{false};
    std::atomic<int> served{0};
    std::atomic<int> looksAfterFree{0};
    std::atomic<bool> freed{false};
    auto finish = [&] {
      if (row.Free) {
        MyUtils::MarkFreed(&object);
        freed.store(true);
      } else if (row.Event) {
        event.SetEvent();
      } else {
        done.store(true);
      }
    };
    auto wait = [&] {
      if (row.Event) return MyUtils::WaitServing(event, &object);
      return MyUtils::WaitServing(
          [&](Platform::Cardinal AMilliseconds) {
            if (freed.load()) looksAfterFree.fetch_add(1);
            if (AMilliseconds == Platform::INFINITE)
              while (!done.load()) std::this_thread::yield();
            return done.load();
          },
          &object);
    };
    bool result = false;
    watchdog.Bounded(row.Name, 60, [&] {
      if (row.Worker) {
        std::thread waiter([&] { result = wait(); });
        finish();
        waiter.join();
        return;
      }
      std::thread worker([&] {
        Platform::SendToMainThread([&] {
          served.fetch_add(1);
          finish();
        });
      });
      result = wait();
      worker.join();
    });
    EXPECT_EQ(result, !row.Free);
    if (!row.Worker) {
      EXPECT_EQ(served.load(), 1) << "the queued call did not run in the wait";
    }
    EXPECT_EQ(looksAfterFree.load(), 0) << "the condition was looked at after the free";
  }
}

// The mark: InHandler and FindHandler see the handler frames of this thread, innermost
// first, and not the watching frames (no kind) nor the frames of other threads;
// MarkFreed reaches every frame of the object on this thread, the watching ones too.
TEST(HandlerMark, FramesAreSeenOnTheirThreadAndLearnOfAFree) {
  static const char kOuter[] = "outer handler";
  static const char kInner[] = "inner handler";
  int object = 0, other = 0;
  EXPECT_FALSE(MyUtils::InHandler(&object));
  {
    const MyUtils::THandlerScope outer(&object, kOuter);
    const MyUtils::THandlerScope watch(&object, nullptr);
    const MyUtils::THandlerScope inner(&object, kInner, &other);
    const MyUtils::THandlerScope unrelated(&other, kOuter);
    EXPECT_TRUE(MyUtils::InHandler(&object));
    EXPECT_TRUE(MyUtils::InHandler(&object, kOuter));
    EXPECT_FALSE(MyUtils::InHandler(&other, kInner));
    const MyUtils::THandlerFrame* found = MyUtils::FindHandler(
        [&](const MyUtils::THandlerFrame& AFrame) { return AFrame.Object == &object; });
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->Kind, kInner);
    EXPECT_EQ(found->About, &other);
    EXPECT_EQ(
        MyUtils::FindHandler([](const MyUtils::THandlerFrame& AFrame) { return !AFrame.Kind; }),
        nullptr);
    bool elsewhere = true;
    std::thread([&] { elsewhere = MyUtils::InHandler(&object); }).join();
    EXPECT_FALSE(elsewhere);
    MyUtils::MarkFreed(&object);
    EXPECT_TRUE(outer.Freed());
    EXPECT_TRUE(watch.Freed());
    EXPECT_TRUE(inner.Freed());
    EXPECT_FALSE(unrelated.Freed());
  }
  EXPECT_FALSE(MyUtils::InHandler(&object));
}

TEST(MySynchronize, WorkerCallsRunOnThePumpingMainThread) {
  ASSERT_TRUE(Platform::IsMainThread());
  TCounter counter;
  const auto method = Platform::TThreadMethod::Bind<&TCounter::Run>(&counter);
  constexpr int Workers = 4, Calls = 50;
  std::atomic<int> running{Workers};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < Workers; ++w)
    threads.emplace_back([&] {
      for (int i = 0; i < Calls; ++i) MyUtils::MySynchronize(method);
      if (--running == 0) done = true;
    });
  PumpUntil(done);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(counter.Count, Workers * Calls);
  EXPECT_EQ(counter.OnMain, Workers * Calls);
}

TEST(MySynchronize, RunsAtOnceOnTheMainThreadAndWhenDisabled) {
  TCounter counter;
  const auto method = Platform::TThreadMethod::Bind<&TCounter::Run>(&counter);
  MyUtils::MySynchronize(method);  // nobody pumps: it must run directly
  EXPECT_EQ(counter.Count, 1);
  EXPECT_EQ(counter.Thread, Platform::GetCurrentThreadId());

  ASSERT_TRUE(MyUtils::GEnabledSynchronize.load());
  MyUtils::GEnabledSynchronize = false;
  Platform::TThreadID workerId = 0;
  std::thread worker([&] {
    workerId = Platform::GetCurrentThreadId();
    MyUtils::MySynchronize(method);  // the main thread is blocked in join
  });
  worker.join();
  MyUtils::GEnabledSynchronize = true;
  EXPECT_EQ(counter.Count, 2);
  EXPECT_EQ(counter.OnMain, 1);
  EXPECT_EQ(counter.Thread, workerId);
}

TEST(MyProcessMessages, RunsQueuedWorkOnlyOnTheMainThread) {
  while (MyUtils::MyProcessMessages()) {
  }
  EXPECT_FALSE(MyUtils::MyProcessMessages());
  int ran = 0;
  Platform::PostToMainThread([&] { ++ran; });
  bool workerResult = true;
  std::thread worker([&] { workerResult = MyUtils::MyProcessMessages(); });
  worker.join();
  EXPECT_FALSE(workerResult);
  EXPECT_EQ(ran, 0);
  EXPECT_TRUE(MyUtils::MyProcessMessages());
  EXPECT_EQ(ran, 1);
  EXPECT_FALSE(MyUtils::MyProcessMessages());
}

struct TReceiver {
  std::vector<std::pair<Platform::Cardinal, Platform::WPARAM>> Messages;
  int OffMain = 0;
  void WndProc(Platform::TMessage& AMessage) {
    if (!Platform::IsMainThread()) ++OffMain;
    Messages.emplace_back(AMessage.Msg, AMessage.WParam);
    if (AMessage.Msg == 0x402) AMessage.Result = static_cast<Platform::LRESULT>(AMessage.WParam) * 10 + 7;
  }
};

TEST(AllocMsgHWnd, PostedAndSentMessagesArriveOnTheMainThread) {
  TReceiver receiver;
  Platform::HWND wnd =
      MyUtils::AllocMsgHWnd(Platform::TWndMethod::Bind<&TReceiver::WndProc>(&receiver));
  ASSERT_NE(wnd, nullptr);
  EXPECT_EQ(Platform::GetWindowClassName(wnd), "QorvaneMsgWindow");

  constexpr int Rounds = 20;
  std::vector<Platform::LRESULT> results;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < Rounds; ++i) {
      EXPECT_TRUE(Platform::PostMessage(wnd, 0x401, i, 0));
      results.push_back(Platform::SendMessage(wnd, 0x402, i, 0));
    }
    done = true;
  });
  PumpUntil(done);
  worker.join();

  EXPECT_EQ(receiver.OffMain, 0);
  ASSERT_EQ(receiver.Messages.size(), 2u * Rounds);
  for (int i = 0; i < Rounds; ++i) {
    EXPECT_EQ(receiver.Messages[2 * i], std::make_pair(Platform::Cardinal{0x401}, Platform::WPARAM(i)));
    EXPECT_EQ(receiver.Messages[2 * i + 1], std::make_pair(Platform::Cardinal{0x402}, Platform::WPARAM(i)));
    EXPECT_EQ(results[i], i * 10 + 7);
  }
  Platform::DestroyWindow(wnd);
  EXPECT_FALSE(Platform::IsWindow(wnd));
}

TEST(AllocMsgHWnd, WithoutMethodTheDefaultProcedureAnswersZero) {
  Platform::HWND wnd = MyUtils::AllocMsgHWnd();
  ASSERT_NE(wnd, nullptr);
  EXPECT_EQ(Platform::GetWindowClassName(wnd), "QorvaneMsgWindow");
  EXPECT_EQ(Platform::SendMessage(wnd, 0x402, 5, 0), 0);
  Platform::DestroyWindow(wnd);
}

// A destroyed handle is recognised as dead without being read through: destroying it
// again, posting, sending and asking about it do nothing (the sanitizer builds check
// that no freed memory is touched).
TEST(AllocMsgHWnd, ADestroyedHandleIsNeverReadThrough) {
  Platform::HWND wnd = MyUtils::AllocMsgHWnd();
  ASSERT_NE(wnd, nullptr);
  Platform::HWND other = MyUtils::AllocMsgHWnd();
  Platform::DestroyWindow(wnd);
  Platform::DestroyWindow(wnd);
  EXPECT_FALSE(Platform::IsWindow(wnd));
  EXPECT_FALSE(Platform::PostMessage(wnd, 0x401, 1, 0));
  EXPECT_EQ(Platform::SendMessage(wnd, 0x402, 1, 0), 0);
  EXPECT_EQ(Platform::GetWindowClassName(wnd), "");
  Platform::SetWindowProc(wnd, Platform::TWndMethod());
  EXPECT_TRUE(Platform::IsWindow(other));  // the others live on
  Platform::DestroyWindow(other);
}

TEST(GAppTerminated, IsSetByTheTerminateProcedures) {
  EXPECT_FALSE(MyUtils::GAppTerminated.load());
  // In a child process, so the rest of this process is not told to quit.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const bool allowed = Platform::CallTerminateProcs();
        std::_Exit(allowed && MyUtils::GAppTerminated.load() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// ---- Files and paths -----------------------------------------------------------------------

TEST(ExeName, NamesTheRunningProgram) {
  const std::string name = MyUtils::ExeName();
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(name[0], '/');
  EXPECT_EQ(MyUtils::ExeFile(), "ostrevan_tests");
  EXPECT_EQ(MyUtils::ExePath().back(), '/');
  EXPECT_EQ(MyUtils::ExePath() + MyUtils::ExeFile(), name);
}

TEST(GetFileSize, SizeOfAFileAndMinusOneOtherwise) {
  std::string name = TempFolder::PathOf("ostrevan_size_XXXXXX");
  const int fd = ::mkstemp(name.data());
  const char* path = name.c_str();
  ASSERT_GE(fd, 0);
  const std::string data(1234, 'x');
  ASSERT_EQ(::write(fd, data.data(), data.size()), 1234);
  ::close(fd);
  EXPECT_EQ(MyUtils::GetFileSize(path), 1234);
  ::unlink(path);
  EXPECT_EQ(MyUtils::GetFileSize(path), -1);
  EXPECT_EQ(MyUtils::GetFileSize(TempFolder::PathOf("")), -1);  // a folder
  EXPECT_EQ(MyUtils::GetFileSize(""), -1);
}

TEST(FileSizeToStr, PicksTheUnitByTheBoundaries) {
  struct {
    std::int64_t Size;
    const char* Text;
  } const cases[] = {
      {0, "0 Byte"},
      {1024, "1024 Byte"},
      {1025, "1.00 KB"},
      {1536, "1.50 KB"},
      {1048576, "1024.00 KB"},
      {1048577, "1.00 MB"},
      {1073741824, "1024.00 MB"},
      {1073741825, "1.00 GB"},
      {5LL * 1073741824 + 536870912, "5.50 GB"},
  };
  for (const auto& c : cases) EXPECT_EQ(MyUtils::FileSizeToStr(c.Size), c.Text) << c.Size;
}

TEST(Fetch, TakesThePartBeforeTheDelimiter) {
  struct {
    const char* Text;
    const char* Delimiter;
    bool Delete;
    const char* Result;
    const char* Rest;
  } const cases[] = {
      {"key=value", "=", true, "key", "value"},
      {"key=value", "=", false, "key", "key=value"},
      {"a::b::c", "::", true, "a", "b::c"},
      {"=value", "=", true, "", "value"},
      {"none", "=", true, "none", ""},
      {"none", "=", false, "none", "none"},
      {"text", "", true, "text", ""},
      {"", "=", true, "", ""},
  };
  for (const auto& c : cases) {
    std::string text = c.Text;
    EXPECT_EQ(MyUtils::Fetch(text, c.Delimiter, c.Delete), c.Result) << c.Text;
    EXPECT_EQ(text, c.Rest) << c.Text;
  }
}

// ---- Time ----------------------------------------------------------------------------------

TEST(GetTimeZoneAbbreviation, SignFollowsTheDirectionFromUTC) {
  struct {
    int Bias;
    const char* Text;
  } const cases[] = {
      {0, "UTC"}, {-480, "UTC+08:00"}, {300, "UTC-05:00"}, {-330, "UTC+05:30"},
      {-765, "UTC+12:45"}, {570, "UTC-09:30"},
  };
  for (const auto& c : cases) EXPECT_EQ(MyUtils::GetTimeZoneAbbreviation(c.Bias), c.Text) << c.Bias;
}

// Sets TZ for the lifetime of the object.
class TZone {
 public:
  explicit TZone(const char* AZone) {
    const char* old = std::getenv("TZ");
    FHad = old != nullptr;
    if (old) FOld = old;
    ::setenv("TZ", AZone, 1);
    ::tzset();
  }
  ~TZone() {
    if (FHad)
      ::setenv("TZ", FOld.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  bool FHad;
  std::string FOld;
};

TEST(GetTimeZoneAbbreviation, TakesTheLocalZoneFromTheCLibrary) {
  struct {
    const char* Zone;  // POSIX form: the offset is west-positive
    int Bias;
    const char* Text;
  } const cases[] = {
      {"UTC0", 0, "UTC"},
      {"XST-8", -480, "UTC+08:00"},
      {"YST5", 300, "UTC-05:00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Zone);
    TZone zone(c.Zone);
    EXPECT_EQ(Platform::GetTimeZoneBias(), c.Bias);
    EXPECT_EQ(MyUtils::GetTimeZoneAbbreviation(), c.Text);
    EXPECT_DOUBLE_EQ(MyUtils::DateTimeOffset(), -c.Bias / 1440.0);
    // Local date-times of the epoch lie the zone's offset after UTC midnight.
    EXPECT_DOUBLE_EQ(MyUtils::UnixToDateTimeEx(0), 25569.0 - c.Bias / 1440.0);
    EXPECT_EQ(MyUtils::DateTimeToUnixEx(MyUtils::UnixToDateTimeEx(1700000000)), 1700000000);
  }
}

TEST(DateTimeToUnix, ConvertsBothWays) {
  struct {
    int Y, M, D, H, N, S;
    std::int64_t Unix;
  } const cases[] = {
      {1970, 1, 1, 0, 0, 0, 0},
      {1969, 12, 31, 0, 0, 0, -86400},
      {2000, 1, 1, 12, 0, 0, 946728000},
      {2024, 2, 29, 23, 59, 59, 1709251199},
      {2038, 1, 19, 3, 14, 8, 2147483648LL},
  };
  for (const auto& c : cases) {
    const TDateTime t = Platform::EncodeDate(c.Y, c.M, c.D) + Platform::EncodeTime(c.H, c.N, c.S, 0);
    EXPECT_EQ(MyUtils::DateTimeToUnix(t), c.Unix) << c.Y << "-" << c.M << "-" << c.D;
    EXPECT_NEAR(MyUtils::UnixToDateTime(c.Unix), t, 1e-9) << c.Unix;
  }
}

TEST(DateTime, EncodesDecodesAndFormats) {
  const TDateTime t = Platform::EncodeDate(2024, 2, 29) + Platform::EncodeTime(13, 5, 9, 7);
  struct {
    const char* Format;
    const char* Text;
  } const cases[] = {
      {"yyyy-mm-dd hh:nn:ss.zzz", "2024-02-29 13:05:09.007"},
      {"hh:nn:ss.zzz ", "13:05:09.007 "},
      {"d/m/yy h:n:s.z", "29/2/24 13:5:9.7"},
      {"hh:mm", "13:05"},  // minutes right after the hour
      {"'at' hh \"o'clock\"", "at 13 o'clock"},
      {"YYYY-MM-DD", "2024-02-29"},
  };
  for (const auto& c : cases) EXPECT_EQ(MyUtils::LogDateTime(t, c.Format), c.Text) << c.Format;

  struct {
    int Y, M, D;
    double Value;
  } const dates[] = {
      {1899, 12, 30, 0}, {1900, 1, 1, 2},     {1970, 1, 1, 25569}, {2000, 2, 29, 36585},
      {1600, 3, 1, -109511}, {9999, 12, 31, 2958465}, {1, 1, 1, -693593},
  };
  for (const auto& d : dates) {
    EXPECT_DOUBLE_EQ(Platform::EncodeDate(d.Y, d.M, d.D), d.Value) << d.Y;
    int y, m, day;
    // 18:00 of that day (before day 0 the time is subtracted).
    Platform::DecodeDate(d.Value < 0 ? d.Value - 0.75 : d.Value + 0.75, y, m, day);
    EXPECT_EQ(y * 10000 + m * 100 + day, d.Y * 10000 + d.M * 100 + d.D) << d.Value;
  }
  // Before day 0 the fraction still counts forward from midnight.
  EXPECT_EQ(Platform::FormatDateTime("yyyy-mm-dd hh:nn", -1.25), "1899-12-29 06:00");
  // A time that rounds up to midnight belongs to the next day.
  EXPECT_EQ(Platform::FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", 1.0 - 1e-10), "1899-12-31 00:00:00.000");
  EXPECT_THROW(Platform::EncodeDate(2023, 2, 29), Platform::Exception);
  EXPECT_THROW(Platform::EncodeTime(24, 0, 0, 0), Platform::Exception);
}

TEST(DateTime, NowIsTheLocalTime) {
  TZone zone("XST-8");
  const std::int64_t before = ::time(nullptr);
  const std::int64_t now = MyUtils::DateTimeToUnixEx(Platform::Now());
  const std::int64_t after = ::time(nullptr);
  EXPECT_GE(now, before);
  EXPECT_LE(now, after + 1);
}

TEST(CountTimeTickEx, GivesNonNegativeMicroseconds) {
  for (int i = 0; i < 3; ++i) {
    const std::string ticks = MyUtils::CountTimeTickEx();
    ASSERT_FALSE(ticks.empty());
    EXPECT_EQ(ticks.find_first_not_of("0123456789"), std::string::npos) << ticks;
  }
  EXPECT_EQ(Platform::QueryPerformanceFrequency(), 1000000000);
  const std::int64_t first = Platform::QueryPerformanceCounter();
  const std::int64_t second = Platform::QueryPerformanceCounter();
  EXPECT_LE(first, second);
}

TEST(GetCompiler, NamesTheLanguageCompilerAndPlatform) {
  const std::string text = MyUtils::GetCompiler();
#if defined(__clang__)
  const std::string compiler = "Clang " + std::to_string(__clang_major__) + "." +
                               std::to_string(__clang_minor__) + "." +
                               std::to_string(__clang_patchlevel__);
#else
  const std::string compiler = "GCC " + std::to_string(__GNUC__) + "." +
                               std::to_string(__GNUC_MINOR__) + "." +
                               std::to_string(__GNUC_PATCHLEVEL__);
#endif
  // the build is C++20 (CMakeLists.txt)
  EXPECT_EQ(text, compiler + " (C++20, Linux x86-64)");
}

// ---- C strings and integers ------------------------------------------------------------------

TEST(MyStrtoll, ReadsTheNumberAndPassesOverLettersAndDigits) {
  struct {
    const char* Text;
    int Base;
    std::int64_t Value;
    int End;  // offset of the end pointer
  } const cases[] = {
      {"12", 0, 12, 2},
      {"0x1F", 16, 31, 4},
      {"0X1f", 0, 31, 4},
      {"1F", 16, 31, 2},
      {" \t\n-42", 10, -42, 6},
      {"+7 rest", 10, 7, 2},
      {"010", 0, 10, 3},
      {"777", 8, 511, 3},
      {"101", 2, 5, 3},
      {"12abc,x", 10, 12, 5},  // passes over the letters; value of the digits
      {"9223372036854775807", 10, INT64_MAX, 19},
      {"-9223372036854775808", 10, INT64_MIN, 20},
      {"99999999999999999999", 10, INT64_MAX, 20},
      {"-99999999999999999999", 10, INT64_MIN, 21},
      {"", 0, 0, 0},
      {"-", 10, 0, 1},
      {":5", 10, 0, 0},
  };
  for (const auto& c : cases) {
    char* end = nullptr;
    EXPECT_EQ(MyUtils::my_strtoll(c.Text, &end, c.Base), c.Value) << c.Text;
    EXPECT_EQ(end - c.Text, c.End) << c.Text;
  }
  EXPECT_EQ(MyUtils::my_strtoll("33", nullptr, 0), 33);
}

TEST(IntegerRoutines, Tables) {
  struct {
    int Value;
    int Shift;
    int Result;
  } const sar[] = {
      {16, 2, 4},  {-1, 1, 0},   {-3, 1, -1},         {-16, 2, -4},     {7, 0, 7},
      {8, 33, 4},  {-8, 35, -1}, {INT_MIN, 31, -1},   {INT_MAX, 31, 0}, {-5, 32, -5},
  };
  for (const auto& c : sar)
    EXPECT_EQ(MyUtils::MySAR(c.Value, static_cast<std::uint8_t>(c.Shift)), c.Result)
        << c.Value << " >> " << c.Shift;

  struct {
    Platform::Cardinal Value;
    int Zeros, Ones;
  } const bits[] = {
      {0, 32, 0}, {1, 0, 1}, {8, 3, 1}, {0x80000000u, 31, 1}, {0xFFFFFFFFu, 0, 32}, {0xF0F0u, 4, 8},
  };
  for (const auto& c : bits) {
    EXPECT_EQ(MyUtils::stdc_trailing_zeros(c.Value), c.Zeros) << c.Value;
    EXPECT_EQ(MyUtils::stdc_count_ones(c.Value), c.Ones) << c.Value;
  }

  struct {
    int A, B, C, Median;
  } const mids[] = {
      {3, 1, 2, 2}, {1, 2, 3, 2}, {3, 2, 1, 2}, {2, 3, 1, 2}, {5, 5, 1, 5}, {-4, 9, 0, 0},
  };
  for (const auto& c : mids) {
    EXPECT_EQ(MyUtils::mid_pred(c.A, c.B, c.C), c.Median);
    EXPECT_EQ(MyUtils::mid_pred(std::int64_t{c.A} << 40, std::int64_t{c.B} << 40, std::int64_t{c.C} << 40),
              std::int64_t{c.Median} << 40);
  }
}

TEST(TextRoutines, SpanLengthPrintableAndChoice) {
  EXPECT_EQ(MyUtils::MyStrSpn("0123abc", "0123456789"), 4);
  EXPECT_EQ(MyUtils::MyStrSpn("abc", "x"), 0);
  EXPECT_EQ(MyUtils::MyStrSpn("aaa", "a"), 3);
  EXPECT_EQ(MyUtils::MyStrSpn("abc", ""), 0);
  EXPECT_EQ(MyUtils::MyStrLen("\xC3\xA9t\xC3\xA9"), 5);
  EXPECT_EQ(MyUtils::MyStrLen(""), 0);
  EXPECT_FALSE(MyUtils::isprint(31));
  EXPECT_TRUE(MyUtils::isprint(32));
  EXPECT_TRUE(MyUtils::isprint(126));
  EXPECT_FALSE(MyUtils::isprint(127));
  EXPECT_FALSE(MyUtils::isprint(0xE9));
  EXPECT_STREQ(MyUtils::IIF(true, "yes", "no"), "yes");
  EXPECT_STREQ(MyUtils::IIF(false, "yes", "no"), "no");
  EXPECT_EQ(MyUtils::IIF(false, 1, 2), 2);
  EXPECT_EQ(MyUtils::IIF(true, std::int64_t{1} << 40, std::int64_t{0}), std::int64_t{1} << 40);
}

}  // namespace
