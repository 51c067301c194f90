// The steps of an output's set-up: the muxer and stream records, stream mapping, sync
// queues, groups, programs, metadata, dispositions, key frames and statistics writers.
// Only the output set-up (FFmpegMuxInit.cpp) and its tests include this header; every
// other unit goes through FFmpegMuxInit.h.
#pragma once
#include "engine/FFmpegMuxInit.h"

namespace FFmpegMuxInit {

// Appends a zeroed muxer record to the task's output list ("out#<index>"), or nullptr
// when out of memory.
TMux* mux_alloc(TBaseFFmpeg* task);
// The log prefix of an output file (its log_name).
const char* output_file_item_name(void* obj);
// 1 when `name` is set in `dict` and, evaluated as obj's flag option of that name,
// includes `flag`; else 0.
int check_opt_bitexact(void* obj, const AVDictionary* dict, const char* name, int flag);

// Appends a new output stream record of `type` to the file ("<letter>ost#<file>:<index>"),
// or nullptr when out of memory. The container stream is the caller's (ost.st).
TMuxStream* ost_alloc(TMux* mux, AVMediaType type);

// Opens a preset file "[<codec_name>-]<preset>.avpreset" for reading, trying the folders
// $AVCONV_DATADIR, $HOME/.avconv and the program's folder in this order (for each, the
// codec-specific name first). 0 with *pb set, or the last open error.
[[nodiscard]] int get_preset_file_2(const char* preset, const char* codec_name,
                                    AVIOContext** pb);

// Parses the statistics format `fmt` into `es` and binds it to the task's shared writer
// for `path`; pre: 1 for the pre-encoding side, 0 for the post-encoding (and muxing)
// side. 0 or AVERROR(EINVAL) with a message.
[[nodiscard]] int enc_stats_init(TBaseFFmpeg* task, FFmpegHeader::TOutputStream* ost,
                                 FFmpegHeader::TEncStats* es, const char* fmt,
                                 const char* path, int pre);

// Creates every output stream of the file: complex-graph outputs, -map or the automatic
// choice, then the -attach files. 0 or a negative error code.
[[nodiscard]] int create_streams(TMux* mux, const TOptionsContext* o);
// One -map entry (a disabled one does nothing).
[[nodiscard]] int map_manual(TMux* mux, const TOptionsContext* o,
                             const FFmpegHeader::TStreamMap* map);
// The -attach files, each an attachment stream whose extra data is the file's content.
[[nodiscard]] int of_add_attachments(TMux* mux, const TOptionsContext* o);

// Creates the encoder sync queue in the scheduler and the muxer's packet sync queue when
// the file needs them (-shortest, -frames limits, audio encoders with a fixed frame
// size). 0 or a negative error code.
[[nodiscard]] int setup_sync_queues(TMux* mux, AVFormatContext* fc, std::int64_t buf_size_us,
                                    int shortest);

[[nodiscard]] int of_add_groups(TMux* mux, const TOptionsContext* o);
[[nodiscard]] int of_add_programs(TMux* mux, const TOptionsContext* o);
[[nodiscard]] int copy_meta(TMux* mux, const TOptionsContext* o);
[[nodiscard]] int of_add_metadata(FFmpegHeader::TOutputFile* of, AVFormatContext* fc,
                                  const TOptionsContext* o);
[[nodiscard]] int set_dispositions(TMux* mux, const TOptionsContext* o);
[[nodiscard]] int process_forced_keyframes(TMux* mux, const TOptionsContext* o);

// One -stream_group text: `token` is its first part (key=value pairs), `ptr` the
// type-specific list after the first "," (nullptr when none; it is modified).
[[nodiscard]] int of_parse_group_token(TMux* mux, const char* token, char* ptr);
// The non-default options of obj as "key=value:key=value" in text; its length or an error.
int of_serialize_options(TMux* mux, void* obj, std::string& text);
// The index of the output's stream group with this id, or AVERROR(EINVAL).
std::int64_t get_stream_group_index_from_id(TMux* mux, std::int64_t id);

// A metadata specifier ("", "g", "s[:spec]", "c[:index]", "p[:index]"): 0 with the type
// letter, the index and the stream specifier set; AVERROR(EINVAL) otherwise.
[[nodiscard]] int parse_meta_type(void* logctx, const char* arg, char* type, int* index,
                                  const char** stream_spec);
// A -force_key_frames list of times ("chapters[offset]" stands for every chapter start
// of the output) into kf->pts, sorted. 0 or a negative error.
[[nodiscard]] int parse_forced_key_frames(void* log, FFmpegHeader::TKeyframeForceCtx* kf,
                                          const TMux* mux, const char* spec);

}  // namespace FFmpegMuxInit
