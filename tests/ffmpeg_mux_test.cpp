// The muxer's own steps on records built by hand over real format contexts: timestamp
// fixing, closing and removing outputs, the trailer of a stream-backed output. Whole
// conversions through the muxer are in ffmpeg_convert_test.cpp.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <string>

#include "LoaderTestSupport.h"
#include "LogCapture.h"
#include "TempFolder.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegMux.h"
#include "engine/FFmpegMuxInternal.h"
#include "platform/Streams.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/MemoryProtocol.h"

namespace {

using AVFormatStubs::avformat_alloc_output_context2;
using AVFormatStubs::avformat_new_stream;
using AVFormatStubs::avformat_write_header;
using AVFormatStubs::avio_write;
using AVUtilStubs::av_mallocz;
using FFmpegMux::TMux;
using FFmpegMux::TMuxStream;

const AVClass CTestClass = [] {
  AVClass c{};
  c.class_name = "test";
  c.item_name = [](void*) -> const char* { return "test"; };
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}();

class MuxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries));
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
  }
  void TearDown() override {
    for (FFmpegHeader::TOutputFile*& of : FFiles) FFmpegMux::of_free(of);
    FTask.reset();
  }

  // A muxer record over a new output context of AFormat (no streams, no byte sink).
  TMux* NewMux(const char* AFormat, const char* AUrl = nullptr) {
    auto* mux = static_cast<TMux*>(av_mallocz(sizeof(TMux)));
    mux->of.class_ = &CTestClass;
    mux->owner = FTask.get();
    mux->limit_filesize = INT64_MAX;
    EXPECT_GE(avformat_alloc_output_context2(&mux->fc, nullptr, AFormat, AUrl), 0);
    FFiles.push_back(&mux->of);
    return mux;
  }

  // An output stream of AType in mux with the stream time base 1/1000.
  TMuxStream* NewStream(TMux* AMux, AVMediaType AType) {
    auto* ms = static_cast<TMuxStream*>(av_mallocz(sizeof(TMuxStream)));
    ms->ost.class_ = &CTestClass;
    ms->ost.type_ = AType;
    ms->ost.file_ = &AMux->of;
    ms->ost.st = avformat_new_stream(AMux->fc, nullptr);
    ms->ost.st->time_base = AVRational{1, 1000};
    ms->ost.st->codecpar->codec_type = AType;
    ms->last_mux_dts = AV_NOPTS_VALUE;
    ms->sq_idx_mux = -1;
    ms->sch_idx = -1;
    // of_free frees the streams of the file
    auto** streams = static_cast<FFmpegHeader::POutputStream*>(
        AVUtilStubs::av_realloc_array(AMux->of.streams, AMux->of.nb_streams + 1,
                                      sizeof(FFmpegHeader::POutputStream)));
    streams[AMux->of.nb_streams++] = &ms->ost;
    AMux->of.streams = streams;
    return ms;
  }

  std::unique_ptr<FFmpeg::TCustomFFmpeg> FTask;
  std::vector<FFmpegHeader::TOutputFile*> FFiles;
};

// ---- mux_fixup_ts -------------------------------------------------------------------------

TEST_F(MuxTest, FixupTimestamps) {
  constexpr std::int64_t N = AV_NOPTS_VALUE;
  struct TRow {
    const char* Name;
    const char* Format;
    AVMediaType Type;
    bool ExitOnError;
    std::int64_t Last;  // last_mux_dts before the packet
    std::int64_t Pts, Dts;
    AVRational Tb;  // the packet's time base
    int WantResult;
    std::int64_t WantPts, WantDts;
    const char* WantLog;  // a text logged at AV_LOG_WARNING, or nullptr
  } rows[] = {
      {"in order", "nut", AVMEDIA_TYPE_VIDEO, false, 7, 8, 8, {1, 1000}, 0, 8, 8, nullptr},
      {"rescaled to the stream", "nut", AVMEDIA_TYPE_VIDEO, false, N, 9000, 4500, {1, 90000}, 0,
       100, 50, nullptr},
      {"non-monotonic video dts", "nut", AVMEDIA_TYPE_VIDEO, false, 7, 9, 5, {1, 1000}, 0, 9, 8,
       "Non-monotonic DTS; previous: 7, current: 5; "},
      {"pts raised with the dts", "nut", AVMEDIA_TYPE_VIDEO, false, 7, 6, 6, {1, 1000}, 0, 8, 8,
       "changing to 8. This may result in incorrect timestamps"},
      {"equal dts allowed by a non-strict muxer", "matroska", AVMEDIA_TYPE_VIDEO, false, 7, 7,
       7, {1, 1000}, 0, 7, 7, nullptr},
      {"dts after pts: the median", "nut", AVMEDIA_TYPE_VIDEO, false, 7, 6, 10, {1, 1000}, 0, 8,
       8, "Invalid DTS: 10 PTS: 6, replacing by guess"},
      {"dts after pts on the first packet", "nut", AVMEDIA_TYPE_VIDEO, false, N, 6, 10,
       {1, 1000}, 0, 6, 6, "Invalid DTS: 10 PTS: 6"},
      {"64-bit values printed whole", "nut", AVMEDIA_TYPE_VIDEO, false, 5000000000LL,
       5000000010LL, 4000000000LL, {1, 1000}, 0, 5000000010LL, 5000000001LL,
       "previous: 5000000000, current: 4000000000"},
      {"no timestamps: left alone", "rawvideo", AVMEDIA_TYPE_VIDEO, false, 7, 6, 10, {1, 1000}, 0,
       6, 10, nullptr},
      {"-xerror fails", "nut", AVMEDIA_TYPE_VIDEO, true, 7, 9, 5, {1, 1000}, AVERROR(EINVAL), 9,
       5, nullptr},
  };

  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TLogCapture log;
    FTask->Fexit_on_error = row.ExitOnError;
    TMux* mux = NewMux(row.Format);
    TMuxStream* ms = NewStream(mux, row.Type);
    ms->ost.enc = reinterpret_cast<FFmpegHeader::PEncoder>(&ms->ost);  // encoded, not copied
    ms->last_mux_dts = row.Last;
    AVPacket* pkt = AVCodecStubs::av_packet_alloc();
    pkt->pts = row.Pts;
    pkt->dts = row.Dts;
    pkt->time_base = row.Tb;

    EXPECT_EQ(FFmpegMux::mux_fixup_ts(mux, ms, pkt), row.WantResult);
    EXPECT_EQ(pkt->pts, row.WantPts);
    EXPECT_EQ(pkt->dts, row.WantDts);
    if (row.WantResult == 0) {
      EXPECT_EQ(pkt->time_base.num, 1);
      EXPECT_EQ(pkt->time_base.den, 1000);
      EXPECT_EQ(ms->last_mux_dts, row.WantDts);
    }
    if (row.WantLog) {
      EXPECT_TRUE(TLogCapture::Has(AV_LOG_WARNING, row.WantLog)) << TLogCapture::All();
    } else if (!row.ExitOnError) {
      EXPECT_FALSE(TLogCapture::HasText("DTS")) << TLogCapture::All();
    }
    AVCodecStubs::av_packet_free(&pkt);
    ms->ost.enc = nullptr;
  }
}

// Copied audio with a millisecond input time base: the packets are 1024 samples long, which
// is no whole number of milliseconds; the output keeps exact sample timing.
TEST_F(MuxTest, CopiedAudioKeepsSampleTiming) {
  TMux* mux = NewMux("nut");
  TMuxStream* ms = NewStream(mux, AVMEDIA_TYPE_AUDIO);
  AVCodecParameters* par = ms->ost.st->codecpar;
  par->codec_id = AV_CODEC_ID_PCM_S16LE;
  par->sample_rate = 44100;
  par->bits_per_coded_sample = 16;
  AVUtilStubs::av_channel_layout_default(&par->ch_layout, 1);
  ms->ost.st->time_base = AVRational{1, 44100};

  AVPacket* pkt = AVCodecStubs::av_packet_alloc();
  ASSERT_EQ(AVCodecStubs::av_new_packet(pkt, 2048), 0);  // 1024 mono 16-bit samples
  for (int i = 0; i < 50; i++) {
    SCOPED_TRACE(i);
    // what a millisecond container stores: the time rounded to the millisecond
    pkt->pts = pkt->dts = AVUtilStubs::av_rescale_q(i * 1024, AVRational{1, 44100},
                                                    AVRational{1, 1000});
    pkt->time_base = AVRational{1, 1000};
    ASSERT_EQ(FFmpegMux::mux_fixup_ts(mux, ms, pkt), 0);
    EXPECT_EQ(pkt->dts, i * 1024);
    EXPECT_EQ(pkt->pts, i * 1024);
  }
  AVCodecStubs::av_packet_free(&pkt);
}

// ---- Closing and removing outputs --------------------------------------------------------

class MuxOutputFileTest : public MuxTest {
 protected:
  void SetUp() override {
    MuxTest::SetUp();
    FDir = TempFolder::MakeDir("ostrevan_mux");
    ASSERT_FALSE(FDir.empty());
  }
  void TearDown() override {
    MuxTest::TearDown();
    std::string cmd = "rm -rf '" + FDir + "'";
    (void)std::system(cmd.c_str());
  }
  static bool Exists(const std::string& APath) {
    struct stat st {};
    return lstat(APath.c_str(), &st) == 0;
  }
  std::string FDir;
};

// Clean-up removes an output left empty only when it is a regular file: never a FIFO
// (or a device: the converter may run as root) and never through a symbolic link.
TEST_F(MuxOutputFileTest, CleanupRemovesOnlyEmptyRegularFiles) {
  const std::string plain = FDir + "/empty.nut";
  const std::string written = FDir + "/written.nut";
  const std::string fifo = FDir + "/fifo.nut";
  const std::string target = FDir + "/target.nut";
  const std::string link = FDir + "/link.nut";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // a reader, so that opening the FIFO for writing does not wait
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  { FILE* f = std::fopen(target.c_str(), "w"); std::fclose(f); }
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

  struct TRow {
    std::string Path;
    bool Write;
    bool WantKept;
  } rows[] = {
      {plain, false, false},
      {written, true, true},
      {fifo, false, true},
      {link, false, true},
  };
  for (TRow& row : rows) {
    SCOPED_TRACE(row.Path);
    TMux* mux = NewMux("nut", row.Path.c_str());
    ASSERT_GE(AVFormatStubs::avio_open2(&mux->fc->pb, row.Path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), 0);
    if (row.Write) avio_write(mux->fc->pb, reinterpret_cast<const unsigned char*>("data"), 4);
    mux->of.url = AVUtilStubs::av_strdup(row.Path.c_str());
    FFmpegHeader::TOutputFile* of = &mux->of;
    FFiles.pop_back();
    FFmpegMux::of_free(of);
    EXPECT_EQ(of, nullptr);
    EXPECT_EQ(Exists(row.Path), row.WantKept);
  }
  EXPECT_TRUE(Exists(target));
  close(reader);
}

// A stream-backed output is released once, by the trailer; the clean-up after it must not
// close or free it again (ASan watches this test).
TEST_F(MuxTest, StreamBackedOutputIsReleasedOnce) {
  Platform::TMemoryStream stream;
  MemoryProtocol::RegisterStream(&stream);

  TMux* mux = NewMux("nut");
  TMuxStream* ms = NewStream(mux, AVMEDIA_TYPE_VIDEO);
  AVCodecParameters* par = ms->ost.st->codecpar;
  par->codec_id = AV_CODEC_ID_RAWVIDEO;
  par->format = AV_PIX_FMT_YUV420P;
  par->width = 16;
  par->height = 16;
  ms->ost.st->time_base = AVRational{1, 25};

  AVIOContext* pb = nullptr;
  ASSERT_EQ(MemoryProtocol::memory_open(&stream, "memory", 1, &pb), 0);
  mux->fc->pb = pb;
  mux->fc->flags |= AVFMT_FLAG_CUSTOM_IO;
  mux->of.memory_handle = &stream;
  mux->of.url = AVUtilStubs::av_strdup("memory");
  ASSERT_EQ(FFmpegMux::mux_check_init(mux), 0);

  EXPECT_EQ(FFmpegMux::of_write_trailer(&mux->of), 0);
  EXPECT_EQ(mux->fc->pb, nullptr);
  EXPECT_GT(stream.GetSize(), 0);
  EXPECT_GT(FFmpegMux::of_filesize(&mux->of), 0);

  FFmpegHeader::TOutputFile* of = &mux->of;
  FFiles.pop_back();
  FFmpegMux::of_free(of);
  EXPECT_EQ(of, nullptr);
  MemoryProtocol::UnregisterStream(&stream);
}

// A file whose header was never written (a stream received nothing) reports it.
TEST_F(MuxTest, TrailerWithoutHeaderFails) {
  TLogCapture log;
  TMux* mux = NewMux("nut");
  EXPECT_EQ(FFmpegMux::of_write_trailer(&mux->of), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "Nothing was written into output file"));
}

// Without an RTP output there is no SDP to write.
TEST_F(MuxTest, SdpWithoutRtpOutputFails) {
  TLogCapture log;
  TMux* mux = NewMux("nut");
  FTask->Foutput_files = static_cast<FFmpegHeader::PPOutputFile>(
      av_mallocz(sizeof(FFmpegHeader::POutputFile)));
  FTask->Foutput_files[0] = &mux->of;
  FTask->Fnb_output_files = 1;
  EXPECT_EQ(FFmpegMux::print_sdp(FTask.get(), nullptr), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "No output streams in the SDP.\n"));
  AVUtilStubs::av_freep(&FTask->Foutput_files);
  FTask->Fnb_output_files = 0;
}

}  // namespace
