// Threads, mutexes and condition variables of the conversion tool's conventions.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>

#include "TestLibraries.h"
#include "platform/Threads.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/w32pthreads.h"

namespace {

namespace wp = w32pthreads;

int ReturnArgument(void* AArg) { return static_cast<int>(reinterpret_cast<std::intptr_t>(AArg)); }

TEST(W32PThreads, JoinGivesTheSignExtendedResult) {
  for (int value : {0, 7, -1, -541478725}) {
    SCOPED_TRACE(value);
    wp::pthread_t thread{};
    ASSERT_EQ(wp::pthread_create(thread, nullptr, ReturnArgument,
                                 reinterpret_cast<void*>(static_cast<std::intptr_t>(value))),
              0);
    Platform::Sleep(5);  // usually over by now: joining an ended thread returns at once
    void* result = reinterpret_cast<void*>(0x1234);
    ASSERT_EQ(wp::pthread_join(thread, result), 0);
    EXPECT_EQ(reinterpret_cast<std::intptr_t>(result), static_cast<std::intptr_t>(value));
  }
}

struct TShared {
  wp::pthread_mutex_t Lock;
  wp::pthread_cond_t Cond;
  int Counter = 0;
  bool Go = false;
};

int CountUnderLock(void* AArg) {
  TShared* shared = static_cast<TShared*>(AArg);
  wp::pthread_mutex_lock(shared->Lock);
  while (!shared->Go) wp::pthread_cond_wait(shared->Cond, shared->Lock);
  wp::pthread_mutex_unlock(shared->Lock);
  for (int i = 0; i < 10000; i++) {
    wp::pthread_mutex_lock(shared->Lock);
    shared->Counter++;
    wp::pthread_mutex_unlock(shared->Lock);
  }
  return 0;
}

TEST(W32PThreads, MutexAndBroadcastAcrossThreads) {
  TShared shared{};
  ASSERT_EQ(wp::pthread_mutex_init(shared.Lock, nullptr), 0);
  ASSERT_EQ(wp::pthread_cond_init(shared.Cond, nullptr), 0);
  wp::pthread_t threads[4]{};
  for (wp::pthread_t& t : threads) ASSERT_EQ(wp::pthread_create(t, nullptr, CountUnderLock, &shared), 0);

  wp::pthread_mutex_lock(shared.Lock);
  shared.Go = true;
  wp::pthread_cond_broadcast(shared.Cond);
  wp::pthread_mutex_unlock(shared.Lock);

  for (wp::pthread_t& t : threads) {
    void* result = nullptr;
    ASSERT_EQ(wp::pthread_join(t, result), 0);
  }
  EXPECT_EQ(shared.Counter, 40000);
  EXPECT_EQ(wp::pthread_cond_destroy(shared.Cond), 0);
  EXPECT_EQ(wp::pthread_mutex_destroy(shared.Lock), 0);
}

wp::timespec DeadlineIn(std::int64_t AMicroseconds) {
  const std::int64_t at = AVUtilStubs::av_gettime() + AMicroseconds;
  return wp::timespec{at / 1000000, static_cast<std::int32_t>(at % 1000000 * 1000)};
}

struct TSignalLater {
  TShared* Shared;
  static int Run(void* AArg) {
    TShared* shared = static_cast<TSignalLater*>(AArg)->Shared;
    Platform::Sleep(20);
    wp::pthread_mutex_lock(shared->Lock);
    shared->Go = true;
    wp::pthread_cond_signal(shared->Cond);
    wp::pthread_mutex_unlock(shared->Lock);
    return 0;
  }
};

TEST(W32PThreads, TimedWait) {
  TestLibraries::RequireFFmpegLibraries();
  TShared shared{};  // zero-filled: usable without init

  // a deadline in the past, or a close one nobody signals, times out
  for (std::int64_t us : {-5000000LL, 0LL, 20000LL}) {
    SCOPED_TRACE(us);
    wp::pthread_mutex_lock(shared.Lock);
    EXPECT_EQ(wp::pthread_cond_timedwait(shared.Cond, shared.Lock, DeadlineIn(us)), AVERROR(ETIMEDOUT));
    wp::pthread_mutex_unlock(shared.Lock);
  }

  // woken before the deadline (a near one, and one beyond 49.7 days: no time limit)
  for (std::int64_t us : {60000000LL, 50LL * 24 * 3600 * 1000000}) {
    SCOPED_TRACE(us);
    shared.Go = false;
    TSignalLater signaller{&shared};
    wp::pthread_t thread{};
    ASSERT_EQ(wp::pthread_create(thread, nullptr, TSignalLater::Run, &signaller), 0);
    const wp::timespec deadline = DeadlineIn(us);
    int ret = 0;
    wp::pthread_mutex_lock(shared.Lock);
    while (!shared.Go && ret == 0) ret = wp::pthread_cond_timedwait(shared.Cond, shared.Lock, deadline);
    wp::pthread_mutex_unlock(shared.Lock);
    EXPECT_EQ(ret, 0);
    EXPECT_TRUE(shared.Go);
    void* result = nullptr;
    ASSERT_EQ(wp::pthread_join(thread, result), 0);
  }
}

}  // namespace
