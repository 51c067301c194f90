// The log-level option, the report file and the early scan of a command line for them,
// and the per-thread delivery of host texts logged from worker threads.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "LogRecorder.h"
#include "TempFolder.h"
#include "TestLibraries.h"
#include "platform/Types.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/OptCommon.h"

namespace {

using namespace CmdUtils;
using FFLoad::VEDovedo;
using AVUtilStubs::av_log;
using AVUtilStubs::av_log_get_flags;
using AVUtilStubs::av_log_get_level;

namespace fs = std::filesystem;

// Saves the worker's settings and the FFmpeg log flags and level, restores them at the end.
class TWorkerSettings {
 public:
  TWorkerSettings()
      : FFlags(VEDovedo->GetLogFlags()),
        FLevel(VEDovedo->GetLogLevel()),
        FSynchronous(VEDovedo->GetSynchronous()),
        FMainThread(VEDovedo->GetTriggerEventInMainThread()),
        FOnLog(VEDovedo->GetOnLog()) {}
  ~TWorkerSettings() {
    VEDovedo->SetOnLog(FOnLog);
    VEDovedo->SetTriggerEventInMainThread(FMainThread);
    VEDovedo->SetSynchronous(FSynchronous);
    VEDovedo->SetLogFlags(FFlags);
    VEDovedo->SetLogLevel(FLevel);
  }

 private:
  int FFlags;
  FFLoad::TLogLevel FLevel;
  bool FSynchronous, FMainThread;
  FFLoad::TLogEvent FOnLog;
};

TDefaultOptions NewContext() {
  TDefaultOptions ctx{};
  ctx.av_class = get_options_context_class();
  return ctx;
}

// ---- opt_loglevel ---------------------------------------------------------------------

class OptLogLevel : public ::testing::Test {
 protected:
  TLogCapture log;
  TWorkerSettings saved;
  TDefaultOptions ctx = NewContext();
};

TEST_F(OptLogLevel, FlagWordsAndLevels) {
  struct {
    const char* Arg;
    int Flags;
    int Level;
  } const cases[] = {
      {"repeat+level+warning", AV_LOG_PRINT_LEVEL, AV_LOG_WARNING},
      {"+time", AV_LOG_SKIP_REPEATED | AV_LOG_PRINT_TIME, AV_LOG_INFO},
      {"20", AV_LOG_SKIP_REPEATED, AV_LOG_ERROR},  // ends on a named level
      {"debug", AV_LOG_SKIP_REPEATED, AV_LOG_DEBUG},
      {"-repeat", AV_LOG_SKIP_REPEATED, AV_LOG_INFO},
      {"+repeat", 0, AV_LOG_INFO},
      {"level+datetime", AV_LOG_PRINT_LEVEL | AV_LOG_PRINT_DATETIME, AV_LOG_INFO},
      {"level+30", AV_LOG_PRINT_LEVEL, AV_LOG_WARNING},
      {"+level+trace", AV_LOG_SKIP_REPEATED | AV_LOG_PRINT_LEVEL, AV_LOG_TRACE},
      {"-time+verbose", AV_LOG_SKIP_REPEATED, AV_LOG_VERBOSE},
      {"quiet", AV_LOG_SKIP_REPEATED, AV_LOG_QUIET},
      {"99", AV_LOG_SKIP_REPEATED, AV_LOG_TRACE},
      {"-50", AV_LOG_SKIP_REPEATED, AV_LOG_QUIET},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Arg);
    VEDovedo->SetLogFlags(AV_LOG_SKIP_REPEATED);
    VEDovedo->SetLogLevel(FFLoad::llInfo);
    ASSERT_EQ(av_log_get_flags(), AV_LOG_SKIP_REPEATED);
    ASSERT_EQ(av_log_get_level(), AV_LOG_INFO);
    EXPECT_EQ(OptCommon::opt_loglevel(&ctx, "loglevel", c.Arg), 0);
    EXPECT_EQ(av_log_get_flags(), c.Flags);
    EXPECT_EQ(av_log_get_level(), c.Level);
    EXPECT_EQ(VEDovedo->GetLogFlags(), c.Flags);
    EXPECT_EQ(FFLoad::LogLevelToInt(VEDovedo->GetLogLevel()), c.Level);
  }
}

TEST_F(OptLogLevel, InvalidLevelChangesNothing) {
  const std::string full =
      "Invalid loglevel \"loud\". Possible levels are numbers or:\n\"quiet\"\n\"panic\"\n"
      "\"fatal\"\n\"error\"\n\"warning\"\n\"info\"\n\"verbose\"\n\"debug\"\n\"trace\"\n"
      "Possible flags are:\n\\\"repeat\\\"\n\\\"level\\\"\n\\\"time\\\"\n\\\"datetime\\\"\n";
  struct {
    const char* Arg;
    std::string Message;
  } const cases[] = {
      {"loud", full},
      {"3x", "Invalid loglevel \"3x\". Possible levels are numbers or:\n"},
      {"level+100%s", "Invalid loglevel \"100%s\". Possible levels are numbers or:\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Arg);
    TLogCapture::Clear();
    VEDovedo->SetLogFlags(AV_LOG_SKIP_REPEATED);
    VEDovedo->SetLogLevel(FFLoad::llInfo);
    EXPECT_EQ(OptCommon::opt_loglevel(&ctx, "v", c.Arg), AVERROR(EINVAL));
    EXPECT_EQ(av_log_get_flags(), AV_LOG_SKIP_REPEATED);
    EXPECT_EQ(av_log_get_level(), AV_LOG_INFO);
    const auto lines = TLogCapture::Snapshot();
    ASSERT_EQ(lines.size(), 1u);  // one message
    EXPECT_EQ(lines[0].Level, AV_LOG_FATAL);
    EXPECT_EQ(lines[0].Ctx, &ctx);
    EXPECT_EQ(lines[0].Text.rfind(c.Message, 0), 0u) << lines[0].Text;
  }
  EXPECT_THROW(OptCommon::opt_loglevel(&ctx, "v", nullptr), Platform::EAssertionFailed);
}

// ---- the log worker as receiver -------------------------------------------------------

using LogRecorder::TRecord;
using TRecorder = LogRecorder::TLogRecorder;

class WorkerLog : public ::testing::Test {
 protected:
  void SetUp() override {
    TestLibraries::RequireFFmpegLibraries();
    TRecorder::Get().Clear();
    VEDovedo->SetTriggerEventInMainThread(false);
    VEDovedo->SetLogLevel(FFLoad::llInfo);
    VEDovedo->SetOnLog(TRecorder::Get().Event());
    VEDovedo->InstallAVLogCallback();
  }
  void TearDown() override {
    OptCommon::reset_report();
    AVUtilStubs::av_log_set_callback(AVUtilStubs::av_log_default_callback);
  }

  TWorkerSettings saved;
  TDefaultOptions ctx = NewContext();
};

// Worker threads log through ff_log_async while the host wants synchronous delivery:
// their lines go to the log thread, every other thread's lines stay synchronous, and
// the host's switch is never changed.
TEST_F(WorkerLog, AsyncLoggingLeavesOtherThreadsSynchronous) {
  VEDovedo->SetSynchronous(true);
  constexpr int CLines = 300;
  std::atomic<Platform::TThreadID> async_thread{0};
  std::thread worker([&] {
    async_thread = Platform::GetCurrentThreadId();
    for (int i = 0; i < CLines; i++) ff_log_async(nullptr, AV_LOG_INFO, "worker line %d\n", i);
  });
  const Platform::TThreadID self = Platform::GetCurrentThreadId();
  int late = 0;
  for (int i = 0; i < CLines; i++) {
    const std::string text = "host line " + std::to_string(i);
    ff_log(nullptr, AV_LOG_INFO, text + "\n");
    TRecord r;
    if (!TRecorder::Get().FindEnding(text, &r) || r.DeliveredOn != self) late++;
    EXPECT_TRUE(VEDovedo->GetSynchronous());
  }
  worker.join();
  EXPECT_EQ(late, 0);
  ASSERT_TRUE(TRecorder::Get().WaitForEnding("worker line " + std::to_string(CLines - 1)));
  for (const TRecord& r : TRecorder::Get().Records()) {
    if (r.Msg.find("worker line") != std::string::npos) {
      EXPECT_NE(r.DeliveredOn, async_thread.load()) << r.Msg;  // the log thread delivered it
      EXPECT_TRUE(r.SynchronousAtDelivery);
    }
  }
  EXPECT_TRUE(VEDovedo->GetSynchronous());
}

TEST_F(WorkerLog, BannerIsDeliveredAtOnceWithoutTouchingTheSwitch) {
  VEDovedo->SetSynchronous(false);
  OptCommon::show_banner();
  // delivered before show_banner returned, on this (the main) thread
  bool found = false;
  for (const TRecord& rec : TRecorder::Get().Records())
    if (rec.Msg.find(FFLoad::CBannerTitle) != std::string::npos) {
      found = true;
      EXPECT_EQ(rec.DeliveredOn, Platform::GetCurrentThreadId());
      EXPECT_FALSE(rec.SynchronousAtDelivery);
    }
  EXPECT_TRUE(found);
  EXPECT_FALSE(VEDovedo->GetSynchronous());
}

// ---- the report ------------------------------------------------------------------------

class TTempDir {
 public:
  TTempDir() {
    FPath = TempFolder::MakeDir("optcommon");
  }
  ~TTempDir() { fs::remove_all(FPath); }
  const fs::path& Path() const { return FPath; }

 private:
  fs::path FPath;
};

std::string ReadFile(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(WorkerLog, ReportWritesItsLevelAndPassesEveryLineOn) {
  VEDovedo->SetSynchronous(true);
  VEDovedo->SetLogLevel(FFLoad::llVerbose);
  TTempDir dir;
  const fs::path path = dir.Path() / "a.log";
  const std::string env = "file=" + path.string() + ":level=32";
  FILE* f = nullptr;
  ASSERT_EQ(OptCommon::init_report(&ctx, env.c_str(), &f), 0);
  ASSERT_NE(f, nullptr);
  FILE* again = nullptr;
  EXPECT_EQ(OptCommon::init_report(&ctx, nullptr, &again), 0);  // already open
  EXPECT_EQ(again, f);

  av_log(&ctx, AV_LOG_INFO, "report info line\n");
  av_log(nullptr, AV_LOG_VERBOSE, "report verbose line\n");
  // the log worker still receives FFmpeg's lines, also those above the report's level
  EXPECT_TRUE(TRecorder::Get().FindEnding("report info line"));
  EXPECT_TRUE(TRecorder::Get().FindEnding("report verbose line"));

  OptCommon::reset_report();
  av_log(nullptr, AV_LOG_INFO, "after the report\n");
  EXPECT_TRUE(TRecorder::Get().FindEnding("after the report"));

  const std::string text = ReadFile(path);
  EXPECT_NE(text.find(" started on "), std::string::npos) << text;
  EXPECT_NE(text.find("\nReport written to \"" + path.string() + "\"\nLog level: 32\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[NULL @ 0x"), std::string::npos);  // the context prefix is kept
  EXPECT_NE(text.find("report info line\n"), std::string::npos);
  EXPECT_EQ(text.find("report verbose line"), std::string::npos);
  EXPECT_EQ(text.find("after the report"), std::string::npos);
}

TEST_F(WorkerLog, ReportLevelFollowsTheProgramsLevelWithoutFFREPORTLevel) {
  TTempDir dir;
  struct {
    FFLoad::TLogLevel Program;
    int Report;
  } const cases[] = {{FFLoad::llTrace, 56}, {FFLoad::llInfo, 48}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Report);
    VEDovedo->SetLogLevel(c.Program);
    const fs::path path = dir.Path() / ("level" + std::to_string(c.Report) + ".log");
    const std::string env = "file=" + path.string();
    ASSERT_EQ(OptCommon::init_report(&ctx, env.c_str(), nullptr), 0);
    OptCommon::reset_report();
    EXPECT_NE(ReadFile(path).find("Log level: " + std::to_string(c.Report) + "\n"), std::string::npos);
  }
}

TEST_F(WorkerLog, ReportFileNameTemplates) {
  TTempDir dir;
  const fs::path cwd = fs::current_path();
  fs::current_path(dir.Path());
  struct {
    const char* Env;
    std::string Prefix;
    std::string Suffix;
  } const cases[] = {
      {nullptr, "ostrevan_tests-", ".log"},
      {"file=x%%y%q%t%", "x%y", ""},
      {"garbage", "ostrevan_tests-", ".log"},  // a first pair that does not parse: defaults
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Env ? c.Env : "(nil)");
    for (const auto& e : fs::directory_iterator(dir.Path())) fs::remove(e.path());
    ASSERT_EQ(OptCommon::init_report(&ctx, c.Env, nullptr), 0);
    OptCommon::reset_report();
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.Path())) names.push_back(e.path().filename());
    ASSERT_EQ(names.size(), 1u);
    const std::string& name = names[0];
    ASSERT_EQ(name.size(), c.Prefix.size() + 15 + c.Suffix.size()) << name;  // yyyymmdd-hhmmss
    EXPECT_EQ(name.substr(0, c.Prefix.size()), c.Prefix);
    EXPECT_EQ(name.substr(name.size() - c.Suffix.size()), c.Suffix);
    const std::string stamp = name.substr(c.Prefix.size(), 15);
    EXPECT_EQ(stamp[8], '-') << name;
    EXPECT_EQ(stamp.find_first_not_of("0123456789-"), std::string::npos) << name;
  }
  fs::current_path(cwd);
}

TEST_F(WorkerLog, ReportFailures) {
  TLogCapture log;  // (takes the FFmpeg log over: nothing is opened below)
  struct {
    const char* Env;
    int Result;
    std::vector<std::pair<int, std::string>> Messages;
  } const cases[] = {
      {"level=abc", AVERROR(EINVAL), {{AV_LOG_FATAL, "Invalid report file level\n"}}},
      {"file=/nonexistent/dir/r.log", -1, {{AV_LOG_ERROR, "Failed to open report \"/nonexistent/dir/r.log\"\n"}}},
      {"foo=1:file=/nonexistent/x",
       -1,
       {{AV_LOG_ERROR, "Unknown key 'foo' in FFREPORT\n"}, {AV_LOG_ERROR, "Failed to open report"}}},
      {"file=/nonexistent/y:garbage",
       -1,
       {{AV_LOG_ERROR, "Failed to parse FFREPORT environment variable: "},
        {AV_LOG_ERROR, "Failed to open report \"/nonexistent/y\"\n"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Env);
    TLogCapture::Clear();
    FILE* f = reinterpret_cast<FILE*>(1);
    EXPECT_EQ(OptCommon::init_report(&ctx, c.Env, &f), c.Result);
    EXPECT_EQ(f, reinterpret_cast<FILE*>(1));  // untouched
    for (const auto& m : c.Messages) EXPECT_TRUE(TLogCapture::Has(m.first, m.second)) << TLogCapture::All();
  }
}

// ---- parse_loglevel --------------------------------------------------------------------

int Ignore(void*, const char*, const char*) { return 0; }

const TOptionDef gLogTable[] = {
    {"loglevel", OPT_TYPE_FUNC, OPT_FUNC_ARG | OPT_EXPERT, OptFunc(Ignore), "set logging level", "loglevel", {}},
    {"v", OPT_TYPE_FUNC, OPT_FUNC_ARG, OptFunc(Ignore), "set logging level", "loglevel", {}},
    {"report", OPT_TYPE_FUNC, OPT_EXPERT, OptFunc(Ignore), "generate a report", nullptr, {}},
    {"i", OPT_TYPE_STRING, 0, OptDst(nullptr), "input", "url", {}},
    {nullptr, OPT_TYPE_FUNC, 0, {}, nullptr, nullptr, {}},
};

class TFFREPORT {
 public:
  explicit TFFREPORT(const std::string* AValue) {
    const char* v = std::getenv("FFREPORT");
    FHad = v != nullptr;
    FOld = v ? v : "";
    if (AValue)
      setenv("FFREPORT", AValue->c_str(), 1);
    else
      unsetenv("FFREPORT");
  }
  ~TFFREPORT() {
    if (FHad)
      setenv("FFREPORT", FOld.c_str(), 1);
    else
      unsetenv("FFREPORT");
  }

 private:
  bool FHad;
  std::string FOld;
};

TEST_F(WorkerLog, EarlyScanSetsTheLevelAndStartsTheReport) {
  TTempDir dir;
  const fs::path path = dir.Path() / "cmd.log";
  const std::string env = "file=" + path.string();
  {
    TFFREPORT report(&env);
    const char* argv[] = {"-v", "warning", "-report", "-i", "a b.mkv", "out$.mp4"};
    parse_loglevel(&ctx, 6, argv, gLogTable);
    EXPECT_EQ(VEDovedo->GetLogLevel(), FFLoad::llWarning);
    OptCommon::reset_report();
    EXPECT_NE(ReadFile(path).find("Command line:\n-v warning -report -i \"a b.mkv\" \"out\\$.mp4\"\n"),
              std::string::npos)
        << ReadFile(path);
  }
  {
    TFFREPORT no_report(nullptr);
    const char* argv[] = {"-v", "error", "-loglevel", "debug", "x"};
    parse_loglevel(&ctx, 5, argv, gLogTable);
    EXPECT_EQ(VEDovedo->GetLogLevel(), FFLoad::llDebug);  // "loglevel" before "v"
    VEDovedo->SetLogLevel(FFLoad::llInfo);
    const char* none[] = {"-i", "-v", "x"};  // "-v" is the argument of -i
    parse_loglevel(&ctx, 3, none, gLogTable);
    EXPECT_EQ(VEDovedo->GetLogLevel(), FFLoad::llInfo);
    const char* last[] = {"-v", "error", "-loglevel"};  // "loglevel" is found, without value
    parse_loglevel(&ctx, 3, last, gLogTable);
    EXPECT_EQ(VEDovedo->GetLogLevel(), FFLoad::llInfo);
  }
  // without FFREPORT and without -report no report is started
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir.Path())) files += e.path() != path;
  EXPECT_EQ(files, 0u);
}

}  // namespace
