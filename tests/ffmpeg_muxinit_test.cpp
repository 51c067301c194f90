// Output file set-up, step by step over real format contexts of the bound libraries: the
// muxer records live in a real task's output list, so the task's clean-up frees them as
// it frees the outputs of a parsed command line.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "LoaderTestSupport.h"
#include "LogCapture.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegMux.h"
#include "engine/FFmpegMuxInit.h"
#include "engine/FFmpegSched.h"
#include "runtime/MyUtils.h"

namespace {

namespace fs = std::filesystem;

using AVFormatStubs::avformat_alloc_output_context2;
using AVFormatStubs::avformat_new_stream;
using AVFormatStubs::avio_closep;
using AVFormatStubs::avio_read;
using AVUtilStubs::av_dict_get;
using AVUtilStubs::av_mallocz;
using AVUtilStubs::av_realloc_array;
using FFmpegHeader::TOptionsContext;
using FFmpegHeader::TOutputStream;
using FFmpegMux::TMux;
using FFmpegMux::TMuxStream;

// A folder of its own under /tmp, removed with everything in it.
class TTempDir {
 public:
  TTempDir() {
    char name[] = "/tmp/muxinit_XXXXXX";
    FPath = ::mkdtemp(name);
  }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(FPath, ec);
  }
  const std::string& Path() const { return FPath; }
  std::string File(const std::string& AName) const { return FPath + "/" + AName; }

 private:
  std::string FPath;
};

void WriteFile(const std::string& APath, const std::string& AContent) {
  fs::create_directories(fs::path(APath).parent_path());
  std::ofstream f(APath, std::ios::binary);
  f << AContent;
}

// Sets (or removes, for nullptr) an environment variable while it lives.
class TEnvVar {
 public:
  TEnvVar(const char* AName, const char* AValue) : FName(AName) {
    const char* old = ::getenv(AName);
    FHad = old != nullptr;
    if (FHad) FOld = old;
    if (AValue)
      ::setenv(AName, AValue, 1);
    else
      ::unsetenv(AName);
  }
  ~TEnvVar() {
    if (FHad)
      ::setenv(FName.c_str(), FOld.c_str(), 1);
    else
      ::unsetenv(FName.c_str());
  }

 private:
  std::string FName, FOld;
  bool FHad = false;
};

// The per-stream list of one option, built from (specifier, value) pairs that the test
// keeps alive.
class TOptList {
 public:
  TOptList() = default;
  TOptList(std::initializer_list<std::pair<std::string, std::string>> AItems) {
    for (const auto& [spec, value] : AItems) {
      FSpecs.push_back(spec);
      FValues.push_back(value);
    }
  }
  // Valid while this list lives and is not assigned again.
  CmdUtils::TSpecifierOptList List() {
    FOpts.assign(FSpecs.size(), CmdUtils::TSpecifierOpt{});
    for (std::size_t i = 0; i < FSpecs.size(); i++) {
      FOpts[i].specifier = FSpecs[i].data();
      FOpts[i].u.str = FValues[i].data();
    }
    CmdUtils::TSpecifierOptList l{};
    l.opt = FOpts.data();
    l.nb_opt = static_cast<int>(FOpts.size());
    l.type_ = CmdUtils::OPT_TYPE_STRING;
    return l;
  }

 private:
  std::vector<std::string> FSpecs, FValues;
  std::vector<CmdUtils::TSpecifierOpt> FOpts;
};

class MuxInitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries));
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
    FGroup = CmdUtils::TOptionGroup{};
  }
  void TearDown() override { FTask.reset(); }

  // The defaults of an output group's options, over an empty option group.
  TOptionsContext Options() {
    TOptionsContext o{};
    o.Owner = FTask.get();
    o.g = &FGroup;
    o.start_time = AV_NOPTS_VALUE;
    o.start_time_eof = AV_NOPTS_VALUE;
    o.recording_time = INT64_MAX;
    o.stop_time = INT64_MAX;
    o.limit_filesize = INT64_MAX;
    o.chapters_input_file = INT_MAX;
    o.accurate_seek = 1;
    o.input_sync_ref = -1;
    o.find_stream_info = 1;
    o.mux_max_delay = 0.7f;
    o.shortest_buf_duration = 10.0f;
    return o;
  }

  // A muxer record of the task over a new output context (no byte sink).
  TMux* NewMux(const char* AFormat, const char* AUrl = nullptr) {
    TMux* mux = FFmpegMuxInit::mux_alloc(FTask.get());
    EXPECT_NE(mux, nullptr);
    EXPECT_GE(avformat_alloc_output_context2(&mux->fc, nullptr, AFormat, AUrl), 0);
    return mux;
  }

  // An output stream record with its container stream, fed by nothing.
  TOutputStream* NewStream(TMux* AMux, AVMediaType AType) {
    TMuxStream* ms = FFmpegMuxInit::ost_alloc(AMux, AType);
    EXPECT_NE(ms, nullptr);
    ms->ost.st = avformat_new_stream(AMux->fc, nullptr);
    ms->ost.st->codecpar->codec_type = AType;
    return &ms->ost;
  }

  std::unique_ptr<FFmpeg::TCustomFFmpeg> FTask;
  CmdUtils::TOptionGroup FGroup;
  TOptList FOptStrings;
};

// Adds chapters starting at the given seconds (one second long each, time base 1/1000).
void AddChapters(AVFormatContext* fc, std::initializer_list<int> AStarts) {
  for (int s : AStarts) {
    auto** chapters = static_cast<AVChapter**>(
        av_realloc_array(fc->chapters, fc->nb_chapters + 1, sizeof(AVChapter*)));
    ASSERT_NE(chapters, nullptr);
    fc->chapters = chapters;
    auto* ch = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
    ch->id = fc->nb_chapters;
    ch->time_base = AVRational{1, 1000};
    ch->start = s * 1000LL;
    ch->end = ch->start + 1000;
    fc->chapters[fc->nb_chapters++] = ch;
  }
}

// ---- Output records -----------------------------------------------------------------------

TEST_F(MuxInitTest, RecordsCarryTheirLogNames) {
  TMux* mux0 = NewMux("matroska");
  TMux* mux1 = NewMux("matroska");
  EXPECT_STREQ(FFmpegMuxInit::output_file_item_name(mux1), "out#1");
  EXPECT_EQ(mux0->of.index, 0);
  EXPECT_EQ(FTask->Fnb_output_files, 2);
  EXPECT_EQ(FTask->Foutput_files[1], &mux1->of);

  TOutputStream* a = NewStream(mux1, AVMEDIA_TYPE_AUDIO);
  TOutputStream* d = NewStream(mux1, AVMEDIA_TYPE_DATA);
  EXPECT_STREQ(FFmpegMux::ms_from_ost(a)->name, "aost#1:0");
  EXPECT_STREQ(FFmpegMux::ms_from_ost(d)->name, "dost#1:1");
  EXPECT_EQ(FFmpegMux::ms_from_ost(a)->max_frames, INT64_MAX);
  EXPECT_EQ(FFmpegMux::ms_from_ost(a)->copy_prior_start, -1);
  EXPECT_EQ(FFmpegMux::ost_task(a), FTask.get());
}

// ---- Forced key frames --------------------------------------------------------------------

TEST_F(MuxInitTest, ForcedKeyFramePlans) {
  struct TRow {
    const char* Spec;
    std::vector<int> Chapters;  // chapter starts, seconds
    int WantResult;
    std::vector<std::int64_t> WantPts;  // microseconds, sorted
    const char* WantLog;
  } rows[] = {
      {"10,2,5", {}, 0, {2000000, 5000000, 10000000}, nullptr},
      {"chapters-0.5", {10, 20}, 0, {9500000, 19500000}, nullptr},
      {"chapters,1", {20, 10}, 0, {1000000, 10000000, 20000000}, nullptr},
      {"chapters", {}, 0, {}, nullptr},
      {"1,abc", {}, AVERROR(EINVAL), {}, "Invalid keyframe time: abc"},
      {"chaptersX", {5}, AVERROR(EINVAL), {}, "Invalid chapter time offset: X"},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Spec);
    TLogCapture log;
    TMux* mux = NewMux("matroska");
    for (int s : r.Chapters) AddChapters(mux->fc, {s});
    FFmpegHeader::TKeyframeForceCtx kf{};
    const int ret = FFmpegMuxInit::parse_forced_key_frames(mux, &kf, mux, r.Spec);
    ASSERT_EQ(ret, r.WantResult < 0 ? r.WantResult : 0) << TLogCapture::All();
    if (ret == 0) {
      ASSERT_EQ(kf.nb_pts, static_cast<int>(r.WantPts.size()));
      for (int i = 0; i < kf.nb_pts; i++) EXPECT_EQ(kf.pts[i], r.WantPts[i]) << i;
    }
    if (r.WantLog) EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, r.WantLog)) << TLogCapture::All();
    AVUtilStubs::av_freep(&kf.pts);
  }
}

// ---- Presets ------------------------------------------------------------------------------

std::string ReadAll(AVIOContext* pb) {
  std::string s;
  char buf[256];
  int n;
  while ((n = avio_read(pb, reinterpret_cast<unsigned char*>(buf), sizeof buf)) > 0) s.append(buf, n);
  return s;
}

TEST_F(MuxInitTest, PresetSearchOrder) {
  TTempDir data, home;
  const std::vector<std::string> files = {
      data.File("mpeg4-fast.avpreset"),
      data.File("fast.avpreset"),
      home.File(".avconv/mpeg4-fast.avpreset"),
      home.File(".avconv/fast.avpreset"),
  };
  for (const std::string& f : files) WriteFile(f, f);
  TEnvVar dd("AVCONV_DATADIR", data.Path().c_str());
  TEnvVar hd("HOME", home.Path().c_str());

  // the codec-specific file first, in each folder in turn; each row removes the winner
  for (std::size_t i = 0; i < files.size(); i++) {
    SCOPED_TRACE(files[i]);
    AVIOContext* pb = nullptr;
    ASSERT_EQ(FFmpegMuxInit::get_preset_file_2("fast", "mpeg4", &pb), 0);
    EXPECT_EQ(ReadAll(pb), files[i]);
    avio_closep(&pb);
    fs::remove(files[i]);
  }
  AVIOContext* pb = nullptr;
  EXPECT_LT(FFmpegMuxInit::get_preset_file_2("fast", "mpeg4", &pb), 0);
  EXPECT_EQ(pb, nullptr);
}

TEST_F(MuxInitTest, PresetWithoutCodecNameAndFromTheProgramFolder) {
  TTempDir home;
  TEnvVar dd("AVCONV_DATADIR", nullptr);
  TEnvVar hd("HOME", home.Path().c_str());
  WriteFile(home.File(".avconv/p1.avpreset"), "home");
  AVIOContext* pb = nullptr;
  ASSERT_EQ(FFmpegMuxInit::get_preset_file_2("p1", nullptr, &pb), 0);
  EXPECT_EQ(ReadAll(pb), "home");
  avio_closep(&pb);

  // The third folder is this platform's program folder (a path with "/" separators).
  const std::string name = "muxinit-" + std::to_string(::getpid());
  const std::string in_exe_dir = MyUtils::ExePath() + name + ".avpreset";
  WriteFile(in_exe_dir, "exe");
  ASSERT_EQ(FFmpegMuxInit::get_preset_file_2(name.c_str(), "mpeg4", &pb), 0);
  EXPECT_EQ(ReadAll(pb), "exe");
  avio_closep(&pb);
  fs::remove(in_exe_dir);
}

// ---- Statistics formats -------------------------------------------------------------------

TEST_F(MuxInitTest, StatisticsFormats) {
  using FFmpegHeader::TEncStatsType;
  struct TRow {
    const char* Format;
    int Pre;
    int WantResult;
    std::vector<TEncStatsType> WantTypes;
    const char* WantLiteral;  // the text of the first literal, or nullptr
    int WantLevel;
    const char* WantLog;
  } rows[] = {
      {"{fidx} {sidx} {n} {t}", 1, 0,
       {FFmpegHeader::ENC_STATS_FILE_IDX, FFmpegHeader::ENC_STATS_LITERAL,
        FFmpegHeader::ENC_STATS_STREAM_IDX, FFmpegHeader::ENC_STATS_LITERAL,
        FFmpegHeader::ENC_STATS_FRAME_NUM, FFmpegHeader::ENC_STATS_LITERAL,
        FFmpegHeader::ENC_STATS_PTS_TIME},
       " ", 0, nullptr},
      {"a\\{b{key}", 0, 0, {FFmpegHeader::ENC_STATS_LITERAL, FFmpegHeader::ENC_STATS_KEYFRAME},
       "a{b", 0, nullptr},
      {"{dts}", 1, AVERROR(EINVAL), {}, nullptr, AV_LOG_ERROR,
       "Format directive \"dts\" may only be used post-encoding"},
      {"{samp}", 0, AVERROR(EINVAL), {}, nullptr, AV_LOG_ERROR,
       "Format directive \"samp\" may only be used pre-encoding"},
      {"{ni}", 1, 0, {FFmpegHeader::ENC_STATS_FRAME_NUM_IN}, nullptr, AV_LOG_WARNING,
       "Format directive \"ni\" is unavailable, because this output stream has no associated "
       "input stream"},
      {"x{}", 1, AVERROR(EINVAL), {}, nullptr, AV_LOG_ERROR, "Empty formatting directive in: x{}"},
      {"{n", 1, AVERROR(EINVAL), {}, nullptr, AV_LOG_ERROR, "Missing closing brace in: {n"},
      {"{bogus}", 1, AVERROR(EINVAL), {}, nullptr, AV_LOG_ERROR, "Invalid format directive: bogus"},
  };
  TTempDir dir;
  const std::string path = dir.File("stats.txt");
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Format);
    TLogCapture log;
    TMux* mux = NewMux("matroska");
    TOutputStream* ost = NewStream(mux, AVMEDIA_TYPE_VIDEO);
    FFmpegHeader::TEncStats* es = r.Pre ? &ost->enc_stats_pre : &ost->enc_stats_post;
    const int ret = FFmpegMuxInit::enc_stats_init(FTask.get(), ost, es, r.Format, path.c_str(), r.Pre);
    EXPECT_EQ(ret, r.WantResult) << TLogCapture::All();
    if (r.WantResult == 0) {
      ASSERT_EQ(es->nb_components, static_cast<int>(r.WantTypes.size()));
      for (int i = 0; i < es->nb_components; i++) EXPECT_EQ(es->components[i].type_, r.WantTypes[i]);
      if (r.WantLiteral)
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(es->components[0].type_ ==
                                                                    FFmpegHeader::ENC_STATS_LITERAL
                                                                ? es->components[0].str
                                                                : es->components[1].str)),
                  r.WantLiteral);
      EXPECT_NE(es->io, nullptr);
    }
    if (r.WantLog) EXPECT_TRUE(TLogCapture::Has(r.WantLevel, r.WantLog)) << TLogCapture::All();
  }
}

TEST_F(MuxInitTest, StatisticsFilesAreSharedPerPath) {
  TTempDir dir;
  const std::string a = dir.File("a.txt"), b = dir.File("b.txt");
  TMux* mux = NewMux("matroska");
  TOutputStream* s0 = NewStream(mux, AVMEDIA_TYPE_VIDEO);
  TOutputStream* s1 = NewStream(mux, AVMEDIA_TYPE_AUDIO);
  ASSERT_EQ(FFmpegMuxInit::enc_stats_init(FTask.get(), s0, &s0->enc_stats_pre, "{n}", a.c_str(), 1), 0);
  ASSERT_EQ(FFmpegMuxInit::enc_stats_init(FTask.get(), s1, &s1->enc_stats_post, "{n}", a.c_str(), 0), 0);
  ASSERT_EQ(FFmpegMuxInit::enc_stats_init(FTask.get(), s1, &s1->enc_stats_pre, "{n}", b.c_str(), 1), 0);
  EXPECT_EQ(s0->enc_stats_pre.io, s1->enc_stats_post.io);
  EXPECT_NE(s0->enc_stats_pre.io, s1->enc_stats_pre.io);
  EXPECT_EQ(FTask->Fnb_enc_stats_files, 2);

  // A file that cannot be opened leaves nothing behind in the shared list.
  TLogCapture log;
  const std::string bad = dir.File("no/such/dir/c.txt");
  EXPECT_LT(FFmpegMuxInit::enc_stats_init(FTask.get(), s1, &FFmpegMux::ms_from_ost(s1)->stats, "{n}",
                                          bad.c_str(), 0),
            0);
  EXPECT_TRUE(TLogCapture::HasText("Error opening stats file '" + bad + "'"));
  EXPECT_EQ(FTask->Fnb_enc_stats_files, 2);
}

// ---- Stream groups and programs -----------------------------------------------------------

TEST_F(MuxInitTest, StreamGroupParseErrors) {
  struct TRow {
    const char* Token;
    const char* Rest;  // nullptr: none
    int WantResult;
    const char* WantLog;
  } rows[] = {
      {"st=0", "layer=ch_layout=stereo", AVERROR(EINVAL), "No type specified for Stream Group in \"st=0\""},
      {"type=bogus:st=0", nullptr, AVERROR(EINVAL), "Invalid group type \"bogus\""},
      {"type=iamf_audio_element:st=5", "layer=ch_layout=stereo", AVERROR(EINVAL), "Invalid stream index 5"},
      {"type=iamf_audio_element:st=0x", "layer=ch_layout=stereo", AVERROR(EINVAL), "Invalid stream index 0x"},
      {"type=iamf_audio_element:st=0:stg=0", "layer=ch_layout=stereo", AVERROR(EINVAL),
       "Invalid stream group index 0"},
      {"type=iamf_audio_element:st=0", nullptr, AVERROR(EINVAL), "No layer in audio element specification"},
      {"type=iamf_audio_element:st=0", "layer=bogus=1", AVERROR(EINVAL), "Unknown layer key bogus."},
      {"type=iamf_audio_element:st=0:foo=1", "layer=ch_layout=stereo", AVERROR(EINVAL),
       "Unknown group key foo."},
      {"map=0=0", "layer=ch_layout=stereo", AVERROR(EINVAL),
       "Unexpected extra parameters when mapping a stream group"},
      {"map=3=0", nullptr, AVERROR(EINVAL), "Invalid input file index: 3."},
      // a mix presentation item that is not a submix is an error, not the end of the list
      {"type=iamf_mix_presentation", "layout=sound_system=stereo", AVERROR(EINVAL),
       "No submix in mix presentation specification \"layout=sound_system=stereo\""},
      {"type=iamf_mix_presentation", "submix=|layout=layout_type=loudspeakers:sound_system=stereo",
       AVERROR(EINVAL), "No audio elements in submix specification"},
      {"type=iamf_mix_presentation", "submix=|element=stg=7", AVERROR(EINVAL),
       "Invalid or missing stream group index in submix element specification \"element=stg=7\""},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Token);
    TLogCapture log;
    TMux* mux = NewMux("matroska");
    NewStream(mux, AVMEDIA_TYPE_AUDIO);
    std::string rest = r.Rest ? r.Rest : "";
    const int ret =
        FFmpegMuxInit::of_parse_group_token(mux, r.Token, r.Rest ? rest.data() : nullptr);
    EXPECT_EQ(ret, r.WantResult) << TLogCapture::All();
    EXPECT_TRUE(TLogCapture::HasText(r.WantLog)) << TLogCapture::All();
  }
}

TEST_F(MuxInitTest, AudioElementAndMixPresentation) {
  TLogCapture log;
  TMux* mux = NewMux("matroska");
  NewStream(mux, AVMEDIA_TYPE_AUDIO);
  NewStream(mux, AVMEDIA_TYPE_AUDIO);
  FOptStrings = TOptList({{"", "type=iamf_audio_element:id=1:st=0:st=1,layer=ch_layout=stereo"},
                          {"", "type=iamf_mix_presentation:id=2, submix=|element=stg=0|"
                               "layout=layout_type=loudspeakers:sound_system=stereo"}});
  TOptionsContext o = Options();
  o.stream_groups = FOptStrings.List();
  ASSERT_EQ(FFmpegMuxInit::of_add_groups(mux, &o), 0) << TLogCapture::All();

  AVFormatContext* fc = mux->fc;
  ASSERT_EQ(fc->nb_stream_groups, 2u);
  const AVStreamGroup* el = fc->stream_groups[0];
  EXPECT_EQ(el->type, AV_STREAM_GROUP_PARAMS_IAMF_AUDIO_ELEMENT);
  EXPECT_EQ(el->id, 1);
  EXPECT_EQ(el->nb_streams, 2u);
  ASSERT_EQ(el->params.iamf_audio_element->nb_layers, 1u);
  EXPECT_EQ(el->params.iamf_audio_element->layers[0]->ch_layout.nb_channels, 2);

  const AVStreamGroup* mix = fc->stream_groups[1];
  EXPECT_EQ(mix->type, AV_STREAM_GROUP_PARAMS_IAMF_MIX_PRESENTATION);
  ASSERT_EQ(mix->params.iamf_mix_presentation->nb_submixes, 1u);
  const AVIAMFSubmix* submix = mix->params.iamf_mix_presentation->submixes[0];
  ASSERT_EQ(submix->nb_elements, 1u);
  EXPECT_EQ(submix->elements[0]->audio_element_id, 1u);
  EXPECT_EQ(submix->nb_layouts, 1u);
  EXPECT_EQ(FFmpegMuxInit::get_stream_group_index_from_id(mux, 2), 1);
  EXPECT_EQ(FFmpegMuxInit::get_stream_group_index_from_id(mux, 9), AVERROR(EINVAL));
}

TEST_F(MuxInitTest, Programs) {
  TMux* mux = NewMux("mpegts");
  NewStream(mux, AVMEDIA_TYPE_VIDEO);
  NewStream(mux, AVMEDIA_TYPE_AUDIO);
  FOptStrings = TOptList({{"", "program_num=0x10:title=First:st=0:st=1"}, {"", "st=1"}, {"", "title=Third"}});
  TOptionsContext o = Options();
  o.program_ = FOptStrings.List();
  ASSERT_EQ(FFmpegMuxInit::of_add_programs(mux, &o), 0);

  AVFormatContext* fc = mux->fc;
  ASSERT_EQ(fc->nb_programs, 3u);
  EXPECT_EQ(fc->programs[0]->id, 16);
  EXPECT_STREQ(av_dict_get(fc->programs[0]->metadata, "title", nullptr, 0)->value, "First");
  EXPECT_EQ(fc->programs[0]->nb_stream_indexes, 2u);
  EXPECT_EQ(fc->programs[1]->id, 2);
  EXPECT_EQ(fc->programs[1]->nb_stream_indexes, 1u);
  EXPECT_EQ(fc->programs[2]->id, 3);  // the third -program without a number

  TLogCapture log;
  TMux* mux2 = NewMux("mpegts");
  FOptStrings = TOptList({{"", "st=0:bogus=1"}});
  o.program_ = FOptStrings.List();
  EXPECT_EQ(FFmpegMuxInit::of_add_programs(mux2, &o), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL, "Unknown program key bogus."));
}

// ---- Metadata and dispositions ------------------------------------------------------------

TEST_F(MuxInitTest, MetadataFromTheCommandLine) {
  struct TRow {
    const char* Spec;
    const char* Entry;
    int WantResult;
    const char* WantLog;
  } rows[] = {
      {"", "title=global", 0, nullptr},
      {"g", "artist=me", 0, nullptr},
      {"s:a", "title=audio", 0, nullptr},
      {"c:1", "title=second chapter", 0, nullptr},
      {"p", "service_name=prog", 0, nullptr},
      {"c:5", "title=x", AVERROR(EINVAL), "Invalid chapter index 5 in metadata specifier."},
      {"p:3", "title=x", AVERROR(EINVAL), "Invalid program index 3 in metadata specifier."},
      {"x", "title=x", AVERROR(EINVAL), "Invalid metadata type x."},
      {"sa", "title=x", AVERROR(EINVAL), "Invalid metadata specifier a."},
      {"", "novalue", AVERROR(EINVAL), "No '=' character in metadata string novalue."},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(std::string(r.Spec) + " " + r.Entry);
    TLogCapture log;
    TMux* mux = NewMux("matroska");
    NewStream(mux, AVMEDIA_TYPE_VIDEO);
    NewStream(mux, AVMEDIA_TYPE_AUDIO);
    NewStream(mux, AVMEDIA_TYPE_AUDIO);
    AddChapters(mux->fc, {0, 10});
    ASSERT_NE(AVFormatStubs::av_new_program(mux->fc, 1), nullptr);
    FOptStrings = TOptList({{r.Spec, r.Entry}});
    TOptionsContext o = Options();
    o.metadata = FOptStrings.List();
    const int ret = FFmpegMuxInit::of_add_metadata(&mux->of, mux->fc, &o);
    EXPECT_EQ(ret, r.WantResult) << TLogCapture::All();
    if (r.WantLog) EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL, r.WantLog)) << TLogCapture::All();
  }

  // what the rows did, on one output
  TMux* mux = NewMux("matroska");
  NewStream(mux, AVMEDIA_TYPE_VIDEO);
  NewStream(mux, AVMEDIA_TYPE_AUDIO);
  NewStream(mux, AVMEDIA_TYPE_AUDIO);
  AddChapters(mux->fc, {0, 10});
  FOptStrings = TOptList({{"", "title=global"}, {"s:a", "title=audio"}, {"c:1", "title=c1"},
                          {"", "artist=x"}, {"", "artist="}});
  TOptionsContext o = Options();
  o.metadata = FOptStrings.List();
  ASSERT_EQ(FFmpegMuxInit::of_add_metadata(&mux->of, mux->fc, &o), 0);
  AVFormatContext* fc = mux->fc;
  EXPECT_STREQ(av_dict_get(fc->metadata, "title", nullptr, 0)->value, "global");
  EXPECT_EQ(av_dict_get(fc->metadata, "artist", nullptr, 0), nullptr);  // an empty value deletes
  EXPECT_EQ(av_dict_get(fc->streams[0]->metadata, "title", nullptr, 0), nullptr);
  EXPECT_STREQ(av_dict_get(fc->streams[1]->metadata, "title", nullptr, 0)->value, "audio");
  EXPECT_STREQ(av_dict_get(fc->streams[2]->metadata, "title", nullptr, 0)->value, "audio");
  EXPECT_EQ(av_dict_get(fc->chapters[0]->metadata, "title", nullptr, 0), nullptr);
  EXPECT_STREQ(av_dict_get(fc->chapters[1]->metadata, "title", nullptr, 0)->value, "c1");
}

TEST_F(MuxInitTest, AutomaticDefaultDisposition) {
  TMux* mux = NewMux("matroska");
  TOutputStream* v = NewStream(mux, AVMEDIA_TYPE_VIDEO);
  TOutputStream* cover = NewStream(mux, AVMEDIA_TYPE_VIDEO);
  cover->st->disposition = AV_DISPOSITION_ATTACHED_PIC;
  TOutputStream* a0 = NewStream(mux, AVMEDIA_TYPE_AUDIO);
  TOutputStream* a1 = NewStream(mux, AVMEDIA_TYPE_AUDIO);
  TOutputStream* s0 = NewStream(mux, AVMEDIA_TYPE_SUBTITLE);
  // the cover picture comes first among the videos: the other one is the default
  std::swap(mux->of.streams[0], mux->of.streams[1]);
  TOptionsContext o = Options();
  ASSERT_EQ(FFmpegMuxInit::set_dispositions(mux, &o), 0);
  EXPECT_EQ(v->st->disposition, AV_DISPOSITION_DEFAULT);
  EXPECT_EQ(cover->st->disposition, AV_DISPOSITION_ATTACHED_PIC);
  EXPECT_EQ(a0->st->disposition, AV_DISPOSITION_DEFAULT);
  EXPECT_EQ(a1->st->disposition, 0);
  EXPECT_EQ(s0->st->disposition, 0);  // a single stream of its type needs no mark
}

// ---- Attachments --------------------------------------------------------------------------

TEST_F(MuxInitTest, Attachments) {
  TTempDir dir;
  // a back slash is part of a file name on this platform
  const std::string ten = dir.File("we\\ird.bin");
  WriteFile(ten, "0123456789");
  const std::string empty = dir.File("empty.bin");
  WriteFile(empty, "");

  {
    TLogCapture log;
    TMux* mux = NewMux("matroska");
    char* paths[] = {const_cast<char*>(empty.c_str())};
    TOptionsContext o = Options();
    o.attachments = paths;
    o.nb_attachments = 1;
    EXPECT_EQ(FFmpegMuxInit::of_add_attachments(mux, &o), AVERROR_INVALIDDATA);
    EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL, "Could not get size of the attachment " + empty + "."));
    EXPECT_EQ(mux->of.nb_streams, 0);
  }
  {
    TLogCapture log;
    TMux* mux = NewMux("matroska");
    const std::string missing = dir.File("missing.bin");
    char* paths[] = {const_cast<char*>(missing.c_str())};
    TOptionsContext o = Options();
    o.attachments = paths;
    o.nb_attachments = 1;
    EXPECT_LT(FFmpegMuxInit::of_add_attachments(mux, &o), 0);
    EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL, "Could not open attachment file " + missing + "."));
  }
  {
    TMux* mux = NewMux("matroska");
    char* paths[] = {const_cast<char*>(ten.c_str())};
    TOptionsContext o = Options();
    o.attachments = paths;
    o.nb_attachments = 1;
    ASSERT_EQ(FFmpegMuxInit::of_add_attachments(mux, &o), 0);
    ASSERT_EQ(mux->of.nb_streams, 1);
    TOutputStream* ost = mux->of.streams[0];
    TMuxStream* ms = FFmpegMux::ms_from_ost(ost);
    EXPECT_EQ(ost->type_, AVMEDIA_TYPE_ATTACHMENT);
    EXPECT_EQ(ms->sch_idx, -1);
    EXPECT_EQ(ost->enc, nullptr);
    ASSERT_EQ(ms->par_in->extradata_size, 10);
    EXPECT_EQ(std::memcmp(ms->par_in->extradata, "0123456789", 10), 0);
    EXPECT_EQ(ms->par_in->extradata[10], 0);  // zero padding after the data
    EXPECT_STREQ(ost->attachment_filename, ten.c_str());
    EXPECT_STREQ(av_dict_get(ost->st->metadata, "filename", nullptr, 0)->value, "we\\ird.bin");

    // the data reaches the container stream when the stream is initialised
    ASSERT_EQ(FFmpegMux::of_stream_init(&mux->of, ost, nullptr), 0);
    ASSERT_EQ(ost->st->codecpar->extradata_size, 10);
    EXPECT_EQ(std::memcmp(ost->st->codecpar->extradata, "0123456789", 10), 0);
  }
}

// ---- Opening outputs ----------------------------------------------------------------------

class MuxInitOpenTest : public MuxInitTest {
 protected:
  void SetUp() override {
    MuxInitTest::SetUp();
    FTask->Fsch = FFmpegSched::sch_alloc(FTask.get());
    ASSERT_NE(FTask->Fsch, nullptr);
  }
  int Open(const TOptionsContext& o, const std::string& AName) {
    FNames.push_back(std::make_unique<std::string>(AName));
    return FFmpegMuxInit::of_open(FTask.get(), &o, FNames.back()->c_str(), FTask->Fsch);
  }
  TMux* LastMux() {
    return FTask->Fnb_output_files ? FFmpegMux::mux_from_of(FTask->Foutput_files[FTask->Fnb_output_files - 1])
                                   : nullptr;
  }
  std::vector<std::unique_ptr<std::string>> FNames;
  TTempDir FDir;
};

TEST_F(MuxInitOpenTest, RecordingTimeFromTAndTo) {
  constexpr std::int64_t N = INT64_MAX;
  constexpr std::int64_t S = 1000000;
  struct TRow {
    const char* Name;
    std::int64_t T, To, Ss;
    std::int64_t WantRecording;  // -1: the open fails with the -to message
    bool WantWarning;
  } rows[] = {
      {"-t 5 -to 10", 5 * S, 10 * S, AV_NOPTS_VALUE, 5 * S, true},
      {"-to 10", N, 10 * S, AV_NOPTS_VALUE, 10 * S, false},
      {"-ss 10 -to 12", N, 12 * S, 10 * S, 2 * S, false},
      {"-ss 10 -to 10", N, 10 * S, 10 * S, -1, false},
      {"-ss 10 -to 5", N, 5 * S, 10 * S, -1, false},
      {"none", N, N, AV_NOPTS_VALUE, N, false},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Name);
    TLogCapture log;
    FTask->FOutputDuration = -1;
    TOptionsContext o = Options();
    o.recording_time = r.T;
    o.stop_time = r.To;
    o.start_time = r.Ss;
    // no stream can be chosen: the open ends at the stream check, after the limits
    const int ret = Open(o, FDir.File("out.mkv"));
    if (r.WantRecording < 0) {
      EXPECT_EQ(ret, AVERROR(EINVAL));
      EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "-to value smaller than -ss; aborting.\n"));
      EXPECT_EQ(LastMux()->fc, nullptr);
      continue;
    }
    EXPECT_EQ(ret, AVERROR(EINVAL));
    EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "Output file does not contain any stream\n"))
        << TLogCapture::All();
    TMux* mux = LastMux();
    EXPECT_EQ(mux->of.recording_time, r.WantRecording);
    int warnings = 0;
    for (const auto& l : TLogCapture::Snapshot())
      warnings += l.Text == "-t and -to cannot be used together; using -t.\n";
    EXPECT_EQ(warnings, r.WantWarning ? 1 : 0);
    if (r.WantRecording != N) {
      EXPECT_EQ(mux->fc->duration, r.WantRecording);
      EXPECT_EQ(FTask->OutputDuration(), r.WantRecording);
    } else {
      EXPECT_EQ(FTask->OutputDuration(), -1);
    }
  }
}

TEST_F(MuxInitOpenTest, LogNameAndFormatErrors) {
  TLogCapture log;
  TOptionsContext o = Options();
  char fmt[] = "no_such_muxer";
  o.format = fmt;
  EXPECT_LT(Open(o, FDir.File("out.mkv")), 0);
  EXPECT_TRUE(TLogCapture::HasText("Error initializing the muxer for " + FDir.File("out.mkv")))
      << TLogCapture::All();

  TOptionsContext o2 = Options();
  EXPECT_EQ(Open(o2, FDir.File("out.mkv")), AVERROR(EINVAL));
  EXPECT_STREQ(LastMux()->log_name, "out#1/matroska");
  EXPECT_STREQ(FFmpegMuxInit::output_file_item_name(LastMux()), "out#1/matroska");
}

TEST_F(MuxInitOpenTest, MuxerThatNeedsANumberedName) {
  TLogCapture log;
  const std::string att = FDir.File("a.bin");
  WriteFile(att, "attachment");
  char* paths[] = {const_cast<char*>(att.c_str())};
  TOptionsContext o = Options();
  char fmt[] = "webm_chunk";
  o.format = fmt;
  o.attachments = paths;
  o.nb_attachments = 1;
  const std::string name = FDir.File("chunk.webm");
  EXPECT_EQ(Open(o, name), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL,
                               "Output filename '" + name +
                                   "' does not contain a numeric pattern like '%d', which is "
                                   "required by output format 'webm_chunk'.\n"))
      << TLogCapture::All();
  EXPECT_FALSE(fs::exists(name));
}

}  // namespace
