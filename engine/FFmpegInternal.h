// The task's own step that its tests call directly: the progress report of the
// transcode loop. Only the task (FFmpeg.cpp) and its tests include this header; every
// other unit goes through FFmpeg.h.
#pragma once
#include <cstdint>

#include "engine/FFmpeg.h"

namespace FFmpeg {

// One progress report (console line, "-progress" block, progress event), on the thread
// that runs the job. Times are av_gettime_relative(); APts is the output time reached.
// An intermediate report comes only when the task prints statistics, writes a
// "-progress" block or has a progress handler, and at most once per statistics period;
// the last one (AIsLast) always.
void print_report(TCustomFFmpeg* ATask, bool AIsLast, std::int64_t APts, std::int64_t ACurTime,
                  std::int64_t ATimerStart);

}  // namespace FFmpeg
