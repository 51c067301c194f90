#include "runtime/w32pthreads.h"

#include <cerrno>
#include <ctime>

#include "runtime/AVUtilStubs.h"

namespace w32pthreads {

namespace {

constexpr std::int64_t CUnlimitedWait = 0xFFFFFFFFLL;

void* Trampoline(void* AParam) {
  pthread_t* thread = static_cast<pthread_t*>(AParam);
  const int result = thread->func(thread->arg);
  thread->ret = static_cast<std::intptr_t>(result);
  return nullptr;
}

::pthread_t NativeOf(const pthread_t& AThread) {
  return static_cast<::pthread_t>(reinterpret_cast<std::uintptr_t>(AThread.handle));
}

}  // namespace

int pthread_create(pthread_t& thread, const void* /*attr*/, TPThreadFunc func, void* arg) {
  thread.func = func;
  thread.arg = arg;
  ::pthread_t native;
  const int err = ::pthread_create(&native, nullptr, Trampoline, &thread);
  if (err != 0) return err;
  thread.handle = reinterpret_cast<void*>(static_cast<std::uintptr_t>(native));
  return 0;
}

int pthread_join(const pthread_t& thread, void*& value) {
  if (::pthread_join(NativeOf(thread), nullptr) != 0) return AVERROR(EDEADLK);
  value = reinterpret_cast<void*>(thread.ret);
  return 0;
}

int pthread_mutex_init(pthread_mutex_t& lock, const void* /*attr*/) {
  ::pthread_mutex_init(&lock.native, nullptr);
  return 0;
}

int pthread_mutex_destroy(pthread_mutex_t& lock) {
  ::pthread_mutex_destroy(&lock.native);
  return 0;
}

int pthread_mutex_lock(pthread_mutex_t& lock) {
  ::pthread_mutex_lock(&lock.native);
  return 0;
}

int pthread_mutex_unlock(pthread_mutex_t& lock) {
  ::pthread_mutex_unlock(&lock.native);
  return 0;
}

int pthread_cond_init(pthread_cond_t& cond, const void* /*attr*/) {
  ::pthread_cond_init(&cond.native, nullptr);
  return 0;
}

int pthread_cond_destroy(pthread_cond_t& cond) {
  ::pthread_cond_destroy(&cond.native);
  return 0;
}

int pthread_cond_signal(pthread_cond_t& cond) {
  ::pthread_cond_signal(&cond.native);
  return 0;
}

int pthread_cond_broadcast(pthread_cond_t& cond) {
  ::pthread_cond_broadcast(&cond.native);
  return 0;
}

int pthread_cond_wait(pthread_cond_t& cond, pthread_mutex_t& lock) {
  ::pthread_cond_wait(&cond.native, &lock.native);
  return 0;
}

int pthread_cond_timedwait(pthread_cond_t& cond, pthread_mutex_t& lock, const timespec& deadline) {
  using AVUtilStubs::av_gettime;
  const std::int64_t deadline_ms = deadline.tv_sec * 1000 + deadline.tv_nsec / 1000000;
  std::int64_t wait_ms = deadline_ms - av_gettime() / 1000;
  if (wait_ms < 0) wait_ms = 0;
  if (wait_ms >= CUnlimitedWait) return pthread_cond_wait(cond, lock);

  // The wait is relative: measure it on the monotonic clock so that a change of the
  // wall clock while sleeping neither shortens nor stretches it.
  ::timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += wait_ms / 1000;
  until.tv_nsec += static_cast<long>(wait_ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  const int err = ::pthread_cond_clockwait(&cond.native, &lock.native, CLOCK_MONOTONIC, &until);
  if (err == 0) return 0;
  return err == ETIMEDOUT ? AVERROR(ETIMEDOUT) : AVERROR(EINVAL);
}

}  // namespace w32pthreads
