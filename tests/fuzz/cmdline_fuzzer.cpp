// libFuzzer target: random argument vectors through split_commandline and
// parse_optgroup against an option table with every option type, per-stream lists,
// handlers, exit options and input/output options, with the real libraries' AVOption
// classes behind the fall-back. Every result must be 0 or a negative code, every
// message must format, and everything allocated must be freed again (the leak check of
// the address sanitizer).
//
// Input: the argument items separated by zero bytes.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "OptionTestSupport.h"
#include "TestLibraries.h"
#include "runtime/CmdUtils.h"

namespace {

using namespace CmdUtils;
using AVUtilStubs::av_freep;

struct TFuzzOptions {
  TDefaultOptions Head;
  std::int32_t Flag;
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
  TSpecifierOptList Frames;
  char Last[32];
};

int Handler(void* o, const char*, const char* arg) {
  auto* t = static_cast<TFuzzOptions*>(o);
  std::snprintf(t->Last, sizeof t->Last, "%s", arg ? arg : "");
  return arg && arg[0] == 'x' ? AVERROR(EINVAL) : 0;
}

#define OFF(field) OptOff(offsetof(TFuzzOptions, field))
constexpr int CPerStream = OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_FLAG_PERSTREAM | OPT_PERFILE;

const TOptionDef gTable[] = {
    {"y", OPT_TYPE_BOOL, OPT_FLAG_OFFSET, OFF(Flag), "switch", nullptr, {}},
    {"s", OPT_TYPE_STRING, OPT_FLAG_OFFSET, OFF(Str), "text", "t", {}},
    {"n", OPT_TYPE_INT, OPT_FLAG_OFFSET, OFF(Num), "int", "n", {}},
    {"big", OPT_TYPE_INT64, OPT_FLAG_OFFSET, OFF(Big), "int64", "n", {}},
    {"f", OPT_TYPE_FLOAT, OPT_FLAG_OFFSET, OFF(Flt), "float", "x", {}},
    {"d", OPT_TYPE_DOUBLE, OPT_FLAG_OFFSET, OFF(Dbl), "double", "x", {}},
    {"t", OPT_TYPE_TIME, OPT_FLAG_OFFSET | OPT_PERFILE | OPT_INPUT | OPT_OUTPUT, OFF(Dur), "time", "t", {}},
    {"c", OPT_TYPE_STRING, CPerStream | OPT_INPUT | OPT_OUTPUT | OPT_HAS_CANON, OFF(Codecs), "codec",
     "c", {.name_canon = "codec"}},
    {"codec", OPT_TYPE_STRING, CPerStream | OPT_INPUT | OPT_OUTPUT, OFF(Codecs), "codec", "c", {}},
    {"q", OPT_TYPE_DOUBLE, CPerStream | OPT_OUTPUT, OFF(Qscale), "quality", "q", {}},
    {"frames", OPT_TYPE_INT64, CPerStream | OPT_OUTPUT, OFF(Frames), "frames", "n", {}},
    {"metadata", OPT_TYPE_STRING, OPT_FLAG_OFFSET | OPT_FLAG_SPEC | OPT_PERFILE | OPT_OUTPUT, OFF(Meta),
     "metadata", "k=v", {}},
    {"ionly", OPT_TYPE_INT, OPT_FLAG_OFFSET | OPT_PERFILE | OPT_INPUT, OFF(InOnly), "in", "n", {}},
    {"oonly", OPT_TYPE_INT, OPT_FLAG_OFFSET | OPT_PERFILE | OPT_OUTPUT, OFF(OutOnly), "out", "n", {}},
    {"fn", OPT_TYPE_FUNC, OPT_FUNC_ARG, OptFunc(Handler), "handler", "x", {}},
    {"h", OPT_TYPE_FUNC, OPT_EXIT, OptFunc(Handler), "help", nullptr, {}},
    {"list", OPT_TYPE_FUNC, OPT_EXIT | OPT_FUNC_ARG, OptFunc(Handler), "list", "what", {}},
    {nullptr, OPT_TYPE_FUNC, 0, {}, nullptr, nullptr, {}},
};
#undef OFF

const auto& gGroups = OptionTestSupport::CGroups;
using OptionTestSupport::FreeSpecList;

void Init(TFuzzOptions& AOpts) {
  std::memset(&AOpts, 0, sizeof AOpts);
  AOpts.Head.av_class = get_options_context_class();
}

void Free(TFuzzOptions& AOpts) {
  av_freep(&AOpts.Str);
  // A string list whose last element failed may hold strings without its type set yet.
  for (TSpecifierOptList* l : {&AOpts.Codecs, &AOpts.Meta}) l->type_ = OPT_TYPE_STRING;
  FreeSpecList(AOpts.Codecs);
  FreeSpecList(AOpts.Qscale);
  FreeSpecList(AOpts.Meta);
  FreeSpecList(AOpts.Frames);
  uninit_opts(&AOpts);
}

void Fail(const char* AWhat, int ACode) {
  std::fprintf(stderr, "cmdline_fuzzer: %s returned %d\n", AWhat, ACode);
  std::abort();
}

// Every message is formatted (so bad arguments show up), nothing is printed.
void QuietLog(void*, int, const char* AFormat, va_list AArgs) {
  char buf[2048];
  std::vsnprintf(buf, sizeof buf, AFormat, AArgs);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TestLibraries::RequireFFmpegLibraries();
  AVUtilStubs::av_log_set_callback(QuietLog);
  AVUtilStubs::av_log_set_level(AV_LOG_TRACE);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  if (ASize > 4096) return 0;
  // The items; a value that may be read as a file is kept to a plain name in the current
  // folder, so that no protocol (a pipe, the network) and no device is opened.
  std::vector<std::string> items;
  std::string cur;
  for (std::size_t i = 0; i < ASize; i++) {
    if (AData[i] == 0) {
      items.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(AData[i]);
    }
  }
  items.push_back(cur);
  if (items.size() > 64) return 0;
  for (std::size_t i = 1; i < items.size(); i++)
    if (items[i - 1].find('/') != std::string::npos)
      for (char& c : items[i])
        if (c == ':' || c == '|' || c == '/') c = '_';
  std::vector<const char*> argv;
  for (const std::string& s : items) argv.push_back(s.c_str());

  TFuzzOptions global;
  Init(global);
  TOptionParseContext octx{};
  int ret = split_commandline(&global, &octx, static_cast<int>(argv.size()), argv.data(), gTable,
                              gGroups, 2);
  if (ret > 0) Fail("split_commandline", ret);
  if (ret == 0) {
    ret = parse_optgroup(&global, &octx.global_opts, gTable);
    if (ret > 0) Fail("parse_optgroup", ret);
    for (int k = 0; k < octx.nb_groups; k++)
      for (int g = 0; g < octx.groups[k].nb_groups; g++) {
        TFuzzOptions file;
        Init(file);
        ret = parse_optgroup(&file, &octx.groups[k].groups[g], gTable);
        if (ret > 0) Fail("parse_optgroup", ret);
        (void)FetchSwsFlags(&file);
        Free(file);
      }
    (void)FetchSwsFlags(&global);
  }
  uninit_parse_context(&global, &octx);
  Free(global);

  // The single-option form on the first two items.
  TFuzzOptions single;
  Init(single);
  if (!items.empty() && !items[0].empty()) {
    ret = parse_option(&single, argv[0], argv.size() > 1 ? argv[1] : nullptr, gTable);
    if (ret > 1) Fail("parse_option", ret);
  }
  Free(single);
  return 0;
}
