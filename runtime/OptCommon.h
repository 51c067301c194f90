// Information printers: what the loaded FFmpeg build offers, as lines of a string list,
// and the version banner logged once after the FFmpeg libraries have been loaded; the
// log-level option and the report file.
#pragma once
#include <cstdio>

#include "platform/Strings.h"

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

}  // namespace OptCommon
