// Stream specifiers against an in-memory format context with programs, stream groups,
// dispositions and metadata, and the filtering of codec options per stream.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "runtime/CmdUtils.h"

namespace {

using namespace CmdUtils;
using AVCodecStubs::avcodec_find_encoder;
using AVFormatStubs::av_new_program;
using AVFormatStubs::av_program_add_stream_index;
using AVFormatStubs::avformat_alloc_context;
using AVFormatStubs::avformat_alloc_output_context2;
using AVFormatStubs::avformat_free_context;
using AVFormatStubs::avformat_new_stream;
using AVFormatStubs::avformat_stream_group_add_stream;
using AVFormatStubs::avformat_stream_group_create;
using AVUtilStubs::av_channel_layout_default;
using AVUtilStubs::av_dict_count;
using AVUtilStubs::av_dict_free;
using AVUtilStubs::av_dict_get;
using AVUtilStubs::av_dict_set;
using AVUtilStubs::av_freep;

AVStream* AddStream(AVFormatContext* s, AVMediaType AType, int AId, int ADisposition,
                    const char* ALanguage) {
  AVStream* st = avformat_new_stream(s, nullptr);
  st->id = AId;
  st->codecpar->codec_type = AType;
  st->disposition = ADisposition;
  if (ALanguage) av_dict_set(&st->metadata, "language", ALanguage, 0);
  return st;
}

void SetVideo(AVStream* st, int w, int h) {
  st->codecpar->width = w;
  st->codecpar->height = h;
  st->codecpar->format = AV_PIX_FMT_YUV420P;
}

void SetAudio(AVStream* st, int ARate, int AChannels, AVSampleFormat AFormat) {
  st->codecpar->sample_rate = ARate;
  av_channel_layout_default(&st->codecpar->ch_layout, AChannels);
  st->codecpar->format = AFormat;
}

// Streams:
//   0 video 320x240, eng, default            4 subtitle, id 0x1100, no language
//   1 audio 44100 stereo, eng, default       5 audio 48000 mono, "english", forced
//   2 audio without rate, fre, default+forced 6 data
//   3 video cover art (attached picture)
// Programs: id 1 = streams 5, 1 (in that order); id 2 = stream 0.
// Stream groups: index 0 id 7 = streams 0, 3; index 1 id 9 = stream 2.
class CmdUtilsStreamSpec : public ::testing::Test {
 protected:
  void SetUp() override {
    s = avformat_alloc_context();
    ASSERT_NE(s, nullptr);
    SetVideo(AddStream(s, AVMEDIA_TYPE_VIDEO, 0x100, AV_DISPOSITION_DEFAULT, "eng"), 320, 240);
    SetAudio(AddStream(s, AVMEDIA_TYPE_AUDIO, 0x101, AV_DISPOSITION_DEFAULT, "eng"), 44100, 2,
             AV_SAMPLE_FMT_FLTP);
    SetAudio(AddStream(s, AVMEDIA_TYPE_AUDIO, 0x102, AV_DISPOSITION_DEFAULT | AV_DISPOSITION_FORCED,
                       "fre"),
             0, 2, AV_SAMPLE_FMT_FLTP);
    SetVideo(AddStream(s, AVMEDIA_TYPE_VIDEO, 0x103, AV_DISPOSITION_ATTACHED_PIC, nullptr), 500, 500);
    AVStream* sub = AddStream(s, AVMEDIA_TYPE_SUBTITLE, 0x1100, 0, nullptr);
    av_dict_set(&sub->metadata, "title", "signs", 0);
    SetAudio(AddStream(s, AVMEDIA_TYPE_AUDIO, 0x105, AV_DISPOSITION_FORCED, "english"), 48000, 1,
             AV_SAMPLE_FMT_S16);
    AddStream(s, AVMEDIA_TYPE_DATA, 0x106, 0, nullptr);

    AVProgram* p1 = av_new_program(s, 1);
    av_program_add_stream_index(s, p1->id, 5);
    av_program_add_stream_index(s, p1->id, 1);
    AVProgram* p2 = av_new_program(s, 2);
    av_program_add_stream_index(s, p2->id, 0);

    AVStreamGroup* g0 = avformat_stream_group_create(s, AV_STREAM_GROUP_PARAMS_TILE_GRID, nullptr);
    ASSERT_NE(g0, nullptr);
    g0->id = 7;
    ASSERT_EQ(avformat_stream_group_add_stream(g0, s->streams[0]), 0);
    ASSERT_EQ(avformat_stream_group_add_stream(g0, s->streams[3]), 0);
    AVStreamGroup* g1 = avformat_stream_group_create(s, AV_STREAM_GROUP_PARAMS_TILE_GRID, nullptr);
    ASSERT_NE(g1, nullptr);
    g1->id = 9;
    ASSERT_EQ(avformat_stream_group_add_stream(g1, s->streams[2]), 0);
  }
  void TearDown() override { avformat_free_context(s); }

  // The indexes of the streams that ASpec matches.
  std::set<int> Matching(const char* ASpec) {
    TStreamSpecifier ss;
    EXPECT_EQ(stream_specifier_parse(&ss, ASpec, 0, nullptr), 0) << ASpec;
    std::set<int> result;
    for (unsigned i = 0; i < s->nb_streams; i++)
      if (stream_specifier_match(&ss, s, s->streams[i], nullptr)) result.insert(int(i));
    stream_specifier_uninit(&ss);
    return result;
  }

  TLogCapture log;
  AVFormatContext* s = nullptr;
};

TEST_F(CmdUtilsStreamSpec, SpecifiersSelectTheirStreams) {
  struct {
    const char* Spec;
    std::set<int> Streams;
  } const cases[] = {
      {"1", {1}},
      {"0x4", {4}},
      {"010", {}},  // octal 8: there is no ninth stream
      {"a", {1, 2, 5}},
      {"a:1", {2}},
      {"a:2", {5}},
      {"v", {0, 3}},
      {"V", {0}},  // no cover art
      {"v:1", {3}},
      {"V:1", {}},
      {"s", {4}},
      {"d", {6}},
      {"t", {}},
      {"p:1", {1, 5}},
      {"p:1:a:0", {5}},  // program order: stream 5 first
      {"p:1:1", {1}},
      {"p:2:v", {0}},
      {"m:language", {0, 1, 2, 5}},
      {"m:language:eng", {0, 1}},
      {"a:m:language:eng", {1}},
      {"m:title:signs", {4}},
      {"u", {0, 1, 3, 4, 5, 6}},  // stream 2 has no sample rate
      {"a:u", {1, 5}},
      {"disp:default", {0, 1, 2}},
      {"disp:default+forced", {2}},
      {"a:disp:forced:1", {5}},
      {"#0x1100", {4}},
      {"#4352", {4}},
      {"i:0x1100", {4}},
      {"g:0", {0, 3}},
      {"g:1", {2}},
      {"g:#7:v:1", {3}},
      {"g:i:9", {2}},
      {"g:0:V", {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Spec);
    EXPECT_EQ(Matching(c.Spec), c.Streams);
  }
}

TEST_F(CmdUtilsStreamSpec, ImpossibleProgramOrGroupWarnsAtEveryAttempt) {
  struct {
    const char* Spec;
    const char* Warning;
  } const cases[] = {
      {"p:5:a", "No program with ID 5 exists, stream specifier can never match\n"},
      {"g:#99", "No stream group with group ID 99 exists, stream specifier can never match\n"},
      {"g:5", "No stream group with group index 5 exists, stream specifier can never match\n"},
      {"g:-1", "No stream group with group index -1 exists, stream specifier can never match\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Spec);
    TLogCapture::Clear();
    EXPECT_TRUE(Matching(c.Spec).empty());
    int warnings = 0;
    for (const auto& l : TLogCapture::Snapshot())
      if (l.Level == AV_LOG_WARNING && l.Text == c.Warning) warnings++;
    EXPECT_EQ(warnings, int(s->nb_streams)) << TLogCapture::All();
  }
}

TEST_F(CmdUtilsStreamSpec, ParseFailuresClearTheSpecifier) {
  struct {
    const char* Spec;
    const char* Message;
  } const cases[] = {
      {"v:a", "Stream type specified multiple times\n"},
      {"p:1:#3", "Cannot combine multiple program/group designators in a single stream specifier"},
      {"p:1:g:0", "Cannot combine multiple program/group designators in a single stream specifier"},
      {"g:0:p:1", "Cannot combine multiple program/group designators in a single stream specifier"},
      {"p:", "Expected program ID, got: \n"},
      {"p:x", "Expected program ID, got: x\n"},
      {"g:#x", "Expected stream group idx/ID, got: x\n"},
      {"g:", "Expected stream group idx/ID, got: \n"},
      {"#", "Expected stream ID, got: \n"},
      {"i:z", "Expected stream ID, got: z\n"},
      {"disp:bogus", "Invalid disposition specifier\n"},
      {"disp:default:disp:forced", "Multiple disposition specifiers\n"},
      {"1x", "Trailing garbage at the end of a stream specifier: x\n"},
      {"av", "Trailing garbage at the end of a stream specifier: av\n"},
      {"u:x", "Trailing garbage at the end of a stream specifier: :x\n"},
      // the stream id ends the specifier
      {"#0x1100:s", "Trailing garbage at the end of a stream specifier: :s\n"},
      // indexes that do not fit 32 bits would name another stream, or every stream
      {"v:4294967296", "Invalid stream index: 4294967296\n"},
      {"4294967295", "Invalid stream index: 4294967295\n"},
      {"2147483648", "Invalid stream index: 2147483648\n"},
      {"99999999999999999999999", "Invalid stream index: 99999999999999999999999\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Spec);
    TLogCapture::Clear();
    TStreamSpecifier ss;
    const int ret = stream_specifier_parse(&ss, c.Spec, 0, s);
    EXPECT_LT(ret, 0);
    if (std::string(c.Spec) != "disp:bogus") {
      EXPECT_EQ(ret, AVERROR(EINVAL));
    }
    EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, c.Message)) << TLogCapture::All();
    EXPECT_EQ(ss.meta_key, nullptr);
    EXPECT_EQ(ss.remainder, nullptr);
    EXPECT_EQ(ss.stream_list, STREAM_LIST_ALL);
    EXPECT_EQ(ss.idx, 0);
    EXPECT_EQ(ss.disposition, 0);
  }
}

TEST_F(CmdUtilsStreamSpec, RemainderIsKeptWhenAllowed) {
  struct {
    const char* Spec;
    const char* Remainder;
  } const cases[] = {
      {"a:1:extra", "extra"},
      {"v:rest:more", "rest:more"},
      {"m:title:x:more", "more"},
      {"#5:tail", "tail"},
      {"a", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Spec);
    TStreamSpecifier ss;
    ASSERT_EQ(stream_specifier_parse(&ss, c.Spec, 1, nullptr), 0);
    if (c.Remainder)
      EXPECT_STREQ(ss.remainder, c.Remainder);
    else
      EXPECT_EQ(ss.remainder, nullptr);
    stream_specifier_uninit(&ss);
  }
  TStreamSpecifier ss;
  ASSERT_EQ(stream_specifier_parse(&ss, "m:title:x:more", 1, nullptr), 0);
  EXPECT_STREQ(ss.meta_key, "title");
  EXPECT_STREQ(ss.meta_val, "x");
  stream_specifier_uninit(&ss);
}

TEST_F(CmdUtilsStreamSpec, CheckStreamSpecifierParsesMatchesAndFrees) {
  EXPECT_EQ(check_stream_specifier(s, s->streams[2], "a:1"), 1);
  EXPECT_EQ(check_stream_specifier(s, s->streams[1], "a:1"), 0);
  EXPECT_EQ(check_stream_specifier(s, s->streams[1], "m:language:eng"), 1);
  EXPECT_EQ(check_stream_specifier(s, s->streams[1], "a:b"), AVERROR(EINVAL));
}

TEST_F(CmdUtilsStreamSpec, UnknownListKindNeverOccurs) {
  TStreamSpecifier ss{};
  ss.idx = -1;
  ss.media_type = AVMEDIA_TYPE_UNKNOWN;
  ss.stream_list = static_cast<TStreamList>(9);
  EXPECT_THROW(stream_specifier_match(&ss, s, s->streams[0], nullptr), FFmpegException);
}

// ---- codec options per stream ------------------------------------------------------------

class CmdUtilsCodecOpts : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(avformat_alloc_output_context2(&out, nullptr, "matroska", nullptr), 0);
    AddStream(out, AVMEDIA_TYPE_VIDEO, 0, 0, nullptr);
    AddStream(out, AVMEDIA_TYPE_AUDIO, 0, 0, nullptr);
    AddStream(out, AVMEDIA_TYPE_DATA, 0, 0, nullptr);
    mpeg4 = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    ASSERT_NE(mpeg4, nullptr);
    ASSERT_NE(aac, nullptr);
  }
  void TearDown() override {
    av_dict_free(&opts);
    avformat_free_context(out);
  }
  AVDictionary* Filter(int AStream, const AVCodec* ACodec = nullptr, AVDictionary** AUsed = nullptr) {
    AVDictionary* d = nullptr;
    EXPECT_EQ(filter_codec_opts(opts, out->streams[AStream]->codecpar->codec_id, out,
                                out->streams[AStream], ACodec, d, AUsed),
              0);
    return d;
  }
  static std::string Value(AVDictionary* d, const char* AKey) {
    const AVDictionaryEntry* e = av_dict_get(d, AKey, nullptr, AV_DICT_MATCH_CASE);
    return e ? e->value : "<none>";
  }

  TLogCapture log;
  AVFormatContext* out = nullptr;
  AVDictionary* opts = nullptr;
  const AVCodec* mpeg4 = nullptr;
  const AVCodec* aac = nullptr;
};

TEST_F(CmdUtilsCodecOpts, SpecifiedKeysReachOnlyTheirStreamsWithoutSuffix) {
  av_dict_set(&opts, "b:v", "1M", 0);
  av_dict_set(&opts, "ar:a:0", "22050", 0);
  av_dict_set(&opts, "threads", "2", 0);
  av_dict_set(&opts, "nonsense", "1", 0);
  AVDictionary* used = nullptr;
  AVDictionary* video = Filter(0, mpeg4, &used);
  AVDictionary* audio = Filter(1, aac, &used);
  EXPECT_EQ(Value(video, "b"), "1M");
  EXPECT_EQ(Value(video, "ar"), "<none>");
  EXPECT_EQ(Value(video, "threads"), "2");
  EXPECT_EQ(av_dict_count(video), 2);
  EXPECT_EQ(Value(audio, "b"), "<none>");
  EXPECT_EQ(Value(audio, "ar"), "22050");
  EXPECT_EQ(Value(audio, "threads"), "2");
  EXPECT_EQ(av_dict_count(audio), 2);
  // the full keys that were used, with empty values
  EXPECT_EQ(Value(used, "b:v"), "");
  EXPECT_EQ(Value(used, "ar:a:0"), "");
  EXPECT_EQ(Value(used, "threads"), "");
  EXPECT_EQ(av_dict_count(used), 3);
  EXPECT_STREQ(av_dict_get(opts, "b:v", nullptr, 0)->key, "b:v");  // the source keeps its keys
  av_dict_free(&video);
  av_dict_free(&audio);
  av_dict_free(&used);

  // Without a codec every key whose specifier matches is taken as it is.
  AVDictionary* any = Filter(2);
  EXPECT_EQ(Value(any, "threads"), "2");
  EXPECT_EQ(Value(any, "nonsense"), "1");
  EXPECT_EQ(Value(any, "b"), "<none>");
  av_dict_free(&any);
}

TEST_F(CmdUtilsCodecOpts, TypeLetterPrefixIsDroppedForItsStreams) {
  // the codec class has no "vb", but it has "b": video streams get "b"
  av_dict_set(&opts, "vb", "2M", 0);
  AVDictionary* video = Filter(0, mpeg4);
  AVDictionary* audio = Filter(1, aac);
  EXPECT_EQ(Value(video, "b"), "2M");
  EXPECT_EQ(av_dict_count(video), 1);
  EXPECT_EQ(av_dict_count(audio), 0);
  av_dict_free(&video);
  av_dict_free(&audio);
}

TEST_F(CmdUtilsCodecOpts, PrivateOptionsNeedTheCodecThatKnowsThem) {
  av_dict_set(&opts, "mpeg_quant", "1", 0);
  AVDictionary* with_mpeg4 = Filter(0, mpeg4);
  AVDictionary* with_aac = Filter(1, aac);
  AVDictionary* without = Filter(1);  // no codec: kept
  EXPECT_EQ(Value(with_mpeg4, "mpeg_quant"), "1");
  EXPECT_EQ(av_dict_count(with_aac), 0);
  EXPECT_EQ(Value(without, "mpeg_quant"), "1");
  av_dict_free(&with_mpeg4);
  av_dict_free(&with_aac);
  av_dict_free(&without);
}

TEST_F(CmdUtilsCodecOpts, BadSpecifierFailsTheFilter) {
  av_dict_set(&opts, "b:v:a", "1", 0);
  AVDictionary* d = nullptr;
  EXPECT_EQ(filter_codec_opts(opts, AV_CODEC_ID_NONE, out, out->streams[0], nullptr, d, nullptr),
            AVERROR(EINVAL));
  EXPECT_EQ(d, nullptr);
}

TEST_F(CmdUtilsCodecOpts, ProbeOptionsOnePerStream) {
  AVFormatContext* in = avformat_alloc_context();
  AVDictionary** per_stream = reinterpret_cast<AVDictionary**>(1);
  EXPECT_EQ(setup_find_stream_info_opts(in, opts, per_stream), 0);
  EXPECT_EQ(per_stream, nullptr);  // no streams, nothing to set up

  AddStream(in, AVMEDIA_TYPE_VIDEO, 0, 0, nullptr);
  AddStream(in, AVMEDIA_TYPE_AUDIO, 0, 0, nullptr);
  av_dict_set(&opts, "skip_frame:v", "nokey", 0);
  av_dict_set(&opts, "threads", "3", 0);
  ASSERT_EQ(setup_find_stream_info_opts(in, opts, per_stream), 0);
  ASSERT_NE(per_stream, nullptr);
  EXPECT_EQ(Value(per_stream[0], "skip_frame"), "nokey");
  EXPECT_EQ(Value(per_stream[0], "threads"), "3");
  EXPECT_EQ(av_dict_count(per_stream[0]), 2);
  EXPECT_EQ(Value(per_stream[1], "threads"), "3");
  EXPECT_EQ(av_dict_count(per_stream[1]), 1);  // the video-only key stays away
  for (unsigned i = 0; i < in->nb_streams; i++) av_dict_free(&per_stream[i]);
  av_freep(&per_stream);

  av_dict_set(&opts, "x:v:v", "1", 0);
  EXPECT_EQ(setup_find_stream_info_opts(in, opts, per_stream), AVERROR(EINVAL));
  EXPECT_EQ(per_stream, nullptr);
  avformat_free_context(in);
}

TEST_F(CmdUtilsCodecOpts, RemoveAndCheckAVOptions) {
  av_dict_set(&opts, "b", "1", 0);
  av_dict_set(&opts, "Threads", "2", 0);
  AVDictionary* taken = nullptr;
  av_dict_set(&taken, "b", "", 0);
  av_dict_set(&taken, "threads", "", 0);  // case matters
  remove_avoptions(&opts, taken);
  EXPECT_EQ(av_dict_count(opts), 1);
  EXPECT_EQ(Value(opts, "b"), "<none>");
  EXPECT_EQ(check_avoptions(opts), AVERROR_OPTION_NOT_FOUND);
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL, "Option Threads not found.\n")) << TLogCapture::All();
  av_dict_free(&taken);
  av_dict_free(&opts);
  EXPECT_EQ(check_avoptions(opts), 0);
}

}  // namespace
