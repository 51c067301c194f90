// End-to-end conformance of the conversion engine: one table of command lines over inputs
// made at test time, each row with what the written output must show when read back
// through the bound libraries (streams, parameters, counts, times, tags, and for lossless
// routes the checksum of every decoded picture). The answers are those the library
// documentation gives for the options and filters involved.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "LoaderTestSupport.h"
#include "MediaBuilder.h"
#include "MediaProbe.h"
#include "TempFolder.h"
#include "engine/FFmpeg.h"
#include "runtime/AVUtilStubs.h"

namespace {

using MediaProbe::TProbe;
using MediaProbe::TProbedStream;
using AVUtilStubs::av_rescale_q;

constexpr AVMediaType V = AVMEDIA_TYPE_VIDEO;
constexpr AVMediaType A = AVMEDIA_TYPE_AUDIO;
constexpr AVMediaType S = AVMEDIA_TYPE_SUBTITLE;

// The inputs every row may use, made once in one folder.
std::string GDir;

std::string At(const std::string& AName) { return GDir + "/" + AName; }

// "@name" in a command line is the file name in the test folder.
std::string Expand(const std::string& ALine) {
  std::string out;
  for (const char c : ALine) out += c == '@' ? GDir + "/" : std::string(1, c);
  return out;
}

long FileSize(const std::string& AName) {
  struct stat st {};
  return stat(At(AName).c_str(), &st) == 0 ? long(st.st_size) : -1;
}

// The last frame number the task reported.
struct TLastFrame {
  std::atomic<int> Frame{-1};
  static void OnProgress(void* AData, Platform::TObject*, int, int AFrameNumber, int, float,
                         float, const std::int64_t&, const std::int64_t&,
                         const std::int64_t&) {
    static_cast<TLastFrame*>(AData)->Frame.store(AFrameNumber);
  }
};

// Parses and runs ALine as one task on this thread: empty, or the error.
std::string RunLine(const std::string& ALine, TLastFrame* AProgress = nullptr) {
  FFmpeg::TCustomFFmpeg task;
  if (AProgress) {
    task.FOnProgress = FFmpeg::TTaskProgressEvent::FromFunction(&TLastFrame::OnProgress, AProgress);
  }
  const int ret = task.ParseOptions("-y " + Expand(ALine));
  if (ret < 0) return "parse failed: " + task.LastErrMsg();
  task.Start(false);
  if (task.HasError()) return "run failed: " + task.ErrorText();
  return "";
}

TProbe P(const std::string& AName, bool ADecode = false) {
  return MediaProbe::ProbeFile(At(AName), ADecode);
}

// 1 s of 64x48 MPEG-4 at 25 fps, a key frame every 5 pictures.
MediaBuilder::TMediaSpec Video(double ASeconds) {
  MediaBuilder::TMediaSpec spec;
  spec.Streams = "v";
  spec.Duration = ASeconds;
  return spec;
}

class GoldenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries)) return;
    GDir = TempFolder::MakeDir("ostrevan_golden");
    if (GDir.empty()) return;
    bool ok = MediaBuilder::WriteMedia(At("v1.nut"), "nut", Video(1.0)) == 0 &&
              MediaBuilder::WriteMedia(At("v2.nut"), "nut", Video(2.0)) == 0 &&
              MediaBuilder::WriteMedia(At("v1.mkv"), "matroska", Video(1.0)) == 0;
    MediaBuilder::TMediaSpec spec = Video(1.0);
    spec.Streams = "va";
    spec.SampleRate = 48000;
    spec.Channels = 2;
    ok = ok && MediaBuilder::WriteMedia(At("va.nut"), "nut", spec) == 0;
    spec = Video(1.0);
    spec.Streams = "a";
    ok = ok && MediaBuilder::WriteMedia(At("a1.wav"), "wav", spec) == 0;
    spec.Duration = 2.0;
    ok = ok && MediaBuilder::WriteMedia(At("a2.wav"), "wav", spec) == 0;
    // a file whose timestamps start at 2 s
    spec = Video(1.0);
    spec.OutputOffset = 2000000;
    ok = ok && MediaBuilder::WriteMedia(At("late.nut"), "nut", spec) == 0;
    // one still picture
    spec = Video(0.04);
    spec.VideoCodec = "png";
    spec.PixelFormat = AV_PIX_FMT_RGB24;
    ok = ok && MediaBuilder::WriteMedia(At("still.png"), "image2", spec) == 0;
    std::ofstream(At("cues.srt")) << "1\n00:00:00,500 --> 00:00:01,000\nOne\n\n"
                                     "2\n00:00:01,500 --> 00:00:02,000\nTwo\n\n";
    if (!ok) GDir.clear();
  }
  static void TearDownTestSuite() {
    if (!GDir.empty()) (void)std::system(("rm -rf '" + GDir + "'").c_str());
  }
  void SetUp() override { ASSERT_FALSE(GDir.empty()) << "the inputs could not be made"; }
};

struct TRow {
  const char* Name;
  std::vector<std::string> Lines;  // run in order, each must succeed
  std::function<void()> Check;
};

const double CTol = 0.05;  // seconds

void ExpectVideo(const TProbedStream* AStream, const char* ACodec, int AWidth, int AHeight,
                 std::size_t AFrames) {
  ASSERT_TRUE(AStream);
  EXPECT_EQ(AStream->Codec, ACodec);
  EXPECT_EQ(AStream->Width, AWidth);
  EXPECT_EQ(AStream->Height, AHeight);
  EXPECT_EQ(AStream->Packets(), AFrames);
}

const std::vector<TRow>& Rows() {
  static const std::vector<TRow> rows = {
      {"-s scales the picture",
       {"-i @v1.nut -s 160x120 -c:v mpeg4 @out.nut"},
       [] {
         const TProbe p = P("out.nut");
         ASSERT_EQ(p.Streams.size(), 1u);
         ExpectVideo(p.Find(V), "mpeg4", 160, 120, 25);
         EXPECT_NEAR(p.Find(V)->Duration(), 1.0, CTol);
       }},
      {"-r on the input replaces the timestamps: 50 pictures at 10 fps last 5 s",
       {"-r 10 -i @v2.nut -c:v mpeg4 @out.nut"},
       [] {
         const TProbe p = P("out.nut");
         ExpectVideo(p.Find(V), "mpeg4", 64, 48, 50);
         EXPECT_NEAR(p.Find(V)->Duration(), 5.0, CTol);
       }},
      {"-r on the output converts to that constant rate",
       {"-i @v2.nut -r 10 -c:v mpeg4 @out.mp4"},
       [] {
         const TProbe p = P("out.mp4");
         const TProbedStream* v = p.Find(V);
         ASSERT_TRUE(v);
         // a picture every 100 ms; the end may hold the last one a little longer
         EXPECT_NEAR(double(v->Packets()), 20.0, 2.0);
         std::vector<std::int64_t> pts = v->Pts;
         std::sort(pts.begin(), pts.end());
         for (std::size_t i = 0; i < pts.size(); i++)
           EXPECT_EQ(av_rescale_q(pts[i] - pts[0], v->TimeBase, AVRational{1, 1000}),
                     std::int64_t(100 * i));
       }},
      {"-t as an output option limits the duration",
       {"-i @v2.nut -t 1 -c:v mpeg4 @out.nut"},
       [] {
         const TProbe p = P("out.nut");
         ExpectVideo(p.Find(V), "mpeg4", 64, 48, 25);
         EXPECT_NEAR(p.Find(V)->Start(), 0.0, CTol);
       }},
      {"-ss on the input and on the output give the same pictures",
       {"-i @v2.nut -c:v ffv1 @full.mkv", "-ss 0.4 -i @v2.nut -c:v ffv1 @in_ss.mkv",
        "-i @v2.nut -ss 0.4 -c:v ffv1 @out_ss.mkv"},
       [] {
         const TProbe full = P("full.mkv", true), in = P("in_ss.mkv", true),
                      out = P("out_ss.mkv", true);
         ASSERT_TRUE(full.Find(V) && in.Find(V) && out.Find(V));
         ASSERT_EQ(full.Find(V)->FrameSums.size(), 50u);
         const std::vector<std::uint32_t> tail(full.Find(V)->FrameSums.begin() + 10,
                                               full.Find(V)->FrameSums.end());
         EXPECT_EQ(in.Find(V)->FrameSums, tail);
         EXPECT_EQ(out.Find(V)->FrameSums, tail);
         EXPECT_NEAR(in.Find(V)->Start(), 0.0, CTol);
         EXPECT_NEAR(out.Find(V)->Start(), 0.0, CTol);
       }},
      {"-to is a position: -ss 0.2 -to 0.6 keeps 0.4 s",
       {"-i @v1.nut -ss 0.2 -to 0.6 -c:v mpeg4 @out.nut"},
       [] {
         const TProbe p = P("out.nut");
         ExpectVideo(p.Find(V), "mpeg4", 64, 48, 10);
       }},
      {"-frames:v stops after that many pictures",
       {"-i @v1.nut -frames:v 7 -c:v mpeg4 @out.nut"},
       [] { ExpectVideo(P("out.nut").Find(V), "mpeg4", 64, 48, 7); }},
      {"-map picks streams of several inputs in the given order",
       {"-i @v1.nut -i @a1.wav -map 1:a -map 0:v -c:v mpeg4 -c:a pcm_s16le @out.mkv"},
       [] {
         const TProbe p = P("out.mkv");
         ASSERT_EQ(p.Streams.size(), 2u);
         EXPECT_EQ(p.Streams[0].Type, A);
         EXPECT_EQ(p.Streams[0].Codec, "pcm_s16le");
         EXPECT_EQ(p.Streams[0].SampleRate, 44100);
         EXPECT_EQ(p.Streams[1].Type, V);
         EXPECT_EQ(p.Streams[1].Packets(), 25u);
       }},
      {"two outputs from one input, -an on one and -vn on the other",
       {"-i @va.nut -an -c:v mpeg4 @video.nut -vn -c:a pcm_s16le @audio.wav"},
       [] {
         const TProbe v = P("video.nut"), a = P("audio.wav", true);
         ASSERT_EQ(v.Streams.size(), 1u);
         ExpectVideo(v.Find(V), "mpeg4", 64, 48, 25);
         ASSERT_EQ(a.Streams.size(), 1u);
         ASSERT_TRUE(a.Find(A));
         EXPECT_EQ(a.Find(A)->SampleRate, 48000);
         EXPECT_EQ(a.Find(A)->Channels, 2);
         EXPECT_EQ(a.Find(A)->Samples, 48000);
       }},
      {"-ar and -ac resample and downmix",
       {"-i @va.nut -vn -ar 22050 -ac 1 -c:a pcm_s16le @out.wav"},
       [] {
         const TProbe p = P("out.wav", true);
         const TProbedStream* a = p.Find(A);
         ASSERT_TRUE(a);
         EXPECT_EQ(a->SampleRate, 22050);
         EXPECT_EQ(a->Channels, 1);
         EXPECT_NEAR(double(a->Samples), 22050.0, 64.0);
       }},
      {"-channel_layout sets the layout, not only the count",
       {"-i @a1.wav -channel_layout quad -c:a pcm_s16le @out.wav"},
       [] {
         const TProbe p = P("out.wav");
         ASSERT_TRUE(p.Find(A));
         EXPECT_EQ(p.Find(A)->Channels, 4);
         EXPECT_EQ(p.Find(A)->ChannelLayout, "quad");
       }},
      {"-sample_fmt picks the encoder's sample format",
       {"-i @a1.wav -sample_fmt s32 -c:a flac @out.mkv"},
       [] {
         const TProbe p = P("out.mkv");
         ASSERT_TRUE(p.Find(A));
         EXPECT_EQ(p.Find(A)->Codec, "flac");
         EXPECT_EQ(p.Find(A)->SampleFormat, "s32");
       }},
      {"-pix_fmt picks the encoder's pixel format",
       {"-i @v1.nut -pix_fmt yuv444p -c:v ffv1 @out.mkv"},
       [] {
         const TProbe p = P("out.mkv");
         ASSERT_TRUE(p.Find(V));
         EXPECT_EQ(p.Find(V)->PixelFormat, "yuv444p");
       }},
      {"-filter_complex hstack of two inputs to a labelled output",
       {"-i @v1.nut -i @v2.nut -filter_complex \"[0:v][1:v]hstack=inputs=2:shortest=1[wide]\" "
        "-map \"[wide]\" -c:v mpeg4 @out.nut"},
       [] {
         const TProbe p = P("out.nut");
         ASSERT_EQ(p.Streams.size(), 1u);
         ExpectVideo(p.Find(V), "mpeg4", 128, 48, 25);
       }},
      {"-filter_complex amix of two inputs lasts as the longest",
       {"-i @a1.wav -i @a2.wav -filter_complex \"[0:a][1:a]amix=inputs=2[mix]\" -map \"[mix]\" "
        "-c:a pcm_s16le @out.wav"},
       [] {
         const TProbe p = P("out.wav", true);
         ASSERT_EQ(p.Streams.size(), 1u);
         ASSERT_TRUE(p.Find(A));
         EXPECT_NEAR(double(p.Find(A)->Samples) / 44100, 2.0, CTol);
       }},
      {"-vf chain",
       {"-i @v1.nut -vf scale=32:24,hflip,format=gray -c:v ffv1 @out.mkv"},
       [] {
         const TProbe p = P("out.mkv");
         ExpectVideo(p.Find(V), "ffv1", 32, 24, 25);
         EXPECT_EQ(p.Find(V)->PixelFormat, "gray");
       }},
      {"-af chain",
       {"-i @a1.wav -af volume=0.5,aresample=8000 -c:a pcm_s16le @out.wav"},
       [] {
         const TProbe p = P("out.wav", true);
         ASSERT_TRUE(p.Find(A));
         EXPECT_EQ(p.Find(A)->SampleRate, 8000);
         EXPECT_NEAR(double(p.Find(A)->Samples), 8000.0, 32.0);
       }},
      {"-c copy remux mkv to mp4 to ts keeps every picture",
       // the decoder configuration of MPEG-4 lives in the header of mkv and mp4: the
       // dump_extra bitstream filter repeats it in-band for the transport stream
       {"-i @v1.mkv -c copy @copy.mp4", "-i @copy.mp4 -c copy -bsf:v dump_extra @copy.ts"},
       [] {
         const TProbe mkv = P("v1.mkv", true), mp4 = P("copy.mp4", true),
                      ts = P("copy.ts", true);
         EXPECT_EQ(mp4.Format, "mov,mp4,m4a,3gp,3g2,mj2");
         EXPECT_EQ(ts.Format, "mpegts");
         ASSERT_TRUE(mkv.Find(V) && mp4.Find(V) && ts.Find(V));
         EXPECT_EQ(mp4.Find(V)->Codec, "mpeg4");
         EXPECT_EQ(ts.Find(V)->Codec, "mpeg4");
         EXPECT_EQ(mkv.Find(V)->FrameSums.size(), 25u);
         EXPECT_EQ(mp4.Find(V)->FrameSums, mkv.Find(V)->FrameSums);
         EXPECT_EQ(ts.Find(V)->FrameSums, mkv.Find(V)->FrameSums);
       }},
      {"-shortest ends with the shorter stream",
       {"-i @v2.nut -i @a1.wav -map 0:v -map 1:a -c:v mpeg4 -c:a pcm_s16le -shortest @out.mkv"},
       [] {
         const TProbe p = P("out.mkv");
         ASSERT_TRUE(p.Find(V) && p.Find(A));
         EXPECT_NEAR(p.Find(V)->Duration(), 1.0, 0.1);
         EXPECT_NEAR(p.Find(A)->Duration(), 1.0, 0.1);
       }},
      {"-copyts keeps the input timestamps, without it they start at 0",
       {"-copyts -i @late.nut -c:v mpeg4 @kept.mkv", "-i @late.nut -c:v mpeg4 @moved.mkv"},
       [] {
         const TProbe kept = P("kept.mkv"), moved = P("moved.mkv");
         ASSERT_TRUE(kept.Find(V) && moved.Find(V));
         EXPECT_NEAR(kept.Find(V)->Start(), 2.0, CTol);
         EXPECT_NEAR(moved.Find(V)->Start(), 0.0, CTol);
       }},
      {"-metadata, -map_metadata from another input, -map_metadata -1",
       {"-i @v1.nut -metadata title=Golden -metadata:s:v:0 language=fra -c:v mpeg4 @tagged.mkv",
        "-i @v1.nut -i @tagged.mkv -map 0 -map_metadata 1 -c:v mpeg4 @mapped.mkv",
        "-i @tagged.mkv -map_metadata -1 -c:v mpeg4 @stripped.mkv"},
       [] {
         const TProbe tagged = P("tagged.mkv"), mapped = P("mapped.mkv"),
                      stripped = P("stripped.mkv");
         ASSERT_TRUE(tagged.Find(V) && mapped.Find(V) && stripped.Find(V));
         EXPECT_EQ(tagged.Tags.count("title") ? tagged.Tags.at("title") : "", "Golden");
         EXPECT_EQ(tagged.Find(V)->Tags.count("language") ? tagged.Find(V)->Tags.at("language") : "",
                   "fra");
         EXPECT_EQ(mapped.Tags.count("title") ? mapped.Tags.at("title") : "", "Golden");
         EXPECT_EQ(stripped.Tags.count("title"), 0u);
       }},
      {"-disposition replaces the stream's flags",
       {"-i @v1.nut -i @a1.wav -map 0 -map 1 -disposition:v:0 forced -disposition:a:0 default "
        "-c:v mpeg4 -c:a pcm_s16le @out.mkv"},
       [] {
         const TProbe p = P("out.mkv");
         ASSERT_TRUE(p.Find(V) && p.Find(A));
         EXPECT_TRUE(p.Find(V)->Disposition & AV_DISPOSITION_FORCED);
         EXPECT_FALSE(p.Find(V)->Disposition & AV_DISPOSITION_DEFAULT);
         EXPECT_TRUE(p.Find(A)->Disposition & AV_DISPOSITION_DEFAULT);
       }},
      {"subtitles from a .srt into mkv take the muxer's default codec",
       {"-i @cues.srt @subs.mkv"},
       [] {
         const TProbe p = P("subs.mkv");
         ASSERT_EQ(p.Streams.size(), 1u);
         ASSERT_TRUE(p.Find(S));
         EXPECT_EQ(p.Find(S)->Codec, "ass");
         EXPECT_EQ(p.Find(S)->Packets(), 2u);
         EXPECT_NEAR(p.Find(S)->Start(), 0.5, CTol);
         EXPECT_NEAR(p.Find(S)->Duration(), 1.5, CTol);
       }},
      {"-fs ends a stream copy near the size",
       {"-i @v2.nut -c copy @whole.nut", "-i @v2.nut -c copy -fs 4000 @limited.nut"},
       [] {
         const TProbe whole = P("whole.nut"), limited = P("limited.nut");
         ASSERT_TRUE(whole.Find(V) && limited.Find(V));
         EXPECT_EQ(whole.Find(V)->Packets(), 50u);
         EXPECT_GT(limited.Find(V)->Packets(), 0u);
         EXPECT_LT(limited.Find(V)->Packets(), 50u);
         EXPECT_LT(FileSize("limited.nut"), 4000 + FileSize("whole.nut") / 10);
       }},
      {"-loop 1 repeats a still picture for -t",
       {"-loop 1 -i @still.png -t 1 -c:v ffv1 @out.mkv"},
       [] {
         const TProbe p = P("out.mkv", true);
         ExpectVideo(p.Find(V), "ffv1", 64, 48, 25);
         const std::vector<std::uint32_t>& sums = p.Find(V)->FrameSums;
         ASSERT_EQ(sums.size(), 25u);
         for (const std::uint32_t s : sums) EXPECT_EQ(s, sums[0]);
       }},
      {"-stream_loop 1 plays the input twice",
       {"-stream_loop 1 -i @v1.nut -c:v mpeg4 @out.nut"},
       [] {
         const TProbe p = P("out.nut");
         ExpectVideo(p.Find(V), "mpeg4", 64, 48, 50);
         EXPECT_NEAR(p.Find(V)->Duration(), 2.0, CTol);
       }},
      {"-ss and -t on audio are sample-exact",
       {"-ss 0.5 -t 0.3 -i @a1.wav -c:a pcm_s16le @in.wav", "-i @a1.wav -ss 0.5 -t 0.3 -c:a pcm_s16le @out.wav"},
       [] {
         const TProbe in = P("in.wav", true), out = P("out.wav", true);
         ASSERT_TRUE(in.Find(A) && out.Find(A));
         EXPECT_EQ(in.Find(A)->Samples, 13230);
         EXPECT_EQ(out.Find(A)->Samples, 13230);
       }},
      {"-ss and -to on the input, -t on the input",
       {"-ss 0.2 -to 0.6 -i @v1.nut -c:v mpeg4 @out.nut", "-t 0.4 -i @v1.nut -c:v mpeg4 @t.nut"},
       [] {
         ExpectVideo(P("out.nut").Find(V), "mpeg4", 64, 48, 10);
         ExpectVideo(P("t.nut").Find(V), "mpeg4", 64, 48, 10);
       }},
      {"a negative -map takes a stream out again",
       {"-i @va.nut -map 0 -map -0:a -c:v mpeg4 @out.nut"},
       [] {
         const TProbe p = P("out.nut");
         ASSERT_EQ(p.Streams.size(), 1u);
         EXPECT_EQ(p.Streams[0].Type, V);
       }},
      {"-filter_complex split feeds two outputs from labelled pads",
       {"-i @v1.nut -filter_complex \"[0:v]split[a][b];[b]scale=32:24[c]\" -map \"[a]\" -c:v mpeg4 @o1.nut -map \"[c]\" -c:v mpeg4 @o2.nut"},
       [] {
         ExpectVideo(P("o1.nut").Find(V), "mpeg4", 64, 48, 25);
         ExpectVideo(P("o2.nut").Find(V), "mpeg4", 32, 24, 25);
       }},
      {"-itsoffset delays one input of two",
       {"-itsoffset 0.5 -i @a1.wav -i @v1.nut -map 0 -map 1 -c:a pcm_s16le -c:v mpeg4 @out.mkv"},
       [] {
         const TProbe p = P("out.mkv");
         ASSERT_TRUE(p.Find(A) && p.Find(V));
         EXPECT_NEAR(p.Find(A)->Start(), 0.5, CTol);
         EXPECT_NEAR(p.Find(V)->Start(), 0.0, CTol);
       }},
      {"-copyts with -ss on the input keeps the seek time; -output_ts_offset moves the start",
       {"-ss 0.4 -copyts -i @v2.nut -c:v mpeg4 @out.mkv", "-i @v1.nut -output_ts_offset 3 -c:v mpeg4 @off.mkv"},
       [] {
         ASSERT_TRUE(P("out.mkv").Find(V));
         EXPECT_NEAR(P("out.mkv").Find(V)->Start(), 0.4, CTol);
         EXPECT_EQ(P("out.mkv").Find(V)->Packets(), 40u);
         EXPECT_NEAR(P("off.mkv").Find(V)->Start(), 3.0, CTol);
       }},
      {"-itsscale stretches the input timestamps",
       {"-itsscale 2 -i @v1.nut -c:v mpeg4 @out.nut"},
       [] {
         const TProbe p = P("out.nut");
         ExpectVideo(p.Find(V), "mpeg4", 64, 48, 25);
         EXPECT_NEAR(p.Find(V)->Duration(), 2.0, CTol);
       }},
      {"-sn drops the mapped subtitles",
       {"-i @v1.nut -i @cues.srt -map 0 -map 1 -sn -c:v mpeg4 @out.mkv"},
       [] { EXPECT_EQ(P("out.mkv").Streams.size(), 1u); }},
      {"video copied, audio encoded: AAC at -ar 8000 -ac 1",
       {"-i @va.nut -c:v copy -c:a aac -ar 8000 -ac 1 @out.mp4"},
       [] {
         const TProbe p = P("out.mp4", true);
         ASSERT_TRUE(p.Find(A) && p.Find(V));
         EXPECT_EQ(p.Find(A)->SampleRate, 8000);
         EXPECT_EQ(p.Find(A)->Channels, 1);
         EXPECT_EQ(p.Find(V)->Packets(), 25u);
         EXPECT_NEAR(double(p.Find(A)->Samples), 8000, 1100);
       }},
      {"subtitle encoders: -c:s srt into mkv, mov_text into mp4",
       {"-i @cues.srt -c:s srt @s.mkv", "-i @cues.srt -c:s mov_text @s.mp4"},
       [] {
         const TProbe mkv = P("s.mkv"), mp4 = P("s.mp4");
         ASSERT_TRUE(mkv.Find(S) && mp4.Find(S));
         EXPECT_EQ(mkv.Find(S)->Codec, "subrip");
         EXPECT_EQ(mkv.Find(S)->Packets(), 2u);
         EXPECT_EQ(mp4.Find(S)->Codec, "mov_text");
       }},
      {"stream copy with -t, and with -ss on the input at a key frame",
       {"-i @v2.nut -c copy -t 0.4 @t.nut", "-ss 0.4 -i @v2.nut -c copy @ss.nut"},
       [] {
         const TProbe t = P("t.nut", true), ss = P("ss.nut", true), v2 = P("v2.nut", true);
         ASSERT_TRUE(t.Find(V) && ss.Find(V) && v2.Find(V));
         EXPECT_EQ(t.Find(V)->Packets(), 10u);
         EXPECT_EQ(ss.Find(V)->Packets(), 40u);
         EXPECT_NEAR(ss.Find(V)->Start(), 0.0, CTol);
         const std::vector<std::uint32_t>& all = v2.Find(V)->FrameSums;
         ASSERT_EQ(all.size(), 50u);
         EXPECT_EQ(ss.Find(V)->FrameSums, std::vector<std::uint32_t>(all.begin() + 10, all.end()));
       }},
      {"one stream mapped twice, mono upmixed by -ac 2",
       {"-i @a1.wav -map 0:a -map 0:a -ac:1 2 -c:a pcm_s16le @out.mkv"},
       [] {
         const TProbe p = P("out.mkv", true);
         ASSERT_EQ(p.Count(A), 2);
         EXPECT_EQ(p.Find(A, 0)->Channels, 1);
         EXPECT_EQ(p.Find(A, 1)->Channels, 2);
         EXPECT_EQ(p.Find(A, 1)->Samples, 44100);
       }},
      {"-sseof counts back from the duration the demuxer gives",
       {"-sseof -0.4 -i @v1.nut -c:v mpeg4 @out.nut"},
       [] {
         const TProbe in = P("v1.nut");
         ASSERT_GT(in.Duration, 0.4);
         // the pictures at or after duration - 0.4 s, 25 a second
         const std::size_t first = std::size_t(std::ceil((in.Duration - 0.4) * 25 - 1e-6));
         ExpectVideo(P("out.nut").Find(V), "mpeg4", 64, 48, 25 - first);
       }},
      {"-ss and -t on the output cut video and audio alike",
       {"-i @va.nut -ss 0.2 -t 0.5 -c:v mpeg4 -c:a pcm_s16le @out.mkv", "-f lavfi -i sine=sample_rate=44100:duration=2 -t 0.5 -c:a pcm_s16le @s.wav"},
       [] {
         const TProbe p = P("out.mkv", true);
         ASSERT_TRUE(p.Find(V) && p.Find(A));
         EXPECT_EQ(p.Find(V)->Packets(), 13u);
         EXPECT_EQ(p.Find(A)->Samples, 24000);
         EXPECT_NEAR(p.Find(A)->Start(), 0.0, CTol);
         EXPECT_EQ(P("s.wav", true).Find(A)->Samples, 22050);
       }},
      {"stream tags: -map_metadata between streams, -metadata on a copied stream",
       {"-i @v1.nut -metadata:s:v:0 title=Pic -c:v mpeg4 @t.mkv", "-i @t.mkv -map_metadata:s:v:0 0:s:v:0 -c:v mpeg4 @m.mkv",
        "-i @t.mkv -i @a1.wav -map 0 -map 1 -metadata:s:a:0 language=ger -c copy @n.mkv"},
       [] {
         auto t = P("m.mkv").Find(V)->Tags;
         EXPECT_EQ(t.count("title") ? t.at("title") : "", "Pic");
         auto n = P("n.mkv");
         EXPECT_EQ(n.Find(A)->Tags.count("language") ? n.Find(A)->Tags.at("language") : "", "ger");
         EXPECT_EQ(n.Find(V)->Tags.count("title") ? n.Find(V)->Tags.at("title") : "", "Pic");
       }},
      {"the first stream of a kind is the default one, unless -disposition says otherwise",
       {"-i @a1.wav -map 0:a -map 0:a -c:a pcm_s16le @d.mkv", "-i @a1.wav -map 0:a -map 0:a -disposition:a:1 default -c:a pcm_s16le @e.mkv"},
       [] {
         auto d = P("d.mkv"), e = P("e.mkv");
         EXPECT_TRUE(d.Find(A,0)->Disposition & AV_DISPOSITION_DEFAULT);
         EXPECT_FALSE(d.Find(A,1)->Disposition & AV_DISPOSITION_DEFAULT);
         EXPECT_FALSE(e.Find(A,0)->Disposition & AV_DISPOSITION_DEFAULT);
         EXPECT_TRUE(e.Find(A,1)->Disposition & AV_DISPOSITION_DEFAULT);
       }},
      {"-frames:v after -r; one input to two outputs with their own -vf",
       {"-i @v2.nut -r 5 -frames:v 4 -c:v mpeg4 @out.nut", "-i @v1.nut -vf scale=32:24 @a.nut -vf scale=16:12 @b.nut"},
       [] { ExpectVideo(P("out.nut").Find(V), "mpeg4", 64, 48, 4);
            EXPECT_EQ(P("a.nut").Find(V)->Width, 32); EXPECT_EQ(P("b.nut").Find(V)->Width, 16); }},
      {"-shortest with stream copy",
       {"-i @v2.nut -i @a1.wav -map 0:v -map 1:a -c copy -shortest @out.mkv"},
       [] { auto p = P("out.mkv"); EXPECT_NEAR(p.Find(V)->Duration(), 1.0, 0.15); }},
      {"-ss with -itsoffset on one input; -f names the muxer of a file without extension",
       {"-ss 0.4 -itsoffset 1 -i @v1.nut -c:v mpeg4 @out.mkv", "-i @v1.nut -t 0.5 -c:v mpeg4 -f matroska @noext"},
       [] { auto p = P("out.mkv"); EXPECT_EQ(p.Find(V)->Packets(), 15u); EXPECT_NEAR(p.Find(V)->Start(), 1.0, CTol);
            EXPECT_EQ(P("noext").Format, "matroska,webm"); }},
      {"a labelled graph output with a plain stream under -t; a graph after -ss on the input",
       {"-i @va.nut -filter_complex \"[0:v]scale=32:24[v]\" -map \"[v]\" -map 0:a -t 0.5 -c:v mpeg4 -c:a pcm_s16le @out.mkv",
        "-ss 0.4 -i @v1.nut -filter_complex \"[0:v][0:v]hstack\" -c:v mpeg4 @h.nut"},
       [] {
         auto p = P("out.mkv", true);
         ASSERT_TRUE(p.Find(V) && p.Find(A));
         EXPECT_EQ(p.Find(V)->Width, 32);
         EXPECT_NEAR(double(p.Find(V)->Packets()), 12.5, 0.5);
         EXPECT_EQ(p.Find(A)->Samples, 24000);
         ExpectVideo(P("h.nut").Find(V), "mpeg4", 128, 48, 15);
       }},
      {"AAC encoded into mp4, then copied into ts and mkv",
       {"-i @va.nut -c:v copy -c:a aac @a.mp4", "-i @a.mp4 -c copy @a.ts", "-i @a.mp4 -c:a copy -vn @a.mkv"},
       [] {
         auto m = P("a.mp4", true), t = P("a.ts", true), k = P("a.mkv", true);
         ASSERT_TRUE(m.Find(A) && t.Find(A) && k.Find(A));
         EXPECT_EQ(t.Find(A)->Codec, "aac");
         // every packet survives the copies; the mp4 demuxer alone drops the priming
         EXPECT_EQ(t.Find(A)->Packets(), m.Find(A)->Packets());
         EXPECT_EQ(k.Find(A)->Packets(), m.Find(A)->Packets());
         EXPECT_EQ(t.Find(A)->Samples, std::int64_t(m.Find(A)->Packets()) * 1024);
         EXPECT_NEAR(double(m.Find(A)->Samples), 48000, 1024);
       }},
      {"an optional -map of a missing stream is no error; -s applies after -vf",
       {"-i @v1.nut -map 0:v -map 0:a? -vf hflip -s 32x24 -c:v mpeg4 @out.nut"},
       [] {
         const TProbe p = P("out.nut");
         ASSERT_EQ(p.Streams.size(), 1u);
         ExpectVideo(p.Find(V), "mpeg4", 32, 24, 25);
       }},
      {"lavfi sources as inputs",
       {"-f lavfi -i testsrc2=size=160x120:rate=25:duration=1 -f lavfi -i "
        "sine=frequency=1000:sample_rate=32000:duration=1 -c:v mpeg4 -c:a pcm_s16le @out.mkv"},
       [] {
         const TProbe p = P("out.mkv", true);
         ASSERT_EQ(p.Streams.size(), 2u);
         ExpectVideo(p.Find(V), "mpeg4", 160, 120, 25);
         ASSERT_TRUE(p.Find(A));
         EXPECT_EQ(p.Find(A)->SampleRate, 32000);
         EXPECT_EQ(p.Find(A)->Samples, 32000);
       }},
  };
  return rows;
}

TEST_F(GoldenTest, CommandLinesGiveTheDocumentedOutputs) {
  for (const TRow& row : Rows()) {
    SCOPED_TRACE(row.Name);
    bool ran = true;
    for (const std::string& line : row.Lines) {
      SCOPED_TRACE(line);
      const std::string err = RunLine(line);
      EXPECT_EQ(err, "");
      ran = ran && err.empty();
    }
    if (ran) row.Check();
  }
}

// -f null writes nothing, yet every picture goes through: the task counts them.
TEST_F(GoldenTest, NullOutputCountsEveryFrame) {
  TLastFrame progress;
  ASSERT_EQ(RunLine("-i @v2.nut -c:v mpeg4 -f null -", &progress), "");
  EXPECT_EQ(progress.Frame.load(), 50);
}

}  // namespace
