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
#include "MediaBuilder.h"
#include "EngineTestSupport.h"
#include "TempFolder.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegMux.h"
#include "engine/FFmpegMuxInit.h"
#include "engine/FFmpegMuxInitInternal.h"
#include "engine/FFmpegSched.h"
#include "engine/FFmpegSchedInternal.h"  // the scheduler state after a refused command line
#include "engine/FFmpegFilter.h"
#include "engine/FFmpegFilterInternal.h"
#include "platform/Streams.h"
#include "runtime/MemoryProtocol.h"
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
    FPath = TempFolder::MakeDir("muxinit");
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
  TOptionsContext Options() { return EngineTestSupport::GroupOptions(FTask.get(), &FGroup); }

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
    if (r.WantLog) {
      EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, r.WantLog)) << TLogCapture::All();
    }
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
      if (r.WantLiteral) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(es->components[0].type_ ==
                                                                    FFmpegHeader::ENC_STATS_LITERAL
                                                                ? es->components[0].str
                                                                : es->components[1].str)),
                  r.WantLiteral);
      }
      EXPECT_NE(es->io, nullptr);
    }
    if (r.WantLog) {
      EXPECT_TRUE(TLogCapture::Has(r.WantLevel, r.WantLog)) << TLogCapture::All();
    }
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
  // and the list is still searched safely afterwards
  ASSERT_EQ(FFmpegMuxInit::enc_stats_init(FTask.get(), s1, &FFmpegMux::ms_from_ost(s1)->stats, "{n}",
                                          b.c_str(), 0),
            0);
  EXPECT_EQ(FFmpegMux::ms_from_ost(s1)->stats.io, s1->enc_stats_pre.io);
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

TEST_F(MuxInitTest, MappedGroupsAreRebuilt) {
  // The "input": a context whose groups were made from texts with non-default options.
  TMux* src = NewMux("matroska");
  NewStream(src, AVMEDIA_TYPE_AUDIO);
  NewStream(src, AVMEDIA_TYPE_AUDIO);
  FOptStrings = TOptList(
      {{"", "type=iamf_audio_element:id=7:st=0:st=1,layer=ch_layout=stereo:output_gain_flags=2,"
            "layer=ch_layout=5.1,demixing=parameter_id=998:parameter_rate=48000:"
            "subblock_duration=1024:dmixp_mode=2,recon_gain=parameter_id=101:"
            "parameter_rate=48000:subblock_duration=960"},
       {"", "type=iamf_mix_presentation:id=9,submix=default_mix_gain=0.5|element=stg=0:"
            "headphones_rendering_mode=binaural|layout=layout_type=loudspeakers:"
            "sound_system=stereo"}});
  TOptionsContext o = Options();
  o.stream_groups = FOptStrings.List();
  ASSERT_EQ(FFmpegMuxInit::of_add_groups(src, &o), 0);

  auto* ifile = static_cast<FFmpegHeader::TInputFile*>(av_mallocz(sizeof(FFmpegHeader::TInputFile)));
  ifile->ctx = src->fc;
  FFmpegHeader::TInputFile* files[1] = {ifile};
  FTask->Finput_files = files;
  FTask->Fnb_input_files = 1;

  TLogCapture log;
  TMux* mux = NewMux("matroska");
  NewStream(mux, AVMEDIA_TYPE_AUDIO);
  NewStream(mux, AVMEDIA_TYPE_AUDIO);
  const int r0 = FFmpegMuxInit::of_parse_group_token(mux, "map=0=0:st=0:st=1", nullptr);
  const int r1 = FFmpegMuxInit::of_parse_group_token(mux, "map=0=1", nullptr);
  const int r2 = FFmpegMuxInit::of_parse_group_token(mux, "map=0=2", nullptr);

  FTask->Finput_files = nullptr;
  FTask->Fnb_input_files = 0;
  AVUtilStubs::av_free(ifile);

  ASSERT_EQ(r0, 0) << TLogCapture::All();
  ASSERT_EQ(r1, 0) << TLogCapture::All();
  EXPECT_EQ(r2, AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::HasText("Invalid input stream group index: 2."));

  const AVFormatContext* fc = mux->fc;
  ASSERT_EQ(fc->nb_stream_groups, 2u);
  const AVStreamGroup* el = fc->stream_groups[0];
  EXPECT_EQ(el->id, 7);
  EXPECT_EQ(el->nb_streams, 2u);
  const AVIAMFAudioElement* ae = el->params.iamf_audio_element;
  ASSERT_EQ(ae->nb_layers, 2u);
  EXPECT_EQ(ae->layers[0]->ch_layout.nb_channels, 2);
  EXPECT_EQ(ae->layers[0]->output_gain_flags, 2u);
  EXPECT_EQ(ae->layers[1]->ch_layout.nb_channels, 6);
  ASSERT_NE(ae->demixing_info, nullptr);
  EXPECT_EQ(ae->demixing_info->parameter_id, 998u);
  EXPECT_EQ(static_cast<const AVIAMFDemixingInfo*>(
                static_cast<const void*>(reinterpret_cast<const std::uint8_t*>(ae->demixing_info) +
                                         ae->demixing_info->subblocks_offset))
                ->dmixp_mode,
            2u);
  ASSERT_NE(ae->recon_gain_info, nullptr);
  EXPECT_EQ(ae->recon_gain_info->parameter_id, 101u);

  const AVStreamGroup* mix = fc->stream_groups[1];
  EXPECT_EQ(mix->id, 9);
  ASSERT_EQ(mix->params.iamf_mix_presentation->nb_submixes, 1u);
  const AVIAMFSubmix* submix = mix->params.iamf_mix_presentation->submixes[0];
  EXPECT_EQ(av_q2d(submix->default_mix_gain), 0.5);
  ASSERT_EQ(submix->nb_elements, 1u);
  EXPECT_EQ(submix->elements[0]->audio_element_id, 7u);
  EXPECT_EQ(submix->elements[0]->headphones_rendering_mode, AV_IAMF_HEADPHONES_MODE_BINAURAL);
  ASSERT_EQ(submix->nb_layouts, 1u);
  EXPECT_EQ(submix->layouts[0]->layout_type, AV_IAMF_SUBMIX_LAYOUT_TYPE_LOUDSPEAKERS);
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
    if (r.WantLog) {
      EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL, r.WantLog)) << TLogCapture::All();
    }
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

// ---- Command lines ------------------------------------------------------------------------


namespace {

class MuxInitCmdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries));
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
  }
  void TearDown() override { FTask.reset(); }

  // A media file in the temporary folder, made once per name.
  std::string Media(const std::string& AName, const MediaBuilder::TMediaSpec& ASpec) {
    const std::string path = FDir.File(AName);
    EXPECT_EQ(MediaBuilder::WriteMedia(path, nullptr, ASpec), 0);
    return path;
  }
  std::string Media(const std::string& AName, const std::string& AStreams) {
    MediaBuilder::TMediaSpec spec;
    spec.Streams = AStreams;
    return Media(AName, spec);
  }

  int Parse(const std::string& ACmd) { return FTask->ParseOptions(ACmd); }
  TMux* Out(int AIndex = 0) {
    return AIndex < FTask->Fnb_output_files ? FFmpegMux::mux_from_of(FTask->Foutput_files[AIndex])
                                            : nullptr;
  }

  std::unique_ptr<FFmpeg::TCustomFFmpeg> FTask;
  TTempDir FDir;
};

// A file with the given global metadata lines and chapters, read by the ffmetadata
// demuxer: input metadata and chapters without any stream.
std::string MetadataFile(const TTempDir& ADir, const std::string& AName, const std::string& ABody) {
  const std::string path = ADir.File(AName);
  WriteFile(path, ";FFMETADATA1\n" + ABody);
  return path;
}

void NoVideoHook(void*, Platform::TObject*, Platform::TBitmap*, int, const std::int64_t&, bool&,
                 bool&) {}
void NoFrameHook(void*, Platform::TObject*, FFUtils::TAVPicture*, AVPixelFormat, int, int, int,
                 const std::int64_t&) {}
void NoAudioHook(void*, Platform::TObject*, const std::int64_t&, AVFrame*, int, int, int,
                 AVSampleFormat) {}
void NoPreview(void*, Platform::TObject*, Platform::TBitmap*, int, const std::int64_t&) {}

TEST_F(MuxInitCmdTest, CopyRefusedWhenFramesAreNeeded) {
  const std::string in = Media("va.mkv", "va");
  using TSetter = void (*)(FFmpeg::TCustomFFmpeg&);
  struct TRow {
    const char* Name;
    TSetter Set;
    const char* Codec;  // the copy option
    const char* WantText;
  } rows[] = {
      {"video hook (input side)",
       [](FFmpeg::TCustomFFmpeg& t) {
         t.FOnVideoInputHook = FFmpeg::TTaskVideoHookEvent::FromFunction(NoVideoHook, &t);
       },
       "-c:v copy", "-vcodec/-c:video copy and VideoHook are incompatible (frames are not decoded)\n"},
      {"video hook (output side)",
       [](FFmpeg::TCustomFFmpeg& t) {
         t.FOnVideoOutputHook = FFmpeg::TTaskVideoHookEvent::FromFunction(NoVideoHook, &t);
       },
       "-c:v copy", "-vcodec/-c:video copy and VideoHook are incompatible (frames are not decoded)\n"},
      {"frame hook",
       [](FFmpeg::TCustomFFmpeg& t) {
         t.FOnFrameOutputHook = FFmpeg::TTaskFrameHookEvent::FromFunction(NoFrameHook, &t);
       },
       "-c:v copy", "-vcodec/-c:video copy and FrameHook are incompatible (frames are not decoded)\n"},
      {"preview window",
       [](FFmpeg::TCustomFFmpeg& t) { t.SetPreviewFlags(FFmpeg::PREVIEW_WINDOW); }, "-c:v copy",
       "-vcodec/-c:video copy and Preview are incompatible (frames are not decoded)\n"},
      {"preview bitmaps",
       [](FFmpeg::TCustomFFmpeg& t) {
         t.FOnPreviewBitmap = FFmpeg::TTaskPreviewEvent::FromFunction(NoPreview, &t);
         t.SetPreviewFlags(FFmpeg::PREVIEW_BITMAP);
       },
       "-c:v copy", "-vcodec/-c:video copy and Preview are incompatible (frames are not decoded)\n"},
      {"audio hook",
       [](FFmpeg::TCustomFFmpeg& t) {
         t.FOnAudioInputHook = FFmpeg::TTaskAudioHookEvent::FromFunction(NoAudioHook, &t);
       },
       "-c:a copy", "-acodec/-c:audio copy and AudioHook are incompatible (frames are not decoded)\n"},
      {"audio preview", [](FFmpeg::TCustomFFmpeg& t) { t.FAudioPreview = true; }, "-c:a copy",
       "-acodec/-c:audio copy and PreviewAudio are incompatible (frames are not decoded)\n"},
      // the other type is not affected
      {"audio hook, video copied",
       [](FFmpeg::TCustomFFmpeg& t) {
         t.FOnAudioOutputHook = FFmpeg::TTaskAudioHookEvent::FromFunction(NoAudioHook, &t);
       },
       "-c:v copy -an", nullptr},
      {"preview flags without a bitmap handler", [](FFmpeg::TCustomFFmpeg& t) { t.SetPreviewFlags(FFmpeg::PREVIEW_BITMAP); },
       "-c:v copy", nullptr},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Name);
    TLogCapture log;
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
    r.Set(*FTask);
    const int ret = Parse("-y -i " + in + " " + r.Codec + " " + FDir.File("out.mkv"));
    if (!r.WantText) {
      EXPECT_EQ(ret, 0) << FTask->LastErrMsg() << TLogCapture::All();
      continue;
    }
    EXPECT_EQ(ret, AVERROR(EINVAL));
    EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL, r.WantText)) << TLogCapture::All();
    // refused while the command line is parsed: no worker has started
    ASSERT_NE(FTask->Fsch, nullptr);
    EXPECT_EQ(FTask->Fsch->state, FFmpegSched::SCH_STATE_UNINIT);
    EXPECT_FALSE(FTask->Running());
  }
}

TEST_F(MuxInitCmdTest, AttachmentsAreCopiedOnly) {
  const std::string in = Media("v.mkv", "v");
  const std::string att = FDir.File("a.bin");
  WriteFile(att, "0123456789");
  TLogCapture log;
  EXPECT_EQ(Parse("-y -i " + in + " -attach " + att + " -c:t mjpeg " + FDir.File("out.mkv")),
            AVERROR(ENOSYS));
  EXPECT_TRUE(TLogCapture::Has(
      AV_LOG_FATAL, "Encoder 'mjpeg' specified, but only '-codec copy' supported for attachment streams\n"))
      << TLogCapture::All();

  FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
  ASSERT_EQ(Parse("-y -i " + in + " -c copy -attach " + att + " -c:t copy " + FDir.File("out.mkv")), 0)
      << FTask->LastErrMsg();
  ASSERT_EQ(Out()->of.nb_streams, 2);
  const AVStream* st = Out()->of.streams[1]->st;
  EXPECT_EQ(st->codecpar->codec_type, AVMEDIA_TYPE_ATTACHMENT);
  // initialised before the open returned: the data is on the container stream
  EXPECT_EQ(st->codecpar->extradata_size, 10);
  EXPECT_STREQ(av_dict_get(st->metadata, "filename", nullptr, 0)->value, "a.bin");
}

TEST_F(MuxInitCmdTest, TagAndStreamId) {
  const std::string in = Media("v.mkv", "v");
  struct TRow {
    const char* Opts;
    int WantResult;
    std::uint32_t WantTag;
    int WantId;
    const char* WantLog;
  } rows[] = {
      {"-tag:v XVID", 0, (CmdUtils::MKTAG)('X', 'V', 'I', 'D'), 0, nullptr},
      {"-tag:v DX", 0, (CmdUtils::MKTAG)('D', 'X', 0, 0), 0, nullptr},
      {"-tag:v 0x34504d46", 0, 0x34504d46u, 0, nullptr},
      {"-streamid 0:0x20", 0, 0, 0x20, nullptr},
      {"-streamid 0:12x", AVERROR(EINVAL), 0, 0, "Invalid stream id: 12x\n"},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Opts);
    TLogCapture log;
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
    const int ret = Parse("-y -i " + in + " -c copy " + r.Opts + " " + FDir.File("out.avi"));
    EXPECT_EQ(ret, r.WantResult) << TLogCapture::All();
    if (r.WantLog) {
      EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL, r.WantLog)) << TLogCapture::All();
    }
    if (ret < 0) continue;
    const AVStream* st = Out()->of.streams[0]->st;
    if (r.WantTag) {
      EXPECT_EQ(FFmpegMux::ms_from_ost(Out()->of.streams[0])->par_in->codec_tag, r.WantTag);
      EXPECT_EQ(st->codecpar->codec_tag, r.WantTag);
    }
    if (r.WantId) {
      EXPECT_EQ(st->id, r.WantId);
    }
  }
}

TEST_F(MuxInitCmdTest, FrameRateModes) {
  MediaBuilder::TMediaSpec one;
  one.Streams = "v";
  const std::string v = Media("v.mkv", one);
  const std::string va = Media("va.mkv", "va");
  using namespace FFmpegFilter;
  struct TRow {
    const char* Name;
    std::string Input;
    const char* Opts;
    const char* Output;
    int WantResult;
    int WantMode;
  } rows[] = {
      // MPEG program streams take no variable frame rate
      {"mpeg, one input stream: vscfr", v, "", "out.mpg", 0, VSYNC_VSCFR},
      {"mpeg, two input streams: cfr", va, "-an", "out.mpg", 0, VSYNC_CFR},
      {"-copyts: vscfr", va, "-an -copyts", "out.mpg", 0, VSYNC_VSCFR},
      {"explicit cfr stays cfr", v, "-fps_mode cfr", "out.mpg", 0, VSYNC_CFR},
      {"-r on a single-stream input: vscfr", v, "-r 10", "out.mkv", 0, VSYNC_VSCFR},
      {"mp4: vfr", v, "", "out.mp4", 0, VSYNC_VFR},
      {"avi: vfr", v, "", "out.avi", 0, VSYNC_VFR},
      {"matroska: vfr", va, "-an", "out.mkv", 0, VSYNC_VFR},
      {"-r on matroska: cfr", va, "-an -r 10", "out.mkv", 0, VSYNC_CFR},
      {"no timestamps: passthrough", va, "-an -f null", "-", 0, VSYNC_PASSTHROUGH},
      {"drop", va, "-an -fps_mode drop", "out.mkv", 0, VSYNC_DROP},
      {"-r with vfr", va, "-an -r 10 -fps_mode vfr", "out.mkv", AVERROR(EINVAL), 0},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Name);
    TLogCapture log;
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
    const std::string out = std::string(r.Output) == "-" ? "-" : FDir.File(r.Output);
    const int ret = Parse("-y -i " + r.Input + " -c:v mpeg4 " + r.Opts + " " + out);
    ASSERT_EQ(ret, r.WantResult) << FTask->LastErrMsg() << TLogCapture::All();
    if (ret < 0) {
      EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL,
                                   "One of -r/-fpsmax was specified together a non-CFR "
                                   "-vsync/-fps_mode. This is contradictory.\n"));
      continue;
    }
    TOutputStream* ost = Out()->of.streams[0];
    ASSERT_NE(ost->filter, nullptr);
    EXPECT_EQ(ofp_from_ofilter(ost->filter)->vsync_method, r.WantMode);
    EXPECT_EQ(FFmpegMux::ms_from_ost(ost)->ts_drop, r.WantMode == VSYNC_DROP);
  }
}

TEST_F(MuxInitCmdTest, AutomaticVideoChoice) {
  MediaBuilder::TMediaSpec small, big;
  small.Streams = big.Streams = "v";
  big.Width = 96;
  big.Height = 72;
  const std::string s1 = Media("s1.mkv", small), s2 = Media("s2.mkv", small);
  const std::string b = Media("b.mkv", big);
  struct TRow {
    const char* Name;
    std::vector<std::string> Inputs;
    int WantFile;
  } rows[] = {
      {"the larger picture wins", {s1, b}, 1},
      {"the larger picture wins from the first file too", {b, s1}, 0},
      {"equal sizes: the first file", {s1, s2}, 0},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Name);
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
    std::string cmd = "-y";
    for (const std::string& i : r.Inputs) cmd += " -i " + i;
    ASSERT_EQ(Parse(cmd + " -c copy " + FDir.File("out.mkv")), 0) << FTask->LastErrMsg();
    ASSERT_EQ(Out()->of.nb_streams, 1);
    EXPECT_EQ(Out()->of.streams[0]->ist->file_->index, r.WantFile);
  }
}

TEST_F(MuxInitCmdTest, NoStreamAndStreamlessFormats) {
  const std::string in = Media("v.mkv", "v");
  {
    TLogCapture log;
    EXPECT_EQ(Parse("-y -i " + in + " -vn " + FDir.File("out.mp4")), AVERROR(EINVAL));
    EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "Output file does not contain any stream\n"));
  }
  FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
  {
    TLogCapture log;
    // ffmetadata writes no streams and takes none
    EXPECT_EQ(Parse("-y -i " + in + " -f ffmetadata " + FDir.File("meta.txt")), 0)
        << FTask->LastErrMsg() << TLogCapture::All();
    EXPECT_EQ(Out()->of.nb_streams, 0);
    EXPECT_FALSE(TLogCapture::HasText("does not contain any stream"));
  }
}

TEST_F(MuxInitCmdTest, LabelMappedTwice) {
  const std::string in = Media("v.mkv", "v");
  TLogCapture log;
  EXPECT_EQ(Parse("-y -i " + in + " -filter_complex [0:v]split[a][b] -map [a] -map [a] -c:v mpeg4 " +
                  FDir.File("out.mkv")),
            AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL,
                               "Output with label 'a' does not exist in any defined filter graph, or "
                               "was already used elsewhere.\n"))
      << TLogCapture::All();

  FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
  ASSERT_EQ(Parse("-y -i " + in + " -filter_complex [0:v]split[a][b] -map [a] -map [b] -c:v mpeg4 " +
                  FDir.File("out.mkv")),
            0)
      << FTask->LastErrMsg();
  EXPECT_EQ(Out()->of.nb_streams, 2);
}

TEST_F(MuxInitCmdTest, GivenDispositions) {
  MediaBuilder::TMediaSpec two;
  two.Streams = "aa";
  const std::string in = Media("aa.mkv", two);
  ASSERT_EQ(Parse("-y -i " + in + " -map 0 -c copy -disposition:a:1 default+comment " +
                  FDir.File("out.mkv")),
            0)
      << FTask->LastErrMsg();
  EXPECT_EQ(Out()->fc->streams[1]->disposition, AV_DISPOSITION_DEFAULT | AV_DISPOSITION_COMMENT);

  TLogCapture log;
  FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
  EXPECT_LT(Parse("-y -i " + in + " -map 0 -c copy -disposition:a:0 bogus " + FDir.File("out.mkv")), 0);
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL, "Error setting output stream dispositions\n"))
      << TLogCapture::All();
}

TEST_F(MuxInitCmdTest, BitstreamFiltersOfCopiedStreams) {
  const std::string in = Media("v.mkv", "v");
  struct TRow {
    const char* Opts;
    const char* WantLog;  // nullptr: the open succeeds
  } rows[] = {
      {"-bsf:v null", nullptr},
      {"-bsf:v bogus_filter", "Error parsing bitstream filter sequence 'bogus_filter'"},
      // set up on the copied stream before the open returns
      {"-bsf:v h264_mp4toannexb", "Error initializing bitstream filter: h264_mp4toannexb\n"},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Opts);
    TLogCapture log;
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
    const int ret = Parse("-y -i " + in + " -c copy " + r.Opts + " " + FDir.File("out.mkv"));
    if (r.WantLog) {
      EXPECT_LT(ret, 0);
      EXPECT_TRUE(TLogCapture::HasText(r.WantLog)) << TLogCapture::All();
      continue;
    }
    ASSERT_EQ(ret, 0) << FTask->LastErrMsg();
    TMuxStream* ms = FFmpegMux::ms_from_ost(Out()->of.streams[0]);
    ASSERT_NE(ms->bsf_ctx, nullptr);
    EXPECT_NE(ms->bsf_pkt, nullptr);
    EXPECT_EQ(Out()->fc->streams[0]->codecpar->codec_id, AV_CODEC_ID_MPEG4);
    EXPECT_EQ(av_cmp_q(Out()->fc->streams[0]->time_base, ms->bsf_ctx->time_base_out), 0);
  }
}

TEST_F(MuxInitCmdTest, EncoderSettingsPerType) {
  const std::string in = Media("va.mkv", "va");
  using TCheck = void (*)(const AVCodecContext* v, const AVCodecContext* a);
  struct TRow {
    const char* Opts;
    int WantLevel;         // of WantLog
    const char* WantLog;   // nullptr: nothing to look for
    bool WantFail;
    TCheck Check;          // on success, with the video and audio codec contexts
  } rows[] = {
      {"-q:v 3", 0, nullptr, false,
       [](const AVCodecContext* v, const AVCodecContext*) {
         EXPECT_TRUE(v->flags & AV_CODEC_FLAG_QSCALE);
         EXPECT_EQ(v->global_quality, 3 * 118);
       }},
      {"-rc_override 0,10,2/11,20,-50", 0, nullptr, false,
       [](const AVCodecContext* v, const AVCodecContext*) {
         ASSERT_EQ(v->rc_override_count, 2);
         EXPECT_EQ(v->rc_override[0].qscale, 2);
         EXPECT_EQ(v->rc_override[1].end_frame, 20);
         EXPECT_EQ(v->rc_override[1].qscale, 0);
         EXPECT_FLOAT_EQ(v->rc_override[1].quality_factor, 0.5f);
       }},
      {"-pix_fmt yuva420p", AV_LOG_WARNING,
       "Incompatible pixel format 'yuva420p' for codec 'mpeg4', auto-selecting format 'yuv420p'", false,
       [](const AVCodecContext* v, const AVCodecContext*) { EXPECT_EQ(v->pix_fmt, AV_PIX_FMT_YUV420P); }},
      {"-s 32x24 -ar 22050 -ac 2", 0, nullptr, false,
       [](const AVCodecContext* v, const AVCodecContext* a) {
         EXPECT_EQ(v->width, 32);
         EXPECT_EQ(v->height, 24);
         EXPECT_EQ(a->sample_rate, 22050);
         EXPECT_EQ(a->ch_layout.nb_channels, 2);
       }},
      {"-top 1", AV_LOG_WARNING, "-top is deprecated, use the setfield filter instead", false, nullptr},
      {"-pix_fmt bogus", AV_LOG_FATAL, "Unknown pixel format requested: bogus.", true, nullptr},
      {"-intra_matrix 1,2,3", AV_LOG_FATAL, "Syntax error in matrix \"1,2,3\" at coeff 2", true, nullptr},
      {"-rc_override 0,10", AV_LOG_FATAL, "error parsing rc_override", true, nullptr},
      {"-aspect 0:1", AV_LOG_FATAL, "Invalid aspect ratio: 0:1", true, nullptr},
      {"-r 10 -fpsmax 5", AV_LOG_ERROR, "Only one of -fpsmax and -r can be set for a stream.", true, nullptr},
      {"-s 12", AV_LOG_FATAL, "Invalid frame size: 12.", true, nullptr},
      {"-time_base 0:1", AV_LOG_FATAL, "Invalid time base: 0:1", true, nullptr},
      {"-enc_time_base:v 1:0", AV_LOG_FATAL, "Invalid time base: 1:0", true, nullptr},
      {"-enc_time_base:v demux", 0, nullptr, false, nullptr},
      {"-sample_fmt bogus", AV_LOG_FATAL, "Invalid sample format 'bogus'", true, nullptr},
      {"-channel_layout bogus", AV_LOG_FATAL, "Unknown channel layout: bogus", true, nullptr},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Opts);
    TLogCapture log;
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
    const int ret =
        Parse("-y -i " + in + " -c:v mpeg4 -c:a pcm_s16le " + r.Opts + " " + FDir.File("out.mkv"));
    if (r.WantFail)
      EXPECT_LT(ret, 0);
    else
      ASSERT_EQ(ret, 0) << FTask->LastErrMsg() << TLogCapture::All();
    if (r.WantLog) {
      EXPECT_TRUE(TLogCapture::Has(r.WantLevel, r.WantLog)) << TLogCapture::All();
    }
    if (ret == 0 && r.Check)
      r.Check(Out()->of.streams[0]->enc->enc_ctx, Out()->of.streams[1]->enc->enc_ctx);
  }
}

TEST_F(MuxInitCmdTest, ShortestSyncQueues) {
  const std::string in = Media("va.mkv", "va");
  struct TRow {
    const char* Opts;
    bool WantEncQueue;
    bool WantMuxQueue;
  } rows[] = {
      {"-c:v mpeg4 -c:a pcm_s16le -shortest", true, false},
      {"-c:v mpeg4 -c:a copy -shortest", false, true},
      {"-c:v mpeg4 -c:a pcm_s16le", false, false},
      {"-c:v mpeg4 -an -frames:v 5", true, false},
      {"-c:v copy -c:a copy -frames:v 5", false, true},
      // an audio encoder with a fixed frame size needs its frames cut
      {"-vn -c:a ac3", true, false},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Opts);
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
    ASSERT_EQ(Parse("-y -i " + in + " " + r.Opts + " " + FDir.File("out.mkv")), 0)
        << FTask->LastErrMsg();
    EXPECT_EQ(FTask->Fsch->nb_sq_enc > 0, r.WantEncQueue);
    EXPECT_EQ(Out()->sq_mux != nullptr, r.WantMuxQueue);
  }
}

TEST_F(MuxInitCmdTest, MetadataCopies) {
  const std::string meta = MetadataFile(FDir, "meta.txt",
                                        "title=Input title\ncreation_time=2020-01-01T00:00:00Z\n"
                                        "company_name=Maker\nduration=00:00:09\n");
  const std::string in = Media("v.mkv", "v");
  struct TRow {
    const char* Opts;
    const char* WantTitle;      // global, nullptr: none
    bool WantDuration;
    const char* WantStreamTitle;  // of the video stream
  } rows[] = {
      {"", "Input title", true, nullptr},
      {"-t 1", "Input title", false, nullptr},
      {"-map_metadata -1", nullptr, false, nullptr},
      {"-map_metadata:s:v 0:g", nullptr, false, "Input title"},
      {"-metadata title=Mine", "Mine", true, nullptr},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Opts);
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
    ASSERT_EQ(Parse("-y -i " + meta + " -i " + in + " -map 1 -c copy " + r.Opts + " " +
                    FDir.File("out.mkv")),
              0)
        << FTask->LastErrMsg();
    const AVDictionary* m = Out()->fc->metadata;
    const AVDictionaryEntry* title = av_dict_get(m, "title", nullptr, 0);
    if (r.WantTitle) {
      ASSERT_NE(title, nullptr);
      EXPECT_STREQ(title->value, r.WantTitle);
    } else {
      EXPECT_EQ(title, nullptr);
    }
    EXPECT_EQ(av_dict_get(m, "creation_time", nullptr, 0), nullptr);
    EXPECT_EQ(av_dict_get(m, "company_name", nullptr, 0), nullptr);
    EXPECT_EQ(av_dict_get(m, "duration", nullptr, 0) != nullptr, r.WantDuration);
    const AVDictionaryEntry* st_title = av_dict_get(Out()->fc->streams[0]->metadata, "title", nullptr, 0);
    if (r.WantStreamTitle) {
      ASSERT_NE(st_title, nullptr);
      EXPECT_STREQ(st_title->value, r.WantStreamTitle);
    } else {
      EXPECT_EQ(st_title, nullptr);
    }
  }
}

TEST_F(MuxInitCmdTest, ChapterWindow) {
  const std::string meta = MetadataFile(FDir, "meta.txt",
                                        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=5000\ntitle=c0\n"
                                        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=5000\nEND=10000\ntitle=c1\n"
                                        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=10000\nEND=15000\ntitle=c2\n"
                                        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=20000\nEND=25000\ntitle=c3\n");
  const std::string in = Media("v.mkv", "v");
  struct TRow {
    const char* Opts;
    std::vector<std::pair<std::int64_t, std::int64_t>> Want;  // start, end in 1/1000
    bool WantMetadata;
  } rows[] = {
      {"", {{0, 5000}, {5000, 10000}, {10000, 15000}, {20000, 25000}}, true},
      // the window 6 s .. 12 s: c0 ends before it, c3 starts after it
      {"-ss 6 -t 6", {{0, 4000}, {4000, 6000}}, true},
      {"-map_chapters -1", {}, true},
      {"-map_metadata -1", {{0, 5000}, {5000, 10000}, {10000, 15000}, {20000, 25000}}, false},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Opts);
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
    ASSERT_EQ(Parse("-y -i " + meta + " -i " + in + " -map 1 -c copy " + r.Opts + " " +
                    FDir.File("out.mkv")),
              0)
        << FTask->LastErrMsg();
    const AVFormatContext* fc = Out()->fc;
    ASSERT_EQ(fc->nb_chapters, r.Want.size());
    for (unsigned i = 0; i < fc->nb_chapters; i++) {
      EXPECT_EQ(fc->chapters[i]->start, r.Want[i].first) << i;
      EXPECT_EQ(fc->chapters[i]->end, r.Want[i].second) << i;
      EXPECT_EQ(av_dict_get(fc->chapters[i]->metadata, "title", nullptr, 0) != nullptr, r.WantMetadata);
    }
  }
}

TEST_F(MuxInitCmdTest, ForcedKeyFramesOfEncodedVideo) {
  const std::string meta = MetadataFile(FDir, "meta.txt",
                                        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=2000\nEND=5000\n"
                                        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=5000\nEND=9000\n");
  const std::string in = Media("v.mkv", "v");
  ASSERT_EQ(Parse("-y -i " + meta + " -i " + in +
                  " -map 1 -c:v mpeg4 -force_key_frames chapters-0.5 " + FDir.File("out.mkv")),
            0)
      << FTask->LastErrMsg();
  const FFmpegHeader::TKeyframeForceCtx& kf = Out()->of.streams[0]->kf;
  ASSERT_EQ(kf.nb_pts, 2);
  EXPECT_EQ(kf.pts[0], 1500000);
  EXPECT_EQ(kf.pts[1], 4500000);

  FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
  ASSERT_EQ(Parse("-y -i " + in + " -c:v mpeg4 -force_key_frames expr:gte(t,n_forced*2) " +
                  FDir.File("out.mkv")),
            0);
  EXPECT_NE(Out()->of.streams[0]->kf.pexpr, nullptr);
  EXPECT_TRUE(std::isnan(Out()->of.streams[0]->kf.expr_const_values[FFmpegHeader::FKF_PREV_FORCED_T]));

  // copied video has no plan
  FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
  ASSERT_EQ(Parse("-y -i " + in + " -c:v copy -force_key_frames 1,2 " + FDir.File("out.mkv")), 0);
  EXPECT_EQ(Out()->of.streams[0]->kf.nb_pts, 0);
}

TEST_F(MuxInitCmdTest, PresetFileOptions) {
  const std::string in = Media("v.mkv", "v");
  TTempDir data;
  TEnvVar dd("AVCONV_DATADIR", data.Path().c_str());
  WriteFile(data.File("mpeg4-tiny.avpreset"), "# comment\n\nb=123456\ng=7\n");
  WriteFile(data.File("broken.avpreset"), "b=1\nnot a pair\n");

  ASSERT_EQ(Parse("-y -i " + in + " -c:v mpeg4 -g 3 -pre:v tiny " + FDir.File("out.mkv")), 0)
      << FTask->LastErrMsg();
  const AVCodecContext* ctx = Out()->of.streams[0]->enc->enc_ctx;
  EXPECT_EQ(ctx->bit_rate, 123456);
  EXPECT_EQ(ctx->gop_size, 3);  // the command line wins over the preset

  TLogCapture log;
  FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
  EXPECT_EQ(Parse("-y -i " + in + " -c:v mpeg4 -pre:v broken " + FDir.File("out.mkv")), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL, "Invalid line found in the preset file.\n"));

  FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
  EXPECT_LT(Parse("-y -i " + in + " -c:v mpeg4 -pre:v missing " + FDir.File("out.mkv")), 0);
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL, "Preset missing specified, but could not be opened.\n"));
}

TEST_F(MuxInitCmdTest, HostStreamOutputLeavesNothingOnDisk) {
  const std::string in = Media("v.mkv", "v");
  Platform::TMemoryStream stream;
  MemoryProtocol::RegisterStream(&stream);
  const std::string name = FDir.File("never.mkv");
  const int ret = Parse("-y -i " + in + " -c copy -memory " +
                        std::to_string(reinterpret_cast<std::intptr_t>(&stream)) + " " + name);
  EXPECT_EQ(ret, 0) << FTask->LastErrMsg();
  if (ret == 0) {
    EXPECT_EQ(Out()->of.memory_handle, &stream);
    EXPECT_TRUE(Out()->fc->flags & AVFMT_FLAG_CUSTOM_IO);
  }
  EXPECT_FALSE(fs::exists(name));
  FTask.reset();
  EXPECT_FALSE(fs::exists(name));
  MemoryProtocol::UnregisterStream(&stream);
}

// An MPEG-TS file with a DVB subtitle stream and a KLV data stream (no packets: the
// streams come from the program table).
void SubtitleAndDataFile(const std::string& path) {
  AVFormatContext* oc = nullptr;
  EXPECT_GE(avformat_alloc_output_context2(&oc, nullptr, "mpegts", path.c_str()), 0);
  AVStream* s = avformat_new_stream(oc, nullptr);
  s->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
  s->codecpar->codec_id = AV_CODEC_ID_DVB_SUBTITLE;
  AVStream* d = avformat_new_stream(oc, nullptr);
  d->codecpar->codec_type = AVMEDIA_TYPE_DATA;
  d->codecpar->codec_id = AV_CODEC_ID_SMPTE_KLV;
  EXPECT_GE(AVFormatStubs::avio_open2(&oc->pb, path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), 0);
  EXPECT_GE(AVFormatStubs::avformat_write_header(oc, nullptr), 0);
  // one small packet per stream, so that the tables are written
  for (int i = 0; i < 2; i++) {
    AVPacket* pkt = AVCodecStubs::av_packet_alloc();
    ASSERT_GE(AVCodecStubs::av_new_packet(pkt, 16), 0);
    std::memset(pkt->data, 0x0f, 16);
    pkt->stream_index = i;
    pkt->pts = pkt->dts = 90000;
    pkt->time_base = oc->streams[i]->time_base;
    EXPECT_GE(AVFormatStubs::av_interleaved_write_frame(oc, pkt), 0);
    AVCodecStubs::av_packet_free(&pkt);
  }
  EXPECT_GE(AVFormatStubs::av_write_trailer(oc), 0);
  avio_closep(&oc->pb);
  AVFormatStubs::avformat_free_context(oc);
}

TEST_F(MuxInitCmdTest, SubtitleAndDataSwitches) {
  const std::string in = FDir.File("sd.ts");
  SubtitleAndDataFile(in);
  struct TRow {
    const char* Opts;
    int WantResult;
    std::vector<AVMediaType> WantTypes;
  } rows[] = {
      {"-map 0 -c copy", 0, {AVMEDIA_TYPE_SUBTITLE, AVMEDIA_TYPE_DATA}},
      {"-map 0 -c copy -sn", 0, {AVMEDIA_TYPE_DATA}},
      {"-map 0 -c copy -dn", 0, {AVMEDIA_TYPE_SUBTITLE}},
      // automatic choice: a subtitle stream with a given codec; no data codec in MPEG-TS
      {"-c:s copy", 0, {AVMEDIA_TYPE_SUBTITLE}},
      {"-c:s copy -sn", AVERROR(EINVAL), {}},
  };
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Opts);
    TLogCapture log;
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
    ASSERT_EQ(Parse("-y -i " + in + " " + r.Opts + " " + FDir.File("out.ts")), r.WantResult)
        << FTask->LastErrMsg() << TLogCapture::All();
    if (r.WantResult < 0) continue;
    ASSERT_EQ(Out()->of.nb_streams, static_cast<int>(r.WantTypes.size()));
    for (int i = 0; i < Out()->of.nb_streams; i++) EXPECT_EQ(Out()->of.streams[i]->type_, r.WantTypes[i]);
  }
}

}  // namespace
