// Command-line option machinery of the conversion and playback tools: option tables,
// parsing of options against a table, splitting an argument vector into a global group
// and per-file groups, the fall-back to the FFmpeg libraries' own AVOptions, stream
// specifiers and per-stream codec options, and the utility routines around them (the
// tools' exception, error texts, preset files, growable arrays, display rotation, file
// reading and logging of host texts through the FFmpeg log).
//
// No routine keeps parse state of its own: everything lives in the options context that
// each routine takes first (a standard-layout record beginning with TDefaultOptions) and
// in the parse context, so several tasks and players parse at the same time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/Exception.h"
#include "platform/Object.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"

namespace CmdUtils {

// ---- Option tables ------------------------------------------------------------------------

enum TOptionType : std::int32_t {
  OPT_TYPE_FUNC = 0,
  OPT_TYPE_BOOL = 1,
  OPT_TYPE_STRING = 2,
  OPT_TYPE_INT = 3,
  OPT_TYPE_INT64 = 4,
  OPT_TYPE_FLOAT = 5,
  OPT_TYPE_DOUBLE = 6,
  OPT_TYPE_TIME = 7,
};

constexpr std::int32_t OPT_FUNC_ARG = 0x0001;        // a handler that takes an argument
constexpr std::int32_t OPT_EXIT = 0x0002;            // parsing stops after it (AVERROR_EXIT)
constexpr std::int32_t OPT_EXPERT = 0x0004;          // expert part of the help
constexpr std::int32_t OPT_VIDEO = 0x0008;
constexpr std::int32_t OPT_AUDIO = 0x0010;
constexpr std::int32_t OPT_SUBTITLE = 0x0020;
constexpr std::int32_t OPT_DATA = 0x0040;
constexpr std::int32_t OPT_PERFILE = 0x0080;         // belongs to the file that follows it
constexpr std::int32_t OPT_FLAG_OFFSET = 0x0100;     // target is an offset into the context
constexpr std::int32_t OPT_FLAG_SPEC = 0x0200;       // target is a TSpecifierOptList
constexpr std::int32_t OPT_FLAG_PERSTREAM = 0x0400;  // the suffix is a stream specifier
constexpr std::int32_t OPT_INPUT = 0x0800;
constexpr std::int32_t OPT_OUTPUT = 0x1000;
constexpr std::int32_t OPT_HAS_ALT = 0x2000;         // u1.names_alt lists other names
constexpr std::int32_t OPT_HAS_CANON = 0x4000;       // u1.name_canon names the canonical entry
constexpr std::int32_t OPT_DECODER = 0x8000;

// A handler option: called with the options context, the option as typed (without its
// dash) and its argument (nullptr for an OPT_EXIT option given last); negative for an
// error.
using _Topt_func = int (*)(void* o, const char* opt, const char* arg);

union TOptionTarget {
  void* dst_ptr;        // address of the target
  _Topt_func func_arg;  // the handler, for OPT_TYPE_FUNC
  std::size_t off;      // byte offset into the options context, with OPT_FLAG_OFFSET
};

union TOptionNames {
  const char* name_canon;        // with OPT_HAS_CANON
  const char* const* names_alt;  // with OPT_HAS_ALT, nullptr-terminated
};

// One entry of an option table; an entry with a nullptr name ends the table.
struct TOptionDef {
  const char* name;
  TOptionType type_;
  std::int32_t flags;
  TOptionTarget u;
  const char* help;
  const char* argname;
  TOptionNames u1;
};
using POptionDef = const TOptionDef*;

// Target values for option rows: OptDst(&field), OptFunc(handler), OptOff(offsetof(...)).
constexpr TOptionTarget OptDst(void* ADst) { return TOptionTarget{.dst_ptr = ADst}; }
constexpr TOptionTarget OptFunc(_Topt_func AFunc) { return TOptionTarget{.func_arg = AFunc}; }
constexpr TOptionTarget OptOff(std::size_t AOff) { return TOptionTarget{.off = AOff}; }

// ---- Stream specifiers ----------------------------------------------------------------------

enum TStreamList : std::int32_t {
  STREAM_LIST_ALL = 0,
  STREAM_LIST_STREAM_ID = 1,
  STREAM_LIST_PROGRAM = 2,
  STREAM_LIST_GROUP_ID = 3,
  STREAM_LIST_GROUP_IDX = 4,
};

struct TStreamSpecifier {
  std::int32_t idx;        // index among the matching streams, -1 for none
  TStreamList stream_list;
  std::int64_t list_id;    // program, stream-group id or index, or stream id
  AVMediaType media_type;  // AVMEDIA_TYPE_UNKNOWN (-1) for any
  std::uint8_t no_apic;    // attached pictures do not match (type letter V)
  std::uint8_t usable_only;
  std::int32_t disposition;  // required disposition bits, 0 for none
  char* meta_key;            // owned, or nullptr
  char* meta_val;            // owned, or nullptr
  char* remainder;           // owned, or nullptr: what followed, when allowed
};
using PStreamSpecifier = TStreamSpecifier*;

// ---- Per-stream option values ---------------------------------------------------------------

union TSpecifierOptValue {
  char* str;
  std::int32_t i;
  std::int64_t i64;
  std::uint64_t ui64;
  float f;
  double dbl;
};

struct TSpecifierOpt {
  char* specifier;  // owned: the text after the first ":" of the option, "" when none
  TStreamSpecifier stream_spec;
  TSpecifierOptValue u;
};

// The target of an OPT_FLAG_SPEC option: its values with their specifiers.
struct TSpecifierOptList {
  TSpecifierOpt* opt;
  std::int32_t nb_opt;
  POptionDef opt_canon;  // the canonical entry of the option
  TOptionType type_;     // type of the stored values
};

// ---- Groups and parse contexts --------------------------------------------------------------

struct TOption {
  POptionDef opt;
  const char* key;  // as typed, without the dash; points into the argument vector
  const char* val;
};

// A kind of option group: opened by the option sep (without its dash), or, with a nullptr
// sep, closed by a bare argument. An option is allowed in it only when its flags share a
// bit with flags (0 allows all).
struct TOptionGroupDef {
  const char* name;
  const char* sep;
  std::int32_t flags;
};
using POptionGroupDef = const TOptionGroupDef*;

struct TOptionGroup {
  POptionGroupDef group_def;
  const char* arg;  // the file name or argument that closed the group
  TOption* opts;
  std::int32_t nb_opts;
  AVDictionary* codec_opts;
  AVDictionary* format_opts;
  AVDictionary* sws_dict;
  AVDictionary* swr_opts;
};
using POptionGroup = TOptionGroup*;

struct TOptionGroupList {
  POptionGroupDef group_def;
  TOptionGroup* groups;
  std::int32_t nb_groups;
};

struct TOptionParseContext {
  TOptionGroup global_opts;
  TOptionGroupList* groups;  // one per group kind given to split_commandline
  std::int32_t nb_groups;
  TOptionGroup cur_group;    // the group being filled
};

// The AVOption dictionaries that parsing collects in an options context.
struct TCmdUtilsOpts {
  AVDictionary* sws_dict;
  AVDictionary* swr_opts;
  AVDictionary* format_opts;
  AVDictionary* codec_opts;
  std::int32_t sws_flags;  // evaluated swscale flags, 0 when not set
};

// The owner's default help (the common help option without a known topic): the options
// context, the topic and its parameter (each may be nullptr).
using Tshow_help_default = void (*)(void* AOptionsCtx, const char* ATopic, const char* AParam);

// The head of every options context. A context is a standard-layout record that is a
// TDefaultOptions or begins with one, so that option rows can target offsets in it and
// every parse routine reaches the dictionaries; it is a log context too.
struct TDefaultOptions {
  const AVClass* av_class;  // get_options_context_class()
  Platform::TObject* Owner;
  TCmdUtilsOpts def_opts;
  Tshow_help_default show_help_default;
};

// Takes each item of parse_options that is not an option.
using Tparse_arg_function = int (*)(void* AOptionsCtx, const char* AText);

// The group kind of the global options.
extern const TOptionGroupDef CGlobalGroupDef;

// ---- Option machinery -----------------------------------------------------------------------

// Reads ANumStr as a number of ADataType within AMin..AMax into ADst: 0, or
// AVERROR(EINVAL) with a fatal message naming AContext.
int parse_number(void* ctx, const char* AContext, const char* ANumStr, TOptionType ADataType,
                 double AMin, double AMax, double& ADst);
// The first entry whose name is AName up to its end or a ":" (a leading "/" skipped);
// the terminating entry when none matches.
POptionDef find_option(POptionDef ATable, const char* AName);
bool opt_has_arg(POptionDef AEntry);
// Applies one option: 0, AVERROR_EXIT or a negative error.
int write_option(void* ctx, POptionDef AEntry, const char* opt, const char* arg,
                 POptionDef ATable);
// Parses one option given without its dash: the number of items consumed from arg (0
// or 1) or a negative error.
int parse_option(void* ctx, const char* opt, const char* arg, POptionDef ATable);
// Parses a whole vector; items that are not options go to AParseArg.
int parse_options(void* ctx, int argc, const char* const* argv, POptionDef ATable,
                  Tparse_arg_function AParseArg);
// Applies the options of one group.
int parse_optgroup(void* ctx, const TOptionGroup* AGroup, POptionDef ATable);
// The index of the first item that names the option AName, or -1.
int locate_option(int argc, const char* const* argv, POptionDef ATable, const char* AName);
// Fails the consistency check on a malformed table.
void check_options(POptionDef ATable);
// The early scan of a vector for the log level and the report.
void parse_loglevel(void* ctx, int argc, const char* const* argv, POptionDef ATable);
// Hands an option missing from the table to the AVOptions of the libraries: 0,
// AVERROR(EINVAL) or AVERROR_OPTION_NOT_FOUND (a name that no library knows, which it
// leaves to its caller to report).
int opt_default(void* ctx, const char* opt, const char* arg);
// Splits a vector into the global group and groups of the kinds AGroups.
int split_commandline(void* ctx, TOptionParseContext* AOctx, int argc,
                      const char* const* argv, POptionDef ATable,
                      const TOptionGroupDef* AGroups, int ANbGroups);
// Frees what split_commandline built, then the context's dictionaries (uninit_opts).
void uninit_parse_context(void* ctx, TOptionParseContext* AOctx);
void uninit_opts(void* ctx);
// The swscale flags of the context: 4 (bicubic) when none were given.
int FetchSwsFlags(void* ctx);
// The class of options contexts ("LantorObject"), naming the context's owner.
const AVClass* get_options_context_class();

// ---- Stream specifiers and codec options ----------------------------------------------------

int stream_specifier_parse(TStreamSpecifier* ss, const char* spec, int allow_remainder,
                           void* logctx);
// 1 when AStream matches, else 0.
int stream_specifier_match(const TStreamSpecifier* ss, const AVFormatContext* s,
                           const AVStream* st, void* logctx);
void stream_specifier_uninit(TStreamSpecifier* ss);
// Parses, matches and frees: 1, 0 or the negative parse error.
int check_stream_specifier(const AVFormatContext* s, const AVStream* st, const char* spec);
// The codec options of AOpts that apply to the stream, in ADst.
int filter_codec_opts(const AVDictionary* AOpts, AVCodecID ACodecId, const AVFormatContext* s,
                      const AVStream* st, const AVCodec* ACodec, AVDictionary*& ADst,
                      AVDictionary** AOptsUsed);
// One filtered dictionary per stream (nullptr when the file has no streams).
int setup_find_stream_info_opts(const AVFormatContext* s, const AVDictionary* ACodecOpts,
                                AVDictionary**& AOpts);
void remove_avoptions(AVDictionary** a, const AVDictionary* b);
int check_avoptions(const AVDictionary* m);
bool cmdutils_isalnum(char c);

// ---- Utility routines -----------------------------------------------------------------------

// The exception of the tool code. The logging constructors log the message (trimmed,
// with a line end) through av_log with ALogCtx and ALevel before the exception is
// thrown; the message-only constructor logs nothing.
class FFmpegException : public Platform::Exception {
 public:
  explicit FFmpegException(const std::string& AMessage) : Platform::Exception(AMessage) {}
  FFmpegException(void* ALogCtx, int ALevel, const std::string& AMessage);
  FFmpegException(void* ALogCtx, int ALevel, const char* AFormat, ...)
      __attribute__((format(printf, 4, 5)));
};

// One entry of the fall-back error table.
struct TErrorEntry {
  int err;
  const char* msg;
};
// The errno values of this platform as FFmpeg codes, then FFmpeg's tagged codes.
extern const TErrorEntry CErrorList[];
extern const int CErrorListCount;

// The text of an FFmpeg error code.
std::string print_error(int AErr);
// AName, ": " and the text; only the text when AName is empty.
std::string print_error(const std::string& AName, int AErr);
std::string print_error(const char* AName, int AErr);

// Opens the preset file APreset ("r"), searching FFMPEG_DATADIR, HOME/.ffmpeg and the
// program's folder "ffpresets" unless AIsPath; AFileName holds the last path tried.
FILE* get_preset_file(char* AFileName, std::size_t AFileNameSize, const char* APreset,
                      int AIsPath, const char* ACodecName);

// Grows AArray (elements of AElemSize bytes, ACount of them) to ANewSize zeroed
// elements: 0, AVERROR(ERANGE) or AVERROR(ENOMEM) (array untouched).
int grow_array(void*& AArray, int AElemSize, int& ACount, int ANewSize);
template <class T>
int grow_array(T*& AArray, int& ACount, int ANewSize) {
  void* p = AArray;
  const int ret = grow_array(p, static_cast<int>(sizeof(T)), ACount, ANewSize);
  AArray = static_cast<T*>(p);
  return ret;
}
// Appends a new zeroed element of AElemSize bytes to the pointer array at AArray
// (a T** variable); nullptr when out of memory.
void* allocate_array_elem(void* AArray, std::size_t AElemSize, int& ACount);
template <class T>
T* allocate_array_elem(T**& AArray, int& ACount) {
  return static_cast<T*>(allocate_array_elem(&AArray, sizeof(T), ACount));
}

// The rotation of a display matrix in degrees, in [0, 360); 0 for nullptr.
double get_rotation(const std::int32_t* ADisplayMatrix);
// The rotation of the stream's display-matrix side data, 0 when it has none.
double get_rotation(const AVStream* st);

// The whole content of a file (allocated with av_malloc; av_free it), or nullptr.
char* file_read(const char* AFileName);

// A FourCC, a in the lowest byte (parenthesised: the FFmpeg headers have a macro of
// this name).
constexpr std::uint32_t(MKTAG)(char a, char b, char c, char d) {
  return std::uint32_t(std::uint8_t(a)) | std::uint32_t(std::uint8_t(b)) << 8 |
         std::uint32_t(std::uint8_t(c)) << 16 | std::uint32_t(std::uint8_t(d)) << 24;
}

// Logs a host text through the FFmpeg log (the text is never read as a format).
void ff_log(void* ALogCtx, int ALevel, const std::string& AMessage);
void ff_log(void* ALogCtx, int ALevel, const char* AFormat, ...)
    __attribute__((format(printf, 3, 4)));
// The same, but the log worker queues the line instead of emitting it on this thread,
// so that the caller never waits for the host's log handler.
void ff_log_async(void* ALogCtx, int ALevel, const std::string& AMessage);
void ff_log_async(void* ALogCtx, int ALevel, const char* AFormat, ...)
    __attribute__((format(printf, 3, 4)));

// The text that the help log catcher collects.
extern std::string Gcatch_log_callback_help;

}  // namespace CmdUtils
