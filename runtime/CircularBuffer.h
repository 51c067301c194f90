// A thread-safe byte ring between one producer and one consumer: either side can
// block, the storage grows on demand up to a limit, and a third thread can end the
// writing or tear the buffer down. TCircularBufferStream puts a stream over one.
#pragma once
#include <condition_variable>
#include <cstdint>

#include "platform/Object.h"
#include "platform/Streams.h"
#include "platform/Sync.h"

namespace CircularBuffer {

class TCircularBuffer : public Platform::TObject {
 public:
  TCircularBuffer();  // 1 MiB
  explicit TCircularBuffer(std::int64_t ACapacity);
  ~TCircularBuffer() override;
  TCircularBuffer(const TCircularBuffer&) = delete;
  TCircularBuffer& operator=(const TCircularBuffer&) = delete;

  void InitBuffer(std::int64_t NewCapacity);
  void FreeBuffer();
  // Empties the buffer and makes it usable again after EndWriting or Terminate.
  void Reset();
  // The producer has finished: readers drain what is stored, then get -1.
  void EndWriting();
  // Every call fails from now on; blocked readers and writers return -1. Returns once
  // no thread is inside Read or Write any more, so the caller may free the buffer.
  void Terminate();

  bool IsEmpty();
  bool IsFull();
  std::int64_t DataSize();
  std::int64_t SpaceSize();

  // Removes up to Count stored bytes: the number removed, or -1 when terminated.
  int Discard(int Count);
  // Copies up to Count stored bytes: the number read; 0 when empty and not waiting;
  // -1 when terminated, ended and empty, or when the wait failed.
  int Read(void* Buffer, int Count);
  // Stores Count bytes (growing or waiting for room): Count; 0 when there is no room
  // and not waiting; -1 when terminated or the wait failed.
  int Write(const void* Buffer, int Count);

  std::int64_t Capacity();
  // Resizes to ACapacity rounded up to a multiple of 8192 (0 frees the storage).
  // Raises std::bad_alloc when the storage cannot be had (a capacity too large to round
  // up included).
  void SetCapacity(std::int64_t ACapacity);

  bool AutoGrow();
  void SetAutoGrow(bool AValue);
  std::int64_t AutoGrowMax();
  void SetAutoGrowMax(std::int64_t AValue);
  bool WaitForData();
  void SetWaitForData(bool AValue);
  bool WaitForSpace();
  void SetWaitForSpace(bool AValue);
  std::int64_t ReadCount();
  std::int64_t WriteCount();
  bool EndOfWriting();
  bool Terminated();
  // The threads inside Read or Write at this moment (waiting ones included).
  int ThreadsInside();

 private:
  class TInside;
  void _SetCapacity(std::int64_t ACapacity);
  std::int64_t StoredLocked() const;
  std::int64_t FreeLocked() const;

  // Blocked readers and writers wait on FDataCond / FSpaceCond with FLock released;
  // FInside counts the threads inside Read and Write, and Terminate waits on FIdleCond
  // until it is 0: teardown never frees the lock or the storage under a woken thread.
  // Every field below is guarded by FLock.
  Platform::TCriticalSection FLock;
  std::condition_variable_any FDataCond;
  std::condition_variable_any FSpaceCond;
  std::condition_variable_any FIdleCond;
  int FInside = 0;
  std::uint8_t* FMemory = nullptr;
  std::int64_t FCapacity = 0;
  std::int64_t FHead = 0;
  std::int64_t FTail = 0;
  std::int64_t FWriteCount = 0;
  std::int64_t FReadCount = 0;
  bool FAutoGrow = true;
  std::int64_t FAutoGrowMax = 16777216;
  bool FWaitForData = true;
  bool FWaitForSpace = true;
  bool FEndOfWriting = false;
  bool FTerminated = false;
};

class TCircularBufferStream : public Platform::TStream {
 public:
  TCircularBufferStream();  // a buffer of 1 MiB
  explicit TCircularBufferStream(std::int64_t ACapacity);
  ~TCircularBufferStream() override;
  TCircularBufferStream(const TCircularBufferStream&) = delete;
  TCircularBufferStream& operator=(const TCircularBufferStream&) = delete;

  // Reads from the buffer (see TCircularBuffer::Read); the position does not move.
  std::int64_t Read(void* ABuffer, std::int64_t ACount) override;
  std::int64_t Write(const void* ABuffer, std::int64_t ACount) override;
  std::int64_t Seek(std::int64_t AOffset, Platform::TSeekOrigin AOrigin) override;
  std::int64_t GetSize() override;
  void SetSize(std::int64_t ANewSize) override;

  TCircularBuffer* Buffer() const { return FBuffer; }

 private:
  TCircularBuffer* FBuffer;
  std::int64_t FSize = 0;
  std::int64_t FPosition = 0;
};

}  // namespace CircularBuffer
