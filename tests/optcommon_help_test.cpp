// The common option rows and their handlers, the help topics caught from the FFmpeg log
// into one message of the log worker, and the help listing of option tables.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "LoaderTestSupport.h"
#include "LogRecorder.h"
#include "TempFolder.h"
#include "platform/Format.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/OptCommon.h"

namespace {

using namespace CmdUtils;
using FFLoad::VEDovedo;
using AVUtilStubs::av_log;

// The messages the log worker hands on, with its CR LF line ends turned back into LF.
using TMessages = LogRecorder::TLogRecorder;

// The owner's default help: records what it was asked for and logs one line.
struct TDefaultHelpCall {
  bool Called = false;
  std::string Topic = "(nil)";
  std::string Param = "(nil)";
};
TDefaultHelpCall gDefaultHelp;
void DefaultHelp(void*, const char* ATopic, const char* AParam) {
  gDefaultHelp.Called = true;
  gDefaultHelp.Topic = ATopic ? ATopic : "(nil)";
  gDefaultHelp.Param = AParam ? AParam : "(nil)";
  av_log(nullptr, AV_LOG_INFO, "default help\n");
}

class CommonOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CDecoderLibraries))
        << FFLoad::FFLoader->GetLastErrMsg();
    FSynchronous = VEDovedo->GetSynchronous();
    FMainThread = VEDovedo->GetTriggerEventInMainThread();
    FLevel = VEDovedo->GetLogLevel();
    FOnLog = VEDovedo->GetOnLog();
    VEDovedo->SetSynchronous(true);
    VEDovedo->SetTriggerEventInMainThread(false);
    VEDovedo->SetLogLevel(FFLoad::llInfo);
    VEDovedo->SetOnLog(TMessages::Get().Event());
    VEDovedo->InstallAVLogCallback();
    TMessages::Get().Clear();
    gDefaultHelp = {};
    ctx.av_class = get_options_context_class();
    ctx.show_help_default = DefaultHelp;
    TOptionDef* end = OptCommon::InitCommonOptions(table);
    *end = TOptionDef{};
  }
  void TearDown() override {
    VEDovedo->SetOnLog(FOnLog);
    VEDovedo->SetLogLevel(FLevel);
    VEDovedo->SetTriggerEventInMainThread(FMainThread);
    VEDovedo->SetSynchronous(FSynchronous);
  }
  int Parse(std::vector<const char*> AArgs) {
    return parse_options(&ctx, static_cast<int>(AArgs.size()), AArgs.data(), table, nullptr);
  }

  TDefaultOptions ctx{};
  TOptionDef table[OptCommon::CCommonOptionCount + 1]{};

 private:
  bool FSynchronous = false, FMainThread = false;
  FFLoad::TLogLevel FLevel = FFLoad::llInfo;
  FFLoad::TLogEvent FOnLog;
};

TEST_F(CommonOptions, RowsAtTheStartOfATable) {
  TOptionDef rows[OptCommon::CCommonOptionCount + 2];
  const char* const alt[] = {"x", nullptr};
  for (TOptionDef& r : rows) r.u1.names_alt = alt;  // u1 is the owner's
  TOptionDef* end = OptCommon::InitCommonOptions(rows);
  EXPECT_EQ(end, rows + OptCommon::CCommonOptionCount);
  const char* names[] = {"h", "?", "help", "-help", "version", "formats", "muxers", "demuxers", "devices",
                         "codecs", "decoders", "encoders", "bsfs", "protocols", "filters", "pix_fmts",
                         "layouts", "sample_fmts", "dispositions", "colors", "loglevel", "v", "report",
                         "max_alloc", "cpuflags", "cpucount", "sources", "sinks"};
  for (int i = 0; i < OptCommon::CCommonOptionCount; i++) {
    SCOPED_TRACE(names[i]);
    EXPECT_STREQ(rows[i].name, names[i]);
    EXPECT_EQ(rows[i].type_, OPT_TYPE_FUNC);
    EXPECT_NE(rows[i].u.func_arg, nullptr);
    EXPECT_NE(rows[i].help, nullptr);
    EXPECT_EQ(rows[i].u1.names_alt, alt);
  }
  EXPECT_EQ(rows[0].flags, OPT_EXIT);
  EXPECT_EQ(rows[26].flags, OPT_FUNC_ARG | OPT_EXIT | OPT_EXPERT);
  EXPECT_STREQ(rows[23].argname, "bytes");
  EXPECT_EQ(rows[22].argname, nullptr);
  *end = TOptionDef{};
  check_options(rows);  // a well-formed table
}

// Every list option ends the parse and leaves exactly one message: the list's text.
TEST_F(CommonOptions, ListOptionsEndTheParseWithOneMessage) {
  const struct {
    std::vector<const char*> Args;
    std::string Start;
  } cases[] = {
      {{"-formats"}, "Formats:\n D.. = Demuxing supported\n"},
      {{"-muxers"}, "Formats:\n"},
      {{"-devices"}, "Devices:\n"},
      {{"-codecs"}, "Codecs:\n"},
      {{"-encoders"}, "Encoders:\n"},
      {{"-bsfs"}, "Bitstream filters:\n"},
      {{"-filters"}, "Filters:\n"},
      {{"-pix_fmts"}, "Pixel formats:\n"},
      {{"-layouts"}, "Individual channels:\n"},
      {{"-sample_fmts"}, "name   depth\nu8        8 \n"},
      {{"-dispositions"}, "default\n"},
      {{"-colors"}, "name                             #RRGGBB\nAliceBlue "},
      {{"-protocols"}, "Supported file protocols:\nInput:\n"},
      {{"-version"}, std::string(FFLoad::CBannerTitle) + " " + FFLoad::CBannerNotice + "\n"},
      {{"-sources", "alsa"}, "Auto-detected sources for alsa:\n"},
      {{"-sinks", "alsa"}, "Auto-detected sinks for alsa:\n"},
      {{"-formats", "-v", "quiet"}, "Formats:\n"},  // nothing after it is parsed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Args[0]);
    TMessages::Get().Clear();
    EXPECT_EQ(Parse(c.Args), AVERROR_EXIT);
    const auto messages = TMessages::Get().Texts();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind(c.Start, 0), 0u) << ::testing::PrintToString(messages[0].substr(0, 60));
  }
  EXPECT_EQ(VEDovedo->GetLogLevel(), FFLoad::llInfo);
}

TEST_F(CommonOptions, HelpTopics) {
  const std::string ffv1_formats = [] {
    const void* configs = nullptr;
    int n = 0;
    AVCodecStubs::avcodec_get_supported_config(nullptr, AVCodecStubs::avcodec_find_encoder_by_name("ffv1"),
                                               AV_CODEC_CONFIG_PIX_FORMAT, 0, &configs, &n);
    std::string line = "    Supported pixel formats:";
    for (int i = 0; i < n; i++)
      line += std::string(" ") + AVUtilStubs::av_get_pix_fmt_name(static_cast<const AVPixelFormat*>(configs)[i]);
    return line + "\n";
  }();
  const struct {
    const char* Arg;
    std::string Start;
    std::vector<std::string> Parts;
  } cases[] = {
      {"encoder=mpeg4",
       "Encoder mpeg4 [MPEG-4 part 2]:\n    General capabilities: dr1 delay threads\n"
       "    Threading capabilities: slice\n    Supported pixel formats: yuv420p\n",
       {"MPEG4 encoder AVOptions:\n", "  -data_partitioning <boolean>"}},
      // longer than one formatted log line: kept whole
      {"encoder=ffv1", "Encoder ffv1 [FFmpeg video codec #1]:\n", {ffv1_formats, "ffv1 encoder AVOptions:\n"}},
      {"decoder=aac", "Decoder aac [AAC (Advanced Audio Coding)]:\n    General capabilities: dr1 chconf\n",
       {"    Supported sample formats: fltp\n", "    Supported channel layouts: mono stereo "}},
      {"encoder", "No codec name specified.\n", {}},
      {"decoder=", "No codec name specified.\n", {}},
      {"decoder=nosuchcodec", "Codec 'nosuchcodec' is not recognized by FFmpeg.\n", {}},
      {"encoder=4xm",
       "Codec '4xm' is known to FFmpeg, but no encoders for it are available. FFmpeg might need to be "
       "recompiled with additional external libraries.\n",
       {}},
      {"demuxer=avi", "Demuxer avi [AVI (Audio Video Interleaved)]:\n    Common extensions: avi.\navi AVOptions:\n", {}},
      {"demuxer", "No demuxer name specified.\n", {}},
      {"demuxer=nosuch", "Unknown format 'nosuch'.\n", {}},
      {"muxer=mp4",
       "Muxer mp4 [MP4 (MPEG-4 Part 14)]:\n    Common extensions: mp4.\n    Mime type: video/mp4.\n",
       {"    Default audio codec: aac.\n", " muxer AVOptions:\n"}},
      {"muxer", "No muxer name specified.\n", {}},
      {"muxer=nosuch", "Unknown format 'nosuch'.\n", {}},
      {"protocol=file", "file AVOptions:\n", {"  -truncate "}},
      {"protocol", "No protocol name specified.\n", {}},
      {"protocol=nosuch", "Unknown protocol 'nosuch'.\n", {}},
      {"filter=hflip",
       "Filter hflip\n  Horizontally flip the input video.\n    slice threading supported\n    Inputs:\n"
       "       #0: default (video)\n    Outputs:\n       #0: default (video)\n",
       {"This filter has support for timeline through the 'enable' option.\n"}},
      {"filter=amix", "Filter amix\n  Audio mixing.\n    Inputs:\n        dynamic (depending on the options)\n"
                      "    Outputs:\n       #0: default (audio)\namix AVOptions:\n", {}},
      {"filter=buffer", "Filter buffer\n", {"    Inputs:\n        none (source filter)\n    Outputs:\n"}},
      {"filter=nullsink", "Filter nullsink\n", {"    Outputs:\n        none (sink filter)\n"}},
      {"filter", "No filter name specified.\n", {}},
      {"filter=nosuch", "Unknown filter 'nosuch'.\n", {}},
      {"bsf=h264_mp4toannexb", "Bit stream filter h264_mp4toannexb\n    Supported codecs: h264\n", {}},
      {"bsf", "No bitstream filter name specified.\n", {}},
      {"bsf=nosuch", "Unknown bit stream filter 'nosuch'.\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Arg);
    TMessages::Get().Clear();
    EXPECT_EQ(Parse({"-h", c.Arg}), AVERROR_EXIT);
    const auto messages = TMessages::Get().Texts();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind(c.Start, 0), 0u) << messages[0].substr(0, 400);
    for (const std::string& part : c.Parts) EXPECT_NE(messages[0].find(part), std::string::npos) << part;
    EXPECT_FALSE(gDefaultHelp.Called);
  }
  // the log worker has the FFmpeg log back
  TMessages::Get().Clear();
  av_log(nullptr, AV_LOG_INFO, "after the help\n");
  const auto after = TMessages::Get().Texts();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_NE(after[0].find("after the help"), std::string::npos);
}

TEST_F(CommonOptions, OtherTopicsGoToTheOwnersHelp) {
  const struct {
    std::vector<const char*> Args;
    const char* Topic;
    const char* Param;
  } cases[] = {
      {{"-h"}, "(nil)", "(nil)"},
      {{"-?", "long"}, "long", "(nil)"},
      {{"-help", "full"}, "full", "(nil)"},
      {{"--help", "x=y"}, "x", "y"},
      {{"-h", "=y"}, "(nil)", "y"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Args.back());
    TMessages::Get().Clear();
    gDefaultHelp = {};
    EXPECT_EQ(Parse(c.Args), AVERROR_EXIT);
    EXPECT_TRUE(gDefaultHelp.Called);
    EXPECT_EQ(gDefaultHelp.Topic, c.Topic);
    EXPECT_EQ(gDefaultHelp.Param, c.Param);
    EXPECT_EQ(TMessages::Get().Texts(), std::vector<std::string>{"default help\n"});
  }
}

// Lines that other threads log while a help runs land in the help text; nothing else
// goes wrong.
TEST_F(CommonOptions, HelpWhileOtherThreadsLog) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> loggers;
  for (int t = 0; t < 2; t++)
    loggers.emplace_back([&] {
      while (!stop) av_log(nullptr, AV_LOG_INFO, "busy\n");
    });
  for (int i = 0; i < 20; i++) {
    TMessages::Get().Clear();
    EXPECT_EQ(OptCommon::show_help(&ctx, "h", i % 2 ? "filter=amix" : "demuxer=avi"), 0);
    bool help_seen = false;
    for (const std::string& m : TMessages::Get().Texts())
      help_seen = help_seen || m.find(i % 2 ? "Filter amix\n" : "Demuxer avi [") != std::string::npos;
    EXPECT_TRUE(help_seen);
  }
  stop = true;
  for (auto& t : loggers) t.join();
}

TEST_F(CommonOptions, ShowHelpOptions) {
  TLogCapture log;
  static const char* const alt[] = {"other", nullptr};
  const std::string long_name(140, 'n');
  const TOptionDef rows[] = {
      {"plain", OPT_TYPE_BOOL, 0, OptDst(nullptr), "a flag", nullptr, {}},
      {"codec", OPT_TYPE_STRING, OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_VIDEO, OptOff(0), "codec name", "codec", {}},
      {"meta", OPT_TYPE_STRING, OPT_FLAG_SPEC, OptOff(0), "metadata", "key=value", {.names_alt = alt}},
      {"expert", OPT_TYPE_INT, OPT_EXPERT, OptDst(nullptr), "hidden", "n", {}},
      {long_name.c_str(), OPT_TYPE_INT, 0, OptDst(nullptr), nullptr, "value", {}},
      {},
  };
  OptCommon::show_help_options(rows, "Main options:", 0, OPT_EXPERT);
  std::vector<std::string> lines;
  for (const auto& l : TLogCapture::Snapshot()) {
    EXPECT_EQ(l.Level, AV_LOG_INFO);
    lines.push_back(l.Text);
  }
  const std::vector<std::string> expected = {
      "Main options:\n",
      "-plain              a flag\n",
      "-codec[:<stream_spec>] <codec>  codec name\n",
      "-meta[:<spec>] <key=value>  metadata\n",
      "-" + std::string(127, 'n') + "  \n",
      "\n",
  };
  EXPECT_EQ(lines, expected);

  TLogCapture::Clear();
  OptCommon::show_help_options(rows, "Video options:", OPT_VIDEO | OPT_FLAG_SPEC, 0);
  std::vector<std::string> video;
  for (const auto& l : TLogCapture::Snapshot()) video.push_back(l.Text);
  EXPECT_EQ(video, (std::vector<std::string>{"Video options:\n", "-codec[:<stream_spec>] <codec>  codec name\n", "\n"}));

  TLogCapture::Clear();
  OptCommon::show_help_options(rows, "Nothing:", OPT_AUDIO, 0);
  std::vector<std::string> none;
  for (const auto& l : TLogCapture::Snapshot()) none.push_back(l.Text);
  EXPECT_EQ(none, std::vector<std::string>{"\n"});  // no heading without an option
}

TEST_F(CommonOptions, ValueHandlers) {
  TLogCapture log;
  {
    SCOPED_TRACE("max_alloc");
    for (const char* bad : {"12x", "", "lots"}) {
      TLogCapture::Clear();
      EXPECT_EQ(Parse({"-max_alloc", bad}), AVERROR(EINVAL)) << bad;
      EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL, Platform::Format("Invalid max_alloc \"%s\".\n", bad)))
          << TLogCapture::All();
    }
    EXPECT_EQ(Parse({"-max_alloc", "4096"}), 0);
    void* big = AVUtilStubs::av_malloc(8192);
    void* small = AVUtilStubs::av_malloc(1024);
    EXPECT_EQ(Parse({"-max_alloc", "2147483647"}), 0);  // the libraries' default
    EXPECT_EQ(big, nullptr);
    EXPECT_NE(small, nullptr);
    AVUtilStubs::av_free(big);
    AVUtilStubs::av_free(small);
  }
  {
    SCOPED_TRACE("cpucount");
    EXPECT_EQ(Parse({"-cpucount", "3"}), 0);
    EXPECT_EQ(AVUtilStubs::av_cpu_count(), 3);
    EXPECT_LT(Parse({"-cpucount", "-5"}), 0);  // below the range
    EXPECT_LT(Parse({"-cpucount", "many"}), 0);
    EXPECT_EQ(AVUtilStubs::av_cpu_count(), 3);
    EXPECT_EQ(Parse({"-cpucount", "-1"}), 0);  // detection again
  }
  {
    SCOPED_TRACE("cpuflags");
    const int flags = AVUtilStubs::av_get_cpu_flags();
    TLogCapture::Clear();
    EXPECT_LT(Parse({"-cpuflags", "+nosuchflag"}), 0);
    EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "Failed to parse cpu caps with argument +nosuchflag.\n"))
        << TLogCapture::All();
    EXPECT_EQ(AVUtilStubs::av_get_cpu_flags(), flags);
    if (flags & AV_CPU_FLAG_SSE2) {
      EXPECT_EQ(Parse({"-cpuflags", "-sse2"}), 0);
      EXPECT_EQ(AVUtilStubs::av_get_cpu_flags() & AV_CPU_FLAG_SSE2, 0);
      EXPECT_EQ(OptCommon::set_cpu_flags("+sse2"), 0);
      EXPECT_NE(AVUtilStubs::av_get_cpu_flags() & AV_CPU_FLAG_SSE2, 0);
    }
    EXPECT_LT(OptCommon::set_cpu_flags("nosuchflag"), 0);
    AVUtilStubs::av_force_cpu_flags(-1);  // detection again
    EXPECT_EQ(AVUtilStubs::av_get_cpu_flags(), flags);
  }
}

TEST_F(CommonOptions, ReportOption) {
  namespace fs = std::filesystem;
  const fs::path dir = TempFolder::MakeDir("optcommon_help");
  ASSERT_FALSE(dir.empty());
  const fs::path cwd = fs::current_path();
  fs::current_path(dir);
  const int ret = Parse({"-report"});
  OptCommon::reset_report();
  fs::current_path(cwd);
  EXPECT_EQ(ret, 0);
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir)) files += e.path().extension() == ".log";
  EXPECT_EQ(files, 1);
  fs::remove_all(dir);
}

// A message longer than one formatted line reaches the catcher whole.
TEST_F(CommonOptions, LongMessagesAreCaughtWhole) {
  const std::string text = std::string(3000, 'x') + "\n";
  Gcatch_log_callback_help.clear();
  AVUtilStubs::av_log_set_callback(OptCommon::log_callback_help);
  av_log(&ctx, AV_LOG_INFO, "%s", text.c_str());
  VEDovedo->InstallAVLogCallback();
  EXPECT_EQ(Gcatch_log_callback_help, text);  // and without a context prefix
  Gcatch_log_callback_help.clear();
}

}  // namespace
