// The command-line option machinery against a small option table and the real
// libraries' AVOption classes: single options, per-stream lists, values read from files,
// splitting into groups, routing to the codec, format, swscale and swresample layers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "OptionTestSupport.h"
#include "TempFolder.h"
#include "TestLibraries.h"
#include "platform/Exception.h"
#include "platform/Object.h"
#include "runtime/CmdUtils.h"
#include "runtime/SwScaleStubs.h"

namespace {

using namespace CmdUtils;
using AVUtilStubs::av_dict_count;
using AVUtilStubs::av_dict_get;
using AVUtilStubs::av_dict_set;
using AVUtilStubs::av_freep;

// An options context as the engine has one: the head, then the option targets.
struct TTestOptions {
  TDefaultOptions Head;
  std::int32_t Foo;
  char* Str;
  std::int32_t Num;
  std::int64_t Big;
  float Flt;
  double Dbl;
  std::int64_t Dur;
  std::int32_t InOnly;
  std::int32_t OutOnly;
  TSpecifierOptList Codecs;
  TSpecifierOptList Qscale;
  TSpecifierOptList Meta;
  int Calls;
  char LastOpt[64];
  char LastArg[64];
  bool LastArgNil;
};
static_assert(std::is_standard_layout_v<TTestOptions>);

std::int32_t gAddressTarget = 0;

// Records its call; "bad" fails with ENOSYS.
int RecordHandler(void* o, const char* opt, const char* arg) {
  auto* t = static_cast<TTestOptions*>(o);
  t->Calls++;
  std::snprintf(t->LastOpt, sizeof t->LastOpt, "%s", opt);
  std::snprintf(t->LastArg, sizeof t->LastArg, "%s", arg ? arg : "");
  t->LastArgNil = arg == nullptr;
  return arg && std::strcmp(arg, "bad") == 0 ? AVERROR(ENOSYS) : 0;
}

#define OFF(field) OptOff(offsetof(TTestOptions, field))
constexpr int CPerStream = OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_PERFILE;

const TOptionDef gTable[] = {
    {"foo", OPT_TYPE_BOOL, OPT_FLAG_OFFSET, OFF(Foo), "a switch", nullptr, {}},
    {"s", OPT_TYPE_STRING, OPT_FLAG_OFFSET, OFF(Str), "a text", "text", {}},
    {"n", OPT_TYPE_INT, OPT_FLAG_OFFSET, OFF(Num), "a number", "n", {}},
    {"big", OPT_TYPE_INT64, OPT_FLAG_OFFSET, OFF(Big), "a big number", "n", {}},
    {"f", OPT_TYPE_FLOAT, OPT_FLAG_OFFSET, OFF(Flt), "a float", "x", {}},
    {"d", OPT_TYPE_DOUBLE, OPT_FLAG_OFFSET, OFF(Dbl), "a double", "x", {}},
    {"t", OPT_TYPE_TIME, OPT_FLAG_OFFSET, OFF(Dur), "a duration", "time", {}},
    {"g", OPT_TYPE_INT, 0, OptDst(&gAddressTarget), "an addressed target", "n", {}},
    {"c", OPT_TYPE_STRING, CPerStream | OPT_INPUT | OPT_OUTPUT | OPT_HAS_CANON, OFF(Codecs),
     "codec name", "codec", {.name_canon = "codec"}},
    {"codec", OPT_TYPE_STRING, CPerStream | OPT_INPUT | OPT_OUTPUT, OFF(Codecs), "codec name",
     "codec", {}},
    {"q", OPT_TYPE_DOUBLE, CPerStream | OPT_OUTPUT, OFF(Qscale), "quality", "q", {}},
    {"metadata", OPT_TYPE_STRING, OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_PERFILE | OPT_OUTPUT,
     OFF(Meta), "metadata", "k=v", {}},
    {"ionly", OPT_TYPE_INT, OPT_FLAG_OFFSET | OPT_PERFILE | OPT_INPUT, OFF(InOnly), "input only", "n", {}},
    {"oonly", OPT_TYPE_INT, OPT_FLAG_OFFSET | OPT_PERFILE | OPT_OUTPUT, OFF(OutOnly), "output only", "n", {}},
    {"fn", OPT_TYPE_FUNC, OPT_FUNC_ARG, OptFunc(RecordHandler), "a handler", "x", {}},
    {"h", OPT_TYPE_FUNC, OPT_EXIT, OptFunc(RecordHandler), "help", nullptr, {}},
    {"list", OPT_TYPE_FUNC, OPT_EXIT | OPT_FUNC_ARG, OptFunc(RecordHandler), "list", "what", {}},
    {nullptr, OPT_TYPE_FUNC, 0, {}, nullptr, nullptr, {}},
};
#undef OFF

const auto& gGroups = OptionTestSupport::CGroups;
using OptionTestSupport::FreeSpecList;

class CmdUtilsOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    TestLibraries::RequireFFmpegLibraries();
    Init(o);
    gAddressTarget = 0;
  }
  void TearDown() override { Free(o); }

  static void Init(TTestOptions& AOpts) {
    std::memset(&AOpts, 0, sizeof AOpts);
    AOpts.Head.av_class = get_options_context_class();
  }
  static void Free(TTestOptions& AOpts) {
    av_freep(&AOpts.Str);
    FreeSpecList(AOpts.Codecs);
    FreeSpecList(AOpts.Qscale);
    FreeSpecList(AOpts.Meta);
    uninit_opts(&AOpts);
  }

  int Split(std::vector<const char*> AArgs) {
    return split_commandline(&o, &octx, static_cast<int>(AArgs.size()), AArgs.data(), gTable,
                             gGroups, 2);
  }

  TTestOptions o;
  TOptionParseContext octx{};
  TLogCapture log;
};

// ---- single options ------------------------------------------------------------------

TEST_F(CmdUtilsOptions, EveryTypeReachesItsTarget) {
  struct {
    const char* Opt;
    const char* Arg;
    int Consumed;
    std::function<bool(const TTestOptions&)> Check;
  } const cases[] = {
      {"foo", "ignored", 0, [](const TTestOptions& t) { return t.Foo == 1; }},
      {"nofoo", "ignored", 0, [](const TTestOptions& t) { return t.Foo == 0; }},
      {"s", "hello", 1, [](const TTestOptions& t) { return t.Str && std::string(t.Str) == "hello"; }},
      {"n", "-42", 1, [](const TTestOptions& t) { return t.Num == -42; }},
      {"n", "0x10", 1, [](const TTestOptions& t) { return t.Num == 16; }},
      {"big", "9000000000", 1, [](const TTestOptions& t) { return t.Big == 9000000000LL; }},
      {"big", "2k", 1, [](const TTestOptions& t) { return t.Big == 2000; }},
      {"f", "1.5", 1, [](const TTestOptions& t) { return t.Flt == 1.5f; }},
      {"d", "-0.25", 1, [](const TTestOptions& t) { return t.Dbl == -0.25; }},
      {"t", "1:02.5", 1, [](const TTestOptions& t) { return t.Dur == 62500000; }},
      {"t", "1.5", 1, [](const TTestOptions& t) { return t.Dur == 1500000; }},
      {"g", "7", 1, [](const TTestOptions&) { return gAddressTarget == 7; }},
      {"fn", "x", 1, [](const TTestOptions& t) {
         return t.Calls == 1 && std::string(t.LastOpt) == "fn" && std::string(t.LastArg) == "x";
       }},
      // the prefix "no" before an option that is not Boolean: the option itself, with its argument
      {"nos", "x", 1, [](const TTestOptions& t) { return t.Str && std::string(t.Str) == "x"; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Opt) + " " + c.Arg);
    Free(o);
    Init(o);
    if (std::string(c.Opt) == "nofoo") o.Foo = 5;
    EXPECT_EQ(parse_option(&o, c.Opt, c.Arg, gTable), c.Consumed);
    EXPECT_TRUE(c.Check(o));
  }
}

TEST_F(CmdUtilsOptions, StringOptionReplacesItsOldValue) {
  ASSERT_EQ(parse_option(&o, "s", "one", gTable), 1);
  ASSERT_EQ(parse_option(&o, "s", "two", gTable), 1);
  EXPECT_STREQ(o.Str, "two");  // the first copy was freed (the ASan build checks)
}

TEST_F(CmdUtilsOptions, ErrorsAreReportedWithTheirMessages) {
  struct {
    const char* Opt;
    const char* Arg;
    int Result;
    int Level;
    const char* Message;
  } const cases[] = {
      {"n", "2147483648", AVERROR(EINVAL), AV_LOG_FATAL,
       "The value for n was 2147483648 which is not within -2147483648.000000 - 2147483647.000000"},
      {"n", "-2147483649", AVERROR(EINVAL), AV_LOG_FATAL, "The value for n was -2147483649"},
      {"big", "1.5", AVERROR(EINVAL), AV_LOG_FATAL, "Expected int64 for big but found 1.5"},
      {"n", "2.5", AVERROR(EINVAL), AV_LOG_FATAL, "Expected int64 for n but found 2.5"},
      {"n", "12abc", AVERROR(EINVAL), AV_LOG_FATAL, "Expected number for n but found: 12abc"},
      {"f", "x", AVERROR(EINVAL), AV_LOG_FATAL, "Expected number for f but found: x"},
      {"t", "xyz", AVERROR(EINVAL), AV_LOG_ERROR, "Invalid duration for option t: xyz"},
      {"s", nullptr, AVERROR(EINVAL), AV_LOG_ERROR, "Missing argument for option 's'\n"},
      {"fn", "bad", AVERROR(ENOSYS), AV_LOG_ERROR,
       "Failed to set value 'bad' for option 'fn': Function not implemented\n"},
      // a name that no library knows either: the failed pass-through is the one report
      {"zzz", "1", AVERROR_OPTION_NOT_FOUND, AV_LOG_ERROR,
       "Failed to set value '1' for option 'zzz': Option not found\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Opt) + " " + (c.Arg ? c.Arg : "(nil)"));
    TLogCapture::Clear();
    EXPECT_EQ(parse_option(&o, c.Opt, c.Arg, gTable), c.Result);
    EXPECT_TRUE(TLogCapture::Has(c.Level, c.Message)) << TLogCapture::All();
    EXPECT_EQ(TLogCapture::CountAtMost(AV_LOG_ERROR), 1) << TLogCapture::All();  // one report
  }
  EXPECT_EQ(o.Num, 0);  // nothing was stored by the failures
}

TEST_F(CmdUtilsOptions, ExitOptionAppliesAndStops) {
  EXPECT_EQ(parse_option(&o, "h", nullptr, gTable), AVERROR_EXIT);
  EXPECT_EQ(o.Calls, 1);
  EXPECT_TRUE(o.LastArgNil);
}

TEST_F(CmdUtilsOptions, LargestInt64BoundSaturates) {
  ASSERT_EQ(parse_option(&o, "big", "9223372036854775808", gTable), 1);
  EXPECT_EQ(o.Big, INT64_MAX);
  ASSERT_EQ(parse_option(&o, "big", "-9223372036854775808", gTable), 1);
  EXPECT_EQ(o.Big, INT64_MIN);
}

// ---- per-stream lists ----------------------------------------------------------------

TEST_F(CmdUtilsOptions, SpecifierSuffixFillsThePerStreamList) {
  ASSERT_EQ(parse_option(&o, "c:v", "mpeg4", gTable), 1);
  ASSERT_EQ(parse_option(&o, "c", "copy", gTable), 1);
  ASSERT_EQ(parse_option(&o, "codec:a:1", "aac", gTable), 1);
  ASSERT_EQ(o.Codecs.nb_opt, 3);
  EXPECT_EQ(o.Codecs.type_, OPT_TYPE_STRING);
  EXPECT_STREQ(o.Codecs.opt_canon->name, "codec");  // "c" names "codec" as canonical

  EXPECT_STREQ(o.Codecs.opt[0].specifier, "v");
  EXPECT_STREQ(o.Codecs.opt[0].u.str, "mpeg4");
  EXPECT_EQ(o.Codecs.opt[0].stream_spec.media_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(o.Codecs.opt[0].stream_spec.idx, -1);

  EXPECT_STREQ(o.Codecs.opt[1].specifier, "");
  EXPECT_STREQ(o.Codecs.opt[1].u.str, "copy");
  EXPECT_EQ(o.Codecs.opt[1].stream_spec.media_type, AVMEDIA_TYPE_UNKNOWN);

  EXPECT_STREQ(o.Codecs.opt[2].specifier, "a:1");
  EXPECT_EQ(o.Codecs.opt[2].stream_spec.media_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(o.Codecs.opt[2].stream_spec.idx, 1);

  ASSERT_EQ(parse_option(&o, "q:v", "2.5", gTable), 1);
  EXPECT_EQ(o.Qscale.type_, OPT_TYPE_DOUBLE);
  EXPECT_EQ(o.Qscale.opt[0].u.dbl, 2.5);
  EXPECT_EQ(o.Qscale.opt_canon, &gTable[10]);

  // A specifier that is not a stream specifier is kept as text only.
  ASSERT_EQ(parse_option(&o, "metadata:s:a:0", "language=eng", gTable), 1);
  EXPECT_STREQ(o.Meta.opt[0].specifier, "s:a:0");
  EXPECT_EQ(o.Meta.opt[0].stream_spec.media_type, 0);
}

TEST_F(CmdUtilsOptions, BadStreamSpecifierFailsTheOption) {
  EXPECT_EQ(parse_option(&o, "c:v:a", "x", gTable), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "Stream type specified multiple times")) << TLogCapture::All();
}

// ---- values from files ---------------------------------------------------------------

class TTempFile {
 public:
  explicit TTempFile(const std::string& AContent) {
    FName = TempFolder::PathOf("cmdutils_XXXXXX");
    const int fd = mkstemp(FName.data());
    if (fd >= 0) {
      if (!AContent.empty()) {
        EXPECT_EQ(write(fd, AContent.data(), AContent.size()), ssize_t(AContent.size()));
      }
      close(fd);
    }
  }
  ~TTempFile() { unlink(FName.c_str()); }
  const char* Name() const { return FName.c_str(); }

 private:
  std::string FName;
};

TEST_F(CmdUtilsOptions, SlashPrefixReadsTheValueFromAFile) {
  TTempFile file("text from a file");
  ASSERT_EQ(parse_option(&o, "/s", file.Name(), gTable), 1);
  EXPECT_STREQ(o.Str, "text from a file");

  TTempFile number("123");
  ASSERT_EQ(parse_option(&o, "/n", number.Name(), gTable), 1);
  EXPECT_EQ(o.Num, 123);

  // through the splitter and the group parser as well, with a stream suffix
  ASSERT_EQ(Split({"-/c:v", file.Name(), "out.mp4"}), 0);
  TTestOptions out;
  Init(out);
  ASSERT_EQ(parse_optgroup(&out, &octx.groups[0].groups[0], gTable), 0);
  ASSERT_EQ(out.Codecs.nb_opt, 1);
  EXPECT_STREQ(out.Codecs.opt[0].specifier, "v");
  EXPECT_STREQ(out.Codecs.opt[0].u.str, "text from a file");
  Free(out);
  uninit_parse_context(&o, &octx);
}

TEST_F(CmdUtilsOptions, SlashPrefixFailures) {
  TTempFile file("1");
  EXPECT_EQ(parse_option(&o, "/foo", file.Name(), gTable), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL,
                               "Requested to load an argument from file for an option 'foo' which does not take an argument\n"))
      << TLogCapture::All();
  EXPECT_EQ(o.Foo, 0);

  TLogCapture::Clear();
  EXPECT_EQ(parse_option(&o, "/s", "/nonexistent/value.txt", gTable), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "Error opening file /nonexistent/value.txt.\n"));
  EXPECT_TRUE(TLogCapture::Has(
      AV_LOG_FATAL, "Error reading the value for option 's' from file: /nonexistent/value.txt\n"));
  EXPECT_EQ(o.Str, nullptr);
}

// ---- splitting -----------------------------------------------------------------------

TEST_F(CmdUtilsOptions, SplitSortsOptionsIntoGlobalAndFileGroups) {
  ASSERT_EQ(Split({"-foo", "-n", "3", "-ionly", "1", "-i", "in.mkv", "-c:v", "mpeg4", "-b:v", "1M",
                   "-oonly", "2", "out.mp4"}),
            0)
      << TLogCapture::All();
  ASSERT_EQ(octx.nb_groups, 2);
  EXPECT_EQ(octx.global_opts.group_def, &CGlobalGroupDef);
  EXPECT_STREQ(octx.global_opts.arg, "");
  ASSERT_EQ(octx.global_opts.nb_opts, 2);
  EXPECT_STREQ(octx.global_opts.opts[0].key, "foo");
  EXPECT_STREQ(octx.global_opts.opts[0].val, "1");
  EXPECT_STREQ(octx.global_opts.opts[1].key, "n");
  EXPECT_STREQ(octx.global_opts.opts[1].val, "3");

  const TOptionGroupList& inputs = octx.groups[1];
  ASSERT_EQ(inputs.nb_groups, 1);
  EXPECT_STREQ(inputs.groups[0].arg, "in.mkv");
  ASSERT_EQ(inputs.groups[0].nb_opts, 1);
  EXPECT_STREQ(inputs.groups[0].opts[0].key, "ionly");
  EXPECT_EQ(inputs.groups[0].codec_opts, nullptr);

  const TOptionGroupList& outputs = octx.groups[0];
  ASSERT_EQ(outputs.nb_groups, 1);
  const TOptionGroup& out = outputs.groups[0];
  EXPECT_EQ(out.group_def, &gGroups[0]);
  EXPECT_STREQ(out.arg, "out.mp4");
  ASSERT_EQ(out.nb_opts, 2);
  EXPECT_STREQ(out.opts[0].key, "c:v");
  EXPECT_STREQ(out.opts[0].val, "mpeg4");
  EXPECT_STREQ(out.opts[1].key, "oonly");
  // The codec AVOption given before the output belongs to it, with its suffix.
  const AVDictionaryEntry* b = av_dict_get(out.codec_opts, "b:v", nullptr, 0);
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(b->value, "1M");
  EXPECT_EQ(o.Head.def_opts.codec_opts, nullptr);
  EXPECT_FALSE(TLogCapture::HasText("Trailing option(s)"));

  // Each group applied to its own context.
  ASSERT_EQ(parse_optgroup(&o, &octx.global_opts, gTable), 0);
  EXPECT_EQ(o.Foo, 1);
  EXPECT_EQ(o.Num, 3);
  TTestOptions in, outctx;
  Init(in);
  Init(outctx);
  EXPECT_EQ(parse_optgroup(&in, &inputs.groups[0], gTable), 0);
  EXPECT_EQ(in.InOnly, 1);
  EXPECT_EQ(parse_optgroup(&outctx, &out, gTable), 0);
  EXPECT_EQ(outctx.OutOnly, 2);
  ASSERT_EQ(outctx.Codecs.nb_opt, 1);
  EXPECT_STREQ(outctx.Codecs.opt[0].u.str, "mpeg4");
  Free(in);
  Free(outctx);
  uninit_parse_context(&o, &octx);
  EXPECT_EQ(octx.groups, nullptr);
}

TEST_F(CmdUtilsOptions, AVOptionsAreRoutedToTheirLayers) {
  ASSERT_EQ(Split({"-strict", "experimental", "-sws_flags", "lanczos", "-dither_method",
                   "triangular", "-probesize", "5000", "out.mp4"}),
            0)
      << TLogCapture::All();
  const TOptionGroup& g = octx.groups[0].groups[0];
  // "strict" is known to the codec and the format layer: both get it.
  EXPECT_NE(av_dict_get(g.codec_opts, "strict", nullptr, 0), nullptr);
  EXPECT_NE(av_dict_get(g.format_opts, "strict", nullptr, 0), nullptr);
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_VERBOSE,
                               "Routing option 'strict' to both codec and muxer layer\n"));
  bool logged_with_ctx = false;  // the context names the owner in the log line
  for (const TLogCapture::TLine& l : TLogCapture::Snapshot())
    if (l.Ctx == &o && l.Level == AV_LOG_VERBOSE) logged_with_ctx = true;
  EXPECT_TRUE(logged_with_ctx);
  EXPECT_NE(av_dict_get(g.format_opts, "probesize", nullptr, 0), nullptr);
  EXPECT_EQ(av_dict_get(g.codec_opts, "probesize", nullptr, 0), nullptr);
  const AVDictionaryEntry* sws = av_dict_get(g.sws_dict, "sws_flags", nullptr, 0);
  ASSERT_NE(sws, nullptr);
  EXPECT_STREQ(sws->value, "lanczos");
  EXPECT_NE(av_dict_get(g.swr_opts, "dither_method", nullptr, 0), nullptr);
  EXPECT_EQ(av_dict_count(g.sws_dict), 1);
  // the evaluated swscale flags stay with the context
  EXPECT_EQ(o.Head.def_opts.sws_flags, SWS_LANCZOS);
  EXPECT_EQ(FetchSwsFlags(&o), SWS_LANCZOS);
  uninit_parse_context(&o, &octx);
  EXPECT_EQ(o.Head.def_opts.sws_flags, 0);
  EXPECT_EQ(FetchSwsFlags(&o), SWS_BICUBIC);
}

TEST_F(CmdUtilsOptions, FlagsWithSignAppendInTheDictionary) {
  ASSERT_EQ(opt_default(&o, "flags", "+global_header"), 0);
  ASSERT_EQ(opt_default(&o, "flags", "+bitexact"), 0);
  const AVDictionaryEntry* e = av_dict_get(o.Head.def_opts.codec_opts, "flags", nullptr, 0);
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->value, "+global_header+bitexact");
}

TEST_F(CmdUtilsOptions, SwscaleFlagsFetchedFromTheDictionary) {
  ASSERT_EQ(av_dict_set(&o.Head.def_opts.sws_dict, "sws_flags", "neighbor+accurate_rnd", 0), 0);
  EXPECT_EQ(FetchSwsFlags(&o), SWS_POINT | SWS_ACCURATE_RND);
  EXPECT_EQ(o.Head.def_opts.sws_flags, SWS_POINT | SWS_ACCURATE_RND);

  uninit_opts(&o);
  ASSERT_EQ(av_dict_set(&o.Head.def_opts.sws_dict, "sws_flags", "nonsense", 0), 0);
  EXPECT_LT(FetchSwsFlags(&o), 0);
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "av_opt_eval_flags() failed\n"));
}

TEST_F(CmdUtilsOptions, SwscaleDimensionOptionsAreRefused) {
  for (const char* name : {"srcw", "srch", "dstw", "dsth", "src_format", "dst_format"}) {
    SCOPED_TRACE(name);
    TLogCapture::Clear();
    const std::string opt = std::string("-") + name;
    EXPECT_EQ(Split({opt.c_str(), "100", "out.mp4"}), AVERROR(EINVAL));
    EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR,
                                 "Directly using swscale dimensions/format options is not supported, please use the -s or -pix_fmt options"))
        << TLogCapture::All();
    EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR,
                                 "Error parsing option '" + std::string(name) + "' with argument '100'.\n"));
    uninit_parse_context(&o, &octx);
  }
}

TEST_F(CmdUtilsOptions, DoubleDashTakesTheNextItemAsAFileName) {
  ASSERT_EQ(Split({"--", "-odd.mp4", "-foo", "last.mp4"}), 0) << TLogCapture::All();
  ASSERT_EQ(octx.groups[0].nb_groups, 2);
  EXPECT_STREQ(octx.groups[0].groups[0].arg, "-odd.mp4");
  EXPECT_STREQ(octx.groups[0].groups[1].arg, "last.mp4");
  ASSERT_EQ(octx.global_opts.nb_opts, 1);  // the item after the file is an option again
  EXPECT_STREQ(octx.global_opts.opts[0].key, "foo");
  uninit_parse_context(&o, &octx);
}

TEST_F(CmdUtilsOptions, TrailingOptionsWarnButSucceed) {
  ASSERT_EQ(Split({"out.mp4", "-oonly", "1"}), 0);
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_WARNING,
                               "Trailing option(s) found in the command: may be ignored.\n"));
  uninit_parse_context(&o, &octx);

  TLogCapture::Clear();
  ASSERT_EQ(Split({"out.mp4", "-b:v", "1M"}), 0);
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_WARNING, "Trailing option(s)"));
  // what is left stays with the context until uninit_opts
  EXPECT_NE(av_dict_get(o.Head.def_opts.codec_opts, "b:v", nullptr, 0), nullptr);
  uninit_parse_context(&o, &octx);
  EXPECT_EQ(o.Head.def_opts.codec_opts, nullptr);
}

TEST_F(CmdUtilsOptions, BooleanPrefixNoWhileSplitting) {
  ASSERT_EQ(Split({"-nofoo", "out.mp4"}), 0);
  ASSERT_EQ(octx.global_opts.nb_opts, 1);
  EXPECT_STREQ(octx.global_opts.opts[0].key, "nofoo");
  EXPECT_STREQ(octx.global_opts.opts[0].val, "0");
  o.Foo = 9;
  ASSERT_EQ(parse_optgroup(&o, &octx.global_opts, gTable), 0);
  EXPECT_EQ(o.Foo, 0);
  uninit_parse_context(&o, &octx);

  // "no" before an option that is not Boolean falls through to the AVOption layers
  TLogCapture::Clear();
  EXPECT_EQ(Split({"-nos", "x", "out.mp4"}), AVERROR_OPTION_NOT_FOUND);
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "Unrecognized option 'nos'\n")) << TLogCapture::All();
  uninit_parse_context(&o, &octx);
}

TEST_F(CmdUtilsOptions, ExitOptionAsLastItemGetsNoArgument) {
  ASSERT_EQ(Split({"out.mp4", "-list"}), 0);
  ASSERT_EQ(octx.global_opts.nb_opts, 1);
  EXPECT_EQ(octx.global_opts.opts[0].val, nullptr);
  EXPECT_EQ(parse_optgroup(&o, &octx.global_opts, gTable), AVERROR_EXIT);
  EXPECT_EQ(o.Calls, 1);
  EXPECT_TRUE(o.LastArgNil);
  uninit_parse_context(&o, &octx);

  ASSERT_EQ(Split({"-list", "codecs", "out.mp4"}), 0);
  EXPECT_STREQ(octx.global_opts.opts[0].val, "codecs");
  ASSERT_EQ(octx.groups[0].nb_groups, 1);
  uninit_parse_context(&o, &octx);

  // "/" before an exit option without argument: nothing to read
  ASSERT_EQ(Split({"-/list"}), 0);
  EXPECT_EQ(parse_optgroup(&o, &octx.global_opts, gTable), AVERROR(EINVAL));
  uninit_parse_context(&o, &octx);
}

TEST_F(CmdUtilsOptions, SplitFailures) {
  struct {
    std::vector<const char*> Args;
    int Result;
    const char* Message;
  } const cases[] = {
      {{"-n"}, AVERROR(EINVAL), "Missing argument for option 'n'\n"},
      {{"in.mkv", "-i"}, AVERROR(EINVAL), "Missing argument for option 'i'\n"},
      {{"-zzz", "1", "out.mp4"}, AVERROR_OPTION_NOT_FOUND, "Unrecognized option 'zzz'\n"},
      {{"-zzz"}, AVERROR_OPTION_NOT_FOUND, "Unrecognized option 'zzz'\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Message);
    TLogCapture::Clear();
    EXPECT_EQ(Split(c.Args), c.Result);
    EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, c.Message)) << TLogCapture::All();
    uninit_parse_context(&o, &octx);
  }
}

TEST_F(CmdUtilsOptions, OptionOfTheWrongFileKindIsRefused) {
  ASSERT_EQ(Split({"-oonly", "1", "-i", "in.mkv", "out.mp4"}), 0);
  EXPECT_EQ(parse_optgroup(&o, &octx.groups[1].groups[0], gTable), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::Has(
      AV_LOG_ERROR,
      "Option oonly (output only) cannot be applied to input url in.mkv -- you are trying to "
      "apply an input option to an output file or vice versa. Move this option before the "
      "file it belongs to."))
      << TLogCapture::All();
  uninit_parse_context(&o, &octx);
}

TEST_F(CmdUtilsOptions, ParseOptionsWalksAVector) {
  struct TArgs {
    static int Collect(void* ctx, const char* text) {
      auto* t = static_cast<TTestOptions*>(ctx);
      t->Calls++;
      std::snprintf(t->LastArg, sizeof t->LastArg, "%s", text);
      return std::strcmp(text, "stop") == 0 ? -5 : 0;
    }
  };
  const char* args[] = {"-n", "4", "file", "-foo", "--", "-s"};
  EXPECT_EQ(parse_options(&o, 6, args, gTable, TArgs::Collect), 0);
  EXPECT_EQ(o.Num, 4);
  EXPECT_EQ(o.Foo, 1);
  EXPECT_EQ(o.Calls, 2);
  EXPECT_STREQ(o.LastArg, "-s");  // after "--" everything is an argument

  const char* stop[] = {"stop", "-n", "5"};
  EXPECT_EQ(parse_options(&o, 3, stop, gTable, TArgs::Collect), -5);
  EXPECT_EQ(o.Num, 4);

  const char* bare[] = {"-n", "6", "file"};
  TLogCapture::Clear();
  EXPECT_EQ(parse_options(&o, 3, bare, gTable, nullptr), AVERROR(EINVAL));
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "Invalid option 'file' found\n"));
  EXPECT_EQ(o.Num, 6);

  const char* missing[] = {"-n"};
  EXPECT_EQ(parse_options(&o, 1, missing, gTable, nullptr), AVERROR(EINVAL));
}

TEST(CmdUtilsLocate, FindsTheItemThatNamesTheOption) {
  struct {
    std::vector<const char*> Args;
    const char* Name;
    int Index;
  } const cases[] = {
      {{"-s", "-n", "-n", "5"}, "n", 2},       // the first "-n" is the argument of -s
      {{"-nofoo"}, "foo", 0},                  // found through its "no" form
      {{"-zzz", "-n", "-n", "1"}, "n", 2},     // an unknown option is taken to have an argument
      {{"-zzz", "1"}, "zzz", 0},               // an unknown option matches by its text
      {{"-", "n", "-foo", "-n", "1"}, "n", 3},
      {{"-foo", "-s", "x"}, "n", -1},
      {{"-c:v", "x", "-codec", "y"}, "codec", 2},  // the entry's own name must equal
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(locate_option(static_cast<int>(c.Args.size()), c.Args.data(), gTable, c.Name), c.Index);
  }
}

TEST(CmdUtilsCheck, MalformedTablesFailTheConsistencyCheck) {
  const TOptionDef end = {nullptr, OPT_TYPE_FUNC, 0, {}, nullptr, nullptr, {}};
  const TOptionDef bad[][2] = {
      {{"a", OPT_TYPE_INT, OPT_PERFILE, OptOff(0), "", nullptr, {}}, end},
      {{"b", OPT_TYPE_FUNC, OPT_FLAG_OFFSET, OptFunc(RecordHandler), "", nullptr, {}}, end},
      {{"c", OPT_TYPE_FUNC, OPT_FLAG_SPEC, OptFunc(RecordHandler), "", nullptr, {}}, end},
      {{"d", OPT_TYPE_INT, OPT_FUNC_ARG, OptOff(0), "", nullptr, {}}, end},
  };
  for (const auto& table : bad) {
    SCOPED_TRACE(table[0].name);
    EXPECT_THROW(check_options(table), Platform::EAssertionFailed);
  }
  EXPECT_NO_THROW(check_options(gTable));
}

// ---- the options-context class ---------------------------------------------------------

class TTestOwner : public Platform::TObject {};
class TTestPlayer : public Platform::TComponent {};

TEST(CmdUtilsContextClass, NamesTheOwner) {
  const AVClass* c = get_options_context_class();
  EXPECT_STREQ(c->class_name, "LantorObject");
  EXPECT_EQ(c->option, nullptr);
  TDefaultOptions ctx{};
  ctx.av_class = c;
  EXPECT_STREQ(c->item_name(&ctx), "NULL");
  TTestOwner owner;
  ctx.Owner = &owner;
  EXPECT_STREQ(c->item_name(&ctx), "TTestOwner");
  TTestPlayer player;
  player.SetName("Player1");
  ctx.Owner = &player;
  EXPECT_STREQ(c->item_name(&ctx), "TTestPlayer.Player1");
}

// ---- independent contexts on several threads -------------------------------------------

TEST_F(CmdUtilsOptions, ContextsParseAtTheSameTimeOnSeveralThreads) {
  auto worker = [](int AId, int* AFailures) {
    const std::string n = std::to_string(AId);
    const std::string file = "out" + n + ".mp4";
    for (int round = 0; round < 100; round++) {
      TTestOptions ctx;
      Init(ctx);
      TOptionParseContext pc{};
      const char* args[] = {"-n", n.c_str(), "-b:v", "1M", "-sws_flags", "bilinear", "-c:a", "aac", file.c_str()};
      int ret = split_commandline(&ctx, &pc, 9, args, gTable, gGroups, 2);
      if (ret == 0) ret = parse_optgroup(&ctx, &pc.global_opts, gTable);
      TTestOptions out;
      Init(out);
      if (ret == 0) ret = parse_optgroup(&out, &pc.groups[0].groups[0], gTable);
      if (ret != 0 || ctx.Num != AId || pc.groups[0].nb_groups != 1 ||
          std::strcmp(pc.groups[0].groups[0].arg, file.c_str()) != 0 ||
          !av_dict_get(pc.groups[0].groups[0].codec_opts, "b:v", nullptr, 0) ||
          out.Codecs.nb_opt != 1 || ctx.Head.def_opts.sws_flags != SWS_BILINEAR)
        ++*AFailures;
      Free(out);
      uninit_parse_context(&ctx, &pc);
      Free(ctx);
    }
  };
  int failures[4] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; i++) threads.emplace_back(worker, i + 1, &failures[i]);
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 4; i++) EXPECT_EQ(failures[i], 0) << "thread " << i;
}

}  // namespace
