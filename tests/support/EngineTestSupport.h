// What the engine's tests share: a muxer body that drains its queue as a real muxer
// would, and the option context of one group of a command line.
#pragma once
#include <functional>

#include "engine/FFmpegOpt.h"
#include "engine/FFmpegOptInternal.h"
#include "engine/FFmpegSched.h"

namespace EngineTestSupport {

// Receives from muxer mux_idx until every stream has ended, as a muxer thread does: a
// stream whose source has ended is finished, every packet goes to AOnPacket (when given)
// and is unreferenced afterwards. The task's result: 0 for an end of file or an exit,
// else the error of the receive (or AVERROR(ENOMEM) when no packet can be allocated).
int DrainMux(FFmpegSched::TScheduler* sch, Platform::Cardinal mux_idx,
             const std::function<void(const AVPacket*)>& AOnPacket = {});

// The option context of one group over AGroup, with the defaults that the command-line
// parser gives it before the group's options are applied. The caller frees what the
// options then store (FFmpegOpt::uninit_options) and the group's dictionaries.
FFmpegOpt::TOptionsContext GroupOptions(FFmpegHeader::TBaseFFmpeg* ATask,
                                        CmdUtils::TOptionGroup* AGroup);

}  // namespace EngineTestSupport
