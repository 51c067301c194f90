#include "runtime/FFmpegHeader.h"

#include "runtime/FFLoad.h"
#include "runtime/MyUtils.h"

namespace FFmpegHeader {

int err_merge(int err0, int err1) {
  // a real error in the second value wins only over success and end of file
  if ((err0 >= 0 || err0 == AVERROR_EOF) && err1 < 0) return err1;
  return err0 < 0 ? err0 : 0;
}

int clone_side_data(AVFrameSideData**& ADst, int& ANbDst, AVFrameSideData* const* ASrc,
                    int ANbSrc, unsigned AFlags) {
  using AVUtilStubs::av_frame_side_data_clone;
  for (int i = 0; i < ANbSrc; ++i) {
    const int ret = av_frame_side_data_clone(&ADst, &ANbDst, ASrc[i], AFlags);
    if (ret < 0) return ret;
  }
  return 0;
}

namespace {

constexpr std::int64_t CNoOperation = std::numeric_limits<std::int64_t>::max();

void LogWatchdog(TBaseFFmpeg* ATask, const char* AMessage) {
  if (FFLoad::VEDovedo) FFLoad::VEDovedo->Log(ATask, FFLoad::llInfo, std::string(AMessage));
}

// Steps shared by both directions: 1 when ALast is older than ATimeout milliseconds.
int Expired(TBaseFFmpeg* ATask, std::int64_t ALast, std::int32_t ATimeout, const char* ATimedOut,
            const char* ACanceled) {
  using AVUtilStubs::av_gettime_relative;
  if (ALast == CNoOperation || ATimeout <= 0) return 0;
  if (av_gettime_relative() - ALast <= std::int64_t(ATimeout) * 1000) return 0;
  LogWatchdog(ATask, ALast != 0 ? ATimedOut : ACanceled);
  return 1;
}

}  // namespace

int read_interrupt_callback(void* AOpaque) {
  auto* task = static_cast<TBaseFFmpeg*>(AOpaque);
  if (task->FBroken.load()) {
    LogWatchdog(task, "reading broken");
    return 1;
  }
  return Expired(task, task->FLastRead.load(), task->FReadTimeout.load(),
                 "connecting/reading timeout", "connecting/reading canceled");
}

int write_interrupt_callback(void* AOpaque) {
  auto* task = static_cast<TBaseFFmpeg*>(AOpaque);
  return Expired(task, task->FLastWrite.load(), task->FWriteTimeout.load(),
                 "connecting/writing timeout", "connecting/writing canceled");
}

TBaseFFmpeg::TBaseFFmpeg() {
  FReadCallback.callback = read_interrupt_callback;
  FReadCallback.opaque = this;
  FWriteCallback.callback = write_interrupt_callback;
  FWriteCallback.opaque = this;
}

TBaseFFmpeg::~TBaseFFmpeg() {
  if (FCmdLineBuf) {
    MyUtils::free_cmdline(FCmdLineBuf);
    FCmdLineBuf = nullptr;
  }
}

}  // namespace FFmpegHeader
