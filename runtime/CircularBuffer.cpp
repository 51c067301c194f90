#include "runtime/CircularBuffer.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

#include "platform/Exception.h"
#include "platform/Threads.h"
#include "runtime/FFUtils.h"

namespace CircularBuffer {

namespace {

const char* const CUnit = "CircularBuffer";
constexpr std::int64_t CDefaultCapacity = 1048576;
constexpr std::int64_t CCapacityGranule = 8192;

// Capacity after growing c (with s bytes free) for a request of n bytes: steps of a
// quarter of the capacity (4 for tiny, 16 for small buffers) are added until the last
// step alone exceeds the shortfall.
std::int64_t GrownCapacity(std::int64_t c, std::int64_t s, std::int64_t n) {
  const std::int64_t shortfall = n - s;
  for (;;) {
    const std::int64_t step = c > 64 ? c / 4 : (c < 9 ? 4 : 16);
    c += step;
    if (step > shortfall) return c;
  }
}

}  // namespace

// ---- TCircularBuffer -----------------------------------------------------------------

TCircularBuffer::TCircularBuffer() : TCircularBuffer(CDefaultCapacity) {}

TCircularBuffer::TCircularBuffer(std::int64_t ACapacity) { InitBuffer(ACapacity); }

TCircularBuffer::~TCircularBuffer() { FreeBuffer(); }

void TCircularBuffer::InitBuffer(std::int64_t NewCapacity) {
  SetCapacity(NewCapacity);
  Reset();
}

void TCircularBuffer::FreeBuffer() {
  Terminate();
  SetCapacity(0);
}

void TCircularBuffer::Reset() {
  {
    std::lock_guard<Platform::TCriticalSection> guard(FLock);
    FHead = 0;
    FTail = 0;
    FWriteCount = 0;
    FReadCount = 0;
    FEndOfWriting = false;
    FTerminated = false;
  }
  FSpaceCond.notify_all();
}

void TCircularBuffer::EndWriting() {
  {
    std::lock_guard<Platform::TCriticalSection> guard(FLock);
    FEndOfWriting = true;
  }
  FDataCond.notify_all();
}

void TCircularBuffer::Terminate() {
  std::unique_lock<Platform::TCriticalSection> lock(FLock);
  FTerminated = true;
  FDataCond.notify_all();
  FSpaceCond.notify_all();
  FIdleCond.wait(lock, [this] { return FInside == 0; });
}

// Counts the calling thread as inside Read or Write for the lifetime of the lock it
// holds; the last one out wakes a waiting Terminate.
class TCircularBuffer::TInside {
 public:
  TInside(TCircularBuffer& ABuffer, std::unique_lock<Platform::TCriticalSection>& ALock)
      : FBuffer(ABuffer), FLock(ALock) {
    ++FBuffer.FInside;
  }
  ~TInside() {
    if (!FLock.owns_lock()) FLock.lock();
    if (--FBuffer.FInside == 0) FBuffer.FIdleCond.notify_all();
  }
  TInside(const TInside&) = delete;
  TInside& operator=(const TInside&) = delete;

 private:
  TCircularBuffer& FBuffer;
  std::unique_lock<Platform::TCriticalSection>& FLock;
};

// With no storage nothing is stored and nothing fits; the next write grows it.
std::int64_t TCircularBuffer::StoredLocked() const {
  return FCapacity == 0 ? 0 : (FCapacity + FTail - FHead) % FCapacity;
}

std::int64_t TCircularBuffer::FreeLocked() const {
  return FCapacity == 0 ? 0 : (FCapacity + FHead - FTail - 1) % FCapacity;
}

bool TCircularBuffer::IsEmpty() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return StoredLocked() == 0;
}

bool TCircularBuffer::IsFull() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return FreeLocked() == 0;
}

std::int64_t TCircularBuffer::DataSize() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return StoredLocked();
}

std::int64_t TCircularBuffer::SpaceSize() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return FreeLocked();
}

int TCircularBuffer::Discard(int Count) {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  if (FTerminated) return -1;
  const std::int64_t n = std::min<std::int64_t>(std::max(Count, 0), StoredLocked());
  if (n > 0) FHead = (FHead + n) % FCapacity;
  FSpaceCond.notify_all();
  return static_cast<int>(n);
}

int TCircularBuffer::Read(void* Buffer, int Count) {
  Count = std::max(Count, 0);
  std::unique_lock<Platform::TCriticalSection> lock(FLock);
  const TInside inside(*this, lock);
  for (;;) {
    if (FTerminated) return -1;
    if (StoredLocked() > 0) break;
    if (FEndOfWriting) return -1;
    if (!FWaitForData) return 0;
    FDataCond.wait(lock);
  }

  const std::int64_t n = std::min<std::int64_t>(Count, StoredLocked());
  const std::int64_t first = std::min(n, FCapacity - FHead);
  std::uint8_t* dst = static_cast<std::uint8_t*>(Buffer);
  std::memcpy(dst, FMemory + FHead, first);
  if (n > first) std::memcpy(dst + first, FMemory, n - first);
  FHead = (FHead + n) % FCapacity;
  FReadCount += n;
  FSpaceCond.notify_all();
  return static_cast<int>(n);
}

int TCircularBuffer::Write(const void* Buffer, int Count) {
  Count = std::max(Count, 0);
  std::unique_lock<Platform::TCriticalSection> lock(FLock);
  const TInside inside(*this, lock);
  for (;;) {
    if (FTerminated) return -1;
    const std::int64_t space = FreeLocked();
    if (space >= Count) break;
    // a request of at least the capacity can never fit: it always grows
    if ((!FAutoGrow || FCapacity >= FAutoGrowMax) && Count < FCapacity) {
      if (!FWaitForSpace) return 0;
      FSpaceCond.wait(lock);
      continue;
    }
    _SetCapacity(GrownCapacity(FCapacity, space, Count));
    break;
  }

  if (Count == 0) return 0;
  const std::int64_t first = std::min<std::int64_t>(Count, FCapacity - FTail);
  const std::uint8_t* src = static_cast<const std::uint8_t*>(Buffer);
  std::memcpy(FMemory + FTail, src, first);
  if (Count > first) std::memcpy(FMemory, src + first, Count - first);
  FTail = (FTail + Count) % FCapacity;
  FWriteCount += Count;
  FDataCond.notify_all();
  return Count;
}

std::int64_t TCircularBuffer::Capacity() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return FCapacity;
}

void TCircularBuffer::SetCapacity(std::int64_t ACapacity) {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  _SetCapacity(ACapacity);
}

void TCircularBuffer::_SetCapacity(std::int64_t ACapacity) {
  Platform::Check(ACapacity >= 0, CUnit, 446);
  // Storage of that size cannot be had; the round-up itself would overflow.
  if (ACapacity > std::numeric_limits<std::int64_t>::max() - (CCapacityGranule - 1) ||
      static_cast<std::uint64_t>(ACapacity) > std::numeric_limits<std::size_t>::max() / 2)
    throw std::bad_alloc();
  if (ACapacity > 0) ACapacity = (ACapacity + CCapacityGranule - 1) & ~(CCapacityGranule - 1);
  if (ACapacity == FCapacity) return;

  if (ACapacity == 0) {
    std::free(FMemory);
    FMemory = nullptr;
    FHead = 0;
    FTail = 0;
    FCapacity = 0;
    return;
  }

  const std::int64_t old = FCapacity;
  void* memory = std::realloc(FMemory, static_cast<std::size_t>(ACapacity));
  if (!memory) throw std::bad_alloc();
  FMemory = static_cast<std::uint8_t*>(memory);

  // Stored data that wraps past the old end, [FHead, old) + [0, FTail), is made to
  // continue into the added space [old, ACapacity).
  if (ACapacity > old && FTail < FHead) {
    const std::int64_t added = ACapacity - old;
    if (FTail == 0) {
      FTail = old;
    } else if (FTail < added) {
      std::memmove(FMemory + old, FMemory, FTail);
      FTail += old;
    } else {
      std::memmove(FMemory + old, FMemory, added);
      std::memmove(FMemory, FMemory + added, FTail - added);
      FTail -= added;
    }
  }

  FHead = std::min(FHead, ACapacity - 1);
  FTail = std::min(FTail, ACapacity - 1);
  FCapacity = ACapacity;
}

bool TCircularBuffer::AutoGrow() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return FAutoGrow;
}

void TCircularBuffer::SetAutoGrow(bool AValue) {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  FAutoGrow = AValue;
}

std::int64_t TCircularBuffer::AutoGrowMax() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return FAutoGrowMax;
}

void TCircularBuffer::SetAutoGrowMax(std::int64_t AValue) {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  FAutoGrowMax = AValue;
}

bool TCircularBuffer::WaitForData() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return FWaitForData;
}

void TCircularBuffer::SetWaitForData(bool AValue) {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  FWaitForData = AValue;
}

bool TCircularBuffer::WaitForSpace() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return FWaitForSpace;
}

void TCircularBuffer::SetWaitForSpace(bool AValue) {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  FWaitForSpace = AValue;
}

std::int64_t TCircularBuffer::ReadCount() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return FReadCount;
}

std::int64_t TCircularBuffer::WriteCount() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return FWriteCount;
}

bool TCircularBuffer::EndOfWriting() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return FEndOfWriting;
}

int TCircularBuffer::ThreadsInside() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return FInside;
}

bool TCircularBuffer::Terminated() {
  std::lock_guard<Platform::TCriticalSection> guard(FLock);
  return FTerminated;
}

// ---- TCircularBufferStream -----------------------------------------------------------

TCircularBufferStream::TCircularBufferStream() : TCircularBufferStream(CDefaultCapacity) {}

TCircularBufferStream::TCircularBufferStream(std::int64_t ACapacity)
    : FBuffer(new TCircularBuffer(ACapacity)) {}

TCircularBufferStream::~TCircularBufferStream() { delete FBuffer; }

std::int64_t TCircularBufferStream::Read(void* ABuffer, std::int64_t ACount) {
  return FBuffer->Read(ABuffer, static_cast<int>(std::clamp<std::int64_t>(ACount, 0, INT_MAX)));
}

std::int64_t TCircularBufferStream::Write(const void* ABuffer, std::int64_t ACount) {
  if (FPosition < 0 || ACount <= 0) return 0;
  const int count = static_cast<int>(std::min<std::int64_t>(ACount, INT_MAX));
  // The size follows the position; past the largest position there is no more room.
  const std::int64_t end = FFUtils::SatAdd64(FPosition, count);
  if (end == std::numeric_limits<std::int64_t>::max()) return 0;
  if (FSize < end) FSize = end;
  const int written = FBuffer->Write(ABuffer, count);
  if (written > 0) FPosition += written;
  return written;
}

std::int64_t TCircularBufferStream::Seek(std::int64_t AOffset, Platform::TSeekOrigin AOrigin) {
  switch (AOrigin) {
    case Platform::TSeekOrigin::soBeginning:
      FPosition = AOffset;
      break;
    case Platform::TSeekOrigin::soCurrent:
      FPosition = FFUtils::SatAdd64(FPosition, AOffset);
      break;
    case Platform::TSeekOrigin::soEnd:
      FPosition = FFUtils::SatAdd64(FSize, AOffset);
      break;
  }
  return FPosition;
}

std::int64_t TCircularBufferStream::GetSize() { return FSize; }

void TCircularBufferStream::SetSize(std::int64_t ANewSize) {
  FSize = ANewSize;
  if (ANewSize < FPosition) Seek(0, Platform::TSeekOrigin::soEnd);
}

}  // namespace CircularBuffer
