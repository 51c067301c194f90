// Entry points of libavfilter, bound at run time by their C names.
#pragma once
#include <string>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#include "runtime/MyUtils.h"

// Every entry point this system calls in the library, in one list.
#define AVFILTER_ENTRY_POINTS(X) \
  X(avfilter_version) \
  X(avfilter_configuration) \
  X(avfilter_license) \
  X(avfilter_graph_alloc) \
  X(avfilter_graph_free) \
  X(avfilter_graph_config) \
  X(avfilter_graph_parse2) \
  X(avfilter_graph_parse_ptr) \
  X(avfilter_graph_segment_parse) \
  X(avfilter_graph_segment_create_filters) \
  X(avfilter_graph_segment_apply_opts) \
  X(avfilter_graph_segment_init) \
  X(avfilter_graph_segment_link) \
  X(avfilter_graph_segment_apply) \
  X(avfilter_graph_segment_free) \
  X(avfilter_graph_create_filter) \
  X(avfilter_graph_alloc_filter) \
  X(avfilter_graph_request_oldest) \
  X(avfilter_graph_send_command) \
  X(avfilter_graph_queue_command) \
  X(avfilter_graph_set_auto_convert) \
  X(avfilter_graph_dump) \
  X(avfilter_graph_get_filter) \
  X(avfilter_get_by_name) \
  X(avfilter_get_class) \
  X(avfilter_filter_pad_count) \
  X(avfilter_pad_get_name) \
  X(avfilter_pad_get_type) \
  X(avfilter_link) \
  X(avfilter_init_str) \
  X(avfilter_init_dict) \
  X(avfilter_free) \
  X(avfilter_inout_alloc) \
  X(avfilter_inout_free) \
  X(av_filter_iterate) \
  X(av_buffersrc_add_frame) \
  X(av_buffersrc_add_frame_flags) \
  X(av_buffersrc_parameters_alloc) \
  X(av_buffersrc_parameters_set) \
  X(av_buffersrc_close) \
  X(av_buffersrc_get_nb_failed_requests) \
  X(av_buffersink_get_frame) \
  X(av_buffersink_get_frame_flags) \
  X(av_buffersink_set_frame_size) \
  X(av_buffersink_get_type) \
  X(av_buffersink_get_time_base) \
  X(av_buffersink_get_format) \
  X(av_buffersink_get_frame_rate) \
  X(av_buffersink_get_w) \
  X(av_buffersink_get_h) \
  X(av_buffersink_get_sample_aspect_ratio) \
  X(av_buffersink_get_colorspace) \
  X(av_buffersink_get_color_range) \
  X(av_buffersink_get_sample_rate) \
  X(av_buffersink_get_ch_layout) \
  X(av_buffersink_get_hw_frames_ctx) \
  X(av_buffersink_get_side_data)

namespace AVFilterStubs {

AVFILTER_ENTRY_POINTS(OSTREVAN_STUB_DECLARE)

// Binds every entry point of the list from AHandle; ALibName serves the error text.
void AVFilterFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle);
// Sets every entry point of the list back to nullptr.
void AVFilterUnfixStubs();

}  // namespace AVFilterStubs
