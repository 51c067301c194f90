// The POSIX-thread operations of the ported conversion tool: threads started and joined
// with the tool's result conventions, mutexes and condition variables with a timed
// wait on the clock of av_gettime.
//
// The names are the tool's own and live in this namespace; they shadow those of
// <pthread.h>, so callers qualify them (w32pthreads::pthread_create) or bring them in
// with using-declarations. Results: 0 for success, a negative error code otherwise;
// pthread_create alone reports a failure as a positive number, which its caller negates.
#pragma once
#include <pthread.h>

#include <cstdint>

namespace w32pthreads {

// The body of a thread.
using TPThreadFunc = int (*)(void* arg);

// Owned by the caller; it must stay at the same address while the thread runs: the
// thread reads func and arg from it and writes ret into it when func returns.
struct pthread_t {
  void* handle;       // the native thread (a ::pthread_t), nullptr before the start
  TPThreadFunc func;
  void* arg;
  std::intptr_t ret;  // what func returned, sign-extended
};

// An absolute wall-clock time on the clock of av_gettime (seconds since the epoch).
struct timespec {
  std::int64_t tv_sec;
  std::int32_t tv_nsec;
};

// A zero-filled mutex or condition variable is ready for use as it is (as after init).
struct pthread_mutex_t {
  ::pthread_mutex_t native;
};
struct pthread_cond_t {
  ::pthread_cond_t native;
};

// Starts func(arg) on a new thread at once. 0, or the (positive) system error code,
// or 1 when the system gave none.
int pthread_create(pthread_t& thread, const void* attr, TPThreadFunc func, void* arg);
// Waits for the thread without time limit and stores its result in value: 0; a failed
// wait gives AVERROR(EDEADLK) (joining itself, or a thread that is not joinable) and
// leaves value unchanged.
int pthread_join(const pthread_t& thread, void*& value);

int pthread_mutex_init(pthread_mutex_t& lock, const void* attr);
int pthread_mutex_destroy(pthread_mutex_t& lock);
int pthread_mutex_lock(pthread_mutex_t& lock);
int pthread_mutex_unlock(pthread_mutex_t& lock);

// Holds a mutex for a scope, also when a consistency check raises inside it.
class TMutexGuard {
 public:
  explicit TMutexGuard(pthread_mutex_t& ALock) : FLock(ALock) { pthread_mutex_lock(FLock); }
  ~TMutexGuard() { pthread_mutex_unlock(FLock); }
  TMutexGuard(const TMutexGuard&) = delete;
  TMutexGuard& operator=(const TMutexGuard&) = delete;

 private:
  pthread_mutex_t& FLock;
};

int pthread_cond_init(pthread_cond_t& cond, const void* attr);
int pthread_cond_destroy(pthread_cond_t& cond);
int pthread_cond_signal(pthread_cond_t& cond);
int pthread_cond_broadcast(pthread_cond_t& cond);
// Sleeps on cond, releasing lock meanwhile (lock must be held). Wake-ups may be spurious.
int pthread_cond_wait(pthread_cond_t& cond, pthread_mutex_t& lock);
// As pthread_cond_wait, but gives up at deadline: 0 when woken, AVERROR(ETIMEDOUT) on
// time-out, AVERROR(EINVAL) on another failure. The wait is deadline minus the current
// av_gettime in whole milliseconds, clamped to 0..4294967295; the upper bound means
// no time limit. libavutil must be bound.
int pthread_cond_timedwait(pthread_cond_t& cond, pthread_mutex_t& lock, const timespec& deadline);

}  // namespace w32pthreads
