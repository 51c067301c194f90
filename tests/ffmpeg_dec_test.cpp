// Decoders of a conversion task, over real media made at test time: timestamps of
// decoded audio and video, the decode error rate, zero-size packets, subtitles with
// fixed durations, loopback decoder arguments, hardware selection without hardware, and
// the decode-side hooks. Decoders run on their own threads under a real scheduler; the
// test's nodes stand in for the demuxer (reading the file) and for what consumes the
// frames.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "LoaderTestSupport.h"
#include "MediaBuilder.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegDec.h"
#include "engine/FFmpegDecInternal.h"
#include "engine/FFmpegSched.h"
#include "platform/Bitmap.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFLoad.h"
#include "runtime/FFPtr.h"
#include "runtime/MyUtils.h"
#include "EngineTestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace FFmpegDec;
using namespace FFmpegSched;
using AVCodecStubs::av_new_packet;
using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::av_packet_free;
using AVCodecStubs::av_packet_unref;
using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_clone;
using AVUtilStubs::av_frame_free;
using AVUtilStubs::av_frame_unref;
using FFmpeg::TCustomFFmpeg;
using FFmpegHeader::TDecoderOpts;

constexpr auto CHangGuard = std::chrono::seconds(30);

// ---- A decoding graph -------------------------------------------------------------------

// The scheduler logs under each node's context, so the test's nodes begin with a class.
const char* NodeName(void*) { return "test node"; }
const AVClass CNodeClass = [] {
  AVClass c{};
  c.class_name = "TestNode";
  c.item_name = NodeName;
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}();

// What a consumer of one decoder output received.
struct TReceived {
  std::mutex Lock;
  std::vector<AVFrame*> Frames;  // frames with data, references kept to the end
  int EndMarks = 0;              // frames marking the end of the stream
};

// Per file: a demuxer node that reads the file's chosen stream, the decoder, and an
// encoder node that keeps every frame it receives (sending a token packet on to a muxer
// node, so the scheduler sees the output progress).
class TDecodeGraph {
 public:
  struct TSource {
    const AVClass* Class = &CNodeClass;
    TDecodeGraph* Graph = nullptr;
    AVFormatContext* Fmt = nullptr;
    int StreamIndex = -1;
    Cardinal DemuxIdx = 0;
    Cardinal EncIdx = 0;
    PDecoder Dec = nullptr;
    // May change a packet before it is sent (APos: its position in the stream).
    std::function<void(AVPacket* APkt, int APos)> Tamper;
    // Replaces the reading of the file (sends what the test wants; returns the result).
    std::function<int(TSource& ASource)> Body;
    TReceived Received;
  };

  explicit TDecodeGraph(TCustomFFmpeg* ATask) : FTask(ATask), FSch(sch_alloc(ATask)) {}
  ~TDecodeGraph() {
    sch_free(FSch);
    for (auto& s : FSources) {
      dec_free(s->Dec);
      for (AVFrame*& f : s->Received.Frames) av_frame_free(&f);
      AVFormatStubs::avformat_close_input(&s->Fmt);
    }
  }
  TDecodeGraph(const TDecodeGraph&) = delete;
  TDecodeGraph& operator=(const TDecodeGraph&) = delete;

  // Opens AFile, creates the decoder of its best stream of AType with AFlags and the
  // codec options AOpts, and wires it up. The result of dec_init (or of opening).
  int Add(const std::string& AFile, AVMediaType AType, int AFlags = 0,
          AVDictionary* AOpts = nullptr, TSource** ASource = nullptr,
          FFmpegHeader::THWAccelID AHwaccel = FFmpegHeader::HWACCEL_NONE,
          AVHWDeviceType AHwType = AV_HWDEVICE_TYPE_NONE) {
    FSources.push_back(std::make_unique<TSource>());
    TSource& s = *FSources.back();
    s.Graph = this;
    if (ASource) *ASource = &s;
    int ret = AVFormatStubs::avformat_open_input(&s.Fmt, AFile.c_str(), nullptr, nullptr);
    if (ret < 0) return ret;
    ret = AVFormatStubs::avformat_find_stream_info(s.Fmt, nullptr);
    if (ret < 0) return ret;
    s.StreamIndex = AVFormatStubs::av_find_best_stream(s.Fmt, AType, -1, -1, nullptr, 0);
    if (s.StreamIndex < 0) return s.StreamIndex;
    AVStream* st = s.Fmt->streams[s.StreamIndex];

    TDecoderOpts o{};
    o.flags = AFlags;
    o.codec = AVCodecStubs::avcodec_find_decoder(st->codecpar->codec_id);
    o.par = st->codecpar;
    o.time_base = st->time_base;
    o.framerate = st->avg_frame_rate;
    o.hwaccel_id = AHwaccel;
    o.hwaccel_device_type = AHwType;
    o.hwaccel_output_format = AV_PIX_FMT_NONE;
    AVDictionary* opts = nullptr;
    AVUtilStubs::av_dict_copy(&opts, AOpts, 0);
    // One codec thread unless asked: the libraries are not instrumented, and their own
    // frame threads hand buffers over through atomics that ThreadSanitizer cannot see.
    if (!AVUtilStubs::av_dict_get(opts, "threads", nullptr, 0))
      AVUtilStubs::av_dict_set(&opts, "threads", "1", 0);
    const int dec_idx = dec_init(FTask, s.Dec, FSch, &opts, &o, nullptr);
    AVUtilStubs::av_dict_free(&opts);
    if (dec_idx < 0) return dec_idx;
    return Wire(s, static_cast<Cardinal>(dec_idx));
  }

  // Wires up a decoder made elsewhere (such as a loopback decoder), fed from AFile.
  int AddDecoder(TDecoderPriv* ADec, const std::string& AFile, TSource** ASource) {
    FSources.push_back(std::make_unique<TSource>());
    TSource& s = *FSources.back();
    s.Graph = this;
    *ASource = &s;
    s.Dec = &ADec->dec;
    int ret = AVFormatStubs::avformat_open_input(&s.Fmt, AFile.c_str(), nullptr, nullptr);
    if (ret < 0) return ret;
    ret = AVFormatStubs::avformat_find_stream_info(s.Fmt, nullptr);
    if (ret < 0) return ret;
    s.StreamIndex = 0;
    return Wire(s, ADec->sch_idx);
  }

  // Sends the packets of the source's stream to its decoder: 0 at the end of the file.
  static int SendFile(TSource& s) {
    AVPacket* pkt = av_packet_alloc();
    const AVRational tb = s.Fmt->streams[s.StreamIndex]->time_base;
    int ret = 0;
    int pos = 0;
    while ((ret = AVFormatStubs::av_read_frame(s.Fmt, pkt)) >= 0) {
      if (pkt->stream_index != s.StreamIndex) {
        av_packet_unref(pkt);
        continue;
      }
      pkt->stream_index = 0;
      pkt->time_base = tb;
      if (s.Tamper) s.Tamper(pkt, pos);
      pos++;
      ret = sch_demux_send(s.Graph->FSch, s.DemuxIdx, pkt, 0);
      av_packet_unref(pkt);
      if (ret < 0) break;
    }
    av_packet_free(&pkt);
    return ret == AVERROR_EOF || ret == AVERROR_EXIT ? 0 : ret;
  }

 public:
  // Runs the graph to its end, serving the calls handed to the main thread meanwhile:
  // the merged result of the nodes.
  int Run() {
    int ret = sch_start(FSch);
    if (ret < 0) return ret;
    const auto until = std::chrono::steady_clock::now() + CHangGuard;
    std::int64_t ts = 0;
    bool ended = false;
    while (!ended && std::chrono::steady_clock::now() < until) {
      ended = sch_wait(FSch, 5000, ts) != 0;
      MyUtils::MyProcessMessages();
    }
    EXPECT_TRUE(ended) << "the graph did not end";
    return sch_stop(FSch);
  }

  TScheduler* Sch() { return FSch; }

 private:
  int Wire(TSource& s, Cardinal dec_idx) {
    int ret = 0;
    if (!FHaveMux) {
      FMuxIdx = static_cast<Cardinal>(sch_add_mux(FSch, MuxThread, nullptr, &FMuxCtx, 0, 0));
      FHaveMux = true;
    }
    s.DemuxIdx = static_cast<Cardinal>(sch_add_demux(FSch, DemuxThread, &s));
    const int ds = sch_add_demux_stream(FSch, s.DemuxIdx);
    s.EncIdx = static_cast<Cardinal>(sch_add_enc(FSch, SinkThread, &s, nullptr));
    const int ms = sch_add_mux_stream(FSch, FMuxIdx);
    if (ds < 0 || ms < 0) return AVERROR(ENOMEM);
    sch_mux_stream_buffering(FSch, FMuxIdx, static_cast<Cardinal>(ms), 52428800, 128);
    ret = sch_connect(FSch, SCH_DSTREAM(s.DemuxIdx, 0), SCH_DEC_IN(dec_idx));
    if (ret >= 0) ret = sch_connect(FSch, SCH_DEC_OUT(dec_idx, 0), SCH_ENC(s.EncIdx));
    if (ret >= 0)
      ret = sch_connect(FSch, SCH_ENC(s.EncIdx), SCH_MSTREAM(FMuxIdx, static_cast<Cardinal>(ms)));
    if (ret >= 0) ret = sch_mux_stream_ready(FSch, FMuxIdx, static_cast<Cardinal>(ms));
    return ret < 0 ? ret : static_cast<int>(dec_idx);
  }

  static int DemuxThread(void* AArg) {
    TSource& s = *static_cast<TSource*>(AArg);
    return s.Body ? s.Body(s) : SendFile(s);
  }

  static int SinkThread(void* AArg) {
    TSource& s = *static_cast<TSource*>(AArg);
    AVFrame* frame = av_frame_alloc();
    int ret = 0;
    std::int64_t n = 0;
    while (sch_enc_receive(s.Graph->FSch, s.EncIdx, frame) >= 0) {
      const bool data = frame->buf[0] != nullptr;
      {
        std::lock_guard<std::mutex> g(s.Received.Lock);
        if (data)
          s.Received.Frames.push_back(av_frame_clone(frame));
        else if (reinterpret_cast<std::intptr_t>(frame->opaque) == FRAME_OPAQUE_EOF)
          s.Received.EndMarks++;
      }
      av_frame_unref(frame);
      if (!data) continue;
      AVPacket* pkt = av_packet_alloc();
      ret = av_new_packet(pkt, 8);
      if (ret >= 0) {
        std::memset(pkt->data, 0, 8);
        pkt->pts = pkt->dts = n++;
        pkt->time_base = AVRational{1, 25};
        ret = sch_enc_send(s.Graph->FSch, s.EncIdx, pkt);
      }
      av_packet_free(&pkt);
      if (ret < 0) break;
    }
    av_frame_free(&frame);
    return ret == AVERROR_EOF || ret == AVERROR_EXIT ? 0 : ret;
  }

  static int MuxThread(void* AArg) {
    TDecodeGraph& g = *static_cast<TMuxCtx*>(AArg)->Graph;
    return EngineTestSupport::DrainMux(g.FSch, g.FMuxIdx);
  }

  struct TMuxCtx {
    const AVClass* Class = &CNodeClass;
    TDecodeGraph* Graph;
  };

  TCustomFFmpeg* FTask;
  TScheduler* FSch;
  TMuxCtx FMuxCtx{&CNodeClass, this};
  bool FHaveMux = false;
  Cardinal FMuxIdx = 0;
  std::vector<std::unique_ptr<TSource>> FSources;
};

// ---- Fixture ----------------------------------------------------------------------------

class FFmpegDecTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries));
    Dir() = fs::temp_directory_path() / ("ffmpeg_dec_" + std::to_string(getpid()));
    fs::create_directories(Dir());
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(Dir(), ec);
  }
  void SetUp() override { Task = std::make_unique<TCustomFFmpeg>(); }

  static fs::path& Dir() {
    static fs::path dir;
    return dir;
  }
  // A file of the media builder, made once per suite.
  static std::string Media(const std::string& AName, const MediaBuilder::TMediaSpec& ASpec,
                           const char* AFormat = nullptr) {
    const std::string file = (Dir() / AName).string();
    if (!fs::exists(file)) {
      EXPECT_EQ(MediaBuilder::WriteMedia(file, AFormat, ASpec), 0) << AName;
    }
    return file;
  }
  static std::string Video25(const std::string& AName = "v25.mkv") {
    MediaBuilder::TMediaSpec spec;
    spec.Streams = "v";
    spec.Duration = 1.0;
    return Media(AName, spec, "matroska");
  }

  std::unique_ptr<TCustomFFmpeg> Task;
};

// A decoder record for the timestamp routines alone (no scheduler, no thread).
struct TBareDecoder {
  TBareDecoder() {
    std::memset(&dp, 0, sizeof dp);
    dp.hwaccel_pix_fmt = AV_PIX_FMT_NONE;
    dp.last_frame_pts = AV_NOPTS_VALUE;
    dp.last_frame_tb = AVRational{1, 1};
    dp.last_filter_in_rescale_delta = AV_NOPTS_VALUE;
  }
  TDecoderPriv dp;
};

// ---- Audio timestamps -------------------------------------------------------------------

TEST_F(FFmpegDecTest, AudioTimestampsStayContinuousAcrossARateChangeAndMissingPts) {
  TBareDecoder b;
  struct {
    int SampleRate;
    std::int64_t Pts;  // in 1/SampleRate; AV_NOPTS_VALUE: none
    int Samples;
    std::int64_t WantPts;  // in 1/SampleRate
  } rows[] = {
      {44100, 0, 1024, 0},
      {44100, AV_NOPTS_VALUE, 1024, 1024},  // follows the previous frame
      // 2048 samples at 44100 Hz end at 2229.1 samples of 48000 Hz
      {48000, AV_NOPTS_VALUE, 1024, 2229},
      {48000, AV_NOPTS_VALUE, 1024, 3253},
  };
  FFPtr::TFramePtr frame(av_frame_alloc());
  int i = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(i++);
    av_frame_unref(frame.get());
    frame->sample_rate = row.SampleRate;
    frame->nb_samples = row.Samples;
    frame->pts = row.Pts;
    frame->time_base = AVRational{1, row.SampleRate};
    audio_ts_process(&b.dp, frame.get());
    EXPECT_EQ(frame->pts, row.WantPts);
    EXPECT_EQ(frame->time_base.num, 1);
    EXPECT_EQ(frame->time_base.den, row.SampleRate);
    EXPECT_EQ(frame->duration, row.Samples);
  }
  // the internal base counts both rates exactly: their least common multiple
  EXPECT_EQ(b.dp.last_frame_tb.den, 7056000);
}

// ---- Video timestamps -------------------------------------------------------------------

TEST_F(FFmpegDecTest, VideoDurationEstimate) {
  FFPtr::TCodecContextPtr ctx(AVCodecStubs::avcodec_alloc_context3(nullptr));
  struct {
    const char* Name;
    std::uint32_t Flags;
    std::int64_t Pts, LastPts, Duration, LastEst;
    AVRational CodecRate, RateIn;
    int RepeatPict;
    std::int64_t Want;
  } rows[] = {
      {"the frame's own duration", 0, 80, 40, 40, 7, {0, 1}, {0, 1}, 0, 40},
      {"forced rate keeps the frame's duration", DECODER_FLAG_FRAMERATE_FORCED, 80, 40, 1, 7,
       {25, 1}, {25, 1}, 0, 1},
      {"a made-up duration of 1 loses to the timestamps", 0, 120, 40, 1, 7, {0, 1}, {0, 1}, 0,
       80},
      {"unreliable timestamps: two fields of the codec rate", DECODER_FLAG_TS_UNRELIABLE, 80, 40,
       40, 7, {25, 1}, {0, 1}, 0, 40},
      {"unreliable timestamps with a repeated field", DECODER_FLAG_TS_UNRELIABLE, 80, 40, 40, 7,
       {25, 1}, {0, 1}, 1, 60},
      {"no duration: the timestamp step", 0, 100, 40, 0, 7, {0, 1}, {0, 1}, 0, 60},
      {"no duration, no step: the codec rate", 0, 40, AV_NOPTS_VALUE, 0, 7, {50, 1}, {0, 1}, 0,
       20},
      {"then the input frame rate", 0, 40, AV_NOPTS_VALUE, 0, 7, {0, 1}, {10, 1}, 0, 100},
      {"then the last estimate", 0, 40, AV_NOPTS_VALUE, 0, 7, {0, 1}, {0, 1}, 0, 7},
      {"at least 1", 0, 40, AV_NOPTS_VALUE, 0, 0, {0, 1}, {0, 1}, 0, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TBareDecoder b;
    b.dp.dec_ctx = ctx.get();
    ctx->framerate = row.CodecRate;
    b.dp.flags = row.Flags;
    b.dp.framerate_in = row.RateIn;
    b.dp.last_frame_pts = row.LastPts;
    b.dp.last_frame_duration_est = row.LastEst;
    FFPtr::TFramePtr frame(av_frame_alloc());
    frame->pts = row.Pts;
    frame->duration = row.Duration;
    frame->repeat_pict = row.RepeatPict;
    frame->time_base = AVRational{1, 1000};
    EXPECT_EQ(video_duration_estimate(&b.dp, frame.get()), row.Want);
  }
}

TEST_F(FFmpegDecTest, VideoFramesWithoutTimestampsFollowThePreviousOne) {
  TBareDecoder b;
  b.dp.Owner = Task.get();
  FFPtr::TFramePtr frame(av_frame_alloc());
  unsigned outputs = 1;

  // after a frame at pts 100 whose duration was estimated at 40
  b.dp.last_frame_pts = 100;
  b.dp.last_frame_duration_est = 40;
  frame->best_effort_timestamp = AV_NOPTS_VALUE;
  frame->format = AV_PIX_FMT_YUV420P;
  frame->time_base = AVRational{1, 1000};
  ASSERT_EQ(video_frame_process(&b.dp, frame.get(), outputs), 0);
  EXPECT_EQ(frame->pts, 140);
  EXPECT_EQ(outputs, 1u);

  // a forced frame rate counts frames in its own time base
  TBareDecoder f;
  f.dp.Owner = Task.get();
  f.dp.flags = DECODER_FLAG_FRAMERATE_FORCED;
  f.dp.framerate_in = AVRational{25, 1};
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    av_frame_unref(frame.get());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->best_effort_timestamp = 1000 + 333 * i;
    frame->time_base = AVRational{1, 1000};
    ASSERT_EQ(video_frame_process(&f.dp, frame.get(), outputs), 0);
    EXPECT_EQ(frame->pts, i);
    EXPECT_EQ(frame->duration, 1);
    EXPECT_EQ(frame->time_base.num, 1);
    EXPECT_EQ(frame->time_base.den, 25);
  }
}

// ---- Decoding on the decoder thread -----------------------------------------------------

TEST_F(FFmpegDecTest, DecodesEveryFrameWithTimestampsAndAnEndMark) {
  TDecodeGraph g(Task.get());
  TDecodeGraph::TSource* s = nullptr;
  ASSERT_GE(g.Add(Video25(), AVMEDIA_TYPE_VIDEO, 0, nullptr, &s), 0);
  // a packet without payload in the middle is neither a frame nor the end
  s->Tamper = [](AVPacket* APkt, int APos) {
    if (APos == 10) {
      av_packet_unref(APkt);
      ASSERT_EQ(av_new_packet(APkt, 0), 0);
    }
  };
  ASSERT_EQ(g.Run(), 0);

  // 25 packets, one of them emptied
  ASSERT_EQ(s->Received.Frames.size(), 24u);
  std::int64_t prev = -1;
  for (AVFrame* f : s->Received.Frames) {
    EXPECT_GT(f->pts, prev);
    EXPECT_GT(f->duration, 0);
    prev = f->pts;
  }
  EXPECT_EQ(s->Received.EndMarks, 1);
  EXPECT_EQ(s->Dec->frames_decoded, 24u);
  EXPECT_EQ(s->Dec->decode_errors, 0u);
}

// Packets damaged the way a broken file hands them over: every third one is garbage.
void DamageEveryThird(AVPacket* APkt, int APos) {
  if (APos % 3 == 1) std::memset(APkt->data, 0xFF, static_cast<size_t>(APkt->size));
}

TEST_F(FFmpegDecTest, DecodeErrorRateIsCheckedAgainstTheMaximum) {
  MediaBuilder::TMediaSpec spec;
  const std::string file = Media("raw.m4v", spec, "m4v");
  struct {
    const char* Name;
    float MaxRate;
    int Want;
    bool Exceeds;
  } rows[] = {
      {"the default tolerates a few damaged packets", 2.0f / 3.0f, 0, false},
      {"-max_error_rate 0 tolerates none", 0.0f, AVERROR_DECODE_ERROR_RATE, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TLogCapture log;
    Task = std::make_unique<TCustomFFmpeg>();
    Task->Fmax_error_rate = row.MaxRate;
    TDecodeGraph g(Task.get());
    TDecodeGraph::TSource* s = nullptr;
    ASSERT_GE(g.Add(file, AVMEDIA_TYPE_VIDEO, 0, nullptr, &s), 0);
    s->Tamper = DamageEveryThird;
    EXPECT_EQ(g.Run(), row.Want);
    EXPECT_GT(s->Dec->decode_errors, 0u);
    EXPECT_GT(s->Dec->frames_decoded, s->Dec->decode_errors);
    EXPECT_EQ(log.Has(AV_LOG_FATAL, "exceeds maximum 0"), row.Exceeds) << log.All();
    // decoding went on after each damaged packet
    EXPECT_EQ(s->Received.Frames.size(), s->Dec->frames_decoded);
  }
}

TEST_F(FFmpegDecTest, ExitOnErrorStopsTheDecoderAtTheFirstDamagedPacket) {
  MediaBuilder::TMediaSpec spec;
  const std::string file = Media("raw.m4v", spec, "m4v");
  Task->Fexit_on_error = 1;
  TDecodeGraph g(Task.get());
  TDecodeGraph::TSource* s = nullptr;
  ASSERT_GE(g.Add(file, AVMEDIA_TYPE_VIDEO, 0, nullptr, &s), 0);
  s->Tamper = DamageEveryThird;
  EXPECT_LT(g.Run(), 0);
  EXPECT_EQ(s->Dec->decode_errors, 1u);
  EXPECT_EQ(s->Received.EndMarks, 0);
}

// ---- Hardware selection -----------------------------------------------------------------

TEST_F(FFmpegDecTest, HardwareSelectionFallsBackToSoftware) {
  // this build of the libraries offers no hardware configuration at all
  const AVCodec* mpeg4 = AVCodecStubs::avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  ASSERT_EQ(AVCodecStubs::avcodec_get_hw_config(mpeg4, 0), nullptr);
  {
    SCOPED_TRACE("-hwaccel auto: quietly software");
    TLogCapture log;
    TDecodeGraph g(Task.get());
    TDecodeGraph::TSource* s = nullptr;
    ASSERT_GE(g.Add(Video25(), AVMEDIA_TYPE_VIDEO, 0, nullptr, &s, FFmpegHeader::HWACCEL_AUTO),
              0);
    EXPECT_EQ(g.Run(), 0);
    EXPECT_EQ(s->Received.Frames.size(), 25u);
    EXPECT_FALSE(log.HasText("hwaccel")) << log.All();
  }
  {
    SCOPED_TRACE("a named hardware type without a device fails the open");
    TLogCapture log;
    TDecodeGraph g(Task.get());
    EXPECT_LT(g.Add(Video25(), AVMEDIA_TYPE_VIDEO, 0, nullptr, nullptr,
                    FFmpegHeader::HWACCEL_GENERIC, AV_HWDEVICE_TYPE_VAAPI),
              0);
    EXPECT_TRUE(log.Has(AV_LOG_ERROR,
                        "No device available for decoder: device type vaapi needed for codec "
                        "mpeg4."))
        << log.All();
    EXPECT_TRUE(log.Has(AV_LOG_ERROR, "Hardware device setup failed for decoder")) << log.All();
  }
}

// ---- Subtitles --------------------------------------------------------------------------

TEST_F(FFmpegDecTest, FixSubDurationEndsEachSubtitleWhereTheNextBegins) {
  const std::string file = (Dir() / "three.srt").string();
  {
    std::ofstream out(file);
    out << "1\n00:00:00,000 --> 00:00:05,000\nfirst\n\n"
           "2\n00:00:02,000 --> 00:00:03,000\nsecond\n\n"
           "3\n00:00:04,000 --> 00:00:06,000\nthird\n\n";
  }
  struct {
    const char* Name;
    int Flags;
    std::vector<std::uint32_t> WantEnd;  // end display times, milliseconds
  } rows[] = {
      {"as given", 0, {5000, 1000, 2000}},
      // the first is cut where the second begins; the last, with nothing after it,
      // keeps its duration rather than being lost
      {"-fix_sub_duration", DECODER_FLAG_FIX_SUB_DURATION, {2000, 1000, 2000}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TDecodeGraph g(Task.get());
    TDecodeGraph::TSource* s = nullptr;
    ASSERT_GE(g.Add(file, AVMEDIA_TYPE_SUBTITLE, row.Flags, nullptr, &s), 0);
    ASSERT_EQ(g.Run(), 0);
    ASSERT_EQ(s->Received.Frames.size(), row.WantEnd.size());
    const char* texts[] = {"first", "second", "third"};
    for (size_t i = 0; i < row.WantEnd.size(); i++) {
      SCOPED_TRACE(i);
      const AVSubtitle* sub = reinterpret_cast<const AVSubtitle*>(s->Received.Frames[i]->buf[0]->data);
      EXPECT_EQ(sub->pts, static_cast<std::int64_t>(i) * 2 * AV_TIME_BASE);
      EXPECT_EQ(sub->end_display_time, row.WantEnd[i]);
      ASSERT_EQ(sub->num_rects, 1u);
      EXPECT_NE(std::string(sub->rects[0]->ass).find(texts[i]), std::string::npos);
    }
    EXPECT_EQ(s->Dec->frames_decoded, 3u);
  }
}

TEST_F(FFmpegDecTest, DeepCopiedSubtitleOwnsEverything) {
  // a bitmap subtitle with a palette and a text one
  AVSubtitle src{};
  src.pts = 123;
  src.end_display_time = 900;
  src.num_rects = 2;
  src.rects = static_cast<AVSubtitleRect**>(AVUtilStubs::av_calloc(2, sizeof(AVSubtitleRect*)));
  for (int i = 0; i < 2; i++)
    src.rects[i] = static_cast<AVSubtitleRect*>(AVUtilStubs::av_mallocz(sizeof(AVSubtitleRect)));
  AVSubtitleRect* bmp = src.rects[0];
  bmp->type = SUBTITLE_BITMAP;
  bmp->w = 4;
  bmp->h = 2;
  bmp->linesize[0] = 4;
  bmp->nb_colors = 2;
  bmp->data[0] = static_cast<std::uint8_t*>(AVUtilStubs::av_malloc(8));
  std::memset(bmp->data[0], 1, 8);
  bmp->data[1] = static_cast<std::uint8_t*>(AVUtilStubs::av_mallocz(AVPALETTE_SIZE));
  bmp->data[1][AVPALETTE_SIZE - 1] = 0x7F;
  src.rects[1]->type = SUBTITLE_ASS;
  src.rects[1]->ass = AVUtilStubs::av_strdup("0,0,Default,,0,0,0,,hello");

  FFPtr::TFramePtr frame(av_frame_alloc());
  ASSERT_EQ(subtitle_wrap_frame(frame.get(), &src, true), 0);
  AVCodecStubs::avsubtitle_free(&src);  // the copy must not share anything with it

  const AVSubtitle* copy = reinterpret_cast<const AVSubtitle*>(frame->buf[0]->data);
  EXPECT_EQ(copy->pts, 123);
  EXPECT_EQ(copy->end_display_time, 900u);
  ASSERT_EQ(copy->num_rects, 2u);
  EXPECT_EQ(copy->rects[0]->data[0][7], 1);
  EXPECT_EQ(copy->rects[0]->data[1][AVPALETTE_SIZE - 1], 0x7F);
  EXPECT_STREQ(copy->rects[1]->ass, "0,0,Default,,0,0,0,,hello");
}

// ---- Loopback decoder arguments ---------------------------------------------------------

TEST_F(FFmpegDecTest, LoopbackDecoderArgumentsAreChecked) {
  // one output file with two streams, the second without an encoder
  FFmpegHeader::TOutputStream streams[2]{};
  FFmpegHeader::TOutputStream* stream_ptrs[2] = {&streams[0], &streams[1]};
  FFmpegHeader::TOutputFile of{};
  of.streams = stream_ptrs;
  of.nb_streams = 2;
  FFmpegHeader::TOutputFile* files[1] = {&of};
  Task->Foutput_files = files;
  Task->Fnb_output_files = 1;

  TScheduler* sch = sch_alloc(Task.get());
  FFmpegHeader::TOptionsContext o{};
  struct {
    const char* Arg;
    const char* Text;
  } rows[] = {
      {"1:0", "Invalid output file index '1' in 1:0"},
      {"-1:0", "Invalid output file index '-1' in -1:0"},
      {"0:5", "Invalid output stream index '5' in 0:5"},
      {"0", "Missing output stream index in 0"},
      {"0:1", "Output stream 0:1 has no encoder"},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Arg);
    TLogCapture log;
    EXPECT_EQ(dec_create(Task.get(), &o, row.Arg, sch), AVERROR(EINVAL));
    EXPECT_TRUE(log.Has(AV_LOG_ERROR, row.Text)) << log.All();
    // the decoder joined the task's list, whose clean-up frees it
    ASSERT_EQ(Task->Fnb_decoders, ++n);
    EXPECT_EQ(dp_from_dec(Task->Fdecoders[n - 1])->index, n - 1);
  }
  Task->Foutput_files = nullptr;
  Task->Fnb_output_files = 0;
  for (int i = 0; i < Task->Fnb_decoders; i++) dec_free(Task->Fdecoders[i]);
  AVUtilStubs::av_freep(&Task->Fdecoders);
  Task->Fnb_decoders = 0;
  sch_free(sch);
}

TEST_F(FFmpegDecTest, LoopbackDecoderOpensFromItsFirstPacket) {
  struct {
    const char* Name;
    bool Flush;       // a flush request comes first
    bool Packets;     // then the file's packets
    bool Parameters;  // the first packet carries the encoder's parameters
    int Want;
    std::size_t Frames;
    const char* Text;
  } rows[] = {
      {"parameters on the first packet", true, true, true, 0, 25, nullptr},
      // (nothing to decode is no failure of the task: the end of input is the result)
      {"a flush alone leaves it unopened; the end finds it so", true, false, false, 0, 0,
       "Cannot initialize a standalone decoder"},
      {"a first packet without parameters", false, true, false, AVERROR_BUG, 0, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TLogCapture log;
    TDecodeGraph g(Task.get());
    TDecoderPriv* dp = nullptr;
    ASSERT_EQ(dec_alloc(Task.get(), dp, g.Sch(), false), 0);
    dp->index = 3;
    // (one codec thread, as everywhere in these tests)
    AVUtilStubs::av_dict_set(&dp->standalone_opts, "threads", "1", 0);
    TDecodeGraph::TSource* s = nullptr;
    ASSERT_GE(g.AddDecoder(dp, Video25(), &s), 0);
    const AVCodecParameters* par = s->Fmt->streams[0]->codecpar;
    s->Tamper = [&row, par](AVPacket* APkt, int APos) {
      if (APos != 0 || !row.Parameters) return;
      // what an encoder feeding a loopback decoder attaches to its first packet
      FFmpegHeader::TFrameData* fd = FFmpeg::packet_data(APkt);
      ASSERT_NE(fd, nullptr);
      fd->par_enc = AVCodecStubs::avcodec_parameters_alloc();
      ASSERT_GE(AVCodecStubs::avcodec_parameters_copy(fd->par_enc, par), 0);
    };
    s->Body = [&row](TDecodeGraph::TSource& ASource) {
      if (row.Flush) {
        FFPtr::TPacketPtr flush(av_packet_alloc());
        flush->stream_index = -1;
        const int ret = sch_demux_send(ASource.Graph->Sch(), ASource.DemuxIdx, flush.get(), 0);
        if (ret < 0) return ret;
      }
      return row.Packets ? TDecodeGraph::SendFile(ASource) : 0;
    };
    EXPECT_EQ(g.Run(), row.Want);
    EXPECT_EQ(s->Received.Frames.size(), row.Frames);
    if (row.Text) {
      EXPECT_TRUE(log.Has(AV_LOG_ERROR, row.Text)) << log.All();
    }
    if (row.Frames) {
      EXPECT_STREQ(dp->log_name, "dec:mpeg4");
    }
  }
}

// ---- Decode-side hooks ------------------------------------------------------------------

// Frame numbers seen by the frame hook. It paints the top Rows rows of the frames up to
// number UpTo gray, with the frame number as their brightness (16 + 8 per frame, inside
// the video range).
struct TFrameHookLog {
  int Rows = 16;
  int UpTo = INT_MAX;
  std::mutex Lock;
  std::vector<int> Numbers;
  std::atomic<int> Calls{0};
};

constexpr int MarkOf(int AFrameNumber) { return 16 + AFrameNumber * 8; }

void MarkTopRows(void* AData, Platform::TObject*, FFUtils::PAVPicture APicture, AVPixelFormat,
                 int AFrameNumber, int AWidth, int AHeight, const std::int64_t&) {
  auto& log = *static_cast<TFrameHookLog*>(AData);
  {
    std::lock_guard<std::mutex> g(log.Lock);
    log.Numbers.push_back(AFrameNumber);
  }
  log.Calls++;
  if (AFrameNumber > log.UpTo) return;
  const int rows = std::min(log.Rows, AHeight);
  for (int y = 0; y < rows; y++)
    std::memset(APicture->data[0] + y * APicture->linesize[0], MarkOf(AFrameNumber),
                static_cast<size_t>(AWidth));
  for (int p = 1; p < 3; p++)
    for (int y = 0; y < rows / 2; y++)
      std::memset(APicture->data[p] + y * APicture->linesize[p], 128,
                  static_cast<size_t>(AWidth / 2));
}

// Paints a black square (8..23, 8..23) into the bitmap.
void PaintBlackSquare(void* AData, Platform::TObject*, Platform::TBitmap* ABitmap, int,
                      const std::int64_t&, bool& AUpdate, bool&) {
  static_cast<std::atomic<int>*>(AData)->fetch_add(1);
  const int bpp = ABitmap->BitsPerPixel() / 8;
  for (int y = 8; y < 24; y++)
    std::memset(ABitmap->ScanLine(y) + 8 * bpp, 0, static_cast<size_t>(16 * bpp));
  AUpdate = true;
}

// Y rows of a decoded frame, from row AFrom on.
std::vector<std::uint8_t> LumaRows(const AVFrame* AFrame, int AFrom) {
  std::vector<std::uint8_t> out;
  for (int y = AFrom; y < AFrame->height; y++)
    out.insert(out.end(), AFrame->data[0] + y * AFrame->linesize[0],
               AFrame->data[0] + y * AFrame->linesize[0] + AFrame->width);
  return out;
}

class FFmpegDecHookTest : public FFmpegDecTest {
 protected:
  // The Y planes of the 25-frame clip as decoded without hooks.
  std::vector<std::vector<std::uint8_t>> Plain() {
    TCustomFFmpeg task;
    TDecodeGraph g(&task);
    TDecodeGraph::TSource* s = nullptr;
    EXPECT_GE(g.Add(Video25(), AVMEDIA_TYPE_VIDEO, 0, nullptr, &s), 0);
    EXPECT_EQ(g.Run(), 0);
    std::vector<std::vector<std::uint8_t>> planes;
    for (AVFrame* f : s->Received.Frames) planes.push_back(LumaRows(f, 0));
    return planes;
  }
};

TEST_F(FFmpegDecHookTest, HookedPictureStaysWithItsOwnFrame) {
  const auto plain = Plain();
  ASSERT_EQ(plain.size(), 25u);
  struct {
    const char* Name;
    int Rows;
    int UpTo;
  } rows[] = {
      // each frame queued downstream keeps its own mark
      {"a band on every frame", 16, INT_MAX},
      // the codec predicts the next frames from its own, unpainted pictures
      {"the whole first frame", 48, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    Task = std::make_unique<TCustomFFmpeg>();
    TFrameHookLog hook;
    hook.Rows = row.Rows;
    hook.UpTo = row.UpTo;
    Task->FOnFrameInputHook = FFmpeg::TTaskFrameHookEvent::FromFunction(MarkTopRows, &hook);
    // (one codec thread: each frame is decoded only after the hook ran on the one before)
    TDecodeGraph g(Task.get());
    TDecodeGraph::TSource* s = nullptr;
    ASSERT_GE(g.Add(Video25(), AVMEDIA_TYPE_VIDEO, 0, nullptr, &s), 0);
    ASSERT_EQ(g.Run(), 0);

    // numbered from 1, one call per frame
    ASSERT_EQ(hook.Numbers.size(), 25u);
    for (int i = 0; i < 25; i++) EXPECT_EQ(hook.Numbers[i], i + 1);

    ASSERT_EQ(s->Received.Frames.size(), 25u);
    for (int i = 0; i < 25; i++) {
      SCOPED_TRACE(i);
      const AVFrame* f = s->Received.Frames[i];
      const bool painted = i + 1 <= row.UpTo;
      const int marked = painted ? row.Rows : 0;
      for (int y = 0; y < marked; y++)
        for (int x = 0; x < f->width; x++)
          ASSERT_EQ(f->data[0][y * f->linesize[0] + x], MarkOf(i + 1));
      const std::vector<std::uint8_t> rest = LumaRows(f, marked);
      EXPECT_TRUE(std::equal(rest.begin(), rest.end(), plain[i].begin() + marked * f->width));
    }
  }
}

TEST_F(FFmpegDecHookTest, BitmapHookPaintingIsVisibleInTheOutput) {
  std::atomic<int> calls{0};
  Task->FOnVideoInputHook = FFmpeg::TTaskVideoHookEvent::FromFunction(PaintBlackSquare, &calls);
  TDecodeGraph g(Task.get());
  TDecodeGraph::TSource* s = nullptr;
  ASSERT_GE(g.Add(Video25(), AVMEDIA_TYPE_VIDEO, 0, nullptr, &s), 0);
  ASSERT_EQ(g.Run(), 0);
  EXPECT_EQ(calls.load(), 25);
  ASSERT_EQ(s->Received.Frames.size(), 25u);
  for (const AVFrame* f : s->Received.Frames) {
    ASSERT_EQ(f->format, AV_PIX_FMT_YUV420P);
    int black = 0;
    for (int y = 10; y < 22; y++)
      for (int x = 10; x < 22; x++) black += f->data[0][y * f->linesize[0] + x] <= 20;
    EXPECT_EQ(black, 12 * 12);
    // outside the square the test picture is not black
    int bright = 0;
    for (int x = 30; x < f->width; x++) bright += f->data[0][30 * f->linesize[0] + x] > 40;
    EXPECT_GT(bright, 0);
  }
}

TEST_F(FFmpegDecHookTest, TwoDecodersRunTheirHooksAtOnce) {
  MediaBuilder::TMediaSpec spec;
  spec.Width = 96;
  spec.Height = 64;
  const std::string second = Media("v25b.mkv", spec, "matroska");

  TFrameHookLog hook;
  std::atomic<int> paints{0};
  Task->FOnFrameInputHook = FFmpeg::TTaskFrameHookEvent::FromFunction(MarkTopRows, &hook);
  Task->FOnVideoInputHook = FFmpeg::TTaskVideoHookEvent::FromFunction(PaintBlackSquare, &paints);
  TDecodeGraph g(Task.get());
  TDecodeGraph::TSource* a = nullptr;
  TDecodeGraph::TSource* b = nullptr;
  ASSERT_GE(g.Add(Video25(), AVMEDIA_TYPE_VIDEO, 0, nullptr, &a), 0);
  ASSERT_GE(g.Add(second, AVMEDIA_TYPE_VIDEO, 0, nullptr, &b), 0);
  ASSERT_EQ(g.Run(), 0);

  EXPECT_EQ(hook.Calls.load(), 50);
  EXPECT_EQ(paints.load(), 50);
  for (TDecodeGraph::TSource* s : {a, b}) {
    ASSERT_EQ(s->Received.Frames.size(), 25u);
    for (int i = 0; i < 25; i++) {
      SCOPED_TRACE(i);
      const AVFrame* f = s->Received.Frames[i];
      // each frame has its own decoder's size and its own number, never the other's
      EXPECT_EQ(f->width, s == a ? 64 : 96);
      // (through the bitmap and back, the gray keeps its brightness within a step)
      EXPECT_NEAR(f->data[0][4 * f->linesize[0] + 40], MarkOf(i + 1), 3);
      EXPECT_LE(f->data[0][15 * f->linesize[0] + 15], 20);
    }
  }
}

TEST_F(FFmpegDecHookTest, HooksSeeTheFramesOwnFormatAndSize) {
  // as after a hardware download or cropping: the frame is not what the codec reports
  FFPtr::TCodecContextPtr ctx(AVCodecStubs::avcodec_alloc_context3(nullptr));
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->width = 64;
  ctx->height = 48;
  TBareDecoder b;
  b.dp.Owner = Task.get();
  b.dp.dec_ctx = ctx.get();

  struct TSeen {
    AVPixelFormat Fmt = AV_PIX_FMT_NONE;
    int Width = 0, Height = 0;
  } seen;
  Task->FOnFrameInputHook = FFmpeg::TTaskFrameHookEvent::FromFunction(
      [](void* AData, Platform::TObject*, FFUtils::PAVPicture APicture, AVPixelFormat AFmt, int,
         int AWidth, int AHeight, const std::int64_t&) {
        auto& s = *static_cast<TSeen*>(AData);
        s.Fmt = AFmt;
        s.Width = AWidth;
        s.Height = AHeight;
        // the packed NV12 picture: interleaved chroma right after the luma
        std::memset(APicture->data[1], 200, static_cast<size_t>(AWidth * AHeight / 2));
      },
      &seen);

  FFPtr::TFramePtr frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_NV12;
  frame->width = 40;
  frame->height = 30;
  ASSERT_EQ(AVUtilStubs::av_frame_get_buffer(frame.get(), 0), 0);
  std::memset(frame->data[1], 0, static_cast<size_t>(frame->linesize[1] * 15));
  video_hook_process(&b.dp, frame.get());

  EXPECT_EQ(seen.Fmt, AV_PIX_FMT_NV12);
  EXPECT_EQ(seen.Width, 40);
  EXPECT_EQ(seen.Height, 30);
  // the change came back into the frame
  EXPECT_EQ(frame->data[1][14 * frame->linesize[1] + 39], 200);
  AVUtilStubs::av_freep(&b.dp.hook_picture);
}

// ---- Whole command lines ----------------------------------------------------------------

// Jobs of a conversion task over files made here: the decoders as the command line
// sets them up, from the input files to the written output.
class FFmpegDecJobTest : public FFmpegDecTest {
 protected:
  // Parses and runs ALine synchronously: the task's error text, empty on success.
  std::string RunJob(FFmpeg::TFFmpeg& ATask, const std::string& ALine) {
    const int ret = ATask.ParseOptions(ALine);
    if (ret < 0) return "parse: " + ATask.LastErrMsg();
    ATask.Start(false);
    return ATask.HasError() ? ATask.ErrorText() : std::string();
  }
  static std::string Path(const std::string& AName) { return (Dir() / AName).string(); }

  // The clip with every third packet garbage, as a damaged file delivers it.
  static std::string Damaged() {
    const std::string out = Path("damaged.mkv");
    if (fs::exists(out)) return out;
    AVFormatContext* in = nullptr;
    EXPECT_EQ(AVFormatStubs::avformat_open_input(&in, Video25().c_str(), nullptr, nullptr), 0);
    FFPtr::TInputFormatPtr keep_in(in);
    EXPECT_GE(AVFormatStubs::avformat_find_stream_info(in, nullptr), 0);
    AVFormatContext* raw = nullptr;
    EXPECT_GE(AVFormatStubs::avformat_alloc_output_context2(&raw, nullptr, "matroska", out.c_str()), 0);
    FFPtr::TOutputFormatPtr o(raw);
    AVStream* st = AVFormatStubs::avformat_new_stream(raw, nullptr);
    AVCodecStubs::avcodec_parameters_copy(st->codecpar, in->streams[0]->codecpar);
    st->time_base = in->streams[0]->time_base;
    EXPECT_GE(AVFormatStubs::avio_open2(&raw->pb, out.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), 0);
    EXPECT_GE(AVFormatStubs::avformat_write_header(raw, nullptr), 0);
    FFPtr::TPacketPtr pkt(av_packet_alloc());
    for (int pos = 0; AVFormatStubs::av_read_frame(in, pkt.get()) >= 0; pos++) {
      DamageEveryThird(pkt.get(), pos);
      AVCodecStubs::av_packet_rescale_ts(pkt.get(), in->streams[0]->time_base, st->time_base);
      EXPECT_GE(AVFormatStubs::av_interleaved_write_frame(raw, pkt.get()), 0);
    }
    EXPECT_GE(AVFormatStubs::av_write_trailer(raw), 0);
    return out;
  }
};

TEST_F(FFmpegDecJobTest, ErrorRateOfADamagedFile) {
  const std::string in = Damaged();
  struct {
    const char* Name;
    const char* Options;
    bool Fails;
  } rows[] = {
      {"the default maximum", "", false},
      {"-max_error_rate 0", "-max_error_rate 0 ", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TLogCapture log;
    FFmpeg::TFFmpeg task;
    const std::string err = RunJob(task, std::string(row.Options) + "-threads 1 -i " + in +
                                             " -c:v mpeg4 -threads 1 -filter_threads 1 -y " + Path("rate.mkv"));
    EXPECT_EQ(!err.empty(), row.Fails) << err;
    EXPECT_EQ(log.Has(AV_LOG_FATAL, "exceeds maximum 0"), row.Fails) << log.All();
    EXPECT_TRUE(log.Has(AV_LOG_ERROR, "Error submitting packet to decoder: ")) << log.All();
  }
}

TEST_F(FFmpegDecJobTest, LoopbackDecoderFeedsAComplexGraph) {
  const std::string out = Path("loop.mkv");
  {
    SCOPED_TRACE("bad loopback arguments fail the parse");
    for (const char* arg : {"1:0", "0:3"}) {
      FFmpeg::TFFmpeg task;
      const std::string err = RunJob(task, "-threads 1 -i " + Video25() +
                                               " -map 0:v -c:v mpeg4 -f null - -dec " + arg);
      EXPECT_EQ(err.rfind("parse: ", 0), 0u) << arg << ": " << err;
    }
  }
  // the encoded stream, decoded again, beside the original
  FFmpeg::TFFmpeg task;
  const std::string err =
      RunJob(task, "-threads 1 -i " + Video25() +
                       " -map 0:v -c:v mpeg4 -threads 1 -f null - -threads 1 -dec 0:0 -filter_complex_threads 1"
                       " -filter_complex [0:v][dec:0]hstack[s] -map [s] -c:v mpeg4 -threads 1"
                       " -y " + out);
  ASSERT_EQ(err, "");
  TCustomFFmpeg probe;
  TDecodeGraph g(&probe);
  TDecodeGraph::TSource* s = nullptr;
  ASSERT_GE(g.Add(out, AVMEDIA_TYPE_VIDEO, 0, nullptr, &s), 0);
  ASSERT_EQ(g.Run(), 0);
  ASSERT_EQ(s->Received.Frames.size(), 25u);
  EXPECT_EQ(s->Received.Frames[0]->width, 128);
  EXPECT_EQ(s->Received.Frames[0]->height, 48);
}

TEST_F(FFmpegDecJobTest, InputHooksOfTwoDecodersReachTheOutput) {
  MediaBuilder::TMediaSpec spec;
  spec.Width = 96;
  spec.Height = 48;
  const std::string second = Media("v25c.mkv", spec, "matroska");
  const std::string out = Path("hooked.mkv");

  TFrameHookLog hook;
  std::atomic<int> paints{0};
  FFmpeg::TFFmpeg task;
  task.FOnFrameInputHook = FFmpeg::TTaskFrameHookEvent::FromFunction(MarkTopRows, &hook);
  task.FOnVideoInputHook = FFmpeg::TTaskVideoHookEvent::FromFunction(PaintBlackSquare, &paints);
  const std::string err =
      RunJob(task, "-threads 1 -i " + Video25() + " -threads 1 -i " + second +
                       " -filter_complex_threads 1 -filter_complex [0:v][1:v]hstack -c:v mpeg4 -q:v 2 -threads 1 -y " + out);
  ASSERT_EQ(err, "");
  EXPECT_EQ(hook.Calls.load(), 50);
  EXPECT_EQ(paints.load(), 50);

  TCustomFFmpeg probe;
  TDecodeGraph g(&probe);
  TDecodeGraph::TSource* s = nullptr;
  ASSERT_GE(g.Add(out, AVMEDIA_TYPE_VIDEO, 0, nullptr, &s), 0);
  ASSERT_EQ(g.Run(), 0);
  ASSERT_EQ(s->Received.Frames.size(), 25u);
  for (int i = 0; i < 25; i++) {
    SCOPED_TRACE(i);
    const AVFrame* f = s->Received.Frames[i];
    ASSERT_EQ(f->width, 160);
    // both halves carry their own black square and their own frame's mark
    for (int left : {0, 64}) {
      EXPECT_LE(f->data[0][15 * f->linesize[0] + left + 15], 24);
      EXPECT_NEAR(f->data[0][4 * f->linesize[0] + left + 40], MarkOf(i + 1), 6);
    }
  }
}

TEST_F(FFmpegDecJobTest, FixSubDurationInAConversion) {
  const std::string in = Path("job.srt");
  {
    std::ofstream f(in);
    f << "1\n00:00:00,000 --> 00:00:05,000\nfirst\n\n"
         "2\n00:00:02,000 --> 00:00:03,000\nsecond\n\n";
  }
  const std::string out = Path("fixed.srt");
  FFmpeg::TFFmpeg task;
  ASSERT_EQ(RunJob(task, "-fix_sub_duration -i " + in + " -c:s srt -y " + out), "");
  std::ifstream f(out);
  const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("00:00:00,000 --> 00:00:02,000\nfirst"), std::string::npos) << text;
  EXPECT_NE(text.find("00:00:02,000 --> 00:00:03,000\nsecond"), std::string::npos) << text;
}

TEST_F(FFmpegDecJobTest, HwaccelAutoDecodesInSoftwareQuietly) {
  TLogCapture log;
  FFmpeg::TFFmpeg task;
  EXPECT_EQ(RunJob(task, "-hwaccel auto -threads 1 -i " + Video25() +
                             " -c:v mpeg4 -threads 1 -y " + Path("auto.mkv")),
            "");
  // nothing to say about it (the option parser's own debug lines aside)
  for (const auto& l : TLogCapture::Snapshot())
    EXPECT_FALSE(l.Level <= AV_LOG_INFO && (l.Text.find("hwaccel") != std::string::npos ||
                                            l.Text.find("device") != std::string::npos))
        << l.Text;
}

}  // namespace
