// Information printers: what the loaded FFmpeg build offers, as lines of a string list,
// and the version banner logged once after the FFmpeg libraries have been loaded.
#pragma once
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

}  // namespace OptCommon
