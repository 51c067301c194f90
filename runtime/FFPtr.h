// Owning handles for the FFmpeg objects that the components and hosts keep: one
// std::unique_ptr type per object kind, each with a deleter that frees through the
// bound entry point. The libraries may be unloaded before a late owner lets go (the
// entry points are nil then, and the memory went with the library's heap state), so
// every deleter checks its entry point once instead of each destructor doing so.
//
// Ported converter code keeps its own alloc/free pairs; these are for code that owns
// by type.
#pragma once
#include <memory>

#include "runtime/AVCodecStubs.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/SwResampleStubs.h"
#include "runtime/SwScaleStubs.h"

namespace FFPtr {

struct TFrameFree {
  void operator()(AVFrame* p) const {
    if (AVUtilStubs::av_frame_free) AVUtilStubs::av_frame_free(&p);
  }
};
struct TPacketFree {
  void operator()(AVPacket* p) const {
    if (AVCodecStubs::av_packet_free) AVCodecStubs::av_packet_free(&p);
  }
};
struct TCodecContextFree {
  void operator()(AVCodecContext* p) const {
    if (AVCodecStubs::avcodec_free_context) AVCodecStubs::avcodec_free_context(&p);
  }
};
// An input opened with avformat_open_input: closed, which frees the context and, unless
// the context uses custom I/O, its I/O context.
struct TInputFormatClose {
  void operator()(AVFormatContext* p) const {
    if (AVFormatStubs::avformat_close_input) AVFormatStubs::avformat_close_input(&p);
  }
};
// An output (or a context never opened): its I/O context is closed first unless the
// muxer needs no file or the I/O is the caller's (AVFMT_FLAG_CUSTOM_IO), then the
// context is freed.
struct TOutputFormatFree {
  void operator()(AVFormatContext* p) const {
    if (!AVFormatStubs::avformat_free_context) return;
    const bool ownsIO = p->pb && !(p->flags & AVFMT_FLAG_CUSTOM_IO) &&
                        !(p->oformat && (p->oformat->flags & AVFMT_NOFILE));
    if (ownsIO && AVFormatStubs::avio_closep) AVFormatStubs::avio_closep(&p->pb);
    AVFormatStubs::avformat_free_context(p);
  }
};
// An I/O context opened with avio_open/avio_open2.
struct TIOClose {
  void operator()(AVIOContext* p) const {
    if (AVFormatStubs::avio_closep) AVFormatStubs::avio_closep(&p);
  }
};
// An I/O context made with avio_alloc_context: its buffer (which the context may have
// replaced by a larger one) and then the context.
struct TIOContextFree {
  void operator()(AVIOContext* p) const {
    if (!AVFormatStubs::avio_context_free) return;
    if (AVUtilStubs::av_freep) AVUtilStubs::av_freep(static_cast<void*>(&p->buffer));
    AVFormatStubs::avio_context_free(&p);
  }
};
struct TFilterGraphFree {
  void operator()(AVFilterGraph* p) const {
    if (AVFilterStubs::avfilter_graph_free) AVFilterStubs::avfilter_graph_free(&p);
  }
};
struct TResamplerFree {
  void operator()(SwrContext* p) const {
    if (SwResampleStubs::swr_free) SwResampleStubs::swr_free(&p);
  }
};
struct TScalerFree {
  void operator()(SwsContext* p) const {
    if (SwScaleStubs::sws_freeContext) SwScaleStubs::sws_freeContext(p);
  }
};
struct TDictionaryFree {
  void operator()(AVDictionary* p) const {
    if (AVUtilStubs::av_dict_free) AVUtilStubs::av_dict_free(&p);
  }
};
// Memory of av_malloc and its siblings.
struct TAVFree {
  void operator()(void* p) const {
    if (AVUtilStubs::av_free) AVUtilStubs::av_free(p);
  }
};

using TFramePtr = std::unique_ptr<AVFrame, TFrameFree>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketFree>;
using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextFree>;
using TInputFormatPtr = std::unique_ptr<AVFormatContext, TInputFormatClose>;
using TOutputFormatPtr = std::unique_ptr<AVFormatContext, TOutputFormatFree>;
using TIOPtr = std::unique_ptr<AVIOContext, TIOClose>;
using TIOContextPtr = std::unique_ptr<AVIOContext, TIOContextFree>;
using TFilterGraphPtr = std::unique_ptr<AVFilterGraph, TFilterGraphFree>;
using TResamplerPtr = std::unique_ptr<SwrContext, TResamplerFree>;
using TScalerPtr = std::unique_ptr<SwsContext, TScalerFree>;
using TDictionaryPtr = std::unique_ptr<AVDictionary, TDictionaryFree>;
template <typename T>
using TAVMemPtr = std::unique_ptr<T, TAVFree>;

}  // namespace FFPtr
