// Entry points of libavformat, bound at run time by their C names.
#pragma once
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>

// Exported by libavformat without a public prototype.
void avpriv_set_pts_info(AVStream* s, int pts_wrap_bits, unsigned int pts_num, unsigned int pts_den);
}

#include "runtime/MyUtils.h"

// Every entry point this system calls in the library, in one list.
#define AVFORMAT_ENTRY_POINTS(X) \
  X(avformat_version) \
  X(avformat_configuration) \
  X(avformat_license) \
  X(avformat_network_init) \
  X(avformat_network_deinit) \
  X(avformat_alloc_context) \
  X(avformat_free_context) \
  X(avformat_open_input) \
  X(avformat_close_input) \
  X(avformat_find_stream_info) \
  X(avformat_new_stream) \
  X(avformat_alloc_output_context2) \
  X(avformat_init_output) \
  X(avformat_write_header) \
  X(avformat_query_codec) \
  X(avformat_get_class) \
  X(avformat_seek_file) \
  X(avformat_match_stream_specifier) \
  X(avformat_stream_group_create) \
  X(avformat_stream_group_add_stream) \
  X(avformat_stream_group_name) \
  X(av_read_frame) \
  X(av_read_pause) \
  X(av_read_play) \
  X(av_seek_frame) \
  X(av_interleaved_write_frame) \
  X(av_write_frame) \
  X(av_write_trailer) \
  X(av_dump_format) \
  X(av_pkt_dump_log2) \
  X(av_sdp_create) \
  X(av_find_input_format) \
  X(av_guess_format) \
  X(av_guess_codec) \
  X(av_guess_frame_rate) \
  X(av_guess_sample_aspect_ratio) \
  X(av_muxer_iterate) \
  X(av_demuxer_iterate) \
  X(av_find_best_stream) \
  X(av_new_program) \
  X(av_program_add_stream_index) \
  X(av_find_program_from_stream) \
  X(av_filename_number_test) \
  X(av_stream_get_class) \
  X(av_stream_get_parser) \
  X(av_codec_get_tag2) \
  X(av_codec_get_id) \
  X(av_disposition_from_string) \
  X(av_disposition_to_string) \
  X(avio_alloc_context) \
  X(avio_context_free) \
  X(avio_open2) \
  X(avio_closep) \
  X(avio_flush) \
  X(avio_write) \
  X(avio_w8) \
  X(avio_read) \
  X(avio_seek) \
  X(avio_skip) \
  X(avio_size) \
  X(avio_feof) \
  X(avio_find_protocol_name) \
  X(avio_enum_protocols) \
  X(avio_protocol_get_class) \
  X(avio_check) \
  X(avio_open_dyn_buf) \
  X(avio_close_dyn_buf) \
  X(avio_get_dyn_buf) \
  X(avio_read_to_bprint) \
  X(avpriv_set_pts_info)

namespace AVFormatStubs {

AVFORMAT_ENTRY_POINTS(OSTREVAN_STUB_DECLARE)

// Binds every entry point of the list from AHandle; ALibName serves the error text.
void AVFormatFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle);
// Sets every entry point of the list back to nullptr.
void AVFormatUnfixStubs();

// Formats the text printf-style and writes its bytes (the host's 8-bit text, UTF-8
// here) to APb with the bound avio_write; an unbound avio_write is a programming error.
void avio_printf_lantor(AVIOContext* APb, const char* AFormat, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace AVFormatStubs
