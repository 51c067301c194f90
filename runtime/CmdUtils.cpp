#include "runtime/CmdUtils.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <string>

#include "platform/Format.h"
#include "runtime/FFLoad.h"
#include "runtime/FFUTF8.h"
#include "runtime/FFUtils.h"
#include "runtime/MyUtils.h"
#include "runtime/OptCommon.h"
#include "runtime/SwResampleStubs.h"
#include "runtime/SwScaleStubs.h"

namespace CmdUtils {

using AVCodecStubs::avcodec_get_class;
using AVCodecStubs::av_packet_side_data_get;
using AVFormatStubs::av_stream_get_class;
using AVFormatStubs::avformat_get_class;
using AVFormatStubs::avio_closep;
using AVFormatStubs::avio_open2;
using AVFormatStubs::avio_read_to_bprint;
using AVUtilStubs::av_bprint_finalize;
using AVUtilStubs::av_bprint_init;
using AVUtilStubs::av_calloc;
using AVUtilStubs::av_dict_free;
using AVUtilStubs::av_dict_get;
using AVUtilStubs::av_dict_iterate;
using AVUtilStubs::av_dict_set;
using AVUtilStubs::av_display_rotation_get;
using AVUtilStubs::av_dynarray_add_nofree;
using AVUtilStubs::av_free;
using AVUtilStubs::av_freep;
using AVUtilStubs::av_get_media_type_string;
using AVUtilStubs::av_get_token;
using AVUtilStubs::av_log;
using AVUtilStubs::av_mallocz;
using AVUtilStubs::av_opt_eval_flags;
using AVUtilStubs::av_opt_find;
using AVUtilStubs::av_parse_time;
using AVUtilStubs::av_realloc_array;
using AVUtilStubs::av_strdup;
using AVUtilStubs::av_strerror;
using AVUtilStubs::av_strndup;
using AVUtilStubs::av_strtod;
using SwResampleStubs::swr_get_class;
using SwScaleStubs::sws_get_class;

std::string Gcatch_log_callback_help;

const TOptionGroupDef CGlobalGroupDef = {"global", nullptr, 0};

namespace {

constexpr const char* CUnit = "CmdUtils";

// Fixed line numbers of the consistency checks.
constexpr int CLinePerFileWithoutTarget = 412;
constexpr int CLineHandlerWithOffsetOrSpec = 413;
constexpr int CLineArgFlagWithoutHandler = 414;
constexpr int CLineHandlerMissing = 463;
constexpr int CLineNoOptionsContext = 651;

void SetDebugLogLevel() {
  if (FFLoad::VEDovedo) FFLoad::VEDovedo->SetLogLevel(FFLoad::llDebug);
}

// printf's view of a C string that may be nullptr.
const char* S(const char* AText) { return AText ? AText : "(null)"; }

TDefaultOptions* Head(void* ctx) { return static_cast<TDefaultOptions*>(ctx); }

// Appends one zeroed element to an array that the command-line parser fills one entry at a
// time (a group's options, the groups of a kind, the values of a per-stream option) and
// that nothing else grows or sizes. Such an array always holds room for the smallest power
// of two of elements not below ACount, so appending N entries copies fewer than 2N of them
// in all: growing by exactly one element copied the whole array for every entry, and a
// command line of tens of thousands of options took minutes to split. 0; AVERROR(ERANGE)
// or AVERROR(ENOMEM) with the array untouched.
template <class T>
int AppendElement(T*& AArray, int& ACount) {
  constexpr int CSize = static_cast<int>(sizeof(T));
  if (ACount >= INT_MAX / CSize - 1) {
    av_log(nullptr, AV_LOG_ERROR, "Array too big.\n");
    return AVERROR(ERANGE);
  }
  if ((ACount & (ACount - 1)) == 0) {  // 0 or a power of two: the array is full
    const int capacity = ACount <= (INT_MAX / CSize - 1) / 2 ? std::max(1, 2 * ACount) : ACount + 1;
    auto* tmp = static_cast<T*>(av_realloc_array(AArray, capacity, CSize));
    if (!tmp) return AVERROR(ENOMEM);
    AArray = tmp;
  }
  std::memset(static_cast<void*>(&AArray[ACount]), 0, CSize);
  ACount++;
  return 0;
}

bool StartsWith(const char* AText, const char* APrefix, const char** ARest) {
  const std::size_t n = std::strlen(APrefix);
  if (std::strncmp(AText, APrefix, n) != 0) return false;
  if (ARest) *ARest = AText + n;
  return true;
}

// An AVOption counts only when it has flags (the named constants of a unit have none).
const AVOption* FindAVOption(const AVClass* const* AClass, const char* AName, int ASearchFlags) {
  const AVOption* o = av_opt_find(const_cast<const AVClass**>(AClass), AName, nullptr, 0, ASearchFlags);
  return o && o->flags ? o : nullptr;
}

// The pass-through entry: options missing from a table go to the AVOption layers.
const TOptionDef CPassThrough = {
    "AVOption passthrough", OPT_TYPE_FUNC, OPT_FUNC_ARG, OptFunc(opt_default), nullptr, nullptr, {}};

// ---- options-context class ----

const char* OptionsContextItemName(void* ctx) {
  const TDefaultOptions* o = Head(ctx);
  if (!o->Owner) return "NULL";
  thread_local std::string name;
  if (const auto* c = dynamic_cast<const Platform::TComponent*>(o->Owner))
    name = Platform::Format("%s.%s", c->ClassName().c_str(), c->Name().c_str());
  else
    name = o->Owner->ClassName();
  return name.c_str();
}

const AVClass COptionsContextClass = [] {
  AVClass c{};
  c.class_name = "LantorObject";
  c.item_name = OptionsContextItemName;
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}();

}  // namespace

const AVClass* get_options_context_class() { return &COptionsContextClass; }

// ---- single options ---------------------------------------------------------------------

int parse_number(void* ctx, const char* AContext, const char* ANumStr, TOptionType ADataType,
                 double AMin, double AMax, double& ADst) {
  char* tail = nullptr;
  const double d = av_strtod(ANumStr, &tail);
  if (*tail)
    av_log(ctx, AV_LOG_FATAL, "Expected number for %s but found: %s", S(AContext), S(ANumStr));
  else if (d < AMin || d > AMax)
    av_log(ctx, AV_LOG_FATAL, "The value for %s was %s which is not within %f - %f",
           S(AContext), S(ANumStr), AMin, AMax);
  else if (ADataType == OPT_TYPE_INT64 && d != std::trunc(d))
    av_log(ctx, AV_LOG_FATAL, "Expected int64 for %s but found %s", S(AContext), S(ANumStr));
  else if (ADataType == OPT_TYPE_INT && d != std::trunc(d))
    av_log(ctx, AV_LOG_FATAL, "Expected int for %s but found %s", S(AContext), S(ANumStr));
  else {
    ADst = d;
    return 0;
  }
  return AVERROR(EINVAL);
}

POptionDef find_option(POptionDef ATable, const char* AName) {
  if (*AName == '/') AName++;
  for (; ATable->name; ATable++) {
    const char* end;
    if (StartsWith(AName, ATable->name, &end) && (!*end || *end == ':')) break;
  }
  return ATable;
}

bool opt_has_arg(POptionDef AEntry) {
  if (AEntry->type_ == OPT_TYPE_BOOL) return false;
  if (AEntry->type_ == OPT_TYPE_FUNC) return (AEntry->flags & OPT_FUNC_ARG) != 0;
  return true;
}

int write_option(void* ctx, POptionDef AEntry, const char* opt, const char* arg,
                 POptionDef ATable) {
  void* dst = (AEntry->flags & OPT_FLAG_OFFSET)
                  ? static_cast<void*>(static_cast<std::uint8_t*>(ctx) + AEntry->u.off)
                  : AEntry->u.dst_ptr;
  char* arg_allocated = nullptr;
  TSpecifierOptList* sol = nullptr;
  TOptionType so_type = AEntry->type_;
  double num = 0;
  int ret = 0;

  if (*opt == '/') {
    opt++;
    if (!opt_has_arg(AEntry)) {
      av_log(nullptr, AV_LOG_FATAL,
             "Requested to load an argument from file for an option '%s' which does not take an argument\n",
             AEntry->name);
      return AVERROR(EINVAL);
    }
    if (!arg) {
      av_log(ctx, AV_LOG_ERROR, "Missing argument for option '%s'\n", opt);
      return AVERROR(EINVAL);
    }
    arg_allocated = file_read(arg);
    if (!arg_allocated) {
      av_log(nullptr, AV_LOG_FATAL, "Error reading the value for option '%s' from file: %s\n",
             opt, arg);
      return AVERROR(EINVAL);
    }
    arg = arg_allocated;
  }
  // Every value type needs its text: only handlers may see none.
  if (AEntry->type_ != OPT_TYPE_FUNC && !arg) {
    av_log(ctx, AV_LOG_ERROR, "Missing argument for option '%s'\n", opt);
    return AVERROR(EINVAL);
  }

  if (AEntry->flags & OPT_FLAG_SPEC) {
    const char* p = std::strchr(opt, ':');
    sol = static_cast<TSpecifierOptList*>(dst);
    ret = AppendElement(sol->opt, sol->nb_opt);
    if (ret < 0) goto finish;
    TSpecifierOpt* so = &sol->opt[sol->nb_opt - 1];
    so->specifier = av_strdup(p ? p + 1 : "");
    if (!so->specifier) {
      ret = AVERROR(ENOMEM);
      goto finish;
    }
    if (AEntry->flags & OPT_FLAG_PERSTREAM) {
      ret = stream_specifier_parse(&so->stream_spec, so->specifier, 0, ctx);
      if (ret < 0) goto finish;
    }
    dst = &so->u;
  }

  switch (AEntry->type_) {
    case OPT_TYPE_STRING: {
      char* s = arg_allocated ? arg_allocated : av_strdup(arg);
      if (!s) {
        ret = AVERROR(ENOMEM);
        goto finish;
      }
      arg_allocated = nullptr;
      av_freep(dst);
      *static_cast<char**>(dst) = s;
      break;
    }
    case OPT_TYPE_BOOL:
    case OPT_TYPE_INT:
      ret = parse_number(ctx, opt, arg, OPT_TYPE_INT64, INT_MIN, INT_MAX, num);
      if (ret < 0) goto finish;
      *static_cast<std::int32_t*>(dst) = static_cast<std::int32_t>(num);
      so_type = OPT_TYPE_INT;
      break;
    case OPT_TYPE_INT64:
      ret = parse_number(ctx, opt, arg, OPT_TYPE_INT64, static_cast<double>(INT64_MIN),
                         static_cast<double>(INT64_MAX), num);
      if (ret < 0) goto finish;
      // 2^63 itself is within the bounds but not representable: it saturates.
      *static_cast<std::int64_t*>(dst) =
          num >= 9223372036854775807.0 ? INT64_MAX : static_cast<std::int64_t>(num);
      break;
    case OPT_TYPE_FLOAT:
      ret = parse_number(ctx, opt, arg, OPT_TYPE_FLOAT, -INFINITY, INFINITY, num);
      if (ret < 0) goto finish;
      *static_cast<float*>(dst) = static_cast<float>(num);
      break;
    case OPT_TYPE_DOUBLE:
      ret = parse_number(ctx, opt, arg, OPT_TYPE_DOUBLE, -INFINITY, INFINITY, num);
      if (ret < 0) goto finish;
      *static_cast<double*>(dst) = num;
      break;
    case OPT_TYPE_TIME:
      ret = av_parse_time(static_cast<std::int64_t*>(dst), arg, 1);
      if (ret < 0) {
        av_log(ctx, AV_LOG_ERROR, "Invalid duration for option %s: %s\n", opt, arg);
        goto finish;
      }
      so_type = OPT_TYPE_INT64;
      break;
    case OPT_TYPE_FUNC:
      Platform::Check(AEntry->u.func_arg != nullptr, CUnit, CLineHandlerMissing);
      ret = AEntry->u.func_arg(ctx, opt, arg);
      if (ret < 0) {
        if (!(std::strcmp(opt, "init_hw_device") == 0 && arg && std::strcmp(arg, "list") == 0))
          av_log(ctx, AV_LOG_ERROR, "Failed to set value '%s' for option '%s': %s\n", S(arg),
                 opt, print_error(ret).c_str());
        goto finish;
      }
      break;
  }

  if (AEntry->flags & OPT_EXIT) {
    ret = AVERROR_EXIT;
    goto finish;
  }
  if (sol) {
    sol->type_ = so_type;
    sol->opt_canon =
        (AEntry->flags & OPT_HAS_CANON) ? find_option(ATable, AEntry->u1.name_canon) : AEntry;
  }
  ret = 0;

finish:
  av_freep(&arg_allocated);
  return ret;
}

int parse_option(void* ctx, const char* opt, const char* arg, POptionDef ATable) {
  static const char* const CNo = "0";
  static const char* const CYes = "1";
  POptionDef po = find_option(ATable, opt);
  if (!po->name && opt[0] == 'n' && opt[1] == 'o') {
    po = find_option(ATable, opt + 2);
    if (po->name && po->type_ == OPT_TYPE_BOOL) arg = CNo;
  } else if (po->type_ == OPT_TYPE_BOOL) {
    arg = CYes;
  }
  if (!po->name) po = &CPassThrough;
  if (!arg && opt_has_arg(po)) {
    av_log(ctx, AV_LOG_ERROR, "Missing argument for option '%s'\n", opt);
    return AVERROR(EINVAL);
  }
  const int ret = write_option(ctx, po, opt, arg, ATable);
  if (ret < 0) return ret;
  return opt_has_arg(po) ? 1 : 0;
}

int parse_options(void* ctx, int argc, const char* const* argv, POptionDef ATable,
                  Tparse_arg_function AParseArg) {
  bool handle_options = true;
  int optindex = 0;
  while (optindex < argc) {
    const char* opt = argv[optindex++];
    if (handle_options && opt[0] == '-' && opt[1]) {
      if (opt[1] == '-' && !opt[2]) {
        handle_options = false;
        continue;
      }
      const int ret = parse_option(ctx, opt + 1, optindex < argc ? argv[optindex] : nullptr, ATable);
      if (ret < 0) return ret;
      optindex += ret;
    } else if (AParseArg) {
      const int ret = AParseArg(ctx, opt);
      if (ret < 0) return ret;
    } else {
      av_log(ctx, AV_LOG_ERROR, "Invalid option '%s' found\n", opt);
      return AVERROR(EINVAL);
    }
  }
  return 0;
}

int parse_optgroup(void* ctx, const TOptionGroup* AGroup, POptionDef ATable) {
  av_log(nullptr, AV_LOG_DEBUG, "Parsing a group of options: %s %s.\n",
         S(AGroup->group_def->name), S(AGroup->arg));
  for (int i = 0; i < AGroup->nb_opts; i++) {
    const TOption* o = &AGroup->opts[i];
    if (AGroup->group_def->flags && !(AGroup->group_def->flags & o->opt->flags)) {
      av_log(nullptr, AV_LOG_ERROR,
             "Option %s (%s) cannot be applied to %s %s -- you are trying to apply an input option to an output file or vice versa. Move this option before the file it belongs to.",
             o->key, S(o->opt->help), S(AGroup->group_def->name), S(AGroup->arg));
      return AVERROR(EINVAL);
    }
    av_log(nullptr, AV_LOG_DEBUG, "Applying option %s (%s) with argument %s.\n", o->key,
           S(o->opt->help), S(o->val));
    const int ret = write_option(ctx, o->opt, o->key, o->val, ATable);
    if (ret < 0) return ret;
  }
  av_log(nullptr, AV_LOG_DEBUG, "Successfully parsed a group of options.\n");
  return 0;
}

int locate_option(int argc, const char* const* argv, POptionDef ATable, const char* AName) {
  for (int i = 0; i < argc; i++) {
    const char* cur = argv[i];
    if (cur[0] != '-' || !cur[1]) continue;
    cur++;
    POptionDef po = find_option(ATable, cur);
    if (!po->name && cur[0] == 'n' && cur[1] == 'o') po = find_option(ATable, cur + 2);
    if ((!po->name && std::strcmp(cur, AName) == 0) ||
        (po->name && std::strcmp(AName, po->name) == 0))
      return i;
    if (!po->name || opt_has_arg(po)) i++;
  }
  return -1;
}

void check_options(POptionDef ATable) {
  for (POptionDef po = ATable; po->name; po++) {
    if (po->flags & OPT_PERFILE)
      Platform::Check((po->flags & (OPT_INPUT | OPT_OUTPUT | OPT_DECODER)) != 0, CUnit,
                      CLinePerFileWithoutTarget);
    if (po->type_ == OPT_TYPE_FUNC)
      Platform::Check(!(po->flags & (OPT_FLAG_OFFSET | OPT_FLAG_SPEC)), CUnit,
                      CLineHandlerWithOffsetOrSpec);
    else
      Platform::Check(!(po->flags & OPT_FUNC_ARG), CUnit, CLineArgFlagWithoutHandler);
  }
}

namespace {

// An argument of the report's command line: as it is when it holds only characters
// that need no quoting, else between double quotes, with a backslash before each
// double quote, backslash, dollar sign and backquote.
std::string ReportArgument(const char* AArg) {
  static const char* const CPlain =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_+,-./:@";
  if (AArg[std::strspn(AArg, CPlain)] == 0) return AArg;
  std::string s = "\"";
  for (const char* p = AArg; *p; p++) {
    if (*p == '"' || *p == '\\' || *p == '$' || *p == '`') s += '\\';
    s += *p;
  }
  return s + "\"";
}

}  // namespace

void parse_loglevel(void* ctx, int argc, const char* const* argv, POptionDef ATable) {
  check_options(ATable);
  int idx = locate_option(argc, argv, ATable, "loglevel");
  if (idx < 0) idx = locate_option(argc, argv, ATable, "v");
  if (idx >= 0 && idx + 1 < argc && argv[idx + 1])
    OptCommon::opt_loglevel(ctx, "loglevel", argv[idx + 1]);
  idx = locate_option(argc, argv, ATable, "report");
  char* env = FFUTF8::getenv_utf8("FFREPORT");
  if (env || idx >= 0) {
    FILE* report_file = nullptr;
    OptCommon::init_report(ctx, env, &report_file);
    if (report_file) {
      std::string dump = "Command line:\n";
      for (int i = 0; i < argc; i++) {
        dump += ReportArgument(argv[i]);
        dump += i < argc - 1 ? ' ' : '\n';
      }
      std::fputs(dump.c_str(), report_file);
      std::fflush(report_file);
    }
  }
  FFUTF8::freeenv_utf8(env);
}

// ---- AVOption fall-back -------------------------------------------------------------------

namespace {

// Evaluates a scaler flag text (the swscale option AOption) into AFlags, which is left
// alone on failure. The library logs a bad value with the object it evaluates against
// as the log context, and a log context is read through its class (its parent among
// others): the object must be a real scaler context, never a pointer to the class.
int EvalSwsFlags(const AVOption* AOption, const char* AText, std::int32_t& AFlags) {
  SwsContext* sws = SwScaleStubs::sws_alloc_context();
  if (!sws) return AVERROR(ENOMEM);
  int flags = 0;
  const int ret = av_opt_eval_flags(sws, AOption, AText, &flags);
  SwScaleStubs::sws_freeContext(sws);
  if (ret >= 0) AFlags = flags;
  return ret;
}

}  // namespace

int opt_default(void* ctx, const char* opt, const char* arg) {
  Platform::Check(ctx != nullptr, CUnit, CLineNoOptionsContext);
  TCmdUtilsOpts& d = Head(ctx)->def_opts;
  if (std::strcmp(opt, "debug") == 0 || std::strcmp(opt, "fdebug") == 0) SetDebugLogLevel();

  // the name without its specifier, cut to 127 characters
  char opt_stripped[128];
  {
    const char* colon = std::strchr(opt, ':');
    std::size_t n = colon ? static_cast<std::size_t>(colon - opt) : std::strlen(opt);
    if (n > sizeof opt_stripped - 1) n = sizeof opt_stripped - 1;
    std::memcpy(opt_stripped, opt, n);
    opt_stripped[n] = 0;
  }
  auto dict_flags = [arg](const AVOption* o) {
    return o->type == AV_OPT_TYPE_FLAGS && arg && (arg[0] == '-' || arg[0] == '+')
               ? AV_DICT_APPEND
               : 0;
  };
  bool consumed = false;
  int ret;
  const AVOption* o;

  const AVClass* cc = avcodec_get_class();
  if ((o = FindAVOption(&cc, opt_stripped, AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ)) ||
      ((opt[0] == 'v' || opt[0] == 'a' || opt[0] == 's') &&
       (o = FindAVOption(&cc, opt + 1, AV_OPT_SEARCH_FAKE_OBJ)))) {
    if ((ret = av_dict_set(&d.codec_opts, opt, arg, dict_flags(o))) < 0) return ret;
    consumed = true;
  }
  const AVClass* fc = avformat_get_class();
  const AVClass* custom = FFUtils::GetCustomFormatContextClass();
  if ((o = FindAVOption(&fc, opt, AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ)) ||
      (o = FindAVOption(&custom, opt, AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ))) {
    if ((ret = av_dict_set(&d.format_opts, opt, arg, dict_flags(o))) < 0) return ret;
    if (consumed)
      av_log(ctx, AV_LOG_VERBOSE, "Routing option '%s' to both codec and muxer layer\n", opt);
    consumed = true;
  }
  const AVClass* sc = sws_get_class();
  if (!consumed &&
      (o = FindAVOption(&sc, opt, AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ))) {
    static const char* const CRefused[] = {"srcw", "srch", "dstw", "dsth", "src_format", "dst_format"};
    for (const char* name : CRefused)
      if (std::strcmp(opt, name) == 0) {
        av_log(ctx, AV_LOG_ERROR,
               "Directly using swscale dimensions/format options is not supported, please use the -s or -pix_fmt options");
        return AVERROR(EINVAL);
      }
    // A scaler that cannot be set up from the flags would fail the conversion much
    // later: a flag text that does not evaluate fails the option here.
    if (std::strcmp(opt, "sws_flags") == 0 && arg) {
      std::int32_t flags = 0;
      if ((ret = EvalSwsFlags(o, arg, flags)) < 0) {
        av_log(ctx, AV_LOG_ERROR, "av_opt_eval_flags() failed\n");
        return ret;
      }
      d.sws_flags = flags;
    }
    if ((ret = av_dict_set(&d.sws_dict, opt, arg, dict_flags(o))) < 0) return ret;
    consumed = true;
  }
  const AVClass* swr = swr_get_class();
  if (!consumed &&
      (o = FindAVOption(&swr, opt, AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ))) {
    if ((ret = av_dict_set(&d.swr_opts, opt, arg, dict_flags(o))) < 0) return ret;
    consumed = true;
  }
  // Not finding the name is no error in itself: the splitter goes on to the -no<boolean>
  // form and reports a name that nothing knows once, and parse_option reports the failed
  // pass-through.
  return consumed ? 0 : AVERROR_OPTION_NOT_FOUND;
}

int FetchSwsFlags(void* ctx) {
  TCmdUtilsOpts& d = Head(ctx)->def_opts;
  if (d.sws_flags > 0) return d.sws_flags;
  const AVDictionaryEntry* e = d.sws_dict ? av_dict_get(d.sws_dict, "sws_flags", nullptr, 0) : nullptr;
  if (!e) return SWS_BICUBIC;
  const AVClass* sc = sws_get_class();
  const AVOption* o = av_opt_find(&sc, "sws_flags", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
  const int ret = o ? EvalSwsFlags(o, e->value, d.sws_flags) : AVERROR_OPTION_NOT_FOUND;
  if (ret < 0) {
    av_log(ctx, AV_LOG_ERROR, "av_opt_eval_flags() failed\n");
    return ret;
  }
  return d.sws_flags;
}

void uninit_opts(void* ctx) {
  TCmdUtilsOpts& d = Head(ctx)->def_opts;
  av_dict_free(&d.swr_opts);
  av_dict_free(&d.sws_dict);
  av_dict_free(&d.format_opts);
  av_dict_free(&d.codec_opts);
  d.sws_flags = 0;
}

// ---- splitting a command line -----------------------------------------------------------

namespace {

// The kind whose separator is AOpt exactly, or -1.
int match_group_separator(const TOptionGroupDef* AGroups, int ANbGroups, const char* AOpt) {
  for (int i = 0; i < ANbGroups; i++)
    if (AGroups[i].sep && std::strcmp(AGroups[i].sep, AOpt) == 0) return i;
  return -1;
}

// Closes the current group as a group of kind AKind with the argument AArg; the AVOption
// dictionaries collected so far move into it.
int finish_group(void* ctx, TOptionParseContext* AOctx, int AKind, const char* AArg) {
  TOptionGroupList* l = &AOctx->groups[AKind];
  const int ret = AppendElement(l->groups, l->nb_groups);
  if (ret < 0) return ret;
  TOptionGroup* g = &l->groups[l->nb_groups - 1];
  TCmdUtilsOpts& d = Head(ctx)->def_opts;
  *g = AOctx->cur_group;
  g->arg = AArg;
  g->group_def = l->group_def;
  g->sws_dict = d.sws_dict;
  g->swr_opts = d.swr_opts;
  g->codec_opts = d.codec_opts;
  g->format_opts = d.format_opts;
  d.sws_dict = nullptr;
  d.swr_opts = nullptr;
  d.codec_opts = nullptr;
  d.format_opts = nullptr;
  AOctx->cur_group = TOptionGroup{};
  return 0;
}

int add_opt(TOptionParseContext* AOctx, POptionDef AEntry, const char* AKey, const char* AVal) {
  TOptionGroup* g = (AEntry->flags & OPT_PERFILE) ? &AOctx->cur_group : &AOctx->global_opts;
  const int ret = AppendElement(g->opts, g->nb_opts);
  if (ret < 0) return ret;
  g->opts[g->nb_opts - 1] = TOption{AEntry, AKey, AVal};
  return 0;
}

}  // namespace

int split_commandline(void* ctx, TOptionParseContext* AOctx, int argc,
                      const char* const* argv, POptionDef ATable,
                      const TOptionGroupDef* AGroups, int ANbGroups) {
  *AOctx = TOptionParseContext{};
  AOctx->groups = static_cast<TOptionGroupList*>(av_calloc(ANbGroups > 0 ? ANbGroups : 1, sizeof(TOptionGroupList)));
  if (!AOctx->groups) return AVERROR(ENOMEM);
  AOctx->nb_groups = ANbGroups;
  for (int i = 0; i < ANbGroups; i++) AOctx->groups[i].group_def = &AGroups[i];
  AOctx->global_opts.group_def = &CGlobalGroupDef;
  AOctx->global_opts.arg = "";

  av_log(nullptr, AV_LOG_DEBUG, "Splitting the commandline.\n");
  int optindex = 0;
  int dashdash = -2;
  int ret;
  while (optindex < argc) {
    const char* opt = argv[optindex++];
    av_log(nullptr, AV_LOG_DEBUG, "Reading option '%s' ...", opt);

    if (opt[0] == '-' && opt[1] == '-' && !opt[2]) {
      dashdash = optindex;
      continue;
    }
    // a bare argument closes a group of the first kind
    if (opt[0] != '-' || !opt[1] || dashdash + 1 == optindex) {
      if (ANbGroups < 1) {
        av_log(ctx, AV_LOG_ERROR, "Unrecognized option '%s'\n", opt);
        return AVERROR_OPTION_NOT_FOUND;
      }
      if ((ret = finish_group(ctx, AOctx, 0, opt)) < 0) return ret;
      av_log(nullptr, AV_LOG_DEBUG, " matched as %s.\n", S(AGroups[0].name));
      continue;
    }
    opt++;

    const char* arg;
    int kind = match_group_separator(AGroups, ANbGroups, opt);
    if (kind >= 0) {
      if (optindex >= argc) {
        av_log(nullptr, AV_LOG_ERROR, "Missing argument for option '%s'\n", opt);
        return AVERROR(EINVAL);
      }
      arg = argv[optindex++];
      if ((ret = finish_group(ctx, AOctx, kind, arg)) < 0) return ret;
      av_log(nullptr, AV_LOG_DEBUG, " matched as %s with argument '%s'.\n",
             S(AGroups[kind].name), arg);
      continue;
    }

    POptionDef po = find_option(ATable, opt);
    if (po->name) {
      if (po->flags & OPT_EXIT) {
        arg = optindex < argc ? argv[optindex] : nullptr;
        optindex++;
      } else if (opt_has_arg(po)) {
        if (optindex >= argc) {
          av_log(nullptr, AV_LOG_ERROR, "Missing argument for option '%s'\n", opt);
          return AVERROR(EINVAL);
        }
        arg = argv[optindex++];
      } else {
        arg = "1";
      }
      if ((ret = add_opt(AOctx, po, opt, arg)) < 0) return ret;
      av_log(nullptr, AV_LOG_DEBUG, " matched as option '%s' (%s) with argument '%s'.\n",
             po->name, S(po->help), S(arg));
      continue;
    }

    if (optindex < argc) {
      ret = opt_default(ctx, opt, argv[optindex]);
      if (ret >= 0) {
        av_log(nullptr, AV_LOG_DEBUG, " matched as AVOption '%s' with argument '%s'.\n", opt,
               argv[optindex]);
        optindex++;
        continue;
      }
      if (ret != AVERROR_OPTION_NOT_FOUND) {
        av_log(ctx, AV_LOG_ERROR, "Error parsing option '%s' with argument '%s'.\n", opt,
               argv[optindex]);
        return ret;
      }
    }

    if (opt[0] == 'n' && opt[1] == 'o' && (po = find_option(ATable, opt + 2)) && po->name &&
        po->type_ == OPT_TYPE_BOOL) {
      if ((ret = add_opt(AOctx, po, opt, "0")) < 0) return ret;
      av_log(nullptr, AV_LOG_DEBUG, " matched as option '%s' (%s) with argument 0.\n",
             po->name, S(po->help));
      continue;
    }

    av_log(ctx, AV_LOG_ERROR, "Unrecognized option '%s'\n", opt);
    return AVERROR_OPTION_NOT_FOUND;
  }

  const TCmdUtilsOpts& d = Head(ctx)->def_opts;
  if (AOctx->cur_group.nb_opts || d.codec_opts || d.format_opts)
    av_log(nullptr, AV_LOG_WARNING, "Trailing option(s) found in the command: may be ignored.\n");
  av_log(nullptr, AV_LOG_DEBUG, "Finished splitting the commandline.\n");
  return 0;
}

void uninit_parse_context(void* ctx, TOptionParseContext* AOctx) {
  for (int i = 0; i < AOctx->nb_groups; i++) {
    TOptionGroupList* l = &AOctx->groups[i];
    for (int j = 0; j < l->nb_groups; j++) {
      TOptionGroup* g = &l->groups[j];
      av_freep(&g->opts);
      av_dict_free(&g->codec_opts);
      av_dict_free(&g->format_opts);
      av_dict_free(&g->sws_dict);
      av_dict_free(&g->swr_opts);
    }
    av_freep(&l->groups);
  }
  av_freep(&AOctx->groups);
  av_freep(&AOctx->cur_group.opts);
  av_freep(&AOctx->global_opts.opts);
  *AOctx = TOptionParseContext{};
  uninit_opts(ctx);
}

// ---- stream specifiers --------------------------------------------------------------------

bool cmdutils_isalnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

void stream_specifier_uninit(TStreamSpecifier* ss) {
  av_freep(&ss->meta_key);
  av_freep(&ss->meta_val);
  av_freep(&ss->remainder);
  *ss = TStreamSpecifier{};
}

int stream_specifier_parse(TStreamSpecifier* ss, const char* spec, int allow_remainder,
                           void* logctx) {
  char* endptr;
  int ret;
  *ss = TStreamSpecifier{};
  ss->idx = -1;
  ss->media_type = AVMEDIA_TYPE_UNKNOWN;
  ss->stream_list = STREAM_LIST_ALL;
  av_log(logctx, AV_LOG_TRACE, "Parsing stream specifier: %s\n", spec);

  while (*spec) {
    if (*spec >= '0' && *spec <= '9') {
      // An index that does not fit is refused: cut to 32 bits it would name another
      // stream, or (as -1) every stream.
      errno = 0;
      const long idx = std::strtol(spec, &endptr, 0);
      if (errno == ERANGE || idx > INT32_MAX) {
        av_log(logctx, AV_LOG_ERROR, "Invalid stream index: %s\n", spec);
        ret = AVERROR(EINVAL);
        goto fail;
      }
      ss->idx = static_cast<std::int32_t>(idx);
      av_log(logctx, AV_LOG_TRACE, "Parsed index: %d; remainder: %s\n", ss->idx, endptr);
      spec = endptr;
      break;
    } else if (std::strchr("advstV", *spec) && !cmdutils_isalnum(spec[1])) {
      if (ss->media_type != AVMEDIA_TYPE_UNKNOWN) {
        av_log(logctx, AV_LOG_ERROR, "Stream type specified multiple times\n");
        ret = AVERROR(EINVAL);
        goto fail;
      }
      switch (*spec) {
        case 'v': ss->media_type = AVMEDIA_TYPE_VIDEO; break;
        case 'a': ss->media_type = AVMEDIA_TYPE_AUDIO; break;
        case 's': ss->media_type = AVMEDIA_TYPE_SUBTITLE; break;
        case 'd': ss->media_type = AVMEDIA_TYPE_DATA; break;
        case 't': ss->media_type = AVMEDIA_TYPE_ATTACHMENT; break;
        case 'V':
          ss->media_type = AVMEDIA_TYPE_VIDEO;
          ss->no_apic = 1;
          break;
      }
      spec++;
      av_log(logctx, AV_LOG_TRACE, "Parsed media type: %s; remainder: %s\n",
             S(av_get_media_type_string(ss->media_type)), spec);
    } else if (*spec == 'g' && spec[1] == ':') {
      if (ss->stream_list != STREAM_LIST_ALL) goto multiple_stream_lists;
      spec += 2;
      if (*spec == '#' || (*spec == 'i' && spec[1] == ':')) {
        ss->stream_list = STREAM_LIST_GROUP_ID;
        spec += *spec == '#' ? 1 : 2;
      } else {
        ss->stream_list = STREAM_LIST_GROUP_IDX;
      }
      ss->list_id = std::strtol(spec, &endptr, 0);
      if (spec == endptr) {
        av_log(logctx, AV_LOG_ERROR, "Expected stream group idx/ID, got: %s\n", spec);
        ret = AVERROR(EINVAL);
        goto fail;
      }
      spec = endptr;
      av_log(logctx, AV_LOG_TRACE, "Parsed stream group %s: %s; remainder: %s\n",
             ss->stream_list == STREAM_LIST_GROUP_ID ? "ID" : "index",
             std::to_string(ss->list_id).c_str(), spec);
    } else if (*spec == 'p' && spec[1] == ':') {
      if (ss->stream_list != STREAM_LIST_ALL) goto multiple_stream_lists;
      ss->stream_list = STREAM_LIST_PROGRAM;
      spec += 2;
      ss->list_id = std::strtol(spec, &endptr, 0);
      if (spec == endptr) {
        av_log(logctx, AV_LOG_ERROR, "Expected program ID, got: %s\n", spec);
        ret = AVERROR(EINVAL);
        goto fail;
      }
      spec = endptr;
      av_log(logctx, AV_LOG_TRACE, "Parsed program ID: %s; remainder: %s\n",
             std::to_string(ss->list_id).c_str(), spec);
    } else if (std::strncmp(spec, "disp:", 5) == 0) {
      if (ss->disposition) {
        av_log(logctx, AV_LOG_ERROR, "Multiple disposition specifiers\n");
        ret = AVERROR(EINVAL);
        goto fail;
      }
      spec += 5;
      std::size_t len = 0;
      while (cmdutils_isalnum(spec[len]) || spec[len] == '_' || spec[len] == '+') len++;
      char* disp = av_strndup(spec, len);
      if (!disp) {
        ret = AVERROR(ENOMEM);
        goto fail;
      }
      const AVClass* st_class = av_stream_get_class();
      const AVOption* o = av_opt_find(&st_class, "disposition", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
      ret = o ? av_opt_eval_flags(&st_class, o, disp, &ss->disposition) : AVERROR(EINVAL);
      av_freep(&disp);
      if (ret < 0) {
        av_log(logctx, AV_LOG_ERROR, "Invalid disposition specifier\n");
        goto fail;
      }
      spec += len;
      av_log(logctx, AV_LOG_TRACE, "Parsed disposition: 0x%x; remainder: %s\n",
             static_cast<unsigned>(ss->disposition), spec);
    } else if (*spec == '#' || (*spec == 'i' && spec[1] == ':')) {
      if (ss->stream_list != STREAM_LIST_ALL) goto multiple_stream_lists;
      ss->stream_list = STREAM_LIST_STREAM_ID;
      spec += *spec == '#' ? 1 : 2;
      ss->list_id = std::strtol(spec, &endptr, 0);
      if (spec == endptr) {
        av_log(logctx, AV_LOG_ERROR, "Expected stream ID, got: %s\n", spec);
        ret = AVERROR(EINVAL);
        goto fail;
      }
      spec = endptr;
      av_log(logctx, AV_LOG_TRACE, "Parsed stream ID: %s; remainder: %s\n",
             std::to_string(ss->list_id).c_str(), spec);
      break;
    } else if (*spec == 'm' && spec[1] == ':') {
      spec += 2;
      ss->meta_key = av_get_token(&spec, ":");
      if (!ss->meta_key) {
        ret = AVERROR(ENOMEM);
        goto fail;
      }
      if (*spec == ':') {
        spec++;
        ss->meta_val = av_get_token(&spec, ":");
        if (!ss->meta_val) {
          ret = AVERROR(ENOMEM);
          goto fail;
        }
      }
      av_log(logctx, AV_LOG_TRACE, "Parsed metadata: %s:%s; remainder: %s", ss->meta_key,
             ss->meta_val ? ss->meta_val : "<any value>", spec);
      break;
    } else if (*spec == 'u' && (!spec[1] || spec[1] == ':')) {
      ss->usable_only = 1;
      spec++;
      av_log(logctx, AV_LOG_TRACE, "Parsed 'usable only'\n");
      break;
    } else {
      break;
    }
    if (*spec == ':') spec++;
  }

  if (*spec) {
    if (!allow_remainder) {
      av_log(logctx, AV_LOG_ERROR, "Trailing garbage at the end of a stream specifier: %s\n", spec);
      ret = AVERROR(EINVAL);
      goto fail;
    }
    if (*spec == ':') spec++;
    ss->remainder = av_strdup(spec);
    if (!ss->remainder) {
      ret = AVERROR(ENOMEM);
      goto fail;
    }
  }
  return 0;

multiple_stream_lists:
  av_log(logctx, AV_LOG_ERROR,
         "Cannot combine multiple program/group designators in a single stream specifier");
  ret = AVERROR(EINVAL);
fail:
  stream_specifier_uninit(ss);
  return ret;
}

int stream_specifier_match(const TStreamSpecifier* ss, const AVFormatContext* s,
                           const AVStream* st, void* logctx) {
  const AVStreamGroup* g = nullptr;
  const AVProgram* p = nullptr;
  unsigned start_stream = 0, nb_streams = 0;

  switch (ss->stream_list) {
    case STREAM_LIST_STREAM_ID:
      if (ss->list_id != st->id) return 0;
      start_stream = st->index;
      nb_streams = st->index + 1;
      break;
    case STREAM_LIST_ALL:
      start_stream = ss->idx >= 0 ? 0 : st->index;
      nb_streams = st->index + 1;
      break;
    case STREAM_LIST_PROGRAM:
      for (unsigned i = 0; i < s->nb_programs; i++)
        if (s->programs[i]->id == ss->list_id) {
          p = s->programs[i];
          break;
        }
      if (!p) {
        av_log(logctx, AV_LOG_WARNING, "No program with ID %s exists, stream specifier can never match\n",
               std::to_string(ss->list_id).c_str());
        return 0;
      }
      nb_streams = p->nb_stream_indexes;
      break;
    case STREAM_LIST_GROUP_ID:
    case STREAM_LIST_GROUP_IDX:
      if (ss->stream_list == STREAM_LIST_GROUP_IDX) {
        if (ss->list_id >= 0 && ss->list_id < s->nb_stream_groups) g = s->stream_groups[ss->list_id];
      } else {
        for (unsigned i = 0; i < s->nb_stream_groups; i++)
          if (s->stream_groups[i]->id == ss->list_id) {
            g = s->stream_groups[i];
            break;
          }
      }
      if (!g) {
        av_log(logctx, AV_LOG_WARNING,
               "No stream group with group %s %s exists, stream specifier can never match\n",
               ss->stream_list == STREAM_LIST_GROUP_ID ? "ID" : "index",
               std::to_string(ss->list_id).c_str());
        return 0;
      }
      nb_streams = g->nb_streams;
      break;
    default:
      throw FFmpegException("never occur.");
  }

  int nb_matched = 0;
  for (unsigned i = start_stream; i < nb_streams; i++) {
    const AVStream* candidate;
    if (p) {
      if (p->stream_index[i] >= s->nb_streams) continue;
      candidate = s->streams[p->stream_index[i]];
    } else if (g) {
      candidate = g->streams[i];
    } else {
      candidate = s->streams[i];
    }
    const AVCodecParameters* par = candidate->codecpar;
    if (ss->media_type != AVMEDIA_TYPE_UNKNOWN &&
        (ss->media_type != par->codec_type ||
         (ss->no_apic && (candidate->disposition & AV_DISPOSITION_ATTACHED_PIC))))
      continue;
    if (ss->meta_key) {
      const AVDictionaryEntry* tag = av_dict_get(candidate->metadata, ss->meta_key, nullptr, 0);
      if (!tag) continue;
      if (ss->meta_val && std::strcmp(tag->value, ss->meta_val) != 0) continue;
    }
    if (ss->usable_only) {
      switch (par->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
          if (!par->sample_rate || !par->ch_layout.nb_channels || par->format < 0) continue;
          break;
        case AVMEDIA_TYPE_VIDEO:
          if (!par->width || !par->height || par->format < 0) continue;
          break;
        case AVMEDIA_TYPE_UNKNOWN:
          continue;
        default:
          break;
      }
    }
    if (ss->disposition && (candidate->disposition & ss->disposition) != ss->disposition) continue;
    if (st == candidate) return ss->idx < 0 || ss->idx == nb_matched;
    nb_matched++;
  }
  return 0;
}

int check_stream_specifier(const AVFormatContext* s, const AVStream* st, const char* spec) {
  TStreamSpecifier ss;
  int ret = stream_specifier_parse(&ss, spec, 0, nullptr);
  if (ret < 0) return ret;
  ret = stream_specifier_match(&ss, s, st, nullptr);
  stream_specifier_uninit(&ss);
  return ret;
}

int filter_codec_opts(const AVDictionary* AOpts, AVCodecID ACodecId, const AVFormatContext* s,
                      const AVStream* st, const AVCodec* ACodec, AVDictionary*& ADst,
                      AVDictionary** AOptsUsed) {
  (void)ACodecId;  // the stream and the codec decide
  AVDictionary* ret = nullptr;
  int flags = s->oformat ? AV_OPT_FLAG_ENCODING_PARAM : AV_OPT_FLAG_DECODING_PARAM;
  char prefix = 0;
  const AVClass* cc = avcodec_get_class();
  switch (st->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      prefix = 'v';
      flags |= AV_OPT_FLAG_VIDEO_PARAM;
      break;
    case AVMEDIA_TYPE_AUDIO:
      prefix = 'a';
      flags |= AV_OPT_FLAG_AUDIO_PARAM;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      prefix = 's';
      flags |= AV_OPT_FLAG_SUBTITLE_PARAM;
      break;
    default:
      break;
  }

  const AVDictionaryEntry* t = nullptr;
  while ((t = av_dict_iterate(AOpts, t))) {
    // the key without its stream specifier, which must match the stream
    std::string key = t->key;
    const std::size_t colon = key.find(':');
    if (colon != std::string::npos) {
      const int err = check_stream_specifier(s, st, t->key + colon + 1);
      if (err < 0) {
        av_dict_free(&ret);
        return err;
      }
      if (!err) continue;
      key.resize(colon);
    }
    const char* taken = nullptr;
    const AVClass* priv_class;
    if (av_opt_find(&cc, key.c_str(), nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ) || !ACodec ||
        ((priv_class = ACodec->priv_class) &&
         av_opt_find(&priv_class, key.c_str(), nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ)))
      taken = key.c_str();
    else if (prefix && key[0] == prefix &&
             av_opt_find(&cc, key.c_str() + 1, nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ))
      taken = key.c_str() + 1;
    if (!taken) continue;
    int err = av_dict_set(&ret, taken, t->value, 0);
    if (err >= 0 && AOptsUsed) err = av_dict_set(AOptsUsed, t->key, "", 0);
    if (err < 0) {
      av_dict_free(&ret);
      return err;
    }
  }
  ADst = ret;
  return 0;
}

int setup_find_stream_info_opts(const AVFormatContext* s, const AVDictionary* ACodecOpts,
                                AVDictionary**& AOpts) {
  AOpts = nullptr;
  if (!s->nb_streams) return 0;
  auto** opts = static_cast<AVDictionary**>(av_calloc(s->nb_streams, sizeof(AVDictionary*)));
  if (!opts) return AVERROR(ENOMEM);
  for (unsigned i = 0; i < s->nb_streams; i++) {
    const int ret = filter_codec_opts(ACodecOpts, s->streams[i]->codecpar->codec_id, s,
                                      s->streams[i], nullptr, opts[i], nullptr);
    if (ret < 0) {
      for (unsigned j = 0; j < s->nb_streams; j++) av_dict_free(&opts[j]);
      av_freep(&opts);
      return ret;
    }
  }
  AOpts = opts;
  return 0;
}

void remove_avoptions(AVDictionary** a, const AVDictionary* b) {
  const AVDictionaryEntry* t = nullptr;
  while ((t = av_dict_iterate(b, t))) av_dict_set(a, t->key, nullptr, AV_DICT_MATCH_CASE);
}

int check_avoptions(const AVDictionary* m) {
  const AVDictionaryEntry* t = av_dict_iterate(m, nullptr);
  if (t) {
    av_log(nullptr, AV_LOG_FATAL, "Option %s not found.\n", t->key);
    return AVERROR_OPTION_NOT_FOUND;
  }
  return 0;
}

// ---- utility routines -----------------------------------------------------------------------

namespace {

std::string TrimForLog(const std::string& AText) {
  std::size_t b = 0, e = AText.size();
  while (b < e && static_cast<unsigned char>(AText[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(AText[e - 1]) <= ' ') --e;
  return AText.substr(b, e - b);
}

void LogText(void* ALogCtx, int ALevel, const std::string& AText) {
  if (av_log) av_log(ALogCtx, ALevel, "%s", AText.c_str());
}

}  // namespace

FFmpegException::FFmpegException(void* ALogCtx, int ALevel, const std::string& AMessage)
    : Platform::Exception(AMessage) {
  LogText(ALogCtx, ALevel, TrimForLog(AMessage) + "\n");
}

FFmpegException::FFmpegException(void* ALogCtx, int ALevel, const char* AFormat, ...)
    : Platform::Exception(std::string()) {
  va_list args;
  va_start(args, AFormat);
  Platform::Exception::operator=(Platform::Exception(Platform::FormatV(AFormat, args)));
  va_end(args);
  LogText(ALogCtx, ALevel, TrimForLog(Message()) + "\n");
}

const TErrorEntry CErrorList[] = {
    {AVERROR(EPERM), "Operation not permitted"},
    {AVERROR(ENOENT), "No such file or directory"},
    {AVERROR(ESRCH), "No such process"},
    {AVERROR(EINTR), "Interrupted system call"},
    {AVERROR(EIO), "Input/output error"},
    {AVERROR(ENXIO), "No such device or address"},
    {AVERROR(E2BIG), "Argument list too long"},
    {AVERROR(ENOEXEC), "Exec format error"},
    {AVERROR(EBADF), "Bad file descriptor"},
    {AVERROR(ECHILD), "No child processes"},
    {AVERROR(EAGAIN), "Resource temporarily unavailable"},
    {AVERROR(ENOMEM), "Cannot allocate memory"},
    {AVERROR(EACCES), "Permission denied"},
    {AVERROR(EFAULT), "Bad address"},
    {AVERROR(ENOTBLK), "Block device required"},
    {AVERROR(EBUSY), "Device or resource busy"},
    {AVERROR(EEXIST), "File exists"},
    {AVERROR(EXDEV), "Invalid cross-device link"},
    {AVERROR(ENODEV), "No such device"},
    {AVERROR(ENOTDIR), "Not a directory"},
    {AVERROR(EISDIR), "Is a directory"},
    {AVERROR(EINVAL), "Invalid argument"},
    {AVERROR(ENFILE), "Too many open files in system"},
    {AVERROR(EMFILE), "Too many open files"},
    {AVERROR(ENOTTY), "Inappropriate ioctl for device"},
    {AVERROR(ETXTBSY), "Text file busy"},
    {AVERROR(EFBIG), "File too large"},
    {AVERROR(ENOSPC), "No space left on device"},
    {AVERROR(ESPIPE), "Illegal seek"},
    {AVERROR(EROFS), "Read-only file system"},
    {AVERROR(EMLINK), "Too many links"},
    {AVERROR(EPIPE), "Broken pipe"},
    {AVERROR(EDOM), "Numerical argument out of domain"},
    {AVERROR(ERANGE), "Numerical result out of range"},
    {AVERROR(EDEADLOCK), "Resource deadlock avoided"},
    {AVERROR(ENAMETOOLONG), "File name too long"},
    {AVERROR(ENOLCK), "No locks available"},
    {AVERROR(ENOSYS), "Function not implemented"},
    {AVERROR(ENOTEMPTY), "Directory not empty"},
    {AVERROR(ELOOP), "Too many levels of symbolic links"},
    {AVERROR(ENOMSG), "No message of desired type"},
    {AVERROR(EIDRM), "Identifier removed"},
    {AVERROR(ECHRNG), "Channel number out of range"},
    {AVERROR(EL2NSYNC), "Level 2 not synchronized"},
    {AVERROR(EL3HLT), "Level 3 halted"},
    {AVERROR(EL3RST), "Level 3 reset"},
    {AVERROR(ELNRNG), "Link number out of range"},
    {AVERROR(EUNATCH), "Protocol driver not attached"},
    {AVERROR(ENOCSI), "No CSI structure available"},
    {AVERROR(EL2HLT), "Level 2 halted"},
    {AVERROR(EBADE), "Invalid exchange"},
    {AVERROR(EBADR), "Invalid request descriptor"},
    {AVERROR(EXFULL), "Exchange full"},
    {AVERROR(ENOANO), "No anode"},
    {AVERROR(EBADRQC), "Invalid request code"},
    {AVERROR(EBADSLT), "Invalid slot"},
    {AVERROR(EBFONT), "Bad font file format"},
    {AVERROR(ENOSTR), "Device not a stream"},
    {AVERROR(ENODATA), "No data available"},
    {AVERROR(ETIME), "Timer expired"},
    {AVERROR(ENOSR), "Out of streams resources"},
    {AVERROR(ENONET), "Machine is not on the network"},
    {AVERROR(ENOPKG), "Package not installed"},
    {AVERROR(EREMOTE), "Object is remote"},
    {AVERROR(ENOLINK), "Link has been severed"},
    {AVERROR(EADV), "Advertise error"},
    {AVERROR(ESRMNT), "Srmount error"},
    {AVERROR(ECOMM), "Communication error on send"},
    {AVERROR(EPROTO), "Protocol error"},
    {AVERROR(EMULTIHOP), "Multihop attempted"},
    {AVERROR(EDOTDOT), "RFS specific error"},
    {AVERROR(EBADMSG), "Bad message"},
    {AVERROR(EOVERFLOW), "Value too large for defined data type"},
    {AVERROR(ENOTUNIQ), "Name not unique on network"},
    {AVERROR(EBADFD), "File descriptor in bad state"},
    {AVERROR(EREMCHG), "Remote address changed"},
    {AVERROR(ELIBACC), "Can not access a needed shared library"},
    {AVERROR(ELIBBAD), "Accessing a corrupted shared library"},
    {AVERROR(ELIBSCN), ".lib section in a.out corrupted"},
    {AVERROR(ELIBMAX), "Attempting to link in too many shared libraries"},
    {AVERROR(ELIBEXEC), "Cannot exec a shared library directly"},
    {AVERROR(EILSEQ), "Invalid or incomplete multibyte or wide character"},
    {AVERROR(ERESTART), "Interrupted system call should be restarted"},
    {AVERROR(ESTRPIPE), "Streams pipe error"},
    {AVERROR(EUSERS), "Too many users"},
    {AVERROR(ENOTSOCK), "Socket operation on non-socket"},
    {AVERROR(EDESTADDRREQ), "Destination address required"},
    {AVERROR(EMSGSIZE), "Message too long"},
    {AVERROR(EPROTOTYPE), "Protocol wrong type for socket"},
    {AVERROR(ENOPROTOOPT), "Protocol not available"},
    {AVERROR(EPROTONOSUPPORT), "Protocol not supported"},
    {AVERROR(ESOCKTNOSUPPORT), "Socket type not supported"},
    {AVERROR(ENOTSUP), "Operation not supported"},
    {AVERROR(EPFNOSUPPORT), "Protocol family not supported"},
    {AVERROR(EAFNOSUPPORT), "Address family not supported by protocol"},
    {AVERROR(EADDRINUSE), "Address already in use"},
    {AVERROR(EADDRNOTAVAIL), "Cannot assign requested address"},
    {AVERROR(ENETDOWN), "Network is down"},
    {AVERROR(ENETUNREACH), "Network is unreachable"},
    {AVERROR(ENETRESET), "Network dropped connection on reset"},
    {AVERROR(ECONNABORTED), "Software caused connection abort"},
    {AVERROR(ECONNRESET), "Connection reset by peer"},
    {AVERROR(ENOBUFS), "No buffer space available"},
    {AVERROR(EISCONN), "Transport endpoint is already connected"},
    {AVERROR(ENOTCONN), "Transport endpoint is not connected"},
    {AVERROR(ESHUTDOWN), "Cannot send after transport endpoint shutdown"},
    {AVERROR(ETOOMANYREFS), "Too many references: cannot splice"},
    {AVERROR(ETIMEDOUT), "Connection timed out"},
    {AVERROR(ECONNREFUSED), "Connection refused"},
    {AVERROR(EHOSTDOWN), "Host is down"},
    {AVERROR(EHOSTUNREACH), "No route to host"},
    {AVERROR(EALREADY), "Operation already in progress"},
    {AVERROR(EINPROGRESS), "Operation now in progress"},
    {AVERROR(ESTALE), "Stale file handle"},
    {AVERROR(EUCLEAN), "Structure needs cleaning"},
    {AVERROR(ENOTNAM), "Not a XENIX named type file"},
    {AVERROR(ENAVAIL), "No XENIX semaphores available"},
    {AVERROR(EISNAM), "Is a named type file"},
    {AVERROR(EREMOTEIO), "Remote I/O error"},
    {AVERROR(EDQUOT), "Disk quota exceeded"},
    {AVERROR(ENOMEDIUM), "No medium found"},
    {AVERROR(EMEDIUMTYPE), "Wrong medium type"},
    {AVERROR(ECANCELED), "Operation canceled"},
    {AVERROR(ENOKEY), "Required key not available"},
    {AVERROR(EKEYEXPIRED), "Key has expired"},
    {AVERROR(EKEYREVOKED), "Key has been revoked"},
    {AVERROR(EKEYREJECTED), "Key was rejected by service"},
    {AVERROR(EOWNERDEAD), "Owner died"},
    {AVERROR(ENOTRECOVERABLE), "State not recoverable"},
    {AVERROR(ERFKILL), "Operation not possible due to RF-kill"},
    {AVERROR_BSF_NOT_FOUND, "Bitstream filter not found"},
    {AVERROR_BUG, "Internal bug, should not have happened"},
    {AVERROR_BUFFER_TOO_SMALL, "Buffer too small"},
    {AVERROR_DECODER_NOT_FOUND, "Decoder not found"},
    {AVERROR_DEMUXER_NOT_FOUND, "Demuxer not found"},
    {AVERROR_ENCODER_NOT_FOUND, "Encoder not found"},
    {AVERROR_EOF, "End of file"},
    {AVERROR_EXIT, "Immediate exit requested"},
    {AVERROR_EXTERNAL, "Generic error in an external library"},
    {AVERROR_FILTER_NOT_FOUND, "Filter not found"},
    {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
    {AVERROR_MUXER_NOT_FOUND, "Muxer not found"},
    {AVERROR_OPTION_NOT_FOUND, "Option not found"},
    {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg, patches welcome"},
    {AVERROR_PROTOCOL_NOT_FOUND, "Protocol not found"},
    {AVERROR_STREAM_NOT_FOUND, "Stream not found"},
    {AVERROR_BUG2, "Internal bug, should not have happened"},
    {AVERROR_UNKNOWN, "Unknown error occurred"},
    {AVERROR_EXPERIMENTAL, "Experimental feature"},
    {AVERROR_INPUT_CHANGED, "Input changed"},
    {AVERROR_OUTPUT_CHANGED, "Output changed"},
    {AVERROR_HTTP_BAD_REQUEST, "Server returned 400 Bad Request"},
    {AVERROR_HTTP_UNAUTHORIZED, "Server returned 401 Unauthorized (authorization failed)"},
    {AVERROR_HTTP_FORBIDDEN, "Server returned 403 Forbidden (access denied)"},
    {AVERROR_HTTP_NOT_FOUND, "Server returned 404 Not Found"},
    {AVERROR_HTTP_TOO_MANY_REQUESTS, "Server returned 429 Too Many Requests"},
    {AVERROR_HTTP_OTHER_4XX, "Server returned 4XX Client Error, but not one of 40{0,1,3,4}"},
    {AVERROR_HTTP_SERVER_ERROR, "Server returned 5XX Server Error reply"},
};
const int CErrorListCount = static_cast<int>(std::size(CErrorList));

std::string print_error(int AErr) {
  if (AErr != -1 && av_strerror) {
    char buf[129];
    if (av_strerror(AErr, buf, sizeof buf) == 0) return buf;
  }
  for (const TErrorEntry& e : CErrorList)
    if (e.err == AErr) return e.msg;
  return Platform::Format("Error number %d occurred", AErr);
}

std::string print_error(const std::string& AName, int AErr) {
  if (AName.empty()) return print_error(AErr);
  return AName + ": " + print_error(AErr);
}

std::string print_error(const char* AName, int AErr) {
  return print_error(std::string(AName ? AName : ""), AErr);
}

FILE* get_preset_file(char* AFileName, std::size_t AFileNameSize, const char* APreset,
                      int AIsPath, const char* ACodecName) {
  FILE* f = nullptr;
  char* datadir = FFUTF8::getenv_utf8("FFMPEG_DATADIR");
  char* home = FFUTF8::getenv_utf8("HOME");
  std::string exe_dir = std::string(FFUTF8::ffmpeg_filename(MyUtils::ExePath() + "ffpresets"));
  for (char& c : exe_dir)
    if (c == '\\') c = '/';
  if (AIsPath) {
    std::snprintf(AFileName, AFileNameSize, "%s", APreset);
    f = FFUTF8::fopen_utf8(AFileName, "r");
  } else {
    const char* bases[] = {datadir, home, exe_dir.c_str()};
    const char* middles[] = {"", "/.ffmpeg", ""};
    for (int i = 0; i < 3 && !f; i++) {
      if (!bases[i]) continue;
      std::snprintf(AFileName, AFileNameSize, "%s%s/%s.ffpreset", bases[i], middles[i], APreset);
      f = FFUTF8::fopen_utf8(AFileName, "r");
      if (!f && ACodecName) {
        std::snprintf(AFileName, AFileNameSize, "%s%s/%s-%s.ffpreset", bases[i], middles[i],
                      ACodecName, APreset);
        f = FFUTF8::fopen_utf8(AFileName, "r");
      }
    }
  }
  FFUTF8::freeenv_utf8(datadir);
  FFUTF8::freeenv_utf8(home);
  return f;
}

int grow_array(void*& AArray, int AElemSize, int& ACount, int ANewSize) {
  if (AElemSize <= 0 || ANewSize >= INT_MAX / AElemSize) {
    av_log(nullptr, AV_LOG_ERROR, "Array too big.\n");
    return AVERROR(ERANGE);
  }
  if (ACount < ANewSize) {
    auto* tmp = static_cast<std::uint8_t*>(av_realloc_array(AArray, ANewSize, AElemSize));
    if (!tmp) return AVERROR(ENOMEM);
    std::memset(tmp + std::size_t(ACount) * AElemSize, 0, std::size_t(ANewSize - ACount) * AElemSize);
    AArray = tmp;
    ACount = ANewSize;
  }
  return 0;
}

void* allocate_array_elem(void* AArray, std::size_t AElemSize, int& ACount) {
  void* elem = av_mallocz(AElemSize);
  if (!elem) return nullptr;
  const int ret = av_dynarray_add_nofree(AArray, &ACount, elem);
  if (ret < 0) {
    av_free(elem);
    return nullptr;
  }
  return elem;
}

double get_rotation(const std::int32_t* ADisplayMatrix) {
  double theta = 0;
  if (ADisplayMatrix) theta = -std::nearbyint(av_display_rotation_get(ADisplayMatrix));
  if (std::isnan(theta)) theta = 0;
  theta -= 360 * std::floor(theta / 360 + 0.0025);
  if (std::fabs(theta - 90 * std::nearbyint(theta / 90)) > 2)
    av_log(nullptr, AV_LOG_WARNING,
           "Odd rotation angle.\n"
           "If you want to help, upload a sample of this file to the FFmpeg developers' "
           "sample site and tell them about it on their developer mailing list.\n");
  return theta;
}

double get_rotation(const AVStream* st) {
  const AVPacketSideData* sd =
      av_packet_side_data_get(st->codecpar->coded_side_data, st->codecpar->nb_coded_side_data,
                              AV_PKT_DATA_DISPLAYMATRIX);
  if (!sd) return 0;
  return get_rotation(reinterpret_cast<const std::int32_t*>(sd->data));
}

char* file_read(const char* AFileName) {
  AVIOContext* pb = nullptr;
  int ret = avio_open2(&pb, AFileName, AVIO_FLAG_READ, nullptr, nullptr);
  if (ret < 0) {
    av_log(nullptr, AV_LOG_ERROR, "Error opening file %s.\n", AFileName);
    return nullptr;
  }
  AVBPrint bprint;
  av_bprint_init(&bprint, 0, AV_BPRINT_SIZE_UNLIMITED);
  ret = avio_read_to_bprint(pb, &bprint, SIZE_MAX);
  avio_closep(&pb);
  if (ret < 0) {
    av_bprint_finalize(&bprint, nullptr);
    return nullptr;
  }
  char* str = nullptr;
  ret = av_bprint_finalize(&bprint, &str);
  if (ret < 0) return nullptr;
  return str;
}

void ff_log(void* ALogCtx, int ALevel, const std::string& AMessage) {
  LogText(ALogCtx, ALevel, AMessage);
}

void ff_log(void* ALogCtx, int ALevel, const char* AFormat, ...) {
  va_list args;
  va_start(args, AFormat);
  const std::string text = Platform::FormatV(AFormat, args);
  va_end(args);
  LogText(ALogCtx, ALevel, text);
}

void ff_log_async(void* ALogCtx, int ALevel, const std::string& AMessage) {
  FFLoad::TThreadLogDelivery delivery(FFLoad::ldAsynchronous);
  LogText(ALogCtx, ALevel, AMessage);
}

void ff_log_async(void* ALogCtx, int ALevel, const char* AFormat, ...) {
  va_list args;
  va_start(args, AFormat);
  const std::string text = Platform::FormatV(AFormat, args);
  va_end(args);
  FFLoad::TThreadLogDelivery delivery(FFLoad::ldAsynchronous);
  LogText(ALogCtx, ALevel, text);
}

}  // namespace CmdUtils
