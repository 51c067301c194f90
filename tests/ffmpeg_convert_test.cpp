// Whole conversions: one command line through one task (parse, run synchronously), over
// inputs made at test time from lavfi sources; the outputs are probed and decoded through
// the bound libraries.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LoaderTestSupport.h"
#include "LogCapture.h"
#include "MediaBuilder.h"
#include "TempFolder.h"
#include "TestWaveOut.h"
#include "engine/FFmpeg.h"
#include "platform/Bitmap.h"
#include "platform/Dispatcher.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "MainThreadPump.h"

namespace {

using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::av_packet_free;
using AVCodecStubs::av_packet_unref;
using AVFormatStubs::av_read_frame;
using AVFormatStubs::avformat_close_input;
using AVFormatStubs::avformat_find_stream_info;
using AVFormatStubs::avformat_open_input;

// What a probe of an output file sees of one stream.
struct TProbedStream {
  AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
  std::string Codec;
  int Width = 0, Height = 0;
  int SampleRate = 0, Channels = 0;
  AVRational TimeBase{0, 1};
  std::vector<std::int64_t> Pts, Dts, Durations;  // per packet, in TimeBase
  std::vector<bool> Key;
  // seconds from the first packet's start to the last packet's end
  double Duration() const {
    if (Pts.empty()) return 0;
    std::int64_t first = Pts[0], last_end = Pts[0];
    for (std::size_t i = 0; i < Pts.size(); i++) {
      first = std::min(first, Pts[i]);
      last_end = std::max(last_end, Pts[i] + Durations[i]);
    }
    return static_cast<double>(last_end - first) * TimeBase.num / TimeBase.den;
  }
};

std::vector<TProbedStream> Probe(const std::string& AFile) {
  std::vector<TProbedStream> result;
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, AFile.c_str(), nullptr, nullptr) < 0) return result;
  if (avformat_find_stream_info(ic, nullptr) < 0) {
    avformat_close_input(&ic);
    return result;
  }
  for (unsigned i = 0; i < ic->nb_streams; i++) {
    const AVCodecParameters* par = ic->streams[i]->codecpar;
    TProbedStream s;
    s.Type = par->codec_type;
    s.Codec = AVCodecStubs::avcodec_get_name(par->codec_id);
    s.Width = par->width;
    s.Height = par->height;
    s.SampleRate = par->sample_rate;
    s.Channels = par->ch_layout.nb_channels;
    s.TimeBase = ic->streams[i]->time_base;
    result.push_back(s);
  }
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(ic, pkt) >= 0) {
    TProbedStream& s = result[pkt->stream_index];
    s.Pts.push_back(pkt->pts);
    s.Dts.push_back(pkt->dts);
    s.Durations.push_back(pkt->duration);
    s.Key.push_back(pkt->flags & AV_PKT_FLAG_KEY);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avformat_close_input(&ic);
  return result;
}

const TProbedStream* FindStream(const std::vector<TProbedStream>& AStreams, AVMediaType AType) {
  for (const TProbedStream& s : AStreams)
    if (s.Type == AType) return &s;
  return nullptr;
}

// Decodes the first stream of AFile through the bound libraries, handing each picture
// to AOnPicture in display order. False when the file or its decoder cannot be opened.
bool DecodePictures(const std::string& AFile,
                    const std::function<void(const AVFrame*)>& AOnPicture) {
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, AFile.c_str(), nullptr, nullptr) != 0) return false;
  AVCodecContext* dec = nullptr;
  bool opened = avformat_find_stream_info(ic, nullptr) >= 0;
  if (opened) {
    const AVCodec* codec = AVCodecStubs::avcodec_find_decoder(ic->streams[0]->codecpar->codec_id);
    dec = AVCodecStubs::avcodec_alloc_context3(codec);
    opened = dec && AVCodecStubs::avcodec_parameters_to_context(dec, ic->streams[0]->codecpar) >= 0 &&
             AVCodecStubs::avcodec_open2(dec, codec, nullptr) == 0;
  }
  if (opened) {
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = AVUtilStubs::av_frame_alloc();
    auto take = [&] {
      while (AVCodecStubs::avcodec_receive_frame(dec, frame) == 0) {
        AOnPicture(frame);
        AVUtilStubs::av_frame_unref(frame);
      }
    };
    while (av_read_frame(ic, pkt) >= 0) {
      AVCodecStubs::avcodec_send_packet(dec, pkt);
      av_packet_unref(pkt);
      take();
    }
    AVCodecStubs::avcodec_send_packet(dec, nullptr);
    take();
    AVUtilStubs::av_frame_free(&frame);
    av_packet_free(&pkt);
  }
  AVCodecStubs::avcodec_free_context(&dec);
  avformat_close_input(&ic);
  return opened;
}

std::string ReadFile(const std::string& APath) {
  std::ifstream f(APath);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool Exists(const std::string& APath) {
  struct stat st {};
  return lstat(APath.c_str(), &st) == 0;
}

class ConvertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries));
    FDir = TempFolder::MakeDir("ostrevan_convert");
    ASSERT_FALSE(FDir.empty());
  }
  void TearDown() override { (void)std::system(("rm -rf '" + FDir + "'").c_str()); }

  std::string Path(const std::string& AName) const { return FDir + "/" + AName; }

  // Video (320x240 MPEG-4, 25 fps) and a 48 kHz stereo tone of ASeconds in one NUT file.
  std::string MakeInput(double ASeconds = 3.0, const std::string& AName = "in.nut") {
    MediaBuilder::TMediaSpec spec;
    spec.Streams = "va";
    spec.Duration = ASeconds;
    spec.Width = 320;
    spec.Height = 240;
    spec.Gop = 12;
    spec.SampleRate = 48000;
    spec.Channels = 2;
    const std::string path = Path(AName);
    EXPECT_EQ(MediaBuilder::WriteMedia(path, "nut", spec), 0);
    return path;
  }

  // Parses and runs ACommandLine as one task on this thread. AConfigure may set the
  // task's hooks before the run. Empty, or the error text of the parse or the run.
  std::string Run(const std::string& ACommandLine,
                  const std::function<void(FFmpeg::TCustomFFmpeg&)>& AConfigure = nullptr) {
    FFmpeg::TCustomFFmpeg task;
    if (AConfigure) AConfigure(task);
    const int ret = task.ParseOptions(ACommandLine);
    if (ret < 0) return "parse failed: " + task.LastErrMsg();
    task.Start(false);
    if (task.HasError()) return task.ErrorText();
    return "";
  }

  std::string FDir;
};

const char* const CDemoOptions = "-c:a aac -b:a 128k -ar 44100 -c:v mpeg4 -s 320x240 -b:v 320k";

// ---- The demo's conversion ----------------------------------------------------------------

TEST_F(ConvertTest, LavfiSourcesToMp4WithTheDemoOptions) {
  const std::string out = Path("demo.mp4");
  ASSERT_EQ(Run("-f lavfi -i testsrc2=size=640x360:rate=25:duration=2 -f lavfi -i "
                "sine=frequency=440:sample_rate=48000:duration=2 " +
                std::string(CDemoOptions) + " \"" + out + "\""),
            "");
  const std::vector<TProbedStream> streams = Probe(out);
  ASSERT_EQ(streams.size(), 2u);
  const TProbedStream* v = FindStream(streams, AVMEDIA_TYPE_VIDEO);
  const TProbedStream* a = FindStream(streams, AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  EXPECT_EQ(v->Codec, "mpeg4");
  EXPECT_EQ(v->Width, 320);
  EXPECT_EQ(v->Height, 240);
  EXPECT_EQ(v->Pts.size(), 50u);
  EXPECT_NEAR(v->Duration(), 2.0, 0.05);
  EXPECT_EQ(a->Codec, "aac");
  EXPECT_EQ(a->SampleRate, 44100);
  EXPECT_NEAR(a->Duration(), 2.0, 0.05);
}

TEST_F(ConvertTest, FileInputToMp4WithTheDemoOptions) {
  const std::string in = MakeInput(3.0);
  const std::string out = Path("demo.mp4");
  ASSERT_EQ(Run("-i \"" + in + "\" " + CDemoOptions + " \"" + out + "\""), "");
  const std::vector<TProbedStream> streams = Probe(out);
  const TProbedStream* v = FindStream(streams, AVMEDIA_TYPE_VIDEO);
  const TProbedStream* a = FindStream(streams, AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  EXPECT_EQ(v->Pts.size(), 75u);
  EXPECT_NEAR(v->Duration(), 3.0, 0.05);
  EXPECT_EQ(a->Channels, 2);
  EXPECT_NEAR(a->Duration(), 3.0, 0.05);
}

// B-frames held back by the encoder come out with the flush at the end.
TEST_F(ConvertTest, BFramesAreFlushed) {
  const std::string in = MakeInput(2.0);
  const std::string out = Path("bframes.nut");
  ASSERT_EQ(Run("-i \"" + in + "\" -an -c:v mpeg4 -bf 2 \"" + out + "\""), "");
  const std::vector<TProbedStream> v_streams = Probe(out);
  const TProbedStream* v = FindStream(v_streams, AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->Pts.size(), 50u);
  // with B-frames some packets are stored before earlier pictures
  bool reordered = false;
  for (std::size_t i = 0; i < v->Pts.size(); i++) reordered |= v->Pts[i] != v->Dts[i];
  EXPECT_TRUE(reordered);
}

// ---- Limits and empty outputs -------------------------------------------------------------

TEST_F(ConvertTest, FileSizeLimitEndsTheOutput) {
  const std::string in = MakeInput(3.0);
  const std::string full = Path("full.nut");
  const std::string limited = Path("limited.nut");
  ASSERT_EQ(Run("-i \"" + in + "\" -an -c:v mpeg4 -q:v 2 \"" + full + "\""), "");
  ASSERT_EQ(Run("-i \"" + in + "\" -an -c:v mpeg4 -q:v 2 -fs 20000 \"" + limited + "\""), "");
  const std::vector<TProbedStream> v_full_streams = Probe(full);
  const TProbedStream* v_full = FindStream(v_full_streams, AVMEDIA_TYPE_VIDEO);
  const std::vector<TProbedStream> v_limited_streams = Probe(limited);
  const TProbedStream* v_limited = FindStream(v_limited_streams, AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(v_full && v_limited);
  EXPECT_GT(v_limited->Pts.size(), 0u);
  EXPECT_LT(v_limited->Pts.size(), v_full->Pts.size());
  struct stat st {};
  ASSERT_EQ(stat(limited.c_str(), &st), 0);
  EXPECT_LT(st.st_size, 20000 + 20000);  // at most one packet and the trailer beyond
}

// An output that receives nothing (the input ends before -ss) stays empty: a raw format
// writes no header. Such a file is removed at clean-up, and "-abort_on empty_output" makes
// it a failure. A FIFO output is never removed.
TEST_F(ConvertTest, EmptyOutput) {
  const std::string in = MakeInput(1.0);
  const std::string fifo = Path("fifo.raw");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // a reader, so that opening the FIFO for writing does not wait
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  struct TRow {
    const char* Name;
    std::string Output;
    const char* Options;
    bool WantError;
    bool WantKept;
  } rows[] = {
      {"warning only", Path("empty.raw"), "", false, false},
      {"-abort_on empty_output", Path("empty.raw"), "-abort_on empty_output", true, false},
      {"FIFO", fifo, "", false, true},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TLogCapture log;
    const std::string err = Run("-y -ss 5 -i \"" + in + "\" " + row.Options +
                                " -an -c:v rawvideo -f rawvideo \"" + row.Output + "\"");
    EXPECT_EQ(!err.empty(), row.WantError) << err;
    EXPECT_EQ(Exists(row.Output), row.WantKept);
    EXPECT_TRUE(TLogCapture::HasText("Output file is empty, nothing was encoded"))
        << TLogCapture::All();
  }
  close(reader);
}

// A format that takes no streams (ffmetadata) makes an output of its own, alone or beside
// an output with streams: it is written and the job succeeds.
TEST_F(ConvertTest, OutputOfAFormatWithoutStreams) {
  const std::string in = MakeInput(1.0);
  const std::string meta = Path("meta.txt"), video = Path("out.mp4");
  struct TRow {
    const char* Name;
    std::string Outputs;
    bool WantVideo;
  } rows[] = {
      {"alone", "-metadata title=hello -f ffmetadata \"" + meta + "\"", false},
      {"after an output with streams",
       "-an -c:v mpeg4 \"" + video + "\" -metadata title=hello -f ffmetadata \"" + meta + "\"", true},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    std::remove(meta.c_str());
    std::remove(video.c_str());
    EXPECT_EQ(Run("-y -i \"" + in + "\" " + row.Outputs), "");
    const std::string text = ReadFile(meta);
    EXPECT_EQ(text.rfind(";FFMETADATA1\n", 0), 0u) << text;
    EXPECT_NE(text.find("\ntitle=hello\n"), std::string::npos) << text;
    EXPECT_EQ(Exists(video), row.WantVideo);
    if (row.WantVideo) {
      EXPECT_EQ(Probe(video).size(), 1u);
    }
  }
}

// -frames -1 sets no limit, whether the stream is encoded or copied, alone or beside
// another; a positive limit still cuts.
TEST_F(ConvertTest, FrameLimitOfMinusOneIsNoLimit) {
  const std::string in = MakeInput(1.0);  // 25 pictures
  const std::string out = Path("frames.mkv");
  struct TRow {
    const char* Options;
    std::size_t WantPictures;
    bool WantAudio;
  } rows[] = {
      {"-an -frames:v -1 -c:v mpeg4", 25, false},
      {"-frames:v -1 -c:v mpeg4 -c:a aac", 25, true},
      {"-an -frames:v -1 -c:v copy", 25, false},
      {"-frames:v -1 -c copy", 25, true},
      {"-an -frames:v 5 -c:v mpeg4", 5, false},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Options);
    std::remove(out.c_str());
    EXPECT_EQ(Run("-y -i \"" + in + "\" " + row.Options + " \"" + out + "\""), "");
    const std::vector<TProbedStream> streams = Probe(out);
    const TProbedStream* video = FindStream(streams, AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->Pts.size(), row.WantPictures);
    EXPECT_EQ(FindStream(streams, AVMEDIA_TYPE_AUDIO) != nullptr, row.WantAudio);
  }
}

// A read rate starts with its initial burst read at once: the packets inside the burst are
// no lag, so no "Resumed reading" is reported for them (one was on every run, at pts 0,
// and the reader then crept through the burst at the catch-up rate). A real lag later on,
// on a busy machine, may still be reported: only the burst is checked.
TEST_F(ConvertTest, ReadRateBurstIsNotALag) {
  const std::string in = MakeInput(1.0);
  struct TRow {
    const char* Options;
    double Burst;
  } rows[] = {
      {"-re", 0.5},
      {"-re -readrate_initial_burst 2", 2.0},
      {"-readrate 2 -readrate_initial_burst 0.8", 0.8},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Options);
    TLogCapture log;
    EXPECT_EQ(Run(std::string(row.Options) + " -i \"" + in + "\" -c copy -f null -"), "");
    for (const TLogCapture::TLine& line : TLogCapture::Snapshot()) {
      const std::size_t at = line.Text.find("Resumed reading at pts ");
      if (at == std::string::npos) continue;
      double pts = -1;
      ASSERT_EQ(std::sscanf(line.Text.c_str() + at, "Resumed reading at pts %lf", &pts), 1);
      EXPECT_GE(pts, row.Burst) << line.Text;
    }
  }
}

// ---- Statistics ---------------------------------------------------------------------------

TEST_F(ConvertTest, PreEncodingStatsOfAacFrames) {
  const std::string in = MakeInput(1.0);
  const std::string stats = Path("pre.txt");
  ASSERT_EQ(Run("-i \"" + in + "\" -vn -c:a aac -stats_enc_pre \"" + stats +
                "\" -stats_enc_pre_fmt {samp} \"" + Path("a.mp4") + "\""),
            "");
  std::istringstream lines(ReadFile(stats));
  std::string line;
  std::vector<std::string> all;
  while (std::getline(lines, line)) all.push_back(line);
  ASSERT_GT(all.size(), 10u);
  // the encoder's fixed frame size; only the last frame may be shorter
  for (std::size_t i = 0; i + 1 < all.size(); i++) EXPECT_EQ(all[i], "1024") << i;
}

TEST_F(ConvertTest, VideoStatisticsFileVersions) {
  const std::string in = MakeInput(1.0);
  struct TRow {
    int Version;
    const char* Prefix;
  } rows[] = {{1, "frame= "}, {2, "out=  0 st=  0 frame= "}};
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Version);
    const std::string vstats = Path("vstats_" + std::to_string(row.Version) + ".log");
    ASSERT_EQ(Run("-vstats_file \"" + vstats + "\" -vstats_version " + std::to_string(row.Version) +
                  " -i \"" + in + "\" -an -c:v mpeg4 \"" + Path("v.nut") + "\" -y"),
              "");
    std::istringstream lines(ReadFile(vstats));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
      EXPECT_EQ(line.rfind(row.Prefix, 0), 0u) << line;
      EXPECT_NE(line.find("type= "), std::string::npos) << line;
      count++;
    }
    EXPECT_EQ(count, 25);
  }
}

TEST_F(ConvertTest, BitrateWarningBelowOneKilobit) {
  const std::string in = MakeInput(1.0);
  struct TRow {
    const char* Rate;
    bool WantWarning;
  } rows[] = {{"800", true}, {"1000", false}};
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Rate);
    TLogCapture log;
    (void)Run("-i \"" + in + "\" -vn -c:a aac -b:a " + row.Rate + " -y \"" + Path("low.mp4") +
              "\"");
    EXPECT_EQ(TLogCapture::Has(AV_LOG_WARNING, "The bitrate parameter is set too low"),
              row.WantWarning);
  }
}

TEST_F(ConvertTest, ForcedKeyFramesAtGivenTimes) {
  const std::string in = MakeInput(6.0);
  const std::string out = Path("kf.nut");
  // no key frames of the encoder's own: a long GOP and no scene-change detection
  ASSERT_EQ(Run("-i \"" + in + "\" -an -c:v mpeg4 -g 600 -sc_threshold 1000000000 "
                "-force_key_frames 0,2,4 \"" + out + "\""),
            "");
  const std::vector<TProbedStream> v_streams = Probe(out);
  const TProbedStream* v = FindStream(v_streams, AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(v);
  std::vector<double> key_times;
  for (std::size_t i = 0; i < v->Pts.size(); i++)
    if (v->Key[i])
      key_times.push_back(static_cast<double>(v->Pts[i]) * v->TimeBase.num / v->TimeBase.den);
  ASSERT_EQ(key_times.size(), 3u);
  EXPECT_NEAR(key_times[0], 0.0, 0.001);
  EXPECT_NEAR(key_times[1], 2.0, 0.001);
  EXPECT_NEAR(key_times[2], 4.0, 0.001);
}

// ---- Stream copy --------------------------------------------------------------------------

TEST_F(ConvertTest, CopiedAudioStaysContinuous) {
  const std::string in = MakeInput(3.0);
  const std::string aac = Path("aac.mp4");
  ASSERT_EQ(Run("-i \"" + in + "\" -vn -c:a aac -ar 44100 \"" + aac + "\""), "");
  // into a millisecond time base, where 1024-sample packets are no whole number of ticks
  const std::string out = Path("copy.mkv");
  ASSERT_EQ(Run("-i \"" + aac + "\" -c:a copy \"" + out + "\""), "");
  const std::vector<TProbedStream> a_streams = Probe(out);
  const TProbedStream* a = FindStream(a_streams, AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(a);
  ASSERT_EQ(a->TimeBase.den, 1000);
  ASSERT_GT(a->Pts.size(), 100u);
  // every packet sits at its exact sample position, rounded to the millisecond: no drift
  const std::int64_t first = a->Pts[0];
  for (std::size_t i = 0; i < a->Pts.size(); i++) {
    const double exact = static_cast<double>(i) * 1024 * 1000 / 44100;
    EXPECT_LE(std::abs(static_cast<double>(a->Pts[i] - first) - exact), 1.0) << i;
  }
}

// With -shortest, copied streams pass the muxer's sync queue: the longer audio ends with
// the video.
TEST_F(ConvertTest, ShortestCopyEndsWithTheShorterStream) {
  MediaBuilder::TMediaSpec spec;
  spec.Streams = "v";
  spec.Duration = 1.0;
  const std::string video = Path("v1.nut");
  ASSERT_EQ(MediaBuilder::WriteMedia(video, "nut", spec), 0);
  spec.Streams = "a";
  spec.Duration = 3.0;
  const std::string audio = Path("a3.nut");
  ASSERT_EQ(MediaBuilder::WriteMedia(audio, "nut", spec), 0);

  const std::string out = Path("short.nut");
  ASSERT_EQ(Run("-i \"" + video + "\" -i \"" + audio + "\" -c copy -shortest \"" + out + "\""),
            "");
  const std::vector<TProbedStream> streams = Probe(out);
  const TProbedStream* v = FindStream(streams, AVMEDIA_TYPE_VIDEO);
  const TProbedStream* a = FindStream(streams, AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  EXPECT_EQ(v->Pts.size(), 25u);
  ASSERT_FALSE(a->Pts.empty());
  const double last_audio = static_cast<double>(a->Pts.back()) * a->TimeBase.num / a->TimeBase.den;
  EXPECT_LT(last_audio, 1.1);
  EXPECT_GT(last_audio, 0.8);
}

// Tasks run side by side in one process, each with its own state.
TEST_F(ConvertTest, TasksSideBySide) {
  const std::string in = MakeInput(2.0);
  constexpr int CTasks = 3;
  std::string errors[CTasks];
  std::vector<std::thread> threads;
  for (int i = 0; i < CTasks; i++)
    threads.emplace_back([&, i] {
      errors[i] = Run("-i \"" + in + "\" " + std::string(CDemoOptions) + " \"" +
                      Path("side" + std::to_string(i) + ".mp4") + "\"");
    });
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < CTasks; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(errors[i], "");
    const std::vector<TProbedStream> streams = Probe(Path("side" + std::to_string(i) + ".mp4"));
    const TProbedStream* v = FindStream(streams, AVMEDIA_TYPE_VIDEO);
    const TProbedStream* a = FindStream(streams, AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(v && a);
    EXPECT_EQ(v->Pts.size(), 50u);
    EXPECT_NEAR(a->Duration(), 2.0, 0.05);
  }
}

// ---- SDP ----------------------------------------------------------------------------------

TEST_F(ConvertTest, SdpOfLoopbackRtpOutput) {
  const std::string in = MakeInput(1.0);
  const std::string sdp = Path("out.sdp");
  ASSERT_EQ(Run("-re -i \"" + in + "\" -an -c:v mpeg4 -t 0.5 -f rtp -sdp_file \"" + sdp +
                "\" rtp://127.0.0.1:47012"),
            "");
  const std::string text = ReadFile(sdp);
  EXPECT_NE(text.find("v=0"), std::string::npos) << text;
  EXPECT_NE(text.find("m=video 47012 RTP/AVP"), std::string::npos) << text;
  EXPECT_NE(text.find("MP4V-ES"), std::string::npos) << text;
}

// ---- Encode-side hooks --------------------------------------------------------------------

// A raw-picture hook paints every picture one colour; a lossless output keeps it.
TEST_F(ConvertTest, FrameHookChangesTheEncodedPictures) {
  const std::string in = MakeInput(1.0);
  const std::string out = Path("painted.nut");
  int calls = 0;
  auto paint = [](void* AData, Platform::TObject*, FFUtils::PAVPicture APicture,
                  AVPixelFormat APixFmt, int, int AWidth, int AHeight, const std::int64_t&) {
    ++*static_cast<int*>(AData);
    ASSERT_EQ(APixFmt, AV_PIX_FMT_YUV420P);
    for (int p = 0; p < 3; p++) {
      const int h = p ? AHeight / 2 : AHeight;
      const int w = p ? AWidth / 2 : AWidth;
      for (int y = 0; y < h; y++)
        std::memset(APicture->data[p] + y * APicture->linesize[p], p ? 128 : 77, w);
    }
  };
  ASSERT_EQ(Run("-i \"" + in + "\" -an -c:v ffv1 -pix_fmt yuv420p \"" + out + "\"",
                [&](FFmpeg::TCustomFFmpeg& task) {
                  task.FOnFrameOutputHook = FFmpeg::TTaskFrameHookEvent::FromFunction(paint, &calls);
                }),
            "");
  EXPECT_EQ(calls, 25);

  // every decoded picture is the painted colour
  int pictures = 0, wrong = 0;
  ASSERT_TRUE(DecodePictures(out, [&](const AVFrame* AFrame) {
    pictures++;
    for (int y = 0; y < AFrame->height; y++)
      for (int x = 0; x < AFrame->width; x++) wrong += AFrame->data[0][y * AFrame->linesize[0] + x] != 77;
  }));
  EXPECT_EQ(pictures, 25);
  EXPECT_EQ(wrong, 0);
}

// Each picture painted its own shade by the raw-picture hook keeps that shade through an
// encoder that holds pictures back for B-frames: the hook's changes go into the frame's
// own buffer, not into one buffer shared by every frame.
TEST_F(ConvertTest, FrameHookShadesSurviveDelayedEncoding) {
  const std::string in = MakeInput(1.0);
  const std::string out = Path("shaded.nut");
  int calls = 0;
  auto paint = [](void* AData, Platform::TObject*, FFUtils::PAVPicture APicture, AVPixelFormat,
                  int, int AWidth, int AHeight, const std::int64_t&) {
    const int n = (*static_cast<int*>(AData))++;
    for (int y = 0; y < AHeight; y++)
      std::memset(APicture->data[0] + y * APicture->linesize[0], 30 + 7 * n, AWidth);
  };
  ASSERT_EQ(Run("-i \"" + in + "\" -an -c:v mpeg4 -q:v 1 -bf 2 \"" + out + "\"",
                [&](FFmpeg::TCustomFFmpeg& task) {
                  task.FOnFrameOutputHook = FFmpeg::TTaskFrameHookEvent::FromFunction(paint, &calls);
                }),
            "");
  ASSERT_EQ(calls, 25);

  std::vector<double> shades;  // in display order
  ASSERT_TRUE(DecodePictures(out, [&](const AVFrame* AFrame) {
    double sum = 0;
    for (int y = 0; y < AFrame->height; y++)
      for (int x = 0; x < AFrame->width; x++) sum += AFrame->data[0][y * AFrame->linesize[0] + x];
    shades.push_back(sum / (AFrame->width * AFrame->height));
  }));
  ASSERT_EQ(shades.size(), 25u);
  for (std::size_t i = 0; i < shades.size(); i++)
    EXPECT_NEAR(shades[i], 30 + 7 * static_cast<double>(i), 2.0) << i;
}

// A video hook that asks to stop at frame 3 is not called again.
TEST_F(ConvertTest, VideoHookStopsWhenAsked) {
  const std::string in = MakeInput(1.0);
  std::vector<int> frames;
  auto hook = [](void* AData, Platform::TObject*, Platform::TBitmap* ABitmap, int AFrameNumber,
                 const std::int64_t&, bool& AUpdate, bool& AStopHook) {
    static_cast<std::vector<int>*>(AData)->push_back(AFrameNumber);
    EXPECT_NE(ABitmap, nullptr);
    AUpdate = false;
    AStopHook = AFrameNumber == 3;
  };
  ASSERT_EQ(Run("-i \"" + in + "\" -an -c:v mpeg4 \"" + Path("hooked.nut") + "\"",
                [&](FFmpeg::TCustomFFmpeg& task) {
                  task.FOnVideoOutputHook = FFmpeg::TTaskVideoHookEvent::FromFunction(hook, &frames);
                }),
            "");
  EXPECT_EQ(frames, (std::vector<int>{1, 2, 3}));
}

// Two video outputs encode on two threads that share the task's video hook: the handler
// asks to stop at its first call, and the hook ends for the whole task while both
// encoders go on (under TSan an unguarded look at the hook shows as a race).
TEST_F(ConvertTest, VideoHookStoppedWhileTwoVideoOutputsEncode) {
  const std::string in = MakeInput(1.0);
  std::atomic<int> calls{0};
  auto hook = [](void* AData, Platform::TObject*, Platform::TBitmap*, int, const std::int64_t&,
                 bool& AUpdate, bool& AStopHook) {
    static_cast<std::atomic<int>*>(AData)->fetch_add(1);
    AUpdate = false;
    AStopHook = true;
  };
  ASSERT_EQ(Run("-i \"" + in + "\" -an -c:v mpeg4 \"" + Path("big.nut") + "\" -an -c:v mpeg4 " +
                    "-s 160x120 \"" + Path("small.nut") + "\"",
                [&](FFmpeg::TCustomFFmpeg& task) {
                  task.FOnVideoOutputHook = FFmpeg::TTaskVideoHookEvent::FromFunction(hook, &calls);
                }),
            "");
  EXPECT_EQ(calls.load(), 1);
  for (const char* name : {"big.nut", "small.nut"}) {
    SCOPED_TRACE(name);
    const std::vector<TProbedStream> streams = Probe(Path(name));
    const TProbedStream* v = FindStream(streams, AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->Pts.size(), 25u);
  }
}

// A handler running on one of the job's worker threads (decoder or encoder) that asks to
// stop and wait gets its request through without waiting for the job it runs in: the
// call returns, the job ends stopped and the task terminates.
TEST_F(ConvertTest, StopWaitingFromAHookHandlerOnAWorkerThreadDoesNotHang) {
  const std::string in = MakeInput(3.0);
  struct TProbe {
    std::atomic<int> Calls{0};
    std::atomic<int> StopsReturned{0};
    std::atomic<int> Terminated{0};
    void StopFrom(Platform::TObject* ASender) {
      if (Calls.fetch_add(1) != 1) return;  // at the second frame
      static_cast<FFmpeg::TCustomFFmpeg*>(ASender)->Stop(true);
      StopsReturned.fetch_add(1);
    }
  };
  auto video_hook = [](void* AData, Platform::TObject* ASender, Platform::TBitmap*, int,
                       const std::int64_t&, bool& AUpdate, bool&) {
    AUpdate = false;
    static_cast<TProbe*>(AData)->StopFrom(ASender);
  };
  auto frame_hook = [](void* AData, Platform::TObject* ASender, FFUtils::PAVPicture, AVPixelFormat,
                       int, int, int, const std::int64_t&) {
    static_cast<TProbe*>(AData)->StopFrom(ASender);
  };
  auto audio_hook = [](void* AData, Platform::TObject* ASender, const std::int64_t&, AVFrame*, int,
                       int, int, AVSampleFormat) { static_cast<TProbe*>(AData)->StopFrom(ASender); };
  struct TRow {
    const char* Name;
    std::function<void(FFmpeg::TCustomFFmpeg&, TProbe&)> Hook;
  };
  const TRow rows[] = {
      {"decode-side video hook",
       [&](FFmpeg::TCustomFFmpeg& t, TProbe& p) {
         t.FOnVideoInputHook = FFmpeg::TTaskVideoHookEvent::FromFunction(video_hook, &p);
       }},
      {"encode-side video hook",
       [&](FFmpeg::TCustomFFmpeg& t, TProbe& p) {
         t.FOnVideoOutputHook = FFmpeg::TTaskVideoHookEvent::FromFunction(video_hook, &p);
       }},
      {"encode-side raw-picture hook",
       [&](FFmpeg::TCustomFFmpeg& t, TProbe& p) {
         t.FOnFrameOutputHook = FFmpeg::TTaskFrameHookEvent::FromFunction(frame_hook, &p);
       }},
      {"encode-side audio hook",
       [&](FFmpeg::TCustomFFmpeg& t, TProbe& p) {
         t.FOnAudioOutputHook = FFmpeg::TTaskAudioHookEvent::FromFunction(audio_hook, &p);
       }},
  };
  int n = 0;
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TProbe probe;
    auto* task = new FFmpeg::TFFmpeg;
    row.Hook(*task, probe);
    task->FOnTerminate = Platform::TNotifyEvent::FromFunction(
        [](void* AData, void*) {
          static_cast<TProbe*>(AData)->Terminated.fetch_add(1);
          Platform::NotifyMainThread();
        },
        &probe);
    ASSERT_GE(task->ParseOptions("-i \"" + in + "\" -c:v mpeg4 -c:a aac \"" +
                                 Path("stopped" + std::to_string(n++) + ".nut") + "\""),
              0)
        << task->LastErrMsg();
    task->Start(true);
    // Generous bound: a hang fails the test instead of blocking the suite.
    (void)MainThreadPump::PumpUntil([&] { return probe.Terminated.load() != 0; }, 120);
    if (probe.Terminated.load() == 0) {
      ADD_FAILURE() << "the job waited for itself; the task is left behind";
      return;  // destroying it would wait for the hung job too
    }
    EXPECT_EQ(probe.StopsReturned.load(), 1);
    EXPECT_FALSE(task->JobFinished()) << "the job ended stopped, not at the end of the input";
    EXPECT_TRUE(task->Terminated());
    delete task;
  }
}

// A hooked audio stream passes every frame through the host's hook before encoding.
TEST_F(ConvertTest, AudioHookSeesEveryFrame) {
  const std::string in = MakeInput(1.0);
  struct TSeen {
    int Frames = 0;
    std::int64_t Samples = 0;
    int Channels = 0;
  } seen;
  auto hook = [](void* AData, Platform::TObject*, const std::int64_t&, AVFrame* AFrame, int,
                 int ASampleRate, int AChannels, AVSampleFormat) {
    auto* s = static_cast<TSeen*>(AData);
    s->Frames++;
    s->Samples += AFrame->nb_samples;
    s->Channels = AChannels;
    EXPECT_EQ(ASampleRate, 44100);
  };
  ASSERT_EQ(Run("-i \"" + in + "\" -vn -c:a aac -ar 44100 \"" + Path("a.mp4") + "\"",
                [&](FFmpeg::TCustomFFmpeg& task) {
                  task.FOnAudioOutputHook = FFmpeg::TTaskAudioHookEvent::FromFunction(hook, &seen);
                }),
            "");
  EXPECT_EQ(seen.Channels, 2);
  EXPECT_NEAR(static_cast<double>(seen.Samples), 44100.0, 1024.0);
}

// The audio preview plays a running conversion: the player opens at the encoder's rate in
// 16-bit stereo (from a six-channel source) and the device receives sound.
TEST_F(ConvertTest, AudioPreviewPlaysTheConversion) {
  MediaBuilder::TMediaSpec spec;
  spec.Streams = "a";
  spec.Duration = 2.0;
  spec.SampleRate = 48000;
  spec.Channels = 6;
  const std::string in = Path("six.nut");
  ASSERT_EQ(MediaBuilder::WriteMedia(in, "nut", spec), 0);

  TestWaveOut::TTestWaveOutBackend device;
  device.Grant(TestWaveOut::TTestWaveOutBackend::CUnlimited);
  TestWaveOut::TBackendScope scope(&device);
  ASSERT_EQ(Run("-re -i \"" + in + "\" -c:a aac -ar 44100 \"" + Path("a.mp4") + "\"",
                [](FFmpeg::TCustomFFmpeg& task) { task.FAudioPreview = true; }),
            "");
  EXPECT_EQ(device.Opens(), 1);
  EXPECT_EQ(device.LastFormat().nChannels, 2);
  EXPECT_EQ(device.LastFormat().nSamplesPerSec, 44100u);
  EXPECT_EQ(device.LastFormat().wBitsPerSample, 16);
  EXPECT_GT(device.BytesTaken(), 0);
}

// ---- Hooks and previews of several streams ----------------------------------------------

// The size of a picture: the two streams below differ in it.
struct TPictureId {
  int Width = 0, Height = 0;
  bool operator==(const TPictureId& AOther) const {
    return Width == AOther.Width && Height == AOther.Height;
  }
};

TPictureId IdOf(const Platform::TBitmap& ABitmap) { return {ABitmap.Width(), ABitmap.Height()}; }

// Two video outputs (of different sizes) encode on two threads with the encode-side video
// hook and the preview event on: the preview of a frame shows the picture that the hook of
// the same encoder thread saw, never the other stream's, which that thread's hook may have
// converted into the shared converter in between.
TEST_F(ConvertTest, PreviewShowsThePictureThatItsStreamsHookSaw) {
  const std::string in = MakeInput(2.0);
  struct TProbe {
    std::atomic<int> Previews{0};
    std::atomic<int> Wrong{0};
  } probe;
  // The hook and the preview of one frame run on that stream's encoder thread.
  static thread_local TPictureId hooked;
  auto hook = [](void*, Platform::TObject*, Platform::TBitmap* ABitmap, int, const std::int64_t&,
                 bool&, bool&) { hooked = IdOf(*ABitmap); };  // AUpdate stays set: no reconversion
  auto preview = [](void* AData, Platform::TObject*, Platform::TBitmap* ABitmap, int,
                    const std::int64_t&) {
    auto* p = static_cast<TProbe*>(AData);
    p->Previews.fetch_add(1);
    if (!(IdOf(*ABitmap) == hooked)) p->Wrong.fetch_add(1);
  };
  ASSERT_EQ(Run("-i \"" + in + "\" -an -c:v mpeg4 \"" + Path("big.nut") + "\" -an -c:v mpeg4 " +
                    "-s 160x120 \"" + Path("small.nut") + "\"",
                [&](FFmpeg::TCustomFFmpeg& task) {
                  task.FOnVideoOutputHook = FFmpeg::TTaskVideoHookEvent::FromFunction(hook, nullptr);
                  task.FOnPreviewBitmap = FFmpeg::TTaskPreviewEvent::FromFunction(preview, &probe);
                  task.FPreviewInterval.store(-1);  // every frame
                  task.SetPreviewFlags(FFmpeg::PREVIEW_BITMAP);
                }),
            "");
  EXPECT_EQ(probe.Previews.load(), 100);
  EXPECT_EQ(probe.Wrong.load(), 0) << "previews that showed the other stream's picture";
}

// The bitmap layout asked for with -VideoHookBitsPixel reaches the hooks of both sides
// (15 is 5-5-5, not the 5-6-5 of 16, although both take 16 bits).
TEST_F(ConvertTest, BothVideoHooksGetTheBitmapLayoutAskedFor) {
  const std::string in = MakeInput(0.4);
  struct TRow {
    int Bits;
    Platform::TPixelFormat Want;
  } rows[] = {{15, Platform::TPixelFormat::pf15bit},
              {16, Platform::TPixelFormat::pf16bit},
              {24, Platform::TPixelFormat::pf24bit}};
  struct TSeen {
    std::mutex Lock;
    std::vector<Platform::TPixelFormat> Input, Output;
  };
  auto input_hook = [](void* AData, Platform::TObject*, Platform::TBitmap* ABitmap, int,
                       const std::int64_t&, bool& AUpdate, bool&) {
    auto* s = static_cast<TSeen*>(AData);
    std::lock_guard<std::mutex> g(s->Lock);
    s->Input.push_back(ABitmap->PixelFormat());
    AUpdate = false;
  };
  auto output_hook = [](void* AData, Platform::TObject*, Platform::TBitmap* ABitmap, int,
                        const std::int64_t&, bool& AUpdate, bool&) {
    auto* s = static_cast<TSeen*>(AData);
    std::lock_guard<std::mutex> g(s->Lock);
    s->Output.push_back(ABitmap->PixelFormat());
    AUpdate = false;
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Bits);
    TSeen seen;
    ASSERT_EQ(Run("-y -VideoHookBitsPixel " + std::to_string(row.Bits) + " -i \"" + in +
                      "\" -an -c:v mpeg4 \"" + Path("bits.nut") + "\"",
                  [&](FFmpeg::TCustomFFmpeg& task) {
                    task.FOnVideoInputHook =
                        FFmpeg::TTaskVideoHookEvent::FromFunction(input_hook, &seen);
                    task.FOnVideoOutputHook =
                        FFmpeg::TTaskVideoHookEvent::FromFunction(output_hook, &seen);
                  }),
              "");
    ASSERT_EQ(seen.Input.size(), 10u);
    ASSERT_EQ(seen.Output.size(), 10u);
    for (std::size_t i = 0; i < 10; i++) {
      EXPECT_EQ(seen.Input[i], row.Want) << "decode side, frame " << i;
      EXPECT_EQ(seen.Output[i], row.Want) << "encode side, frame " << i;
    }
  }
}

// Both streams' encoders (before and after encoding) and the muxer write into one
// statistics file: every line comes out whole, and none is lost.
TEST_F(ConvertTest, StreamsWritingOneStatsFileWriteWholeLines) {
  const std::string in = MakeInput(2.0);
  const std::string stats = Path("stats.txt");
  const std::string tail = " abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz end";
  ASSERT_EQ(Run("-i \"" + in + "\" -c:v mpeg4 -c:a aac -stats_enc_pre \"" + stats +
                "\" -stats_enc_post \"" + stats + "\" -stats_mux_pre \"" + stats +
                "\" -stats_enc_pre_fmt \"{sidx} pre" + tail + "\" -stats_enc_post_fmt \"{sidx} post" +
                tail + "\" -stats_mux_pre_fmt \"{sidx} mux" + tail + "\" \"" + Path("out.nut") +
                "\""),
            "");
  std::istringstream lines(ReadFile(stats));
  std::string line;
  int counts[2][3] = {};
  int bad = 0;
  while (std::getline(lines, line)) {
    const char* kinds[] = {"pre", "post", "mux"};
    bool whole = false;
    for (int sidx = 0; sidx < 2 && !whole; sidx++)
      for (int k = 0; k < 3 && !whole; k++)
        if (line == std::to_string(sidx) + " " + kinds[k] + tail) {
          counts[sidx][k]++;
          whole = true;
        }
    if (!whole && bad++ < 5) ADD_FAILURE() << "a line not written whole: " << line;
  }
  EXPECT_EQ(bad, 0);
  // video (stream 0): one frame and one packet per picture; audio: at least one of each
  EXPECT_EQ(counts[0][0], 50);
  EXPECT_EQ(counts[0][1], 50);
  EXPECT_EQ(counts[0][2], 50);
  EXPECT_GT(counts[1][0], 40);
  EXPECT_EQ(counts[1][1], counts[1][2]);
}

// The decode-side audio hook of a task runs one call at a time, as the video hooks do,
// even when two decoders produce audio at once (the handler keeps plain state).
TEST_F(ConvertTest, AudioInputHooksOfTwoDecodersRunOneAtATime) {
  const std::string a = MakeInput(2.0, "a.nut");
  const std::string b = MakeInput(2.0, "b.nut");
  struct TProbe {
    std::atomic<int> Inside{0};
    std::atomic<int> Overlaps{0};
    std::vector<std::int64_t> Pts;  // plain: the hook's calls must not overlap
  } probe;
  auto hook = [](void* AData, Platform::TObject*, const std::int64_t& APTS, AVFrame*, int, int,
                 int, AVSampleFormat) {
    auto* p = static_cast<TProbe*>(AData);
    if (p->Inside.fetch_add(1) != 0) p->Overlaps.fetch_add(1);
    p->Pts.push_back(APTS);
    for (int i = 0; i < 20; i++) std::this_thread::yield();  // widen the window of a call
    p->Inside.fetch_sub(1);
  };
  ASSERT_EQ(Run("-i \"" + a + "\" -i \"" + b + "\" -map 0:a -map 1:a -c:a pcm_s16le \"" +
                    Path("two.nut") + "\"",
                [&](FFmpeg::TCustomFFmpeg& task) {
                  task.FOnAudioInputHook = FFmpeg::TTaskAudioHookEvent::FromFunction(hook, &probe);
                }),
            "");
  EXPECT_EQ(probe.Overlaps.load(), 0);
  EXPECT_GT(probe.Pts.size(), 40u);
}

// The encode-side audio hook runs one call at a time too, as the encode-side video hooks
// do: two audio encoders and a video encoder call their hooks at once, and the handlers
// share plain state (without the lock, ThreadSanitizer reports the race on it).
TEST_F(ConvertTest, EncodeSideAudioAndVideoHooksRunOneAtATime) {
  const std::string a = MakeInput(2.0, "a.nut");
  const std::string b = MakeInput(2.0, "b.nut");
  struct TProbe {
    std::atomic<int> Inside{0};
    std::atomic<int> Overlaps{0};
    std::vector<std::int64_t> Pts;  // plain: the hooks' calls must not overlap
    int Pictures = 0;               // plain, as above
    void Enter() {
      if (Inside.fetch_add(1) != 0) Overlaps.fetch_add(1);
    }
    void Leave() {
      for (int i = 0; i < 20; i++) std::this_thread::yield();  // widen the window of a call
      Inside.fetch_sub(1);
    }
  } probe;
  auto audio_hook = [](void* AData, Platform::TObject*, const std::int64_t& APTS, AVFrame*, int,
                       int, int, AVSampleFormat) {
    auto* p = static_cast<TProbe*>(AData);
    p->Enter();
    p->Pts.push_back(APTS);
    p->Leave();
  };
  auto frame_hook = [](void* AData, Platform::TObject*, FFUtils::PAVPicture, AVPixelFormat, int,
                       int, int, const std::int64_t&) {
    auto* p = static_cast<TProbe*>(AData);
    p->Enter();
    p->Pictures++;
    p->Leave();
  };
  ASSERT_EQ(Run("-i \"" + a + "\" -i \"" + b + "\" -map 0:v -map 0:a -map 1:a -c:v mpeg4 "
                "-c:a pcm_s16le \"" + Path("three.nut") + "\"",
                [&](FFmpeg::TCustomFFmpeg& task) {
                  task.FOnAudioOutputHook =
                      FFmpeg::TTaskAudioHookEvent::FromFunction(audio_hook, &probe);
                  task.FOnFrameOutputHook =
                      FFmpeg::TTaskFrameHookEvent::FromFunction(frame_hook, &probe);
                }),
            "");
  EXPECT_EQ(probe.Overlaps.load(), 0);
  EXPECT_GT(probe.Pts.size(), 40u);
  EXPECT_EQ(probe.Pictures, 50);
}

}  // namespace
