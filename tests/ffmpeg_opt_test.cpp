// The conversion task's option front end: ParseOptions on whole command lines, the
// overwrite guard, per-task option state, the process-wide log level, the per-stream value
// picker and the handlers of the option table's function rows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "LoaderTestSupport.h"
#include "LogRecorder.h"
#include "MediaBuilder.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegOpt.h"
#include "engine/FFmpegOptInternal.h"
#include "engine/FFmpegSchedInternal.h"
#include "platform/Format.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/FFmpegHeader.h"
#include "runtime/MyUtils.h"

namespace {

using namespace CmdUtils;
using FFLoad::VEDovedo;
using FFmpegHeader::TBaseFFmpeg;
using FFmpegHeader::TInputFile;
using FFmpegHeader::TInputStream;
using FFmpegHeader::TOptionsContext;
using FFmpegOpt::TGlobalOptionsContext;

namespace fs = std::filesystem;

// What the log worker hands on (FFmpeg lines and the task's own), for the whole process.
using TMessages = LogRecorder::TLogRecorder;

// A task without the conversion machinery, for handlers that need input files put together
// by hand (a real task's clean-up would free them as demuxer records).
class TPlainTask : public TBaseFFmpeg {
 public:
  TPlainTask() { FFmpegOpt::BuildOptionTable(this); }
  int GetVideoHookBitsPixel() override { return 32; }
  void SetVideoHookBitsPixel(int) override {}
};

// One input file made of a format context with streams of the given media types.
class TFakeInput {
 public:
  TFakeInput(const std::vector<AVMediaType>& ATypes, AVRational ATimeBase = {1, 1000}) {
    FCtx = AVFormatStubs::avformat_alloc_context();
    for (std::size_t i = 0; i < ATypes.size(); i++) {
      AVStream* st = AVFormatStubs::avformat_new_stream(FCtx, nullptr);
      st->codecpar->codec_type = ATypes[i];
      st->time_base = ATimeBase;
      FStreams.push_back(TInputStream{});
    }
    for (TInputStream& s : FStreams) FStreamPtrs.push_back(&s);
    FFile.ctx = FCtx;
    FFile.streams = FStreamPtrs.data();
    FFile.nb_streams = static_cast<int>(FStreams.size());
    FFile.input_sync_ref = -1;
  }
  ~TFakeInput() { AVFormatStubs::avformat_free_context(FCtx); }
  TInputFile* File() { return &FFile; }
  TInputStream& Stream(int i) { return FStreams[i]; }

 private:
  AVFormatContext* FCtx;
  TInputFile FFile{};
  std::vector<TInputStream> FStreams;
  std::vector<TInputStream*> FStreamPtrs;
};

class FFmpegOpt_ : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries))
        << FFLoad::FFLoader->GetLastErrMsg();
    FSettings = new LoaderTestSupport::TLogWorkerSettings;
    VEDovedo->SetSynchronous(true);
    VEDovedo->SetTriggerEventInMainThread(false);
    VEDovedo->SetLogLevel(FFLoad::llDebug);
    VEDovedo->SetLogFlags(0);  // no folding of repeated lines: every row sees its own
    VEDovedo->SetOnLog(TMessages::Get().Event());
    VEDovedo->InstallAVLogCallback();
    TMessages::Get().Clear();
    FDir = fs::temp_directory_path() / ("ffmpeg_opt_test_" + std::to_string(getpid()));
    fs::create_directories(FDir);
  }
  void TearDown() override {
    FSettings->Restore();
    delete FSettings;
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }

  std::string Path(const std::string& AName) const { return (FDir / AName).string(); }
  void WriteText(const std::string& AName, const std::string& AText) const {
    std::ofstream(Path(AName), std::ios::binary) << AText;
  }
  static bool Logged(const std::string& AText) { return TMessages::Get().Contains(AText); }

  LoaderTestSupport::TLogWorkerSettings* FSettings = nullptr;
  fs::path FDir;
};

// ---- ParseOptions on whole command lines ----

TEST_F(FFmpegOpt_, ParseOptionsOutcomes) {
  ASSERT_EQ(MediaBuilder::WriteMedia(Path("in.mkv"), "matroska", "v"), 0);
  struct {
    std::string Line;
    int Result;           // 1: any negative
    std::string LastErr;  // expected LastErrMsg ("" : the text of the result code)
    std::vector<std::string> Logged;
  } const cases[] = {
      {"",
       -1,
       "Please refer to the demos and/or Docs/GettingStarted/Encoder.txt",
       {"usage: VEDavirev.AddTask([options] [[infile options] -i infile]... {[outfile options] "
        "outfile}...)"}},
      {"-y", -1, "Please refer to the demos and/or Docs/GettingStarted/Encoder.txt", {}},
      {"-h",
       AVERROR_EXIT,
       "",
       {"Getting help:", "Per-file options (input and output):", "-vcodec <codec>",
        "Video options:"}},
      {"-h long", AVERROR_EXIT, "", {"Advanced global options:", "-map <"}},
      {"-h full",
       AVERROR_EXIT,
       "",
       {"Data stream options:", "AVCodecContext AVOptions:", "SWScaler AVOptions:"}},
      {"-h nonsense", AVERROR_EXIT, "", {"Unknown help option 'nonsense'.", "Getting help:"}},
      {"-init_hw_device list", AVERROR_EXIT, "", {"Supported hardware device types:"}},
      {"-nosuchoption 1 out.mkv",
       AVERROR_OPTION_NOT_FOUND,
       "",
       {"Unrecognized option 'nosuchoption'", "Error splitting the argument list"}},
      {"-stats_period -1 out.mkv",
       AVERROR(EINVAL),
       "",
       {"stats_period -1 must be positive.", "Error parsing global options"}},
      {"-i \"" + Path("missing.mkv") + "\"",
       1,
       "",
       {"Error opening input file " + Path("missing.mkv") + "."}},
      {"-i \"" + Path("in.mkv") + "\"", -1, "At least one output file must be specified", {}},
      {"-y -i \"" + Path("in.mkv") + "\" -c copy \"" + Path("out.mkv") + "\"", 0, "-", {}},
      {"-n -i \"" + Path("in.mkv") + "\" -c copy \"" + Path("in.mkv") + "\"",
       AVERROR_EXIT,
       "",
       {"File '" + Path("in.mkv") + "' already exists. Exiting."}},
      {"-y -i \"" + Path("in.mkv") + "\" \"" + Path("in.mkv") + "\"",
       AVERROR(EINVAL),
       "",
       {"Output " + Path("in.mkv") + " same as Input #0 - exiting",
        "Cannot edit existing files in-place."}},
      {"-i \"" + Path("in.mkv") + "\" -map 0:s \"" + Path("out2.mkv") + "\"",
       AVERROR(EINVAL),
       "",
       {"Stream map '0:s' matches no streams.",
        "Error parsing options for output file " + Path("out2.mkv") + "."}},
      {"-filter_complex testsrc2=d=0.2:s=64x48[v] -map [v] -c:v mpeg4 -y \"" + Path("graph.mkv") +
           "\"",
       0,
       "-",
       {}},
      {"-filter_complex nosuchfilter -y \"" + Path("graph2.mkv") + "\"",
       1,
       "",
       {"No such filter: 'nosuchfilter'"}},
      {"-y -i \"" + Path("in.mkv") + "\" -c:v mpeg4 \"" + Path("dec.mkv") + "\" -dec 0:0",
       0,
       "-",
       {}},
      {"-y -i \"" + Path("in.mkv") + "\" -c:v mpeg4 \"" + Path("dec2.mkv") + "\" -dec 4:0",
       AVERROR(EINVAL),
       "",
       {"Error creating loopback decoders"}},
      {"-copyts -i \"" + Path("in.mkv") + "\" -isync 0 -i \"" + Path("in.mkv") +
           "\" -c copy -y \"" + Path("out4.mkv") + "\"",
       AVERROR(EINVAL),
       "",
       {"Use of -isync requires that start_at_zero be set if copyts is set."}},
      {"-isync 3 -i \"" + Path("in.mkv") + "\" -y -c copy \"" + Path("out3.mkv") + "\"",
       AVERROR(EINVAL),
       "",
       {"-isync for input 0 references non-existent input 3."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Line);
    TMessages::Get().Clear();
    FFmpeg::TCustomFFmpeg task;
    const int ret = task.ParseOptions(c.Line);
    if (c.Result == 1)
      EXPECT_LT(ret, 0);
    else
      EXPECT_EQ(ret, c.Result);
    EXPECT_EQ(task.LastErrMsg(), c.LastErr.empty()  ? print_error(ret)
                                 : c.LastErr == "-" ? ""
                                                    : c.LastErr);
    for (const std::string& text : c.Logged)
      EXPECT_TRUE(Logged(text)) << text << "\n" << TMessages::Get().Joined();
    EXPECT_TRUE(Logged("ParseOptions: " + c.Line));
  }
}

// -n with an output that exists ends the parse as the immediate exit it asked for: one
// line says why, no failure follows it, and the file is left as it was.
TEST_F(FFmpegOpt_, NoOverwriteOfAnExistingOutputIsAnImmediateExit) {
  ASSERT_EQ(MediaBuilder::WriteMedia(Path("in.mkv"), "matroska", "v"), 0);
  WriteText("exists.mkv", "kept");
  struct {
    const char* Name;
    std::string Line;
  } const cases[] = {
      {"the only output", "-n -i \"" + Path("in.mkv") + "\" -c copy \"" + Path("exists.mkv") + "\""},
      {"after a new output", "-n -i \"" + Path("in.mkv") + "\" -c copy \"" + Path("new.mkv") +
                                 "\" -c copy \"" + Path("exists.mkv") + "\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TMessages::Get().Clear();
    FFmpeg::TCustomFFmpeg task;
    EXPECT_EQ(task.ParseOptions(c.Line), AVERROR_EXIT);
    EXPECT_TRUE(Logged("File '" + Path("exists.mkv") + "' already exists. Exiting."))
        << TMessages::Get().Joined();
    for (const char* text : {"Error opening output file", "Error opening output files"})
      EXPECT_FALSE(Logged(text)) << text << "\n" << TMessages::Get().Joined();
    std::ifstream f(Path("exists.mkv"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), "kept");
  }
}

// Bytes that the parser's own reallocations asked for: a measure of the work of filling
// its arrays, which copy their old content on every reallocation.
std::atomic<std::uint64_t> GReallocBytes{0};
decltype(AVUtilStubs::av_realloc_array) GRealReallocArray = nullptr;
decltype(AVUtilStubs::av_realloc) GRealRealloc = nullptr;

void* CountingReallocArray(void* ptr, std::size_t nmemb, std::size_t size) {
  GReallocBytes += static_cast<std::uint64_t>(nmemb) * size;
  return GRealReallocArray(ptr, nmemb, size);
}

void* CountingRealloc(void* ptr, std::size_t size) {
  GReallocBytes += size;
  return GRealRealloc(ptr, size);
}

// A long command line (tens of thousands of options) is parsed with work in proportion to
// its length: the arrays that collect its options are not copied whole for every entry.
TEST_F(FFmpegOpt_, LongCommandLinesParseInWorkProportionalToTheirLength) {
  struct {
    const char* Name;
    std::string Repeated;  // appended 30,000 times
    std::string Before, After;
  } const cases[] = {
      {"a global option", " -y", "-v error", " -f lavfi -i testsrc2=d=0.1 -f null -"},
      {"a per-stream option of an output", " -c:v mpeg4", "-v error -y -f lavfi -i testsrc2=d=0.1",
       " -f null -"},
  };
  GRealReallocArray = AVUtilStubs::av_realloc_array;
  GRealRealloc = AVUtilStubs::av_realloc;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string line = c.Before;
    for (int i = 0; i < 30000; i++) line += c.Repeated;
    line += c.After;
    FFmpeg::TCustomFFmpeg task;
    GReallocBytes = 0;
    AVUtilStubs::av_realloc_array = &CountingReallocArray;
    AVUtilStubs::av_realloc = &CountingRealloc;
    const int ret = task.ParseOptions(line);
    AVUtilStubs::av_realloc_array = GRealReallocArray;
    AVUtilStubs::av_realloc = GRealRealloc;
    EXPECT_EQ(ret, 0) << TMessages::Get().Joined();
    EXPECT_EQ(task.Ffile_overwrite, 1);
    // growing an array one entry at a time asks for the sum of all its sizes: gigabytes here
    EXPECT_LT(GReallocBytes.load(), 100u * line.size()) << line.size() << " bytes of command line";
  }
}

// A transport stream whose video starts after its audio: with only the video used, the
// input is shifted by the video's start; a second input synced to it follows the shift.
TEST_F(FFmpegOpt_, StartTimeCorrectionAndInputSync) {
  MediaBuilder::TMediaSpec spec;
  spec.Streams = "va";
  spec.AudioCodec = "mp2";
  ASSERT_EQ(MediaBuilder::WriteMedia(Path("in.ts"), "mpegts", spec), 0);
  ASSERT_EQ(MediaBuilder::WriteMedia(Path("in.mkv"), "matroska", "v"), 0);
  FFmpeg::TCustomFFmpeg task;
  ASSERT_EQ(task.ParseOptions("-i \"" + Path("in.ts") + "\" -isync 0 -i \"" + Path("in.mkv") +
                              "\" -map 0:v -map 1:v -c copy -y \"" + Path("out.mkv") + "\""),
            0)
      << TMessages::Get().Joined();
  const TInputFile* ts = task.Finput_files[0];
  const TInputFile* mkv = task.Finput_files[1];
  const std::int64_t shift = ts->start_time_effective - ts->ctx->start_time;
  ASSERT_GT(shift, 0);
  EXPECT_EQ(ts->ts_offset, -ts->start_time_effective);
  EXPECT_TRUE(Logged(Platform::Format("Correcting start time of Input #0 by %lld us.",
                                      static_cast<long long>(shift))))
      << TMessages::Get().Joined();
  const std::int64_t adjustment = mkv->start_time_effective - ts->start_time_effective;
  EXPECT_EQ(mkv->ts_offset, -mkv->start_time_effective + adjustment);
  EXPECT_TRUE(
      Logged(Platform::Format("Adjusted ts offset for Input #1 by %lld us to sync with Input #0.",
                              static_cast<long long>(adjustment))))
      << TMessages::Get().Joined();
}

TEST_F(FFmpegOpt_, SecondParseFailsWhileTheSchedulerExists) {
  FFmpeg::TCustomFFmpeg task;
  EXPECT_EQ(task.ParseOptions("-y"), -1);
  EXPECT_EQ(task.ParseOptions("-y"), -1);
  EXPECT_EQ(task.LastErrMsg(),
            "Assertion failure (FFmpeg, line 2132): the task has parsed a command line already; "
            "a task parses one command line");
  // once reset, the task parses again
  task.ResetJob();
  EXPECT_EQ(task.ParseOptions("-y"), -1);
  EXPECT_EQ(task.LastErrMsg(), "Please refer to the demos and/or Docs/GettingStarted/Encoder.txt");
}

TEST_F(FFmpegOpt_, LogLevelOptionActsOnTheWholeProcess) {
  FFmpeg::TCustomFFmpeg a, b;
  ASSERT_EQ(a.ParseOptions("-loglevel debug"), -1);
  EXPECT_EQ(VEDovedo->GetLogLevel(), FFLoad::llDebug);
  EXPECT_EQ(AVUtilStubs::av_log_get_level(), AV_LOG_DEBUG);
  // the other task's line holds no log option: the level stays
  ASSERT_EQ(b.ParseOptions("-y"), -1);
  EXPECT_EQ(VEDovedo->GetLogLevel(), FFLoad::llDebug);
  FFmpeg::TCustomFFmpeg c;
  ASSERT_EQ(c.ParseOptions("-v warning"), -1);
  EXPECT_EQ(VEDovedo->GetLogLevel(), FFLoad::llWarning);
}

// Two tasks parsed at the same time keep their options apart.
TEST_F(FFmpegOpt_, TasksParsedSideBySideKeepTheirOwnOptions) {
  WriteText("exists.txt", "x");
  FFmpeg::TCustomFFmpeg overwrite, keep;
  int r1 = 0, r2 = 0;
  std::thread t1([&] { r1 = overwrite.ParseOptions("-y -stats_period 2"); });
  std::thread t2([&] { r2 = keep.ParseOptions("-n"); });
  t1.join();
  t2.join();
  EXPECT_EQ(r1, -1);
  EXPECT_EQ(r2, -1);
  EXPECT_EQ(FFmpegOpt::assert_file_overwrite(&overwrite, Path("exists.txt").c_str()), 0);
  EXPECT_EQ(FFmpegOpt::assert_file_overwrite(&keep, Path("exists.txt").c_str()), AVERROR_EXIT);
  EXPECT_EQ(overwrite.Fstats_period.load(), 2000000);
  EXPECT_EQ(keep.Fstats_period.load(), 500000);
  // each table points into its own task
  const POptionDef y1 = find_option(overwrite.FOptionDef, "y");
  const POptionDef y2 = find_option(keep.FOptionDef, "y");
  EXPECT_EQ(y1->u.dst_ptr, &overwrite.Ffile_overwrite);
  EXPECT_EQ(y2->u.dst_ptr, &keep.Ffile_overwrite);
}

TEST_F(FFmpegOpt_, TableHoldsTheCommonAndConversionRows) {
  TPlainTask task;
  int n = 0;
  while (task.FOptionDef[n].name) n++;
  EXPECT_EQ(n, 28 + FFmpegOpt::CConversionOptionCount);
  EXPECT_STREQ(task.FOptionDef[28].name, "f");
  EXPECT_STREQ(task.FOptionDef[n - 2].name, "VideoHookBitsPixel");
  EXPECT_STREQ(task.FOptionDef[n - 1].name, "memory");
  EXPECT_NO_THROW(check_options(task.FOptionDef));
  for (const char* name : {"map", "target"}) {
    SCOPED_TRACE(name);
    const POptionDef po = find_option(task.FOptionDef, name);
    ASSERT_NE(po->name, nullptr);
    ASSERT_NE(po->help, nullptr);
    EXPECT_GT(std::strlen(po->help), 10u);
  }
}

// ---- The overwrite guard ----

TEST_F(FFmpegOpt_, OverwriteGuard) {
  WriteText("exists.txt", "x");
  TFakeInput input({AVMEDIA_TYPE_VIDEO});
  const std::string in_name = Path("input.mkv");
  input.File()->ctx->url = AVUtilStubs::av_strdup(in_name.c_str());
  input.File()->ctx->iformat = AVFormatStubs::av_find_input_format("matroska");
  TInputFile* files[] = {input.File()};
  struct {
    const char* Name;
    int Y, N;
    std::string File;
    int Result;
    const char* Message;
  } const cases[] = {
      {"existing, -y", 1, 0, Path("exists.txt"), 0, nullptr},
      {"existing, neither: overwritten", 0, 0, Path("exists.txt"), 0, nullptr},
      {"existing, -n", 0, 1, Path("exists.txt"), AVERROR_EXIT, "already exists. Exiting."},
      {"new, -n", 0, 1, Path("new.txt"), 0, nullptr},
      {"-y and -n", 1, 1, Path("new.txt"), AVERROR(EINVAL),
       "Error, both -y and -n supplied. Exiting."},
      {"not a file, -n", 0, 1, "pipe:1", 0, nullptr},
      {"same as an input", 1, 0, in_name, AVERROR(EINVAL), "same as Input #0 - exiting"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TMessages::Get().Clear();
    TPlainTask task;
    task.Ffile_overwrite = c.Y;
    task.Fno_file_overwrite = c.N;
    task.Finput_files = files;
    task.Fnb_input_files = 1;
    EXPECT_EQ(FFmpegOpt::assert_file_overwrite(&task, c.File.c_str()), c.Result);
    if (c.Message) {
      EXPECT_TRUE(Logged(c.Message)) << TMessages::Get().Joined();
    }
    task.Finput_files = nullptr;
    task.Fnb_input_files = 0;
  }
  EXPECT_TRUE(fs::exists(Path("exists.txt")));
}

// ---- Per-stream values ----

TEST_F(FFmpegOpt_, PerStreamValueAndMultipleMatchWarning) {
  TPlainTask task;
  TFakeInput input({AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO});
  AVFormatContext* fc = input.File()->ctx;

  TOptionsContext o;
  FFmpegOpt::init_options(&task, o);
  TOptionGroup g{};
  o.g = &g;
  ASSERT_GE(parse_option(&o, "c:v", "h264", task.FOptionDef), 0);
  ASSERT_GE(parse_option(&o, "codec:0", "mpeg4", task.FOptionDef), 0);
  ASSERT_GE(parse_option(&o, "ar", "44100", task.FOptionDef), 0);
  ASSERT_GE(parse_option(&o, "ar:a", "48000", task.FOptionDef), 0);

  // video: both codec entries match, the last wins with a warning naming every alias
  TMessages::Get().Clear();
  const char* codec = nullptr;
  EXPECT_EQ(FFmpegOpt::opt_match_per_stream_str(nullptr, o.codec_names, fc, fc->streams[0], codec),
            2);
  EXPECT_STREQ(codec, "mpeg4");
  EXPECT_TRUE(
      Logged("Multiple -codec/-c/-acodec/-vcodec/-scodec options specified for stream 0, only the "
             "last option '-codec:0 mpeg4' will be used."))
      << TMessages::Get().Joined();

  // audio: no codec entry matches (value untouched); two sample rates match
  TMessages::Get().Clear();
  codec = "unchanged";
  EXPECT_EQ(FFmpegOpt::opt_match_per_stream_str(nullptr, o.codec_names, fc, fc->streams[1], codec),
            0);
  EXPECT_STREQ(codec, "unchanged");
  int rate = 0;
  EXPECT_EQ(
      FFmpegOpt::opt_match_per_stream_int(nullptr, o.audio_sample_rate, fc, fc->streams[1], rate),
      2);
  EXPECT_EQ(rate, 48000);
  EXPECT_TRUE(
      Logged("Multiple -ar options specified for stream 1, only the last option '-ar:a 48000' will "
             "be used."))
      << TMessages::Get().Joined();

  // one match: no warning
  TMessages::Get().Clear();
  EXPECT_EQ(
      FFmpegOpt::opt_match_per_stream_int(nullptr, o.audio_sample_rate, fc, fc->streams[0], rate),
      1);
  EXPECT_EQ(rate, 44100);
  EXPECT_FALSE(Logged("Multiple"));

  // the value given for exactly one media letter
  EXPECT_STREQ(FFmpegOpt::opt_match_per_type_str(o.codec_names, 'v'), "h264");
  EXPECT_EQ(FFmpegOpt::opt_match_per_type_str(o.codec_names, 'a'), nullptr);
  FFmpegOpt::uninit_options(&task, o);
  EXPECT_EQ(o.codec_names.nb_opt, 0);
  FFmpegOpt::uninit_options(&task, o);  // released twice: nothing left to free
}

TEST_F(FFmpegOpt_, FindCodec) {
  TPlainTask task;
  const AVCodec* codec = nullptr;
  EXPECT_EQ(FFmpegOpt::find_codec(&task, nullptr, "mpeg4", AVMEDIA_TYPE_VIDEO, true, codec), 0);
  EXPECT_STREQ(codec->name, "mpeg4");
  // a codec's own name finds its decoder
  EXPECT_EQ(FFmpegOpt::find_codec(&task, nullptr, "mpeg1video", AVMEDIA_TYPE_VIDEO, false, codec),
            0);
  EXPECT_EQ(codec->id, AV_CODEC_ID_MPEG1VIDEO);
  codec = nullptr;
  EXPECT_EQ(FFmpegOpt::find_codec(&task, nullptr, "nosuchcodec", AVMEDIA_TYPE_VIDEO, true, codec),
            AVERROR_ENCODER_NOT_FOUND);
  EXPECT_EQ(codec, nullptr);
  EXPECT_TRUE(Logged("Unknown encoder 'nosuchcodec'"));
  EXPECT_EQ(FFmpegOpt::find_codec(&task, nullptr, "mp2", AVMEDIA_TYPE_VIDEO, true, codec),
            AVERROR(EINVAL));
  EXPECT_TRUE(Logged("Invalid encoder type 'mp2'"));
  task.Frecast_media = 1;
  EXPECT_EQ(FFmpegOpt::find_codec(&task, nullptr, "mp2", AVMEDIA_TYPE_VIDEO, true, codec), 0);
}

// ---- Handlers ----

class FFmpegOptHandlers : public FFmpegOpt_ {
 public:  // the table's observers reach in through a reference
  void SetUp() override {
    FFmpegOpt_::SetUp();
    if (HasFatalFailure()) return;
    FFmpegOpt::init_options(&FTask, FFile);
    FFile.g = &FGroup;
    FGlobal.av_class = get_options_context_class();
    FGlobal.Owner = &FTask;
  }
  void TearDown() override {
    FFmpegOpt::uninit_options(&FTask, FFile);
    uninit_opts(&FGlobal);
    for (int i = 0; i < FGlobal.nb_filtergraphs; i++)
      AVUtilStubs::av_freep(&FGlobal.filtergraphs[i]);
    AVUtilStubs::av_freep(&FGlobal.filtergraphs);
    AVUtilStubs::av_dict_free(&FGroup.codec_opts);
    AVUtilStubs::av_dict_free(&FGroup.format_opts);
    if (FTask.Fprogress_avio) AVFormatStubs::avio_closep(&FTask.Fprogress_avio);
    AVUtilStubs::av_freep(&FTask.Ffilter_nbthreads);
    FTask.Finput_files = nullptr;
    FTask.Fnb_input_files = 0;
    FFmpegOpt_::TearDown();
  }
  // Applies one option as the parser does: a per-file row to the file's context, any other
  // to the global one. The parser's result (a count of arguments taken, or an error).
  int Apply(const char* AOpt, const char* AArg) {
    const POptionDef po = find_option(FTask.FOptionDef, AOpt);
    void* ctx = (po->name && (po->flags & OPT_PERFILE)) ? static_cast<void*>(&FFile) : &FGlobal;
    return parse_option(ctx, AOpt, AArg, FTask.FOptionDef);
  }
  std::string CodecOpt(const char* AKey) const {
    const AVDictionaryEntry* e = AVUtilStubs::av_dict_get(FGroup.codec_opts, AKey, nullptr, 0);
    return e ? e->value : "(none)";
  }
  std::string FormatOpt(const char* AKey) const {
    const AVDictionaryEntry* e = AVUtilStubs::av_dict_get(FGroup.format_opts, AKey, nullptr, 0);
    return e ? e->value : "(none)";
  }
  // The last entry of a per-stream list as "specifier=value".
  static std::string Last(const TSpecifierOptList& AList) {
    if (!AList.nb_opt) return "(none)";
    const TSpecifierOpt& so = AList.opt[AList.nb_opt - 1];
    std::string value;
    switch (AList.type_) {
      case OPT_TYPE_STRING: value = so.u.str; break;
      case OPT_TYPE_INT: value = std::to_string(so.u.i); break;
      case OPT_TYPE_INT64: value = std::to_string(so.u.i64); break;
      case OPT_TYPE_DOUBLE: value = Platform::Format("%g", so.u.dbl); break;
      default: value = "?";
    }
    return std::string(so.specifier) + "=" + value;
  }
  void AddInput(TFakeInput& AInput) {
    FInputs.push_back(AInput.File());
    FTask.Finput_files = FInputs.data();
    FTask.Fnb_input_files = static_cast<int>(FInputs.size());
  }

  TPlainTask FTask;
  TOptionsContext FFile;
  TOptionGroup FGroup{};
  TGlobalOptionsContext FGlobal{};
  std::vector<TInputFile*> FInputs;
};

TEST_F(FFmpegOptHandlers, StoreAndRestateRows) {
  struct {
    const char* Opt;
    const char* Arg;
    int Result;
    std::string (*Observe)(FFmpegOptHandlers&);
    std::string Expected;
    const char* Message;
  } const cases[] = {
      {"stats_period", "0", AVERROR(EINVAL), nullptr, "", "stats_period 0 must be positive."},
      {"stats_period", "0.5", 1,
       [](FFmpegOptHandlers& t) { return std::to_string(t.FTask.Fstats_period.load()); }, "500000",
       "ffmpeg stats and -progress period set to 0.5."},
      {"b", "1000k", 1, [](FFmpegOptHandlers& t) { return t.CodecOpt("b:v"); }, "1000k",
       "Please use -b:a or -b:v, -b is ambiguous"},
      {"b:a", "64k", 1, [](FFmpegOptHandlers& t) { return t.CodecOpt("b:a"); }, "64k", nullptr},
      {"ab", "128k", 1, [](FFmpegOptHandlers& t) { return t.CodecOpt("b:a"); }, "128k", nullptr},
      {"qscale", "3", 1, [](FFmpegOptHandlers& t) { return Last(t.FFile.qscale); }, "v=3",
       "Please use -q:a or -q:v, -qscale is ambiguous"},
      {"qscale:a", "2", 1, [](FFmpegOptHandlers& t) { return Last(t.FFile.qscale); }, "a=2",
       nullptr},
      {"aq", "4", 1, [](FFmpegOptHandlers& t) { return Last(t.FFile.qscale); }, "a=4", nullptr},
      {"profile", "main", 1, [](FFmpegOptHandlers& t) { return t.CodecOpt("profile:v"); }, "main",
       "Please use -profile:a or -profile:v, -profile is ambiguous"},
      {"vtag", "xvid", 1, [](FFmpegOptHandlers& t) { return Last(t.FFile.codec_tags); }, "v=xvid",
       nullptr},
      {"atag", "0x55", 1, [](FFmpegOptHandlers& t) { return Last(t.FFile.codec_tags); }, "a=0x55",
       nullptr},
      {"vcodec", "mpeg4", 1, [](FFmpegOptHandlers& t) { return Last(t.FFile.codec_names); },
       "v=mpeg4", nullptr},
      {"dcodec", "copy", 1, [](FFmpegOptHandlers& t) { return Last(t.FFile.codec_names); },
       "d=copy", nullptr},
      {"vframes", "10", 1, [](FFmpegOptHandlers& t) { return Last(t.FFile.max_frames); }, "v=10",
       nullptr},
      {"af", "volume=2", 1, [](FFmpegOptHandlers& t) { return Last(t.FFile.filters); },
       "a=volume=2", nullptr},
      {"vsync", "cfr", 1,
       [](FFmpegOptHandlers& t) { return std::to_string(t.FTask.Fvideo_sync_method); }, "1",
       "-vsync is deprecated. Use -fps_mode"},
      {"vsync", "drop", 1,
       [](FFmpegOptHandlers& t) { return std::to_string(t.FTask.Fvideo_sync_method); }, "4",
       "-vsync/fps_mode drop is deprecated"},
      {"vsync", "2", 1,
       [](FFmpegOptHandlers& t) { return std::to_string(t.FTask.Fvideo_sync_method); }, "2",
       "Passing a number to -vsync is deprecated"},
      {"vsync", "7", AVERROR(EINVAL),
       [](FFmpegOptHandlers& t) { return std::to_string(t.FTask.Fvideo_sync_method); }, "2",
       "The value for vsync was 7 which is not within"},
      {"vsync", "bogus", AVERROR(EINVAL), nullptr, "",
       "Expected number for vsync but found: bogus"},
      {"streamid", "0:33", 1,
       [](FFmpegOptHandlers& t) {
         const AVDictionaryEntry* e = AVUtilStubs::av_dict_get(t.FFile.streamid, "0", nullptr, 0);
         return std::string(e ? e->value : "(none)");
       },
       "33", nullptr},
      {"streamid", "33", AVERROR(EINVAL), nullptr, "",
       "Invalid value '33' for option 'streamid', required syntax is 'index:value'"},
      {"timestamp", "2020-01-02 03:04:05", 1,
       [](FFmpegOptHandlers& t) {
         const std::string expected =
             "=creation_time=2020-01-02 03:04:05 " + MyUtils::GetTimeZoneAbbreviation();
         return Last(t.FFile.metadata) == expected ? std::string("ok") : Last(t.FFile.metadata);
       },
       "ok", "timestamp is deprecated, set the 'creation_time' metadata tag instead."},
      {"timecode", "01:00:00:00", 1,
       [](FFmpegOptHandlers& t) {
         return Last(t.FFile.metadata) + " " + t.CodecOpt("gop_timecode");
       },
       "g=timecode=01:00:00:00 01:00:00:00", nullptr},
      {"abort_on", "empty_output+empty_output_stream", 1,
       [](FFmpegOptHandlers& t) { return std::to_string(t.FTask.Fabort_on_flags); }, "3", nullptr},
      {"abort_on", "nonsense", AVERROR(EINVAL), nullptr, "", nullptr},
      {"filter_threads", "3", 1,
       [](FFmpegOptHandlers& t) { return std::string(t.FTask.Ffilter_nbthreads); }, "3", nullptr},
      {"memory", "12345", 1,
       [](FFmpegOptHandlers& t) { return std::to_string(t.FFile.memory_access); }, "12345",
       nullptr},
      {"adrift_threshold", "1", 1, nullptr, "",
       "Option -adrift_threshold is deprecated and has no effect"},
      {"attach", "cover.jpg", 1,
       [](FFmpegOptHandlers& t) {
         return t.FFile.nb_attachments ? std::string(t.FFile.attachments[0]) : "";
       },
       "cover.jpg", nullptr},
      {"hwaccels", nullptr, AVERROR_EXIT, nullptr, "", "Hardware acceleration methods:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Opt) + " " + (c.Arg ? c.Arg : ""));
    TMessages::Get().Clear();
    EXPECT_EQ(Apply(c.Opt, c.Arg), c.Result) << TMessages::Get().Joined();
    if (c.Observe) {
      EXPECT_EQ(c.Observe(*this), c.Expected);
    }
    if (c.Message) {
      EXPECT_TRUE(Logged(c.Message)) << TMessages::Get().Joined();
    }
  }
}

TEST_F(FFmpegOptHandlers, FpsModeValues) {
  struct {
    const char* Arg;
    bool Global;
    int Result, Value;
    const char* Message;
  } const cases[] = {
      {"drop", false, 0, 4, "-vsync/fps_mode drop is deprecated"},
      {"auto", false, 0, -1, nullptr},
      {"VFR", false, 0, 2, nullptr},
      {"passthrough", false, 0, 0, nullptr},
      {"1", false, AVERROR(EINVAL), 99, "Invalid value 1 specified for fps_mode of #0:1."},
      {"auto", true, AVERROR(EINVAL), -1, nullptr},  // the global form knows no "auto"
      {"0", true, 0, 0, "Passing a number to -vsync is deprecated"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Arg);
    TMessages::Get().Clear();
    int value = c.Global ? -1 : 99;
    EXPECT_EQ(FFmpegOpt::parse_and_set_vsync(&FTask, c.Arg, value, 0, 1, c.Global), c.Result);
    EXPECT_EQ(value, c.Value);
    if (c.Message) {
      EXPECT_TRUE(Logged(c.Message)) << TMessages::Get().Joined();
    }
  }
}

TEST_F(FFmpegOptHandlers, Map) {
  TFakeInput input({AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO});
  AddInput(input);
  struct {
    std::vector<const char*> Maps;  // applied in order; all but the last must succeed
    int Result;
    std::string Entries;  // "file:stream" per entry, "-" prefix when disabled, [label]
    const char* Message;
  } const cases[] = {
      {{"0"}, 0, "0:0 0:1", nullptr},
      {{"0:a"}, 0, "0:1", nullptr},
      {{"0:v:view:1"}, 0, "0:0(view 1)", nullptr},
      {{"0", "-0:a"}, 0, "0:0 -0:1", nullptr},
      {{"[out]"}, 0, "[out]", nullptr},
      {{"[out]", "-0:v"}, 0, "[out]", nullptr},  // a label entry has no stream to match
      {{"0:s?"}, 0, "", "Stream map '0:s?' matches no streams; ignoring."},
      {{"0:s"},
       AVERROR(EINVAL),
       "",
       "Stream map '0:s' matches no streams.\nTo ignore this, add a trailing '?'"},
      {{"1"}, AVERROR(EINVAL), "", "Invalid input file index: 1."},
      {{"-1:v"}, AVERROR(EINVAL), "", "Invalid input file index: 1."},
      {{"0:v:rest"}, AVERROR(EINVAL), "", "Trailing garbage after stream specifier: rest"},
      {{"0:#z"}, AVERROR(EINVAL), "", "Invalid stream specifier: :#z"},
      {{"0:v:view:x"}, AVERROR(EINVAL), "", "Invalid view ID: x"},
      {{"[]"}, AVERROR(EINVAL), "", "Invalid output link label: []."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Maps.back());
    TMessages::Get().Clear();
    FFmpegOpt::uninit_options(&FTask, FFile);
    FFmpegOpt::init_options(&FTask, FFile);
    FFile.g = &FGroup;
    for (std::size_t i = 0; i + 1 < c.Maps.size(); i++) ASSERT_EQ(Apply("map", c.Maps[i]), 1);
    const int ret = Apply("map", c.Maps.back());
    EXPECT_EQ(ret < 0 ? ret : 0, c.Result) << TMessages::Get().Joined();
    std::string entries;
    for (int i = 0; i < FFile.nb_stream_maps; i++) {
      const auto& m = FFile.stream_maps[i];
      if (!entries.empty()) entries += " ";
      if (m.linklabel)
        entries += std::string("[") + m.linklabel + "]";
      else
        entries += Platform::Format("%s%d:%d", m.disabled ? "-" : "", m.file_index, m.stream_index);
      if (m.vs.type_ == FFmpegHeader::VIEW_SPECIFIER_TYPE_ID)
        entries += Platform::Format("(view %u)", m.vs.val);
    }
    EXPECT_EQ(entries, c.Entries);
    if (c.Message) {
      EXPECT_TRUE(Logged(c.Message)) << TMessages::Get().Joined();
    }
  }

  // a stream the user discarded is only noted
  TMessages::Get().Clear();
  input.Stream(1).user_set_discard = AVDISCARD_ALL;
  EXPECT_EQ(Apply("map", "0:a"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged("Stream map '0:a' matches disabled streams.")) << TMessages::Get().Joined();
}

TEST_F(FFmpegOptHandlers, Target) {
  // the user's own bit rate survives the target's
  ASSERT_EQ(AVUtilStubs::av_dict_set(&FGroup.codec_opts, "b:v", "1M", 0), 0);
  ASSERT_EQ(Apply("target", "pal-dvd"), 1) << TMessages::Get().Joined();
  EXPECT_EQ(Last(FFile.codec_names), "a=ac3");
  EXPECT_STREQ(FFile.format, "dvd");
  EXPECT_EQ(Last(FFile.frame_sizes), "=720x576");
  EXPECT_EQ(Last(FFile.frame_rates), "=25");
  EXPECT_EQ(Last(FFile.audio_sample_rate), "=48000");
  EXPECT_EQ(CodecOpt("b:v"), "1M");
  EXPECT_EQ(CodecOpt("maxrate:v"), "9000000");
  EXPECT_EQ(CodecOpt("g"), "15");
  EXPECT_EQ(FormatOpt("muxrate"), "10080000");

  FFmpegOpt::uninit_options(&FTask, FFile);
  FFmpegOpt::init_options(&FTask, FFile);
  FFile.g = &FGroup;
  ASSERT_EQ(Apply("target", "ntsc-vcd"), 1);
  EXPECT_EQ(Last(FFile.frame_sizes), "=352x240");
  EXPECT_EQ(Last(FFile.frame_rates), "=30000/1001");
  EXPECT_FLOAT_EQ(FFile.mux_preload, 0.44f);

  // an unknown target, or no norm to be found, fails instead of converting without it
  TMessages::Get().Clear();
  EXPECT_EQ(Apply("target", "pal-xyz"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged("Unknown target: xyz"));
  TMessages::Get().Clear();
  EXPECT_EQ(Apply("target", "xyz"), AVERROR(EINVAL));
  EXPECT_TRUE(Logged("Could not determine norm (PAL/NTSC/NTSC-Film) for target."));
  EXPECT_TRUE(Logged("or set a framerate with '-r xxx'."));

  // the norm guessed from a 25 fps input
  TFakeInput input({AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_VIDEO}, {1, 25});
  AddInput(input);
  FFmpegOpt::uninit_options(&FTask, FFile);
  FFmpegOpt::init_options(&FTask, FFile);
  FFile.g = &FGroup;
  TMessages::Get().Clear();
  ASSERT_EQ(Apply("target", "dv"), 1);
  EXPECT_TRUE(Logged("Assuming PAL for target."));
  EXPECT_EQ(Last(FFile.frame_pix_fmts), "=yuv420p");
}

TEST_F(FFmpegOptHandlers, PresetFile) {
  WriteText("good.ffpreset", "# a comment\n\ng=12\r\nb=200k\nvcodec=mpeg4\n");
  WriteText("bad.ffpreset", "g=12\nno value here\nb=1\n");
  WriteText("unknown.ffpreset", "nosuchoption=1\n");
  ASSERT_EQ(Apply("fpre", Path("good.ffpreset").c_str()), 1) << TMessages::Get().Joined();
  EXPECT_EQ(CodecOpt("g"), "12");
  EXPECT_EQ(CodecOpt("b"), "200k");
  EXPECT_EQ(Last(FFile.codec_names), "v=mpeg4");

  TMessages::Get().Clear();
  EXPECT_EQ(Apply("fpre", Path("bad.ffpreset").c_str()), AVERROR(EINVAL));
  EXPECT_TRUE(Logged(": Invalid syntax: 'no value here'")) << TMessages::Get().Joined();
  TMessages::Get().Clear();
  EXPECT_EQ(Apply("fpre", Path("unknown.ffpreset").c_str()), AVERROR(EINVAL));
  EXPECT_TRUE(
      Logged("Invalid option or argument: 'nosuchoption=1', parsed as 'nosuchoption' = '1'"))
      << TMessages::Get().Joined();
  TMessages::Get().Clear();
  EXPECT_EQ(Apply("fpre", Path("none.ffpreset").c_str()), AVERROR(ENOENT));
  EXPECT_TRUE(Logged("File for preset '" + Path("none.ffpreset") + "' not found"));
}

TEST_F(FFmpegOptHandlers, ProgressTarget) {
  // "-" is the standard output
  ASSERT_EQ(Apply("progress", "-"), 1) << TMessages::Get().Joined();
  ASSERT_NE(FTask.Fprogress_avio, nullptr);
  EXPECT_NE(FTask.FLastWrite.load(), 0);
  // a file: a second -progress replaces the first target
  ASSERT_EQ(Apply("progress", Path("progress.txt").c_str()), 1);
  EXPECT_TRUE(fs::exists(Path("progress.txt")));
  TMessages::Get().Clear();
  EXPECT_LT(Apply("progress", Path("no/such/dir/p.txt").c_str()), 0);
  EXPECT_TRUE(Logged("Failed to open progress URL")) << TMessages::Get().Joined();
}

TEST_F(FFmpegOptHandlers, FilterGraphsFromFiles) {
  WriteText("graph.txt", "testsrc2=d=1,format=yuv420p");
  ASSERT_EQ(Apply("filter_complex", "anullsrc"), 1);
  ASSERT_EQ(Apply("filter_complex_script", Path("graph.txt").c_str()), 1);
  EXPECT_TRUE(Logged("-filter_complex_script is deprecated, use -/filter_complex " +
                     Path("graph.txt") + " instead"));
  ASSERT_EQ(Apply("/filter_complex", Path("graph.txt").c_str()), 1);
  ASSERT_EQ(FGlobal.nb_filtergraphs, 3);
  EXPECT_STREQ(FGlobal.filtergraphs[0], "anullsrc");
  EXPECT_STREQ(FGlobal.filtergraphs[1], "testsrc2=d=1,format=yuv420p");
  EXPECT_STREQ(FGlobal.filtergraphs[2], "testsrc2=d=1,format=yuv420p");
  EXPECT_EQ(Apply("filter_complex_script", Path("missing.txt").c_str()), AVERROR(EINVAL));
  EXPECT_EQ(Apply("/filter_complex", Path("missing.txt").c_str()), AVERROR(EINVAL));
  EXPECT_EQ(FGlobal.nb_filtergraphs, 3);
}

TEST_F(FFmpegOpt_, VideoHookBitsPixel) {
  FFmpeg::TCustomFFmpeg task;
  TGlobalOptionsContext go{};
  go.av_class = get_options_context_class();
  go.Owner = &task;
  EXPECT_EQ(parse_option(&go, "VideoHookBitsPixel", "24", task.FOptionDef), 1);
  EXPECT_EQ(task.VideoHookBitsPixel(), 24);
  // a bad value is reported and the parse goes on with the old one
  const struct {
    const char* Value;
    const char* Message;
  } bad[] = {{"12", "Invalid BitsPixel 12"}, {"abc", "'abc' is not a valid integer value"}};
  for (const auto& c : bad) {
    SCOPED_TRACE(c.Value);
    TMessages::Get().Clear();
    EXPECT_EQ(parse_option(&go, "VideoHookBitsPixel", c.Value, task.FOptionDef), 1);
    EXPECT_EQ(task.VideoHookBitsPixel(), 24);
    EXPECT_TRUE(Logged(c.Message)) << TMessages::Get().Joined();
  }
  uninit_opts(&go);
}

// ---- Faults a host meets ----

// A scaler flag text that does not evaluate fails the parse with the library's reason; the
// library logs it against a real scaler context (its log line reads through the object).
TEST_F(FFmpegOpt_, AnInvalidScalerFlagTextFailsTheParse) {
  const struct {
    const char* Flags;
    bool Ok;
  } cases[] = {
      {"bicubc", false},
      {"bicubic+nonsense", false},
      {"+", false},
      {"lanczos+accurate_rnd", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Flags);
    TMessages::Get().Clear();
    const std::string out = Path("sws.mkv");
    FFmpeg::TCustomFFmpeg task;
    const int ret = task.ParseOptions(std::string("-sws_flags ") + c.Flags +
                                      " -f lavfi -i testsrc2=d=0.1:s=64x48 -c:v mpeg4 -y \"" +
                                      out + "\"");
    if (c.Ok) {
      EXPECT_EQ(ret, 0) << task.LastErrMsg();
      continue;
    }
    EXPECT_LT(ret, 0);
    EXPECT_TRUE(Logged("Unable to parse \"sws_flags\" option value")) << TMessages::Get().Joined();
    EXPECT_TRUE(Logged("av_opt_eval_flags() failed")) << TMessages::Get().Joined();
    EXPECT_TRUE(Logged(std::string("Error parsing option 'sws_flags' with argument '") + c.Flags +
                       "'."))
        << TMessages::Get().Joined();
    EXPECT_FALSE(fs::exists(out));
  }
}

// The overwrite guard knows a local input however the output names it: by another path,
// through links, with the protocol prefix. The input stays as it was.
TEST_F(FFmpegOpt_, AnInputReachedByAnotherPathIsNotOverwritten) {
  ASSERT_EQ(MediaBuilder::WriteMedia(Path("in.mkv"), "matroska", "v"), 0);
  fs::create_directories(Path("sub"));
  fs::create_symlink(Path("in.mkv"), Path("soft.mkv"));
  fs::create_hard_link(Path("in.mkv"), Path("hard.mkv"));
  const auto size = fs::file_size(Path("in.mkv"));
  const auto stamp = fs::last_write_time(Path("in.mkv"));
  const struct {
    std::string Input, Output;
  } cases[] = {
      {Path("in.mkv"), (FDir / "." / "in.mkv").string()},
      {Path("in.mkv"), (FDir / "sub" / ".." / "in.mkv").string()},
      {Path("in.mkv"), Path("soft.mkv")},
      {Path("in.mkv"), Path("hard.mkv")},
      {Path("in.mkv"), "file:" + Path("in.mkv")},
      {"file:" + Path("in.mkv"), Path("in.mkv")},
      {Path("soft.mkv"), Path("in.mkv")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Input + " -> " + c.Output);
    TMessages::Get().Clear();
    FFmpeg::TCustomFFmpeg task;
    EXPECT_EQ(task.ParseOptions("-y -i \"" + c.Input + "\" -c copy \"" + c.Output + "\""),
              AVERROR(EINVAL));
    EXPECT_TRUE(Logged("same as Input #0 - exiting")) << TMessages::Get().Joined();
    EXPECT_TRUE(Logged("Cannot edit existing files in-place."));
  }
  EXPECT_EQ(fs::file_size(Path("in.mkv")), size);
  EXPECT_EQ(fs::last_write_time(Path("in.mkv")), stamp);

  // another file, or one that does not exist yet, is written
  for (const std::string& other : {Path("copy.mkv"), (FDir / "sub" / "copy.mkv").string()}) {
    SCOPED_TRACE(other);
    FFmpeg::TCustomFFmpeg task;
    EXPECT_EQ(task.ParseOptions("-y -i \"" + Path("in.mkv") + "\" -c copy \"" + other + "\""), 0)
        << task.LastErrMsg();
  }
}

// A refused second ParseOptions replaces the argument block the first one parsed from; the
// output file of the first keeps its own name, which the run then reports. The name must
// be the output's own copy, not a pointer into the task's argument block (read through the
// task's record): a name left in the block is read after the block is freed, which
// AddressSanitizer reports (scripts/build.sh --asan) while a plain build may still find
// the old bytes there.
TEST_F(FFmpegOpt_, ARefusedSecondParseLeavesTheOutputItsName) {
  const std::string first = Path("first.mkv");
  FFmpeg::TCustomFFmpeg task;
  ASSERT_EQ(task.ParseOptions("-f lavfi -i testsrc2=d=0.2:s=64x48 -c:v mpeg4 -y \"" + first + "\""),
            0)
      << task.LastErrMsg();
  ASSERT_EQ(task.Fnb_output_files, 1);
  {
    // the block: argc + 1 pointers, then the arguments one after another
    char** argv = task.FCmdLineBuf;
    ASSERT_NE(argv, nullptr);
    int argc = 0;
    while (argv[argc]) argc++;
    ASSERT_GT(argc, 0);
    const char* begin = reinterpret_cast<const char*>(argv);
    const char* end = argv[argc - 1] + std::strlen(argv[argc - 1]) + 1;
    const char* url = task.Foutput_files[0]->url;
    ASSERT_NE(url, nullptr);
    EXPECT_FALSE(url >= begin && url < end) << "the output's name lies in the argument block";
  }
  EXPECT_LT(task.ParseOptions("-f lavfi -i testsrc2=d=0.2:s=64x48 -c:v mpeg4 -y \"" +
                              Path("second_output_with_a_longer_name.mkv") + "\""),
            0);
  ASSERT_EQ(task.Fnb_output_files, 1);
  EXPECT_STREQ(task.Foutput_files[0]->url, first.c_str());
  TMessages::Get().Clear();
  task.Start(false);
  EXPECT_FALSE(task.HasError()) << task.ErrorText();
  EXPECT_TRUE(Logged("Output file #0 (" + first + "):")) << TMessages::Get().Joined();
  EXPECT_TRUE(fs::exists(first));
}

// A decoder that fails to open takes its scheduler node with it: a host that starts the
// refused task anyway gets the failure, and nothing runs or logs through the freed decoder.
// The scheduler that the refused parse leaves is read through its internal record: the
// start stops at the unconnected demuxer stream before it looks at decoders, so only the
// node count shows a node left behind.
TEST_F(FFmpegOpt_, ADecoderThatFailsToOpenLeavesNoNodeBehind) {
  ASSERT_EQ(MediaBuilder::WriteMedia(Path("in.mkv"), "matroska", "v"), 0);
  FFmpeg::TCustomFFmpeg task;
  EXPECT_LT(task.ParseOptions("-skip_frame:v nonsense -i \"" + Path("in.mkv") +
                              "\" -c:v mpeg4 -y \"" + Path("out.mkv") + "\""),
            0);
  EXPECT_TRUE(Logged("Error applying decoder options")) << TMessages::Get().Joined();
  ASSERT_NE(task.Fsch, nullptr);
  EXPECT_EQ(task.Fsch->nb_dec, 0u);  // the only decoder failed to open
  TMessages::Get().Clear();
  task.Start(false);
  EXPECT_TRUE(task.HasError());
  EXPECT_FALSE(Logged("Decoder not connected to a source")) << TMessages::Get().Joined();
}

}  // namespace
