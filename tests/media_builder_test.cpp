// The shared media builder: what it writes probes back as asked, for the stream kinds
// and containers that other tests rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>

#include "MediaBuilder.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFPtr.h"

namespace {

namespace fs = std::filesystem;

TEST(MediaBuilder, WritesWhatWasAsked) {
  const fs::path dir = fs::temp_directory_path() / ("media_builder_" + std::to_string(getpid()));
  fs::create_directories(dir);
  struct {
    const char* Name;
    const char* Format;
    std::string Streams;
    std::string AudioCodec;
    int Channels;
    std::int64_t Offset;
  } rows[] = {
      {"a.mkv", "matroska", "aav", "pcm_s16le", 1, 0},
      {"b.mp4", "mp4", "va", "aac", 2, 0},
      {"c.ts", "mpegts", "v", "aac", 1, 10'000'000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    MediaBuilder::TMediaSpec spec;
    spec.Streams = row.Streams;
    spec.AudioCodec = row.AudioCodec;
    spec.Channels = row.Channels;
    spec.OutputOffset = row.Offset;
    const std::string file = (dir / row.Name).string();
    ASSERT_EQ(MediaBuilder::WriteMedia(file, row.Format, spec), 0);

    AVFormatContext* raw = nullptr;
    ASSERT_EQ(AVFormatStubs::avformat_open_input(&raw, file.c_str(), nullptr, nullptr), 0);
    FFPtr::TInputFormatPtr input(raw);
    ASSERT_GE(AVFormatStubs::avformat_find_stream_info(raw, nullptr), 0);
    ASSERT_EQ(raw->nb_streams, row.Streams.size());
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
      const AVCodecParameters* par = raw->streams[i]->codecpar;
      if (row.Streams[i] == 'v') {
        EXPECT_EQ(par->codec_type, AVMEDIA_TYPE_VIDEO);
        EXPECT_EQ(par->width, 64);
        EXPECT_EQ(par->height, 48);
      } else {
        EXPECT_EQ(par->codec_type, AVMEDIA_TYPE_AUDIO);
        EXPECT_EQ(par->ch_layout.nb_channels, row.Channels);
        EXPECT_EQ(par->sample_rate, 44100);
      }
    }
    EXPECT_NEAR(raw->duration / 1e6, 1.0, 0.1);
    EXPECT_NEAR(raw->start_time / 1e6, row.Offset / 1e6, 1.5);
  }
  fs::remove_all(dir);
}

// Longer than the muxer's interleaving window (10 s): written stream after stream, the
// file would hold seconds of pictures before the first sound, which no recorder writes
// and which makes readers of such a file lag on one stream.
TEST(MediaBuilder, StreamsAreInterleavedInTime) {
  const fs::path dir = fs::temp_directory_path() / ("media_builder_il_" + std::to_string(getpid()));
  fs::create_directories(dir);
  for (const char* name : {"long.mkv", "long.mp4"}) {
    SCOPED_TRACE(name);
    MediaBuilder::TMediaSpec spec;
    spec.Streams = "va";
    spec.Duration = 20.0;
    const std::string file = (dir / name).string();
    ASSERT_EQ(MediaBuilder::WriteMedia(file, nullptr, spec), 0);

    AVFormatContext* raw = nullptr;
    ASSERT_EQ(AVFormatStubs::avformat_open_input(&raw, file.c_str(), nullptr, nullptr), 0);
    FFPtr::TInputFormatPtr input(raw);
    FFPtr::TPacketPtr pkt(AVCodecStubs::av_packet_alloc());
    double latest[2] = {0, 0};
    double worstGap = 0;
    int packets = 0;
    while (AVFormatStubs::av_read_frame(raw, pkt.get()) >= 0) {
      const int index = pkt->stream_index;
      if (pkt->dts != AV_NOPTS_VALUE && index < 2) {
        latest[index] = pkt->dts * av_q2d(raw->streams[index]->time_base);
        if (packets > 0) worstGap = std::max(worstGap, std::abs(latest[0] - latest[1]));
        ++packets;
      }
      AVCodecStubs::av_packet_unref(pkt.get());
    }
    EXPECT_GT(packets, 500);
    EXPECT_LT(worstGap, 2.0);
  }
  fs::remove_all(dir);
}

}  // namespace
