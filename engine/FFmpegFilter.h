// Filter graphs of a conversion task: creation from a graph text, binding of every graph
// input (to an input stream, a loopback decoder or another graph's output) and output (to
// an encoder or another graph's input), configuration of the real libavfilter graph with
// its source and sink chains, and the filter thread that runs a graph under the task's
// scheduler (reconfiguration, subtitle canvas, output time base, frame-rate choice and
// video sync).
//
// A simple graph belongs to one output stream (TOutputStream::fg_simple) and has exactly
// one input and one output; a complex graph comes from -filter_complex, is listed in the
// task's Ffiltergraphs and may have any number of inputs and outputs.
//
// Threads: creation, binding and fg_free run on the thread that parses the task's options
// (or cleans it up), before the scheduler starts or after it has stopped. Everything else
// runs on the graph's own filter thread; its records and steps are the unit's own
// (FFmpegFilterInternal.h). The only fields other threads read while the
// graph runs are TOutputFilter::nb_frames_dup / nb_frames_drop (atomic, written by the
// filter thread only) and the task's FShowDupOrDrop.
#pragma once
#include <cstdint>

#include "engine/FFmpegSched.h"
#include "runtime/FFmpegHeader.h"

namespace FFmpegFilter {

using FFmpegHeader::PDecoder;
using FFmpegHeader::PFilterGraph;
using FFmpegHeader::PInputFilter;
using FFmpegHeader::PInputStream;
using FFmpegHeader::POutputFilter;
using FFmpegHeader::TBaseFFmpeg;
using FFmpegHeader::TFilterGraph;
using FFmpegHeader::TInputFilter;
using FFmpegHeader::TInputFilterOptions;
using FFmpegHeader::TOutputFilter;
using FFmpegHeader::TOutputFilterOptions;
using FFmpegHeader::TViewSpecifier;

// ---- Flags ----------------------------------------------------------------------------------

// TInputFilterOptions::flags
constexpr std::uint32_t IFILTER_FLAG_AUTOROTATE = 0x1;    // apply the display matrix
constexpr std::uint32_t IFILTER_FLAG_REINIT = 0x2;        // reconfigure on parameter change
constexpr std::uint32_t IFILTER_FLAG_CFR = 0x4;           // time base = 1/frame rate
constexpr std::uint32_t IFILTER_FLAG_CROP = 0x8;          // apply the crop rectangle
constexpr std::uint32_t IFILTER_FLAG_DROPCHANGED = 0x10;  // drop changed frames instead

// TOutputFilterOptions::flags
constexpr std::uint32_t OFILTER_FLAG_DISABLE_CONVERT = 0x1;
constexpr std::uint32_t OFILTER_FLAG_AUDIO_24BIT = 0x2;
constexpr std::uint32_t OFILTER_FLAG_AUTOSCALE = 0x4;

// Video sync methods (TOutputFilterPriv::vsync_method), as -vsync / -fps_mode.
constexpr int VSYNC_AUTO = -1;
constexpr int VSYNC_PASSTHROUGH = 0;
constexpr int VSYNC_CFR = 1;
constexpr int VSYNC_VFR = 2;
constexpr int VSYNC_VSCFR = 3;
constexpr int VSYNC_DROP = 4;

// Marks in a frame's opaque value between decoders, graphs and the scheduler.
constexpr std::intptr_t FRAME_OPAQUE_SUB_HEARTBEAT = 1;
constexpr std::intptr_t FRAME_OPAQUE_EOF = 2;

// ---- Set-up and binding (option-parsing thread) ---------------------------------------------

// Creates a graph from graph_desc, which the graph takes over (freed on failure too).
// With pfg the graph is a simple graph to be (not listed, index -1) and returned there;
// without, it is appended to the task's Ffiltergraphs. 0 or a negative error. A graph
// that failed half-way stays where it was put (*pfg or the list), since it may already
// be registered with the scheduler and the streams: its owner frees it with fg_free.
[[nodiscard]] int fg_create(TBaseFFmpeg* Owner, PFilterGraph* pfg, char* graph_desc,
                            FFmpegSched::TScheduler* sch);

// Creates the simple graph of an output stream fed by ist, binds its input to ist and its
// output to the encoder sched_idx_enc. graph_desc is taken over. 0 or a negative error
// (AVERROR(EINVAL) unless the text has exactly one input and one output of the stream's
// type). On failure *pfg may hold the partly built graph, for the stream to free.
[[nodiscard]] int fg_create_simple(TBaseFFmpeg* Owner, PFilterGraph* pfg, PInputStream ist,
                                   const TOutputFilterOptions* opts, unsigned sched_idx_enc,
                                   FFmpegSched::TScheduler* sch, char* graph_desc);

// Binds a graph output to the encoder sched_idx_enc with the stream's wishes in opts
// (copied; the lists are kept as pointers). 0 or a negative error; binding twice is an
// assertion.
[[nodiscard]] int ofilter_bind_enc(POutputFilter ofilter, unsigned sched_idx_enc,
                                   const TOutputFilterOptions* opts);

// After all files are open: binds every still unbound input of every complex graph, then
// checks that every output of every graph is bound (check_filter_outputs). 0 or the first
// error.
[[nodiscard]] int fg_finalise_bindings(TBaseFFmpeg* Owner);

// Frees the graph with its inputs and outputs and sets fg to nullptr; nullptr is accepted.
// Owned strings of the heads (name, linklabel, input_name, output_name, apad) are
// av_malloc'ed and freed here. Only once the graph's filter thread has ended.
void fg_free(PFilterGraph& fg);

// True for the simple graph of an output stream (fixed at creation: any thread).
bool filtergraph_is_simple(const TFilterGraph* fg);

}  // namespace FFmpegFilter
