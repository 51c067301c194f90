// Output file set-up: turns one output group of a task's command line into an open
// output. Creates the muxer record and its format context, chooses the output streams
// (complex-graph outputs, -map or the automatic choice, attachments), sets up each
// stream's encoder or stream copy with its options, presets and statistics files, wires
// the streams into the task's scheduler, adds sync queues, metadata, chapters,
// dispositions, forced key-frame plans, stream groups and programs, and opens the byte
// sink (a file or a host stream).
//
// Everything here runs on the thread that parses the task's options, before the
// scheduler starts; nothing is global. A failure leaves the partly built output in the
// task's output list, where the task's clean-up frees it with the rest.
#pragma once
#include <cstdint>
#include <string>

#include "engine/FFmpegMux.h"
#include "engine/FFmpegSched.h"
#include "runtime/FFmpegHeader.h"

namespace FFmpegMuxInit {

using FFmpegHeader::TBaseFFmpeg;
using FFmpegHeader::TOptionsContext;
using FFmpegMux::TMux;
using FFmpegMux::TMuxStream;

// ---- Output files -------------------------------------------------------------------------

// Opens the output `filename` (used as it stands) of the group `o` for the task: 0, or a
// negative error code with its message logged. Called once per output file, in
// command-line order, after every input file and complex filter graph exists. The file
// keeps a copy of `filename` as its url (freed by of_free).
[[nodiscard]] int of_open(TBaseFFmpeg* task, const TOptionsContext* o, const char* filename,
                          FFmpegSched::TScheduler* sch);

}  // namespace FFmpegMuxInit
