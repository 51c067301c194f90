// The conversion task's front end: its option table (the common rows followed by the
// conversion rows), the handlers of the table's function rows, the per-group options
// context's life cycle, the parse of a whole command line into input files, output files,
// loopback decoders and complex filter graphs, and the helpers that the opening units use
// to read per-stream option values, look codecs up and guard against overwriting files.
//
// Nothing here keeps state of its own: every row of a task's table points into that task
// (its fields, its handlers, or an offset of the options context of the group being
// parsed), so tasks parse side by side. What the FFmpeg libraries keep process-wide (the
// log level and flags) stays process-wide: a log option of one task acts on the process.
#pragma once
#include <cstdint>
#include <string>

#include "engine/FFmpegSched.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFmpegHeader.h"

namespace FFmpegOpt {

using FFmpegHeader::TBaseFFmpeg;
using FFmpegHeader::TOptionsContext;
using FFmpegSched::TScheduler;

// Every entry runs on the thread that parses the task's command line, before the scheduler
// starts (the help printers: on the caller's thread). The parser's own contexts and steps
// are in FFmpegOptInternal.h.

// ---- Contexts --------------------------------------------------------------------------------

// Writes the task's option table into ATask->_OptionDef: the common rows, the conversion
// rows and the terminating row. Rows that target the task point at ATask's own fields.
void BuildOptionTable(TBaseFFmpeg* ATask);

// The usage banner and line, logged at info level.
void show_usage();
// The engine's default help for ATopic (nullptr or "" basic, "long", "full").
void show_help_default(void* AOptionsCtx, const char* ATopic, const char* AParam);

// ---- Per-stream option values ----------------------------------------------------------------

// The value of a per-stream option for the stream AStream of AFormatContext: the last entry of
// AList whose specifier matches wins. Returns its position plus 1 (AValue set), or 0 when no
// entry matched (AValue untouched). When several matched, a warning names the option.
int opt_match_per_stream_str(void* ALogCtx, const CmdUtils::TSpecifierOptList& AList,
                             const AVFormatContext* AFormatContext, const AVStream* AStream,
                             const char*& AValue);
int opt_match_per_stream_int(void* ALogCtx, const CmdUtils::TSpecifierOptList& AList,
                             const AVFormatContext* AFormatContext, const AVStream* AStream,
                             int& AValue);
int opt_match_per_stream_int64(void* ALogCtx, const CmdUtils::TSpecifierOptList& AList,
                               const AVFormatContext* AFormatContext, const AVStream* AStream,
                               std::int64_t& AValue);
int opt_match_per_stream_dbl(void* ALogCtx, const CmdUtils::TSpecifierOptList& AList,
                             const AVFormatContext* AFormatContext, const AVStream* AStream,
                             double& AValue);
// The string value given exactly for the media letter AMediaType ("a", "v"...), or nullptr.
const char* opt_match_per_type_str(const CmdUtils::TSpecifierOptList& AList, char AMediaType);

// ---- Helpers of the opening units ------------------------------------------------------------

// The encoder (AEncoder) or decoder named AName for media type AType, also by codec
// descriptor name: 0 with ACodec set; AVERROR_ENCODER_NOT_FOUND / AVERROR_DECODER_NOT_FOUND
// for an unknown name; AVERROR(EINVAL) for a codec of another media type unless ATask allows
// recasting (-recast_media). Messages go to ALogCtx.
[[nodiscard]] int find_codec(TBaseFFmpeg* ATask, void* ALogCtx, const char* AName,
                             AVMediaType AType, bool AEncoder, const AVCodec*& ACodec);

// Checks that writing AFilename is allowed: 0; AVERROR(EINVAL) for -y together with -n or
// for an output that is one of the inputs; AVERROR_EXIT for an existing file with -n (the
// task ends at once, as asked: not a failure).
[[nodiscard]] int assert_file_overwrite(TBaseFFmpeg* ATask, const char* AFilename);

// The value of -fps_mode (file and stream index for the message) or, with AIsGlobal, of
// -vsync, stored in AVsync: 0 or AVERROR(EINVAL). The global form also takes the old numbers
// -1 to 3.
[[nodiscard]] int parse_and_set_vsync(TBaseFFmpeg* ATask, const char* AArg, int& AVsync,
                                      int AFileIdx, int AStIdx, bool AIsGlobal);

// Parses a view specifier at ASpec ("view:N", "view:all", "vidx:N", "vpos:left|right"):
// 0 with AVs set (VIEW_SPECIFIER_TYPE_NONE when ASpec holds none) and ASpec moved past it,
// or AVERROR(EINVAL).
[[nodiscard]] int parse_view_specifier(void* ALogCtx, FFmpegHeader::TViewSpecifier& AVs,
                                       const char*& ASpec);

}  // namespace FFmpegOpt
