// The options every option table begins with (help, version and lists, log level,
// report, allocation limit, processor options) and their handlers; the help printing;
// information printers: what the loaded FFmpeg build offers, as lines of a string list,
// and the version banner logged once after the FFmpeg libraries have been loaded; the
// log-level option and the report file.
//
// Help and list output never goes to a console: the option handlers hand it to the log
// worker as one message.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/Strings.h"
#include "runtime/CmdUtils.h"

namespace OptCommon {

// Each printer appends its lines to AList and returns the number of items listed.
int show_bsfs(Platform::TStringList& AList);
int show_codecs(Platform::TStringList& AList);
int show_decoders(Platform::TStringList& AList);
int show_demuxers(Platform::TStringList& AList);
int show_devices(Platform::TStringList& AList);
int show_encoders(Platform::TStringList& AList);
int show_filters(Platform::TStringList& AList);
int show_formats(Platform::TStringList& AList);
int show_layouts(Platform::TStringList& AList);
int show_muxers(Platform::TStringList& AList);
int show_pix_fmts(Platform::TStringList& AList);
int show_protocols(Platform::TStringList& AList);
int show_sample_fmts(Platform::TStringList& AList);
int show_dispositions(Platform::TStringList& AList);
int show_colors(Platform::TStringList& AList);
// The sources (sinks) that the input (output) devices detect. ADevice is
// "devicename[,opt1=val1[:opt2=val2...]]" or empty for every device: the number of
// lines added, or the negative error of the options.
int show_sources(Platform::TStringList& AList, const std::string& ADevice);
int show_sinks(Platform::TStringList& AList, const std::string& ADevice);
// The program and library version lines; 0.
int show_version(Platform::TStringList& AList);

// Logs the program and library version lines as one message of the log worker.
void show_banner();

// ---- Log level and report -----------------------------------------------------------

// The handler of the log-level options: flag words ("repeat", "level", "time",
// "datetime", each with an optional "+" or "-") and a level name or number, as in
// "repeat+level+warning" or "+time". Sets the flags and the level of the log worker,
// for the whole process: 0, or AVERROR(EINVAL) with nothing changed.
int opt_loglevel(void* ctx, const char* opt, const char* arg);

// Starts the report file unless it is open already (AFile then receives the open file).
// AEnv holds FFREPORT-style pairs "file=<template>:level=<n>" (or is nullptr); the
// template's "%p" is the program's name, "%t" the local date and time, "%%" a percent
// sign (default "%p-%t.log"). From then on every FFmpeg message up to the report level
// is written to the file, and every message still reaches the log worker.
// 0, AVERROR(EINVAL) (bad level), AVERROR(ENOMEM) or -1 (file not opened).
int init_report(void* ctx, const char* AEnv, FILE** AFile);
// Closes the report file and gives the FFmpeg log back to the log worker alone.
void reset_report();


// ---- Common options and help ------------------------------------------------------------

constexpr int CCommonOptionCount = 28;

// Writes the common rows at the start of ATable; returns the entry after them, where the
// owner's own rows follow.
CmdUtils::TOptionDef* InitCommonOptions(CmdUtils::TOptionDef* ATable);

// The handler of the help options. arg is a topic, "topic=name" ("encoder=mpeg4",
// "filter=scale", ...) or nullptr; a topic that is none of decoder, encoder, demuxer,
// muxer, protocol, filter and bsf goes to the owner's default help (the options
// context's show_help_default). The help text is caught from the FFmpeg log and handed to
// the log worker as one message: 0, or AVERROR(ENOMEM).
int show_help(void* ctx, const char* opt, const char* arg);
// Logs the entries of ATable whose flags hold all of ARequired and none of ARejected,
// under AHeading, at info level.
void show_help_options(CmdUtils::POptionDef ATable, const char* AHeading, int ARequired,
                       int ARejected);
// Logs the AVOptions of AClass and of its child classes with the flags AFlags.
void show_help_children(const AVClass* AClass, int AFlags);
// The av_log callback of the help: appends each message to Gcatch_log_callback_help.
void log_callback_help(void* AContext, int ALevel, const char* AFormat, va_list AArgs);
// Applies a cpu-flags text ("+sse2-avx", ...) to the current flags and forces the
// result: the result of parsing the text.
int set_cpu_flags(const std::string& AText);

}  // namespace OptCommon
