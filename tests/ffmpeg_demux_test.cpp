// Input files and the demuxer thread, over media made at test time. The files are opened
// through ifile_open with the options a "-i" group would carry, their streams are bound
// with ist_use, and a stand-in muxer node of the task's scheduler records what the
// demuxer thread sends, so the thread's timing and timestamps are seen as a consumer
// sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LoaderTestSupport.h"
#include "LogCapture.h"
#include "MediaBuilder.h"
#include "TestLibraries.h"
#include "EngineTestSupport.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegDec.h"
#include "engine/FFmpegDecInternal.h"
#include "engine/FFmpegDemux.h"
#include "engine/FFmpegDemuxInternal.h"
#include "engine/FFmpegOpt.h"
#include "engine/FFmpegOptInternal.h"
#include "engine/FFmpegSched.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/MemoryProtocol.h"

namespace {

namespace fs = std::filesystem;
using namespace FFmpegDemux;
using FFmpegHeader::TOptionsContext;
using FFmpegSched::TSchedulerNode;
using Platform::Cardinal;

constexpr auto CHangGuard = std::chrono::seconds(30);

std::int64_t ToUs(std::int64_t ts, AVRational tb) {
  return AVUtilStubs::av_rescale_q(ts, tb, AVRational{1, 1000000});
}

// ---- The stand-in muxer ----------------------------------------------------------------------

struct TReceived {
  int Stream;  // muxer stream
  std::int64_t PtsUs;
  std::int64_t DtsUs;
};

// A muxer node that records every packet it receives.
class TCollector {
 public:
  Cardinal Idx = 0;
  FFmpegSched::TScheduler* Sch = nullptr;

  std::vector<TReceived> Packets() {
    std::lock_guard<std::mutex> g(FLock);
    return FPackets;
  }
  static int Init(void*) { return 0; }
  static int Thread(void* arg) {
    auto* c = static_cast<TCollector*>(arg);
    AVPacket* pkt = AVCodecStubs::av_packet_alloc();
    int ret = 0;
    for (;;) {
      ret = FFmpegSched::sch_mux_receive(c->Sch, c->Idx, pkt);
      if (pkt->stream_index < 0) break;
      if (ret == AVERROR_EOF) {
        FFmpegSched::sch_mux_receive_finish(c->Sch, c->Idx,
                                            static_cast<Cardinal>(pkt->stream_index));
        ret = 0;
        continue;
      }
      if (ret < 0) break;
      {
        std::lock_guard<std::mutex> g(c->FLock);
        c->FPackets.push_back(TReceived{
            pkt->stream_index,
            pkt->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ToUs(pkt->pts, pkt->time_base),
            pkt->dts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ToUs(pkt->dts, pkt->time_base)});
      }
      AVCodecStubs::av_packet_unref(pkt);
    }
    AVCodecStubs::av_packet_free(&pkt);
    return ret == AVERROR_EOF || ret == AVERROR_EXIT ? 0 : ret;
  }

 private:
  std::mutex FLock;
  std::vector<TReceived> FPackets;
};

// ---- Media -----------------------------------------------------------------------------------

fs::path MediaDir() {
  static const fs::path dir =
      fs::temp_directory_path() / ("demux_test_" + std::to_string(getpid()));
  return dir;
}

std::string Media(const std::string& AName) { return (MediaDir() / AName).string(); }

void AppendFile(const std::string& ADst, const std::string& ASrc) {
  std::ifstream in(ASrc, std::ios::binary);
  std::ofstream out(ADst, std::ios::binary | std::ios::app);
  out << in.rdbuf();
}

std::vector<char> ReadAll(const std::string& AFile) {
  std::ifstream in(AFile, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& AFile, const char* AData, std::size_t ASize) {
  std::ofstream out(AFile, std::ios::binary | std::ios::trunc);
  out.write(AData, static_cast<std::streamsize>(ASize));
}

// Writes a Matroska file of an empty video track and an attachment with AData and the
// name ATagName. 0 or the first error.
int WriteAttachment(const std::string& AFile, const std::string& AData,
                    const std::string& ATagName) {
  AVFormatContext* oc = nullptr;
  int ret = AVFormatStubs::avformat_alloc_output_context2(&oc, nullptr, "matroska", AFile.c_str());
  if (ret < 0) return ret;
  AVStream* vst = AVFormatStubs::avformat_new_stream(oc, nullptr);
  if (!vst) ret = AVERROR(ENOMEM);
  if (ret >= 0) {
    vst->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    vst->codecpar->codec_id = AV_CODEC_ID_MPEG4;
    vst->codecpar->width = 64;
    vst->codecpar->height = 48;
    vst->time_base = AVRational{1, 25};
  }
  AVStream* st = ret < 0 ? nullptr : AVFormatStubs::avformat_new_stream(oc, nullptr);
  if (!st) ret = AVERROR(ENOMEM);
  if (ret >= 0) {
    st->codecpar->codec_type = AVMEDIA_TYPE_ATTACHMENT;
    st->codecpar->codec_id = AV_CODEC_ID_TEXT;
    st->codecpar->extradata = static_cast<std::uint8_t*>(
        AVUtilStubs::av_mallocz(AData.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(st->codecpar->extradata, AData.data(), AData.size());
    st->codecpar->extradata_size = static_cast<int>(AData.size());
    AVUtilStubs::av_dict_set(&st->metadata, "mimetype", "text/plain", 0);
    AVUtilStubs::av_dict_set(&st->metadata, "filename", ATagName.c_str(), 0);
    ret = AVFormatStubs::avio_open2(&oc->pb, AFile.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
  }
  if (ret >= 0) ret = AVFormatStubs::avformat_write_header(oc, nullptr);
  if (ret >= 0) {
    // a reader looks for the first cluster: one small packet makes one
    AVPacket* pkt = AVCodecStubs::av_packet_alloc();
    ret = AVCodecStubs::av_new_packet(pkt, 16);
    if (ret >= 0) {
      std::memset(pkt->data, 0, 16);
      pkt->stream_index = vst->index;
      pkt->pts = pkt->dts = 0;
      pkt->duration = 1;
      pkt->time_base = vst->time_base;
      AVCodecStubs::av_packet_rescale_ts(pkt, AVRational{1, 25}, vst->time_base);
      ret = AVFormatStubs::av_interleaved_write_frame(oc, pkt);
    }
    AVCodecStubs::av_packet_free(&pkt);
  }
  if (ret >= 0) ret = AVFormatStubs::av_write_trailer(oc);
  if (oc && oc->pb) AVFormatStubs::avio_closep(&oc->pb);
  AVFormatStubs::avformat_free_context(oc);
  return ret;
}

// ---- Fixture ---------------------------------------------------------------------------------

class DemuxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TestLibraries::RequireFFmpegLibraries();
    fs::create_directories(MediaDir());
    MediaBuilder::TMediaSpec spec;

    spec.Streams = "v";
    spec.Duration = 1.0;
    ASSERT_EQ(MediaBuilder::WriteMedia(Media("v1.mkv"), "matroska", spec), 0);
    spec.Duration = 3.0;
    ASSERT_EQ(MediaBuilder::WriteMedia(Media("v3.mkv"), "matroska", spec), 0);

    spec.Streams = "va";
    spec.Duration = 1.0;
    ASSERT_EQ(MediaBuilder::WriteMedia(Media("va1.mkv"), "matroska", spec), 0);
    ASSERT_EQ(MediaBuilder::WriteMedia(Media("va1.mp4"), "mp4", spec), 0);

    spec.Streams = "a";
    spec.Duration = 60.0;
    spec.SampleRate = 8000;
    ASSERT_EQ(MediaBuilder::WriteMedia(Media("a60.wav"), "wav", spec), 0);

    // a transport stream whose clock jumps by 100 s in the middle
    spec = MediaBuilder::TMediaSpec{};
    spec.Streams = "v";
    spec.Duration = 1.0;
    ASSERT_EQ(MediaBuilder::WriteMedia(Media("part1.ts"), "mpegts", spec), 0);
    spec.OutputOffset = 100'000'000;
    ASSERT_EQ(MediaBuilder::WriteMedia(Media("part2.ts"), "mpegts", spec), 0);
    fs::remove(Media("jump.ts"));
    AppendFile(Media("jump.ts"), Media("part1.ts"));
    AppendFile(Media("jump.ts"), Media("part2.ts"));

    spec.OutputOffset = 10'000'000;
    ASSERT_EQ(MediaBuilder::WriteMedia(Media("start10.ts"), "mpegts", spec), 0);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(MediaDir(), ec);
  }

  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries));
    // the capture goes in after the loader, which installs its own log callback
    Log.emplace();
    Collector = std::make_unique<TCollector>();
    Task = std::make_unique<FFmpeg::TCustomFFmpeg>();
    Task->Fsch = FFmpegSched::sch_alloc(Task.get());
    ASSERT_NE(Task->Fsch, nullptr);
    // the defaults of an input group
    O = EngineTestSupport::GroupOptions(Task.get(), &Group);
  }

  void TearDown() override {
    AVUtilStubs::av_dict_free(&Group.format_opts);
    AVUtilStubs::av_dict_free(&Group.codec_opts);
    if (!Task) return;
    if (Started) (void)FFmpegSched::sch_stop(Task->Fsch);
    FFmpegOpt::uninit_options(Task.get(), O);
    Task.reset();
  }

  int Open(const std::string& AFile) {
    return ifile_open(Task.get(), &O, AFile.c_str(), Task->Fsch);
  }
  TDemux* File(int AIndex = 0) { return demux_from_ifile(Task->Finput_files[AIndex]); }
  PInputStream Stream(int AIndex, int AFile = 0) {
    return Task->Finput_files[AFile]->streams[AIndex];
  }

  // Copies the streams to the collector (all of them when none are named).
  void CopyToCollector(std::vector<int> AStreams = {}) {
    if (AStreams.empty())
      for (int i = 0; i < File()->f.nb_streams; i++) AStreams.push_back(i);
    FFmpegSched::TScheduler* sch = Task->Fsch;
    Collector->Sch = sch;
    const int mux =
        FFmpegSched::sch_add_mux(sch, TCollector::Thread, TCollector::Init, Collector.get(), 0, 0);
    ASSERT_GE(mux, 0);
    Collector->Idx = static_cast<Cardinal>(mux);
    for (int i : AStreams) {
      TSchedulerNode src{};
      ASSERT_EQ(ist_use(Task.get(), Stream(i), 0, src, nullptr), 0);
      const int ms = FFmpegSched::sch_add_mux_stream(sch, Collector->Idx);
      ASSERT_GE(ms, 0);
      FFmpegSched::sch_mux_stream_buffering(sch, Collector->Idx, static_cast<Cardinal>(ms),
                                            52428800, 128);
      ASSERT_EQ(FFmpegSched::sch_connect(
                    sch, src, FFmpegSched::SCH_MSTREAM(Collector->Idx, static_cast<Cardinal>(ms))),
                0);
      ASSERT_EQ(FFmpegSched::sch_mux_stream_ready(sch, Collector->Idx, static_cast<Cardinal>(ms)),
                0);
    }
  }

  // Starts the scheduler; AWhileRunning runs once it is up. The result of the stop,
  // with the wall time from the start to the end in AElapsed (seconds).
  int Run(double* AElapsed = nullptr, const std::function<void()>& AWhileRunning = nullptr) {
    const auto t0 = std::chrono::steady_clock::now();
    const int ret = FFmpegSched::sch_start(Task->Fsch);
    if (ret < 0) return ret;
    Started = true;
    if (AWhileRunning) AWhileRunning();
    std::int64_t ts = 0;
    bool ended = false;
    while (std::chrono::steady_clock::now() - t0 < CHangGuard)
      if (FFmpegSched::sch_wait(Task->Fsch, 10000, ts)) {
        ended = true;
        break;
      }
    if (AElapsed)
      *AElapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_TRUE(ended) << "the demuxer did not end in time";
    Started = false;
    return FFmpegSched::sch_stop(Task->Fsch);
  }

  std::optional<TLogCapture> Log;
  std::unique_ptr<FFmpeg::TCustomFFmpeg> Task;
  CmdUtils::TOptionGroup Group{};
  TOptionsContext O{};
  std::unique_ptr<TCollector> Collector;
  bool Started = false;
};

// ---- Opening ---------------------------------------------------------------------------------

TEST_F(DemuxTest, StartAndEndOptions) {
  struct {
    const char* Name;
    std::int64_t Ss, To, T, SsEof;
    int Result;
    std::int64_t Start;      // the file's start after opening
    std::int64_t Recording;  // the reading length
    const char* Text;        // logged
  } rows[] = {
      {"-ss 10 -to 5", 10'000'000, 5'000'000, INT64_MAX, AV_NOPTS_VALUE, AVERROR(EINVAL), 0, 0,
       "-to value smaller than -ss; aborting."},
      {"-to 5", AV_NOPTS_VALUE, 5'000'000, INT64_MAX, AV_NOPTS_VALUE, 0, AV_NOPTS_VALUE, 5'000'000,
       nullptr},
      {"-ss 10 -to 15", 10'000'000, 15'000'000, INT64_MAX, AV_NOPTS_VALUE, 0, 10'000'000, 5'000'000,
       nullptr},
      {"-t 1 -to 2", AV_NOPTS_VALUE, 2'000'000, 1'000'000, AV_NOPTS_VALUE, 0, AV_NOPTS_VALUE,
       1'000'000, "-t and -to cannot be used together; using -t."},
      {"-sseof -5", AV_NOPTS_VALUE, INT64_MAX, INT64_MAX, -5'000'000, 0, 55'000'000, INT64_MAX,
       nullptr},
      {"-sseof -70", AV_NOPTS_VALUE, INT64_MAX, INT64_MAX, -70'000'000, 0, 0, INT64_MAX,
       "-sseof value seeks to before start of file; ignored"},
      {"-sseof 5", AV_NOPTS_VALUE, INT64_MAX, INT64_MAX, 5'000'000, AVERROR(EINVAL), 0, 0,
       "-sseof value must be negative; aborting"},
      {"-ss 2 -sseof -5", 2'000'000, INT64_MAX, INT64_MAX, -5'000'000, 0, 2'000'000, INT64_MAX,
       "Cannot use -ss and -sseof both, using -ss"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TearDown();
    SetUp();
    TLogCapture::Clear();
    O.start_time = row.Ss;
    O.stop_time = row.To;
    O.recording_time = row.T;
    O.start_time_eof = row.SsEof;
    EXPECT_EQ(Open(Media("a60.wav")), row.Result) << TLogCapture::All();
    if (row.Text) {
      EXPECT_TRUE(TLogCapture::HasText(row.Text)) << TLogCapture::All();
    }
    if (row.Result < 0) continue;
    EXPECT_EQ(File()->f.start_time, row.Start);
    EXPECT_EQ(File()->recording_time, row.Recording);
  }
}

TEST_F(DemuxTest, SseofReadsTheLastSecondsOfTheFile) {
  O.start_time_eof = -5'000'000;
  ASSERT_EQ(Open(Media("a60.wav")), 0);
  CopyToCollector();
  ASSERT_EQ(Run(), 0);
  const auto pkts = Collector->Packets();
  ASSERT_FALSE(pkts.empty());
  // reading starts at 55 s, which becomes 0 for the consumers
  EXPECT_NEAR(pkts.front().PtsUs, 0, 100'000);
  EXPECT_NEAR(pkts.back().PtsUs, 5'000'000, 300'000);
  // the progress report's total counts from the start
  EXPECT_NEAR(Task->FInputDuration.load(), 5'000'000, 10'000);
}

TEST_F(DemuxTest, ReadRateOptions) {
  const double unset = std::nan("");  // the burst option not given
  struct {
    const char* Name;
    int Re;
    float Rate, Catchup;
    double Burst;
    int Result;
    const char* Text;
    float EffectiveRate;
  } rows[] = {
      {"-readrate -1", 0, -1.0f, 0, unset, AVERROR(EINVAL),
       "Option -readrate is -1.000; it must be non-negative.", 0},
      {"-re -readrate 2", 1, 2.0f, 0, unset, 0, "Both -readrate and -re set. Using -readrate 2.000.",
       2.0f},
      {"-re", 1, 0, 0, unset, 0, nullptr, 1.0f},
      {"-readrate 1 -readrate_initial_burst -1", 0, 1.0f, 0, -1.0, AVERROR(EINVAL),
       "Option -readrate_initial_burst is -1.000; it must be non-negative.", 0},
      {"-readrate 2 -readrate_catchup 1.5", 0, 2.0f, 1.5f, unset, AVERROR(EINVAL),
       "Option -readrate_catchup is 1.500; it must be at least equal to 2.000.", 0},
      {"-readrate_initial_burst 1", 0, 0, 0, 1.0, 0,
       "Option -readrate_initial_burst ignored since neither -readrate nor -re were given", 0},
      {"-readrate_catchup 2", 0, 0, 2.0f, unset, 0,
       "Option -readrate_catchup ignored since neither -readrate nor -re were given", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TearDown();
    SetUp();
    TLogCapture::Clear();
    O.rate_emu = row.Re;
    O.readrate = row.Rate;
    O.readrate_catchup = row.Catchup;
    O.readrate_initial_burst = row.Burst;
    EXPECT_EQ(Open(Media("v1.mkv")), row.Result);
    if (row.Text) {
      EXPECT_TRUE(TLogCapture::HasText(row.Text)) << TLogCapture::All();
    }
    if (row.Result < 0) continue;
    EXPECT_EQ(File()->readrate, row.EffectiveRate);
    EXPECT_EQ(Task->Frate_emu_on_the_fly.load(), row.Re && !row.Rate ? 1 : 0);
  }
}

TEST_F(DemuxTest, BrokenInputsFailToOpenWithTheirReason) {
  const std::vector<char> mp4 = ReadAll(Media("va1.mp4"));
  WriteAll(Media("half.mp4"), mp4.data(), mp4.size() / 2);
  std::vector<char> garbage(4096);
  for (std::size_t i = 0; i < garbage.size(); i++)
    garbage[i] = static_cast<char>((i * 7919 + 13) % 251);
  WriteAll(Media("garbage.mp4"), garbage.data(), garbage.size());
  WriteAll(Media("empty.mkv"), nullptr, 0);

  struct {
    const char* Name;
    std::string File;
    const char* Format;
    const char* Text;
  } rows[] = {
      {"missing", Media("nothing-here.mkv"), nullptr, "Error opening input: "},
      {"garbage", Media("garbage.mp4"), nullptr, "Error opening input: "},
      {"empty", Media("empty.mkv"), nullptr, "Error opening input: "},
      {"truncated mp4", Media("half.mp4"), nullptr, "Error opening input: "},
      {"unknown format", Media("v1.mkv"), "no-such-format",
       "Unknown input format: 'no-such-format'"},
      {"unknown protocol", "nosuchproto://x", nullptr, "Did you mean file:nosuchproto://x?"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TearDown();
    SetUp();
    TLogCapture::Clear();
    char format[32] = {};
    if (row.Format) std::strncpy(format, row.Format, sizeof(format) - 1);
    O.format = row.Format ? format : nullptr;
    EXPECT_LT(Open(row.File), 0);
    EXPECT_TRUE(TLogCapture::HasText(row.Text)) << TLogCapture::All();
    O.format = nullptr;
    // the half-built file stays with the task and is released with it
    EXPECT_EQ(Task->Fnb_input_files, 1);
  }
}

TEST_F(DemuxTest, ATruncatedFileIsReadToWhereItEnds) {
  const std::vector<char> mkv = ReadAll(Media("v3.mkv"));
  WriteAll(Media("half.mkv"), mkv.data(), mkv.size() / 2);
  ASSERT_EQ(Open(Media("half.mkv")), 0);
  CopyToCollector();
  EXPECT_EQ(Run(), 0);
  const auto pkts = Collector->Packets();
  EXPECT_GT(pkts.size(), 10u);
  EXPECT_LT(pkts.size(), 75u);
}

// ---- Binding ---------------------------------------------------------------------------------

TEST_F(DemuxTest, AnUnusedStreamStaysDiscardedWithoutDecoder) {
  O.bitexact = 1;
  ASSERT_EQ(Open(Media("va1.mkv")), 0);
  TSchedulerNode src{};
  ASSERT_EQ(ist_use(Task.get(), Stream(0), DECODING_FOR_OST, src, nullptr), 0);
  EXPECT_EQ(src.type_, FFmpegSched::SCH_NODE_TYPE_DEC);

  PInputStream video = Stream(0), audio = Stream(1);
  ASSERT_NE(video->decoder, nullptr);
  EXPECT_EQ(audio->decoder, nullptr);
  EXPECT_EQ(audio->st->discard, AVDISCARD_ALL);
  EXPECT_NE(video->st->discard, AVDISCARD_ALL);
  // the unused audio is what a filter input without a label would take next
  EXPECT_EQ(ist_find_available(Task.get(), AVMEDIA_TYPE_AUDIO), audio);
  EXPECT_EQ(ist_find_available(Task.get(), AVMEDIA_TYPE_VIDEO), nullptr);

  // -bitexact of the input reaches the decoder
  auto* dp = reinterpret_cast<FFmpegDec::TDecoderPriv*>(video->decoder);
  ASSERT_NE(dp->dec_ctx, nullptr);
  EXPECT_TRUE(dp->dec_ctx->flags & AV_CODEC_FLAG_BITEXACT);
}

TEST_F(DemuxTest, OnlyTheCopiedStreamReachesItsConsumer) {
  ASSERT_EQ(Open(Media("va1.mkv")), 0);
  CopyToCollector({0});
  ASSERT_EQ(Run(), 0);
  const auto pkts = Collector->Packets();
  EXPECT_EQ(pkts.size(), 25u);
  for (const TReceived& p : pkts) EXPECT_EQ(p.Stream, 0);
  EXPECT_EQ(Stream(1)->st->discard, AVDISCARD_ALL);
  // a stream known at open that nobody uses is no new stream
  EXPECT_FALSE(TLogCapture::HasText("New audio stream")) << TLogCapture::All();
}

TEST_F(DemuxTest, ADisabledStreamCannotBeUsed) {
  O.audio_disable = 1;
  ASSERT_EQ(Open(Media("va1.mkv")), 0);
  TLogCapture::Clear();
  TSchedulerNode src{};
  EXPECT_EQ(ist_use(Task.get(), Stream(1), 0, src, nullptr), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::HasText("Cannot streamcopy a disabled input stream"))
      << TLogCapture::All();
  EXPECT_EQ(ist_use(Task.get(), Stream(1), DECODING_FOR_OST, src, nullptr), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::HasText("Cannot decode a disabled input stream")) << TLogCapture::All();
  EXPECT_EQ(ist_find_available(Task.get(), AVMEDIA_TYPE_AUDIO), nullptr);
}

// ---- The demuxer thread ----------------------------------------------------------------------

TEST_F(DemuxTest, StreamLoopContinuesEachPassAfterThePreviousOne) {
  O.loop = 2;
  ASSERT_EQ(Open(Media("v1.mkv")), 0);
  CopyToCollector();
  ASSERT_EQ(Run(), 0);
  const auto pkts = Collector->Packets();
  ASSERT_EQ(pkts.size(), 75u);
  for (std::size_t i = 1; i < pkts.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_GT(pkts[i].DtsUs, pkts[i - 1].DtsUs);
  }
  // three passes of 1 s: the third starts at 2 s
  EXPECT_EQ(pkts[50].PtsUs - pkts[0].PtsUs, 2'000'000);
  EXPECT_NEAR(pkts.back().PtsUs, 2'960'000, 1000);
}

TEST_F(DemuxTest, TimestampJumpInATransportStreamIsSmoothedOver) {
  ASSERT_EQ(Open(Media("jump.ts")), 0);
  CopyToCollector();
  ASSERT_EQ(Run(), 0);
  EXPECT_TRUE(TLogCapture::HasText("timestamp discontinuity (stream id=")) << TLogCapture::All();
  const auto pkts = Collector->Packets();
  ASSERT_EQ(pkts.size(), 50u);
  for (std::size_t i = 1; i < pkts.size(); i++) {
    SCOPED_TRACE(i);
    const std::int64_t step = pkts[i].DtsUs - pkts[i - 1].DtsUs;
    EXPECT_GT(step, 0);
    EXPECT_LT(step, 500'000);
  }
}

TEST_F(DemuxTest, AStreamThatAppearsLaterIsReportedOnceAndDropped) {
  // video alone, then the program gains an audio stream
  MediaBuilder::TMediaSpec spec;
  spec.Streams = "v";
  spec.Duration = 8.0;
  ASSERT_EQ(MediaBuilder::WriteMedia(Media("late1.ts"), "mpegts", spec), 0);
  spec.Streams = "va";
  spec.Duration = 1.0;
  spec.AudioCodec = "mp2";
  spec.OutputOffset = 8'000'000;
  ASSERT_EQ(MediaBuilder::WriteMedia(Media("late2.ts"), "mpegts", spec), 0);
  fs::remove(Media("late.ts"));
  AppendFile(Media("late.ts"), Media("late1.ts"));
  AppendFile(Media("late.ts"), Media("late2.ts"));

  // the header is read from the first bytes only, without probing the streams
  AVUtilStubs::av_dict_set(&Group.format_opts, "probesize", "10000", 0);
  O.find_stream_info = 0;
  ASSERT_EQ(Open(Media("late.ts")), 0);
  ASSERT_EQ(File()->f.nb_streams, 1);
  CopyToCollector();
  ASSERT_EQ(Run(), 0);

  int reports = 0;
  for (const TLogCapture::TLine& l : TLogCapture::Snapshot())
    if (l.Text.find("New audio stream with index 1 at pos:") != std::string::npos) ++reports;
  EXPECT_EQ(reports, 1) << TLogCapture::All();
  const auto pkts = Collector->Packets();
  EXPECT_EQ(pkts.size(), 225u);
  for (const TReceived& p : pkts) EXPECT_EQ(p.Stream, 0);
}

TEST_F(DemuxTest, CopytsKeepsTheFilesTimestampsAndStartAtZeroShiftsThem) {
  struct {
    const char* Name;
    int CopyTs, StartAtZero;
    bool KeepsStart;
  } rows[] = {
      {"default", 0, 0, false},
      {"-copyts", 1, 0, true},
      {"-copyts -start_at_zero", 1, 1, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TearDown();
    SetUp();
    Task->Fcopy_ts = row.CopyTs;
    Task->Fstart_at_zero = row.StartAtZero;
    ASSERT_EQ(Open(Media("start10.ts")), 0);
    const std::int64_t file_start = File()->f.ctx->start_time;
    ASSERT_GE(file_start, 10'000'000);
    CopyToCollector();
    ASSERT_EQ(Run(), 0);
    const auto pkts = Collector->Packets();
    ASSERT_FALSE(pkts.empty());
    EXPECT_NEAR(pkts.front().PtsUs, row.KeepsStart ? file_start : 0, 1000);
  }
}

TEST_F(DemuxTest, NativeRateTakesThePlayingTimeAndAPauseOnlyAddsItself) {
  // -re on 3 s: the first 0.5 s go at once, the rest at the playing speed
  O.rate_emu = 1;
  ASSERT_EQ(Open(Media("v3.mkv")), 0);
  CopyToCollector();
  double plain = 0;
  ASSERT_EQ(Run(&plain), 0);
  EXPECT_GT(plain, 2.2);
  EXPECT_LT(plain, 4.0);

  TearDown();
  SetUp();
  O.rate_emu = 1;
  ASSERT_EQ(Open(Media("v3.mkv")), 0);
  CopyToCollector();
  double paused = 0;
  ASSERT_EQ(Run(&paused,
                [this] {
                  std::this_thread::sleep_for(std::chrono::seconds(1));
                  // what the task's Pause and Resume do to the scheduler and the clock
                  const auto p0 = std::chrono::steady_clock::now();
                  FFmpegSched::sch_set_paused(Task->Fsch, 1);
                  std::this_thread::sleep_for(std::chrono::seconds(2));
                  Task->FTotalPauseTime += std::chrono::duration_cast<std::chrono::microseconds>(
                                               std::chrono::steady_clock::now() - p0)
                                               .count();
                  FFmpegSched::sch_set_paused(Task->Fsch, 0);
                }),
            0);
  // the pause adds its own length, no more: the reader neither stalls nor rushes
  EXPECT_GT(paused, plain + 1.5);
  EXPECT_LT(paused, plain + 3.0);
  EXPECT_EQ(Collector->Packets().size(), 75u);
  // no lag is ever recorded: neither the initial burst nor the pause is one
  for (const TLogCapture::TLine& l : TLogCapture::Snapshot())
    EXPECT_EQ(l.Text.find("Resumed reading at pts"), std::string::npos) << l.Text;
}

// ---- Attachments ---------------------------------------------------------------------------

TEST_F(DemuxTest, DumpAttachmentWritesTheExtradata) {
  const std::string content = "attached bytes\n";
  ASSERT_EQ(WriteAttachment(Media("att.mkv"), content, "note.txt"), 0);
  ASSERT_EQ(Open(Media("att.mkv")), 0) << TLogCapture::All();
  ASSERT_EQ(File()->f.nb_streams, 2);
  PInputStream ist = Stream(1);
  ASSERT_EQ(ist->par->codec_type, AVMEDIA_TYPE_ATTACHMENT);

  struct {
    const char* Name;
    std::string Target;  // the option's value
    std::string Written;
  } rows[] = {
      {"named", Media("dumped.txt"), Media("dumped.txt")},
      {"from the tag", "", "note.txt"},
  };
  const fs::path cwd = fs::current_path();
  fs::current_path(MediaDir());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TLogCapture::Clear();
    EXPECT_EQ(dump_attachment(ist, row.Target.c_str()), 0) << TLogCapture::All();
    const std::vector<char> got = ReadAll(row.Written);
    EXPECT_EQ(std::string(got.begin(), got.end()), content);
    EXPECT_TRUE(TLogCapture::HasText("Wrote attachment (15 bytes) to '" + row.Written + "'"))
        << TLogCapture::All();
  }
  fs::current_path(cwd);

  // with -n an existing file is left alone
  Task->Fno_file_overwrite = 1;
  WriteAll(Media("dumped.txt"), "keep", 4);
  EXPECT_LT(dump_attachment(ist, Media("dumped.txt").c_str()), 0);
  const std::vector<char> kept = ReadAll(Media("dumped.txt"));
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "keep");
}

TEST_F(DemuxTest, DumpAttachmentNeedsAName) {
  ASSERT_EQ(WriteAttachment(Media("att2.mkv"), "x", "x.txt"), 0);
  ASSERT_EQ(Open(Media("att2.mkv")), 0) << TLogCapture::All();
  // a container that names none (Matroska always does)
  AVUtilStubs::av_dict_set(&Stream(1)->st->metadata, "filename", nullptr, 0);
  TLogCapture::Clear();
  EXPECT_EQ(dump_attachment(Stream(1), ""), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::HasText("No filename specified and no 'filename' tag"))
      << TLogCapture::All();
  // nothing to write is no error
  TLogCapture::Clear();
  EXPECT_EQ(dump_attachment(Stream(0), Media("video.bin").c_str()), 0);
  EXPECT_TRUE(TLogCapture::HasText("No extradata to dump.")) << TLogCapture::All();
  EXPECT_FALSE(fs::exists(Media("video.bin")));
}

// ---- Host streams ----------------------------------------------------------------------------

// A file behind the events of a host stream; counts how often it was closed.
class THostFile {
 public:
  explicit THostFile(const std::string& AFile) : FData(ReadAll(AFile)) {
    Stream.SetTriggerEventInMainThread(false);
    Stream.SetOnOpen(MemoryProtocol::TStreamOpenEvent::Bind<&THostFile::DoOpen>(this));
    Stream.SetOnClose(Platform::TNotifyEvent::Bind<&THostFile::DoClose>(this));
    Stream.SetOnRead(MemoryProtocol::TStreamReadEvent::Bind<&THostFile::DoRead>(this));
    Stream.SetOnSeek(MemoryProtocol::TStreamSeekEvent::Bind<&THostFile::DoSeek>(this));
  }
  MemoryProtocol::TEventStream Stream;
  std::atomic<int> Closes{0};
  std::atomic<std::int64_t> BytesRead{0};
  std::atomic<bool> Throws{false};  // every read throws, as a failing host's may

 private:
  bool DoOpen(void*, const std::string&, int&) {
    FPos = 0;
    return true;
  }
  void DoClose(void*) { ++Closes; }
  int DoRead(void*, void* ABuffer, int ACount) {
    if (Throws) throw std::runtime_error("the host's medium is gone");
    const std::int64_t n =
        std::max<std::int64_t>(0, std::min<std::int64_t>(ACount, FData.size() - FPos));
    if (n == 0) return AVERROR_EOF;
    std::memcpy(ABuffer, FData.data() + FPos, static_cast<std::size_t>(n));
    FPos += n;
    BytesRead += n;
    return static_cast<int>(n);
  }
  std::int64_t DoSeek(void*, std::int64_t AOffset, Platform::TSeekOrigin AOrigin) {
    const std::int64_t base = AOrigin == Platform::TSeekOrigin::soBeginning ? 0
                              : AOrigin == Platform::TSeekOrigin::soCurrent
                                  ? FPos
                                  : std::int64_t(FData.size());
    if (base + AOffset < 0) return -1;
    return FPos = base + AOffset;
  }
  std::vector<char> FData;
  std::int64_t FPos = 0;
};

TEST_F(DemuxTest, AHostStreamIsReadAndClosedWithTheTask) {
  THostFile host(Media("va1.mkv"));
  O.memory_access = static_cast<std::int64_t>(reinterpret_cast<intptr_t>(&host.Stream));
  ASSERT_EQ(Open("host.mkv"), 0) << TLogCapture::All();
  CopyToCollector();
  ASSERT_EQ(Run(), 0);
  EXPECT_GE(Collector->Packets().size(), 25u);
  EXPECT_GT(host.BytesRead.load(), 0);
  EXPECT_EQ(host.Closes.load(), 0);
  Task.reset();
  EXPECT_EQ(host.Closes.load(), 1);
  EXPECT_FALSE(host.Stream.Opened());
}

TEST_F(DemuxTest, AnObjectThatIsNoStreamIsRefused) {
  int not_a_stream = 0;
  O.memory_access = static_cast<std::int64_t>(reinterpret_cast<intptr_t>(&not_a_stream));
  EXPECT_EQ(Open("host.mkv"), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::HasText("Error opening input: ")) << TLogCapture::All();
}

// ---- Command lines ---------------------------------------------------------------------------

// What a written file holds: its streams and the packets of each.
struct TProbed {
  int Streams = 0;
  std::vector<std::vector<std::int64_t>> Pts;  // microseconds, per stream
};

TProbed ProbeFile(const std::string& AFile) {
  TProbed r;
  AVFormatContext* ic = nullptr;
  if (AVFormatStubs::avformat_open_input(&ic, AFile.c_str(), nullptr, nullptr) < 0) return r;
  if (AVFormatStubs::avformat_find_stream_info(ic, nullptr) >= 0) {
    r.Streams = static_cast<int>(ic->nb_streams);
    r.Pts.resize(ic->nb_streams);
    AVPacket* pkt = AVCodecStubs::av_packet_alloc();
    while (AVFormatStubs::av_read_frame(ic, pkt) >= 0) {
      r.Pts[pkt->stream_index].push_back(ToUs(pkt->pts, ic->streams[pkt->stream_index]->time_base));
      AVCodecStubs::av_packet_unref(pkt);
    }
    AVCodecStubs::av_packet_free(&pkt);
  }
  AVFormatStubs::avformat_close_input(&ic);
  return r;
}

class DemuxCommandLineTest : public DemuxTest {
 protected:
  // Parses and runs ALine on a task of its own: 0, or the parse error, or -1 for a job
  // that failed.
  int RunLine(const std::string& ALine) {
    auto task = std::make_unique<FFmpeg::TCustomFFmpeg>();
    const int ret = task->ParseOptions(ALine);
    if (ret < 0) return ret;
    task->Start(false);
    return task->FHasError ? -1 : 0;
  }
};

TEST_F(DemuxCommandLineTest, InputOptionsReachTheOutput) {
  struct {
    const char* Name;
    std::string Line;
    int Streams;
    std::size_t Packets;  // of the first stream
    std::int64_t LastPts;
  } rows[] = {
      {"copy", "-i " + Media("v1.mkv") + " -c copy ", 1, 25, 960'000},
      {"loop", "-stream_loop 2 -i " + Media("v1.mkv") + " -c copy ", 1, 75, 2'960'000},
      {"loop decoded", "-stream_loop 1 -i " + Media("v1.mkv") + " -c:v mpeg4 ", 1, 50, 1'960'000},
      {"map video only", "-i " + Media("va1.mkv") + " -map 0:v -c copy ", 1, 25, 960'000},
      {"itsscale", "-itsscale 2 -i " + Media("v1.mkv") + " -c copy ", 1, 25, 1'920'000},
      {"to", "-to 0.5 -i " + Media("v1.mkv") + " -c copy ", 1, 13, 480'000},
      // the file lasts 0.96 s: reading starts at the picture of 0.4 s
      {"sseof", "-sseof -0.56 -i " + Media("v1.mkv") + " -c:v mpeg4 ", 1, 15, 560'000},
      {"bitstream filter", "-bsf:v null -i " + Media("v1.mkv") + " -c copy ", 1, 25, 960'000},
      {"decoded", "-i " + Media("va1.mkv") + " -an -c:v mpeg4 ", 1, 25, 960'000},
      {"decoded after -ss", "-ss 0.4 -i " + Media("v1.mkv") + " -c:v mpeg4 ", 1, 15, 560'000},
      {"hwaccel auto falls back", "-hwaccel auto -i " + Media("v1.mkv") + " -c:v mpeg4 ", 1, 25,
       960'000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    const std::string out = Media("out.mkv");
    fs::remove(out);
    TLogCapture::Clear();
    ASSERT_EQ(RunLine(row.Line + out), 0) << TLogCapture::All();
    const TProbed p = ProbeFile(out);
    ASSERT_EQ(p.Streams, row.Streams);
    EXPECT_EQ(p.Pts[0].size(), row.Packets);
    if (!p.Pts[0].empty()) {
      EXPECT_NEAR(p.Pts[0].back(), row.LastPts, 1000);
    }
  }
}

TEST_F(DemuxCommandLineTest, BadInputOptionsFailTheParseWithTheirText) {
  struct {
    const char* Name;
    std::string Line;
    const char* Text;
  } rows[] = {
      {"hwaccel", "-hwaccel nonsense -i " + Media("v1.mkv"), "Unrecognized hwaccel: nonsense."},
      {"hwaccel output format",
       "-hwaccel auto -hwaccel_output_format nonsense -i " + Media("v1.mkv"),
       "Unrecognised hwaccel output format: nonsense"},
      {"apply_cropping", "-apply_cropping sideways -i " + Media("v1.mkv"),
       "Invalid apply_cropping value 'sideways'."},
      {"framerate", "-r:v fast -i " + Media("v1.mkv"), "Error parsing framerate fast."},
      {"channel layout", "-ch_layout:a 5.1 -i " + Media("va1.mkv"),
       "Specified channel layout '5.1' has 6 channels, but input has 1 channels."},
      {"bitstream filter", "-bsf:v no_such_bsf -i " + Media("v1.mkv"),
       "Error parsing bitstream filter sequence 'no_such_bsf'"},
      {"decoder", "-c:v no_such_decoder -i " + Media("v1.mkv"),
       "Unknown decoder 'no_such_decoder'"},
      {"discard", "-discard:v bogus -i " + Media("v1.mkv"), "Error parsing discard bogus."},
      {"reinit and drop", "-reinit_filter 1 -drop_changed 1 -i " + Media("v1.mkv"),
       "drop_changed and reinit_filters both enabled. These are mutually exclusive."},
      {"garbage", "-i " + Media("garbage.mp4"), "Error opening input: "},
      // no such device on this machine
      {"hwaccel device",
       "-hwaccel vaapi -hwaccel_device /dev/dri/no-such-node -i " + Media("v1.mkv") + " -c:v mpeg4",
       "Hardware device setup failed for decoder: "},
  };
  std::vector<char> garbage(4096, 'x');
  WriteAll(Media("garbage.mp4"), garbage.data(), garbage.size());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TLogCapture::Clear();
    EXPECT_LT(
        RunLine(row.Line + (row.Line.find(" -c:v ") == std::string::npos ? " -c copy " : " ") +
                Media("never.mkv")),
        0);
    EXPECT_TRUE(TLogCapture::HasText(row.Text)) << TLogCapture::All();
    EXPECT_FALSE(fs::exists(Media("never.mkv")));
  }
}

TEST_F(DemuxCommandLineTest, AHostStreamConvertsAndIsClosedWithTheTask) {
  THostFile host(Media("va1.mkv"));
  const std::string out = Media("from-host.mkv");
  const auto addr = reinterpret_cast<std::intptr_t>(&host.Stream);
  ASSERT_EQ(RunLine("-memory " + std::to_string(addr) + " -i host.mkv -c copy " + out), 0)
      << TLogCapture::All();
  EXPECT_EQ(host.Closes.load(), 1);
  const TProbed p = ProbeFile(out);
  ASSERT_EQ(p.Streams, 2);
  EXPECT_EQ(p.Pts[0].size(), 25u);
}

// A host stream whose reads throw once the job runs: the exception does not pass through
// the library's C frames (which would leave the job as an internal bug, their clean-up
// skipped); the read fails as an I/O error, which ends the input as any read error does.
TEST_F(DemuxCommandLineTest, AHostStreamThatThrowsFailsItsReadsWithAnIOError) {
  const std::string in = Media("long-host.mkv");
  ASSERT_EQ(RunLine("-f lavfi -i testsrc2=size=320x240:rate=25:duration=10 -c:v mpeg4 -q:v 2 " + in),
            0)
      << TLogCapture::All();
  THostFile host(in);
  const std::string out = Media("from-throwing-host.mkv");
  const auto addr = reinterpret_cast<std::intptr_t>(&host.Stream);
  auto task = std::make_unique<FFmpeg::TCustomFFmpeg>();
  ASSERT_GE(task->ParseOptions("-memory " + std::to_string(addr) + " -i host.mkv -c copy " + out), 0)
      << TLogCapture::All();
  const std::int64_t probed = host.BytesRead.load();
  ASSERT_LT(probed, static_cast<std::int64_t>(std::filesystem::file_size(in)))
      << "the input was read whole while it was opened";
  TLogCapture::Clear();
  host.Throws = true;
  task->Start(false);
  EXPECT_FALSE(TLogCapture::HasText("Internal bug")) << TLogCapture::All();
  EXPECT_TRUE(TLogCapture::HasText("Host stream read failed: the host's medium is gone"))
      << TLogCapture::All();
  EXPECT_TRUE(TLogCapture::HasText("Error during demuxing: Input/output error")) << TLogCapture::All();
  task.reset();
  EXPECT_EQ(host.Closes.load(), 1);
}

TEST_F(DemuxCommandLineTest, DumpAttachmentOption) {
  ASSERT_EQ(WriteAttachment(Media("att3.mkv"), "fourteen bytes", "note.txt"), 0);
  const std::string dumped = Media("option-dumped.txt");
  ASSERT_EQ(RunLine("-dump_attachment:t " + dumped + " -i " + Media("att3.mkv") +
                    " -map 0:v -c copy " + Media("att-out.mkv")),
            0)
      << TLogCapture::All();
  const std::vector<char> got = ReadAll(dumped);
  EXPECT_EQ(std::string(got.begin(), got.end()), "fourteen bytes");
}

TEST_F(DemuxCommandLineTest, LoopedAudioContinuesWhereThePassEnded) {
  const std::string out = Media("loop-audio.mkv");
  ASSERT_EQ(RunLine("-stream_loop 1 -i " + Media("va1.mkv") + " -vn -c:a pcm_s16le " + out), 0)
      << TLogCapture::All();
  const TProbed p = ProbeFile(out);
  ASSERT_EQ(p.Streams, 1);
  const std::vector<std::int64_t>& pts = p.Pts[0];
  ASSERT_GT(pts.size(), 2u);
  for (std::size_t i = 1; i < pts.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_GT(pts[i], pts[i - 1]);
    EXPECT_LT(pts[i] - pts[i - 1], 100'000);
  }
  EXPECT_GT(pts.back(), 1'900'000);
  EXPECT_LT(pts.back(), 2'000'000);
}

TEST_F(DemuxCommandLineTest, AnUnmappedStreamGetsNoDecoder) {
  auto task = std::make_unique<FFmpeg::TCustomFFmpeg>();
  ASSERT_GE(task->ParseOptions("-i " + Media("va1.mkv") + " -map 0:v -c:v mpeg4 -f null -"), 0)
      << TLogCapture::All();
  PInputStream video = task->Finput_files[0]->streams[0];
  PInputStream audio = task->Finput_files[0]->streams[1];
  EXPECT_NE(video->decoder, nullptr);
  EXPECT_EQ(audio->decoder, nullptr);
  EXPECT_EQ(audio->st->discard, AVDISCARD_ALL);
}

TEST_F(DemuxCommandLineTest, DiscardLevelsAreTakenPerStream) {
  struct {
    const char* Options;
    int Video, Audio;
  } rows[] = {
      {"", AVDISCARD_NONE, AVDISCARD_NONE},
      {"-discard:v nokey ", AVDISCARD_NONKEY, AVDISCARD_NONE},
      {"-discard:a all ", AVDISCARD_NONE, AVDISCARD_ALL},
      {"-vn ", AVDISCARD_ALL, AVDISCARD_NONE},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Options);
    auto task = std::make_unique<FFmpeg::TCustomFFmpeg>();
    ASSERT_GE(task->ParseOptions(std::string(row.Options) + "-i " + Media("va1.mkv") +
                                 " -c copy -f null -"),
              0)
        << TLogCapture::All();
    EXPECT_EQ(task->Finput_files[0]->streams[0]->user_set_discard, row.Video);
    EXPECT_EQ(task->Finput_files[0]->streams[1]->user_set_discard, row.Audio);
  }
}

TEST_F(DemuxCommandLineTest, AnUnknownLayoutIsGuessedWithinTheLimit) {
  MediaBuilder::TMediaSpec spec;
  spec.Streams = "a";
  spec.Channels = 2;
  spec.Duration = 0.2;
  // WAV keeps no layout for two channels, only the count
  ASSERT_EQ(MediaBuilder::WriteMedia(Media("stereo.wav"), "wav", spec), 0);
  struct {
    const char* Name;
    const char* Options;
    AVChannelOrder Order;
    bool Guessed;
  } rows[] = {
      {"guessed", "", AV_CHANNEL_ORDER_NATIVE, true},
      {"over the limit", "-guess_layout_max 1 ", AV_CHANNEL_ORDER_UNSPEC, false},
      {"given", "-ch_layout:a stereo ", AV_CHANNEL_ORDER_NATIVE, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TLogCapture::Clear();
    auto task = std::make_unique<FFmpeg::TCustomFFmpeg>();
    ASSERT_GE(task->ParseOptions(std::string(row.Options) + "-i " + Media("stereo.wav") +
                                 " -c copy -f null -"),
              0)
        << TLogCapture::All();
    const AVChannelLayout& layout = task->Finput_files[0]->streams[0]->par->ch_layout;
    EXPECT_EQ(layout.order, row.Order);
    EXPECT_EQ(layout.nb_channels, 2);
    if (row.Order == AV_CHANNEL_ORDER_NATIVE) {
      EXPECT_EQ(layout.u.mask, AV_CH_LAYOUT_STEREO);
    }
    EXPECT_EQ(TLogCapture::HasText("Guessed Channel Layout: stereo"), row.Guessed)
        << TLogCapture::All();
  }
}

}  // namespace
