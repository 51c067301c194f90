// Input files of a conversion task and their demuxer threads.
//
// ifile_open turns one "-i" group of the command line into an open, probed input: a
// demuxer record (TDemux) registered with the task's scheduler, with one input stream
// (TDemuxStream) per container stream. The input options are applied there (start and
// end, read rate, codecs, hardware acceleration, cropping, display matrix, layout
// guess, bitstream filters) and attachments are dumped. Output set-up and filter graphs
// later bind streams to their consumers with ist_use / ist_filter_add, which decide
// whether a stream is decoded (and create its decoder) or copied, and connect it in the
// scheduler. A stream nobody uses stays discarded and is never read into the graph.
//
// At run time the scheduler runs input_thread once per input file that has a used
// stream: it reads packets, repairs their timestamps (wrap, offsets, scale, loop,
// discontinuities, dts estimate), paces itself to a read rate, runs the bitstream
// filters and hands the packets to the scheduler.
//
// Everything here belongs to one task: the records reach the task through Owner and
// keep no global state.
#pragma once
#include <cstdint>

#include "engine/FFmpegSched.h"
#include "runtime/FFmpegHeader.h"

namespace FFmpegDemux {

using FFmpegHeader::PInputFile;
using FFmpegHeader::PInputStream;
using FFmpegHeader::TBaseFFmpeg;
using FFmpegHeader::TOptionsContext;

// Bits of an input stream's decoding needs (ist_use).
constexpr int DECODING_FOR_OST = 1;  // decoded for an output stream (simple graph)

// Each entry below is called by the thread that parses the task's command line, before
// the scheduler starts (ifile_close: after it has stopped); the demuxer's own records and
// thread are in FFmpegDemuxInternal.h.

// Opens the input `filename` of one "-i" group (options o) for the task and registers
// its demuxer with sch. 0, or a negative error after the reason was logged. The file is
// appended to the task's Finput_files as soon as its record exists, so a half-built
// file is released by ifile_close with the task.
[[nodiscard]] int ifile_open(TBaseFFmpeg* Owner, const TOptionsContext* o, const char* filename,
                             FFmpegSched::TScheduler* sch);

// Binds a consumer to the stream: decoding 0 copies the stream, DECODING_FOR_OST decodes
// it (the decoder is created on the first decoding use; the demuxer binds the inputs of
// complex filter graphs itself, with a bit of its own).
// src receives the node that feeds the consumer: the demuxer stream for a copy, else
// the decoder's output (the one for view vs when given). 0; AVERROR(EINVAL) for a
// stream the user disabled or when decoding is asked and there is no decoder; another
// negative error from the decoder's creation.
[[nodiscard]] int ist_use(TBaseFFmpeg* Owner, PInputStream ist, int decoding,
                          FFmpegSched::TSchedulerNode& src, const FFmpegHeader::TViewSpecifier* vs);

// Binds the filter input ifilter to the stream for decoding (is_simple: a simple graph
// of one output stream), appends it to the stream's filters and fills opts with what
// the filter input needs (frame rate, crop, canvas size, trim, flags, name; opts.name
// is allocated and belongs to the caller; opts.fallback must be allocated by the
// caller and receives the decoder's frame properties). 0 or a negative error.
[[nodiscard]] int ist_filter_add(TBaseFFmpeg* Owner, PInputStream ist,
                                 FFmpegHeader::PInputFilter ifilter,
                                 FFmpegSched::TSchedulerNode& src,
                                 FFmpegHeader::TInputFilterOptions& opts,
                                 const FFmpegHeader::TViewSpecifier* vs, int is_simple);

// Writes the final statistics (when reading started), frees the streams, closes a host
// stream and the format context and frees the record; f becomes nullptr. nullptr is
// accepted. Only once the scheduler has stopped.
void ifile_close(PInputFile& f);

// Writes the extradata of attachment stream ist to filename, or to the stream's
// "filename" tag when filename is empty. 0 (also when there is nothing to write) or a
// negative error.
[[nodiscard]] int dump_attachment(PInputStream ist, const char* filename);

// The first input stream of type `type` (file order, then stream order) that no
// consumer uses yet and the user did not disable, or nullptr.
PInputStream ist_find_available(TBaseFFmpeg* Owner, AVMediaType type);

}  // namespace FFmpegDemux
