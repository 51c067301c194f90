// Hand-overs between threads that ThreadSanitizer cannot see by itself: the reference
// counts of FFmpeg's buffers live in libavutil, which is loaded uninstrumented, so the
// thread that frees a shared buffer is not known to come after the others' last reads.
// Outside ThreadSanitizer builds these calls are empty.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define OSTREVAN_RACE_ANNOTATIONS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define OSTREVAN_RACE_ANNOTATIONS 1
#endif
#endif

#ifdef OSTREVAN_RACE_ANNOTATIONS
#include <sanitizer/tsan_interface.h>
#endif

namespace Platform {

// What the calling thread did so far to the object at AAddress happens before a later
// TakenOver(AAddress) on any thread. Called by a holder of a reference when it is done
// with the data (before it drops the reference).
inline void HandedOver(const void* AAddress) {
#ifdef OSTREVAN_RACE_ANNOTATIONS
  __tsan_release(const_cast<void*>(AAddress));
#else
  (void)AAddress;
#endif
}

// Takes over what every HandedOver(AAddress) before it covered. Called where the object
// is freed, once the last reference is gone.
inline void TakenOver(const void* AAddress) {
#ifdef OSTREVAN_RACE_ANNOTATIONS
  __tsan_acquire(const_cast<void*>(AAddress));
#else
  (void)AAddress;
#endif
}

}  // namespace Platform
