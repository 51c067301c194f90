// The command-line parser's own records and steps: the global options context, the group
// contexts and the opening of each group. Only the parser (FFmpegOpt.cpp) and its tests
// include this header; every other unit goes through FFmpegOpt.h.
#pragma once
#include "engine/FFmpegOpt.h"

namespace FFmpegOpt {

// The options context of the global group. Its head is laid out as CmdUtils::TDefaultOptions
// so the option machinery reaches the task and the AVOption dictionaries.
struct TGlobalOptionsContext {
  const AVClass* av_class;
  TBaseFFmpeg* Owner;
  CmdUtils::TCmdUtilsOpts def_opts;
  CmdUtils::Tshow_help_default show_help_default;

  TScheduler* sch;  // the task's scheduler (not owned)
  // Complex filter graph descriptions collected by -filter_complex and its siblings, in
  // command-line order; owned (av_free each, then the array).
  char** filtergraphs;
  std::int32_t nb_filtergraphs;
};

// Opens one group of the command line (an input, an output or a loopback decoder) with its
// options: 0, or a negative error.
using TOpenGroupFunc = int (*)(TBaseFFmpeg* ATask, TOptionsContext* o, const char* arg,
                               TScheduler* sch);

// Number of conversion rows that follow the common rows in every task's table (with
// -hide_banner and -stdin, which a task accepts and has nothing to do for).
constexpr int CConversionOptionCount = 162;

// Writes the defaults into a context (which is zeroed first) for a group of ATask.
void init_options(TBaseFFmpeg* ATask, TOptionsContext& AContext);
// Frees everything the option rows stored into AContext (lists, strings, maps, attachments,
// stream ids, AVOption dictionaries). The context may be released twice.
void uninit_options(TBaseFFmpeg* ATask, TOptionsContext& AContext);

// For each group of AGroups in order: parses its options into a fresh context and hands it
// to AOpen. The first failure is logged with AKind ("input", "output", "decoder") and the
// group's argument and returned; 0 after the last group.
[[nodiscard]] int open_files(TBaseFFmpeg* ATask, CmdUtils::TOptionGroupList* AGroups,
                             const char* AKind, TOpenGroupFunc AOpen, TScheduler* sch);

// Splits the argument vector into groups, applies the global options, creates the complex
// filter graphs, opens inputs, outputs and loopback decoders, binds the filter graphs and
// corrects the input start times: 0, AVERROR_EXIT (an information option ended the parse)
// or a negative error (logged with the failing stage at fatal level).
[[nodiscard]] int ffmpeg_parse_options(TBaseFFmpeg* ATask, int argc, char** argv, TScheduler* sch);

// The body of TCustomFFmpeg::ParseOptions (loopback decoders need a TCustomFFmpeg; other
// tasks get AVERROR(EINVAL) for them): stores ACommandLine, splits it,
// applies the log options process-wide, creates the task's scheduler and parses. 0 or more
// for success; negative for failure, with the reason in the task's FLastErrMsg.
[[nodiscard]] int ParseTaskOptions(TBaseFFmpeg* ATask, const std::string& ACommandLine);

}  // namespace FFmpegOpt
