// The byte ring between threads, and the stream over it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

#include "MainThreadPump.h"
#include "platform/Exception.h"
#include "runtime/CircularBuffer.h"

namespace {

using CircularBuffer::TCircularBuffer;
using CircularBuffer::TCircularBufferStream;

// Bytes n, n+1, ... (mod 256) so that order and gaps show.
std::vector<std::uint8_t> Sequence(std::size_t ACount, std::uint8_t AFirst = 0) {
  std::vector<std::uint8_t> bytes(ACount);
  for (std::size_t i = 0; i < ACount; i++) bytes[i] = static_cast<std::uint8_t>(AFirst + i);
  return bytes;
}

// Whether the call that set AResult (1 until it returns) stays blocked inside ABuffer:
// once the thread is inside (the buffer counts it), the call must not return.
bool StaysBlocked(TCircularBuffer& ABuffer, const std::atomic<int>& AResult) {
  while (ABuffer.ThreadsInside() == 0 && AResult.load() == 1) std::this_thread::yield();
  return MainThreadPump::KeepsHolding([&] { return AResult.load() == 1; });
}

// Moves head and tail to APosition of an empty buffer.
void MoveTo(TCircularBuffer& ABuffer, int APosition) {
  std::vector<std::uint8_t> scratch(static_cast<std::size_t>(APosition));
  ASSERT_EQ(ABuffer.Write(scratch.data(), APosition), APosition);
  ASSERT_EQ(ABuffer.Read(scratch.data(), APosition), APosition);
}

TEST(CircularBuffer, CapacityIsRoundedAndOneByteStaysFree) {
  TCircularBuffer buffer(1000);
  EXPECT_EQ(buffer.Capacity(), 8192);
  buffer.SetAutoGrow(false);
  buffer.SetWaitForSpace(false);
  const std::vector<std::uint8_t> data = Sequence(8191);
  EXPECT_EQ(buffer.Write(data.data(), 8191), 8191);
  EXPECT_TRUE(buffer.IsFull());
  EXPECT_EQ(buffer.SpaceSize(), 0);
  EXPECT_EQ(buffer.Write(data.data(), 1), 0);
  EXPECT_EQ(buffer.DataSize(), 8191);
  EXPECT_EQ(buffer.WriteCount(), 8191);
}

TEST(CircularBuffer, DefaultsOfANewBuffer) {
  TCircularBuffer buffer;
  EXPECT_EQ(buffer.Capacity(), 1048576);
  EXPECT_TRUE(buffer.AutoGrow());
  EXPECT_EQ(buffer.AutoGrowMax(), 16777216);
  EXPECT_TRUE(buffer.WaitForData());
  EXPECT_TRUE(buffer.WaitForSpace());
  EXPECT_TRUE(buffer.IsEmpty());
  EXPECT_FALSE(buffer.EndOfWriting());
  EXPECT_FALSE(buffer.Terminated());
}

// Growing keeps the byte order, also when the stored bytes wrap past the end: the
// wrapped part fits into the added space, it does not, or nothing wrapped yet but the
// tail sits at the very end.
TEST(CircularBuffer, GrowingWhileWrappedKeepsTheOrder) {
  struct TCase {
    const char* Name;
    int Capacity;
    int Head;
    int Count;
    int NewCapacity;
  } const cases[] = {
      {"wrapped part fits into the added space", 8192, 6000, 4000, 16384},
      {"wrapped part larger than the added space", 16384, 15000, 12000, 24576},
      {"tail exactly at the end", 8192, 6192, 2000, 16384},
      {"not wrapped", 8192, 100, 5000, 16384},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TCircularBuffer buffer(c.Capacity);
    MoveTo(buffer, c.Head);
    const std::vector<std::uint8_t> data = Sequence(static_cast<std::size_t>(c.Count), 7);
    ASSERT_EQ(buffer.Write(data.data(), c.Count), c.Count);
    buffer.SetCapacity(c.NewCapacity);
    EXPECT_EQ(buffer.Capacity(), c.NewCapacity);
    EXPECT_EQ(buffer.DataSize(), c.Count);

    // more bytes after the growth continue the sequence
    const std::vector<std::uint8_t> more =
        Sequence(1000, static_cast<std::uint8_t>(7 + c.Count));
    ASSERT_EQ(buffer.Write(more.data(), 1000), 1000);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(c.Count) + 1000);
    ASSERT_EQ(buffer.Read(out.data(), static_cast<int>(out.size())), c.Count + 1000);
    EXPECT_EQ(out, Sequence(out.size(), 7));
  }
}

TEST(CircularBuffer, GrowthStepsUntilTheLastExceedsTheShortfall) {
  TCircularBuffer buffer(8192);
  const std::vector<std::uint8_t> first = Sequence(8091);
  ASSERT_EQ(buffer.Write(first.data(), 8091), 8091);
  ASSERT_EQ(buffer.SpaceSize(), 100);
  const std::vector<std::uint8_t> second = Sequence(10000, static_cast<std::uint8_t>(8091));
  ASSERT_EQ(buffer.Write(second.data(), 10000), 10000);
  EXPECT_EQ(buffer.Capacity(), 65536);  // 61033 rounded up

  std::vector<std::uint8_t> out(18091);
  ASSERT_EQ(buffer.Read(out.data(), 18091), 18091);
  EXPECT_EQ(out, Sequence(18091));
}

TEST(CircularBuffer, ARequestOfTheCapacityGrowsEvenWithoutAutoGrow) {
  TCircularBuffer buffer(8192);
  buffer.SetAutoGrow(false);
  const std::vector<std::uint8_t> data = Sequence(8192);
  ASSERT_EQ(buffer.Write(data.data(), 8192), 8192);
  EXPECT_GT(buffer.Capacity(), 8192);
}

TEST(CircularBuffer, ZeroCapacityStoresNothingUntilAWriteGrowsIt) {
  TCircularBuffer buffer(0);
  EXPECT_EQ(buffer.Capacity(), 0);
  EXPECT_TRUE(buffer.IsEmpty());
  EXPECT_EQ(buffer.DataSize(), 0);
  EXPECT_EQ(buffer.SpaceSize(), 0);
  EXPECT_EQ(buffer.Discard(10), 0);
  std::uint8_t byte = 0;
  EXPECT_EQ(buffer.Write(&byte, 0), 0);
  buffer.SetWaitForData(false);
  EXPECT_EQ(buffer.Read(&byte, 1), 0);

  const std::vector<std::uint8_t> data = Sequence(10, 1);
  ASSERT_EQ(buffer.Write(data.data(), 10), 10);
  EXPECT_EQ(buffer.Capacity(), 8192);
  std::vector<std::uint8_t> out(10);
  ASSERT_EQ(buffer.Read(out.data(), 10), 10);
  EXPECT_EQ(out, data);
}

TEST(CircularBuffer, NegativeCountsAndDiscard) {
  TCircularBuffer buffer(8192);
  const std::vector<std::uint8_t> data = Sequence(40);
  std::vector<std::uint8_t> out(40);
  EXPECT_EQ(buffer.Write(data.data(), -5), 0);
  ASSERT_EQ(buffer.Write(data.data(), 40), 40);
  EXPECT_EQ(buffer.Read(out.data(), -1), 0);
  EXPECT_EQ(buffer.Discard(-3), 0);
  EXPECT_EQ(buffer.DataSize(), 40);
  EXPECT_EQ(buffer.Discard(100), 40);
  EXPECT_TRUE(buffer.IsEmpty());
}

TEST(CircularBuffer, WithoutWaitingAnEmptyReadGivesZeroThenEndOfWriting) {
  TCircularBuffer buffer(8192);
  buffer.SetWaitForData(false);
  std::uint8_t out[16];
  EXPECT_EQ(buffer.Read(out, 16), 0);
  const std::vector<std::uint8_t> data = Sequence(5);
  ASSERT_EQ(buffer.Write(data.data(), 5), 5);
  buffer.EndWriting();
  EXPECT_EQ(buffer.Read(out, 16), 5);  // what is stored still comes out
  EXPECT_EQ(buffer.Read(out, 16), -1);

  buffer.Reset();
  EXPECT_EQ(buffer.Read(out, 16), 0);
  buffer.Terminate();
  EXPECT_EQ(buffer.Read(out, 16), -1);
  EXPECT_EQ(buffer.Write(data.data(), 5), -1);
  EXPECT_EQ(buffer.Discard(5), -1);
}

// EndWriting and Terminate wake a reader blocked on an empty buffer; Terminate also
// a writer blocked on a full one.
TEST(CircularBuffer, BlockedSidesWakeAtTheEnd) {
  enum class TWake { EndWriting, Terminate };
  for (TWake wake : {TWake::EndWriting, TWake::Terminate}) {
    TCircularBuffer buffer(8192);
    std::atomic<int> result{1};
    std::thread reader([&] {
      std::uint8_t out[64];
      result = buffer.Read(out, 64);
    });
    EXPECT_TRUE(StaysBlocked(buffer, result));
    if (wake == TWake::EndWriting)
      buffer.EndWriting();
    else
      buffer.Terminate();
    reader.join();
    EXPECT_EQ(result.load(), -1);
  }

  TCircularBuffer buffer(8192);
  buffer.SetAutoGrow(false);
  const std::vector<std::uint8_t> data = Sequence(8000);
  ASSERT_EQ(buffer.Write(data.data(), 8000), 8000);
  std::atomic<int> result{1};
  std::thread writer([&] { result = buffer.Write(data.data(), 1000); });
  EXPECT_TRUE(StaysBlocked(buffer, result));
  buffer.Terminate();
  writer.join();
  EXPECT_EQ(result.load(), -1);
}

// Deleting a buffer (or its stream) while readers and writers are blocked inside it
// wakes them, and the storage and lock go only after the last one has left: no thread
// touches freed memory (the sanitizer builds check), every one returns -1.
TEST(CircularBuffer, DeletingWhileThreadsAreBlockedInsideIsSafe) {
  enum class TSide { Readers, Writers, StreamReaders };
  for (int round = 0; round < 20; ++round) {
    for (TSide side : {TSide::Readers, TSide::Writers, TSide::StreamReaders}) {
      SCOPED_TRACE(static_cast<int>(side));
      TCircularBufferStream* stream =
          side == TSide::StreamReaders ? new TCircularBufferStream(8192) : nullptr;
      TCircularBuffer* buffer = stream ? stream->Buffer() : new TCircularBuffer(8192);
      buffer->SetAutoGrow(false);
      const std::vector<std::uint8_t> data = Sequence(8000);
      if (side == TSide::Writers) {
        ASSERT_EQ(buffer->Write(data.data(), 8000), 8000);
      }

      constexpr int CThreads = 3;
      std::atomic<int> results[CThreads];
      std::vector<std::thread> threads;
      for (int i = 0; i < CThreads; ++i) {
        results[i] = 1;
        threads.emplace_back([&, i] {
          std::uint8_t out[64];
          switch (side) {
            case TSide::Readers: results[i] = buffer->Read(out, 64); break;
            case TSide::Writers: results[i] = buffer->Write(data.data(), 1000); break;
            case TSide::StreamReaders:
              results[i] = static_cast<int>(stream->Read(out, 64));
              break;
          }
        });
      }
      while (buffer->ThreadsInside() < CThreads) std::this_thread::yield();
      if (stream)
        delete stream;
      else
        delete buffer;
      for (std::thread& t : threads) t.join();
      for (const std::atomic<int>& r : results) EXPECT_EQ(r.load(), -1);
    }
  }
}

// Positions and sizes at the top of the Int64 range are refused or saturate, never wrap.
TEST(CircularBuffer, PositionsAndCapacitiesAtTheTopOfTheRange) {
  TCircularBuffer buffer(8192);
  const std::vector<std::uint8_t> data = Sequence(100);
  ASSERT_EQ(buffer.Write(data.data(), 100), 100);
  for (const std::int64_t capacity : {INT64_MAX, INT64_MAX - 1, INT64_MAX - 8000}) {
    SCOPED_TRACE(capacity);
    EXPECT_THROW(buffer.SetCapacity(capacity), std::bad_alloc);
    EXPECT_EQ(buffer.Capacity(), 8192);  // unchanged, and so is what it holds
    EXPECT_EQ(buffer.DataSize(), 100);
  }

  TCircularBufferStream stream(8192);
  EXPECT_EQ(stream.Seek(INT64_MAX, Platform::TSeekOrigin::soBeginning), INT64_MAX);
  EXPECT_EQ(stream.Write(data.data(), 10), 0);  // no room past the largest position
  EXPECT_EQ(stream.GetSize(), 0);
  EXPECT_EQ(stream.Seek(INT64_MAX - 5, Platform::TSeekOrigin::soBeginning), INT64_MAX - 5);
  EXPECT_EQ(stream.Write(data.data(), 4), 4);
  EXPECT_EQ(stream.GetSize(), INT64_MAX - 1);
  EXPECT_EQ(stream.Seek(INT64_MAX, Platform::TSeekOrigin::soCurrent), INT64_MAX);
  EXPECT_EQ(stream.Seek(100, Platform::TSeekOrigin::soEnd), INT64_MAX);
  EXPECT_EQ(stream.Seek(INT64_MIN, Platform::TSeekOrigin::soCurrent), -1);
  EXPECT_EQ(stream.Seek(INT64_MIN, Platform::TSeekOrigin::soCurrent), INT64_MIN);
}

TEST(CircularBuffer, AWriterWaitsForRoomAndGoesOnAfterARead) {
  TCircularBuffer buffer(8192);
  buffer.SetAutoGrow(false);
  const std::vector<std::uint8_t> data = Sequence(8691);
  ASSERT_EQ(buffer.Write(data.data(), 8000), 8000);
  std::atomic<int> result{1};
  std::thread writer([&] { result = buffer.Write(data.data() + 8000, 691); });
  EXPECT_TRUE(StaysBlocked(buffer, result));
  std::vector<std::uint8_t> out(1000);
  ASSERT_EQ(buffer.Read(out.data(), 1000), 1000);
  writer.join();
  EXPECT_EQ(result.load(), 691);
  EXPECT_EQ(buffer.Capacity(), 8192);
  out.resize(7691);
  ASSERT_EQ(buffer.Read(out.data(), 7691), 7691);
  EXPECT_EQ(out, std::vector<std::uint8_t>(data.begin() + 1000, data.end()));
}

// One producer and one consumer in chunks of odd sizes: every byte arrives once, in
// order. Once with a small fixed ring (both sides block), once growing.
TEST(CircularBuffer, ProducerAndConsumerAgreeOnEveryByte) {
  struct TCase {
    const char* Name;
    bool AutoGrow;
  } const cases[] = {{"fixed ring", false}, {"growing ring", true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    constexpr std::int64_t CTotal = 4 << 20;
    TCircularBuffer buffer(8192);
    buffer.SetAutoGrow(c.AutoGrow);
    buffer.SetAutoGrowMax(65536);

    std::thread producer([&] {
      std::vector<std::uint8_t> chunk(7000);
      std::uint32_t state = 1;
      std::int64_t sent = 0;
      int size = 1;
      while (sent < CTotal) {
        const int n = static_cast<int>(std::min<std::int64_t>(size, CTotal - sent));
        for (int i = 0; i < n; i++) {
          state = state * 1664525u + 1013904223u;
          chunk[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(state >> 24);
        }
        if (buffer.Write(chunk.data(), n) != n) {
          ADD_FAILURE() << "short write at " << sent;
          break;
        }
        sent += n;
        size = size * 7 % 6997 + 1;
      }
      buffer.EndWriting();
    });

    std::vector<std::uint8_t> chunk(5000);
    std::uint32_t state = 1;
    std::int64_t received = 0;
    bool same = true;
    int size = 3;
    for (;;) {
      const int n = buffer.Read(chunk.data(), size);
      if (n < 0) break;
      for (int i = 0; i < n; i++) {
        state = state * 1664525u + 1013904223u;
        same = same && chunk[static_cast<std::size_t>(i)] == static_cast<std::uint8_t>(state >> 24);
      }
      received += n;
      size = size * 5 % 4999 + 1;
    }
    producer.join();
    EXPECT_EQ(received, CTotal);
    EXPECT_TRUE(same);
    EXPECT_EQ(buffer.ReadCount(), CTotal);
    EXPECT_EQ(buffer.WriteCount(), CTotal);
    if (!c.AutoGrow) {
      EXPECT_EQ(buffer.Capacity(), 8192);
    }
  }
}

TEST(CircularBuffer, NegativeCapacityIsAProgrammingError) {
  TCircularBuffer buffer(8192);
  EXPECT_THROW(buffer.SetCapacity(-1), Platform::EAssertionFailed);
}

TEST(CircularBufferStream, WritesMoveThePositionReadsDoNot) {
  TCircularBufferStream stream(8192);
  const std::vector<std::uint8_t> data = Sequence(100);
  EXPECT_EQ(stream.Write(data.data(), 100), 100);
  EXPECT_EQ(stream.GetPosition(), 100);
  EXPECT_EQ(stream.GetSize(), 100);

  std::vector<std::uint8_t> out(60);
  EXPECT_EQ(stream.Read(out.data(), 60), 60);
  EXPECT_EQ(out, Sequence(60));
  EXPECT_EQ(stream.GetPosition(), 100);
  EXPECT_EQ(stream.Buffer()->DataSize(), 40);

  EXPECT_EQ(stream.Write(data.data(), -1), 0);
  EXPECT_EQ(stream.Seek(-10, Platform::TSeekOrigin::soCurrent), 90);
  EXPECT_EQ(stream.Seek(5, Platform::TSeekOrigin::soEnd), 105);
  EXPECT_EQ(stream.Seek(-200, Platform::TSeekOrigin::soBeginning), -200);
  EXPECT_EQ(stream.Write(data.data(), 10), 0);  // negative position
  stream.SetPosition(50);
  stream.SetSize(20);  // below the position: to the end
  EXPECT_EQ(stream.GetSize(), 20);
  EXPECT_EQ(stream.GetPosition(), 20);
}

}  // namespace
