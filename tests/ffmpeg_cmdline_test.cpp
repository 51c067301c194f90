// Command lines as the converter takes them: input options that reach the demuxer, the
// options that scripts use everywhere, what an error or an information option leaves in
// the log, and paths that only whole command lines reach (two-pass encoding, -debug_ts,
// DVB subtitles with a heartbeat, -abort_on, damaged inputs). Each row is a command line
// over inputs made at test time and what its output must show when read back through the
// bound libraries; the answers are those of the libraries' and the converter's
// documentation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "LoaderTestSupport.h"
#include "LogRecorder.h"
#include "MediaBuilder.h"
#include "MediaProbe.h"
#include "TempFolder.h"
#include "Watchdog.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegDemux.h"
#include "engine/FFmpegDemuxInternal.h"
#include "runtime/FFLoad.h"

namespace {

namespace fs = std::filesystem;
using MediaProbe::TProbe;
using MediaProbe::TProbedStream;
using TMessages = LogRecorder::TLogRecorder;

constexpr AVMediaType V = AVMEDIA_TYPE_VIDEO;
constexpr AVMediaType A = AVMEDIA_TYPE_AUDIO;
constexpr AVMediaType S = AVMEDIA_TYPE_SUBTITLE;
constexpr double CTol = 0.05;  // seconds

// The folder of the inputs; "@name" in a command line is a file in it.
std::string GDir;

std::string At(const std::string& AName) { return GDir + "/" + AName; }

std::string Expand(const std::string& ALine) {
  std::string out;
  for (const char c : ALine) out += c == '@' ? GDir + "/" : std::string(1, c);
  return out;
}

TProbe P(const std::string& AName, bool ADecode = false) {
  return MediaProbe::ProbeFile(At(AName), ADecode);
}

std::string ReadText(const std::string& AName) {
  std::ifstream f(At(AName), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// The outcome of one command line.
struct TRun {
  int Parse = 0;        // ParseOptions' result
  bool Failed = false;  // the job ran and failed
  std::string Error;    // LastErrMsg or the job's error text
};

// Parses ALine ("@" expanded) and, when that succeeds, runs it on this thread.
TRun RunLine(const std::string& ALine) {
  TRun r;
  FFmpeg::TCustomFFmpeg task;
  r.Parse = task.ParseOptions(Expand(ALine));
  if (r.Parse < 0) {
    r.Error = task.LastErrMsg();
    return r;
  }
  task.Start(false);
  r.Failed = task.HasError();
  if (r.Failed) r.Error = task.ErrorText();
  return r;
}

// The log lines at error level or worse (message-only lines, such as a listing, have no
// level of their own and do not count).
std::vector<std::string> ErrorLines() {
  std::vector<std::string> lines;
  for (const LogRecorder::TRecord& r : TMessages::Get().Records())
    if (r.Level >= FFLoad::llPanic && r.Level <= FFLoad::llError) lines.push_back(r.Msg);
  return lines;
}

// How many log lines contain AText.
int CountLines(const std::string& AText) {
  int n = 0;
  for (const std::string& t : TMessages::Get().Texts())
    if (t.find(AText) != std::string::npos) n++;
  return n;
}

class CmdLineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries)) return;
    GDir = TempFolder::MakeDir("ostrevan_cmdline");
    if (GDir.empty()) return;
    // 1 s of a 440 Hz tone, stereo at 48 kHz, as bare samples; the same bytes under the
    // raw demuxer's own extension
    bool ok = RunLine("-y -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -ac 2 "
                      "-c:a pcm_s16le -f s16le @st48.pcm")
                  .Parse >= 0 &&
              fs::file_size(At("st48.pcm")) == 192000;
    std::error_code ec;
    ok = ok && fs::copy_file(At("st48.pcm"), At("st48.sw"), ec);
    // 10 pictures of 64x48 in planar 4:4:4 as bare bytes, and the same pictures kept
    // losslessly for their checksums
    ok = ok && RunLine("-y -f lavfi -i testsrc2=size=64x48:rate=25:duration=0.4 -pix_fmt yuv444p "
                       "-f rawvideo @p444.yuv")
                       .Parse >= 0;
    ok = ok && RunLine("-y -f lavfi -i testsrc2=size=64x48:rate=25:duration=0.4 -pix_fmt yuv444p "
                       "-c:v ffv1 @ref444.mkv")
                       .Parse >= 0;
    MediaBuilder::TMediaSpec spec;
    spec.Streams = "v";
    spec.Duration = 1.0;
    ok = ok && MediaBuilder::WriteMedia(At("v1.nut"), "nut", spec) == 0;
    spec.Streams = "va";
    ok = ok && MediaBuilder::WriteMedia(At("va.nut"), "nut", spec) == 0;
    if (!ok) GDir.clear();
  }
  static void TearDownTestSuite() {
    if (!GDir.empty()) (void)std::system(("rm -rf '" + GDir + "'").c_str());
  }

  void SetUp() override {
    ASSERT_FALSE(GDir.empty()) << "the inputs could not be made";
    FSettings = new LoaderTestSupport::TLogWorkerSettings;
    FFLoad::TFFLogWorker* w = FFLoad::VEDovedo;
    w->SetSynchronous(true);
    w->SetTriggerEventInMainThread(false);
    w->SetLogLevel(FFLoad::llVerbose);
    w->SetLogFlags(0);  // no folding of repeated lines
    w->SetOnLog(TMessages::Get().Event());
    w->SetActive(true);
    w->InstallAVLogCallback();
    TMessages::Get().Clear();
  }
  void TearDown() override {
    FSettings->Restore();
    delete FSettings;
  }

 private:
  LoaderTestSupport::TLogWorkerSettings* FSettings = nullptr;
};

struct TRow {
  const char* Name;
  std::string Line;
  std::function<void()> Check;
};

void ExpectAudio(const TProbedStream* AStream, int ARate, int AChannels, std::int64_t ASamples) {
  ASSERT_TRUE(AStream);
  EXPECT_EQ(AStream->SampleRate, ARate);
  EXPECT_EQ(AStream->Channels, AChannels);
  EXPECT_EQ(AStream->Samples, ASamples);
}

// ---- Input options that reach the demuxer ------------------------------------------------

TEST_F(CmdLineTest, InputOptionsReachTheDemuxer) {
  const TProbe ref = P("ref444.mkv", true);
  ASSERT_TRUE(ref.Find(V));
  ASSERT_EQ(ref.Find(V)->FrameSums.size(), 10u);
  const std::vector<std::uint32_t> pictures = ref.Find(V)->FrameSums;
  const auto same_pictures = [pictures](const TProbe& p, double ADuration) {
    const TProbedStream* v = p.Find(V);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->Width, 64);
    EXPECT_EQ(v->Height, 48);
    EXPECT_EQ(v->PixelFormat, "yuv444p");
    EXPECT_EQ(v->FrameSums, pictures);
    EXPECT_NEAR(v->Duration(), ADuration, CTol);
  };
  const std::vector<TRow> rows = {
      {"the last -ar wins; no channel count: the raw demuxer's mono, twice as long",
       "-ar 44100 -f s16le -ar 48000 -i @st48.pcm -c:a pcm_s16le @o.wav",
       [] { ExpectAudio(P("o.wav", true).Find(A), 48000, 1, 96000); }},
      {"-ac 2 reaches the raw demuxer: stereo, 1 s",
       "-f s16le -ar 48000 -ac 2 -i @st48.pcm -c:a pcm_s16le @o.wav",
       [] { ExpectAudio(P("o.wav", true).Find(A), 48000, 2, 48000); }},
      {"the last -ac wins", "-f s16le -ar 48000 -ac 1 -ac 2 -i @st48.pcm -c:a pcm_s16le @o.wav",
       [] { ExpectAudio(P("o.wav", true).Find(A), 48000, 2, 48000); }},
      {"the last -ch_layout wins",
       "-f s16le -ar 48000 -ch_layout quad -ch_layout stereo -i @st48.pcm -c:a pcm_s16le @o.wav",
       [] { ExpectAudio(P("o.wav", true).Find(A), 48000, 2, 48000); }},
      {"read with -ac 2 and written as VOC, the file reads back as stereo",
       "-f s16le -ar 48000 -ac 2 -i @st48.pcm -c:a pcm_s16le @o.voc",
       [] { ExpectAudio(P("o.voc", true).Find(A), 48000, 2, 48000); }},
      {"format from the extension: the sample rate reaches the demuxer, the count does not",
       "-ar 48000 -ac 2 -i @st48.sw -c:a pcm_s16le @o.wav",
       [] { ExpectAudio(P("o.wav", true).Find(A), 48000, 1, 96000); }},
      {"format from the extension: -s and -pix_fmt reach the raw video demuxer",
       "-s 64x48 -pix_fmt yuv444p -i @p444.yuv -c:v ffv1 @o.mkv",
       [same_pictures] { same_pictures(P("o.mkv", true), 0.4); }},
      {"the last -s and -pix_fmt win",
       "-s 32x24 -pix_fmt gray -f rawvideo -s 64x48 -pix_fmt yuv444p -i @p444.yuv -c:v ffv1 "
       "@o.mkv",
       [same_pictures] { same_pictures(P("o.mkv", true), 0.4); }},
      {"the last -r wins: 10 pictures at 5 fps last 2 s",
       "-f rawvideo -r 10 -r 5 -s 64x48 -pix_fmt yuv444p -i @p444.yuv -c:v ffv1 @o.mkv",
       [same_pictures] { same_pictures(P("o.mkv", true), 2.0); }},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TMessages::Get().Clear();
    std::error_code ec;
    for (const char* name : {"o.wav", "o.voc", "o.mkv"}) fs::remove(At(name), ec);
    const TRun r = RunLine("-y " + row.Line);
    ASSERT_GE(r.Parse, 0) << r.Error << "\n" << TMessages::Get().Joined();
    ASSERT_FALSE(r.Failed) << r.Error;
    row.Check();
  }
}

// A probe that fails is no reason to give an input up while the input has streams; an
// input without any stream fails to open.
TEST_F(CmdLineTest, AFailedProbeFailsOnlyAnInputWithoutStreams) {
  // no start code anywhere: the probe of the one stream ends with an error
  std::ofstream(At("x.h264"), std::ios::binary) << std::string(5000, 'x');
  std::ofstream(At("empty.ts"), std::ios::binary);
  const std::string second =
      " -f lavfi -i testsrc2=size=64x48:rate=25:duration=0.2 -map 1:v -c:v mpeg4 @o.nut";
  TRun r = RunLine("-y -f h264 -i @x.h264" + second);
  ASSERT_GE(r.Parse, 0) << r.Error << "\n" << TMessages::Get().Joined();
  EXPECT_FALSE(r.Failed) << r.Error;
  EXPECT_EQ(CountLines("could not find codec parameters"), 1) << TMessages::Get().Joined();
  const TProbe p = P("o.nut");
  ASSERT_TRUE(p.Find(V));
  EXPECT_EQ(p.Find(V)->Packets(), 5u);

  TMessages::Get().Clear();
  r = RunLine("-y -f mpegts -i @empty.ts" + second);
  EXPECT_LT(r.Parse, 0);
  EXPECT_EQ(CountLines("could not find codec parameters"), 1) << TMessages::Get().Joined();
  EXPECT_EQ(CountLines("Error opening input file " + At("empty.ts")), 1)
      << TMessages::Get().Joined();
}

// -readrate_initial_burst 0 is no burst at all; without the option the burst is 0.5 s.
TEST_F(CmdLineTest, ReadRateInitialBurstZeroMeansNone) {
  struct {
    const char* Options;
    double Burst;
    bool Ignored;  // the "ignored" warning
  } const rows[] = {
      {"-readrate 1 ", 0.5, false},
      {"-readrate 1 -readrate_initial_burst 0 ", 0.0, false},
      {"-readrate 1 -readrate_initial_burst 2 ", 2.0, false},
      {"-re -readrate_initial_burst 0 ", 0.0, false},
      {"-readrate_initial_burst 0 ", -1.0, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Options);
    TMessages::Get().Clear();
    FFmpeg::TCustomFFmpeg task;
    ASSERT_GE(task.ParseOptions(Expand(std::string(row.Options) + "-i @v1.nut -c copy -f null -")), 0)
        << task.LastErrMsg();
    const FFmpegDemux::TDemux* d = FFmpegDemux::demux_from_ifile(task.Finput_files[0]);
    if (row.Burst >= 0) {
      EXPECT_EQ(d->readrate_initial_burst, row.Burst);
    }
    EXPECT_EQ(CountLines("Option -readrate_initial_burst ignored since neither -readrate nor -re "
                         "were given"),
              row.Ignored ? 1 : 0)
        << TMessages::Get().Joined();
  }
}

// ---- Options of every script, and what the log shows ----------------------------------------

TEST_F(CmdLineTest, ConverterOptionsAndTheirReports) {
  struct {
    const char* Name;
    std::string Line;
    int Result;
    int Errors;                       // error lines that name the option
    std::vector<std::string> Absent;  // lines that must not appear
    std::function<void(FFmpeg::TCustomFFmpeg&)> Check;
  } const rows[] = {
      {"-hide_banner -nostdin", "-hide_banner -nostdin -i @v1.nut -c copy -f null -", 0, 0, {},
       [](FFmpeg::TCustomFFmpeg& t) {
         EXPECT_EQ(t.Fhide_banner, 1);
         EXPECT_EQ(t.Fstdin_interaction, 0);
       }},
      {"-stdin", "-stdin -i @v1.nut -c copy -f null -", 0, 0, {},
       [](FFmpeg::TCustomFFmpeg& t) { EXPECT_EQ(t.Fstdin_interaction, 1); }},
      {"-nostats", "-nostats -i @v1.nut -c copy -f null -", 0, 0, {"not found"},
       [](FFmpeg::TCustomFFmpeg& t) { EXPECT_EQ(t.Fprint_stats, 0); }},
      {"-noauto_conversion_filters", "-noauto_conversion_filters -i @v1.nut -c copy -f null -", 0,
       0, {"not found"},
       [](FFmpeg::TCustomFFmpeg& t) { EXPECT_EQ(t.Fauto_conversion_filters, 0); }},
      {"an unknown option", "-nosuchoption 1 -i @v1.nut -c copy -f null -",
       AVERROR_OPTION_NOT_FOUND, 1, {"Option 'nosuchoption' not found"}, nullptr},
      {"-no before an option that takes a value",
       "-nor 25 -i @v1.nut -c copy -f null -", AVERROR_OPTION_NOT_FOUND, 1, {}, nullptr},
      {"-benchmark", "-benchmark -i @v1.nut -c copy -f null -", AVERROR_OPTION_NOT_FOUND, 1, {},
       nullptr},
      {"-benchmark_all", "-benchmark_all -i @v1.nut -c copy -f null -", AVERROR_OPTION_NOT_FOUND,
       1, {}, nullptr},
      {"-timelimit", "-timelimit 10 -i @v1.nut -c copy -f null -", AVERROR_OPTION_NOT_FOUND, 1, {},
       nullptr},
      {"-print_graphs", "-print_graphs -i @v1.nut -c copy -f null -", AVERROR_OPTION_NOT_FOUND, 1,
       {}, nullptr},
      {"-buildconf", "-buildconf", AVERROR_OPTION_NOT_FOUND, 1, {}, nullptr},
      {"-license", "-license", AVERROR_OPTION_NOT_FOUND, 1, {}, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TMessages::Get().Clear();
    FFmpeg::TCustomFFmpeg task;
    EXPECT_EQ(task.ParseOptions(Expand(row.Line)), row.Result) << TMessages::Get().Joined();
    // the option as typed, without its dash
    const std::string opt = row.Line.substr(1, row.Line.find(' ') - 1);
    int naming = 0;
    for (const std::string& l : ErrorLines())
      if (l.find("'" + opt + "'") != std::string::npos) naming++;
    EXPECT_EQ(naming, row.Errors) << TMessages::Get().Joined();
    if (row.Errors) {
      EXPECT_EQ(CountLines("Unrecognized option '" + opt + "'"), 1) << TMessages::Get().Joined();
    } else {
      EXPECT_TRUE(ErrorLines().empty()) << TMessages::Get().Joined();
    }
    for (const std::string& text : row.Absent)
      EXPECT_EQ(CountLines(text), 0) << text << "\n" << TMessages::Get().Joined();
    if (row.Check) row.Check(task);
  }
}

// An information option ends the parse as asked: its listing, no error line.
TEST_F(CmdLineTest, InformationOptionsEndWithoutAnErrorLine) {
  struct {
    const char* Line;
    const char* Shown;
  } const rows[] = {
      {"-version", "libavcodec"},
      {"-h", "Getting help:"},
      {"-formats", "Formats:"},
      {"-encoders", "Encoders:"},
      {"-hide_banner -pix_fmts", "Pixel formats:"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Line);
    TMessages::Get().Clear();
    FFmpeg::TCustomFFmpeg task;
    EXPECT_EQ(task.ParseOptions(row.Line), AVERROR_EXIT);
    EXPECT_TRUE(TMessages::Get().Contains(row.Shown)) << TMessages::Get().Joined();
    EXPECT_TRUE(ErrorLines().empty()) << TMessages::Get().Joined();
    EXPECT_EQ(CountLines("Immediate exit requested"), 0) << TMessages::Get().Joined();
  }
}

// ---- Paths that only whole command lines reach -------------------------------------------------

// Two-pass encoding: the first pass writes the rate-control statistics to PREFIX-0.log,
// the second reads them and meets the requested bitrate that a single pass overshoots.
TEST_F(CmdLineTest, TwoPassEncodingReadsTheFirstPassLog) {
  const std::string source =
      "-y -f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -c:v mpeg4 -b:v 200k ";
  TRun r = RunLine(source + "-pass 1 -passlogfile @tp -f null -");
  ASSERT_GE(r.Parse, 0) << r.Error;
  ASSERT_FALSE(r.Failed) << r.Error;
  const std::string stats = ReadText("tp-0.log");
  EXPECT_EQ(stats.rfind("in:0 out:0 type:1 ", 0), 0u) << stats.substr(0, 80);
  // one line of statistics per picture
  EXPECT_EQ(std::count(stats.begin(), stats.end(), ';'), 50);

  r = RunLine(source + "-pass 2 -passlogfile @tp @pass2.nut");
  ASSERT_GE(r.Parse, 0) << r.Error;
  ASSERT_FALSE(r.Failed) << r.Error;
  r = RunLine(source + "@one.nut");
  ASSERT_GE(r.Parse, 0) << r.Error;
  ASSERT_FALSE(r.Failed) << r.Error;

  const TProbe two = P("pass2.nut", true), one = P("one.nut", true);
  ASSERT_TRUE(two.Find(V) && one.Find(V));
  EXPECT_EQ(two.Find(V)->FrameSums.size(), 50u);
  EXPECT_NE(two.Find(V)->FrameSums, one.Find(V)->FrameSums);
  // 200 kbit/s over 2 s are 50000 bytes
  const double wanted = 50000;
  EXPECT_NEAR(double(fs::file_size(At("pass2.nut"))), wanted, 0.15 * wanted);
  EXPECT_GT(std::fabs(double(fs::file_size(At("one.nut"))) - wanted),
            std::fabs(double(fs::file_size(At("pass2.nut"))) - wanted));

  // without the first pass's log the second pass cannot start
  TMessages::Get().Clear();
  r = RunLine(source + "-pass 2 -passlogfile @nolog @pass2b.nut");
  EXPECT_LT(r.Parse, 0);
  EXPECT_TRUE(TMessages::Get().Contains("Error reading log file '" + At("nolog") +
                                        "-0.log' for pass-2 encoding"))
      << TMessages::Get().Joined();
}

// -debug_ts: every packet and frame is reported at each stage with its timestamps.
TEST_F(CmdLineTest, DebugTsReportsEveryStage) {
  const TRun r = RunLine("-y -debug_ts -i @v1.nut -c:v mpeg4 -f null -");
  ASSERT_GE(r.Parse, 0) << r.Error;
  ASSERT_FALSE(r.Failed) << r.Error;
  for (const char* stage :
       {"demuxer -> ist_index:0:0 type:video ", "demuxer+tsfixup -> ist_index:0:0 type:video ",
        "demuxer+ffmpeg -> ist_index:0:0 type:video ", "decoder -> pts:", "filter_raw -> pts:",
        "filter -> pts:", "encoder <- type:video frame_pts:", "encoder -> type:video pkt_pts:",
        "muxer <- pts:"}) {
    SCOPED_TRACE(stage);
    EXPECT_EQ(CountLines(stage), 25) << TMessages::Get().Joined();
  }
  // the eleventh picture, 0.4 s in, in the encoder's time base of 1/25
  for (const char* line :
       {" pkt_pts_time:0.4 ", "encoder <- type:video frame_pts:10 frame_pts_time:0.4 time_base:1/25",
        "encoder -> type:video pkt_pts:10 pkt_pts_time:0.4 pkt_dts:10 pkt_dts_time:0.4 "
        "duration:1 duration_time:0.04",
        "muxer <- pts:10 pts_time:0.4 dts:10 dts_time:0.4 duration:1 duration_time:0.04 size:"}) {
    SCOPED_TRACE(line);
    EXPECT_TRUE(TMessages::Get().Contains(line)) << TMessages::Get().Joined();
  }
}

// -abort_on empty_output_stream fails a job when one of its output streams got no packet;
// without it such a stream is only empty.
TEST_F(CmdLineTest, AbortOnEmptyOutputStream) {
  struct {
    const char* Name;
    const char* Options;
    bool Fails;
  } const rows[] = {
      {"empty stream, no flag", "-af atrim=start=5 ", false},
      {"empty stream, flag", "-af atrim=start=5 -abort_on empty_output_stream ", true},
      {"no empty stream, flag", "-abort_on empty_output_stream ", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TMessages::Get().Clear();
    const TRun r = RunLine(std::string("-y -i @va.nut -map 0:v -map 0:a -c:v mpeg4 -c:a pcm_s16le ") +
                           row.Options + "@o.mkv");
    ASSERT_GE(r.Parse, 0) << r.Error;
    EXPECT_EQ(r.Failed, row.Fails) << r.Error;
    EXPECT_EQ(CountLines("Empty output stream"), row.Fails ? 1 : 0) << TMessages::Get().Joined();
    const TProbe p = P("o.mkv");
    ASSERT_TRUE(p.Find(V) && p.Find(A));
    EXPECT_EQ(p.Find(V)->Packets(), 25u);
    EXPECT_EQ(p.Find(A)->Packets() == 0, std::string(row.Options).find("atrim") != std::string::npos);
  }
}

// Damaged input: a packet that the demuxer flags corrupt is passed on with a warning,
// dropped by the demuxer with -fflags +discardcorrupt, and ends the job with -xerror;
// timestamps that jump farther than -dts_error_threshold are dropped, and the pictures
// keep their place in time.
TEST_F(CmdLineTest, CorruptPacketsAndInvalidTimestamps) {
  // a transport stream of v1.nut with one piece of a picture's packet missing
  ASSERT_GE(RunLine("-y -i @v1.nut -c copy -bsf:v dump_extra @v.ts").Parse, 0);
  {
    const std::string ts = ReadText("v.ts");
    ASSERT_EQ(ts.size() % 188, 0u);
    const auto pid = [&ts](std::size_t i) {
      return ((unsigned(ts[i * 188 + 1]) & 0x1f) << 8) | (unsigned(ts[i * 188 + 2]) & 0xff);
    };
    const auto starts = [&ts](std::size_t i) { return (ts[i * 188 + 1] & 0x40) != 0; };
    // the TS packets of the video stream (the first elementary stream, 0x100)
    std::vector<std::size_t> video;
    for (std::size_t i = 0; i < ts.size() / 188; i++)
      if (pid(i) == 0x100) video.push_back(i);
    // the continuation of the third picture packet that spans several TS packets
    std::size_t drop = 0, found = 0;
    for (std::size_t k = 0; k + 1 < video.size() && !drop; k++)
      if (starts(video[k]) && !starts(video[k + 1]) && ++found == 3) drop = video[k + 1];
    ASSERT_NE(drop, 0u);
    std::ofstream out(At("bad.ts"), std::ios::binary);
    out << ts.substr(0, drop * 188) << ts.substr((drop + 1) * 188);
  }
  struct {
    const char* Options;
    bool Fails;
    const char* Logged;  // the engine's line, or nullptr for none
    int Level;           // of that line
    std::size_t MinPictures, MaxPictures;
  } const rows[] = {
      {"", false, "corrupt input packet in stream 0", FFLoad::llWarning, 25, 25},
      {"-fflags +discardcorrupt ", false, nullptr, 0, 24, 24},
      {"-xerror ", true, "corrupt input packet in stream 0", FFLoad::llFatal, 1, 24},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Options);
    TMessages::Get().Clear();
    std::error_code ec;
    fs::remove(At("o.nut"), ec);
    const TRun r = RunLine(std::string("-y ") + row.Options + "-i @bad.ts -c copy @o.nut");
    ASSERT_GE(r.Parse, 0) << r.Error;
    EXPECT_EQ(r.Failed, row.Fails) << r.Error;
    if (row.Logged) {
      // the demuxer thread hands some lines to the log worker to be delivered later
      EXPECT_TRUE(TMessages::Get().WaitForText(row.Logged)) << TMessages::Get().Joined();
    }
    int engine_lines = 0;
    for (const LogRecorder::TRecord& rec : TMessages::Get().Records())
      if (rec.Msg.find("corrupt input packet in stream 0") != std::string::npos) {
        engine_lines++;
        EXPECT_EQ(rec.Level, row.Level);
      }
    EXPECT_EQ(engine_lines, row.Logged ? 1 : 0) << TMessages::Get().Joined();
    const TProbe p = P("o.nut");
    ASSERT_TRUE(p.Find(V));
    EXPECT_GE(p.Find(V)->Packets(), row.MinPictures);
    EXPECT_LE(p.Find(V)->Packets(), row.MaxPictures);
  }

  // 25 pictures whose timestamps jump by 5 s after the tenth
  ASSERT_GE(RunLine("-y -f lavfi -i testsrc2=size=64x48:rate=25:duration=1 "
                    "-vf \"setpts='PTS+gte(N,10)*125'\" -fps_mode passthrough -c:v ffv1 @jump.nut")
                .Parse,
            0);
  const TProbe jump = P("jump.nut", true);
  ASSERT_TRUE(jump.Find(V));
  ASSERT_NEAR(jump.Find(V)->Duration(), 6.0, CTol);
  struct {
    const char* Options;
    double Duration;
    int Dropped;  // packets whose dts was dropped
  } const ts_rows[] = {
      {"", 6.0, 0},
      {"-dts_error_threshold 1 ", 1.0, 15},
  };
  for (const auto& row : ts_rows) {
    SCOPED_TRACE(row.Options);
    TMessages::Get().Clear();
    const TRun r = RunLine(std::string("-y ") + row.Options +
                           "-i @jump.nut -c:v ffv1 -fps_mode passthrough @o.nut");
    ASSERT_GE(r.Parse, 0) << r.Error;
    ASSERT_FALSE(r.Failed) << r.Error;
    EXPECT_EQ(CountLines("invalid dropping st:0"), row.Dropped) << TMessages::Get().Joined();
    EXPECT_EQ(CountLines(" st:0 invalid dropping"), row.Dropped) << TMessages::Get().Joined();
    const TProbe p = P("o.nut", true);
    ASSERT_TRUE(p.Find(V));
    EXPECT_NEAR(p.Find(V)->Duration(), row.Duration, CTol);
    EXPECT_EQ(p.Find(V)->FrameSums, jump.Find(V)->FrameSums);
  }
}

// DVB subtitles made at test time: a video of 6 s with one event shown from 0.2 s to
// 5.8 s, as DVB subtitles in dvb.mkv.
void MakeDvbInput() {
  if (fs::exists(At("dvb.mkv"))) return;
  MediaBuilder::TMediaSpec spec;
  spec.Streams = "vs";
  spec.Duration = 6.0;
  spec.Subtitles = {{0.2, 5.8, 8, 8, 16, 8}};
  ASSERT_EQ(MediaBuilder::WriteMedia(At("vs.mkv"), "matroska", spec), 0);
  const TRun r = RunLine("-y -i @vs.mkv -map 0 -c:v copy -c:s dvbsub @dvb.mkv");
  ASSERT_GE(r.Parse, 0) << r.Error;
  ASSERT_FALSE(r.Failed) << r.Error;
  ASSERT_TRUE(P("dvb.mkv").Find(S));
  ASSERT_EQ(P("dvb.mkv").Find(S)->Codec, "dvb_subtitle");
}

double Seconds(const TProbedStream* AStream, std::size_t AIndex) {
  return double(AStream->Pts[AIndex]) * AStream->TimeBase.num / AStream->TimeBase.den;
}

// DVB subtitles decoded for an output, with -fix_sub_duration on the input: the decoder
// gets compute_edt, so the event shown from 0.2 s to 5.8 s is handed on once its end is
// known, and the DVB encoder writes it as one shown and one clearing packet.
TEST_F(CmdLineTest, DvbSubtitlesDecodedForAnOutput) {
  ASSERT_NO_FATAL_FAILURE(MakeDvbInput());
  const TRun r = RunLine("-y -fix_sub_duration -i @dvb.mkv -map 0:v -map 0:s -c:v mpeg4 -g 5 "
                         "-c:s dvbsub @plain.mkv");
  ASSERT_GE(r.Parse, 0) << r.Error;
  ASSERT_FALSE(r.Failed) << r.Error;
  const TProbe plain = P("plain.mkv", true);
  ASSERT_TRUE(plain.Find(S) && plain.Find(V));
  EXPECT_EQ(plain.Find(V)->FrameSums.size(), 150u);
  const TProbedStream* ps = plain.Find(S);
  ASSERT_EQ(ps->Packets(), 2u);
  EXPECT_NEAR(Seconds(ps, 0), 0.2, CTol);
  EXPECT_NEAR(Seconds(ps, 1), 5.8, CTol);
}

// The video output as subtitle heartbeat (-fix_sub_duration_heartbeat): the event held
// by -fix_sub_duration is pushed out again at random access points of that video, so it
// arrives in parts that meet, from where it begins to where it ends. The muxer gives the
// beat to the subtitle decoder while the decoder's own output travels through the
// subtitle encoder back to that muxer: the beat must never wait for room in the
// decoder's queue, or the three wait on each other for good. Each run is bounded by the
// watchdog; the runs are many and the muxer's queue is short, so that the moment when
// all three queues are full comes in one run or another.
TEST_F(CmdLineTest, TheSubtitleHeartbeatSplitsTheHeldEventAtKeyFrames) {
  ASSERT_NO_FATAL_FAILURE(MakeDvbInput());
  TestWatchdog::TWatchdog watchdog;
  struct {
    const char* Output;  // output options
    double KeyFrames;    // seconds between key frames of the video
    int Runs;
  } const rows[] = {
      {"-g 5 ", 0.2, 8},
      {"-g 1 -thread_queue_size 1 ", 0.04, 24},
  };
  for (const auto& row : rows) {
    for (int run = 0; run < row.Runs; run++) {
      SCOPED_TRACE(std::string(row.Output) + "run " + std::to_string(run));
      TRun r;
      const std::string line =
          std::string("-y -compute_edt 0 -fix_sub_duration -i @dvb.mkv -map 0:v -map 0:s -c:v mpeg4 "
                      "-c:s dvbsub -fix_sub_duration_heartbeat:v:0 ") +
          row.Output + "@beat.mkv";
      watchdog.Bounded("heartbeat run " + std::to_string(run) + " (" + row.Output + ")", 120,
                       [&r, &line] { r = RunLine(line); });
      ASSERT_GE(r.Parse, 0) << r.Error;
      ASSERT_FALSE(r.Failed) << r.Error;

      const TProbe beat = P("beat.mkv");
      const TProbedStream* bs = beat.Find(S);
      ASSERT_TRUE(bs && beat.Find(V));
      EXPECT_EQ(beat.Find(V)->Packets(), 150u);
      std::string shown;
      for (std::size_t i = 0; i < bs->Packets(); i++) shown += std::to_string(Seconds(bs, i)) + " ";
      SCOPED_TRACE(shown);
      // pairs of a shown and a clearing packet: the first shown when the event begins, the
      // last cleared when it ends, more than the two packets of the unsplit event
      ASSERT_GT(bs->Packets(), 2u);
      ASSERT_EQ(bs->Packets() % 2, 0u);
      EXPECT_NEAR(Seconds(bs, 0), 0.2, CTol);
      EXPECT_NEAR(Seconds(bs, bs->Packets() - 1), 5.8, CTol);
      for (std::size_t i = 1; i + 1 < bs->Packets(); i += 2) {
        // a part ends at a key frame of the video and the next part begins there
        const double cut = Seconds(bs, i);
        EXPECT_GT(cut, 0.2);
        EXPECT_LT(cut, 5.8);
        EXPECT_NEAR(cut / row.KeyFrames, std::round(cut / row.KeyFrames), 0.01);
        EXPECT_EQ(bs->Pts[i + 1], bs->Pts[i]);
      }
    }
  }
}

}  // namespace
