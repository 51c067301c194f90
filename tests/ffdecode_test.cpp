// The decoder component over inputs opened here through the loaded libraries: a small
// Matroska file with two audio streams before a video stream, made from lavfi sources
// at test time, and a one-picture "image2" input.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

#include "LoaderTestSupport.h"
#include "LogRecorder.h"
#include "MediaBuilder.h"
#include "components/FFDecode.h"
#include "platform/Format.h"
#include "platform/Streams.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/MemoryProtocol.h"
#include "runtime/OptCommon.h"

namespace {

using FFBaseComponent::sfBackward;
using FFBaseComponent::sfByte;
using FFBaseComponent::TSeekFlags;
using FFDecode::TCustomDecoder;
using FFDecode::TVIZoravaz;
using FFLoad::TLogLevel;

namespace fs = std::filesystem;

// ---- Media made at test time --------------------------------------------------------------

// A 4x4 grey picture as binary PGM.
void WritePGM(const std::string& AFileName) {
  std::ofstream f(AFileName, std::ios::binary);
  f << "P5\n4 4\n255\n";
  for (int i = 0; i < 16; ++i) f.put(static_cast<char>(i * 16));
}

// Opens AUrl (reading through APb when given) with the demuxer AFormat or a probed one.
AVFormatContext* OpenInput(const std::string& AUrl, const char* AFormat = nullptr,
                           AVIOContext* APb = nullptr) {
  using AVFormatStubs::av_find_input_format;
  using AVFormatStubs::avformat_alloc_context;
  using AVFormatStubs::avformat_find_stream_info;
  using AVFormatStubs::avformat_open_input;
  AVFormatContext* ctx = avformat_alloc_context();
  ctx->pb = APb;
  const AVInputFormat* format = AFormat ? av_find_input_format(AFormat) : nullptr;
  if (avformat_open_input(&ctx, AUrl.c_str(), format, nullptr) < 0) return nullptr;
  if (avformat_find_stream_info(ctx, nullptr) < 0) {
    AVFormatStubs::avformat_close_input(&ctx);
    return nullptr;
  }
  return ctx;
}

void CloseInput(AVFormatContext*& AContext) { AVFormatStubs::avformat_close_input(&AContext); }

// The first video packet after the current position, its pts in microseconds; -1 for none.
std::int64_t NextVideoPTS(AVFormatContext* AContext, int AVideoStream) {
  using AVCodecStubs::av_packet_alloc;
  using AVCodecStubs::av_packet_free;
  using AVCodecStubs::av_packet_unref;
  AVPacket* pkt = av_packet_alloc();
  std::int64_t result = -1;
  while (AVFormatStubs::av_read_frame(AContext, pkt) >= 0) {
    const bool found = pkt->stream_index == AVideoStream;
    if (found)
      result = AVUtilStubs::av_rescale_q(pkt->pts, AContext->streams[AVideoStream]->time_base,
                                         AVRational{1, AV_TIME_BASE});
    av_packet_unref(pkt);
    if (found) break;
  }
  av_packet_free(&pkt);
  return result;
}

// ---- Decoders for the tests -----------------------------------------------------------------

// Counts the calls of the virtual operations that SetFormatContext makes.
class TCountingDecoder : public TVIZoravaz {
 public:
  void RefreshStreamInfo() override {
    ++Refreshes;
    TVIZoravaz::RefreshStreamInfo();
  }
  void CloseFile() override {
    ++Closes;
    TVIZoravaz::CloseFile();
  }
  int Refreshes = 0;
  int Closes = 0;
};

// Takes an input over as its own, as a descendant that opens files does.
class TOwningDecoder : public TVIZoravaz {
 public:
  void Adopt(AVFormatContext* AContext, void* AMemoryIO = nullptr) {
    SetFormatContext(nullptr);
    FFormatContext = AContext;
    FOwnsContext = true;
    FMemoryIO = AMemoryIO;
    RefreshStreamInfo();
  }
  void SetCurrentVideo(int AIndex, AVRational AFrameRate) {
    FVideoStreamIndex = AIndex;
    FVideoFrameRate = AFrameRate;
  }
  void AllocateFrames() {
    FVideoFrame.reset(AVUtilStubs::av_frame_alloc());
    FAudioFrame.reset(AVUtilStubs::av_frame_alloc());
    FAudioBuffer.reset(static_cast<std::uint8_t*>(AVUtilStubs::av_malloc(4096)));
  }
  std::int64_t LastSeekTime() const { return FLastSeekTime; }
};

// ---- What the log worker delivers -----------------------------------------------------------

using TLine = LogRecorder::TRecord;
using TLines = LogRecorder::TLogRecorder;

// True when one of ALines at ALevel contains AText.
bool HasLine(const std::vector<TLine>& ALines, TLogLevel ALevel, const std::string& AText) {
  for (const TLine& l : ALines)
    if (l.Level == ALevel && l.Msg.find(AText) != std::string::npos) return true;
  return false;
}

std::string Dump(const std::vector<TLine>& ALines) {
  std::string s;
  for (const TLine& l : ALines) s += "[" + std::to_string(l.Level) + "] " + l.Msg + "\n";
  return s;
}

// Loads the libraries, makes the test media in a temporary folder, and has the log
// worker deliver every line at once to TLines; the worker's settings come back after.
class FFDecodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CDecoderLibraries))
        << FFLoad::FFLoader->GetLastErrMsg();
    FFLoad::TFFLogWorker* w = FFLoad::VEDovedo;
    FActive = w->GetActive();
    FLevel = w->GetLogLevel();
    FFlags = w->GetLogFlags();
    FSynchronous = w->GetSynchronous();
    FInMainThread = w->GetTriggerEventInMainThread();
    w->SetActive(true);
    w->SetLogFlags(0);
    w->SetSynchronous(true);
    w->SetTriggerEventInMainThread(false);
    w->SetLogLevel(FFLoad::llTrace);
    AVUtilStubs::av_log_set_level(AV_LOG_WARNING);  // the libraries' own lines stay few
    TLines::Get().Clear();
    w->SetOnLog(TLines::Get().Event());

    FDir = fs::temp_directory_path() / ("ffdecode_test_" + std::to_string(getpid()));
    fs::create_directories(FDir);
    FMedia = (FDir / "media.mkv").string();
    ASSERT_EQ(MediaBuilder::WriteMedia(FMedia, "matroska", "aav"), 0);
    FPicture = (FDir / "picture.pgm").string();
    WritePGM(FPicture);
  }
  void TearDown() override {
    FFLoad::TFFLogWorker* w = FFLoad::VEDovedo;
    w->SetOnLog(nullptr);
    w->SetLogLevel(FLevel);
    w->SetTriggerEventInMainThread(FInMainThread);
    w->SetSynchronous(FSynchronous);
    w->SetLogFlags(FFlags);
    w->SetActive(FActive);
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }

  fs::path FDir;
  std::string FMedia;
  std::string FPicture;

 private:
  bool FActive = true;
  TLogLevel FLevel = FFLoad::llInfo;
  int FFlags = 0;
  bool FSynchronous = false;
  bool FInMainThread = true;
};

// ---- Stream summary -------------------------------------------------------------------------

struct TSummary {
  std::int64_t FileSize;
  int Streams, Programs, Audio, Video, Subtitle, FirstAudio, FirstVideo, FirstSubtitle;
  bool operator==(const TSummary&) const = default;
};

TSummary SummaryOf(const TCustomDecoder& ADecoder) {
  return TSummary{ADecoder.FileSize(),         ADecoder.StreamCount(),
                  ADecoder.ProgramCount(),     ADecoder.AudioStreamCount(),
                  ADecoder.VideoStreamCount(), ADecoder.SubtitleStreamCount(),
                  ADecoder.FirstAudioStream(), ADecoder.FirstVideoStream(),
                  ADecoder.FirstSubtitleStream()};
}

std::ostream& operator<<(std::ostream& AOut, const TSummary& S) {
  return AOut << "size " << S.FileSize << ", streams " << S.Streams << ", programs " << S.Programs
              << ", a/v/s " << S.Audio << "/" << S.Video << "/" << S.Subtitle << ", first a/v/s "
              << S.FirstAudio << "/" << S.FirstVideo << "/" << S.FirstSubtitle;
}

const TSummary CNoInput{-1, -1, -1, -1, -1, -1, -1, -1, -1};

TEST_F(FFDecodeTest, SummaryWithoutAndWithInput) {
  TVIZoravaz decoder;
  EXPECT_EQ(SummaryOf(decoder), CNoInput);
  EXPECT_EQ(decoder.FormatContext(), nullptr);
  EXPECT_TRUE(decoder.TriggerEventInMainThread);
  EXPECT_TRUE(decoder.LibrariesLoaded());

  const std::int64_t onDisk = static_cast<std::int64_t>(fs::file_size(FMedia));
  AVFormatContext* ctx = OpenInput(FMedia);
  ASSERT_NE(ctx, nullptr);
  decoder.SetFormatContext(ctx);
  EXPECT_EQ(SummaryOf(decoder), (TSummary{onDisk, 3, 0, 2, 1, 0, 0, 2, -1}));
  EXPECT_FALSE(decoder.OwnsContext());
  decoder.SetFormatContext(nullptr);
  EXPECT_EQ(SummaryOf(decoder), CNoInput);
  CloseInput(ctx);
}

// The size comes from the input's I/O; an I/O that cannot tell it (a stream object read
// without seeking) or a format without a file of its own falls back to the file that the
// input's url names, and else stays 0.
TEST_F(FFDecodeTest, FileSizeFromTheIOOrTheFileOnDisk) {
  const std::int64_t mediaSize = static_cast<std::int64_t>(fs::file_size(FMedia));
  const std::int64_t pictureSize = static_cast<std::int64_t>(fs::file_size(FPicture));
  struct TCase {
    const char* Name;
    std::string Url;
    const char* Format;
    bool ThroughStream;
    std::int64_t Expected;
  } const cases[] = {
      {"file through FFmpeg's own I/O", FMedia, nullptr, false, mediaSize},
      {"stream object, url names the file", FMedia, nullptr, true, mediaSize},
      {"stream object, url names no file", "stream://media", nullptr, true, 0},
      {"image2 input (no file of its own)", FPicture, "image2", false, pictureSize},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Platform::TFileStream file(FMedia, Platform::fmOpenRead);
    MemoryProtocol::RegisterStream(&file);
    AVIOContext* pb = nullptr;
    if (c.ThroughStream) {
      ASSERT_EQ(MemoryProtocol::memory_open(static_cast<Platform::TStream*>(&file), "", 0, &pb), 0);
    }
    AVFormatContext* ctx = OpenInput(c.Url, c.Format, pb);
    ASSERT_NE(ctx, nullptr);
    {
      TOwningDecoder decoder;
      decoder.Adopt(ctx, pb ? static_cast<Platform::TStream*>(&file) : nullptr);
      EXPECT_EQ(decoder.FileSize(), c.Expected);
      EXPECT_EQ(decoder.StreamCount(), c.Format ? 1 : 3);
    }  // closes the input and frees the I/O context over the stream
    MemoryProtocol::UnregisterStream(&file);
  }
}

// ---- Attaching and detaching ----------------------------------------------------------------

TEST_F(FFDecodeTest, AttachingTheSameContextTwiceDoesNothing) {
  AVFormatContext* ctx = OpenInput(FMedia);
  ASSERT_NE(ctx, nullptr);
  TCountingDecoder decoder;
  decoder.Closes = decoder.Refreshes = 0;
  decoder.SetFormatContext(ctx);
  EXPECT_EQ(decoder.Closes, 1);
  EXPECT_EQ(decoder.Refreshes, 2);  // one by the closing, one for the new input
  decoder.SetFormatContext(ctx);
  EXPECT_EQ(decoder.Closes, 1);
  EXPECT_EQ(decoder.Refreshes, 2);
  EXPECT_EQ(decoder.FormatContext(), ctx);
  EXPECT_EQ(decoder.StreamCount(), 3);
  decoder.SetFormatContext(nullptr);
  CloseInput(ctx);
}

TEST_F(FFDecodeTest, DetachingWithNilLeavesABorrowedInputOpen) {
  AVFormatContext* ctx = OpenInput(FMedia);
  ASSERT_NE(ctx, nullptr);
  AVFormatContext* other = OpenInput(FMedia);
  ASSERT_NE(other, nullptr);
  {
    TVIZoravaz decoder;
    decoder.SetFormatContext(ctx);
    decoder.SetFormatContext(nullptr);
    EXPECT_EQ(decoder.FormatContext(), nullptr);
    EXPECT_EQ(SummaryOf(decoder), CNoInput);
    // Another borrowed input replaces this one, and the decoder goes with it attached.
    decoder.SetFormatContext(ctx);
    decoder.SetFormatContext(other);
    EXPECT_EQ(decoder.FormatContext(), other);
  }
  // Both are still open and readable.
  EXPECT_GE(NextVideoPTS(ctx, 2), 0);
  EXPECT_GE(NextVideoPTS(other, 2), 0);
  CloseInput(ctx);
  CloseInput(other);
}

// ---- Stream checks and the log bridge -------------------------------------------------------

TEST_F(FFDecodeTest, IsVideoStreamChecksTheIndex) {
  TVIZoravaz decoder;
  EXPECT_FALSE(decoder.IsVideoStream(0));
  EXPECT_EQ(decoder.LastErrMsg(), "file not loaded.");
  EXPECT_TRUE(HasLine(TLines::Get().Of(&decoder), FFLoad::llWarning, "file not loaded."))
      << Dump(TLines::Get().Records());

  AVFormatContext* ctx = OpenInput(FMedia);
  ASSERT_NE(ctx, nullptr);
  decoder.SetFormatContext(ctx);
  struct TCase {
    int Index;
    bool Video;
    const char* Log;  // nullptr: nothing logged
  } const cases[] = {
      {0, false, nullptr},
      {1, false, nullptr},
      {2, true, nullptr},
      {-1, false, "stream index #-1 is invalid."},
      {3, false, "stream index #3 is invalid."},
      {1000, false, "stream index #1000 is invalid."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Index);
    TLines::Get().Clear();
    EXPECT_EQ(decoder.IsVideoStream(c.Index), c.Video);
    const std::vector<TLine> lines = TLines::Get().Of(&decoder);
    if (c.Log) {
      EXPECT_EQ(decoder.LastErrMsg(), c.Log);
      ASSERT_EQ(lines.size(), 1u) << Dump(lines);
      EXPECT_EQ(lines[0].Level, FFLoad::llError);
      EXPECT_NE(lines[0].Msg.find(c.Log), std::string::npos) << lines[0].Msg;
    } else {
      EXPECT_TRUE(lines.empty()) << Dump(lines);
    }
  }
  decoder.SetFormatContext(nullptr);
  CloseInput(ctx);
}

TEST_F(FFDecodeTest, LogMessageMapsFFmpegLevels) {
  struct TCase {
    int Level;
    TLogLevel Expected;
  } const cases[] = {
      {-100, FFLoad::llQuiet},  {-9, FFLoad::llQuiet},    {-8, FFLoad::llQuiet},
      {-7, FFLoad::llPanic},    {0, FFLoad::llPanic},     {7, FFLoad::llPanic},
      {8, FFLoad::llFatal},     {16, FFLoad::llError},    {23, FFLoad::llError},
      {24, FFLoad::llWarning},  {32, FFLoad::llInfo},     {40, FFLoad::llVerbose},
      {48, FFLoad::llDebug},    {55, FFLoad::llDebug},    {56, FFLoad::llTrace},
      {1000, FFLoad::llTrace},
  };
  TVIZoravaz decoder;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Level);
    TLines::Get().Clear();
    const std::string text = "level " + std::to_string(c.Level);
    decoder.LogMessage(c.Level, text);
    EXPECT_EQ(decoder.LastErrMsg(), text);
    const std::vector<TLine> lines = TLines::Get().Of(&decoder);
    ASSERT_EQ(lines.size(), 1u) << Dump(TLines::Get().Records());
    EXPECT_EQ(lines[0].Level, c.Expected);
    EXPECT_NE(lines[0].Msg.find(text), std::string::npos) << lines[0].Msg;
  }
}

// ---- Options --------------------------------------------------------------------------------

TEST_F(FFDecodeTest, OptionRowsWriteTheirTargets) {
  TVIZoravaz decoder;
  void* ctx = decoder.OptionsContext();
  EXPECT_EQ(decoder.OptionsContext()->av_class, CmdUtils::get_options_context_class());
  EXPECT_EQ(decoder.OptionsContext()->Owner, &decoder);
  EXPECT_TRUE(decoder.AutoRotate());
  EXPECT_EQ(decoder.AudioChannels(), 2);
  EXPECT_EQ(decoder.AudioSampleRate(), 44100);
  EXPECT_EQ(decoder.AudioSampleFormat(), AV_SAMPLE_FMT_S16);
  EXPECT_NE(decoder.FormatConverter(), nullptr);

  EXPECT_EQ(CmdUtils::parse_option(ctx, "f", "nut", decoder.OptionDef()), 1);
  EXPECT_EQ(CmdUtils::parse_option(ctx, "f", "matroska", decoder.OptionDef()), 1);
  EXPECT_EQ(CmdUtils::parse_option(ctx, "memory", "123456789012", decoder.OptionDef()), 1);
  EXPECT_EQ(CmdUtils::parse_option(ctx, "noautorotate", nullptr, decoder.OptionDef()), 0);
  ASSERT_NE(decoder.ForceFormat(), nullptr);
  EXPECT_STREQ(decoder.ForceFormat(), "matroska");
  EXPECT_EQ(decoder.MemoryHandle(), 123456789012);
  EXPECT_FALSE(decoder.AutoRotate());
  EXPECT_EQ(CmdUtils::parse_option(ctx, "autorotate", nullptr, decoder.OptionDef()), 0);
  EXPECT_TRUE(decoder.AutoRotate());

  // Closing forgets the forced format (freed) and the memory handle.
  decoder.CloseFile();
  EXPECT_EQ(decoder.ForceFormat(), nullptr);
  EXPECT_EQ(decoder.MemoryHandle(), 0);

  // The base decoder has no "autorotate" row; both have the common rows before theirs.
  TCustomDecoder base;
  EXPECT_EQ(CmdUtils::find_option(base.OptionDef(), "autorotate")->name, nullptr);
  EXPECT_NE(CmdUtils::find_option(base.OptionDef(), "f")->name, nullptr);
  EXPECT_NE(CmdUtils::find_option(base.OptionDef(), "loglevel")->name, nullptr);
  CmdUtils::check_options(decoder.OptionDef());
  CmdUtils::check_options(base.OptionDef());
}

TEST_F(FFDecodeTest, HelpShowsTheUsageAndTheRows) {
  TVIZoravaz decoder;
  TLines::Get().Clear();
  ASSERT_EQ(OptCommon::show_help(decoder.OptionsContext(), "h", nullptr), 0);
  std::string help;
  for (const TLine& l : TLines::Get().Records())
    if (l.Msg.find("usage: VIZoravaz.LoadFile(input_file, [options])") != std::string::npos)
      help = l.Msg;
  ASSERT_FALSE(help.empty()) << Dump(TLines::Get().Records());
  std::erase(help, '\r');  // the message has CR LF line ends
  const size_t title = help.find(decoder.GetProductTitle());
  const size_t main = help.find("Main options:\n");
  const size_t advanced = help.find("Advanced options:\n");
  const size_t f = help.find("-f <fmt>");
  const size_t autorotate = help.find("-autorotate");
  const size_t memory = help.find("-memory <integer value of stream object>");
  ASSERT_NE(title, std::string::npos);
  ASSERT_NE(main, std::string::npos) << help.substr(0, 3000);
  ASSERT_NE(advanced, std::string::npos);
  EXPECT_LT(title, main);
  EXPECT_TRUE(main < f && f < advanced) << help;
  EXPECT_TRUE(main < autorotate && autorotate < advanced) << help;
  EXPECT_GT(memory, advanced);
  EXPECT_NE(memory, std::string::npos);
  EXPECT_NE(help.find("force format"), std::string::npos);
  EXPECT_NE(help.find("automatically rotate video"), std::string::npos);
  // The option classes follow: a decoding option of the codec context.
  EXPECT_NE(help.find("AVCodecContext AVOptions"), std::string::npos);
}

// ---- Closing an owned input -----------------------------------------------------------------

// An owned input over an event stream: closing it ends the stream and frees the I/O
// context with its buffer (the sanitizers check the rest).
TEST_F(FFDecodeTest, CloseFileEndsAnOwnedStreamInput) {
  std::ifstream in(FMedia, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  struct TSource {
    const std::vector<char>* Data;
    std::int64_t Pos = 0;
    int Closes = 0;
  } source{&bytes};
  MemoryProtocol::TEventStream stream;
  stream.SetTriggerEventInMainThread(false);
  stream.SetOnOpen(MemoryProtocol::TStreamOpenEvent::FromFunction(
      [](void* AData, void*, const std::string&, int&) {
        static_cast<TSource*>(AData)->Pos = 0;
        return true;
      },
      &source));
  stream.SetOnClose(Platform::TNotifyEvent::FromFunction(
      [](void* AData, void*) { ++static_cast<TSource*>(AData)->Closes; }, &source));
  stream.SetOnRead(MemoryProtocol::TStreamReadEvent::FromFunction(
      [](void* AData, void*, void* ABuffer, int ACount) {
        auto* s = static_cast<TSource*>(AData);
        const std::int64_t n =
            std::min<std::int64_t>(ACount, static_cast<std::int64_t>(s->Data->size()) - s->Pos);
        if (n <= 0) return 0;
        std::memcpy(ABuffer, s->Data->data() + s->Pos, static_cast<size_t>(n));
        s->Pos += n;
        return static_cast<int>(n);
      },
      &source));
  stream.SetOnSeek(MemoryProtocol::TStreamSeekEvent::FromFunction(
      [](void* AData, void*, std::int64_t AOffset, Platform::TSeekOrigin AOrigin) -> std::int64_t {
        auto* s = static_cast<TSource*>(AData);
        const auto size = static_cast<std::int64_t>(s->Data->size());
        switch (AOrigin) {
          case Platform::TSeekOrigin::soBeginning: s->Pos = AOffset; break;
          case Platform::TSeekOrigin::soCurrent: s->Pos += AOffset; break;
          case Platform::TSeekOrigin::soEnd: s->Pos = size + AOffset; break;
        }
        return s->Pos;
      },
      &source));

  void* opaque = static_cast<Platform::TStream*>(&stream);
  AVIOContext* pb = nullptr;
  ASSERT_EQ(MemoryProtocol::memory_open(opaque, "stream://media", 0, &pb), 0);
  AVFormatContext* ctx = OpenInput("stream://media", nullptr, pb);
  ASSERT_NE(ctx, nullptr);
  TOwningDecoder decoder;
  decoder.Adopt(ctx, opaque);
  EXPECT_EQ(decoder.FileSize(), static_cast<std::int64_t>(bytes.size()));
  ASSERT_EQ(CmdUtils::parse_option(decoder.OptionsContext(), "f", "matroska",
                                   decoder.OptionDef()), 1);
  EXPECT_TRUE(stream.Opened());
  // A seekable stream object seeks like a file.
  EXPECT_TRUE(decoder.Seek(TSeekFlags{sfBackward}, 600000));

  decoder.CloseFile();
  EXPECT_FALSE(stream.Opened());
  EXPECT_EQ(source.Closes, 1);
  EXPECT_EQ(decoder.FormatContext(), nullptr);
  EXPECT_FALSE(decoder.OwnsContext());
  EXPECT_EQ(decoder.ForceFormat(), nullptr);
  EXPECT_EQ(SummaryOf(decoder), CNoInput);
}

// ---- Seek -----------------------------------------------------------------------------------

TEST_F(FFDecodeTest, SeekWithoutInputIsRefused) {
  TVIZoravaz decoder;
  EXPECT_FALSE(decoder.Seek(TSeekFlags{}, 1000000));
  EXPECT_EQ(decoder.LastErrMsg(), "file not loaded.");
  EXPECT_TRUE(HasLine(TLines::Get().Of(&decoder), FFLoad::llWarning, "file not loaded."));
}

TEST_F(FFDecodeTest, SeekOnABorrowedInputRaises) {
  AVFormatContext* ctx = OpenInput(FMedia);
  ASSERT_NE(ctx, nullptr);
  TVIZoravaz decoder;
  decoder.SetFormatContext(ctx);
  const std::int64_t before = NextVideoPTS(ctx, 2);
  try {
    decoder.Seek(TSeekFlags{}, 500000);
    ADD_FAILURE() << "no exception";
  } catch (const CmdUtils::FFmpegException& e) {
    EXPECT_STREQ(e.what(), "file cannot be seeked, handle is readonly.");
  }
  EXPECT_EQ(decoder.LastErrMsg(), "file cannot be seeked, handle is readonly.");
  EXPECT_TRUE(HasLine(TLines::Get().Of(&decoder), FFLoad::llWarning,
                      "file cannot be seeked, handle is readonly."));
  // The input is untouched and still attached.
  EXPECT_EQ(decoder.FormatContext(), ctx);
  EXPECT_GT(NextVideoPTS(ctx, 2), before);
  decoder.SetFormatContext(nullptr);
  CloseInput(ctx);
}

TEST_F(FFDecodeTest, SeekOnAnImage2InputIsRefused) {
  AVFormatContext* ctx = OpenInput(FPicture, "image2");
  ASSERT_NE(ctx, nullptr);
  TOwningDecoder decoder;
  decoder.Adopt(ctx);
  EXPECT_FALSE(decoder.Seek(TSeekFlags{}, 0));
  EXPECT_EQ(decoder.LastErrMsg(), "\"image2\" format cannot to be seeked.");
  EXPECT_TRUE(HasLine(TLines::Get().Of(&decoder), FFLoad::llInfo,
                      "\"image2\" format cannot to be seeked."));
  EXPECT_EQ(decoder.LastSeekTime(), 0);
}

TEST_F(FFDecodeTest, SeekMovesAnOwnedInput) {
  AVFormatContext* ctx = OpenInput(FMedia);
  ASSERT_NE(ctx, nullptr);
  TOwningDecoder decoder;
  decoder.Adopt(ctx);
  struct TCase {
    const char* Name;
    int CurrentVideo;  // -1: none
    TSeekFlags Flags;
    std::int64_t Position;
    std::int64_t Expected;  // pts (microseconds) of the next video packet
  } const cases[] = {
      // Key frames every 5 pictures: 0, 200 ms, 400 ms ...
      {"backward to 0.5 s", -1, TSeekFlags{sfBackward}, 500000, 400000},
      {"backward to 0.5 s on the video stream", 2, TSeekFlags{sfBackward}, 500000, 400000},
      {"to 0", 2, TSeekFlags{sfBackward}, 0, 0},
      {"forward past the last key frame", 2, TSeekFlags{}, 900000, 800000},
      {"forward past the last key frame, no stream", -1, TSeekFlags{}, 900000, 800000},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TLines::Get().Clear();
    NextVideoPTS(ctx, 2);
    NextVideoPTS(ctx, 2);
    decoder.SetCurrentVideo(c.CurrentVideo, AVRational{25, 1});
    EXPECT_TRUE(decoder.Seek(c.Flags, c.Position));
    EXPECT_GT(decoder.LastSeekTime(), 0);
    EXPECT_EQ(NextVideoPTS(ctx, 2), c.Expected);
    const std::vector<TLine> lines = TLines::Get().Of(&decoder);
    EXPECT_TRUE(HasLine(lines, FFLoad::llDebug, "TOwningDecoder.Seek(): current position "))
        << Dump(lines);
    EXPECT_TRUE(HasLine(lines, FFLoad::llDebug, "TOwningDecoder.Seek(): seek to position "))
        << Dump(lines);
  }
}

// A time near the largest Int64 is the end of an input whose timestamps start late, not
// its start: the position plus the start time saturates instead of wrapping.
TEST_F(FFDecodeTest, SeekToTheLargestTimeStaysAtTheEnd) {
  const std::string late = (FDir / "late.ts").string();
  MediaBuilder::TMediaSpec spec;
  spec.OutputOffset = 10'000'000;
  ASSERT_EQ(MediaBuilder::WriteMedia(late, "mpegts", spec), 0);
  AVFormatContext* ctx = OpenInput(late);
  ASSERT_NE(ctx, nullptr);
  ASSERT_GT(ctx->start_time, 9'000'000);
  TOwningDecoder decoder;
  decoder.Adopt(ctx);
  for (const int current : {-1, 0}) {
    SCOPED_TRACE(current);
    decoder.SetCurrentVideo(current, AVRational{25, 1});
    for (const std::int64_t position : {INT64_MAX, INT64_MAX - 1000}) {
      decoder.Seek(TSeekFlags{}, position);
      const std::int64_t next = NextVideoPTS(ctx, 0);
      // Nothing left to read, or a picture of the last key-frame group: never the first.
      if (next != -1) {
        EXPECT_GE(next, ctx->start_time + 400000);
      }
    }
  }
}

// Both attempts fail and the failure is logged: a time seek in a wave file read through a
// stream object that cannot seek, a byte seek in a QuickTime file, whose demuxer has no
// byte seeking.
TEST_F(FFDecodeTest, SeekFailureIsLogged) {
  const std::string wave = (FDir / "sine.wav").string();
  const std::string quickTime = (FDir / "media.mov").string();
  ASSERT_EQ(MediaBuilder::WriteMedia(wave, "wav", "a"), 0);
  ASSERT_EQ(MediaBuilder::WriteMedia(quickTime, "mov", "av"), 0);
  struct TCase {
    const char* Name;
    std::string File;
    bool ThroughStream;
    TSeekFlags Flags;
    std::int64_t Position;
    const char* Log;
  } const cases[] = {
      {"time", wave, true, TSeekFlags{}, 2500000,
       "TOwningDecoder.Seek(): could not seek to position 2.500 seconds"},
      {"bytes", quickTime, false, TSeekFlags{sfByte}, 4096,
       "TOwningDecoder.Seek(): could not seek to position 4096 bytes"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Platform::TFileStream file(c.File, Platform::fmOpenRead);
    MemoryProtocol::RegisterStream(&file);
    void* opaque = c.ThroughStream ? static_cast<Platform::TStream*>(&file) : nullptr;
    AVIOContext* pb = nullptr;
    if (opaque) {
      ASSERT_EQ(MemoryProtocol::memory_open(opaque, "", 0, &pb), 0);
    }
    AVFormatContext* ctx = OpenInput(opaque ? "" : c.File, nullptr, pb);
    ASSERT_NE(ctx, nullptr);
    {
      TOwningDecoder decoder;
      decoder.Adopt(ctx, opaque);
      TLines::Get().Clear();
      EXPECT_FALSE(decoder.Seek(c.Flags, c.Position));
      const std::vector<TLine> lines = TLines::Get().Of(&decoder);
      EXPECT_TRUE(HasLine(lines, FFLoad::llError, c.Log)) << Dump(lines);
      EXPECT_EQ(decoder.LastErrMsg(), c.Log);
    }
    MemoryProtocol::UnregisterStream(&file);
  }
}

// ---- Destroying after the libraries went ----------------------------------------------------

// Runs in a fresh process: a decoder with an owned input, frames, a buffer and a parsed
// string option outlives the libraries; its destruction calls none of them.
[[noreturn]] void DestroyAfterUnload(const fs::path& ADir, const std::string& AMedia) {
  if (!LoaderTestSupport::RequireLoaded(FFLoad::CDecoderLibraries)) std::_Exit(10);
  AVFormatContext* ctx = OpenInput(AMedia);
  std::error_code ec;
  fs::remove_all(ADir, ec);  // this process ends without the fixture's clean-up
  if (!ctx) std::_Exit(11);
  auto* decoder = new TOwningDecoder;
  decoder->Adopt(ctx);
  decoder->AllocateFrames();
  if (CmdUtils::parse_option(decoder->OptionsContext(), "f", "matroska", decoder->OptionDef()) != 1)
    std::_Exit(12);
  FFLoad::FFLoader->Unload(FFLoad::CFFmpegLibraries);
  if (AVUtilStubs::av_freep || AVFormatStubs::avformat_close_input) std::_Exit(13);
  delete decoder;
  std::_Exit(0);
}

TEST_F(FFDecodeTest, DestroyingAfterTheLibrariesWereUnloadedDoesNotCrash) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(DestroyAfterUnload(FDir, FMedia), ::testing::ExitedWithCode(0), "");
}

}  // namespace
